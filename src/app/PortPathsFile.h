#pragma once
// Where the program reads BridgePorts.conf: the working directory first, then the system-wide
// folder the packages install it to; each time it is read.
#include <string>
#include <vector>

#include "bridge/PortTable.h"

namespace kov {

constexpr const char* kSystemConfigDir = "/etc/kovbridge";

// The first of dirs that holds BridgePorts.conf, as a path to the file (logged when it is not the
// first, unless quiet); when none does, the file in the first directory (which then reads as
// missing, and every port takes its default path).
std::string FindPortPathsFile(const std::vector<std::string>& dirs = {".", kSystemConfigDir},
                              bool quiet = false);

// The port lines of the program: read now from the file FindPortPathsFile names (where it is
// logged), and read again from wherever it names then, quietly, when a port is opened from the
// console.
PortTable LoadPortTable(const std::vector<std::string>& dirs = {".", kSystemConfigDir});

}  // namespace kov
