// End to end: a channel over the termios serial layer on a pseudo-terminal (the test plays the
// device on the master side) and real TCP clients, on the real clock.
#include <gtest/gtest.h>

#include <memory>

#include "TestPortPaths.h"
#include "bridge/BridgeChanel.h"
#include "bridge/TermiosSerial.h"
#include "config/ConfigFile.h"
#include "tests/support/Descriptors.h"
#include "tests/support/Drive.h"
#include "tests/support/LogCapture.h"
#include "tests/support/Notices.h"
#include "tests/support/Pattern.h"
#include "tests/support/Pty.h"
#include "tests/support/TcpClient.h"

namespace kov {
namespace {

class ChannelPty : public ::testing::Test {
 protected:
  ChannelPty() {
    loop.SetErrorHandler([this](const std::string& text) { errors.push_back(text); });
  }
  void SetUp() override { ASSERT_EQ(channel->Open(9, 0, port), 0); }

  std::unique_ptr<TcpClient> Bridge(int receiveBuffer = 0) {
    auto client =
        std::make_unique<TcpClient>(loop, port, TcpClient::Options{.receiveBuffer = receiveBuffer});
    EXPECT_EQ(client->ReadExactly(kNoticeSize), notice::kB01);
    return client;
  }
  TServerWinSocket& Listener() { return channel->Server.Socket(); }
  TCustomWinSocket* Bridged() {
    return Listener().ConnectionCount() > 0 ? &Listener().ConnectionAt(0) : nullptr;
  }

  EventLoop loop;
  Pty device{loop};
  TermiosSerial serial{loop, PathsWith(device.SlavePath())};
  TConfigFile config{"/nonexistent/BridgeConfig.sys"};
  LogCapture log;
  std::vector<std::string> errors;
  int port = FreeTcpPort();
  std::unique_ptr<TBridgeChanel> channel = std::make_unique<TBridgeChanel>(loop, serial, config, 0);
};

TEST_F(ChannelPty, BytesGoBothWays) {
  auto client = Bridge();
  const std::string up("ping\0\xff\r\n", 8);
  EXPECT_TRUE(client->Send(up));
  EXPECT_EQ(device.ReadExactly(up.size()), up);

  const std::string down("pong\0\x11\x13", 7);
  ASSERT_TRUE(device.Write(down));
  EXPECT_EQ(client->ReadExactly(down.size()), down);
  EXPECT_EQ(channel->CountTx, 8);
  EXPECT_EQ(channel->CountRx, 7);
  EXPECT_TRUE(errors.empty());
}

// Both directions at once; which side reads slowly is the test's choice.
struct Burst {
  std::string up = PatternBytes(1 << 20, 11);
  std::string down = PatternBytes(1 << 20, 23);
  size_t sentUp = 0;
  std::string atDevice;
  std::string atClient;
  bool Done() const { return atDevice.size() >= up.size() && atClient.size() >= down.size(); }
};

TEST_F(ChannelPty, MegabyteEachWayWithASlowDevice) {
  auto client = Bridge();
  Burst burst;
  device.SetReading(false);
  device.Send(burst.down);
  bool paused = false;
  int turn = 0;
  bool done = Drive(loop, [&] {
    burst.sentUp += client->SendSome(std::string_view(burst.up).substr(burst.sentUp));
    burst.atClient += client->ReadNow();
    if (++turn % 2 == 0) burst.atDevice += device.ReadNow(8192);
    if (TCustomWinSocket* bridged = Bridged()) paused |= bridged->ReadPaused();
    return burst.Done();
  });
  EXPECT_TRUE(done);
  EXPECT_EQ(Difference(burst.atDevice, burst.up), "equal");
  EXPECT_EQ(Difference(burst.atClient, burst.down), "equal");
  EXPECT_TRUE(paused) << "the transmit ring never filled";
  EXPECT_EQ(channel->Connected, 1);
  EXPECT_TRUE(errors.empty());
}

TEST_F(ChannelPty, MegabyteEachWayWithASlowClient) {
  auto client = Bridge(8192);
  SmallSendBuffer(Bridged()->NativeHandle());
  Burst burst;
  device.Send(burst.down);
  int32_t mostQueued = 0;
  int turn = 0;
  bool done = Drive(loop, [&] {
    burst.sentUp += client->SendSome(std::string_view(burst.up).substr(burst.sentUp));
    burst.atDevice += device.ReadNow();
    if (++turn % 4 == 0) burst.atClient += client->ReadNow(4096);
    if (TCustomWinSocket* bridged = Bridged()) {
      mostQueued = std::max(mostQueued, bridged->OutputQueued());
    }
    return burst.Done();
  });
  EXPECT_TRUE(done);
  EXPECT_EQ(Difference(burst.atDevice, burst.up), "equal");
  EXPECT_EQ(Difference(burst.atClient, burst.down), "equal");
  // The client fell far enough behind for the poll to hold back.
  EXPECT_GT(mostQueued, SerialRelay::kHighWater);
  EXPECT_LE(mostQueued, SerialRelay::kHighWater + SerialRelay::kChunkMax);
  EXPECT_EQ(channel->Connected, 1);
  EXPECT_TRUE(errors.empty());
}

TEST_F(ChannelPty, RapidClientsLeaveTheBridgedOneUndisturbed) {
  auto bridged = Bridge();
  int accepted = 0;
  channel->Server.OnAccept = [&](TServerSocket&, TCustomWinSocket&) { ++accepted; };
  bridged->ReadFor(20);
  const int descriptors = OpenDescriptors();

  for (int i = 0; i < 500; ++i) {
    {
      TcpClient other(loop, port);
      if (i % 2 == 0) {
        // Waits for its answer: the busy notice, then the close.
        ASSERT_EQ(other.ReadUntilClosed(), notice::kB03) << "client " << i;
      } else {
        other.Close();  // gone before the channel has even seen it
        ASSERT_TRUE(loop.RunUntil([&] { return accepted == i + 1; })) << "client " << i;
      }
    }
    if (i % 100 == 99) {
      const std::string up = "up" + std::to_string(i);
      EXPECT_TRUE(bridged->Send(up));
      EXPECT_EQ(device.ReadExactly(up.size()), up);
      const std::string down = "down" + std::to_string(i);
      device.Send(down);
      EXPECT_EQ(bridged->ReadExactly(down.size()), down);
    }
  }
  EXPECT_EQ(accepted, 500);
  EXPECT_TRUE(loop.RunUntil([&] { return Listener().ConnectionCount() == 1; }));
  EXPECT_EQ(bridged->ReadFor(20), "");
  EXPECT_FALSE(bridged->Eof());
  EXPECT_EQ(channel->Connected, 1);
  EXPECT_EQ(OpenDescriptors(), descriptors);
  EXPECT_TRUE(errors.empty());
}

}  // namespace
}  // namespace kov
