#pragma once
// The byte values of the Telnet protocol: commands (each follows an IAC byte) and the options
// this program negotiates or meets at connect.
#include <cstdint>

namespace kov::telnet {

// Commands.
inline constexpr uint8_t kSe = 240;    // end of subnegotiation
inline constexpr uint8_t kNop = 241;   // no operation
inline constexpr uint8_t kDm = 242;    // data mark
inline constexpr uint8_t kBrk = 243;   // break
inline constexpr uint8_t kIp = 244;    // interrupt process
inline constexpr uint8_t kAo = 245;    // abort output
inline constexpr uint8_t kAyt = 246;   // are you there
inline constexpr uint8_t kEc = 247;    // erase character
inline constexpr uint8_t kEl = 248;    // erase line
inline constexpr uint8_t kGa = 249;    // go ahead
inline constexpr uint8_t kSb = 250;    // start of subnegotiation
inline constexpr uint8_t kWill = 251;
inline constexpr uint8_t kWont = 252;
inline constexpr uint8_t kDo = 253;
inline constexpr uint8_t kDont = 254;
inline constexpr uint8_t kIac = 255;   // interpret as command; doubled, an ordinary byte 255

// Options.
inline constexpr uint8_t kBinary = 0;
inline constexpr uint8_t kEcho = 1;
inline constexpr uint8_t kSuppressGoAhead = 3;
inline constexpr uint8_t kTerminalType = 24;
inline constexpr uint8_t kWindowSize = 31;
inline constexpr uint8_t kTerminalSpeed = 32;
inline constexpr uint8_t kNewEnviron = 39;
inline constexpr uint8_t kComPort = 44;

}  // namespace kov::telnet
