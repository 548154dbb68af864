// The remote link and the local channels share the serial ports: a port is leased to one of
// them at a time, and only its holder opens, closes or hears it.
#include <gtest/gtest.h>

#include "LinkFixture.h"
#include "tests/support/Notices.h"

namespace kov::linktest {
namespace {

TEST_F(LinkTest, LinkAndLocalChannelTakeTurnsHoldingThePort) {
  // ConnectServer: channels stopped, the link on COM3.
  StopChannels();
  auto server1 = ConnectLinked();
  EXPECT_TRUE(link.HoldsPort());
  serial.Feed(kPort, "to server");
  EXPECT_EQ(server1->ReadExactly(9), "to server");

  // DisconnectServer: the link gives the port back, the channels come back; COM3's channel
  // gets the bytes.
  link.Disconnect();
  EXPECT_FALSE(link.HoldsPort());
  bridges.StartAll();
  ASSERT_EQ(bridges.Channel(kPort).Opened, 1);
  TcpClient client(loop, config.Ports[kPort].TcpPort);
  ASSERT_EQ(client.ReadExactly(kNoticeSize), notice::kB01);
  serial.Feed(kPort, "to client");
  EXPECT_EQ(client.ReadExactly(9), "to client");
  EXPECT_TRUE(server1->WaitClosed());

  // While the channel holds the port the link cannot have it.
  EXPECT_THROW(link.Connect(kPort, "127.0.0.1"), std::runtime_error);
  EXPECT_EQ(bridges.Channel(kPort).Connected, 1);

  // ConnectServer again: the link has the port back, the channel's client is let go.
  StopChannels();
  auto server2 = ConnectLinked();
  serial.Feed(kPort, "again");
  EXPECT_EQ(server2->ReadExactly(5), "again");
  EXPECT_EQ(loop.NowMs(), 0) << "every byte went at once, none waited for a poll";
  EXPECT_EQ(console, (std::vector<std::string>{kOk, kOk}));
}

}  // namespace
}  // namespace kov::linktest
