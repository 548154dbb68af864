// Ending the remote link: the server's close, a reset, and Disconnect by the program.
#include <gtest/gtest.h>

#include "LinkFixture.h"

namespace kov::linktest {
namespace {

void ExpectIdle(TBridgeClientChanel& link) {
  EXPECT_EQ(link.Connected, 0);
  EXPECT_FALSE(link.Relay().Moving());
  EXPECT_FALSE(link.Socket.Active());
}

TEST_F(LinkTest, ServerCloseDeliversItsLastBytesTakesTheLinkDownAndRestartsTheChannels) {
  StopChannels();
  auto peer = ConnectLinked();
  const std::string last = PatternBytes(5000, 11);
  EXPECT_TRUE(peer->Send(last));
  peer->Close();
  std::string written;
  ASSERT_TRUE(loop.RunUntil([&] {
    written += serial.TakeWritten(kPort);
    return console.size() == 2;
  }));
  written += serial.TakeWritten(kPort);
  EXPECT_TRUE(written == last) << "the bytes sent just before the close reach the serial port";
  loop.RunUntil([] { return false; }, 50);

  EXPECT_EQ(console, (std::vector<std::string>{kOk, kClosedByServer}));
  ExpectIdle(link);
  EXPECT_EQ(CallCount("SioDone(2)=0"), 1u);
  EXPECT_EQ(ChannelsOpened(), 8);
  EXPECT_EQ(ActiveFlags(), 8);
  EXPECT_EQ(log.Count("closed by the remote server"), 1u);
}

TEST_F(LinkTest, ServerResetReportsTheErrorOnceAndTakesTheLinkDown) {
  StopChannels();
  auto peer = ConnectLinked();
  peer->Reset();
  ASSERT_TRUE(loop.RunUntil([&] { return console.size() >= 2; }));
  // Serial bytes after the loss neither reach a dead connection nor bring more reports.
  serial.Feed(kPort, "late");
  loop.RunUntil([] { return false; }, 50);
  loop.AdvanceMs(200);

  EXPECT_EQ(console, (std::vector<std::string>{kOk, " ERROR: Socket error 10054\n\rBridge:\\>"}));
  ExpectIdle(link);
  EXPECT_EQ(CallCount("SioDone(2)=0"), 1u);
  EXPECT_EQ(ChannelsOpened(), 8);
  EXPECT_EQ(ActiveFlags(), 8);
}

TEST_F(LinkTest, DisconnectClosesQuietlyAndLeavesTheChannelsStopped) {
  StopChannels();
  auto peer = ConnectLinked();
  link.Disconnect();

  ExpectIdle(link);
  EXPECT_FALSE(serial.IsOpen(kPort));
  EXPECT_EQ(CallCount("SioDone(2)=0"), 1u);
  EXPECT_TRUE(peer->WaitClosed());
  loop.AdvanceMs(200);
  EXPECT_EQ(console, std::vector<std::string>{kOk})
      << "no closing line for the program's own close";
  EXPECT_EQ(ChannelsOpened(), 0) << "the caller starts the channels, not Disconnect";
  EXPECT_EQ(ActiveFlags(), 0);
  EXPECT_EQ(log.Count("COM3 disconnected"), 1u);
}

TEST_F(LinkTest, DisconnectOfAnIdleLinkLeavesOtherPortsAlone) {
  bridges.StartAll();
  ASSERT_TRUE(serial.IsOpen(0));
  link.Disconnect();
  EXPECT_TRUE(serial.IsOpen(0)) << "the idle link closed a port it never opened";
  EXPECT_EQ(link.Connected, 0);
}

TEST_F(LinkTest, DisconnectWhileConnectingDropsTheLateConnection) {
  StopChannels();
  EXPECT_FALSE(link.Connect(kPort, "127.0.0.1"));
  link.Disconnect();
  EXPECT_FALSE(serial.IsOpen(kPort));

  // The attempt was under way and completes; nobody wants it any more.
  TcpClient peer = server.Accept(loop);
  ASSERT_TRUE(peer.Connected());
  EXPECT_TRUE(peer.WaitClosed());
  loop.AdvanceMs(200);
  EXPECT_EQ(link.Connected, 0);
  EXPECT_FALSE(link.Relay().Moving());
  EXPECT_TRUE(console.empty());
  EXPECT_EQ(ChannelsOpened(), 0);
}

TEST_F(LinkTest, FailedConnectGivesUpTheAttemptStillUnderWay) {
  StopChannels();
  EXPECT_FALSE(link.Connect(kPort, "127.0.0.1"));
  serial.FailWith("SioReset", 5, kSioCannotOpen);
  EXPECT_THROW(link.Connect(5, "127.0.0.1"), std::runtime_error);
  EXPECT_FALSE(serial.IsOpen(kPort)) << "the first attempt's port is released";

  // The first attempt completes after all; it is not taken for a link on COM6.
  TcpClient peer = server.Accept(loop);
  ASSERT_TRUE(peer.Connected());
  EXPECT_TRUE(peer.WaitClosed());
  loop.AdvanceMs(200);
  EXPECT_EQ(link.Connected, 0);
  EXPECT_TRUE(console.empty());
}

}  // namespace
}  // namespace kov::linktest
