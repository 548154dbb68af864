// A local bridge channel: construction, opening and closing, and what others read of it.
#include "bridge/BridgeChanel.h"

#include <exception>
#include <utility>

#include "bridge/SerialLibrary.h"
#include "config/StringHandle.h"
#include "event/Log.h"

namespace kov {

namespace {

constexpr int32_t kFirstTcpPort = 8801;
constexpr int32_t kStopBitsOne = 0;
constexpr int32_t kDataBitsEight = 8;

}  // namespace

TBridgeChanel::TBridgeChanel(EventLoop& loop, SerialLibrary& serial, TConfigFile& config,
                             int32_t portIndex)
    : PortIndex(portIndex),
      Server(loop),
      PollTimer(loop, kPollMs),
      IdleTimer(loop, kIdleMs),
      TrafficTimer(loop, kTrafficMs),
      loop_(loop),
      serial_(serial),
      config_(config) {
  Server.SetPort(kFirstTcpPort + portIndex);
  Server.OnGetSocket = [this](TServerWinSocket& sender, int32_t handle) {
    OnGetSocket(sender, handle);
  };
  Server.OnClientConnect = [this](TServerWinSocket& sender, TCustomWinSocket& socket) {
    OnClientConnect(sender, socket);
  };
  Server.OnClientDisconnect = [this](TServerWinSocket& sender, TCustomWinSocket& socket) {
    OnClientDisconnect(sender, socket);
  };
  Server.OnClientRead = [this](TServerWinSocket& sender, TCustomWinSocket& socket) {
    OnClientRead(sender, socket);
  };
  Server.OnClientWrite = [this](TServerWinSocket& sender, TCustomWinSocket& socket) {
    OnClientWrite(sender, socket);
  };
  Server.OnClientError = [this](TServerWinSocket& sender, TCustomWinSocket& socket,
                                TErrorEvent errorEvent, int32_t& errorCode) {
    OnClientError(sender, socket, errorEvent, errorCode);
  };
  PollTimer.SetOnTimer([this] { PollTimerTimer(); });
  IdleTimer.SetOnTimer([this] { IdleTimerTimer(); });
  TrafficTimer.SetOnTimer([this] { TrafficTimerTimer(); });
  TrafficTimer.SetEnabled(true);
  InstallSerialEvents();
}

TBridgeChanel::~TBridgeChanel() { Close(); }

std::string TBridgeChanel::Name() const { return "COM" + std::to_string(PortIndex + 1); }

void TBridgeChanel::InstallSerialEvents() {
  std::weak_ptr<int> alive = alive_;
  SerialEvents events;
  events.OnRxData = [this, alive] {
    if (!alive.expired()) OnSerialRxData();
  };
  events.OnTxRoom = [this, alive] {
    if (!alive.expired()) OnSerialTxRoom();
  };
  serial_.SetEvents(PortIndex, std::move(events));
}

int32_t TBridgeChanel::Open(int32_t speedIndex, int32_t parityIndex, int32_t tcpPort) {
  // The remote link may have used the port in between: its events are replaced by ours.
  InstallSerialEvents();
  auto failed = [this](const char* step, int32_t code) {
    Log(Name() + ": bridge cannot open, " + step + " gave " + std::to_string(code));
    return code;
  };
  int32_t rc = serial_.SioReset(PortIndex, kQueueSize, kQueueSize);
  if (rc < 0) return failed("SioReset", rc);
  rc = serial_.SioParms(PortIndex, parityIndex, kStopBitsOne, kDataBitsEight);
  if (rc < 0) return failed("SioParms", rc);
  rc = serial_.SioBaud(PortIndex, speedIndex);
  if (rc < 0) return failed("SioBaud", rc);
  Opened = 1;

  CloseFirstClient();
  Server.SetActive(false);
  try {
    Server.SetPort(tcpPort);
    Server.SetActive(true);
  } catch (const std::exception& ex) {
    // A channel that cannot listen is no channel: the serial port is given back, so that the
    // caller sees a port that cannot be opened and nothing is left half open.
    const std::string text = ex.what();
    serial_.SioDone(PortIndex);
    Opened = 0;
    Connected = 0;
    PollTimer.SetEnabled(false);
    IdleTimer.SetEnabled(false);
    Log(Name() + ": bridge cannot listen on TCP port " + std::to_string(tcpPort) + ": " + text);
    loop_.ReportError(text);
    return kSioCannotOpen;
  }
  Log(Name() + ": bridge open (" + SpeedText(speedIndex) + " " + ParityText(parityIndex) +
      "), listening on TCP port " + std::to_string(tcpPort));
  return rc;
}

int32_t TBridgeChanel::Close() {
  const bool wasOpen = Opened == 1;
  const int32_t rc = serial_.SioDone(PortIndex);
  if (rc < 0) {
    if (wasOpen) Log(Name() + ": bridge cannot close, SioDone gave " + std::to_string(rc));
    return rc;
  }
  Opened = 0;
  Connected = 0;
  CloseFirstClient();
  Server.SetActive(false);
  IdleTimer.SetEnabled(false);
  PollTimer.SetEnabled(false);
  if (wasOpen) Log(Name() + ": bridge closed");
  return rc;
}

ChannelState TBridgeChanel::State() const {
  return ChannelState{Opened, Connected, RemoteAddress, SpeedTx, SpeedRx};
}

TCustomWinSocket* TBridgeChanel::FirstConnection() {
  TServerWinSocket& server = Server.Socket();
  return server.ConnectionCount() >= 1 ? &server.ConnectionAt(0) : nullptr;
}

void TBridgeChanel::CloseFirstClient() {
  if (TCustomWinSocket* first = FirstConnection()) first->CloseNamed(FirstClientHandle);
}

}  // namespace kov
