#include "config/StringHandle.h"

#include <array>

#include "config/ConfigFile.h"

namespace kov {

namespace {

constexpr std::array<const char*, 10> kSpeedTexts = {"300",  "600",   "1200",  "2400",  "4800",
                                                     "9600", "19200", "38400", "57600", "115200"};
constexpr std::array<const char*, 3> kParityTexts = {"N", "O", "E"};

constexpr char kCr = 13;
constexpr char kSpace = 32;

// The byte right after a matched word, or -1 when the line ends there.
int NextAfter(const std::string& line, const std::string& word) {
  if (line.size() <= word.size()) return -1;
  return static_cast<unsigned char>(line[word.size()]);
}

}  // namespace

int32_t CompareFirst(const std::string& a, const std::string& b, int32_t n) {
  if (a.empty() || b.empty()) return -1;
  for (int32_t i = 0; i < n; ++i) {
    const size_t pos = static_cast<size_t>(i);
    if (pos >= a.size() || pos >= b.size()) return -1;
    if (a[pos] != b[pos]) return -1;
  }
  return 0;
}

int32_t StartsWith(const std::string& text, const std::string& prefix) {
  // A prefix longer than the text never begins it; deciding that here keeps the length handed
  // on within the text's own size.
  if (prefix.size() > text.size()) return -1;
  return CompareFirst(text, prefix, static_cast<int32_t>(prefix.size()));
}

int32_t MatchesLine(const std::string& line, const std::string& word) {
  if (StartsWith(line, word) != 0) return -1;
  return NextAfter(line, word) == kCr ? 0 : -1;
}

int32_t MatchesWord(const std::string& line, const std::string& word) {
  if (StartsWith(line, word) != 0) return -1;
  const int next = NextAfter(line, word);
  return (next == kSpace || next == kCr) ? 0 : -1;
}

bool AddressAccepted(const TConfigFile& config, const std::string& address) {
  int noneCount = 0;
  for (const std::string& entry : config.AccAddress) {
    if (StartsWith("None", entry) == 0) ++noneCount;
  }
  if (noneCount == static_cast<int>(config.AccAddress.size())) return true;
  for (const std::string& entry : config.AccAddress) {
    if (StartsWith(address, entry) == 0) return true;
  }
  return false;
}

std::string DeleteLastChar(const std::string& text) {
  if (text.empty()) return text;
  return text.substr(0, text.size() - 1);
}

std::string ActiveText(uint8_t flag) { return flag == 1 ? "Active" : "Idle"; }

std::string SpeedText(int32_t index) {
  if (index < 0 || index >= static_cast<int32_t>(kSpeedTexts.size())) return "Unown Speed";
  return kSpeedTexts[static_cast<size_t>(index)];
}

std::string ParityText(int32_t index) {
  if (index < 0 || index >= static_cast<int32_t>(kParityTexts.size())) return "Unown Parity";
  return kParityTexts[static_cast<size_t>(index)];
}

int32_t ActiveFlagOf(const std::string& text) {
  if (StartsWith(text, "Active") == 0) return 1;
  if (StartsWith(text, "Idle") == 0) return 0;
  return -1;
}

int32_t SpeedIndexOf(const std::string& text) {
  for (size_t i = 0; i < kSpeedTexts.size(); ++i) {
    if (StartsWith(text, kSpeedTexts[i]) == 0) return static_cast<int32_t>(i);
  }
  return -1;
}

int32_t ParityIndexOf(const std::string& text) {
  if (text.size() != 1) return -1;
  for (size_t i = 0; i < kParityTexts.size(); ++i) {
    if (text == kParityTexts[i]) return static_cast<int32_t>(i);
  }
  return -1;
}

bool ValidPortIndex(int32_t index) { return index >= 0 && index <= 7; }

bool ValidAddressIndex(int32_t index) { return index >= 0 && index <= 2; }

bool StrToInt32(const std::string& text, int32_t& value) {
  size_t pos = 0;
  while (pos < text.size() && text[pos] == kSpace) ++pos;
  bool negative = false;
  if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
    negative = text[pos] == '-';
    ++pos;
  }
  if (pos == text.size()) return false;
  // The limit is checked after every digit, so the 64-bit sum never grows past 11 digits.
  const int64_t limit = negative ? 2147483648LL : 2147483647LL;
  int64_t acc = 0;
  for (; pos < text.size(); ++pos) {
    const char c = text[pos];
    if (c < '0' || c > '9') return false;
    acc = acc * 10 + (c - '0');
    if (acc > limit) return false;
  }
  value = static_cast<int32_t>(negative ? -acc : acc);
  return true;
}

}  // namespace kov
