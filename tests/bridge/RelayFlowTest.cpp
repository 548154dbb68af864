// The relay between a serial port and a TCP connection, run for both of its holders, a local
// channel and the remote link: nothing lost between a fast side and a slow one, neither side's
// queue growing without bound, every byte moved by the serial and socket events alone, and the
// poll timer asleep unless bytes are held back.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "LinkFixture.h"
#include "tests/support/Drive.h"
#include "tests/support/Notices.h"

namespace kov {
namespace {

enum class Holder { Channel, Link };
void PrintTo(Holder holder, std::ostream* out) {
  *out << (holder == Holder::Channel ? "the channel" : "the link");
}

class RelayFlow : public linktest::LinkTest, public ::testing::WithParamInterface<Holder> {
 protected:
  // Connects the far end (a client of the channel, or the server the link calls) with the given
  // socket receive buffer (0: the default) and waits until the holder bridges it.
  TcpClient Bridge(int receiveBuffer = 0) {
    StopChannels();
    if (GetParam() == Holder::Channel) {
      const PortSettings& settings = config.Ports[kPort];
      EXPECT_EQ(bridges.Channel(kPort).Open(9, 2, settings.TcpPort), 0);
      TcpClient client(loop, settings.TcpPort, {.receiveBuffer = receiveBuffer});
      EXPECT_EQ(client.ReadExactly(kNoticeSize), notice::kB01);
      return client;
    }
    if (receiveBuffer > 0) server.SetReceiveBuffer(receiveBuffer);
    EXPECT_FALSE(link.Connect(kPort, "127.0.0.1"));
    TcpClient peer = server.Accept(loop);
    EXPECT_TRUE(peer.Connected());
    EXPECT_TRUE(loop.RunUntil([&] { return link.Connected == 1; }));
    return peer;
  }
  // The program's end of the connection.
  TCustomWinSocket& Connection() {
    if (GetParam() == Holder::Channel)
      return bridges.Channel(kPort).Server.Socket().ConnectionAt(0);
    return link.Socket.Socket();
  }
  SerialRelay& Relay() {
    return GetParam() == Holder::Channel ? bridges.Channel(kPort).Relay() : link.Relay();
  }
  bool Bridged() {
    return GetParam() == Holder::Channel ? bridges.Channel(kPort).Connected == 1
                                         : link.Connected == 1;
  }
};

TEST_P(RelayFlow, BytesGoBothWaysWholeAndAtOnce) {
  auto peer = Bridge();
  const std::string up = PatternBytes(300000, 7);
  ASSERT_NE(up.find('\0'), std::string::npos);
  EXPECT_TRUE(peer.Send(up));
  std::string written;
  loop.RunUntil([&] {
    written += serial.TakeWritten(kPort);
    return written.size() >= up.size();
  });
  EXPECT_EQ(Difference(written, up), "equal");

  // Small pieces go out one by one, zero bytes included; more than a ring goes out in order.
  std::string down;
  for (const std::string& piece :
       {std::string("\0", 1), std::string("ab\0", 3), std::string("z"), PatternBytes(200000, 3)}) {
    serial.Feed(kPort, piece);
    EXPECT_EQ(Difference(peer.ReadExactly(piece.size()), piece), "equal");
    down += piece;
  }
  EXPECT_EQ(loop.NowMs(), 0) << "delivered without waiting for the poll";
  if (GetParam() == Holder::Channel) {
    EXPECT_EQ(bridges.Channel(kPort).CountTx, static_cast<int32_t>(up.size()));
    EXPECT_EQ(bridges.Channel(kPort).CountRx, static_cast<int32_t>(down.size()));
  }
}

TEST_P(RelayFlow, SlowSerialLineHoldsTheConnectionBack) {
  constexpr size_t kRing = 1000;
  serial.SetTxCapacity(kPort, kRing);
  auto peer = Bridge();
  const std::string bytes = PatternBytes(1 << 20, 19);

  size_t sent = 0;
  size_t mostInRing = 0;
  bool paused = false;
  std::string written;
  bool done = Drive(loop, [&] {
    sent += peer.SendSome(std::string_view(bytes).substr(sent));
    paused = paused || Connection().ReadPaused();
    mostInRing = std::max(mostInRing, serial.TxQueued(kPort));
    serial.DrainTx(kPort, 16 * 1024);
    written += serial.TakeWritten(kPort);
    return written.size() >= bytes.size();
  });
  EXPECT_TRUE(done);
  EXPECT_EQ(Difference(written, bytes), "equal");
  EXPECT_LE(mostInRing, kRing);
  EXPECT_TRUE(paused) << "the connection never waited for the serial line";
  EXPECT_FALSE(Connection().ReadPaused());
  EXPECT_TRUE(Bridged());
  if (GetParam() == Holder::Channel) {
    EXPECT_EQ(bridges.Channel(kPort).CountTx, static_cast<int32_t>(bytes.size()));
  }
}

TEST_P(RelayFlow, SlowConnectionLeavesTheBytesInTheSerialRing) {
  auto peer = Bridge(4096);
  SmallSendBuffer(Connection().NativeHandle());
  const std::string bytes = PatternBytes(3 << 20, 17);
  serial.Feed(kPort, bytes);

  // The far end reads nothing: the queue towards it stops near the high-water mark, the rest
  // stays with the serial line, and the poll timer is armed for the bytes held back.
  int32_t mostQueued = 0;
  for (int i = 0; i < 200; ++i) {
    loop.RunOnce(1);
    mostQueued = std::max(mostQueued, Connection().OutputQueued());
  }
  EXPECT_GT(mostQueued, SerialRelay::kHighWater);
  EXPECT_LE(mostQueued, SerialRelay::kHighWater + SerialRelay::kChunkMax);
  EXPECT_GT(serial.HeldBack(kPort), 0u);
  EXPECT_TRUE(Relay().PollTimer.Enabled());

  // Reading it all brings every byte, in order, without the clock.
  std::string got;
  bool done = Drive(loop, [&] {
    got += peer.ReadNow(16384);
    mostQueued = std::max(mostQueued, Connection().OutputQueued());
    return got.size() >= bytes.size();
  });
  EXPECT_TRUE(done);
  EXPECT_EQ(Difference(got, bytes), "equal");
  EXPECT_LE(mostQueued, SerialRelay::kHighWater + SerialRelay::kChunkMax);
  EXPECT_EQ(loop.NowMs(), 0) << "moved by the serial and socket events alone";
  EXPECT_TRUE(Bridged());
  loop.RunUntil([&] { return !Relay().PollTimer.Enabled(); });
  EXPECT_FALSE(Relay().PollTimer.Enabled()) << "nothing held back: the poll sleeps";
}

TEST_P(RelayFlow, FullSerialRingWaitsForRoomAndTheIdleRelaySleeps) {
  serial.SetTxCapacity(kPort, 10);
  auto peer = Bridge();
  EXPECT_TRUE(peer.Send("0123456789abcdef"));
  ASSERT_TRUE(loop.RunUntil([&] { return Connection().ReadPaused(); }));
  EXPECT_EQ(serial.TxQueued(kPort), 10u);

  // The line moves a few bytes at a time; each room event lets more in.
  std::string written;
  loop.RunUntil([&] {
    serial.DrainTx(kPort, 3);
    written += serial.TakeWritten(kPort);
    return written.size() >= 16;
  });
  EXPECT_EQ(written, "0123456789abcdef");
  serial.Feed(kPort, std::string("ab\0c", 4));
  EXPECT_EQ(peer.ReadExactly(4), std::string("ab\0c", 4));
  EXPECT_EQ(loop.NowMs(), 0);

  // Nothing moves any more: no poll is armed, and none comes in a minute.
  loop.RunOnce(0);
  EXPECT_FALSE(Relay().PollTimer.Enabled());
  loop.AdvanceMs(60000);
  EXPECT_FALSE(Relay().PollTimer.Enabled());
  EXPECT_EQ(peer.ReadNow(), "");
  serial.Feed(kPort, "x");
  EXPECT_EQ(peer.ReadExactly(1), "x") << "a byte still goes at once";
}

INSTANTIATE_TEST_SUITE_P(Holders, RelayFlow, ::testing::Values(Holder::Channel, Holder::Link),
                         [](const auto& info) {
                           return info.param == Holder::Channel ? "Channel" : "Link";
                         });

}  // namespace
}  // namespace kov
