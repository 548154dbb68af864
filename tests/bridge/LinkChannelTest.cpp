// The remote link and the local channel of the same port take turns with the port's serial
// events: whichever opened the port last gets them, and neither acts for the other.
#include <gtest/gtest.h>

#include "LinkTestSupport.h"

namespace kov::linktest {
namespace {

TEST_F(LinkTest, LinkAndLocalChannelTakeTurnsWithThePortsSerialEvents) {
  // ConnectServer: channels stopped, the link on COM3.
  StopChannels();
  auto server1 = ConnectLinked();
  serial.Feed(kPort, "to server");
  EXPECT_EQ(server1->ReadExactly(loop, 9), "to server");

  // DisconnectServer: the link goes, the channels come back; COM3's channel gets the bytes.
  link.Disconnect();
  bridges.StartAll();
  ASSERT_EQ(bridges.Channel(kPort).Opened, 1);
  auto client = ConnectTo(config.Ports[kPort].TcpPort);
  ASSERT_EQ(client->ReadExactly(loop, kNoticeSize), kNoticeB01);
  serial.Feed(kPort, "to client");
  EXPECT_EQ(client->ReadExactly(loop, 9), "to client");
  EXPECT_TRUE(server1->WaitClosed(loop));

  // ConnectServer again: the link has the events back, the channel's client is let go.
  StopChannels();
  auto server2 = ConnectLinked();
  serial.Feed(kPort, "again");
  EXPECT_EQ(server2->ReadExactly(loop, 5), "again");
  EXPECT_EQ(loop.NowMs(), 0) << "every byte went at once, none waited for a poll";
  EXPECT_EQ(console, (std::vector<std::string>{kOk, kOk}));
}

}  // namespace
}  // namespace kov::linktest
