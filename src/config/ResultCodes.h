#pragma once
// Result codes of the system's own operations. Codes -1 to -101 belong to the serial port layer
// and are passed through unchanged; these six are ours. Only the terminal turns them into words.
#include <cstdint>

namespace kov {

inline constexpr int32_t kErrNotCommand = -300;  // the line is no known command
inline constexpr int32_t kErrNoHandler = -299;   // a command number without a handler
inline constexpr int32_t kErrFile = -298;        // BridgeConfig.sys cannot be opened or written
inline constexpr int32_t kErrBadParams = -297;   // a command parameter does not convert
inline constexpr int32_t kErrFileData = -296;    // a port line of BridgeConfig.sys does not convert
inline constexpr int32_t kErrPortOpened = -295;  // Start on a port that is already active

}  // namespace kov
