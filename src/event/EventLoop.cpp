// The event loop: descriptor watches and timers registered by id, the timer heap, posted tasks,
// signals, guarded handler runs and the error box's text rule.
#include "event/EventLoop.h"

#include <signal.h>
#include <sys/epoll.h>
#include <sys/signalfd.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <stdexcept>

#include "event/Log.h"

namespace kov {

std::string ErrorBoxText(const std::string& text) {
  if (!text.empty() && static_cast<unsigned char>(text.back()) > '.') return text + ".";
  return text;
}

// ---------------------------------------------------------------------------------------------
// FdWatch

FdWatch::FdWatch(EventLoop& loop, int fd, Callback onEvents)
    : loop_(loop), fd_(fd), callback_(std::make_shared<Callback>(std::move(onEvents))) {
  id_ = loop_.Register(this);
}

FdWatch::~FdWatch() {
  if (registered_) epoll_ctl(loop_.epfd_, EPOLL_CTL_DEL, fd_, nullptr);
  loop_.Unregister(this, id_);
}

void FdWatch::SetRead(bool on) {
  if (read_ == on) return;
  read_ = on;
  Update();
}

void FdWatch::SetWrite(bool on) {
  if (write_ == on) return;
  write_ = on;
  Update();
}

void FdWatch::Update() {
  epoll_event ev{};
  ev.events = (read_ ? uint32_t{EPOLLIN | EPOLLRDHUP} : 0u) | (write_ ? uint32_t{EPOLLOUT} : 0u);
  ev.data.u64 = id_;
  if (!read_ && !write_) {
    // Kept registered but disarmed: a hang-up or error, which epoll reports whatever the
    // interest, comes at most once and is ignored; taking interest again re-arms the
    // descriptor, and a condition that still holds is reported then. Cheaper than removing
    // and adding the descriptor each time a connection pauses.
    if (registered_) {
      ev.events = EPOLLONESHOT;
      if (epoll_ctl(loop_.epfd_, EPOLL_CTL_MOD, fd_, &ev) != 0) {
        epoll_ctl(loop_.epfd_, EPOLL_CTL_DEL, fd_, nullptr);
        registered_ = false;
      }
    }
    return;
  }
  if (registered_) {
    if (epoll_ctl(loop_.epfd_, EPOLL_CTL_MOD, fd_, &ev) == 0) return;
  }
  if (epoll_ctl(loop_.epfd_, EPOLL_CTL_ADD, fd_, &ev) == 0) {
    registered_ = true;
    return;
  }
  if (errno == EEXIST && epoll_ctl(loop_.epfd_, EPOLL_CTL_MOD, fd_, &ev) == 0) {
    registered_ = true;
    return;
  }
  // A descriptor epoll cannot watch (a regular file, say) is always ready.
  throw std::runtime_error(std::string("epoll_ctl: ") + std::strerror(errno));
}

// ---------------------------------------------------------------------------------------------
// Timer

Timer::Timer(EventLoop& loop, int64_t intervalMs, Callback onTimer)
    : loop_(loop),
      interval_(intervalMs),
      callback_(std::make_shared<Callback>(std::move(onTimer))) {
  id_ = loop_.Register(this);
}

Timer::~Timer() { loop_.Unregister(id_); }

void Timer::SetEnabled(bool on) {
  if (enabled_ == on) return;
  enabled_ = on;
  // A disabled timer's heap entry is dropped when it comes up, or reused by a later enable.
  if (on) Arm();
}

void Timer::SetInterval(int64_t ms) {
  if (interval_ == ms) return;
  interval_ = ms;
  if (enabled_) Arm();
}

void Timer::SetOnTimer(Callback cb) { callback_ = std::make_shared<Callback>(std::move(cb)); }

int64_t Timer::RemainingMs() const {
  if (!enabled_) return -1;
  int64_t left = deadline_ - loop_.NowMs();
  return left < 0 ? 0 : left;
}

void Timer::Arm() {
  deadline_ = loop_.NowMs() + (interval_ > 0 ? interval_ : 0);
  armSeq_ = loop_.nextSeq_++;
  if (inHeap_ && heapDeadline_ <= deadline_) return;  // the entry in the heap comes up first
  ++generation_;
  loop_.Schedule(this);
}

// ---------------------------------------------------------------------------------------------
// EventLoop

EventLoop::EventLoop(Clock clock) : clock_(clock) {
  epfd_ = epoll_create1(EPOLL_CLOEXEC);
  if (epfd_ < 0) throw std::runtime_error(std::string("epoll_create1: ") + std::strerror(errno));
}

EventLoop::~EventLoop() {
  signalWatches_.clear();
  for (int fd : signalFds_) close(fd);
  close(epfd_);
}

int64_t EventLoop::NowMs() const {
  if (clock_ == Clock::Manual) return manualNow_;
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

uint64_t EventLoop::Register(FdWatch* w) {
  uint64_t id = nextId_++;
  watches_[id] = w;
  return id;
}

void EventLoop::Unregister(FdWatch*, uint64_t id) { watches_.erase(id); }

uint64_t EventLoop::Register(Timer* t) {
  uint64_t id = nextId_++;
  timers_[id] = t;
  return id;
}

void EventLoop::Unregister(uint64_t id) { timers_.erase(id); }

void EventLoop::Schedule(Timer* t) {
  t->inHeap_ = true;
  t->heapDeadline_ = t->deadline_;
  heap_.push(TimerEntry{t->deadline_, t->armSeq_, t->id_, t->generation_});
}

const EventLoop::TimerEntry* EventLoop::PeekTimer() {
  while (!heap_.empty()) {
    const TimerEntry e = heap_.top();
    auto it = timers_.find(e.id);
    if (it == timers_.end() || it->second->generation_ != e.generation) {
      heap_.pop();  // the timer is gone, or this entry was replaced by an earlier one
      continue;
    }
    Timer* t = it->second;
    if (!t->enabled_) {
      heap_.pop();
      t->inHeap_ = false;
      continue;
    }
    if (t->deadline_ > e.deadline) {
      heap_.pop();  // re-armed since: queue the entry again at the current deadline
      Schedule(t);
      continue;
    }
    return &heap_.top();
  }
  return nullptr;
}

void EventLoop::FireTimer(const TimerEntry& e) {
  auto it = timers_.find(e.id);
  if (it == timers_.end()) return;
  Timer* t = it->second;
  if (t->generation_ != e.generation) return;
  t->inHeap_ = false;  // the entry has left the heap
  if (!t->enabled_) return;
  if (t->deadline_ > e.deadline) {
    // Re-armed by an earlier handler of this turn: not due yet.
    Schedule(t);
    return;
  }
  // Re-arm before the handler runs, so that the handler's own enable/disable/interval changes
  // follow the timer rule against the next countdown.
  int64_t now = NowMs();
  int64_t next = e.deadline + (t->interval_ > 0 ? t->interval_ : 1);
  if (next <= now) next = now + (t->interval_ > 0 ? t->interval_ : 1);
  t->deadline_ = next;
  t->armSeq_ = nextSeq_++;
  ++t->generation_;
  Schedule(t);
  auto cb = t->callback_;
  if (cb && *cb) Dispatch(*cb);
}

void EventLoop::FireDueTimers(int64_t now) {
  // Only the timers due at entry fire in this turn; a timer re-armed for "now" waits a turn.
  std::vector<TimerEntry> due;
  while (const TimerEntry* e = PeekTimer()) {
    if (e->deadline > now) break;
    due.push_back(*e);
    heap_.pop();
  }
  for (const TimerEntry& e : due) FireTimer(e);
}

int EventLoop::NextTimeoutMs() const {
  auto* self = const_cast<EventLoop*>(this);
  const TimerEntry* e = self->PeekTimer();
  if (!e) return -1;
  if (clock_ == Clock::Manual) return -1;
  int64_t left = e->deadline - NowMs();
  if (left < 0) left = 0;
  if (left > 1000000) left = 1000000;
  return static_cast<int>(left);
}

void EventLoop::Post(std::function<void()> task) { posted_.push_back(std::move(task)); }

void EventLoop::RunPosted() {
  // Tasks posted by these tasks run too, in order, before the turn ends.
  while (!posted_.empty()) {
    auto task = std::move(posted_.front());
    posted_.pop_front();
    Guarded(task);
  }
}

bool EventLoop::Guarded(const std::function<void()>& fn) {
  ++depth_;
  bool returned = false;
  try {
    fn();
    returned = true;
  } catch (const std::exception& ex) {
    ReportError(ex.what());
  } catch (...) {
    ReportError("Unknown error");
  }
  --depth_;
  return returned;
}

void EventLoop::Dispatch(const std::function<void()>& fn) {
  Guarded(fn);
  if (depth_ == 0) RunPosted();
}

void EventLoop::SetErrorHandler(ErrorHandler handler) { errorHandler_ = std::move(handler); }

void EventLoop::ReportError(const std::string& message) {
  if (errorHandler_) {
    try {
      errorHandler_(message);
      return;
    } catch (...) {
    }
  }
  std::fprintf(stderr, "%sKOV Bridge: %s\n", JournalPrefix(LogLevel::Error).c_str(),
               ErrorBoxText(message).c_str());
  std::fflush(stderr);
}

void EventLoop::DispatchFd(uint64_t id, uint32_t events) {
  auto it = watches_.find(id);
  if (it == watches_.end()) return;
  FdWatch* watch = it->second;
  if (!watch->read_ && !watch->write_) return;  // disarmed (see FdWatch::Update)
  auto cb = watch->callback_;
  if (cb && *cb) Dispatch([&] { (*cb)(events); });
}

void EventLoop::PollFds(int timeoutMs) {
  epoll_event events[64];
  int n = epoll_wait(epfd_, events, static_cast<int>(std::size(events)), timeoutMs);
  if (n < 0) {
    if (errno == EINTR) return;
    throw std::runtime_error(std::string("epoll_wait: ") + std::strerror(errno));
  }
  for (int i = 0; i < n; ++i) DispatchFd(events[i].data.u64, events[i].events);
}

void EventLoop::RunOnce(int maxWaitMs) {
  RunPosted();
  int wait = maxWaitMs;
  if (clock_ == Clock::Real) {
    int next = NextTimeoutMs();
    if (next >= 0 && (wait < 0 || next < wait)) wait = next;
  }
  if (!posted_.empty()) wait = 0;
  PollFds(wait);
  if (clock_ == Clock::Real) FireDueTimers(NowMs());
  RunPosted();
}

void EventLoop::Run() {
  quit_ = false;
  while (!quit_) RunOnce(-1);
}

void EventLoop::AdvanceMs(int64_t ms) {
  if (clock_ != Clock::Manual) throw std::logic_error("AdvanceMs needs the manual clock");
  int64_t target = manualNow_ + ms;
  for (;;) {
    RunOnce(0);
    const TimerEntry* e = PeekTimer();
    if (!e || e->deadline > target) break;
    TimerEntry due = *e;
    heap_.pop();
    if (due.deadline > manualNow_) manualNow_ = due.deadline;
    FireTimer(due);
  }
  manualNow_ = target;
  RunOnce(0);
}

bool EventLoop::RunUntil(const std::function<bool()>& pred, int realTimeoutMs) {
  auto start = std::chrono::steady_clock::now();
  for (;;) {
    if (pred()) return true;
    auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
                       std::chrono::steady_clock::now() - start)
                       .count();
    if (elapsed >= realTimeoutMs) return pred();
    RunOnce(10);
  }
}

void EventLoop::WatchSignal(int signo, std::function<void()> onSignal) {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, signo);
  sigprocmask(SIG_BLOCK, &set, nullptr);
  int fd = signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
  if (fd < 0) throw std::runtime_error(std::string("signalfd: ") + std::strerror(errno));
  signalFds_.push_back(fd);
  auto watch = std::make_unique<FdWatch>(*this, fd, [fd, onSignal](uint32_t) {
    signalfd_siginfo info;
    while (read(fd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
      if (onSignal) onSignal();
    }
  });
  watch->SetRead(true);
  signalWatches_.push_back(std::move(watch));
}

}  // namespace kov
