#pragma once
// One console's session, from the greeting to its end: the echo, the line editing, the password
// login and the hand-over of complete lines to the command table. It knows nothing of sockets:
// it writes through the console actions and is fed the chunks the terminal receives. Until a
// password line is accepted it reads them through the Telnet login filter; after that every
// byte is an ordinary character.
//
//   session.Begin();                   // greeting
//   session.RemoteAddress = "10.0.0.5";
//   session.Input("PZQ\r\n");          // "***", then "\n\r\n\rBridge:\>"
//
// A wrong password line is answered after kWrongPasswordPauseMs, without blocking the loop: the
// rest of the console's input waits, in the chunks it came in, and is handled after the pause,
// so a console sees the same bytes as without the pause, only later. The pause belongs to the
// terminal rather than the connection: a console that reconnects meanwhile waits for it too,
// and a lock-out that the line brought about happens whatever became of its connection.
#include <cstdint>
#include <deque>
#include <string>

#include "event/EventLoop.h"
#include "terminal/ConsoleActions.h"
#include "terminal/TelnetLoginFilter.h"

namespace kov {

class TConfigFile;
class CommandTable;
class LoginGuard;

class ConsoleSession {
 public:
  static constexpr int64_t kWrongPasswordPauseMs = 1000;
  static constexpr size_t kMaxChunk = 200;  // bytes taken from one received chunk
  static constexpr size_t kMaxLine = 199;   // longest line, CR LF included
  static constexpr size_t kMaxAddress = 20;
  static constexpr size_t kMaxWaitingChunks = 16;  // reading stops beyond this during a pause

  // The store (its password), the command table and the guard must outlive the session.
  ConsoleSession(EventLoop& loop, const TConfigFile& config, const ConsoleActions& console,
                 CommandTable& commands, LoginGuard& guard);
  ConsoleSession(const ConsoleSession&) = delete;
  ConsoleSession& operator=(const ConsoleSession&) = delete;

  // A fresh session: the state cleared, IAC DONT ECHO and the greeting sent.
  void Begin();
  // The session is over: input still waiting is dropped.
  void End();
  // Handles one received chunk: echo, line editing, login, command lines.
  void Input(const std::string& chunk);
  // Runs one recognised command with its parameters for this console.
  void ExecuteCommand(int32_t number, const std::string& P1, const std::string& P2);
  // A wrong password line waits for its answer.
  bool Pausing() const { return pause_.Enabled(); }

  uint8_t Active = 0;  // from the greeting of an accepted console to the end of its session
  uint8_t LoggedIn = 0;
  uint8_t PasswordChangeMode = 0;  // the next line is the second step of the Password command
  std::string LineBuffer;          // the line being typed, CR and LF included
  std::string RemoteAddress;       // the console's address, cut to kMaxAddress

 private:
  // What a typed byte means for the rest of its chunk.
  enum class After { Next, DropRest, Wait };
  struct Chunk {
    std::string Bytes;
    bool Cut = false;  // bytes past kMaxChunk were dropped
  };

  // Handles the chunks that wait, in order, until none is left or a pause begins.
  void HandleWaiting();
  // Handles one chunk; returns where a pause stopped it (the rest waits), or its size.
  size_t HandleChunk(const std::string& chunk);
  // One typed byte: line editing, echo, and a complete line handed on.
  After Type(char c);
  void Echo(char c);
  // False when the line was wrong and its answer waits for the pause.
  bool CheckPassword();
  // The pause after a wrong line is over: the answer, then the lock-out or the waiting input.
  void AnswerWrongLine();
  void ParseCommandLine();
  void ParsePasswordLine();

  const TConfigFile& config_;
  const ConsoleActions& console_;
  CommandTable& commands_;
  LoginGuard& guard_;
  TelnetLoginFilter telnet_;
  Timer pause_;
  std::deque<Chunk> waiting_;        // received chunks not handled yet
  bool holding_ = false;             // reading stopped while too many chunks wait
  uint64_t session_ = 0;             // counts the sessions begun
  uint64_t answerTo_ = 0;            // the session whose wrong line the pause answers
  bool lockOutPending_ = false;      // the paused line is the one that locks out
};

}  // namespace kov
