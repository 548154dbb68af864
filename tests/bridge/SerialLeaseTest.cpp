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
  static constexpr PortSetup kSetup{65000, 65000, 2, 0, 8, 9};

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

TEST_F(SerialLeaseTest, OpenStopsAtTheFirstFailingStepAndNamesIt) {
  auto lease = Lease(0, "holder");
  SioStep failed = SioStep::Reset;
  serial.FailWith("SioBaud", 0, kSioBadBaud);
  EXPECT_EQ(lease->Open(kSetup, &failed), kSioBadBaud);
  EXPECT_EQ(failed, SioStep::Baud);
  EXPECT_TRUE(lease->IsOpen()) << "a port whose reset succeeded stays open";
  EXPECT_STREQ(StepName(failed), "SioBaud");
  serial.Unplug(0);
  EXPECT_EQ(lease->Open(kSetup, &failed), kSioCannotOpen);
  EXPECT_EQ(failed, SioStep::Reset);
  EXPECT_EQ(log.Count("COM1 cannot open memory:COM1: No such file or directory"), 1u) << log.All();
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
  EXPECT_EQ(lease->Open(kSetup, nullptr, /*quiet=*/true), kSioCannotOpen);
  EXPECT_EQ(log.Lines().size(), lines);
  EXPECT_TRUE(serial.DeviceAway(0));

  serial.Plug(0);
  EXPECT_EQ(lease->Open(kSetup, nullptr, /*quiet=*/true), 0);
  EXPECT_EQ(log.Lines().size(), lines) << log.All();
  EXPECT_FALSE(serial.DeviceAway(0));
  EXPECT_EQ(serial.BaudCode(0), 9);
  EXPECT_EQ(lease->SioPuts("ok", 2), 2);
}

}  // namespace
}  // namespace kov
