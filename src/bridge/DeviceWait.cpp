#include "bridge/DeviceWait.h"

#include <string>

#include "bridge/SerialRelay.h"
#include "event/Log.h"

namespace kov {

DeviceWait::DeviceWait(EventLoop& loop, SerialRelay& relay, std::function<void()> onBack)
    : RetryTimer(loop, kRetryMs), relay_(relay), onBack_(std::move(onBack)) {
  RetryTimer.SetOnTimer([this] { Attempt(); });
}

void DeviceWait::Begin(const PortSetup& setup) {
  setup_ = setup;
  told_.clear();
  RetryTimer.SetEnabled(true);
}

void DeviceWait::Attempt() {
  // A device that opens but does not take its setting is not back yet either: the failed open
  // has closed it again.
  OpenFailure failure;
  if (relay_.Open(setup_, &failure, OpenLog::Quiet) < 0) {
    // A path that names no device is the wait itself. Anything else (a replugged adapter the
    // service may not open, a device that refuses the line) is said once per cause, so that
    // the operator learns why the port stays away.
    if (!failure.missing && failure.why != told_) {
      told_ = failure.why;
      LogWarning(SerialLibrary::PortName(relay_.Port()) + " device on " +
                 relay_.Serial().PortPath(relay_.Port()) + " not back yet: " +
                 (failure.why.empty() ? std::string("it would not open") : failure.why) +
                 " (tried again every " + std::to_string(kRetryMs) + " ms)");
    }
    return;
  }
  RetryTimer.SetEnabled(false);
  Log(SerialLibrary::PortName(relay_.Port()) + " device back on " +
      relay_.Serial().PortPath(relay_.Port()) + " (" + DescribeLine(setup_.line) + ")");
  if (onBack_) onBack_();
}

}  // namespace kov
