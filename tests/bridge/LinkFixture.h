#pragma once
// The remote link on COM3 with an in-memory serial library, the channel set, a captured console
// and a listener on the loopback address playing the remote bridge server.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "bridge/BridgeClientChanel.h"
#include "bridge/Bridges.h"
#include "config/ConfigFile.h"
#include "event/EventLoop.h"
#include "tests/support/LogCapture.h"
#include "tests/support/MemorySerial.h"
#include "tests/support/Pattern.h"
#include "tests/support/TcpClient.h"

namespace kov::linktest {

// The fixture of the link tests, on the manual clock.
class LinkTest : public ::testing::Test {
 protected:
  static constexpr int32_t kPort = 2;  // COM3
  static constexpr const char* kOk = " OK. \n\rBridge:\\>";
  static constexpr const char* kClosedByServer =
      " ERROR: Connection closed by remote server\n\rBridge:\\>";

  LinkTest() {
    loop.SetErrorHandler([this](const std::string& text) { errors.push_back(text); });
    // The local channels listen on ports of their own, away from any running program.
    const std::vector<int> ports = FreeTcpPorts(config.Ports.size());
    for (size_t i = 0; i < config.Ports.size(); ++i) config.Ports[i].TcpPort = ports.at(i);
    link.RemotePort = server.Port();
  }

  // Connects the link to the test server and accepts the connection.
  std::unique_ptr<TcpClient> ConnectLinked(const std::string& host = "127.0.0.1") {
    EXPECT_FALSE(link.Connect(kPort, host));
    auto peer = std::make_unique<TcpClient>(server.Accept(loop));
    EXPECT_TRUE(peer->Connected());
    EXPECT_TRUE(loop.RunUntil([&] { return link.Connected == 1; }));
    return peer;
  }

  // The channel set as ConnectServer leaves it: every channel closed, every flag 0.
  void StopChannels() { bridges.StopAll(); }
  int ChannelsOpened() {
    int n = 0;
    for (int i = 0; i < 8; ++i) n += bridges.Channel(i).Opened;
    return n;
  }
  int ActiveFlags() {
    int n = 0;
    for (const auto& port : config.Ports) n += port.Active;
    return n;
  }
  size_t CallCount(const std::string& call) {
    size_t n = 0;
    for (const auto& c : serial.Calls()) n += c == call;
    return n;
  }

  LogCapture log;
  EventLoop loop{EventLoop::Clock::Manual};
  MemorySerial serial{loop};
  TConfigFile config{"/nonexistent/BridgeConfig.sys"};
  TBridges bridges{loop, serial, config};
  std::vector<std::string> console;
  std::vector<std::string> errors;  // the error box
  TcpListener server{"127.0.0.1", 0};
  TBridgeClientChanel link{loop, serial, bridges,
                           [this](const std::string& text) { console.push_back(text); }};
};

}  // namespace kov::linktest
