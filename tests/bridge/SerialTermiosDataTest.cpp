// Bytes through the termios serial layer both ways, flow control by the rings, callbacks and a
// device that goes away, on real pseudo-terminals.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <memory>

#include "TestPortPaths.h"
#include "bridge/SerialLease.h"
#include "bridge/TermiosSerial.h"
#include "tests/support/Descriptors.h"
#include "tests/support/LogCapture.h"
#include "tests/support/Pattern.h"
#include "tests/support/Pty.h"

namespace kov {
namespace {

double CpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
         (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

class SerialTermiosData : public ::testing::Test {
 protected:
  void Open(int32_t rxSize = 65000, int32_t txSize = 65000) {
    LineSetting line;
    line.rate = 115200;
    line.parity = Parity::Even;
    ASSERT_EQ(lease->Open({rxSize, txSize, line}), 0);
  }
  // What a bridge does on OnRxData: takes everything waiting, in blocks as the channel does.
  void TakeAll() {
    char block[64999];
    int32_t n;
    while ((n = lease->SioGets(block, sizeof block)) > 0) received.append(block, n);
  }
  // Offers the rest of outgoing to the port until it takes less than offered, then asks to be
  // told when there is room.
  void PutMore() {
    while (putOffset < outgoing.size()) {
      int32_t asked = static_cast<int32_t>(std::min<size_t>(64999, outgoing.size() - putOffset));
      int32_t n = lease->SioPuts(outgoing.data() + putOffset, asked);
      ASSERT_GE(n, 0);
      putOffset += static_cast<size_t>(n);
      if (n < asked) {
        lease->WantTxRoom();
        break;
      }
    }
  }
  // The port's events go to these, as they would to a bridge holding it.
  struct Events {
    std::function<void()> rx;
    std::function<void()> room;
  };
  void SetEvents(Events events) {
    onRx = std::move(events.rx);
    onRoom = std::move(events.room);
  }

  LogCapture log;
  EventLoop loop;
  Pty pty{loop};
  std::unique_ptr<TermiosSerial> serial =
      std::make_unique<TermiosSerial>(loop, PathsWith(pty.SlavePath()));
  std::function<void()> onRx;
  std::function<void()> onRoom;
  int lostEvents = 0;
  std::unique_ptr<SerialLease> lease = serial->Lease(0, {[this] {
                                                           if (onRx) onRx();
                                                         },
                                                         [this] {
                                                           if (onRoom) onRoom();
                                                         },
                                                         [this] { ++lostEvents; }});
  std::string received;
  std::string outgoing;
  size_t putOffset = 0;
};

TEST_F(SerialTermiosData, EveryByteValueAndAMegabyteGoBothWaysWholeAndInOrder) {
  Open();
  std::string all;
  for (int i = 0; i < 256; ++i) all += static_cast<char>(i);
  all += std::string(3, '\0') + "\r\n\n\r\x11\x13\x03\x1a\x7f";  // line and flow control bytes
  const std::string data = all + PatternBytes(1 << 20, 7);

  int rxEvents = 0;
  SetEvents({[&] {
               ++rxEvents;
               EXPECT_GT(lease->SioRxQue(), 0) << "the ring is filled first";
               TakeAll();
             },
             nullptr});
  pty.Send(data);
  ASSERT_TRUE(loop.RunUntil([&] { return received.size() >= data.size(); }, 30000))
      << received.size();
  EXPECT_TRUE(received == data) << Difference(received, data);
  EXPECT_GE(rxEvents, 1);

  EXPECT_EQ(lease->SioPuts(all.data(), static_cast<int32_t>(all.size())),
            static_cast<int32_t>(all.size()));
  outgoing = PatternBytes(1 << 20, 11);
  int roomEvents = 0;
  SetEvents({nullptr, [&] {
               ++roomEvents;
               PutMore();
             }});
  PutMore();
  EXPECT_LT(putOffset, outgoing.size()) << "a megabyte does not fit at once";
  const std::string sent = all + outgoing;
  ASSERT_TRUE(loop.RunUntil([&] { return pty.Received().size() >= sent.size(); }, 30000))
      << pty.Received().size();
  EXPECT_TRUE(pty.Received() == sent) << Difference(pty.Received(), sent);
  EXPECT_GT(roomEvents, 0);
}

TEST_F(SerialTermiosData, AFullReceiveRingHoldsTheDeviceBackInsteadOfLosingBytes) {
  Open(1000, 1000);
  const std::string data = PatternBytes(200000, 3);
  pty.Send(data);
  ASSERT_TRUE(loop.RunUntil([&] { return lease->SioRxQue() == 1000; }));
  // Nobody takes the bytes: the ring stays full and the device keeps the rest, without the
  // loop turning on the readable device meanwhile.
  double before = CpuSeconds();
  loop.RunUntil([] { return false; }, 300);
  EXPECT_LT(CpuSeconds() - before, 0.1);
  EXPECT_EQ(lease->SioRxQue(), 1000);
  EXPECT_GT(pty.Unsent(), 0u) << "the writer was held back";

  // Now taken as they come, in small bites.
  SetEvents({[&] {
               char bite[300];
               int32_t n = lease->SioGets(bite, sizeof bite);
               if (n > 0) received.append(bite, n);
             },
             nullptr});
  char bite[300];
  received.append(bite, lease->SioGets(bite, sizeof bite));
  ASSERT_TRUE(loop.RunUntil(
      [&] {
        // Bytes left in the ring after the last event are taken here.
        if (pty.Unsent() == 0) received.append(bite, lease->SioGets(bite, sizeof bite));
        return received.size() >= data.size();
      },
      30000))
      << received.size();
  EXPECT_TRUE(received == data) << Difference(received, data);
}

TEST_F(SerialTermiosData, OnTxRoomComesWhenAskedFor) {
  Open(65000, 100);
  int roomEvents = 0;
  SetEvents({nullptr, [&] { ++roomEvents; }});
  EXPECT_EQ(lease->SioPuts("hello", 5), 5);
  ASSERT_TRUE(loop.RunUntil([&] { return pty.Received() == "hello"; }));
  EXPECT_EQ(roomEvents, 0) << "nobody asked, nothing is owed";

  // A device that does not read: the pseudo-terminal fills, then the 100-byte ring. The
  // pseudo-terminal moves what it was given along inside the kernel a little later, taking
  // some more; once it holds all it can, nothing moves.
  pty.SetReading(false);
  outgoing = PatternBytes(100000, 5);
  SetEvents({nullptr, [&] { PutMore(); }});
  PutMore();
  loop.RunUntil([] { return false; }, 200);
  SetEvents({nullptr, [&] { ++roomEvents; }});
  ASSERT_LT(putOffset, outgoing.size());
  EXPECT_EQ(lease->SioTxFree(), 0);
  EXPECT_EQ(lease->SioPuts("x", 1), 0) << "a full ring takes nothing";
  loop.RunUntil([] { return false; }, 50);
  EXPECT_EQ(roomEvents, 0);

  pty.SetReading(true);
  ASSERT_TRUE(loop.RunUntil([&] { return roomEvents > 0; }));
  EXPECT_GT(lease->SioTxFree(), 0);
  SetEvents({nullptr, [&] { PutMore(); }});
  PutMore();
  ASSERT_TRUE(loop.RunUntil([&] { return pty.Received().size() >= 5 + outgoing.size(); }));
  EXPECT_TRUE(pty.Received().substr(5) == outgoing)
      << Difference(pty.Received().substr(5), outgoing);
}

TEST_F(SerialTermiosData, RoomIsReportedOnceHalfTheRingIsFree) {
  Open();
  int roomEvents = 0;
  int32_t freeAtEvent = -1;
  SetEvents({nullptr, [&] {
               ++roomEvents;
               freeAtEvent = lease->SioTxFree();
             }});
  pty.SetReading(false);
  outgoing = PatternBytes(400000, 9);
  PutMore();
  ASSERT_EQ(lease->SioTxFree(), 0);

  // A device taking a little at a time: the ring drains slowly, and the writer is not woken
  // for every few bytes taken.
  bool sawPartialRoom = false;
  for (int bite = 0; bite < 2000 && roomEvents == 0; ++bite) {
    pty.ReadSome(512);
    loop.RunUntil([] { return false; }, 1);
    const int32_t room = lease->SioTxFree();
    if (roomEvents == 0 && room > 0) sawPartialRoom = true;
  }
  ASSERT_EQ(roomEvents, 1);
  EXPECT_TRUE(sawPartialRoom) << "the ring drained at once; nothing was tested";
  EXPECT_GE(freeAtEvent, 32500);

  // Everything still arrives, in order.
  SetEvents({nullptr, [&] { PutMore(); }});
  PutMore();
  pty.SetReading(true);
  ASSERT_TRUE(loop.RunUntil([&] { return pty.Received().size() >= outgoing.size(); }));
  EXPECT_TRUE(pty.Received() == outgoing) << Difference(pty.Received(), outgoing);
}

TEST_F(SerialTermiosData, ResetWhileRoomIsOwedStillTellsTheWriter) {
  Open(65000, 100);
  int roomEvents = 0;
  SetEvents({nullptr, [&] { ++roomEvents; }});
  pty.SetReading(false);
  outgoing = PatternBytes(100000, 5);
  PutMore();
  ASSERT_LT(putOffset, outgoing.size());
  ASSERT_EQ(lease->SioReset(65000, 100), 0);
  EXPECT_EQ(roomEvents, 0) << "never called from inside an operation";
  ASSERT_TRUE(loop.RunUntil([&] { return roomEvents > 0; }));
  EXPECT_EQ(lease->SioTxFree(), 100);
}

TEST_F(SerialTermiosData, CallbacksMayCloseReopenOrDestroyTheLayer) {
  Open();
  // Closing the port from its own receive event.
  SetEvents({[&] { EXPECT_EQ(lease->SioDone(), 0); }, nullptr});
  pty.Send("first");
  ASSERT_TRUE(loop.RunUntil([&] { return lease->SioRxQue() == kSioNotOpen; }));
  pty.Send("unheard");
  loop.RunUntil([] { return false; }, 50);

  // Reopening it from its own receive event: the new port goes on receiving.
  Open();
  int reopenings = 0;
  SetEvents({[&] {
               if (reopenings++ == 0) {
                 EXPECT_EQ(lease->SioReset(65000, 65000), 0);
               } else {
                 TakeAll();
               }
             },
             nullptr});
  pty.Send("x");
  ASSERT_TRUE(loop.RunUntil([&] { return reopenings == 1; }));
  pty.Send("after");
  ASSERT_TRUE(loop.RunUntil([&] { return received.find("after") != std::string::npos; }));

  // Destroying the whole layer from its receive event.
  SetEvents({[&] { serial.reset(); }, nullptr});
  pty.Send("bye");
  ASSERT_TRUE(loop.RunUntil([&] { return serial == nullptr; }));
  loop.RunUntil([] { return false; }, 20);
  EXPECT_EQ(log.Count("COM1 closed"), 3u) << log.All();
}

TEST_F(SerialTermiosData, AHungUpDeviceIsLeftAloneWithoutSpinning) {
  Open();
  pty.Send("last words");
  ASSERT_TRUE(loop.RunUntil([&] { return lease->SioRxQue() == 10; }));
  pty.Close();
  const int held = OpenDescriptors();
  ASSERT_TRUE(loop.RunUntil([&] { return lostEvents == 1; }));
  EXPECT_TRUE(serial->DeviceAway(0));
  EXPECT_EQ(log.Count("COM1 device " + pty.SlavePath() + " went away (hang-up)"), 1u) << log.All();
  EXPECT_EQ(OpenDescriptors(), held - 1) << "the device's descriptor is closed at once";

  double before = CpuSeconds();
  loop.RunUntil([] { return false; }, 1000);
  double used = CpuSeconds() - before;
  EXPECT_LT(used, 0.1) << "the loop spun on the dead device";

  // The port stays open until closed: what arrived can be taken, nothing more comes, writes are
  // dropped.
  char buffer[32];
  ASSERT_EQ(lease->SioGets(buffer, sizeof buffer), 10);
  EXPECT_EQ(std::string(buffer, 10), "last words");
  EXPECT_EQ(lease->SioGets(buffer, sizeof buffer), 0);
  EXPECT_EQ(lease->SioRxQue(), 0);
  EXPECT_EQ(lease->SioPuts("ignored", 7), 7);
  EXPECT_EQ(lease->SioParms(0, 0, 8), kSioHardware);
  EXPECT_EQ(lease->SioBaud(5), kSioHardware);
  loop.RunUntil([] { return false; }, 20);
  EXPECT_EQ(log.Count("went away"), 1u) << "logged once: " << log.All();
  EXPECT_EQ(lostEvents, 1);
  EXPECT_EQ(lease->SioDone(), 0);
  EXPECT_EQ(log.Count("COM1 closed (" + pty.SlavePath() + "), 7 unsent bytes dropped"), 1u)
      << log.All();
  // The device is not there to open again, unless another test's pseudo-terminal has taken
  // its number since (tests run side by side).
  if (access(pty.SlavePath().c_str(), F_OK) != 0) {
    EXPECT_EQ(lease->SioReset(65000, 65000), kSioCannotOpen);
    EXPECT_TRUE(serial->DeviceAway(0));
  }
}

TEST_F(SerialTermiosData, AHangUpWithWritesWaitingReleasesTheWriter) {
  Open(65000, 100);
  int roomEvents = 0;
  SetEvents({nullptr, [&] { ++roomEvents; }});
  pty.SetReading(false);
  outgoing = PatternBytes(100000, 9);
  PutMore();
  ASSERT_LT(putOffset, outgoing.size());
  pty.Close();
  ASSERT_TRUE(loop.RunUntil([&] { return roomEvents > 0; }))
      << "a writer waiting for room must not wait forever";
  EXPECT_TRUE(serial->DeviceAway(0));
  EXPECT_EQ(lease->SioPuts("more", 4), 4);
  EXPECT_EQ(log.Count("unsent bytes dropped"), 1u) << log.All();
}

}  // namespace
}  // namespace kov
