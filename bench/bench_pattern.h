#pragma once
// A pseudo-random byte stream addressed by position: any stretch of it can be produced or
// checked without the bytes before it, so the writer at one end and the checker at the other
// agree on every byte and on its place. A lost, doubled, reordered or altered byte shows up as
// a mismatch at a known position.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace kov::bench {

// The stream of one seed: byte i is byte (i % 8) of a 64-bit mix of the seed and i / 8.
class PatternStream {
 public:
  explicit PatternStream(uint64_t seed = 1) : seed_(seed) {}

  void Fill(uint64_t pos, char* out, size_t n) const {
    while (n > 0) {
      const uint64_t word = Word(pos >> 3);
      const size_t skip = pos & 7;
      const size_t take = std::min<size_t>(8 - skip, n);
      std::memcpy(out, reinterpret_cast<const char*>(&word) + skip, take);
      out += take;
      pos += take;
      n -= take;
    }
  }

  uint64_t Seed() const { return seed_; }

 private:
  // splitmix64's finaliser over a distinct input per word.
  uint64_t Word(uint64_t index) const {
    uint64_t z = seed_ + (index + 1) * 0x9E3779B97F4A7C15ULL;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
  }

  uint64_t seed_;
};

// Produces the stream in order.
class PatternWriter {
 public:
  explicit PatternWriter(uint64_t seed = 1) : stream_(seed) {}

  // The next n bytes; the position moves on only by what Advance is told went out.
  void Peek(char* out, size_t n) const { stream_.Fill(position_, out, n); }
  void Advance(size_t n) { position_ += n; }
  uint64_t Position() const { return position_; }

 private:
  PatternStream stream_;
  uint64_t position_ = 0;
};

// Checks what arrives against the stream, in order. After the first mismatch it refuses
// everything and Error() tells where and what.
class PatternChecker {
 public:
  explicit PatternChecker(uint64_t seed = 1) : stream_(seed) {}

  bool Check(const char* data, size_t n) {
    if (!error_.empty()) return false;
    while (n > 0) {
      const size_t part = std::min(n, kScratch);
      expected_.resize(kScratch);
      stream_.Fill(position_, expected_.data(), part);
      if (std::memcmp(expected_.data(), data, part) != 0) {
        size_t at = 0;
        while (expected_[at] == data[at]) ++at;
        error_ = "byte " + std::to_string(position_ + at) + " is " +
                 std::to_string(static_cast<uint8_t>(data[at])) + ", expected " +
                 std::to_string(static_cast<uint8_t>(expected_[at]));
        return false;
      }
      position_ += part;
      data += part;
      n -= part;
    }
    return true;
  }

  uint64_t Position() const { return position_; }
  const std::string& Error() const { return error_; }

 private:
  static constexpr size_t kScratch = 64 * 1024;
  PatternStream stream_;
  uint64_t position_ = 0;
  std::vector<char> expected_;
  std::string error_;
};

}  // namespace kov::bench
