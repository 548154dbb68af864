// A local bridge channel: construction, opening and closing, a device that goes away, and what
// others read of it.
#include "bridge/BridgeChanel.h"

#include <exception>
#include <utility>

#include "bridge/SerialLibrary.h"
#include "config/StringHandle.h"
#include "event/Log.h"

namespace kov {

namespace {

constexpr int32_t kFirstTcpPort = 8801;

}  // namespace

TBridgeChanel::TBridgeChanel(EventLoop& loop, SerialLibrary& serial, TConfigFile& config,
                             int32_t portIndex)
    : PortIndex(portIndex),
      Server(loop),
      IdleTimer(loop, kIdleMs),
      TrafficTimer(loop, kTrafficMs),
      loop_(loop),
      config_(config),
      serial_(serial),
      relay_(loop, serial, portIndex,
             SerialRelay::Hooks{
                 [this] { return FirstConnection(); }, [this](int32_t count) { CountRx += count; },
                 [this](int32_t count) { CountTx += count; }, [this] { OnDeviceLost(); }}),
      wait_(loop, relay_, nullptr) {
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
  IdleTimer.SetOnTimer([this] { IdleTimerTimer(); });
  TrafficTimer.SetOnTimer([this] { TrafficTimerTimer(); });
  TrafficTimer.SetEnabled(true);
}

TBridgeChanel::~TBridgeChanel() { Close(); }

std::string TBridgeChanel::Name() const { return SerialLibrary::PortName(PortIndex); }

int32_t TBridgeChanel::Open(int32_t speedIndex, int32_t parityIndex, int32_t tcpPort,
                            DeviceAbsent absent) {
  wait_.End();
  auto refuse = [&](const std::string& why, int32_t rc) {
    Log(Name() + ": bridge cannot open, " + why);
    return rc;
  };
  // The console's codes, as the library's SioBaud and SioParms check them.
  if (speedIndex < 0 || speedIndex >= kSioBaudCodes) {
    return refuse("SioBaud gave " + std::to_string(kSioBadBaud), kSioBadBaud);
  }
  if (parityIndex < 0 || parityIndex > 2) {
    return refuse("SioParms gave " + std::to_string(kSioOutOfRange), kSioOutOfRange);
  }
  serial_.Ports().Reread(PortIndex);
  const PortLine& line = serial_.Ports().Line(PortIndex);
  // A line that asks for something unknown would open with settings nobody asked for.
  if (!line.fault.empty()) return refuse(line.fault, kSioCannotOpen);
  const PortSetup setup{kQueueSize, kQueueSize,
                        LineOfPort(line.options, static_cast<uint32_t>(BaudRateOfCode(speedIndex)),
                                   ParityOfCode(parityIndex))};
  const bool waitForAbsent = absent == DeviceAbsent::Wait;
  OpenFailure failure;
  int32_t rc =
      relay_.Open(setup, &failure, waitForAbsent ? OpenLog::QuietIfMissing : OpenLog::Normal);
  // A device that went away and has not come back is waited for, as it is when it goes away
  // while the channel runs; one that was never there is an error at once, unless the start-up
  // waits for it.
  const bool away = rc == kSioCannotOpen && failure.step == SioStep::Reset && relay_.Holds() &&
                    (serial_.DeviceAway(PortIndex) || (waitForAbsent && failure.missing));
  if (rc < 0 && !away) {
    if (!relay_.Holds()) return refuse("the port is held by the remote server link", rc);
    if (failure.step == SioStep::Reset) relay_.Release();
    return refuse(std::string(StepName(failure.step)) + " gave " + std::to_string(rc), rc);
  }
  if (away) rc = 0;
  setup_ = setup;
  options_ = line.options;
  Opened = 1;

  CloseFirstClient("the bridge opened again");
  Server.SetActive(false);
  try {
    Server.SetPort(tcpPort);
    Server.SetActive(true);
  } catch (const std::exception& ex) {
    // A channel that cannot listen is no channel: the serial port is given back, so that the
    // caller sees a port that cannot be opened and nothing is left half open.
    const std::string text = ex.what();
    relay_.Release();
    Opened = 0;
    Connected = 0;
    relay_.Stop();
    IdleTimer.SetEnabled(false);
    Log(Name() + ": bridge cannot listen on TCP port " + std::to_string(tcpPort) + ": " + text);
    loop_.ReportError(text);
    return kSioCannotOpen;
  }
  const std::string settings = SpeedText(speedIndex) + " " + ParityText(parityIndex);
  const std::string listening = "), listening on TCP port " + std::to_string(tcpPort);
  if (away) {
    wait_.Begin(setup);
    const std::string path = serial_.PortPath(PortIndex);
    Log(Name() + ": device " + path +
        (serial_.DeviceAway(PortIndex) ? " is away" : " is not there (" + failure.why + ")") +
        ", bridge waits for it (" + settings + listening);
  } else {
    Log(Name() + ": bridge open (" + settings + listening);
  }
  return rc;
}

int32_t TBridgeChanel::Close() {
  const bool wasOpen = Opened == 1;
  int32_t rc = 0;
  if (relay_.Holds()) {
    // The bridged client gets what the port has received before the port closes.
    if (bridged_) relay_.Flush();
    // A port that waits for its device is closed already.
    if (relay_.PortOpen()) rc = relay_.ClosePort();
  } else if (!serial_.Leased(PortIndex)) {
    // Not opened by this channel: the library gives its answer (the port is not open). A port
    // leased to the remote link is the link's to close, not the channel's.
    rc = serial_.SioDone(PortIndex);
  }
  if (rc < 0) {
    if (wasOpen) Log(Name() + ": bridge cannot close, SioDone gave " + std::to_string(rc));
    return rc;
  }
  relay_.Release();
  wait_.End();
  Opened = 0;
  Connected = 0;
  relay_.Stop();
  lettingGo_ = false;
  CloseFirstClient("the bridge closed");
  Server.SetActive(false);
  IdleTimer.SetEnabled(false);
  if (wasOpen) Log(Name() + ": bridge closed");
  return rc;
}

void TBridgeChanel::OnDeviceLost() {
  relay_.Stop();
  relay_.ClosePort();
  // A port left open by a failed Open is only closed: the channel is not running.
  if (Opened != 1) return;
  wait_.Begin(setup_);
  // The relay has handed the client what the device sent.
  if (bridged_) LetGo("its device went away");
}

ChannelState TBridgeChanel::State() const {
  return ChannelState{Opened, Connected, RemoteAddress, SpeedTx, SpeedRx};
}

TCustomWinSocket* TBridgeChanel::FirstConnection() {
  TServerWinSocket& server = Server.Socket();
  return server.ConnectionCount() >= 1 ? &server.ConnectionAt(0) : nullptr;
}

void TBridgeChanel::CloseFirstClient(const std::string& reason) {
  TCustomWinSocket* first = FirstConnection();
  if (!first) return;
  lettingGo_ = false;
  letGoReason_ = reason;
  first->CloseNamed(FirstClientHandle);
}

void TBridgeChanel::LetGo(const std::string& reason) {
  TCustomWinSocket* client = FirstConnection();
  if (!client) return;
  relay_.Flush();
  relay_.Stop();
  client = FirstConnection();  // a failed send may have closed it
  if (!client) return;
  // What is still queued for the client is not cut off by the close: it goes first.
  if (client->OutputQueued() > 0) {
    lettingGo_ = true;
    letGoReason_ = reason;
    // A client that does not read is not waited for without end.
    IdleTimer.SetEnabled(false);
    IdleTimer.SetInterval(kLetGoMs);
    IdleTimer.SetEnabled(true);
  } else {
    CloseFirstClient(reason);
  }
}

}  // namespace kov
