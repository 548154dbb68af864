// Nothing lost between a fast side and a slow one: a serial line slower than the client, and a
// client slower than the serial line, on the in-memory serial layer (no timer advanced).
#include <gtest/gtest.h>

#include "ChannelFixture.h"

namespace kov::chantest {
namespace {

class ChannelFlow : public ChannelFixture {
 protected:
  void SetUp() override { Open(); }
  TCustomWinSocket& Bridged() { return Listener().ConnectionAt(0); }
};

TEST_F(ChannelFlow, SlowSerialLineHoldsTheClientBack) {
  constexpr size_t kRing = 1000;
  serial.SetTxCapacity(0, kRing);
  auto client = Bridge();
  const std::string bytes = Pattern(300000);
  size_t sent = client->SendSome(bytes);
  ASSERT_GT(sent, kRing);

  // The ring fills and the connection stops being read; the rest waits in the network.
  loop.RunUntil([&] { return Bridged().ReadPaused(); });
  EXPECT_TRUE(Bridged().ReadPaused());
  EXPECT_EQ(serial.TxQueued(0), kRing);
  EXPECT_EQ(channel->CountTx, static_cast<int32_t>(kRing));
  for (int i = 0; i < 5; ++i) loop.RunOnce(1);
  EXPECT_EQ(channel->CountTx, static_cast<int32_t>(kRing));

  // The line drains a little at a time; every byte arrives, in order.
  std::string written;
  bool done = Drive(loop, [&] {
    sent += client->SendSome(std::string_view(bytes).substr(sent));
    serial.DrainTx(0, 700);
    written += serial.TakeWritten(0);
    return written.size() >= bytes.size();
  });
  EXPECT_TRUE(done);
  EXPECT_EQ(Difference(written, bytes), "equal");
  EXPECT_EQ(channel->CountTx, static_cast<int32_t>(bytes.size()));
  EXPECT_EQ(channel->Connected, 1);
  EXPECT_FALSE(Bridged().ReadPaused());
}

TEST_F(ChannelFlow, SlowClientLeavesTheBytesInTheSerialRing) {
  TestClient client(port, "127.0.0.1", 4096);
  ASSERT_EQ(client.ReadExactly(loop, kNoticeSize), kB01);
  SmallSendBuffer(Bridged().NativeHandle());
  const std::string bytes = Pattern(3 << 20);
  serial.Feed(0, bytes);

  // The client reads nothing: the queue towards it stops near the high-water mark, the rest
  // stays with the serial line.
  int32_t mostQueued = 0;
  for (int i = 0; i < 200; ++i) {
    loop.RunOnce(1);
    mostQueued = std::max(mostQueued, Bridged().OutputQueued());
  }
  EXPECT_GT(mostQueued, TBridgeChanel::kClientHighWater);
  EXPECT_LE(mostQueued, TBridgeChanel::kClientHighWater + TBridgeChanel::kPollMax);
  EXPECT_GT(serial.HeldBack(0), 0u);
  EXPECT_EQ(channel->Connected, 1);

  // Reading it all brings every byte, in order, without a timer.
  std::string got;
  bool done = Drive(loop, [&] {
    got += client.ReadNow(16384);
    mostQueued = std::max(mostQueued, Bridged().OutputQueued());
    return got.size() >= bytes.size();
  });
  EXPECT_TRUE(done);
  EXPECT_EQ(Difference(got, bytes), "equal");
  EXPECT_LE(mostQueued, TBridgeChanel::kClientHighWater + TBridgeChanel::kPollMax);
  EXPECT_EQ(channel->CountRx, static_cast<int32_t>(bytes.size()));
  EXPECT_EQ(loop.NowMs(), 0);
}

TEST_F(ChannelFlow, ClientThatLeavesWhileHeldBackStillDeliversEverything) {
  serial.SetTxCapacity(0, 10);
  auto client = Bridge();
  client->SendSome("0123456789abcdef");
  loop.RunUntil([&] { return Bridged().ReadPaused(); });
  client->Close();
  std::string written;
  bool done = Drive(loop, [&] {
    serial.DrainTx(0);
    written += serial.TakeWritten(0);
    return channel->Connected == 0 && serial.TxQueued(0) == 0;
  });
  EXPECT_TRUE(done);
  EXPECT_EQ(written, "0123456789abcdef");
  EXPECT_TRUE(errors.empty());
}

}  // namespace
}  // namespace kov::chantest
