#pragma once
// A channel for COM1 on the in-memory serial layer and a manual-clock loop, with real loopback
// sockets; the error box and the log are captured.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "bridge/BridgeChanel.h"
#include "config/ConfigFile.h"
#include "event/EventLoop.h"
#include "tests/support/Drive.h"
#include "tests/support/LogCapture.h"
#include "tests/support/MemorySerial.h"
#include "tests/support/Notices.h"
#include "tests/support/Pattern.h"
#include "tests/support/TcpClient.h"

namespace kov::chantest {

using notice::kB01;
using notice::kB02;
using notice::kB03;

class ChannelFixture : public ::testing::Test {
 protected:
  ChannelFixture() {
    loop.SetErrorHandler([this](const std::string& text) { errors.push_back(text); });
    config.Ports[0].TcpPort = port;
  }

  void Open() { ASSERT_EQ(channel->Open(9, 2, port), 0); }

  std::unique_ptr<TcpClient> Connect(const TcpClient::Options& options = {}) {
    return std::make_unique<TcpClient>(loop, port, options);
  }
  // A client that the channel has taken on: it has the B01 notice.
  std::unique_ptr<TcpClient> Bridge(const TcpClient::Options& options = {}) {
    auto client = Connect(options);
    EXPECT_EQ(client->ReadExactly(kNoticeSize), kB01);
    EXPECT_EQ(channel->Connected, 1);
    return client;
  }

  TServerWinSocket& Listener() { return channel->Server.Socket(); }
  // Turns the loop until the server lists count connections.
  bool WaitConnections(int32_t count) {
    return loop.RunUntil([&] { return Listener().ConnectionCount() == count; });
  }

  EventLoop loop{EventLoop::Clock::Manual};
  MemorySerial serial{loop};
  TConfigFile config{"/nonexistent/BridgeConfig.sys"};
  LogCapture log;
  std::vector<std::string> errors;
  int port = FreeTcpPort();
  std::unique_ptr<TBridgeChanel> channel = std::make_unique<TBridgeChanel>(loop, serial, config, 0);
};

}  // namespace kov::chantest
