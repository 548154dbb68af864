// A serial device that goes away and comes back, under a local channel and under the remote
// link, on the in-memory serial layer and the manual clock.
#include <gtest/gtest.h>

#include <memory>

#include "LinkFixture.h"
#include "tests/support/Notices.h"

namespace kov::linktest {
namespace {

using notice::kB01;
using notice::kB02;

class DeviceLoss : public LinkTest {
 protected:
  static constexpr int32_t kCom1 = 0;
  TBridgeChanel& Channel() { return bridges.Channel(kCom1); }
  int TcpPort() const { return config.Ports[kCom1].TcpPort; }
  size_t Resets(int32_t port) {
    return CallCount("SioReset(" + std::to_string(port) + ",65000,65000)=0") +
           CallCount("SioReset(" + std::to_string(port) + ",65000,65000)=-2");
  }
};

TEST_F(DeviceLoss, ChannelLetsGoWaitsQuietlyAndBridgesAgainWhenTheDeviceIsBack) {
  ASSERT_EQ(Channel().Open(9, 2, TcpPort()), 0);
  TcpClient client(loop, TcpPort());
  ASSERT_EQ(client.ReadExactly(kNoticeSize), kB01);

  // Bytes on their way to the device wait in a slow line when it is unplugged; the device's
  // last bytes arrive in the same moment.
  serial.SetTxCapacity(kCom1, 4);
  EXPECT_TRUE(client.Send("abcdefgh"));
  ASSERT_TRUE(loop.RunUntil([&] { return serial.TxQueued(kCom1) == 4; }));
  serial.Feed(kCom1, "last bytes");
  serial.Unplug(kCom1);
  EXPECT_EQ(client.ReadUntilClosed(), "last bytes" + kB02);
  EXPECT_TRUE(client.Eof());
  EXPECT_EQ(Channel().Opened, 1);
  EXPECT_EQ(Channel().Connected, 0);
  EXPECT_TRUE(Channel().WaitingForDevice());
  EXPECT_EQ(log.Count("COM1 device memory:COM1 went away (hang-up), 4 unsent bytes dropped"), 1u)
      << log.All();
  EXPECT_EQ(log.Count("COM1: client 127.0.0.1 let go"), 1u) << log.All();

  // A newcomer is refused cleanly while the device is away.
  TcpClient newcomer(loop, TcpPort());
  EXPECT_EQ(newcomer.ReadUntilClosed(), kB02);
  EXPECT_EQ(log.Count("COM1: client 127.0.0.1 refused, the device is away"), 1u) << log.All();
  EXPECT_TRUE(IsListening(TcpPort()));

  // One quiet attempt a second; nothing else runs.
  const size_t lines = log.Lines().size();
  const size_t resets = Resets(kCom1);
  loop.AdvanceMs(5000);
  EXPECT_EQ(Resets(kCom1), resets + 5);
  EXPECT_EQ(log.Lines().size(), lines) << log.All();
  EXPECT_FALSE(Channel().Relay().PollTimer.Enabled());

  // Plugged back but not to be opened (say, a device node the service may not open): said
  // once, tried on.
  serial.Plug(kCom1);
  serial.FailWith("SioReset", kCom1, kSioCannotOpen);
  loop.AdvanceMs(3000);
  EXPECT_TRUE(Channel().WaitingForDevice());
  EXPECT_EQ(log.Count("COM1 device on memory:COM1 not back yet: failing on demand (tried again "
                      "every 1000 ms)"),
            1u)
      << log.All();

  // Then within a second the channel bridges again, with the port's settings.
  serial.ClearFailure("SioReset", kCom1);
  loop.AdvanceMs(1000);
  EXPECT_FALSE(Channel().WaitingForDevice());
  EXPECT_FALSE(Channel().Wait().RetryTimer.Enabled()) << "the retry timer runs only while away";
  EXPECT_EQ(log.Count("COM1 device back on memory:COM1 (115200 8E1)"), 1u) << log.All();
  EXPECT_EQ(log.Lines().size(), lines + 2) << log.All();
  EXPECT_EQ(serial.BaudCode(kCom1), 9);
  EXPECT_EQ(serial.Parity(kCom1), 2);
  loop.RunUntil([&] { return Channel().Server.Socket().ConnectionCount() == 0; });
  TcpClient next(loop, TcpPort());
  ASSERT_EQ(next.ReadExactly(kNoticeSize), kB01);
  serial.SetTxCapacity(kCom1, 0);
  EXPECT_TRUE(next.Send("up"));
  loop.RunUntil([&] { return serial.TakeWritten(kCom1) == "up"; });
  serial.Feed(kCom1, "down");
  EXPECT_EQ(next.ReadExactly(4), "down");

  // Gone again, then stopped: the waiting ends with the channel.
  serial.Unplug(kCom1);
  EXPECT_EQ(next.ReadUntilClosed(), kB02);
  ASSERT_TRUE(Channel().WaitingForDevice());
  EXPECT_EQ(Channel().Close(), 0);
  EXPECT_FALSE(Channel().WaitingForDevice());
  const size_t stopped = Resets(kCom1);
  loop.AdvanceMs(5000);
  EXPECT_EQ(Resets(kCom1), stopped);
  EXPECT_FALSE(IsListening(TcpPort()));
  EXPECT_TRUE(errors.empty());
}

TEST_F(DeviceLoss, OpenWaitsForADeviceThatWentAwayButNotForOneNeverSeen) {
  // COM2 has never had a device: opening it fails at once, as ever.
  serial.Unplug(1);
  EXPECT_EQ(bridges.Channel(1).Open(9, 2, config.Ports[1].TcpPort), kSioCannotOpen);
  EXPECT_FALSE(bridges.Channel(1).WaitingForDevice());
  EXPECT_FALSE(serial.Leased(1));

  // COM1's device went away while bridged, then the channel was stopped: started again it
  // listens and waits for the device.
  ASSERT_EQ(Channel().Open(9, 2, TcpPort()), 0);
  serial.Unplug(kCom1);
  loop.RunOnce(0);
  ASSERT_EQ(Channel().Close(), 0);
  EXPECT_EQ(Channel().Open(9, 2, TcpPort()), 0);
  EXPECT_TRUE(Channel().WaitingForDevice());
  EXPECT_TRUE(IsListening(TcpPort()));
  EXPECT_EQ(log.Count("COM1: device memory:COM1 is away, bridge waits for it (115200 E)"), 1u)
      << log.All();
  serial.Plug(kCom1);
  loop.AdvanceMs(1000);
  EXPECT_FALSE(Channel().WaitingForDevice());
  EXPECT_TRUE(serial.IsOpen(kCom1));
}

TEST_F(DeviceLoss, LinkEndsAndItsPortHealsAsAChannel) {
  StopChannels();
  auto peer = ConnectLinked();
  serial.Feed(kPort, "tail");
  serial.Unplug(kPort);
  EXPECT_EQ(peer->ReadExactly(4), "tail");
  EXPECT_TRUE(peer->WaitClosed());
  ASSERT_TRUE(loop.RunUntil([&] { return console.size() == 2; }));
  EXPECT_EQ(console[1], " ERROR: Serial Port COM3 device lost\n\rBridge:\\>");
  EXPECT_EQ(link.Connected, 0);
  EXPECT_FALSE(link.HoldsPort());

  // The local channels run again, COM3's waiting for its device with its flag set.
  EXPECT_EQ(ChannelsOpened(), 8);
  EXPECT_EQ(ActiveFlags(), 8);
  TBridgeChanel& com3 = bridges.Channel(kPort);
  EXPECT_TRUE(com3.WaitingForDevice());
  serial.Plug(kPort);
  loop.AdvanceMs(1000);
  EXPECT_FALSE(com3.WaitingForDevice());
  TcpClient client(loop, config.Ports[kPort].TcpPort);
  EXPECT_EQ(client.ReadExactly(kNoticeSize), kB01);
  serial.Feed(kPort, "healed");
  EXPECT_EQ(client.ReadExactly(6), "healed");
  EXPECT_EQ(log.Count("Remote server link: COM3 ended, its serial device went away"), 1u)
      << log.All();
}

}  // namespace
}  // namespace kov::linktest
