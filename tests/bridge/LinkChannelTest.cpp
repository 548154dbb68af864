// The remote link and the local channels share the serial ports: a port is leased to one of
// them at a time, and only its holder opens, closes or hears it.
#include <gtest/gtest.h>

#include "ChannelTestSupport.h"
#include "LinkTestSupport.h"

namespace kov::linktest {
namespace {

TEST_F(LinkTest, LinkAndLocalChannelTakeTurnsHoldingThePort) {
  // ConnectServer: channels stopped, the link on COM3.
  StopChannels();
  auto server1 = ConnectLinked();
  EXPECT_TRUE(link.HoldsPort());
  serial.Feed(kPort, "to server");
  EXPECT_EQ(server1->ReadExactly(loop, 9), "to server");

  // DisconnectServer: the link gives the port back, the channels come back; COM3's channel
  // gets the bytes.
  link.Disconnect();
  EXPECT_FALSE(link.HoldsPort());
  bridges.StartAll();
  ASSERT_EQ(bridges.Channel(kPort).Opened, 1);
  auto client = ConnectTo(config.Ports[kPort].TcpPort);
  ASSERT_EQ(client->ReadExactly(loop, kNoticeSize), kNoticeB01);
  serial.Feed(kPort, "to client");
  EXPECT_EQ(client->ReadExactly(loop, 9), "to client");
  EXPECT_TRUE(server1->WaitClosed(loop));

  // While the channel holds the port the link cannot have it.
  EXPECT_THROW(link.Connect(kPort, "127.0.0.1"), std::runtime_error);
  EXPECT_EQ(bridges.Channel(kPort).Connected, 1);

  // ConnectServer again: the link has the port back, the channel's client is let go.
  StopChannels();
  auto server2 = ConnectLinked();
  serial.Feed(kPort, "again");
  EXPECT_EQ(server2->ReadExactly(loop, 5), "again");
  EXPECT_EQ(loop.NowMs(), 0) << "every byte went at once, none waited for a poll";
  EXPECT_EQ(console, (std::vector<std::string>{kOk, kOk}));
}

TEST_F(LinkTest, StopAndStartOfTheLinksPortLeaveTheLinkAlone) {
  StopChannels();
  auto peer = ConnectLinked();
  TBridgeChanel& channel = bridges.Channel(kPort);
  const int tcpPort = config.Ports[kPort].TcpPort;

  // What Stop 3 does: the channel closes, and the port it does not hold stays the link's.
  EXPECT_EQ(channel.Close(), 0);
  EXPECT_TRUE(serial.IsOpen(kPort));
  // What Start 3 does: the channel cannot open a port the link holds.
  EXPECT_EQ(channel.Open(9, 2, tcpPort), kSioCannotOpen);
  EXPECT_EQ(channel.Opened, 0);
  EXPECT_FALSE(chantest::Listening(tcpPort));
  EXPECT_EQ(log.Count("COM3: bridge cannot open, the port is held by the remote server link"), 1u)
      << log.All();

  // The link carries on both ways.
  peer->Send(loop, "from server");
  std::string written;
  loop.RunUntil([&] {
    written += serial.TakeWritten(kPort);
    return written.size() >= 11;
  });
  EXPECT_EQ(written, "from server");
  serial.Feed(kPort, "from device");
  EXPECT_EQ(peer->ReadExactly(loop, 11), "from device");
  EXPECT_EQ(link.Connected, 1);
  EXPECT_EQ(console, std::vector<std::string>{kOk});
}

}  // namespace
}  // namespace kov::linktest
