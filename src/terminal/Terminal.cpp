// The configuration terminal: the listener's connection events, one console at a time, the idle
// timeout, and the goodbye when the program ends.
#include "terminal/Terminal.h"

#include <exception>

#include "config/ConfigFile.h"
#include "config/StringHandle.h"
#include "event/Log.h"

namespace kov {

namespace {

constexpr const char* kBusyText =
    "\n\r\n\r           No more than one Configuration Terminal Console allowed !";
constexpr const char* kInactivityText = "\n\r\n\rConnection closed due to inactivity !";
constexpr const char* kTerminatedText = "\n\r\n\rProgram KOV Bridge terminated !";

}  // namespace

TBridgeTerminal::TBridgeTerminal(EventLoop& loop, TConfigFile& config)
    : config_(config),
      actions_{[this](const std::string& text) { SendToConsole(text); },
               [this](bool hold) { HoldInput(hold); },
               [this](int64_t delayMs) { CloseConsole(delayMs); }},
      listener_(loop, config),
      commands_(config, actions_),
      session_(loop, config, actions_, commands_, guard_),
      IdleTimer(loop, kIdleMs, [this] { IdleTimeout(); }) {
  Server.OnGetSocket = [this](TServerWinSocket&, int32_t handle) { GetSocket(handle); };
  Server.OnClientConnect = [this](TServerWinSocket&, TCustomWinSocket& s) { ClientConnect(s); };
  Server.OnClientDisconnect = [this](TServerWinSocket&, TCustomWinSocket& s) {
    ClientDisconnect(s);
  };
  Server.OnClientRead = [this](TServerWinSocket&, TCustomWinSocket& s) { ClientRead(s); };
  Server.OnClientError = [this](TServerWinSocket&, TCustomWinSocket& s, TErrorEvent kind,
                                int32_t& code) { ClientError(s, kind, code); };
}

TBridgeTerminal::~TBridgeTerminal() { Stop(); }

void TBridgeTerminal::Stop() {
  try {
    if (SessionActive == 1) SendToConsole(kTerminatedText);
    StopListening();
  } catch (const std::exception& e) {
    Log(LogLevel::Error, std::string("Configuration console: ") + e.what());
  }
  RestartTimer.SetEnabled(false);
}

void TBridgeTerminal::Attach(TBridges* bridges, TBridgeClientChanel* link) {
  commands_.Attach(bridges, link);
}

void TBridgeTerminal::StartListening(const std::string& servicePort) {
  if (Server.Active()) StopListening();
  listener_.Start(servicePort);
}

void TBridgeTerminal::StartListening(int32_t port) {
  if (Server.Active()) StopListening();
  listener_.Start(port);
}

void TBridgeTerminal::StopListening() {
  EndSession();
  TServerWinSocket& list = Server.Socket();
  if (list.ConnectionCount() >= 1) list.ConnectionAt(0).CloseNamed(firstClientHandle_);
  Server.SetActive(false);
  IdleTimer.SetEnabled(false);
}

void TBridgeTerminal::SendToConsole(const std::string& text) {
  TServerWinSocket& list = Server.Socket();
  if (list.ConnectionCount() == 0) return;
  list.ConnectionAt(0).SendString(text);
}

void TBridgeTerminal::BeginSession() { session_.Begin(); }

void TBridgeTerminal::EndSession() { session_.End(); }

void TBridgeTerminal::ProcessInput(const std::string& chunk) { session_.Input(chunk); }

void TBridgeTerminal::ExecuteCommand(int32_t number, const std::string& P1,
                                     const std::string& P2, const std::string& /*P3*/,
                                     const std::string& /*P4*/) {
  session_.ExecuteCommand(number, P1, P2);
}

void TBridgeTerminal::CloseConsole(int64_t delayMs) {
  EndSession();
  listener_.Restart(delayMs);
}

void TBridgeTerminal::HoldInput(bool hold) {
  TServerWinSocket& list = Server.Socket();
  if (list.ConnectionCount() >= 1) list.ConnectionAt(0).SetReadPaused(hold);
}

// ---------------------------------------------------------------------------------------------
// Server events

void TBridgeTerminal::GetSocket(int32_t handle) {
  if (Server.Socket().ConnectionCount() == 0) {
    firstClientHandle_ = handle;
  } else {
    secondClientHandle_ = handle;
  }
}

void TBridgeTerminal::ClientConnect(TCustomWinSocket& socket) {
  TServerWinSocket& list = Server.Socket();
  const int32_t count = list.ConnectionCount();
  const std::string address = socket.PeerAddress();
  if (!AddressAccepted(config_, address)) {
    Log("Configuration console refused from " + address + ": address not accepted");
    if (count >= 2) {
      socket.CloseNamed(secondClientHandle_);
    } else {
      list.ConnectionAt(0).CloseNamed(firstClientHandle_);
    }
    return;
  }
  if (count >= 2) {
    // A console is already there (connection 0); the newcomer is told so and closed.
    Log("Configuration console refused from " + address + ": a console is already connected");
    socket.SendString(kBusyText);
    socket.CloseNamed(secondClientHandle_);
    return;
  }
  Log("Configuration console connected from " + address);
  // An interactive console: every echo goes out at once, not held back for the peer's ACK.
  socket.SetNoDelay(true);
  BeginSession();
  session_.RemoteAddress = address.substr(0, kMaxAddress);
  IdleTimer.SetEnabled(true);
}

void TBridgeTerminal::ClientDisconnect(TCustomWinSocket& socket) {
  TServerWinSocket& list = Server.Socket();
  // Only the console's own leaving ends the session; a refused newcomer leaves it alone.
  if (list.ConnectionCount() == 0 || &list.ConnectionAt(0) != &socket) return;
  if (SessionActive == 1) Log("Configuration console closed from " + RemoteAddress);
  EndSession();
  IdleTimer.SetEnabled(false);
}

void TBridgeTerminal::ClientError(TCustomWinSocket& socket, TErrorEvent errorEvent,
                                  int32_t& errorCode) {
  errorCode = 0;
  if (errorEvent != eeDisconnect) return;
  TServerWinSocket& list = Server.Socket();
  if (list.ConnectionCount() >= 1 && &list.ConnectionAt(0) != &socket) {
    socket.CloseNamed(socket.NativeHandle());  // not the console: the session goes on
    return;
  }
  if (SessionActive == 1) Log("Configuration console lost from " + RemoteAddress);
  EndSession();
  IdleTimer.SetEnabled(false);
  if (list.ConnectionCount() >= 1) list.ConnectionAt(0).CloseNamed(firstClientHandle_);
}

void TBridgeTerminal::ClientRead(TCustomWinSocket& socket) {
  TServerWinSocket& list = Server.Socket();
  const bool console = list.ConnectionCount() >= 1 && &list.ConnectionAt(0) == &socket;
  std::string chunk = socket.ReadPending();
  // The chunk may end the session and drop the connection: socket is not used after this.
  if (console && SessionActive == 1) ProcessInput(chunk);
  IdleTimer.SetEnabled(false);
  IdleTimer.SetEnabled(true);
}

// The steps run whether or not a console is connected; only the message needs one.
void TBridgeTerminal::IdleTimeout() {
  if (Server.Socket().ConnectionCount() == 1) {
    Log("Configuration console closed after " + std::to_string(kIdleMs) +
        " ms without input from " + RemoteAddress);
    SendToConsole(kInactivityText);
  }
  CloseConsole(kRestartMs);
  IdleTimer.SetEnabled(false);
}

}  // namespace kov
