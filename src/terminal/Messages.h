#pragma once
// The console's fixed replies and the one table that turns a negative result code into words.
#include <cstdint>
#include <string>

namespace kov {

inline constexpr const char* kPrompt = "Bridge:\\>";
inline constexpr const char* kOkReply = " OK. \n\rBridge:\\>";

// The message of a result code: the table text, or "Unown Error !" for a code not listed.
std::string ErrorMessage(int32_t code);
// What the console receives for a failure: the message, "\n\r", "\n\r" and the prompt.
std::string ErrorReport(int32_t code);

}  // namespace kov
