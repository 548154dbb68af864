// Back-pressure through the remote link: nothing is lost towards a server that reads slowly or
// a serial line that sends slowly, and neither side's queue grows without bound.
#include <gtest/gtest.h>

#include <algorithm>

#include "LinkTestSupport.h"

namespace kov::linktest {
namespace {

constexpr size_t kSerialQueue = TBridgeClientChanel::kQueueSize;

TEST_F(LinkTest, SlowServerHoldsTheSerialSideBackWithoutLoss) {
  server.SetReceiveBuffer(16 * 1024);
  StopChannels();
  auto peer = ConnectLinked();
  peer->SetReceiveBuffer(16 * 1024);
  const std::string bytes = PatternBytes(12 << 20, 17);
  serial.Feed(kPort, bytes);

  // The server does not read: the link's queue fills to its mark and the serial line holds the
  // rest.
  int32_t maxQueued = 0;
  TCustomWinSocket& socket = link.Socket.Socket();
  loop.RunUntil(
      [&] {
        maxQueued = std::max(maxQueued, socket.OutputQueued());
        return false;
      },
      300);
  EXPECT_GT(maxQueued, 0) << "the server never fell behind";
  EXPECT_LE(maxQueued, TBridgeClientChanel::kOutputHighWater + static_cast<int32_t>(kSerialQueue));
  EXPECT_GT(serial.HeldBack(kPort), 0u) << "the serial side was read without holding back";

  // The server reads at last: every byte arrives, in order, within the same bound.
  std::string got;
  loop.RunUntil(
      [&] {
        maxQueued = std::max(maxQueued, socket.OutputQueued());
        got += peer->ReadNow();
        return got.size() >= bytes.size();
      },
      20000);
  EXPECT_LE(maxQueued, TBridgeClientChanel::kOutputHighWater + static_cast<int32_t>(kSerialQueue));
  EXPECT_EQ(got.size(), bytes.size());
  EXPECT_TRUE(got == bytes);
  EXPECT_EQ(link.Connected, 1);
  EXPECT_EQ(console, std::vector<std::string>{kOk});
  EXPECT_EQ(loop.NowMs(), 0) << "moved by the serial and socket events alone";
}

TEST_F(LinkTest, SlowSerialLineHoldsTheServerBackWithoutLoss) {
  constexpr size_t kRing = 1000;
  serial.SetTxCapacity(kPort, kRing);
  StopChannels();
  auto peer = ConnectLinked();
  const std::string bytes = PatternBytes(2 << 20, 19);

  size_t sent = 0;
  size_t maxRing = 0;
  bool paused = false;
  std::string written;
  loop.RunUntil(
      [&] {
        sent = peer->SendSome(bytes, sent);
        paused = paused || link.Socket.Socket().ReadPaused();
        maxRing = std::max(maxRing, serial.TxQueued(kPort));
        serial.DrainTx(kPort, 16 * 1024);
        written += serial.TakeWritten(kPort);
        return written.size() >= bytes.size();
      },
      20000);
  EXPECT_EQ(sent, bytes.size());
  EXPECT_EQ(written.size(), bytes.size());
  EXPECT_TRUE(written == bytes) << "bytes lost, doubled or changed on the way";
  EXPECT_LE(maxRing, kRing);
  EXPECT_TRUE(paused) << "the link never waited for the serial line";
  EXPECT_FALSE(link.Socket.Socket().ReadPaused());
  EXPECT_EQ(console, std::vector<std::string>{kOk});
}

TEST_F(LinkTest, FullSerialRingWaitsForRoomWithoutTheClock) {
  serial.SetTxCapacity(kPort, 10);
  StopChannels();
  auto peer = ConnectLinked();
  peer->Send(loop, "0123456789abcdef");
  ASSERT_TRUE(loop.RunUntil([&] { return link.Socket.Socket().ReadPaused(); }));
  EXPECT_EQ(serial.TxQueued(kPort), 10u);

  // The line moves a few bytes at a time; each room event lets more in.
  std::string written;
  loop.RunUntil([&] {
    serial.DrainTx(kPort, 3);
    written += serial.TakeWritten(kPort);
    return written.size() >= 16;
  });
  EXPECT_EQ(written, "0123456789abcdef");
  EXPECT_EQ(loop.NowMs(), 0);
}

}  // namespace
}  // namespace kov::linktest
