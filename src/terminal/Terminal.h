#pragma once
// The configuration console as the rest of the program sees it: a password-protected text
// console served to one Telnet-style client at a time on the configuration port. The terminal
// takes the listener's connection events (who is the console, who is refused, inactivity) and
// puts together the parts that do the work, each in a file of its own:
//
//   ConsoleListener   listening, restarts, the service port's default and fallbacks
//   ConsoleSession    greeting, echo, line editing, login, lines to the command table
//   TelnetLoginFilter Telnet negotiation until a password line is accepted
//   LoginGuard        wrong passwords counted across connections, the lock-out
//   CommandTable      command numbers to the commands of StoreCommands, ChannelCommands and
//                     LinkCommands
//
//   TBridgeTerminal terminal(loop, config);     // created first at start-up
//   terminal.StartListening(config.ServicePort);
//   terminal.Attach(&bridges, &clientChanel);   // once the channels and the link exist
//   terminal.Stop();                            // goodbye; destroyed before what it refers to
//
// Everything runs on the loop thread; no call waits.
#include <cstdint>
#include <string>

#include "event/EventLoop.h"
#include "net/ServerSocket.h"
#include "terminal/CommandTable.h"
#include "terminal/ConsoleActions.h"
#include "terminal/ConsoleListener.h"
#include "terminal/ConsoleSession.h"
#include "terminal/LoginGuard.h"

namespace kov {

class TConfigFile;
class TBridges;
class TBridgeClientChanel;

class TBridgeTerminal {
  // The parts, first so that they exist before the views on them below.
  TConfigFile& config_;
  ConsoleActions actions_;
  ConsoleListener listener_;
  CommandTable commands_;
  LoginGuard guard_;
  ConsoleSession session_;

 public:
  static constexpr int64_t kIdleMs = 180000;  // console dropped after this long without input
  static constexpr int64_t kRestartMs = ConsoleListener::kRestartMs;
  static constexpr int64_t kLockOutMs = LoginGuard::kLockOutMs;
  static constexpr int32_t kMaxFailedLogins = LoginGuard::kMaxFailedLogins;
  static constexpr int64_t kWrongPasswordPauseMs = ConsoleSession::kWrongPasswordPauseMs;
  static constexpr size_t kMaxChunk = ConsoleSession::kMaxChunk;
  static constexpr size_t kMaxLine = ConsoleSession::kMaxLine;
  static constexpr size_t kMaxAddress = ConsoleSession::kMaxAddress;

  // The configuration store, and what Attach gives, must outlive the terminal.
  TBridgeTerminal(EventLoop& loop, TConfigFile& config);
  // Stop().
  ~TBridgeTerminal();
  TBridgeTerminal(const TBridgeTerminal&) = delete;
  TBridgeTerminal& operator=(const TBridgeTerminal&) = delete;

  // The channel set and the remote link, created after the terminal at start-up.
  void Attach(TBridges* bridges, TBridgeClientChanel* link);

  // Listens on the port the service port text names (the rule for a bad one is the listener's).
  void StartListening(const std::string& servicePort);
  // Listens on port. When that fails the error is shown and the listener tries again every
  // kRestartMs.
  void StartListening(int32_t port);
  void StopListening();
  // The program ends: says goodbye to a greeted console, then stops listening for good (no
  // restart). An error on the way is logged. Idempotent.
  void Stop();

  // Sends the text to the console; dropped when no console is connected.
  void SendToConsole(const std::string& text);

  void BeginSession();
  void EndSession();
  // Handles one received chunk: echo, line editing, login, command lines.
  void ProcessInput(const std::string& chunk);
  // Runs one recognised command with its parameters.
  void ExecuteCommand(int32_t number, const std::string& P1, const std::string& P2,
                      const std::string& P3, const std::string& P4);

  // The listener's socket and restart timer, and the session's state, as the status window, the
  // tests and the fuzz target read them.
  TServerSocket& Server = listener_.Server;
  Timer& RestartTimer = listener_.RestartTimer;
  const uint8_t& SessionActive = session_.Active;
  const uint8_t& LoggedIn = session_.LoggedIn;
  const uint8_t& PasswordChangeMode = session_.PasswordChangeMode;
  const std::string& LineBuffer = session_.LineBuffer;
  const int32_t& FailedLogins = guard_.FailedLogins;  // wrong lines since the last reset
  const std::string& RemoteAddress = session_.RemoteAddress;

  Timer IdleTimer;

 private:
  // Server events.
  void GetSocket(int32_t handle);
  void ClientConnect(TCustomWinSocket& socket);
  void ClientDisconnect(TCustomWinSocket& socket);
  void ClientError(TCustomWinSocket& socket, TErrorEvent errorEvent, int32_t& errorCode);
  void ClientRead(TCustomWinSocket& socket);
  void IdleTimeout();

  // Ends the session and closes the listener, dropping the console, for delayMs.
  void CloseConsole(int64_t delayMs);
  // Stops or resumes reading the console's connection.
  void HoldInput(bool hold);

  int32_t firstClientHandle_ = -1;   // the latest connection accepted with none held
  int32_t secondClientHandle_ = -1;  // the latest connection accepted with one held
};

}  // namespace kov
