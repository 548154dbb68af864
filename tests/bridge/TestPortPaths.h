#pragma once
// Device paths for the termios serial layer in tests: one port (COM1 unless told) is the given
// device, the other ports name paths that do not exist.
#include <array>
#include <string>

#include "bridge/SerialLibrary.h"

namespace kov {

inline std::array<std::string, kSioPortCount> PathsWith(const std::string& device, int index = 0) {
  std::array<std::string, kSioPortCount> paths;
  for (int i = 0; i < kSioPortCount; ++i) paths[i] = "/nonexistent/tty" + std::to_string(i);
  paths[index] = device;
  return paths;
}

}  // namespace kov
