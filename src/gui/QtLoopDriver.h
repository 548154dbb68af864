#pragma once
// Runs the core event loop inside Qt's, on the same thread: the loop's epoll descriptor is
// watched by a QSocketNotifier and its next timer deadline by a single-shot QTimer, and either
// one runs a step of the core loop. Modal dialogs run nested Qt loops, which keep both running,
// so bridging and the console go on under them.
#include <QSocketNotifier>
#include <QTimer>
#include <functional>

#include "event/EventLoop.h"

namespace kov {

class QtLoopDriver {
 public:
  // Needs a QCoreApplication. The core loop outlives the driver.
  explicit QtLoopDriver(EventLoop& loop);
  ~QtLoopDriver();
  QtLoopDriver(const QtLoopDriver&) = delete;
  QtLoopDriver& operator=(const QtLoopDriver&) = delete;

  // Dispatches what the core loop has ready. A step never runs inside another: a request that
  // comes while one runs (from a nested Qt loop) is remembered and served once it has returned.
  void Step();
  // Runs fn from Qt code as a handler of the core loop (its exceptions go to the error handler,
  // tasks it posts run after it), then re-arms the timer for what it changed.
  void Call(const std::function<void()>& fn);
  // Points the timer at the core loop's next deadline.
  void Rearm();

  // A core handler is running on the stack.
  bool Busy() const { return depth_ > 0; }
  int StepCount() const { return steps_; }
  int DeferredCount() const { return deferred_; }
  bool TimerArmed() const { return timer_.isActive(); }

 private:
  void RunSteps();

  EventLoop& loop_;
  QSocketNotifier notifier_;
  QTimer timer_;
  QObject context_;
  int depth_ = 0;
  bool again_ = false;
  int steps_ = 0;
  int deferred_ = 0;
  int64_t armedDeadline_ = -1;
};

}  // namespace kov
