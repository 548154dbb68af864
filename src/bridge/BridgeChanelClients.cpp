// A local bridge channel's clients: taking one on, turning others away, letting go, their bytes
// handed to the relay, and the idle and traffic timers.
#include <string>

#include "bridge/BridgeChanel.h"
#include "config/StringHandle.h"
#include "event/Log.h"

namespace kov {

void TBridgeChanel::Notice(TCustomWinSocket& socket, const char* notice) {
  if (options_.notices && notice != nullptr) socket.SendBuf(notice, kNoticeSize);
}

void TBridgeChanel::Refuse(TCustomWinSocket& socket, int32_t handle, const char* notice) {
  Notice(socket, notice);
  // Bytes it sent and nobody read would turn the close into a reset, which may cut off what is
  // still on its way to it.
  socket.ReadPending();
  socket.CloseNamed(handle);
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
      if (second) {
        Refuse(socket, SecondClientHandle, kNoticeB02);
      } else {
        letGoReason_.clear();
        Refuse(socket, FirstClientHandle, nullptr);  // the disconnect handler sends it B02
      }
      return;
    }
    if (second) {
      Log(Name() + ": client " + address + " refused, the port is in use");
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
    relay_.Start();
    return;
  }
  Log(Name() + ": client " + address + " refused, address not accepted");
  if (second) {
    Refuse(socket, SecondClientHandle, nullptr);
  } else {
    letGoReason_.clear();
    Refuse(socket, FirstClientHandle, nullptr);  // the disconnect handler sends it B02
  }
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
