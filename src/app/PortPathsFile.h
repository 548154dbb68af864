#pragma once
// Where the program reads BridgePorts.conf: the working directory first, then the system-wide
// folder the packages install it to.
#include <string>
#include <vector>

namespace kov {

constexpr const char* kSystemConfigDir = "/etc/kovbridge";

// The first of dirs that holds BridgePorts.conf, as a path to the file (logged when it is not the
// first); when none does, the file in the first directory (which then reads as missing, and
// every port takes its default path).
std::string FindPortPathsFile(const std::vector<std::string>& dirs = {".", kSystemConfigDir});

}  // namespace kov
