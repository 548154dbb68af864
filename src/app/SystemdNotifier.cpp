#include "app/SystemdNotifier.h"

#include <string.h>
#include <systemd/sd-daemon.h>

#include <algorithm>
#include <cstdlib>

#include "event/Log.h"

namespace kov {

SystemdNotifier::SystemdNotifier(EventLoop& loop, StatusLine status)
    : loop_(loop), status_(std::move(status)) {
  const char* socket = std::getenv("NOTIFY_SOCKET");
  enabled_ = socket != nullptr && socket[0] != '\0';
  if (!enabled_) return;
  uint64_t usec = 0;
  if (sd_watchdog_enabled(0, &usec) > 0 && usec > 0) {
    pingMs_ = std::max<int64_t>(1, static_cast<int64_t>(usec / 2000));
  }
}

SystemdNotifier::~SystemdNotifier() = default;

void SystemdNotifier::Ready() {
  if (!enabled_ || ready_) return;
  ready_ = true;
  lastStatus_ = status_ ? status_() : std::string();
  Send("READY=1\nSTATUS=" + lastStatus_);
  if (pingMs_ > 0) {
    watchdog_ = std::make_unique<Timer>(loop_, pingMs_, [this] { Ping(); });
    watchdog_->SetEnabled(true);
    Log("systemd watchdog: a ping every " + std::to_string(pingMs_) + " ms");
  }
}

void SystemdNotifier::Ping() {
  std::string message = "WATCHDOG=1";
  std::string status = status_ ? status_() : std::string();
  if (status != lastStatus_) {
    lastStatus_ = status;
    message += "\nSTATUS=" + status;
  }
  Send(message);
}

void SystemdNotifier::Stopping() {
  if (!enabled_) return;
  watchdog_.reset();
  Send("STOPPING=1\nSTATUS=stopping");
}

void SystemdNotifier::Send(const std::string& message) {
  int result = sd_notify(0, message.c_str());
  if (result < 0 && !failed_) {
    failed_ = true;
    LogWarning("cannot notify systemd: " + std::string(strerror(-result)));
  }
}

}  // namespace kov
