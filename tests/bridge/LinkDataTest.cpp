// Bytes through the remote link: a port it no longer holds is left alone, and a real
// pseudo-terminal as the serial device (the flow itself is the relay's, tested for both
// holders in RelayFlowTest).
#include <gtest/gtest.h>

#include "LinkFixture.h"
#include "TestPortPaths.h"
#include "bridge/TermiosSerial.h"
#include "tests/support/Pty.h"

namespace kov::linktest {
namespace {

TEST_F(LinkTest, SerialEventsOfAPortTheLinkNoLongerUsesAreLeftAlone) {
  StopChannels();
  auto peer = ConnectLinked();
  link.Disconnect();
  ASSERT_TRUE(peer->WaitClosed());

  // The port is opened again by someone else, whose callbacks are not installed yet.
  ASSERT_EQ(serial.SioReset(kPort, 1000, 1000), 0);
  serial.Feed(kPort, "abc");
  loop.RunUntil([] { return false; }, 50);
  loop.AdvanceMs(200);
  EXPECT_EQ(serial.SioRxQue(kPort), 3) << "the idle link took bytes that are not its own";
}

TEST(LinkPtyTest, BridgesAPseudoTerminalBothWays) {
  LogCapture log;
  EventLoop loop(EventLoop::Clock::Manual);
  Pty pty(loop);
  TermiosSerial serial(loop, PathsWith(pty.SlavePath(), 2));
  TConfigFile config;
  TBridges bridges(loop, serial, config);
  std::vector<std::string> console;
  TcpListener server("127.0.0.1", 0);
  TBridgeClientChanel link(loop, serial, bridges,
                           [&](const std::string& text) { console.push_back(text); });
  link.RemotePort = server.Port();

  EXPECT_FALSE(link.Connect(2, "127.0.0.1"));
  TcpClient peer = server.Accept(loop);
  ASSERT_TRUE(peer.Connected());
  ASSERT_TRUE(loop.RunUntil([&] { return link.Connected == 1; }));

  const std::string fromDevice = PatternBytes(20000, 5);
  pty.Send(fromDevice);
  EXPECT_TRUE(peer.ReadExactly(fromDevice.size()) == fromDevice);

  const std::string fromServer = PatternBytes(20000, 9);
  EXPECT_TRUE(peer.Send(fromServer));
  loop.RunUntil([&] { return pty.Received().size() >= fromServer.size(); });
  EXPECT_TRUE(pty.Received() == fromServer);
  EXPECT_EQ(loop.NowMs(), 0);

  link.Disconnect();
  EXPECT_TRUE(peer.WaitClosed());
  EXPECT_EQ(serial.SioRxQue(2), kSioNotOpen);
}

}  // namespace
}  // namespace kov::linktest
