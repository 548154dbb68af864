// The in-memory serial library that the channel and link tests stand on: the device's end of
// the line, failures on demand and the record of calls.
#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>

#include "bridge/SerialLease.h"
#include "event/EventLoop.h"
#include "tests/support/LogCapture.h"
#include "tests/support/MemorySerial.h"

namespace kov {
namespace {

class SerialMemory : public ::testing::Test {
 protected:
  std::unique_ptr<SerialLease> Lease(int32_t port) {
    return serial.Lease(port, {[&] { ++rxEvents; }, [&] { ++roomEvents; }, nullptr});
  }
  static std::string Take(SerialLease& lease, int32_t max = 1000) {
    char buffer[1000];
    int32_t n = lease.SioGets(buffer, max);
    return n > 0 ? std::string(buffer, n) : std::string();
  }

  LogCapture log;
  EventLoop loop{EventLoop::Clock::Manual};
  MemorySerial serial{loop};
  int rxEvents = 0;
  int roomEvents = 0;
};

TEST_F(SerialMemory, FedBytesArriveWithAPostedEventAndNothingIsLost) {
  auto lease = Lease(1);
  EXPECT_EQ(serial.Feed(1, "dropped"), 0u) << "a closed port hears nothing";
  ASSERT_EQ(lease->SioReset(4, 100), 0);
  EXPECT_EQ(serial.Feed(1, std::string("ab\0cdef", 7)), 7u);
  EXPECT_EQ(rxEvents, 0) << "posted, not called from inside Feed";
  loop.RunOnce(0);
  EXPECT_EQ(rxEvents, 1);
  EXPECT_EQ(lease->SioRxQue(), 4) << "the ring holds 4";
  EXPECT_EQ(serial.HeldBack(1), 3u) << "the line keeps the rest";

  EXPECT_EQ(Take(*lease, 3), std::string("ab\0", 3));
  EXPECT_EQ(lease->SioRxQue(), 4) << "room is filled from the line at once";
  loop.RunOnce(0);
  EXPECT_EQ(rxEvents, 2);
  EXPECT_EQ(Take(*lease), "cdef");
  EXPECT_EQ(serial.HeldBack(1), 0u);

  // An event for bytes that a close threw away is not delivered.
  serial.Feed(1, "late");
  EXPECT_EQ(lease->SioDone(), 0);
  loop.RunOnce(0);
  EXPECT_EQ(rxEvents, 2);
}

TEST_F(SerialMemory, InstantAndSlowLines) {
  auto lease = Lease(0);
  ASSERT_EQ(lease->SioReset(65000, 65000), 0);
  EXPECT_EQ(lease->SioPuts("hello ", 6), 6);
  EXPECT_EQ(lease->SioPuts("world", 5), 5);
  EXPECT_EQ(serial.TakeWritten(0), "hello world");
  EXPECT_EQ(serial.TakeWritten(0), "");
  EXPECT_EQ(lease->SioTxFree(), 65000);

  serial.SetTxCapacity(0, 10);
  EXPECT_EQ(lease->SioPuts("0123456789abcdef", 16), 10);
  EXPECT_EQ(lease->SioTxFree(), 0);
  EXPECT_EQ(serial.TakeWritten(0), "") << "a slow line sends nothing by itself";
  lease->WantTxRoom();
  EXPECT_EQ(serial.DrainTx(0, 4), 4u);
  EXPECT_EQ(serial.TakeWritten(0), "0123");
  EXPECT_EQ(roomEvents, 0);
  loop.RunOnce(0);
  EXPECT_EQ(roomEvents, 1) << "asked for, and the line made room";
  EXPECT_EQ(lease->SioPuts("ab", 2), 2);
  EXPECT_EQ(serial.DrainTx(0), 8u);
  loop.RunOnce(0);
  EXPECT_EQ(roomEvents, 1) << "nobody asked since";
  EXPECT_EQ(serial.TakeWritten(0), "456789ab");

  // Back to an instant line: what waited goes out, and the asker is told.
  EXPECT_EQ(lease->SioPuts("0123456789xy", 12), 10);
  lease->WantTxRoom();
  serial.SetTxCapacity(0, 0);
  loop.RunOnce(0);
  EXPECT_EQ(roomEvents, 2);
  EXPECT_EQ(serial.TakeWritten(0), "0123456789");
}

TEST_F(SerialMemory, FailuresOnDemandStayUntilCleared) {
  serial.FailWith("SioReset", 2, kSioCannotOpen);
  EXPECT_EQ(serial.SioReset(2, 65000, 65000), kSioCannotOpen);
  EXPECT_EQ(serial.SioReset(2, 65000, 65000), kSioCannotOpen);
  EXPECT_FALSE(serial.IsOpen(2));
  EXPECT_EQ(serial.SioReset(3, 65000, 65000), 0) << "other ports are not touched";
  serial.ClearFailure("SioReset", 2);
  EXPECT_EQ(serial.SioReset(2, 65000, 65000), 0);

  serial.FailWith("SioDone", 2, -7);
  serial.FailWith("SioBaud", 2, -10);
  EXPECT_EQ(serial.SioDone(2), -7);
  EXPECT_TRUE(serial.IsOpen(2)) << "a failed call has no effect";
  EXPECT_EQ(serial.SioBaud(2, 9), -10);
  EXPECT_EQ(serial.SioBaud(2, 10), kSioBadBaud) << "the library's own checks come first";
  serial.ClearFailures();
  EXPECT_EQ(serial.SioBaud(2, 9), 0);
  EXPECT_EQ(serial.SioDone(2), 0);
  EXPECT_THROW(serial.FailWith("SioOpen", 2, -1), std::invalid_argument);
}

TEST_F(SerialMemory, RecordsWhatReachedTheDevice) {
  EXPECT_EQ(serial.SioParms(0, 2, 0, 8), kSioNotOpen);
  EXPECT_EQ(serial.Parity(0), -1);
  ASSERT_EQ(serial.SioReset(0, 65000, 65000), 0);
  EXPECT_EQ(serial.Parity(0), 0) << "an open sets the default line";
  EXPECT_EQ(serial.SioParms(0, 2, 0, 8), 0);
  EXPECT_EQ(serial.SioBaud(0, 9), 0);
  EXPECT_EQ(serial.SioParms(0, 1, 0, 6), kSioBadDataBits);
  EXPECT_EQ(serial.SioParms(0, 3, 0, 8), kSioOutOfRange);
  EXPECT_EQ(serial.SioBaud(0, 10), kSioBadBaud);
  EXPECT_EQ(serial.SioReset(9, 65000, 65000), kSioBadPort);
  EXPECT_EQ(serial.SioDone(0), 0);
  EXPECT_FALSE(serial.IsOpen(0));
  EXPECT_EQ(serial.Parity(0), 2);
  EXPECT_EQ(serial.StopBits(0), 0);
  EXPECT_EQ(serial.DataBits(0), 8);
  EXPECT_EQ(serial.BaudCode(0), 9);
  EXPECT_EQ(serial.RxQueueSize(0), 65000);
  EXPECT_EQ(serial.Calls(),
            (std::vector<std::string>{"SioReset(0,65000,65000)=0", "Line(0,9600 8N1)=0",
                                      "Dtr(0,on)=0", "Rts(0,on)=0", "Line(0,9600 8E1)=0",
                                      "Line(0,115200 8E1)=0", "SioDone(0)=0"}));
  EXPECT_EQ(log.Count("COM1 opened on memory:COM1 (9600 8N1)"), 1u) << log.All();
  EXPECT_EQ(log.Count("COM1 set to 115200 8E1 (memory:COM1)"), 1u) << log.All();
}

}  // namespace
}  // namespace kov
