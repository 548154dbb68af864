#include "terminal/Messages.h"

#include <array>
#include <utility>

#include "bridge/SerialLibrary.h"
#include "config/ResultCodes.h"

namespace kov {

namespace {

// Every message fits a 61-character console line.
constexpr size_t kMaxMessage = 61;

constexpr std::array<std::pair<int32_t, const char*>, 15> kMessages = {{
    {kErrNotCommand, "The name specified is not recognized as command."},
    {kErrNoHandler, "TermError: No Handle Function for Command !"},
    {kErrFile, "FileError: Can't open BridgeConfig.sys file !"},
    {kErrBadParams, "TermError: Bad parameters."},
    {kErrFileData, "FileError: Wrong data in BridgeConfig.sys file."},
    {kErrPortOpened, "SerCommError: Port already opened."},
    {kSioOutOfRange, "SerCommError: Parameter out of range !"},
    {kSioBadBaud, "SerCommError: Unsupported baud rate !"},
    {kSioBadDataBits, "SerCommError: Unsupported byte size !"},
    {kSioHardware, "SerCommError: Hardware error !"},
    {kSioBadDefaults, "SerCommError: In default parameters !"},
    {kSioNoMemory, "SerCommError: Cannot allocate memory !"},
    {kSioNotOpen, "SerCommError: Port not opened."},
    {kSioCannotOpen, "SerCommError: Cannot open port !"},
    {kSioBadPort, "SerCommError: Bad port ID !"},
}};

}  // namespace

std::string ErrorMessage(int32_t code) {
  for (const auto& [known, text] : kMessages) {
    if (known == code) return std::string(text).substr(0, kMaxMessage);
  }
  return "Unown Error !";
}

std::string ErrorReport(int32_t code) { return ErrorMessage(code) + "\n\r\n\r" + kPrompt; }

}  // namespace kov
