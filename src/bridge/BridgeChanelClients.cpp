// A local bridge channel's clients: taking one on, turning others away, letting go, their bytes
// handed to the relay, and the idle and traffic timers.
#include <string>

#include "bridge/BridgeChanel.h"
#include "bridge/SerialLease.h"
#include "config/StringHandle.h"
#include "event/Log.h"

namespace kov {

void TBridgeChanel::Notice(TCustomWinSocket& socket, const char* notice) {
  if (options_.NoticesSent() && notice != nullptr) socket.SendBuf(notice, kNoticeSize);
}

void TBridgeChanel::StartRfc2217() {
  rfc2217_ = std::make_unique<Rfc2217Connection>(loop_, relay_, "KOV Bridge " + Name(),
                                                 [this] { return FirstConnection(); });
  relay_.SetFilter(rfc2217_.get());
  rfc2217_->Start();
}

void TBridgeChanel::EndRfc2217() {
  if (!rfc2217_) return;
  relay_.SetFilter(nullptr);
  rfc2217_->Stop();
  // What the client set goes: the port takes its own line again (a port that is not open, its
  // device gone, gets it at its next open anyway).
  SerialLease* lease = relay_.Lease();
  if (!lease || !lease->IsOpen()) return;
  if (lease->Signal(ModemSignal::Break)) lease->SetSignal(ModemSignal::Break, false);
  if (lease->Line() != setup_.line && lease->SetLine(setup_.line) < 0) {
    Log(Name() + ": the line could not be set back to " + DescribeLine(setup_.line));
  }
}

void TBridgeChanel::Refuse(TCustomWinSocket& socket, int32_t handle, const char* notice) {
  Notice(socket, notice);
  // Bytes it sent and nobody read would turn the close into a reset, which may cut off what is
  // still on its way to it.
  socket.ReadPending();
  socket.CloseNamed(handle);
}

void TBridgeChanel::RefuseNewcomer(TCustomWinSocket& socket, bool second,
                                   const char* secondNotice) {
  if (second) {
    Refuse(socket, SecondClientHandle, secondNotice);
  } else {
    letGoReason_.clear();
    Refuse(socket, FirstClientHandle, nullptr);  // the disconnect handler sends it B02
  }
}

void TBridgeChanel::OnGetSocket(TServerWinSocket& sender, int32_t socketHandle) {
  if (sender.ConnectionCount() == 0) {
    FirstClientHandle = socketHandle;
  } else {
    SecondClientHandle = socketHandle;
  }
}

void TBridgeChanel::OnClientConnect(TServerWinSocket& sender, TCustomWinSocket& socket) {
  // Every newcomer arms the idle countdown; one that already runs is left as it is, so a
  // bridged client's countdown goes on unchanged. A port without an idle time never drops one.
  if (IdleMs() > 0 && !lettingGo_) {
    IdleTimer.SetInterval(IdleMs());
    IdleTimer.SetEnabled(true);
  }
  const std::string address = socket.PeerAddress();
  // The newcomer is the last connection. With another one listed (even one that was closed and
  // awaits removal) it is a second client, and connection 0 is not touched.
  const bool second = sender.ConnectionCount() >= 2;
  if (AddressAccepted(config_, address)) {
    if (wait_.Waiting()) {
      // No device to bridge to: a clean refusal the client's own retries can act on.
      Log(Name() + ": client " + address + " refused, the device is away");
      RefuseNewcomer(socket, second, kNoticeB02);
      return;
    }
    if (second) {
      Log(Name() + ": client " + address + " refused, the port is in use" +
          (options_.protocol == PortProtocol::Rfc2217
               ? " (rfc2217 port: closed without a notice, which would corrupt its data)"
               : ""));
      Refuse(socket, SecondClientHandle, kNoticeB03);
      return;
    }
    Connected = 1;
    bridged_ = true;
    letGoReason_.clear();
    RemoteAddress = address.substr(0, kAddressMax);
    socket.SetNoDelay(true);
    socket.SetKeepAlive(options_.keepaliveSeconds);
    Log(Name() + ": client " + address + " bridged");
    Notice(socket, kNoticeB01);
    if (options_.protocol == PortProtocol::Rfc2217) {
      StartRfc2217();
      // The offer may have failed to go out, and the connection with it.
      if (!socket.IsOpen()) return;
    }
    relay_.Start();
    return;
  }
  Log(Name() + ": client " + address + " refused, address not accepted");
  RefuseNewcomer(socket, second, nullptr);
}

void TBridgeChanel::OnClientDisconnect(TServerWinSocket& sender, TCustomWinSocket& socket) {
  // Only connection 0 matters: a second client leaving leaves the bridged one untouched.
  if (sender.ConnectionCount() < 1 || &sender.ConnectionAt(0) != &socket) return;
  Notice(socket, kNoticeB02);
  socket.ReadPending();
  Connected = 0;
  lettingGo_ = false;
  relay_.Stop();
  IdleTimer.SetEnabled(false);
  EndRfc2217();
  if (bridged_) {
    bridged_ = false;
    Log(Name() + ": client " + RemoteAddress + " let go (" +
        (letGoReason_.empty() ? std::string("it closed the connection") : letGoReason_) + ")");
  }
  letGoReason_.clear();
}

void TBridgeChanel::OnClientError(TServerWinSocket& sender, TCustomWinSocket& socket,
                                  TErrorEvent errorEvent, int32_t& errorCode) {
  if (errorEvent == eeDisconnect) {
    // The socket layer leaves a connection that ended in error to us (a peer that vanished and
    // did not answer the keepalive probes among them).
    if (sender.ConnectionCount() >= 1 && &sender.ConnectionAt(0) == &socket) {
      CloseFirstClient("connection failed, socket error " + std::to_string(errorCode));
      IdleTimer.SetEnabled(false);
    }
    if (socket.IsOpen()) socket.CloseNamed(socket.NativeHandle());
  } else if (sender.ConnectionCount() >= 1 && &sender.ConnectionAt(0) == &socket) {
    // The socket layer closes the connection after a failed send or receive.
    letGoReason_ = "socket error " + std::to_string(errorCode);
  }
  // Errors on a channel's connections are not reported.
  errorCode = 0;
}

void TBridgeChanel::OnClientRead(TServerWinSocket&, TCustomWinSocket& socket) {
  if (IdleMs() > 0 && !lettingGo_) {
    IdleTimer.SetEnabled(false);
    IdleTimer.SetInterval(IdleMs());
    IdleTimer.SetEnabled(true);
  }
  relay_.PeerReadable(socket);
}

void TBridgeChanel::OnClientWrite(TServerWinSocket&, TCustomWinSocket& socket) {
  // A connection's queue has drained: the bytes held back for a slow client may go now, or a
  // client that waited for its last bytes is let go.
  if (lettingGo_ && &socket == FirstConnection()) {
    CloseFirstClient(letGoReason_);
    return;
  }
  relay_.PeerDrained();
}

void TBridgeChanel::IdleTimerTimer() {
  IdleTimer.SetEnabled(false);
  if (lettingGo_) {
    // Its last bytes were not taken in time: it goes without them.
    CloseFirstClient(letGoReason_ + ", its last bytes not taken");
    return;
  }
  if (FirstConnection() == nullptr) return;
  if (!bridged_) {
    CloseFirstClient("");
    return;
  }
  LetGo("silent for " + std::to_string(IdleMs()) + " ms");
}

void TBridgeChanel::TrafficTimerTimer() {
  SpeedTx = CountTx;
  SpeedRx = CountRx;
  CountTx = 0;
  CountRx = 0;
}

}  // namespace kov
