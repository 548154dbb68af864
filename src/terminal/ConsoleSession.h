#pragma once
// One console's session, from the greeting to its end: the echo, the line editing, the password
// login and the hand-over of complete lines to the command table. It knows nothing of sockets:
// it writes through the console actions and is fed the chunks the terminal receives.
//
//   session.Begin();                   // greeting
//   session.RemoteAddress = "10.0.0.5";
//   session.Input("PZQ\r\n");          // "***", then "\n\r\n\rBridge:\>"
#include <cstdint>
#include <string>

#include "terminal/ConsoleActions.h"

namespace kov {

class TConfigFile;
class CommandTable;

class ConsoleSession {
 public:
  static constexpr int64_t kLockOutMs = 180000;  // listener closed after four wrong passwords
  static constexpr int32_t kMaxFailedLogins = 4;
  static constexpr size_t kMaxChunk = 200;  // bytes taken from one received chunk
  static constexpr size_t kMaxLine = 199;   // longest line, CR LF included
  static constexpr size_t kMaxAddress = 20;

  // The store (its password) and the command table must outlive the session.
  ConsoleSession(const TConfigFile& config, const ConsoleActions& console, CommandTable& commands);
  ConsoleSession(const ConsoleSession&) = delete;
  ConsoleSession& operator=(const ConsoleSession&) = delete;

  // A fresh session: the state cleared, IAC DONT ECHO and the greeting sent.
  void Begin();
  void End();
  // Handles one received chunk: echo, line editing, login, command lines.
  void Input(const std::string& chunk);
  // Runs one recognised command with its parameters for this console.
  void ExecuteCommand(int32_t number, const std::string& P1, const std::string& P2);

  uint8_t Active = 0;  // from the greeting of an accepted console to the end of its session
  uint8_t LoggedIn = 0;
  uint8_t PasswordChangeMode = 0;  // the next line is the second step of the Password command
  std::string LineBuffer;          // the line being typed, CR and LF included
  int32_t FailedLogins = 0;
  std::string RemoteAddress;  // the console's address, cut to kMaxAddress

 private:
  void Echo(char c);
  void CheckPassword();
  void ParseCommandLine();
  void ParsePasswordLine();

  const TConfigFile& config_;
  const ConsoleActions& console_;
  CommandTable& commands_;
};

}  // namespace kov
