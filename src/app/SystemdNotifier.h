#pragma once
// Tells systemd how the program is doing, through sd_notify: ready once the console listens and
// the active ports are open, a one-line status, watchdog pings at half the interval the unit
// asks for, and stopping at shutdown. Without NOTIFY_SOCKET (not started by systemd, or not as a
// notify service) it sends nothing and keeps no timer.
//
// The status is sent with readiness, again with a watchdog ping whenever it has changed, and at
// shutdown; there is no timer of its own, so without a watchdog the status is the one at start-up.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "event/EventLoop.h"

namespace kov {

class SystemdNotifier {
 public:
  using StatusLine = std::function<std::string()>;

  // Reads NOTIFY_SOCKET and WATCHDOG_USEC now. The loop outlives the notifier.
  SystemdNotifier(EventLoop& loop, StatusLine status);
  ~SystemdNotifier();
  SystemdNotifier(const SystemdNotifier&) = delete;
  SystemdNotifier& operator=(const SystemdNotifier&) = delete;

  bool Enabled() const { return enabled_; }
  // Watchdog ping period in milliseconds, 0 without a watchdog.
  int64_t PingIntervalMs() const { return pingMs_; }

  // READY=1 with the status; starts the watchdog pings. Once only.
  void Ready();
  // STOPPING=1 with the status; ends the pings.
  void Stopping();

 private:
  void Ping();
  void Send(const std::string& message);

  EventLoop& loop_;
  StatusLine status_;
  bool enabled_ = false;
  bool ready_ = false;
  bool failed_ = false;
  int64_t pingMs_ = 0;
  std::string lastStatus_;
  std::unique_ptr<Timer> watchdog_;
};

}  // namespace kov
