#pragma once
// The one event loop of the program: descriptor readiness (epoll, level-triggered), timers,
// signals and posted tasks, all dispatched on the calling thread, one handler at a time.
//
// Ownership rules that make it safe to destroy things from inside handlers:
// - every FdWatch and Timer registers under a fresh id; the loop looks the id up again before
//   each dispatch, so a watch or timer destroyed by an earlier handler of the same turn is
//   simply skipped;
// - the handler being run is kept alive by a shared reference for the length of the call, so a
//   handler may destroy its own FdWatch or Timer;
// - Post() queues work that runs after the current top-level handler has returned, which is how
//   the socket layer defers the removal of closed connections.
//
// An exception escaping a handler is caught here and handed to the error handler (the error
// box); the loop then goes on.
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <queue>
#include <string>
#include <vector>

namespace kov {

class EventLoop;

// Watches one descriptor for readability and/or writability. The callback receives the epoll
// event bits (EPOLLIN, EPOLLOUT, EPOLLHUP, EPOLLERR, ...). Destroy the watch before closing the
// descriptor.
class FdWatch {
 public:
  using Callback = std::function<void(uint32_t events)>;

  FdWatch(EventLoop& loop, int fd, Callback onEvents);
  ~FdWatch();
  FdWatch(const FdWatch&) = delete;
  FdWatch& operator=(const FdWatch&) = delete;

  void SetRead(bool on);
  void SetWrite(bool on);
  bool Reading() const { return read_; }
  bool Writing() const { return write_; }
  int Fd() const { return fd_; }

 private:
  friend class EventLoop;
  void Update();

  EventLoop& loop_;
  int fd_;
  uint64_t id_;
  bool read_ = false;
  bool write_ = false;
  bool registered_ = false;
  std::shared_ptr<Callback> callback_;
};

// A window-style timer. While enabled it fires repeatedly every Interval() milliseconds.
// Enabling an enabled timer, or setting the interval it already has, changes nothing; disabling
// and enabling it again, or setting a different interval while enabled, starts a fresh
// countdown of the full interval.
class Timer {
 public:
  using Callback = std::function<void()>;

  Timer(EventLoop& loop, int64_t intervalMs, Callback onTimer = nullptr);
  ~Timer();
  Timer(const Timer&) = delete;
  Timer& operator=(const Timer&) = delete;

  void SetEnabled(bool on);
  bool Enabled() const { return enabled_; }
  void SetInterval(int64_t ms);
  int64_t Interval() const { return interval_; }
  void SetOnTimer(Callback cb);
  // Milliseconds left until the next expiry, -1 when disabled (for tests and diagnostics).
  int64_t RemainingMs() const;

 private:
  friend class EventLoop;
  void Arm();

  EventLoop& loop_;
  uint64_t id_;
  int64_t interval_;
  bool enabled_ = false;
  int64_t deadline_ = 0;
  uint64_t armSeq_ = 0;  // orders timers due at the same moment by when they were armed
  // Each timer has at most one live entry in the loop's heap. A re-arm to a later deadline (an
  // idle countdown restarted on every read, say) leaves that entry alone; when it comes up
  // early it is queued again at the timer's current deadline. Only an earlier deadline needs a
  // new entry, which bumps the generation so the old one is ignored.
  bool inHeap_ = false;
  int64_t heapDeadline_ = 0;
  uint64_t generation_ = 0;
  std::shared_ptr<Callback> callback_;
};

class EventLoop {
 public:
  enum class Clock { Real, Manual };
  using ErrorHandler = std::function<void(const std::string& message)>;

  explicit EventLoop(Clock clock = Clock::Real);
  ~EventLoop();
  EventLoop(const EventLoop&) = delete;
  EventLoop& operator=(const EventLoop&) = delete;

  // Milliseconds on the loop's clock (monotonic, or the manual clock starting at 0).
  int64_t NowMs() const;
  bool IsManualClock() const { return clock_ == Clock::Manual; }

  // Queue a task to run after the current handler has returned (on the same thread).
  void Post(std::function<void()> task);

