// Clients of a channel: take-on, a second client, refused addresses, letting go (peer close,
// reset, idle countdown), on the manual clock with real loopback sockets.
#include <gtest/gtest.h>
#include <netinet/tcp.h>

#include "ChannelFixture.h"

namespace kov::chantest {
namespace {

class ChannelClients : public ChannelFixture {
 protected:
  void SetUp() override { Open(); }
};

TEST_F(ChannelClients, FirstClientIsTakenOnWithB01) {
  auto client = Connect();
  EXPECT_EQ(client->ReadExactly(20), kB01);
  EXPECT_EQ(channel->Connected, 1);
  EXPECT_EQ(channel->RemoteAddress, "127.0.0.1");
  EXPECT_TRUE(channel->Relay().Moving());
  EXPECT_EQ(channel->IdleTimer.RemainingMs(), 180000);
  EXPECT_EQ(channel->FirstClientHandle, Listener().ConnectionAt(0).NativeHandle());
  int noDelay = 0;
  socklen_t len = sizeof noDelay;
  getsockopt(Listener().ConnectionAt(0).NativeHandle(), IPPROTO_TCP, TCP_NODELAY, &noDelay, &len);
  EXPECT_NE(noDelay, 0);
  EXPECT_EQ(log.Count("COM1: client 127.0.0.1 bridged"), 1u) << log.All();
  ChannelState state = channel->State();
  EXPECT_EQ(state.Opened, 1);
  EXPECT_EQ(state.Connected, 1);
  EXPECT_EQ(state.RemoteAddress, "127.0.0.1");
  // Nothing more than the notice arrives.
  EXPECT_EQ(client->ReadFor(20), "");
}

TEST_F(ChannelClients, SecondClientGetsB03WhileTheFirstCarriesOnWithItsCountdown) {
  auto first = Bridge();
  loop.AdvanceMs(60000);
  ASSERT_EQ(channel->IdleTimer.RemainingMs(), 120000);

  TcpClient second(loop, port);
  EXPECT_EQ(second.ReadUntilClosed(), kB03);
  EXPECT_TRUE(WaitConnections(1));
  EXPECT_NE(channel->SecondClientHandle, channel->FirstClientHandle);
  EXPECT_EQ(channel->IdleTimer.RemainingMs(), 120000);
  EXPECT_EQ(channel->Connected, 1);
  EXPECT_EQ(log.Count("COM1: client 127.0.0.1 refused, the port is in use"), 1u) << log.All();

  // The first client has had nothing from it and still bridges both ways.
  EXPECT_EQ(first->ReadFor(20), "");
  EXPECT_TRUE(first->Send("abc"));
  loop.RunUntil([&] { return serial.TakeWritten(0) == "abc"; });
  serial.Feed(0, "xyz");
  EXPECT_EQ(first->ReadExactly(3), "xyz");
  // The countdown of the first client is what drops it.
  loop.AdvanceMs(180000 - 1);
  EXPECT_EQ(channel->Connected, 1);
}

TEST_F(ChannelClients, RefusedFirstClientGetsB02) {
  config.AccAddress = {"10.1.", "None", ""};
  auto client = Connect();
  EXPECT_EQ(client->ReadUntilClosed(), kB02);
  EXPECT_EQ(channel->Connected, 0);
  EXPECT_EQ(channel->RemoteAddress, "");
  EXPECT_FALSE(channel->Relay().Moving());
  EXPECT_FALSE(channel->IdleTimer.Enabled());
  EXPECT_EQ(log.Count("COM1: client 127.0.0.1 refused, address not accepted"), 1u) << log.All();
  EXPECT_EQ(log.Count("let go"), 0u) << log.All();
  // An accepted address is taken on afterwards.
  config.AccAddress = {"127.0.0.", "", ""};
  EXPECT_TRUE(WaitConnections(0));
  Bridge();
}

TEST_F(ChannelClients, RefusedSecondClientGetsNoNotice) {
  config.AccAddress = {"127.0.0.1", "", ""};
  auto first = Bridge();
  TcpClient second(loop, port, {.from = "127.0.0.2"});
  EXPECT_EQ(second.ReadUntilClosed(), "");
  EXPECT_TRUE(second.Eof());
  EXPECT_EQ(log.Count("COM1: client 127.0.0.2 refused, address not accepted"), 1u) << log.All();
  EXPECT_EQ(channel->Connected, 1);
  EXPECT_EQ(first->ReadFor(20), "");
  serial.Feed(0, "still");
  EXPECT_EQ(first->ReadExactly(5), "still");
}

TEST_F(ChannelClients, PeerCloseLetsTheClientGoAndTheNextIsTakenOn) {
  auto client = Bridge();
  client->Close();
  EXPECT_TRUE(loop.RunUntil([&] { return channel->Connected == 0; }));
  EXPECT_FALSE(channel->Relay().Moving());
  EXPECT_FALSE(channel->IdleTimer.Enabled());
  EXPECT_EQ(log.Count("COM1: client 127.0.0.1 let go"), 1u) << log.All();
  EXPECT_TRUE(WaitConnections(0));
  auto next = Bridge();
  EXPECT_TRUE(errors.empty());
}

TEST_F(ChannelClients, ResetByThePeerIsNoErrorAndFreesTheChannel) {
  auto client = Bridge();
  client->Reset();
  EXPECT_TRUE(loop.RunUntil([&] { return channel->Connected == 0; }));
  EXPECT_TRUE(WaitConnections(0));
  EXPECT_FALSE(channel->IdleTimer.Enabled());
  EXPECT_TRUE(errors.empty()) << errors.front();
  auto next = Bridge();
}

TEST_F(ChannelClients, SilentClientIsDroppedAfter180000msEvenWhileSerialDataFlows) {
  auto client = Bridge();
  std::string received;
  for (int second = 10; second < 180; second += 10) {
    serial.Feed(0, "tick");
    loop.AdvanceMs(10000);
    received += client->ReadExactly(4);
  }
  EXPECT_EQ(received.size(), 17u * 4);
  loop.AdvanceMs(10000 - 1);
  EXPECT_EQ(channel->Connected, 1);
  EXPECT_EQ(client->ReadNow(), "");
  loop.AdvanceMs(1);
  EXPECT_EQ(client->ReadUntilClosed(), kB02);
  EXPECT_EQ(channel->Connected, 0);
  EXPECT_FALSE(channel->IdleTimer.Enabled());
  EXPECT_EQ(log.Count("COM1: client 127.0.0.1 let go (silent for 180000 ms)"), 1u) << log.All();
}

TEST_F(ChannelClients, DataFromTheClientRestartsTheCountdown) {
  auto client = Bridge();
  loop.AdvanceMs(100000);
  EXPECT_TRUE(client->Send("k"));
  loop.RunUntil([&] { return channel->IdleTimer.RemainingMs() == 180000; });
  EXPECT_EQ(channel->IdleTimer.RemainingMs(), 180000);
  loop.AdvanceMs(179999);
  EXPECT_EQ(channel->Connected, 1);
  loop.AdvanceMs(1);
  EXPECT_EQ(client->ReadUntilClosed(), kB02);
}

TEST_F(ChannelClients, SerialBytesWaitInThePortForTheNextClient) {
  serial.Feed(0, "abc");
  for (int i = 0; i < 5; ++i) loop.RunOnce(1);
  loop.AdvanceMs(1000);
  EXPECT_EQ(channel->CountRx, 0);
  auto client = Bridge();
  EXPECT_EQ(client->ReadExactly(3), "abc");
  EXPECT_EQ(channel->CountRx, 3);
}

TEST_F(ChannelClients, ClientThatLeavesWhileHeldBackStillDeliversEverything) {
  serial.SetTxCapacity(0, 10);
  auto client = Bridge();
  client->SendSome("0123456789abcdef");
  loop.RunUntil([&] { return Listener().ConnectionAt(0).ReadPaused(); });
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
