#pragma once
// Device paths for the termios serial layer in tests: COM1 is the given device, the other ports
// name paths that do not exist.
#include <array>
#include <string>

#include "bridge/SerialLibrary.h"

namespace kov {

inline std::array<std::string, kSioPortCount> PathsWith(const std::string& first) {
  std::array<std::string, kSioPortCount> paths;
  for (int i = 0; i < kSioPortCount; ++i) paths[i] = "/nonexistent/tty" + std::to_string(i);
  paths[0] = first;
  return paths;
}

}  // namespace kov