  // Runs until Quit(). Handlers and timers run as they become due.
  void Run();
  void Quit() { quit_ = true; }
  bool QuitRequested() const { return quit_; }

  // One turn: waits up to maxWaitMs (real time; 0 = do not wait, -1 = until something happens)
  // for descriptors or, on the real clock, for the next timer; then dispatches what is ready.
  void RunOnce(int maxWaitMs);

  // Dispatches what is ready now without waiting. For driving the loop from another toolkit's
  // loop on the same thread, together with EpollFd() and NextTimeoutMs(). Not re-entrant: a
  // handler must not cause Step() to run again before it returns.
  void Step() { RunOnce(0); }
  int EpollFd() const { return epfd_; }
  // Milliseconds until the next timer is due (real clock), -1 when no timer is enabled.
  int NextTimeoutMs() const;

  // Entries in the timer queue, live or waiting to be dropped (for tests and diagnostics).
  size_t TimerQueueSize() const { return heap_.size(); }

  // Manual clock only: moves time forward by ms. Due timers fire in deadline order, each in a
  // turn of its own (descriptors that are ready are dispatched between them without waiting).
  void AdvanceMs(int64_t ms);

  // Turns the loop (waiting at most 10 ms of real time per turn) until pred() holds or
  // realTimeoutMs of real time have passed. Returns pred(). For tests and shutdown.
  bool RunUntil(const std::function<bool()>& pred, int realTimeoutMs = 5000);

  // Runs the callback on the loop whenever the signal arrives (signalfd; the signal is blocked
  // for normal delivery).
  void WatchSignal(int signo, std::function<void()> onSignal);

  // Where an exception escaping a handler goes. The default writes one stderr line
  // "KOV Bridge: <text>" with the error box's period rule.
  void SetErrorHandler(ErrorHandler handler);
  void ReportError(const std::string& message);

  // Runs fn as a top-level handler: exceptions go to the error handler, posted tasks run after.
  void Dispatch(const std::function<void()>& fn);
  // Runs fn as part of the handler that runs now: an exception that escapes it goes to the error
  // handler. Returns whether fn returned normally.
  bool Guarded(const std::function<void()>& fn);

 private:
  friend class FdWatch;
  friend class Timer;

  struct TimerEntry {
    int64_t deadline;
    uint64_t seq;
    uint64_t id;
    uint64_t generation;
    bool operator>(const TimerEntry& o) const {
      return deadline != o.deadline ? deadline > o.deadline : seq > o.seq;
    }
  };

  uint64_t Register(FdWatch* w);
  void Unregister(FdWatch* w, uint64_t id);
  uint64_t Register(Timer* t);
  void Unregister(uint64_t id);
  // Queues the timer's live heap entry at its current deadline.
  void Schedule(Timer* t);
  // Pops stale entries; returns the earliest live entry or nullptr.
  const TimerEntry* PeekTimer();
  void FireTimer(const TimerEntry& e);
  void FireDueTimers(int64_t now);
  void DispatchFd(uint64_t id, uint32_t events);
  void RunPosted();
  void PollFds(int timeoutMs);

  Clock clock_;
  int epfd_;
  int64_t manualNow_ = 0;
  bool quit_ = false;
  int depth_ = 0;
  uint64_t nextId_ = 1;
  uint64_t nextSeq_ = 1;
  std::map<uint64_t, FdWatch*> watches_;
  std::map<uint64_t, Timer*> timers_;
  std::priority_queue<TimerEntry, std::vector<TimerEntry>, std::greater<TimerEntry>> heap_;
  std::deque<std::function<void()>> posted_;
  std::vector<std::unique_ptr<FdWatch>> signalWatches_;
  std::vector<int> signalFds_;
  ErrorHandler errorHandler_;
};

// The error box's text rule: a period is appended when the text is not empty and its last
// character sorts after '.', so texts ending in "'" or ")" get none.
std::string ErrorBoxText(const std::string& text);

}  // namespace kov
