#include "bridge/BridgeClientChanel.h"

#include <algorithm>
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
      PollTimer(loop, kPollMs),
      loop_(loop),
      serial_(serial),
      bridges_(bridges),
      console_(std::move(console)) {
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
  PollTimer.SetOnTimer([this] { PollStep(); });
}

TBridgeClientChanel::~TBridgeClientChanel() = default;

std::string TBridgeClientChanel::PortName() const { return "COM" + std::to_string(PortIndex + 1); }

// ---------------------------------------------------------------------------------------------
// Connecting and disconnecting

bool TBridgeClientChanel::Connect(int32_t portIndex, const std::string& host) {
  if (attempting_) {
    // A new attempt replaces one still under way: the old one's events are ignored from now
    // on, and its port, when it is another one, is released.
    attempting_ = false;
    if (holdsPort_ && PortIndex != portIndex) serial_.SioDone(PortIndex);
  }
  PortIndex = portIndex;
  holdsPort_ = false;
  if (serial_.SioReset(portIndex, kQueueSize, kQueueSize) < 0) {
    throw std::runtime_error("Can't open Serial Port " + PortName());
  }
  holdsPort_ = true;
  InstallSerialEvents(portIndex);
  if (serial_.SioParms(portIndex, kParityIndex, kStopBits, kDataBits) < 0) {
    throw std::runtime_error("Can't apply Serial Port params for " + PortName());
  }
  if (serial_.SioBaud(portIndex, kSpeedIndex) < 0) {
    throw std::runtime_error("Can't apply Serial Port speed for " + PortName());
  }

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
    Log(std::string("Remote server link: cannot connect to ") + host + ": " + e.what());
    throw std::runtime_error("Error opening TCP/IP Connection to " + host);
  }
  Connected = Socket.Active() ? 1 : 0;
  if (Connected == 1) PollTimer.SetEnabled(true);
  return Connected == 1;
}

void TBridgeClientChanel::Disconnect() {
  const bool wasUp = Connected == 1;
  PollTimer.SetEnabled(false);
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
  // Only a port the link opened is closed: an idle link leaves the local channels' ports alone.
  if (holdsPort_) serial_.SioDone(PortIndex);
  holdsPort_ = false;
  Connected = 0;
  txCarry_.clear();
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
  PollTimer.SetEnabled(true);
  if (console_) console_(kConnectedReply);
  // Bytes that arrived while connecting go out now rather than at the first tick.
  RequestPoll();
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
    PollTimer.SetEnabled(true);
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

void TBridgeClientChanel::HandleRead(TCustomWinSocket& socket) {
  // Takes only what the serial transmit ring has room for. When it is full, one byte more is
  // offered so that the serial layer owes a room event; that byte waits in txCarry_ and the
  // socket keeps the rest, unread, until the room event. A short read means the connection
  // is empty for now.
  while (txCarry_.empty()) {
    const int32_t room = serial_.SioTxFree(PortIndex);
    if (room < 0) {
      // The port is not open: there is nowhere to put the bytes.
      std::string bytes = socket.ReadPending();
      serial_.SioPuts(PortIndex, bytes.data(), static_cast<int32_t>(bytes.size()));
      return;
    }
    const int32_t want = std::min(kQueueSize, std::max(room, 1));
    const int32_t got = socket.ReceiveBuf(txBlock_.data(), want);
    if (got <= 0) return;
    const int32_t taken = serial_.SioPuts(PortIndex, txBlock_.data(), got);
    if (taken < 0) return;  // the port went away in the meantime
    if (taken < got) {
      txCarry_.assign(txBlock_.data() + taken, static_cast<size_t>(got - taken));
      socket.SetReadPaused(true);
      return;
    }
    if (got < want) return;
  }
}

void TBridgeClientChanel::HandleWrite() {
  // The output queue has drained: a poll that held back may go on.
  RequestPoll();
}

// ---------------------------------------------------------------------------------------------
// Serial side

void TBridgeClientChanel::PollStep() {
  if (Connected != 1) return;
  TCustomWinSocket& socket = Socket.Socket();
  if (socket.OutputQueued() > kOutputHighWater) return;  // the write event resumes
  const int32_t waiting = serial_.SioRxQue(PortIndex);
  if (waiting <= 0) return;
  const int32_t got =
      serial_.SioGets(PortIndex, rxBlock_.data(), std::min(waiting, kQueueSize));
  if (got <= 0) return;
  socket.SendBuf(rxBlock_.data(), got);
}

void TBridgeClientChanel::RequestPoll() {
  if (Connected != 1 || pollPosted_) return;
  pollPosted_ = true;
  std::weak_ptr<int> alive = alive_;
  loop_.Post([this, alive] {
    if (alive.expired()) return;
    pollPosted_ = false;
    PollStep();
  });
}

void TBridgeClientChanel::HandleTxRoom() {
  if (txCarry_.empty()) return;
  const int32_t taken =
      serial_.SioPuts(PortIndex, txCarry_.data(), static_cast<int32_t>(txCarry_.size()));
  if (taken >= 0 && static_cast<size_t>(taken) < txCarry_.size()) {
    txCarry_.erase(0, static_cast<size_t>(taken));
    return;  // still short: the serial layer owes another room event
  }
  txCarry_.clear();
  Socket.Socket().SetReadPaused(false);
}

bool TBridgeClientChanel::UsesPort(int32_t port) const {
  return port == PortIndex && (attempting_ || Connected == 1);
}

void TBridgeClientChanel::InstallSerialEvents(int32_t port) {
  std::weak_ptr<int> alive = alive_;
  SerialEvents events;
  events.OnRxData = [this, alive, port] {
    if (!alive.expired() && UsesPort(port)) RequestPoll();
  };
  events.OnTxRoom = [this, alive, port] {
    if (!alive.expired() && UsesPort(port)) HandleTxRoom();
  };
  serial_.SetEvents(port, std::move(events));
}

}  // namespace kov
