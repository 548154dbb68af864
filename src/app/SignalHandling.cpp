#include "app/SignalHandling.h"

#include <signal.h>
#include <string.h>

#include <string>

#include "event/EventLoop.h"
#include "event/Log.h"

namespace kov {
namespace {

constexpr int kClosing[] = {SIGTERM, SIGINT, SIGHUP};
constexpr int kIgnoredLogged[] = {SIGUSR1, SIGUSR2, SIGALRM};
constexpr int kIgnored[] = {SIGPIPE, SIGXFSZ};

std::string Name(int signo) {
  const char* abbreviation = sigabbrev_np(signo);
  return abbreviation ? std::string("SIG") + abbreviation : "signal " + std::to_string(signo);
}

}  // namespace

void PrepareSignals() {
  for (int signo : kIgnored) signal(signo, SIG_IGN);
  sigset_t watched;
  sigemptyset(&watched);
  for (int signo : kClosing) sigaddset(&watched, signo);
  for (int signo : kIgnoredLogged) sigaddset(&watched, signo);
  pthread_sigmask(SIG_BLOCK, &watched, nullptr);
}

void ReleaseClosingSignals() {
  sigset_t closing;
  sigemptyset(&closing);
  for (int signo : kClosing) sigaddset(&closing, signo);
  pthread_sigmask(SIG_UNBLOCK, &closing, nullptr);
}

void WatchSignals(EventLoop& loop, std::function<void()> close) {
  PrepareSignals();
  for (int signo : kClosing) {
    loop.WatchSignal(signo, [signo, close] {
      Log("closing on " + Name(signo));
      if (close) close();
    });
  }
  for (int signo : kIgnoredLogged) {
    loop.WatchSignal(signo, [signo] { LogWarning(Name(signo) + " received and ignored"); });
  }
}

}  // namespace kov
