// The traffic figures: byte counts of the running 10000 ms period, published as SpeedTx and
// SpeedRx when it ends, whatever happens to clients and the channel meanwhile.
#include <gtest/gtest.h>

#include "ChannelFixture.h"

namespace kov::chantest {
namespace {

class ChannelTraffic : public ChannelFixture {
 protected:
  void SendUp(TcpClient& client, const std::string& bytes) {
    const int32_t before = channel->CountTx;
    client.Send(bytes);
    loop.RunUntil([&] { return channel->CountTx == before + static_cast<int32_t>(bytes.size()); });
  }
  void SendDown(TcpClient& client, const std::string& bytes) {
    serial.Feed(0, bytes);
    EXPECT_EQ(client.ReadExactly(bytes.size()), bytes);
  }
};

TEST_F(ChannelTraffic, ShowsTheLastCompletePeriod) {
  Open();
  loop.AdvanceMs(2000);
  auto client = Bridge();
  SendUp(*client, "1234567");
  SendDown(*client, "abcde");
  EXPECT_EQ(channel->CountTx, 7);
  EXPECT_EQ(channel->CountRx, 5);

  loop.AdvanceMs(7999);  // 9999 ms since the channel was made
  EXPECT_EQ(channel->SpeedTx, 0);
  EXPECT_EQ(channel->SpeedRx, 0);
  loop.AdvanceMs(1);
  EXPECT_EQ(channel->SpeedTx, 7);
  EXPECT_EQ(channel->SpeedRx, 5);
  EXPECT_EQ(channel->CountTx, 0);
  EXPECT_EQ(channel->CountRx, 0);

  // A new client in the middle of the next period resets nothing.
  SendUp(*client, "xyz");
  client->Close();
  loop.RunUntil([&] { return channel->Connected == 0; });
  WaitConnections(0);
  loop.AdvanceMs(3000);
  auto next = Bridge();
  SendDown(*next, "12");
  EXPECT_EQ(channel->SpeedTx, 7);
  EXPECT_EQ(channel->SpeedRx, 5);
  loop.AdvanceMs(7000);
  EXPECT_EQ(channel->SpeedTx, 3);
  EXPECT_EQ(channel->SpeedRx, 2);
  ChannelState state = channel->State();
  EXPECT_EQ(state.SpeedTx, 3);
  EXPECT_EQ(state.SpeedRx, 2);

  // A quiet period publishes zeros.
  loop.AdvanceMs(10000);
  EXPECT_EQ(channel->SpeedTx, 0);
  EXPECT_EQ(channel->SpeedRx, 0);
}

TEST_F(ChannelTraffic, CountsSurviveCloseAndOpen) {
  Open();
  auto client = Bridge();
  SendUp(*client, "12345");
  EXPECT_EQ(channel->Close(), 0);
  Open();
  auto next = Bridge();
  SendDown(*next, "abc");
  loop.AdvanceMs(10000);
  EXPECT_EQ(channel->SpeedTx, 5);
  EXPECT_EQ(channel->SpeedRx, 3);
}

TEST_F(ChannelTraffic, RunsOnAClosedChannelToo) {
  channel->CountTx = 11;
  channel->CountRx = 22;
  loop.AdvanceMs(10000);
  EXPECT_EQ(channel->SpeedTx, 11);
  EXPECT_EQ(channel->SpeedRx, 22);
  EXPECT_EQ(channel->CountTx, 0);
  EXPECT_TRUE(channel->TrafficTimer.Enabled());
}

}  // namespace
}  // namespace kov::chantest
