// What the console types: echo, line editing, the password login and the hand-over of complete
// lines to the command parser.
#include <algorithm>

#include "config/ConfigFile.h"
#include "config/ResultCodes.h"
#include "config/StringHandle.h"
#include "event/Log.h"
#include "terminal/Messages.h"
#include "terminal/Parser.h"
#include "terminal/Terminal.h"

namespace kov {

namespace {

constexpr char kBackspace = 8;
constexpr char kLf = 10;
constexpr char kCr = 13;
constexpr char kBlank = 32;

}  // namespace

void TBridgeTerminal::ProcessInput(const std::string& chunk) {
  const size_t count = std::min(chunk.size(), kMaxChunk);
  for (size_t k = 0; k < count; ++k) {
    // Exit, the last wrong password or a console that went away ends the session: the rest of
    // the chunk is dropped.
    if (SessionActive != 1) return;
    const char c = chunk[k];
    if (c == kBackspace) {
      if (!LineBuffer.empty()) {
        LineBuffer = DeleteLastChar(LineBuffer);
        SendToConsole("\b \b");
      }
      continue;
    }
    if (LineBuffer.size() >= kMaxLine) {
      SendToConsole("\n\r");
      ReportError(kErrNotCommand);
      LineBuffer.clear();
      return;
    }
    Echo(c);
    LineBuffer.push_back(c);
    if (c != kLf) continue;
    if (LoggedIn == 0) {
      CheckPassword();
      continue;
    }
    if (PasswordChangeMode == 1) {
      ParsePasswordLine();
      return;
    }
    if (LineBuffer.size() == 2) {  // an empty line
      LineBuffer.clear();
      SendToConsole(kPrompt);
      return;
    }
    ParseCommandLine();
  }
}

// Before login and while a new password is typed, characters are shown as stars.
void TBridgeTerminal::Echo(char c) {
  if (LoggedIn == 0 || PasswordChangeMode == 1) {
    if (c == kBlank) {
      SendToConsole(" ");
    } else if (c != kCr && c != kLf) {
      SendToConsole("*");
    }
    return;
  }
  SendToConsole(std::string(1, c));
}

// The line matches when it is the configured password followed by CR (its CR LF end).
void TBridgeTerminal::CheckPassword() {
  const bool match = MatchesLine(LineBuffer, config_.Password) == 0;
  LineBuffer.clear();
  if (match) {
    SendToConsole(std::string("\n\r\n\r") + kPrompt);
    LoggedIn = 1;
    PasswordChangeMode = 0;
    Log("Configuration console login from " + RemoteAddress);
    return;
  }
  SendToConsole("\n\rPassword:");
  ++FailedLogins;
  Log("Configuration console wrong password " + std::to_string(FailedLogins) + " from " +
      RemoteAddress);
  if (FailedLogins >= kMaxFailedLogins) {
    SendToConsole("\n\r\n\r  Good Bye...\n\r");
    Log("Configuration console locked for " + std::to_string(kLockOutMs) + " ms after " +
        std::to_string(FailedLogins) + " wrong passwords from " + RemoteAddress);
    EndSession();
    ListenerRestart(kLockOutMs);
  }
}

void TBridgeTerminal::ParseCommandLine() {
  const CommandLine line = SplitCommandLine(LineBuffer);
  if (line.Number == 0) {
    LineBuffer.clear();
    ReportError(kErrNotCommand);
    return;
  }
  if (line.Number == kCmdPassword) {
    PasswordChangeMode = 1;
    LineBuffer.clear();
    SendToConsole("<Password> <Retype Password> :");
    return;
  }
  ExecuteCommand(line.Number, line.P1, line.P2, line.P3, line.P4);
  LineBuffer.clear();
}

void TBridgeTerminal::ParsePasswordLine() {
  const PasswordWords words = SplitPasswordLine(LineBuffer);
  // A line that is not exactly two words confirms nothing.
  ExecuteCommand(kCmdPassword, words.First, words.Complete ? words.Second : std::string(), "", "");
  LineBuffer.clear();
  PasswordChangeMode = 0;
}

void TBridgeTerminal::ReportError(int32_t code) { SendToConsole(ErrorReport(code)); }

}  // namespace kov
