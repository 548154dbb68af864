// The channel set: eight channels in index order, StartAll and StopAll with the active flags,
// and destruction.
#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>

#include "bridge/Bridges.h"
#include "config/ConfigFile.h"
#include "tests/support/LogCapture.h"
#include "tests/support/MemorySerial.h"
#include "tests/support/TcpClient.h"

namespace kov::chantest {
namespace {

class ChannelSet : public ::testing::Test {
 protected:
  ChannelSet() {
    loop.SetErrorHandler([this](const std::string& text) { errors.push_back(text); });
    const std::vector<int> ports = FreeTcpPorts(config.Ports.size());
    for (size_t i = 0; i < config.Ports.size(); ++i) config.Ports[i].TcpPort = ports.at(i);
  }
  // The opening calls the set made, "SioReset(3,...)" style, counted per port.
  int Resets(int32_t port) const {
    const std::string prefix = "SioReset(" + std::to_string(port) + ",";
    int n = 0;
    for (const auto& call : serial.Calls()) n += call.rfind(prefix, 0) == 0;
    return n;
  }

  EventLoop loop{EventLoop::Clock::Manual};
  MemorySerial serial{loop};
  TConfigFile config{"/nonexistent/BridgeConfig.sys"};
  LogCapture log;
  std::vector<std::string> errors;
  std::unique_ptr<TBridges> bridges = std::make_unique<TBridges>(loop, serial, config);
};

TEST_F(ChannelSet, HoldsEightClosedChannelsInIndexOrder) {
  for (int32_t i = 0; i < 8; ++i) {
    TBridgeChanel& channel = bridges->Channel(i);
    EXPECT_EQ(channel.PortIndex, i);
    EXPECT_EQ(channel.Opened, 0);
    EXPECT_EQ(channel.Server.Port(), 8801 + i);
    EXPECT_FALSE(channel.Server.Active());
  }
  EXPECT_THROW(bridges->Channel(8), std::out_of_range);
  EXPECT_THROW(bridges->Channel(-1), std::out_of_range);
  EXPECT_TRUE(serial.Calls().empty());
}

TEST_F(ChannelSet, StopAllClearsEveryFlagEvenWhereTheCloseFailed) {
  for (int32_t i = 0; i < 3; ++i) {
    const PortSettings& p = config.Ports[i];
    ASSERT_EQ(bridges->Channel(i).Open(p.SpeedIndex, p.ParityIndex, p.TcpPort), 0);
  }
  for (auto& port : config.Ports) port.Active = 1;
  serial.FailWith("SioDone", 1, kSioHardware);
  bridges->StopAll();
  for (int32_t i = 0; i < 8; ++i) EXPECT_EQ(config.Ports[i].Active, 0) << i;
  EXPECT_EQ(bridges->Channel(0).Opened, 0);
  EXPECT_EQ(bridges->Channel(1).Opened, 1);  // its close failed
  EXPECT_EQ(bridges->Channel(2).Opened, 0);
  EXPECT_TRUE(IsListening(config.Ports[1].TcpPort));
  EXPECT_FALSE(IsListening(config.Ports[2].TcpPort));
}

TEST_F(ChannelSet, StartAllTriesEveryPortAndSetsTheFlagsOfThoseThatOpened) {
  bridges->StopAll();
  serial.FailWith("SioReset", 2, kSioCannotOpen);
  serial.FailWith("SioBaud", 5, kSioBadBaud);
  config.Ports[6].SpeedIndex = 3;
  config.Ports[6].ParityIndex = 0;
  bridges->StartAll();
  for (int32_t i = 0; i < 8; ++i) {
    EXPECT_EQ(Resets(i), 1) << i;
    const bool opened = i != 2 && i != 5;
    EXPECT_EQ(config.Ports[i].Active, opened ? 1 : 0) << i;
    EXPECT_EQ(bridges->Channel(i).Opened, opened ? 1 : 0) << i;
    EXPECT_EQ(IsListening(config.Ports[i].TcpPort), opened) << i;
  }
  EXPECT_EQ(serial.BaudCode(6), 3);
  EXPECT_EQ(serial.Parity(6), 0);
  EXPECT_TRUE(errors.empty());
}

TEST_F(ChannelSet, StartAllLeavesTheFlagOfAFailedPortAsItWas) {
  config.Ports[4].Active = 1;
  serial.FailWith("SioReset", 4, kSioCannotOpen);
  bridges->StartAll();
  EXPECT_EQ(config.Ports[4].Active, 1);
  EXPECT_EQ(bridges->Channel(4).Opened, 0);
}

TEST_F(ChannelSet, StartAllGoesOnPastAPortThatCannotBeListenedOn) {
  TcpListener holder(config.Ports[1].TcpPort);
  bridges->StartAll();
  EXPECT_EQ(config.Ports[1].Active, 0);
  EXPECT_EQ(bridges->Channel(1).Opened, 0);
  EXPECT_FALSE(serial.IsOpen(1));
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_NE(errors[0].find("(10048), on API 'bind'"), std::string::npos) << errors[0];
  for (int32_t i = 2; i < 8; ++i) EXPECT_EQ(config.Ports[i].Active, 1) << i;
}

TEST_F(ChannelSet, DestructionClosesTheChannelsInIndexOrder) {
  bridges->StartAll();
  const size_t before = serial.Calls().size();
  bridges.reset();
  std::vector<std::string> closes(serial.Calls().begin() + static_cast<long>(before),
                                  serial.Calls().end());
  std::vector<std::string> expected;
  for (int32_t i = 0; i < 8; ++i) expected.push_back("SioDone(" + std::to_string(i) + ")=0");
  EXPECT_EQ(closes, expected);
  for (int32_t i = 0; i < 8; ++i) EXPECT_FALSE(IsListening(config.Ports[i].TcpPort)) << i;
}

}  // namespace
}  // namespace kov::chantest
