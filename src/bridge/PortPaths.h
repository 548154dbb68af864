#pragma once
// Device paths of the eight serial ports, from BridgePorts.conf in the working directory.
//
// The file holds lines "COMn=<path>" (n 1..8); blanks around the parts are ignored, '#' starts a
// comment and blank lines are skipped. A line that is not understood is logged and ignored. A
// port without a line uses /dev/ttyS<n-1>.
#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "bridge/SerialLibrary.h"

namespace kov {

using PortPathList = std::array<std::string, kSioPortCount>;

constexpr const char* kPortPathsFile = "BridgePorts.conf";

// /dev/ttyS<port> for port 0..7.
std::string DefaultPortPath(int32_t port);
PortPathList DefaultPortPaths();

// Applies the lines of text to the default paths. fileName only names the file in log lines.
PortPathList ParsePortPaths(std::string_view text, const std::string& fileName);

// Reads the file; a missing file gives the default paths, a file that exists but cannot be
// read is logged and gives the defaults too.
PortPathList LoadPortPaths(const std::string& file = kPortPathsFile);

}  // namespace kov
