#pragma once
// Conversions of command parameters shared by the console commands.
#include <cstdint>
#include <string>

#include "config/StringHandle.h"

namespace kov {

// A serial port parameter: a decimal number 1..8, giving the index 0..7.
inline bool SerialPortIndex(const std::string& text, int32_t& index) {
  int32_t number = 0;
  if (!StrToInt32(text, number) || number < 1 || !ValidPortIndex(number - 1)) return false;
  index = number - 1;
  return true;
}

}  // namespace kov
