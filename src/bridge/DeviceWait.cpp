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
  RetryTimer.SetEnabled(true);
}

void DeviceWait::Attempt() {
  // A device that opens but does not take its setting is not back yet either: the failed open
  // has closed it again.
  if (relay_.Open(setup_, nullptr, OpenLog::Quiet) < 0) return;
  RetryTimer.SetEnabled(false);
  Log(SerialLibrary::PortName(relay_.Port()) + " device back on " +
      relay_.Serial().PortPath(relay_.Port()) + " (" + DescribeLine(setup_.line) + ")");
  if (onBack_) onBack_();
}

}  // namespace kov
