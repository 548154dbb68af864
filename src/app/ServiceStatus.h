#pragma once
// The one-line status a service manager shows for the running program, for example
// "2 ports listening, 1 client bridged, console on port 8800".
#include <cstdint>
#include <string>

#include "app/Application.h"
#include "app/Status.h"

namespace kov {

struct ConsoleState {
  int32_t Port = 0;
  bool Listening = false;
};

// From the indicators the status window shows: a local port listens when its indicator is lit,
// a client is bridged where it is Connected; the remote link is named when it is connected.
std::string ServiceStatusLine(const StatusIndicators& indicators, const ConsoleState& console);

// The line for the running application, read afresh.
std::string ReadServiceStatusLine(const Application& app);

}  // namespace kov
