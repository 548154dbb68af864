#pragma once
// Test data for byte streams: bytes 0..255 in turn, then a pseudo-random tail, so that lost,
// doubled or reordered bytes show (zero bytes included).
#include <cstdint>
#include <string>

namespace kov {

inline std::string PatternBytes(size_t size, uint32_t seed = 1) {
  std::string bytes(size, '\0');
  uint32_t x = seed;
  for (size_t i = 0; i < size; ++i) {
    x = x * 1664525u + 1013904223u;
    bytes[i] = static_cast<char>(i < 4096 ? i & 0xff : x >> 24);
  }
  return bytes;
}

}  // namespace kov
