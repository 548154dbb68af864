#include "terminal/Terminal.h"

#include <exception>

#include "Version.h"
#include "config/ConfigFile.h"
#include "config/StringHandle.h"
#include "event/Log.h"

namespace kov {

namespace {

constexpr const char* kBusyText =
    "\n\r\n\r           No more than one Configuration Terminal Console allowed !";
constexpr const char* kInactivityText = "\n\r\n\rConnection closed due to inactivity !";
constexpr const char* kTerminatedText = "\n\r\n\rProgram KOV Bridge terminated !";

constexpr int32_t kDefaultPort = 8800;

bool UsablePort(int32_t port) { return port >= 1 && port <= 65535; }

}  // namespace

TBridgeTerminal::TBridgeTerminal(EventLoop& loop, TConfigFile& config)
    : Server(loop),
      IdleTimer(loop, kIdleMs, [this] { IdleTimeout(); }),
      RestartTimer(loop, kRestartMs, [this] { RestartTimeout(); }),
      loop_(loop),
      config_(config) {
  Server.SetPort(kDefaultPort);
  Server.OnGetSocket = [this](TServerWinSocket&, int32_t handle) { GetSocket(handle); };
  Server.OnClientConnect = [this](TServerWinSocket&, TCustomWinSocket& s) { ClientConnect(s); };
  Server.OnClientDisconnect = [this](TServerWinSocket&, TCustomWinSocket& s) {
    ClientDisconnect(s);
  };
  Server.OnClientRead = [this](TServerWinSocket&, TCustomWinSocket& s) { ClientRead(s); };
  Server.OnClientError = [this](TServerWinSocket&, TCustomWinSocket& s, TErrorEvent kind,
                                int32_t& code) { ClientError(s, kind, code); };
}

TBridgeTerminal::~TBridgeTerminal() {
  try {
    if (SessionActive == 1) SendToConsole(kTerminatedText);
    StopListening();
  } catch (const std::exception& e) {
    Log(std::string("Configuration console: ") + e.what());
  }
  RestartTimer.SetEnabled(false);
}

void TBridgeTerminal::Attach(TBridges* bridges, TBridgeClientChanel* link) {
  Bridges = bridges;
  ClientChanel = link;
}

// ---------------------------------------------------------------------------------------------
// Listener

void TBridgeTerminal::StartListening(int32_t port) {
  if (Server.Active()) StopListening();
  RestartTimer.SetEnabled(false);
  nextPort_ = UsablePort(port) ? port : -1;
  badPortText_ = std::to_string(port);
  RestartTimeout();
}

void TBridgeTerminal::StopListening() {
  EndSession();
  TServerWinSocket& list = Server.Socket();
  if (list.ConnectionCount() >= 1) list.ConnectionAt(0).CloseNamed(FirstClientHandle);
  Server.SetActive(false);
  IdleTimer.SetEnabled(false);
}

void TBridgeTerminal::ListenerRestart(int64_t delayMs) {
  Server.SetActive(false);
  ApplyServicePort();
  RestartTimer.SetEnabled(true);
  RestartTimer.SetInterval(delayMs);
}

void TBridgeTerminal::ApplyServicePort() {
  int32_t port = 0;
  const bool converts = StrToInt32(config_.ServicePort, port);
  nextPort_ = converts && UsablePort(port) ? port : -1;
  badPortText_ = config_.ServicePort;
  if (nextPort_ > 0) Server.SetPort(nextPort_);
}

// Listens on the port taken from the store. When that cannot be done the error is shown once
// and the listener goes back to the port it listened on before, so the console stays reachable;
// when there is none, or it fails too, it tries again every kRestartMs.
void TBridgeTerminal::RestartTimeout() {
  RestartTimer.SetEnabled(false);
  if (Server.Active()) return;
  std::string failure;
  if (nextPort_ > 0) {
    if (TryListen(nextPort_, failure)) return;
  } else {
    failure = "'" + badPortText_ + "' is not a valid port number";
  }
  const bool firstFailure = !listenFailing_;
  listenFailing_ = true;
  if (firstFailure) loop_.ReportError(failure);
  std::string fallbackFailure;
  if (lastListenPort_ > 0 && lastListenPort_ != nextPort_ &&
      TryListen(lastListenPort_, fallbackFailure)) {
    return;
  }
  if (firstFailure) {
    Log("Configuration console not listening: " + ErrorBoxText(failure) + " Trying again every " +
        std::to_string(kRestartMs) + " ms");
  }
  RestartTimer.SetInterval(kRestartMs);
  RestartTimer.SetEnabled(true);
}

bool TBridgeTerminal::TryListen(int32_t port, std::string& failure) {
  try {
    Server.SetPort(port);
    Server.SetActive(true);
  } catch (const std::exception& e) {
    failure = e.what();
    return false;
  }
  if (listenFailing_ || port != lastListenPort_) {
    Log("Configuration console listening on port " + std::to_string(port));
  }
  listenFailing_ = false;
  lastListenPort_ = port;
  return true;
}

// ---------------------------------------------------------------------------------------------
// Session

void TBridgeTerminal::SendToConsole(const std::string& text) {
  TServerWinSocket& list = Server.Socket();
  if (list.ConnectionCount() == 0) return;
  list.ConnectionAt(0).SendString(text);
}

void TBridgeTerminal::BeginSession() {
  SessionActive = 1;
  LoggedIn = 0;
  PasswordChangeMode = 0;
  FailedLogins = 0;
  LineBuffer.clear();
  SendToConsole(std::string("\xFF\xFE\x01", 3));
  uint16_t major, minor, release, build;
  GetProgramVersion(major, minor, release, build);
  SendToConsole("  KOV Bridge Version: Ver.: " + std::to_string(major) + "." +
                std::to_string(minor) + "\n\r\n\rPassword:");
}

void TBridgeTerminal::EndSession() {
  SessionActive = 0;
  LoggedIn = 0;
}

void TBridgeTerminal::GetProgramVersion(uint16_t& major, uint16_t& minor, uint16_t& release,
                                        uint16_t& build) {
  major = kVersionMajor;
  minor = kVersionMinor;
  release = kVersionRelease;
  build = kVersionBuild;
}

// ---------------------------------------------------------------------------------------------
// Server events

void TBridgeTerminal::GetSocket(int32_t handle) {
  if (Server.Socket().ConnectionCount() == 0) {
    FirstClientHandle = handle;
  } else {
    SecondClientHandle = handle;
  }
}

void TBridgeTerminal::ClientConnect(TCustomWinSocket& socket) {
  TServerWinSocket& list = Server.Socket();
  const int32_t count = list.ConnectionCount();
  const std::string address = socket.PeerAddress();
  if (!AddressAccepted(config_, address)) {
    Log("Configuration console refused from " + address + ": address not accepted");
    if (count >= 2) {
      socket.CloseNamed(SecondClientHandle);
    } else {
      list.ConnectionAt(0).CloseNamed(FirstClientHandle);
    }
    return;
  }
  if (count >= 2) {
    // A console is already there (connection 0); the newcomer is told so and closed.
    Log("Configuration console refused from " + address + ": a console is already connected");
    socket.SendString(kBusyText);
    socket.CloseNamed(SecondClientHandle);
    return;
  }
  Log("Configuration console connected from " + address);
  // An interactive console: every echo goes out at once, not held back for the peer's ACK.
  socket.SetNoDelay(true);
  BeginSession();
  RemoteAddress = address.substr(0, kMaxAddress);
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
  if (list.ConnectionCount() >= 1) list.ConnectionAt(0).CloseNamed(FirstClientHandle);
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

// ---------------------------------------------------------------------------------------------
// Timers

void TBridgeTerminal::IdleTimeout() {
  if (Server.Socket().ConnectionCount() == 1) {
    Log("Configuration console closed after " + std::to_string(kIdleMs) +
        " ms without input from " + RemoteAddress);
    SendToConsole(kInactivityText);
  }
  Server.SetActive(false);
  ApplyServicePort();
  EndSession();
  RestartTimer.SetEnabled(true);
  RestartTimer.SetInterval(kRestartMs);
  IdleTimer.SetEnabled(false);
}

}  // namespace kov
