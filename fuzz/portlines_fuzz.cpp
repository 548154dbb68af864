// Feeds arbitrary bytes to the BridgePorts.conf parser: it must never fail, and every port it
// hands out has a path, options within their ranges, and a fault exactly where it reported one.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "bridge/PortLines.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  std::vector<std::string> problems;
  const kov::PortLineList lines = kov::ParsePortLines(text, "BridgePorts.conf", &problems);
  size_t faults = 0;
  for (const kov::PortLine& line : lines) {
    const kov::PortOptions& o = line.options;
    if (line.path.empty()) __builtin_trap();
    if (line.path.find_first_of(" \t\r\n#") != std::string::npos) __builtin_trap();
    if (o.dataBits < 5 || o.dataBits > 8 || o.stopBits < 1 || o.stopBits > 2) __builtin_trap();
    if (o.idleSeconds < 0 || o.idleSeconds > kov::PortOptions::kMaxIdleSeconds) __builtin_trap();
    if (o.keepaliveSeconds < 0 || o.keepaliveSeconds > kov::PortOptions::kMaxKeepaliveSeconds)
      __builtin_trap();
    if (!line.fault.empty()) {
      ++faults;
      bool reported = false;
      for (const std::string& problem : problems) reported |= problem.rfind(line.fault, 0) == 0;
      if (!reported) __builtin_trap();
    }
  }
  if (faults > problems.size()) __builtin_trap();
  // Parsing is a function of the text alone.
  if (kov::ParsePortLines(text, "BridgePorts.conf") != lines) __builtin_trap();
  return 0;
}
