// The serial library's contract for its users, on the in-memory backend: one holder per port,
// and a device that goes away and comes back.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "bridge/SerialLease.h"
#include "event/EventLoop.h"
#include "tests/support/LogCapture.h"
#include "tests/support/MemorySerial.h"

namespace kov {
namespace {

class SerialLeaseTest : public ::testing::Test {
 protected:
  // A holder whose events are written down in the order they come.
  std::unique_ptr<SerialLease> Lease(int32_t port, const std::string& who) {
    return serial.Lease(port, {[this, who] { events.push_back(who + " rx"); },
                               [this, who] { events.push_back(who + " room"); },
                               [this, who] { events.push_back(who + " lost"); }});
  }
  // 115200 8E1, the modem lines raised.
  static PortSetup FastEvenSetup() {
    PortSetup setup{65000, 65000, LineSetting{}};
    setup.line.rate = 115200;
    setup.line.parity = Parity::Even;
    return setup;
  }
  const PortSetup kSetup = FastEvenSetup();

  LogCapture log;
  EventLoop loop{EventLoop::Clock::Manual};
  MemorySerial serial{loop};
  std::vector<std::string> events;
};

TEST_F(SerialLeaseTest, OnlyTheHolderActsOnItsPort) {
  auto first = Lease(2, "first");
  ASSERT_NE(first, nullptr);
  EXPECT_TRUE(serial.Leased(2));
  EXPECT_EQ(Lease(2, "second"), nullptr) << "one holder at a time";
  EXPECT_EQ(serial.Lease(8, {}), nullptr);
  ASSERT_EQ(first->Open(kSetup), 0);

  // Anyone else's call fails and does nothing: the port stays open with its bytes.
  serial.Feed(2, "abc");
  EXPECT_EQ(serial.SioDone(2), kSioCannotOpen);
  EXPECT_EQ(serial.SioReset(2, 100, 100), kSioCannotOpen);
  EXPECT_EQ(serial.SioBaud(2, 3), kSioCannotOpen);
  EXPECT_EQ(serial.SioRxQue(2), kSioCannotOpen);
  char buffer[8];
  EXPECT_EQ(serial.SioGets(2, buffer, 8), kSioCannotOpen);
  EXPECT_EQ(serial.SioPuts(2, "x", 1), kSioCannotOpen);
  EXPECT_EQ(serial.SioTxFree(2), kSioCannotOpen);
  EXPECT_TRUE(serial.IsOpen(2));
  EXPECT_EQ(serial.BaudCode(2), 9);
  EXPECT_EQ(first->SioRxQue(), 3);
  loop.RunOnce(0);
  EXPECT_EQ(events, std::vector<std::string>{"first rx"});

  // Letting go closes the port; an event already on its way is not delivered to the next
  // holder, whose own events start with its own open.
  serial.Feed(2, "def");
  first.reset();
  EXPECT_FALSE(serial.IsOpen(2));
  EXPECT_FALSE(serial.Leased(2));
  auto second = Lease(2, "second");
  ASSERT_NE(second, nullptr);
  ASSERT_EQ(second->Open(kSetup), 0);
  loop.RunOnce(0);
  EXPECT_EQ(events, std::vector<std::string>{"first rx"});
  serial.Feed(2, "g");
  loop.RunOnce(0);
  EXPECT_EQ(events, (std::vector<std::string>{"first rx", "second rx"}));

  // A lease that outlives its library does nothing.
  auto orphan = std::make_unique<MemorySerial>(loop);
  auto held = orphan->Lease(0, {});
  ASSERT_EQ(held->Open(kSetup), 0);
  orphan.reset();
  EXPECT_EQ(held->SioRxQue(), kSioNotOpen);
  held.reset();
}

TEST_F(SerialLeaseTest, OpenAppliesTheWholeLineAtOnceWithOneLogLine) {
  auto lease = Lease(0, "holder");
  PortSetup setup = kSetup;
  setup.line.rate = 9600;
  setup.line.dataBits = 7;
  setup.line.stopBits = 2;
  setup.line.flow = FlowControl::RtsCts;
  setup.line.dtr = false;
  setup.line.lowLatency = true;
  ASSERT_EQ(lease->Open(setup), 0);
  // The device's calls: the open, the line in one step, DTR (RTS is the hardware's), the mode.
  EXPECT_EQ(serial.Calls(),
            (std::vector<std::string>{"SioReset(0,65000,65000)=0", "Line(0,9600 7E2, rtscts)=0",
                                      "Dtr(0,off)=0", "LowLatency(0,on)=0"}));
  EXPECT_EQ(serial.AppliedLine(0), setup.line);
  EXPECT_EQ(lease->Line(), setup.line);
  EXPECT_EQ(log.Lines(),
            (std::vector<std::string>{
                "COM1 opened on memory:COM1 (9600 7E2, rtscts, dtr off, low latency)"}));

  // A device without modem lines and a driver that refuses the mode: the open goes on, and its
  // one line says what was not applied.
  serial.SetNoModemLines(1, true);
  serial.SetLowLatencyRefused(1, true);
  auto other = Lease(1, "other");
  setup.line.flow = FlowControl::None;
  setup.line.rts = false;
  ASSERT_EQ(other->Open(setup), 0);
  EXPECT_EQ(log.Count("COM2 opened on memory:COM2 (9600 7E2, dtr off, rts off, low latency), dtr "
                      "off not applied (the driver has no modem lines), rts off not applied (the "
                      "driver has no modem lines), low latency refused by the driver "
                      "(Inappropriate ioctl for device)"),
            1u)
      << log.All();
  EXPECT_EQ(log.Lines().size(), 2u) << log.All();
}

TEST_F(SerialLeaseTest, AFailingOpenNamesThePartClosesThePortAndSaysWhy) {
  auto lease = Lease(0, "holder");
  OpenFailure failure;
  serial.FailWith("SioBaud", 0, kSioBadBaud);
  EXPECT_EQ(lease->Open(kSetup, &failure), kSioBadBaud);
  EXPECT_EQ(failure.step, SioStep::Baud);
  EXPECT_FALSE(lease->IsOpen()) << "a line the device does not take is not left open";
  EXPECT_EQ(log.Count("COM1 cannot open memory:COM1 with 115200 8E1: failing on demand"), 1u)
      << log.All();
  serial.ClearFailures();
  serial.FailWith("SioParms", 0, kSioHardware);
  EXPECT_EQ(lease->Open(kSetup, &failure), kSioHardware);
  EXPECT_EQ(failure.step, SioStep::Parms);
  serial.ClearFailures();
  serial.FailWith("Signal", 0, kSioHardware);
  EXPECT_EQ(lease->Open(kSetup, &failure), kSioHardware);
  EXPECT_EQ(failure.step, SioStep::Parms);
  EXPECT_EQ(failure.why, "cannot set dtr: failing on demand");
  EXPECT_FALSE(serial.IsOpen(0));
  serial.ClearFailures();
  // A line outside the ranges never reaches the device.
  PortSetup bad = kSetup;
  bad.line.dataBits = 9;
  const size_t calls = serial.Calls().size();
  EXPECT_EQ(lease->Open(bad, &failure), kSioOutOfRange);
  EXPECT_EQ(failure.why, "9 data bits");
  EXPECT_EQ(serial.Calls().size(), calls);

  serial.Unplug(0);
  EXPECT_EQ(lease->Open(kSetup, &failure), kSioCannotOpen);
  EXPECT_EQ(failure.step, SioStep::Reset);
  EXPECT_TRUE(failure.missing);
  EXPECT_EQ(log.Count("COM1 cannot open memory:COM1: No such file or directory"), 1u) << log.All();
  // Quiet when missing: the holder that waits for it says so itself.
  const size_t lines = log.Lines().size();
  EXPECT_EQ(lease->Open(kSetup, &failure, OpenLog::QuietIfMissing), kSioCannotOpen);
  EXPECT_EQ(log.Lines().size(), lines);
  serial.Plug(0);
  serial.FailWith("SioReset", 0, kSioCannotOpen);
  EXPECT_EQ(lease->Open(kSetup, &failure, OpenLog::QuietIfMissing), kSioCannotOpen);
  EXPECT_FALSE(failure.missing);
  EXPECT_EQ(log.Lines().size(), lines + 1) << "any other failure is told";
}

TEST_F(SerialLeaseTest, TheHolderDrivesTheLineAtRunTime) {
  auto lease = Lease(0, "holder");
  EXPECT_EQ(lease->SetLine(LineSetting{}), kSioNotOpen);
  EXPECT_EQ(lease->SetSignal(ModemSignal::Dtr, false), kSioNotOpen);
  EXPECT_EQ(lease->Purge(true, true), kSioNotOpen);
  EXPECT_FALSE(lease->ModemLines().known);
  ASSERT_EQ(lease->Open(kSetup), 0);

  // A whole new line: only what changed beyond the format reaches the modem lines.
  LineSetting wanted = kSetup.line;
  wanted.rate = 300;
  wanted.parity = Parity::Mark;
  wanted.dataBits = 5;
  wanted.dtr = false;
  const size_t before = serial.Calls().size();
  EXPECT_EQ(lease->SetLine(wanted), 0);
  EXPECT_EQ(std::vector<std::string>(serial.Calls().begin() + static_cast<long>(before),
                                     serial.Calls().end()),
            (std::vector<std::string>{"Line(0,300 5M1)=0", "Dtr(0,off)=0"}));
  EXPECT_EQ(lease->Line(), wanted);
  EXPECT_EQ(log.Count("COM1 set to 300 5M1, dtr off (memory:COM1)"), 1u) << log.All();
  // One the device does not take leaves the one in force.
  serial.FailWith("SioBaud", 0, kSioBadBaud);
  LineSetting refused = wanted;
  refused.rate = 1200;
  EXPECT_EQ(lease->SetLine(refused), kSioBadBaud);
  EXPECT_EQ(lease->Line(), wanted);
  serial.ClearFailures();
  refused.stopBits = 3;
  EXPECT_EQ(lease->SetLine(refused), kSioOutOfRange);

  // The signals, one at a time; RTS is the hardware's under RTS/CTS flow control.
  EXPECT_EQ(lease->SetSignal(ModemSignal::Rts, false), 0);
  EXPECT_FALSE(lease->Signal(ModemSignal::Rts));
  EXPECT_EQ(lease->SetSignal(ModemSignal::Break, true), 0);
  EXPECT_TRUE(lease->Signal(ModemSignal::Break));
  EXPECT_TRUE(serial.Break(0));
  EXPECT_EQ(lease->SetSignal(ModemSignal::Break, false), 0);
  EXPECT_EQ(lease->SetSignal(ModemSignal::Dtr, true), 0);
  EXPECT_TRUE(lease->Signal(ModemSignal::Dtr));
  EXPECT_TRUE(serial.AppliedLine(0).dtr);
  wanted.flow = FlowControl::RtsCts;
  wanted.dtr = true;
  ASSERT_EQ(lease->SetLine(wanted), 0);
  EXPECT_EQ(lease->SetSignal(ModemSignal::Rts, true), kSioOutOfRange);
  serial.FailWith("Signal", 0, kSioHardware);
  EXPECT_EQ(lease->SetSignal(ModemSignal::Dtr, false), kSioHardware);
  EXPECT_TRUE(lease->Signal(ModemSignal::Dtr)) << "a refused change leaves the signal as it was";
  serial.ClearFailures();

  // Purges drop what waits either way.
  serial.Feed(0, "stale");
  serial.SetTxCapacity(0, 10);
  ASSERT_EQ(lease->SioPuts("unsent", 6), 6);
  EXPECT_EQ(lease->Purge(true, false), 0);
  EXPECT_EQ(lease->SioRxQue(), 0);
  EXPECT_EQ(serial.TxQueued(0), 6u);
  EXPECT_EQ(lease->Purge(false, true), 0);
  EXPECT_EQ(serial.TxQueued(0), 0u);
  EXPECT_EQ(serial.Calls().back(), "Purge(0,tx)");

  // The modem lines as the driver tells them, or that it cannot.
  ModemStatus status;
  status.known = true;
  status.cts = status.cd = true;
  status.counted = true;
  status.cdChanges = 3;
  serial.SetModemStatus(0, status);
  EXPECT_EQ(lease->ModemLines(), status);
  serial.SetNoModemLines(0, true);
  EXPECT_FALSE(lease->ModemLines().known);
  EXPECT_EQ(lease->SetSignal(ModemSignal::Dtr, false), 0) << "nothing to drop is no failure";
  EXPECT_FALSE(lease->Signal(ModemSignal::Dtr)) << "the state given is kept";
}

TEST_F(SerialLeaseTest, ALostDeviceDeliversItsLastBytesThenTheLossAndComesBack) {
  auto lease = Lease(0, "holder");
  ASSERT_EQ(lease->Open(kSetup), 0);
  serial.SetTxCapacity(0, 4);
  EXPECT_EQ(lease->SioPuts("unsent", 6), 4);
  serial.Feed(0, "last");
  serial.Unplug(0);
  loop.RunOnce(0);
  EXPECT_EQ(events, (std::vector<std::string>{"holder rx", "holder lost"}));
  EXPECT_TRUE(serial.DeviceAway(0));
  EXPECT_EQ(log.Count("COM1 device memory:COM1 went away (hang-up), 4 unsent bytes dropped"), 1u)
      << log.All();

  // The port stays open until its holder closes it: the bytes are there, writes are dropped
  // and counted, the line cannot be set.
  char buffer[8];
  ASSERT_EQ(lease->SioGets(buffer, 8), 4);
  EXPECT_EQ(std::string(buffer, 4), "last");
  EXPECT_EQ(lease->SioPuts("more", 4), 4);
  EXPECT_EQ(lease->SioParms(0, 0, 8), kSioHardware);
  EXPECT_EQ(lease->SioDone(), 0);
  EXPECT_EQ(log.Count("COM1 closed (memory:COM1), 4 unsent bytes dropped"), 1u) << log.All();

  // Tried again while it is away: quiet attempts log nothing; a loud one says why.
  const size_t lines = log.Lines().size();
  EXPECT_EQ(lease->Open(kSetup, nullptr, OpenLog::Quiet), kSioCannotOpen);
  EXPECT_EQ(log.Lines().size(), lines);
  EXPECT_TRUE(serial.DeviceAway(0));

  serial.Plug(0);
  EXPECT_EQ(lease->Open(kSetup, nullptr, OpenLog::Quiet), 0);
  EXPECT_EQ(log.Lines().size(), lines) << log.All();
  EXPECT_FALSE(serial.DeviceAway(0));
  EXPECT_EQ(serial.BaudCode(0), 9);
  EXPECT_EQ(lease->SioPuts("ok", 2), 2);
}

}  // namespace
}  // namespace kov
