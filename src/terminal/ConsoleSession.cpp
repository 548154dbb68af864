// One console session: the greeting, echo and line editing, the password login with its paused
// answers, and complete lines handed to the command table.
#include "terminal/ConsoleSession.h"

#include "config/ConfigFile.h"
#include "config/ResultCodes.h"
#include "config/StringHandle.h"
#include "event/Log.h"
#include "net/TelnetCodes.h"
#include "terminal/CommandTable.h"
#include "terminal/Listings.h"
#include "terminal/LoginGuard.h"
#include "terminal/Messages.h"
#include "terminal/Parser.h"

namespace kov {

namespace {

constexpr char kBackspace = 8;
constexpr char kLf = 10;
constexpr char kCr = 13;
constexpr char kBlank = 32;

}  // namespace

ConsoleSession::ConsoleSession(EventLoop& loop, const TConfigFile& config,
                               const ConsoleActions& console, CommandTable& commands,
                               LoginGuard& guard)
    : config_(config),
      console_(console),
      commands_(commands),
      guard_(guard),
      telnet_([this](const std::string& answer) { console_.Send(answer); }),
      pause_(loop, kWrongPasswordPauseMs, [this] { AnswerWrongLine(); }) {}

void ConsoleSession::Begin() {
  Active = 1;
  LoggedIn = 0;
  PasswordChangeMode = 0;
  LineBuffer.clear();
  waiting_.clear();
  telnet_.Reset();
  ++session_;
  console_.Send({static_cast<char>(telnet::kIac), static_cast<char>(telnet::kDont),
                 static_cast<char>(telnet::kEcho)});
  console_.Send(GreetingText());
}

// The line and the mode stay as they are until the next Begin.
void ConsoleSession::End() {
  Active = 0;
  LoggedIn = 0;
  waiting_.clear();
  holding_ = false;
}

void ConsoleSession::Input(const std::string& chunk) {
  if (chunk.empty()) return;
  waiting_.push_back({chunk.substr(0, kMaxChunk), chunk.size() > kMaxChunk});
  if (waiting_.size() >= kMaxWaitingChunks && !holding_) {
    holding_ = true;
    console_.HoldInput(true);
  }
  HandleWaiting();
}

void ConsoleSession::HandleWaiting() {
  while (Active == 1 && !waiting_.empty() && !Pausing()) {
    Chunk chunk = std::move(waiting_.front());
    waiting_.pop_front();
    const size_t stop = HandleChunk(chunk.Bytes);
    if (Pausing() && stop < chunk.Bytes.size()) {
      waiting_.push_front({chunk.Bytes.substr(stop), chunk.Cut});
    } else if (chunk.Cut) {
      telnet_.Drop();  // a command begun at the cut is not continued by the next chunk
    }
  }
  if (holding_ && waiting_.empty()) {
    holding_ = false;
    console_.HoldInput(false);
  }
}

size_t ConsoleSession::HandleChunk(const std::string& chunk) {
  size_t k = 0;
  while (k < chunk.size() && Active == 1) {
    After after = After::Next;
    if (LoggedIn == 0) {
      // Until a password line is accepted the console reads Telnet, a line at a time.
      k += telnet_.Read(chunk.data() + k, chunk.size() - k, [&](char c) {
        after = Type(c);
        return after == After::Next;
      });
    } else {
      after = Type(chunk[k++]);
    }
    if (after == After::Wait) return k;
    if (after == After::DropRest) {
      telnet_.Drop();
      break;
    }
  }
  return chunk.size();
}

// A line that is too long, an empty command line, the second line of Password and a command that
// ends the session (Exit) drop the rest of their chunk; a wrong password makes it wait.
ConsoleSession::After ConsoleSession::Type(char c) {
  if (c == kBackspace) {
    if (!LineBuffer.empty()) {
      LineBuffer = DeleteLastChar(LineBuffer);
      console_.Send("\b \b");
    }
    return After::Next;
  }
  if (LineBuffer.size() >= kMaxLine) {
    console_.Send("\n\r");
    console_.Send(ErrorReport(kErrNotCommand));
    LineBuffer.clear();
    return After::DropRest;
  }
  Echo(c);
  LineBuffer.push_back(c);
  if (c != kLf) return After::Next;
  if (LoggedIn == 0) return CheckPassword() ? After::Next : After::Wait;
  if (PasswordChangeMode == 1) {
    ParsePasswordLine();
    return After::DropRest;
  }
  if (LineBuffer.size() == 2) {  // an empty line
    LineBuffer.clear();
    console_.Send(kPrompt);
    return After::DropRest;
  }
  ParseCommandLine();
  return Active == 1 ? After::Next : After::DropRest;
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

// The line matches when it is the configured password followed by CR (its CR LF end). A wrong
// line counts at once, so that leaving during the pause does not take it back.
bool ConsoleSession::CheckPassword() {
  const bool match = MatchesLine(LineBuffer, config_.Password) == 0;
  LineBuffer.clear();
  if (!match) {
    lockOutPending_ = guard_.Wrong(RemoteAddress);
    answerTo_ = session_;
    pause_.SetEnabled(true);
    return false;
  }
  console_.Send(std::string("\n\r\n\r") + kPrompt);
  LoggedIn = 1;
  PasswordChangeMode = 0;
  const int32_t wrong = guard_.Accepted();
  std::string line = "Configuration console login from " + RemoteAddress;
  if (wrong == 1) line += " after 1 wrong password";
  if (wrong > 1) line += " after " + std::to_string(wrong) + " wrong passwords";
  Log(line);
  return true;
}

void ConsoleSession::AnswerWrongLine() {
  pause_.SetEnabled(false);
  // A console that connected meanwhile gets no answer to a line it did not type.
  const bool typedHere = Active == 1 && answerTo_ == session_;
  if (typedHere) console_.Send("\n\rPassword:");
  if (lockOutPending_) {
    lockOutPending_ = false;
    if (typedHere) console_.Send("\n\r\n\r  Good Bye...\n\r");
    guard_.LockOut();
    console_.Close(LoginGuard::kLockOutMs);
    return;
  }
  HandleWaiting();
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
