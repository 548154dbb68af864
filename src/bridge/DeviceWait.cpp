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
  SioStep failed = SioStep::Reset;
  if (relay_.Open(setup_, &failed, /*quiet=*/true) < 0) {
    // A device that opens but does not take its settings is not back yet either.
    if (failed != SioStep::Reset) relay_.ClosePort();
    return;
  }
  RetryTimer.SetEnabled(false);
  LineSettings settings;
  settings.parity = setup_.parity;
  settings.stopBits = setup_.stopBits;
  settings.dataBits = setup_.dataBits;
  settings.baudCode = setup_.baudCode;
  Log(SerialLibrary::PortName(relay_.Port()) + " device back on " +
      relay_.Serial().PortPath(relay_.Port()) + " (" + DescribeSettings(settings) + ")");
  if (onBack_) onBack_();
}

}  // namespace kov
