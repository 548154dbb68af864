// A channel takes its port's line from BridgePorts.conf at each Open: the line setting, the idle
// time and the keepalive of its bridged connection; a line with a fault, or one the device does
// not take, keeps it from opening; the setting survives the device's return.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include "ChannelFixture.h"
#include "net/OutputDrain.h"

namespace kov::chantest {
namespace {

class ChannelLine : public ChannelFixture {
 protected:
  void SetOptions(const PortOptions& options, const std::string& fault = "") {
    PortLine line = serial.Ports().Line(0);
    line.options = options;
    line.fault = fault;
    serial.Ports().SetLine(0, line);
  }
  // The bridged connection's socket option, read on the channel's own end.
  int Option(int level, int name) {
    int value = -1;
    socklen_t size = sizeof value;
    getsockopt(Listener().ConnectionAt(0).NativeHandle(), level, name, &value, &size);
    return value;
  }
};

TEST_F(ChannelLine, OpensWithTheWholeLineAndKeepsItWhenTheDeviceComesBack) {
  PortOptions options;
  options.dataBits = 7;
  options.stopBits = 2;
  options.flow = FlowControl::RtsCts;
  options.dtr = false;
  SetOptions(options);
  ASSERT_EQ(channel->Open(5, 2, port), 0);
  EXPECT_EQ(serial.AppliedLine(0).dataBits, 7);
  EXPECT_EQ(serial.AppliedLine(0).flow, FlowControl::RtsCts);
  EXPECT_FALSE(serial.AppliedLine(0).dtr);
  EXPECT_EQ(log.Count("COM1 opened on memory:COM1 (9600 7E2, rtscts, dtr off)"), 1u) << log.All();

  serial.Unplug(0);
  loop.RunOnce(0);
  ASSERT_TRUE(channel->WaitingForDevice());
  serial.Plug(0);
  loop.AdvanceMs(DeviceWait::kRetryMs);
  EXPECT_FALSE(channel->WaitingForDevice());
  EXPECT_EQ(log.Count("COM1 device back on memory:COM1 (9600 7E2, rtscts, dtr off)"), 1u)
      << log.All();
  EXPECT_FALSE(serial.AppliedLine(0).dtr);
  EXPECT_EQ(serial.AppliedLine(0).stopBits, 2);
}

TEST_F(ChannelLine, AFaultOrALineTheDeviceRefusesKeepsThePortClosed) {
  SetOptions(PortOptions{}, "BridgePorts.conf line 4: unknown option 'parity=even'");
  EXPECT_EQ(channel->Open(9, 2, port), kSioCannotOpen);
  EXPECT_EQ(channel->Opened, 0);
  EXPECT_TRUE(serial.Calls().empty()) << "the device is not even opened";
  EXPECT_FALSE(IsListening(port));
  EXPECT_EQ(log.Count("COM1: bridge cannot open, BridgePorts.conf line 4: unknown option "
                      "'parity=even'"),
            1u)
      << log.All();

  // A driver that does not take 5 data bits fails the open the same way.
  PortOptions five;
  five.dataBits = 5;
  SetOptions(five);
  serial.FailWith("SioParms", 0, kSioHardware);
  EXPECT_EQ(channel->Open(9, 2, port), kSioHardware);
  EXPECT_EQ(channel->Opened, 0);
  EXPECT_FALSE(serial.IsOpen(0));
  EXPECT_EQ(log.Count("COM1 cannot open memory:COM1 with 115200 5E1: failing on demand"), 1u)
      << log.All();
  serial.ClearFailures();
  EXPECT_EQ(channel->Open(9, 2, port), 0);
}

TEST_F(ChannelLine, IdleTimeOfTheLine) {
  PortOptions options;
  options.idleSeconds = 2;
  SetOptions(options);
  Open();
  auto client = Bridge();
  loop.AdvanceMs(1999);
  EXPECT_EQ(channel->Connected, 1);
  loop.AdvanceMs(1);
  EXPECT_EQ(client->ReadUntilClosed(), kB02);
  EXPECT_EQ(log.Count("COM1: client 127.0.0.1 let go (silent for 2000 ms)"), 1u) << log.All();

  // idle=0: never let go for silence, however long.
  options.idleSeconds = 0;
  SetOptions(options);
  Open();
  auto quiet = Bridge();
  EXPECT_FALSE(channel->IdleTimer.Enabled());
  loop.AdvanceMs(10 * TBridgeChanel::kIdleMs);
  EXPECT_TRUE(quiet->Send("x"));
  loop.AdvanceMs(10 * TBridgeChanel::kIdleMs);
  EXPECT_EQ(quiet->ReadFor(20), "");
  EXPECT_FALSE(quiet->Eof());
  EXPECT_EQ(channel->Connected, 1);
}

TEST_F(ChannelLine, KeepaliveOfTheBridgedConnection) {
  Open();
  auto client = Bridge();
  EXPECT_NE(Option(SOL_SOCKET, SO_KEEPALIVE), 0) << "on by default";
  EXPECT_EQ(Option(IPPROTO_TCP, TCP_KEEPIDLE), 60);
  EXPECT_EQ(Option(IPPROTO_TCP, TCP_KEEPINTVL), 10);
  EXPECT_EQ(Option(IPPROTO_TCP, TCP_KEEPCNT), 3);
  client.reset();
  ASSERT_TRUE(loop.RunUntil([&] { return Listener().ConnectionCount() == 0; }));

  PortOptions options;
  options.keepaliveSeconds = 0;
  SetOptions(options);
  Open();
  auto unwatched = Bridge();
  EXPECT_EQ(Option(SOL_SOCKET, SO_KEEPALIVE), 0) << "keepalive=0 turns it off";
}

TEST_F(ChannelLine, QuietPortClosesWithoutTextWhenTheDeviceGoesAwayAndOnTheNextOpen) {
  PortOptions options;
  options.notices = false;
  SetOptions(options);
  Open();
  auto client = Connect();
  ASSERT_TRUE(loop.RunUntil([&] { return channel->Connected == 1; }));
  serial.Feed(0, "tail");
  EXPECT_EQ(client->ReadExactly(4), "tail") << "no B01 before the device's bytes";
  serial.Unplug(0);
  EXPECT_EQ(client->ReadUntilClosed(), "") << "no B02 after them";
  EXPECT_EQ(log.Count("COM1: client 127.0.0.1 let go (its device went away)"), 1u) << log.All();
  auto newcomer = Connect();
  EXPECT_EQ(newcomer->ReadUntilClosed(), "") << "refused while the device is away";
  serial.Plug(0);
  loop.AdvanceMs(DeviceWait::kRetryMs);
  auto next = Connect();
  ASSERT_TRUE(loop.RunUntil([&] { return channel->Connected == 1; }));
  EXPECT_EQ(channel->Open(9, 2, port), 0);
  EXPECT_EQ(next->ReadUntilClosed(), "");
  EXPECT_EQ(log.Count("let go (the bridge opened again)"), 1u) << log.All();
}

TEST_F(ChannelLine, ClosingHandsASlowClientWhatThePortReceivedThenB02) {
  Open();
  auto client = Connect({.receiveBuffer = 4096});
  ASSERT_EQ(client->ReadExactly(kNoticeSize), kB01);
  SmallSendBuffer(Listener().ConnectionAt(0).NativeHandle());
  const std::string bytes = PatternBytes(1 << 20, 5);
  serial.Feed(0, bytes);
  for (int i = 0; i < 200; ++i) loop.RunOnce(1);
  const size_t held = serial.HeldBack(0);
  ASSERT_GT(held, 0u) << "the client is behind: the port's ring is full";
  ASSERT_EQ(serial.SioRxQue(0), kSioCannotOpen) << "leased";

  // Closing at shutdown, with the drain that delivers what closed connections queued.
  TOutputDrain drain(loop, 30000);
  EXPECT_EQ(channel->Close(), 0);
  std::string got;
  ASSERT_TRUE(Drive(loop, [&] {
    got += client->ReadNow(16384);
    return client->Eof();
  }));
  ASSERT_GE(got.size(), kNoticeSize);
  const std::string data = got.substr(0, got.size() - kNoticeSize);
  EXPECT_EQ(got.substr(data.size()), kB02);
  EXPECT_GE(data.size() + held, bytes.size()) << "the ring's bytes came before the notice";
  EXPECT_EQ(Difference(data, bytes.substr(0, data.size())), "equal");
}

}  // namespace
}  // namespace kov::chantest
