#pragma once
// The configuration console: a password-protected text console served to one Telnet-style client
// at a time on the configuration port. It greets the user, checks the password, echoes what is
// typed, assembles lines and runs the commands on the configuration store, the channel set and
// the remote link. Inactivity and wrong passwords close the console and reopen the listener
// after a delay.
//
//   TBridgeTerminal terminal(loop, config);     // created first at start-up
//   terminal.StartListening(8800);
//   terminal.Attach(&bridges, &clientChanel);   // once the channels and the link exist
//
// Everything runs on the loop thread; no call waits.
#include <cstdint>
#include <string>

#include "event/EventLoop.h"
#include "net/ServerSocket.h"

namespace kov {

class TConfigFile;
class TBridges;
class TBridgeClientChanel;

class TBridgeTerminal {
 public:
  static constexpr int64_t kIdleMs = 180000;     // console dropped after this long without input
  static constexpr int64_t kRestartMs = 5000;    // listener closed after Exit or inactivity
  static constexpr int64_t kLockOutMs = 180000;  // listener closed after four wrong passwords
  static constexpr int32_t kMaxFailedLogins = 4;
  static constexpr size_t kMaxChunk = 200;  // bytes taken from one received chunk
  static constexpr size_t kMaxLine = 199;   // longest line, CR LF included
  static constexpr size_t kMaxAddress = 20;

  // The configuration store must outlive every command; the destructor does not touch it.
  TBridgeTerminal(EventLoop& loop, TConfigFile& config);
  // Says goodbye to a greeted console, then stops listening.
  ~TBridgeTerminal();
  TBridgeTerminal(const TBridgeTerminal&) = delete;
  TBridgeTerminal& operator=(const TBridgeTerminal&) = delete;

  // The channel set and the remote link, created after the terminal at start-up.
  void Attach(TBridges* bridges, TBridgeClientChanel* link);

  // Listens on port. When that fails the error is shown and the listener tries again every
  // kRestartMs.
  void StartListening(int32_t port);
  void StopListening();

  // Sends the text to the console; dropped when no console is connected.
  void SendToConsole(const std::string& text);

  void BeginSession();
  void EndSession();
  static void GetProgramVersion(uint16_t& major, uint16_t& minor, uint16_t& release,
                                uint16_t& build);

  // Handles one received chunk: echo, line editing, login, command lines.
  void ProcessInput(const std::string& chunk);
  // Sends the message of a result code and the prompt.
  void ReportError(int32_t code);
  // Runs one recognised command with its parameters.
  void ExecuteCommand(int32_t number, const std::string& P1, const std::string& P2,
                      const std::string& P3, const std::string& P4);

  uint8_t LoggedIn = 0;
  uint8_t PasswordChangeMode = 0;
  std::string LineBuffer;
  int32_t FailedLogins = 0;
  TServerSocket Server;
  int32_t FirstClientHandle = -1;
  int32_t SecondClientHandle = -1;
  Timer IdleTimer;
  Timer RestartTimer;
  uint8_t SessionActive = 0;
  std::string RemoteAddress;

  TBridges* Bridges = nullptr;
  TBridgeClientChanel* ClientChanel = nullptr;

 private:
  // Server events.
  void GetSocket(int32_t handle);
  void ClientConnect(TCustomWinSocket& socket);
  void ClientDisconnect(TCustomWinSocket& socket);
  void ClientError(TCustomWinSocket& socket, TErrorEvent errorEvent, int32_t& errorCode);
  void ClientRead(TCustomWinSocket& socket);
  // Timer events.
  void IdleTimeout();
  void RestartTimeout();

  // Closes the listener (dropping the console) and reopens it after delayMs on the stored port.
  void ListenerRestart(int64_t delayMs);
  // Takes the port to listen on next from the stored service port text.
  void ApplyServicePort();
  // Listens on port; false with the error's text when that cannot be done.
  bool TryListen(int32_t port, std::string& failure);

  // Input handling (InputHandling.cpp).
  void CheckPassword();
  void ParseCommandLine();
  void ParsePasswordLine();
  void Echo(char c);

  // Commands (Commands.cpp, ChannelCommands.cpp, Listings).
  void RunCommand(int32_t number, const std::string& P1, const std::string& P2);
  void ChangePassword(const std::string& first, const std::string& second);
  void LoadConfig();
  void SaveConfig();
  void ConfigurationPort(const std::string& P1);
  void CommPort(const std::string& P1, const std::string& P2);
  void Baud(const std::string& P1, const std::string& P2);
  void Parity(const std::string& P1, const std::string& P2);
  void Start(const std::string& P1);
  void Stop(const std::string& P1);
  void Exit();
  void Accept(const std::string& P1, const std::string& P2);
  void ConnectServer(const std::string& P1, const std::string& P2);
  void DisconnectServer();
  void ShowConnection();
  void ShowTrafic();

  EventLoop& loop_;
  TConfigFile& config_;
  int32_t nextPort_ = -1;        // the port the next listen tries; -1: none that converts
  std::string badPortText_;      // the stored text when it did not give a port
  int32_t lastListenPort_ = -1;  // the port the listener last listened on
  bool listenFailing_ = false;   // listening failed and has not succeeded since
};

}  // namespace kov
