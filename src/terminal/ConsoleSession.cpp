#include "terminal/ConsoleSession.h"

#include <algorithm>

#include "config/ConfigFile.h"
#include "config/ResultCodes.h"
#include "config/StringHandle.h"
#include "event/Log.h"
#include "terminal/CommandTable.h"
#include "terminal/Listings.h"
#include "terminal/Messages.h"
#include "terminal/Parser.h"

namespace kov {

namespace {

constexpr char kBackspace = 8;
constexpr char kLf = 10;
constexpr char kCr = 13;
constexpr char kBlank = 32;

}  // namespace

ConsoleSession::ConsoleSession(const TConfigFile& config, const ConsoleActions& console,
                               CommandTable& commands)
    : config_(config), console_(console), commands_(commands) {}

void ConsoleSession::Begin() {
  Active = 1;
  LoggedIn = 0;
  PasswordChangeMode = 0;
  FailedLogins = 0;
  LineBuffer.clear();
  console_.Send(std::string("\xFF\xFE\x01", 3));
  console_.Send(GreetingText());
}

// The line, the mode and the count stay as they are until the next Begin.
void ConsoleSession::End() {
  Active = 0;
  LoggedIn = 0;
}

void ConsoleSession::Input(const std::string& chunk) {
  const size_t count = std::min(chunk.size(), kMaxChunk);
  for (size_t k = 0; k < count; ++k) {
    // Exit, the last wrong password or a console that went away ends the session: the rest of
    // the chunk is dropped.
    if (Active != 1) return;
    const char c = chunk[k];
    if (c == kBackspace) {
      if (!LineBuffer.empty()) {
        LineBuffer = DeleteLastChar(LineBuffer);
        console_.Send("\b \b");
      }
      continue;
    }
    if (LineBuffer.size() >= kMaxLine) {
      console_.Send("\n\r");
      console_.Send(ErrorReport(kErrNotCommand));
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
      console_.Send(kPrompt);
      return;
    }
    ParseCommandLine();
  }
}

void ConsoleSession::ExecuteCommand(int32_t number, const std::string& P1, const std::string& P2) {
  commands_.Execute(number, P1, P2, RemoteAddress);
}

// Before login and while a new password is typed, characters are shown as stars.
void ConsoleSession::Echo(char c) {
  if (LoggedIn == 0 || PasswordChangeMode == 1) {
    if (c == kBlank) {
      console_.Send(" ");
    } else if (c != kCr && c != kLf) {
      console_.Send("*");
    }
    return;
  }
  console_.Send(std::string(1, c));
}

// The line matches when it is the configured password followed by CR (its CR LF end).
void ConsoleSession::CheckPassword() {
  const bool match = MatchesLine(LineBuffer, config_.Password) == 0;
  LineBuffer.clear();
  if (match) {
    console_.Send(std::string("\n\r\n\r") + kPrompt);
    LoggedIn = 1;
    PasswordChangeMode = 0;
    Log("Configuration console login from " + RemoteAddress);
    return;
  }
  console_.Send("\n\rPassword:");
  ++FailedLogins;
  Log("Configuration console wrong password " + std::to_string(FailedLogins) + " from " +
      RemoteAddress);
  if (FailedLogins >= kMaxFailedLogins) {
    console_.Send("\n\r\n\r  Good Bye...\n\r");
    Log("Configuration console locked for " + std::to_string(kLockOutMs) + " ms after " +
        std::to_string(FailedLogins) + " wrong passwords from " + RemoteAddress);
    console_.Close(kLockOutMs);
  }
}

void ConsoleSession::ParseCommandLine() {
  const CommandLine line = SplitCommandLine(LineBuffer);
  if (line.Number == 0) {
    LineBuffer.clear();
    console_.Send(ErrorReport(kErrNotCommand));
    return;
  }
  if (line.Number == kCmdPassword) {
    PasswordChangeMode = 1;
    LineBuffer.clear();
    console_.Send("<Password> <Retype Password> :");
    return;
  }
  ExecuteCommand(line.Number, line.P1, line.P2);
  LineBuffer.clear();
}

void ConsoleSession::ParsePasswordLine() {
  const PasswordWords words = SplitPasswordLine(LineBuffer);
  // A line that is not exactly two words confirms nothing.
  ExecuteCommand(kCmdPassword, words.First, words.Complete ? words.Second : std::string());
  LineBuffer.clear();
  PasswordChangeMode = 0;
}

}  // namespace kov
