// The console's listener: listening on the service port, the restart after a pause, and the
// fallbacks for a port that is no number or cannot be had.
#include "terminal/ConsoleListener.h"

#include <exception>

#include "config/ConfigFile.h"
#include "config/StringHandle.h"
#include "event/Log.h"

namespace kov {

namespace {

bool UsablePort(int32_t port) { return port >= 1 && port <= kMaxTcpPort; }

}  // namespace

ConsoleListener::ConsoleListener(EventLoop& loop, const TConfigFile& config)
    : Server(loop), RestartTimer(loop, kRestartMs, [this] { Reopen(); }), loop_(loop),
      config_(config) {
  Server.SetPort(kDefaultPort);
}

void ConsoleListener::Start(const std::string& servicePort) {
  int32_t port = 0;
  if (!StrToInt32(servicePort, port)) {
    loop_.ReportError("'" + servicePort + "' is not a valid integer value");
    Log(LogLevel::Warning,
        "Configuration console falls back to port " + std::to_string(kDefaultPort));
    port = kDefaultPort;
  }
  Start(port);
}

void ConsoleListener::Start(int32_t port) {
  RestartTimer.SetEnabled(false);
  Aim(port, std::to_string(port));
  Reopen();
}

void ConsoleListener::Restart(int64_t delayMs) {
  Server.SetActive(false);
  int32_t port = 0;
  Aim(StrToInt32(config_.ServicePort, port) ? port : -1, config_.ServicePort);
  RestartTimer.SetEnabled(true);
  RestartTimer.SetInterval(delayMs);
}

void ConsoleListener::Aim(int32_t port, const std::string& text) {
  nextPort_ = UsablePort(port) ? port : -1;
  portText_ = text;
  if (nextPort_ > 0) Server.SetPort(nextPort_);
}

void ConsoleListener::Reopen() {
  RestartTimer.SetEnabled(false);
  if (Server.Active()) return;
  std::string failure;
  if (nextPort_ > 0) {
    if (TryListen(nextPort_, failure)) return;
  } else {
    failure = "'" + portText_ + "' is not a valid port number";
  }
  const bool firstFailure = !failing_;
  failing_ = true;
  if (firstFailure) loop_.ReportError(failure);
  const int32_t fallback = lastPort_ > 0 ? lastPort_ : nextPort_ > 0 ? -1 : kDefaultPort;
  std::string fallbackFailure;
  if (fallback > 0 && fallback != nextPort_ && TryListen(fallback, fallbackFailure)) return;
  if (firstFailure) {
    Log(LogLevel::Error, "Configuration console not listening: " + ErrorBoxText(failure) +
                             " Trying again every " + std::to_string(kRestartMs) + " ms");
  }
  RestartTimer.SetInterval(kRestartMs);
  RestartTimer.SetEnabled(true);
}

bool ConsoleListener::TryListen(int32_t port, std::string& failure) {
  try {
    Server.SetPort(port);
    Server.SetActive(true);
  } catch (const std::exception& e) {
    failure = e.what();
    return false;
  }
  if (failing_ || port != lastPort_) {
    Log("Configuration console listening on port " + std::to_string(port));
  }
  failing_ = false;
  lastPort_ = port;
  return true;
}

}  // namespace kov
