#pragma once
// Test data for byte streams: bytes 0..255 in turn, then a pseudo-random tail, so that lost,
// doubled or reordered bytes show (zero bytes included); and where two streams part.
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

// "equal", or where two byte strings first differ: a readable failure on megabytes.
inline std::string Difference(const std::string& got, const std::string& want) {
  size_t i = 0;
  while (i < got.size() && i < want.size() && got[i] == want[i]) ++i;
  if (i == got.size() && i == want.size()) return "equal";
  return "sizes " + std::to_string(got.size()) + " and " + std::to_string(want.size()) +
         ", first difference at byte " + std::to_string(i);
}

}  // namespace kov
