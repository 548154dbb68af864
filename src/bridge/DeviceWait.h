#pragma once
// Waits for a serial device that is missing (unplugged, its board resetting) and opens its port
// again when it is back: one quiet attempt every kRetryMs with the setup the port had (its whole
// line setting), on the same path, so a symbolic link such as /dev/serial/by-id/... is followed to
// wherever it points by then. The timer runs only while waiting; an attempt that finds no device
// leaves no log line, one that fails for another cause logs it once, the return logs one line.
//
//   DeviceWait wait(loop, relay, [&] { /* the port is open again */ });
//   wait.Begin(setup);  // the relay holds the port's lease, the port is closed
//   wait.End();         // called off (the channel stopped)
#include <functional>
#include <string>

#include "bridge/SerialLibrary.h"
#include "event/EventLoop.h"

namespace kov {

class SerialRelay;

class DeviceWait {
 public:
  static constexpr int64_t kRetryMs = 1000;

  DeviceWait(EventLoop& loop, SerialRelay& relay, std::function<void()> onBack);

  void Begin(const PortSetup& setup);
  void End() { RetryTimer.SetEnabled(false); }
  bool Waiting() const { return RetryTimer.Enabled(); }

  Timer RetryTimer;

 private:
  void Attempt();

  SerialRelay& relay_;
  std::function<void()> onBack_;
  PortSetup setup_;
  std::string told_;  // the last cause of a failed attempt that was logged
};

}  // namespace kov
