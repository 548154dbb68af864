#include "bridge/BridgeClientChanel.h"

#include <stdexcept>

#include "bridge/Bridges.h"
#include "event/Log.h"

namespace kov {

namespace {

const char kConnectedReply[] = " OK. \n\rBridge:\\>";
const char kClosedByServerReply[] = " ERROR: Connection closed by remote server\n\rBridge:\\>";

std::string SocketErrorReply(int32_t code) {
  return " ERROR: Socket error " + std::to_string(code) + "\n\rBridge:\\>";
}

// Error kinds after which the connection cannot carry data any more: the socket layer either
// closes it right after the event (send, receive) or leaves it dead (a close with an error).
bool EndsConnection(TErrorEvent kind) {
  return kind == eeDisconnect || kind == eeSend || kind == eeReceive;
}

}  // namespace

TBridgeClientChanel::TBridgeClientChanel(EventLoop& loop, SerialLibrary& serial, TBridges& bridges,
                                         ConsoleSink console)
    : Socket(loop),
      bridges_(bridges),
      console_(std::move(console)),
      relay_(loop, serial, 0,
             SerialRelay::Hooks{[this]() -> TCustomWinSocket* { return &Socket.Socket(); }, nullptr,
                                nullptr, [this] { HandleDeviceLost(); }}) {
  Socket.SetPort(RemotePort);
  // Serial bytes are small and interactive: no waiting to fill a segment.
  Socket.Socket().SetNoDelay(true);
  Socket.OnConnect = [this](TClientSocket&, TCustomWinSocket&) { HandleConnect(); };
  Socket.OnError = [this](TClientSocket&, TCustomWinSocket&, TErrorEvent kind, int32_t& code) {
    HandleError(kind, code);
  };
  Socket.OnDisconnect = [this](TClientSocket&, TCustomWinSocket&) { HandleDisconnect(); };
  Socket.OnRead = [this](TClientSocket&, TCustomWinSocket& socket) { HandleRead(socket); };
  Socket.OnWrite = [this](TClientSocket&, TCustomWinSocket&) { HandleWrite(); };
}

TBridgeClientChanel::~TBridgeClientChanel() = default;

std::string TBridgeClientChanel::PortName() const { return SerialLibrary::PortName(PortIndex); }

// ---------------------------------------------------------------------------------------------
// Connecting and disconnecting

bool TBridgeClientChanel::Connect(int32_t portIndex, const std::string& host) {
  // A new attempt replaces one still under way: the old one's events are ignored from now on,
  // and its port, when it is another one, is released.
  attempting_ = false;
  PortIndex = portIndex;
  relay_.SetPort(portIndex);
  // The port's line as BridgePorts.conf says now, at the link's fixed rate and parity.
  SerialLibrary& serial = relay_.Serial();
  const bool valid = portIndex >= 0 && portIndex < kSioPortCount;
  if (valid) serial.Ports().Reread(portIndex);
  const PortLine line = valid ? serial.Ports().Line(portIndex) : PortLine{};
  if (!line.fault.empty()) {
    GiveUpPort();
    Log("Remote server link: " + PortName() + " cannot open, " + line.fault);
    throw std::runtime_error("Can't open Serial Port " + PortName());
  }
  const PortSetup setup{kQueueSize, kQueueSize, LineOfPort(line.options, kRate, kParity)};
  OpenFailure failure;
  if (relay_.Open(setup, &failure) < 0) {
    GiveUpPort();
    switch (failure.step) {
      case SioStep::Reset:
        throw std::runtime_error("Can't open Serial Port " + PortName());
      case SioStep::Parms:
        throw std::runtime_error("Can't apply Serial Port params for " + PortName());
      case SioStep::Baud:
        throw std::runtime_error("Can't apply Serial Port speed for " + PortName());
    }
  }
  // A server that vanished without a close is found by the keepalive as a bridged client is.
  Socket.Socket().SetKeepAlive(line.options.keepaliveSeconds);

  Log("Remote server link: " + PortName() + " connecting to " + host + ":" +
      std::to_string(RemotePort));
  host_ = host;
  attempting_ = true;
  try {
    Socket.SetHost(host);
    Socket.SetPort(RemotePort);
    Socket.SetActive(true);  // the lookup and the connection go on without waiting
  } catch (const std::exception& e) {
    attempting_ = false;
    if (!Socket.Active()) Socket.SetHost("");
    GiveUpPort();
    Log(std::string("Remote server link: cannot connect to ") + host + ": " + e.what());
    throw std::runtime_error("Error opening TCP/IP Connection to " + host);
  }
  Connected = Socket.Active() ? 1 : 0;
  if (Connected == 1) relay_.Start();
  return Connected == 1;
}

void TBridgeClientChanel::GiveUpPort() {
  if (Connected != 1) relay_.Release();
}

void TBridgeClientChanel::Disconnect() {
  const bool wasUp = Connected == 1;
  relay_.Stop();
  attempting_ = false;
  {
    // Closing the connection here runs the disconnect event, which must not take this for the
    // server's doing.
    struct Guard {
      bool& flag;
      ~Guard() { flag = false; }
    } guard{disconnecting_};
    disconnecting_ = true;
    Socket.SetActive(false);
  }
  // Only a port the link holds is closed: an idle link leaves the local channels' ports alone.
  relay_.Release();
  Connected = 0;
  if (wasUp) Log("Remote server link: " + PortName() + " disconnected");
}

void TBridgeClientChanel::GoIdle() {
  Disconnect();
  bridges_.StartAll();
}

// ---------------------------------------------------------------------------------------------
// Socket events

void TBridgeClientChanel::HandleConnect() {
  if (!attempting_) {
    // An attempt that Disconnect gave up on has completed after all: nobody wants it.
    Log("Remote server link: late connection to " + host_ + " dropped");
    disconnecting_ = true;
    Socket.SetActive(false);
    disconnecting_ = false;
    return;
  }
  attempting_ = false;
  Connected = Socket.Active() ? 1 : 0;
  if (Connected != 1) return;
  Log("Remote server link: " + PortName() + " connected to " + Socket.Socket().PeerAddress() + ":" +
      std::to_string(RemotePort));
  if (console_) console_(kConnectedReply);
  // Bytes that arrived while connecting go out now.
  relay_.Start();
}

void TBridgeClientChanel::HandleError(TErrorEvent kind, int32_t& code) {
  const int32_t errorCode = code;
  code = 0;  // reported here, never raised by the socket layer
  if (!attempting_ && Connected != 1) {
    // The failure of an attempt that Disconnect gave up on.
    Log("Remote server link: abandoned attempt ended with socket error " +
        std::to_string(errorCode));
    return;
  }
  attempting_ = false;
  Connected = Socket.Active() ? 1 : 0;
  Log("Remote server link: " + PortName() + " socket error " + std::to_string(errorCode));
  if (Connected == 1 && !EndsConnection(kind)) {
    relay_.Start();
  } else {
    GoIdle();
  }
  if (console_) console_(SocketErrorReply(errorCode));
}

void TBridgeClientChanel::HandleDisconnect() {
  if (disconnecting_ || Connected != 1) return;
  // The server closed the link without an error: the link is gone, so it goes idle as after an
  // error instead of reading the serial port into a closed connection.
  Log("Remote server link: " + PortName() + " closed by the remote server");
  GoIdle();
  if (console_) console_(kClosedByServerReply);
}

void TBridgeClientChanel::HandleRead(TCustomWinSocket& socket) { relay_.PeerReadable(socket); }

void TBridgeClientChanel::HandleWrite() {
  // The output queue has drained: a poll that held back may go on.
  relay_.PeerDrained();
}

// ---------------------------------------------------------------------------------------------
// Serial side

void TBridgeClientChanel::HandleDeviceLost() {
  if (!attempting_ && Connected != 1) {
    relay_.Release();
    return;
  }
  // The server has had what the device sent; the link ends as when the server closes it, and the
  // port heals as a local channel's does.
  Log("Remote server link: " + PortName() + " ended, its serial device went away");
  GoIdle();
  if (console_) console_(" ERROR: Serial Port " + PortName() + " device lost\n\rBridge:\\>");
}

}  // namespace kov
