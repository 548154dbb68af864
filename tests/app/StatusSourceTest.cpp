// The status indicators read from a whole system built in-process.
#include <gtest/gtest.h>

#include "app/Application.h"
#include "app/StatusSource.h"
#include "config/ConfigFile.h"
#include "tests/support/MemorySerial.h"
#include "tests/support/TcpClient.h"
#include "tests/support/TempDir.h"

namespace kov {
namespace {

TEST(StatusSource, FollowsChannelsAndConsoleOfTheRunningSystem) {
  TempDir dir;
  const int consolePort = FreeTcpPort();
  const int com2Port = FreeTcpPort();
  {
    TConfigFile config(dir.Path("BridgeConfig.sys"));
    config.ServicePort = std::to_string(consolePort);
    config.Ports[1].TcpPort = com2Port;
    config.Ports[1].Active = 1;
    ASSERT_EQ(config.Save(), 0);
  }
  EventLoop loop(EventLoop::Clock::Manual);
  MemorySerial serial(loop);
  Application app(loop, serial, {}, dir.Path("BridgeConfig.sys"));

  StatusIndicators before = ComputeStatus(ReadStatusInputs(app));
  EXPECT_EQ(before[LocalIndicator(1)].Colour, IndicatorColour::Idle) << "nothing exists yet";

  app.Start();
  loop.AdvanceMs(100);
  StatusIndicators listening = ComputeStatus(ReadStatusInputs(app));
  EXPECT_EQ(listening[LocalIndicator(1)].Colour, IndicatorColour::Listening);
  EXPECT_EQ(listening[LocalIndicator(1)].Caption, std::to_string(com2Port));
  EXPECT_EQ(listening[kConfigIndicator].Colour, IndicatorColour::Listening);

  TcpClient client(com2Port);
  TcpClient console(consolePort);
  ASSERT_TRUE(client.Connected());
  ASSERT_TRUE(console.Connected());
  ASSERT_TRUE(loop.RunUntil([&] {
    StatusIndicators now = ComputeStatus(ReadStatusInputs(app));
    return now[LocalIndicator(1)].Colour == IndicatorColour::Connected &&
           now[kConfigIndicator].Colour == IndicatorColour::Connected;
  }));

  client.Close();
  console.Close();
  ASSERT_TRUE(loop.RunUntil([&] {
    StatusIndicators now = ComputeStatus(ReadStatusInputs(app));
    return now[LocalIndicator(1)].Colour == IndicatorColour::Listening &&
           now[kConfigIndicator].Colour == IndicatorColour::Listening;
  }));
  app.Close();
  app.Teardown();
}

}  // namespace
}  // namespace kov
