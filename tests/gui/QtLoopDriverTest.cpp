// The core loop running inside Qt's: timers, descriptors, re-entry and errors under a box.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QEventLoop>
#include <QMessageBox>
#include <QTimer>
#include <stdexcept>

#include "event/EventLoop.h"
#include "gui/Dialogs.h"
#include "gui/QtLoopDriver.h"
#include "tests/gui/GuiTestSupport.h"
#include "tests/support/TcpClient.h"

namespace kov {
namespace {

TEST(QtLoopDriver, DeliversCoreTimersAndArmsOnlyForEnabledOnes) {
  EventLoop loop;
  QtLoopDriver driver(loop);
  EXPECT_FALSE(driver.TimerArmed()) << "no core timer enabled, nothing to wake up for";
  int ticks = 0;
  Timer timer(loop, 15, [&] { ++ticks; });
  driver.Call([&] { timer.SetEnabled(true); });
  EXPECT_TRUE(driver.TimerArmed());
  EXPECT_TRUE(ProcessUntil([&] { return ticks >= 3; }));
  driver.Call([&] { timer.SetEnabled(false); });
  EXPECT_FALSE(driver.TimerArmed());
  int stopped = ticks;
  ProcessUntil([] { return false; }, 60);
  EXPECT_EQ(ticks, stopped);
}

TEST(QtLoopDriver, TimerEnabledFromQtCodeOutsideAStepStillFires) {
  EventLoop loop;
  QtLoopDriver driver(loop);
  bool fired = false;
  Timer timer(loop, 10, [&] {
    fired = true;
    timer.SetEnabled(false);
  });
  // A Qt handler that touches the core directly, not through the driver.
  QTimer::singleShot(5, [&] { timer.SetEnabled(true); });
  EXPECT_TRUE(ProcessUntil([&] { return fired; }));
}

TEST(QtLoopDriver, DeliversDescriptorEventsAndPostedTasks) {
  EventLoop loop;
  QtLoopDriver driver(loop);
  TcpListener listener("127.0.0.1", 0);
  TcpClient client(listener.Port());  // completes at once against the listener's backlog
  int accepted = -1;
  std::string received;
  bool posted = false;
  std::unique_ptr<FdWatch> peer;
  FdWatch listen(loop, listener.Fd(), [&](uint32_t) {
    accepted = accept4(listener.Fd(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (accepted < 0) return;
    peer = std::make_unique<FdWatch>(loop, accepted, [&](uint32_t) {
      char buf[64];
      ssize_t n = read(accepted, buf, sizeof buf);
      if (n > 0) received.append(buf, static_cast<size_t>(n));
      loop.Post([&] { posted = true; });
    });
    peer->SetRead(true);
  });
  driver.Call([&] { listen.SetRead(true); });
  EXPECT_TRUE(ProcessUntil([&] { return accepted >= 0; }));
  ASSERT_TRUE(client.Send("ping"));
  EXPECT_TRUE(ProcessUntil([&] { return received == "ping"; }));
  EXPECT_TRUE(posted);
  peer.reset();
  if (accepted >= 0) close(accepted);
}

TEST(QtLoopDriver, NestedQtLoopInsideAHandlerNeitherReentersNorSpins) {
  EventLoop loop;
  QtLoopDriver driver(loop);
  TcpListener listener("127.0.0.1", 0);
  TcpClient client;
  bool nested = false;
  bool acceptedInsideNested = false;
  int accepted = -1;
  FdWatch listen(loop, listener.Fd(), [&](uint32_t) {
    acceptedInsideNested = nested;
    accepted = accept4(listener.Fd(), nullptr, nullptr, SOCK_CLOEXEC);
  });
  listen.SetRead(true);
  int stepsInside = 0;
  Timer modal(loop, 5, [&] {
    modal.SetEnabled(false);
    // Like a modal box opened inside a handler: Qt's loop runs for a while, and a client
    // connects meanwhile.
    nested = true;
    int stepsAtEntry = driver.StepCount();
    QEventLoop inner;
    QTimer::singleShot(10, &inner, [&] { client.Connect(listener.Port()); });
    QTimer::singleShot(100, &inner, &QEventLoop::quit);
    inner.exec();
    stepsInside = driver.StepCount() - stepsAtEntry;
    nested = false;
  });
  modal.SetEnabled(true);
  EXPECT_TRUE(ProcessUntil([&] { return accepted >= 0; }));
  EXPECT_FALSE(acceptedInsideNested) << "a step ran inside a running handler";
  EXPECT_EQ(stepsInside, 0);
  EXPECT_GE(driver.DeferredCount(), 1)
      << "the connection should have arrived under the nested loop";
  EXPECT_LE(driver.DeferredCount(), 3) << "the ready descriptor kept waking the nested loop";
  if (accepted >= 0) close(accepted);
}

TEST(QtLoopDriver, ErrorBoxOpensAfterTheStepAndTheLoopRunsUnderIt) {
  EventLoop loop;
  QtLoopDriver driver(loop);
  TErrorBoxes boxes([&driver] { return !driver.Busy(); });
  loop.SetErrorHandler([&](const std::string& message) { boxes.Report(message); });
  int ticks = 0;
  Timer bridging(loop, 10, [&] { ++ticks; });
  bridging.SetEnabled(true);
  Timer failing(loop, 5, [&] {
    failing.SetEnabled(false);
    throw std::runtime_error("Asynchronous socket error 10054");
  });
  failing.SetEnabled(true);

  bool busyWhenOpened = true;
  std::string text;
  int ticksWhenOpened = -1;
  int ticksWhenClosed = -1;
  boxes.OnBoxOpening = [&](QMessageBox& box) {
    busyWhenOpened = driver.Busy();
    text = box.text().toStdString();
    ticksWhenOpened = ticks;
    auto* watch = new QTimer(&box);
    QObject::connect(watch, &QTimer::timeout, &box, [&, watch] {
      if (ticks >= ticksWhenOpened + 3) {
        watch->stop();
        ticksWhenClosed = ticks;
        box.accept();
      }
    });
    watch->start(5);
  };
  EXPECT_TRUE(ProcessUntil([&] { return ticksWhenClosed >= 0; }));
  EXPECT_FALSE(busyWhenOpened) << "the box opened inside the handler that raised the error";
  EXPECT_EQ(text, "Asynchronous socket error 10054.");
  EXPECT_GE(ticksWhenClosed - ticksWhenOpened, 3) << "core timers stopped under the box";
}

}  // namespace
}  // namespace kov
