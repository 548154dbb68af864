#pragma once
// Small text functions shared by the whole system: prefix comparisons (0 means yes, -1 no), the
// accepted-address check, and the conversions between port settings and their texts. Texts are
// 8-bit and compared byte by byte, case-sensitively; nothing is trimmed.
#include <cstdint>
#include <string>

namespace kov {

class TConfigFile;

// 0 when a and b are both non-empty and agree in their first n bytes (a position past the end of
// either text counts as a difference); 0 also for n <= 0 with both non-empty. -1 otherwise.
int32_t CompareFirst(const std::string& a, const std::string& b, int32_t n);
// 0 when text and prefix are non-empty and text begins with prefix; -1 otherwise.
int32_t StartsWith(const std::string& text, const std::string& prefix);
// 0 when line is word followed by CR (13); -1 otherwise.
int32_t MatchesLine(const std::string& line, const std::string& word);
// 0 when line is word followed by a space (32) or CR (13); -1 otherwise.
int32_t MatchesWord(const std::string& line, const std::string& word);

// Whether a peer address passes the three accepted-address entries of the store.
bool AddressAccepted(const TConfigFile& config, const std::string& address);

// The text without its last byte; an empty text stays empty.
std::string DeleteLastChar(const std::string& text);

std::string ActiveText(uint8_t flag);            // "Active" for 1, "Idle" otherwise
std::string SpeedText(int32_t index);            // "300" .. "115200", or "Unown Speed"
std::string ParityText(int32_t index);           // "N", "O", "E", or "Unown Parity"
int32_t ActiveFlagOf(const std::string& text);   // 1, 0 or -1
int32_t SpeedIndexOf(const std::string& text);   // 0..9 or -1
int32_t ParityIndexOf(const std::string& text);  // 0..2 or -1
bool ValidPortIndex(int32_t index);              // 0..7
bool ValidAddressIndex(int32_t index);           // 0..2

// Decimal integer with optional leading spaces and an optional sign, nothing after the digits,
// within the int32 range. On false, value is left unchanged.
bool StrToInt32(const std::string& text, int32_t& value);

}  // namespace kov
