#include "gui/QtLoopDriver.h"

#include <QAbstractEventDispatcher>
#include <exception>

namespace kov {

namespace {

// Counts a core handler as running for the length of a scope.
struct DepthGuard {
  explicit DepthGuard(int& depth) : depth_(depth) { ++depth_; }
  ~DepthGuard() { --depth_; }
  int& depth_;
};

}  // namespace

QtLoopDriver::QtLoopDriver(EventLoop& loop)
    : loop_(loop), notifier_(loop.EpollFd(), QSocketNotifier::Read) {
  timer_.setSingleShot(true);
  timer_.setTimerType(Qt::PreciseTimer);
  QObject::connect(&notifier_, &QSocketNotifier::activated, &context_, [this] { Step(); });
  QObject::connect(&timer_, &QTimer::timeout, &context_, [this] { Step(); });
  // Qt code may enable core timers outside any step (start-up, menu handlers): the deadline is
  // looked at again whenever Qt is about to wait.
  if (QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance()) {
    QObject::connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, &context_,
                     [this] { Rearm(); });
  }
  notifier_.setEnabled(true);
  Rearm();
}

QtLoopDriver::~QtLoopDriver() {
  notifier_.setEnabled(false);
  timer_.stop();
}

void QtLoopDriver::Step() {
  if (depth_ > 0) {
    // A nested Qt loop inside a core handler. The epoll descriptor stays readable until the
    // outer step has dispatched it, so the notifier rests meanwhile instead of spinning.
    again_ = true;
    ++deferred_;
    notifier_.setEnabled(false);
    return;
  }
  RunSteps();
}

void QtLoopDriver::RunSteps() {
  {
    DepthGuard guard(depth_);
    do {
      again_ = false;
      ++steps_;
      try {
        loop_.Step();
      } catch (const std::exception& ex) {
        loop_.ReportError(ex.what());
      }
    } while (again_);
  }
  notifier_.setEnabled(true);
  Rearm();
}

void QtLoopDriver::Call(const std::function<void()>& fn) {
  {
    DepthGuard guard(depth_);
    loop_.Dispatch(fn);
  }
  if (depth_ == 0 && again_) {
    RunSteps();
  } else {
    Rearm();
  }
}

void QtLoopDriver::Rearm() {
  if (depth_ > 0) return;  // the running step re-arms when it returns
  int next = loop_.NextTimeoutMs();
  if (next < 0) {
    timer_.stop();
    armedDeadline_ = -1;
    return;
  }
  int64_t deadline = loop_.NowMs() + next;
  if (timer_.isActive() && deadline == armedDeadline_) return;
  armedDeadline_ = deadline;
  timer_.start(next);
}

}  // namespace kov
