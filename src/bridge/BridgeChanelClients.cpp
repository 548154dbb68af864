// A local bridge channel's clients: taking one on, turning others away, letting go, their bytes
// handed to the relay, and the idle and traffic timers.
#include <string>

#include "bridge/BridgeChanel.h"
#include "config/StringHandle.h"
#include "event/Log.h"

namespace kov {

void TBridgeChanel::OnGetSocket(TServerWinSocket& sender, int32_t socketHandle) {
  if (sender.ConnectionCount() == 0) {
    FirstClientHandle = socketHandle;
  } else {
    SecondClientHandle = socketHandle;
  }
}

void TBridgeChanel::OnClientConnect(TServerWinSocket& sender, TCustomWinSocket& socket) {
  // Every newcomer arms the idle countdown; one that already runs is left as it is, so a
  // bridged client's countdown goes on unchanged.
  IdleTimer.SetInterval(kIdleMs);
  IdleTimer.SetEnabled(true);
  const std::string address = socket.PeerAddress();
  // The newcomer is the last connection. With another one listed (even one that was closed and
  // awaits removal) it is a second client, and connection 0 is not touched.
  const bool second = sender.ConnectionCount() >= 2;
  if (AddressAccepted(config_, address)) {
    if (wait_.Waiting()) {
      // No device to bridge to: a clean refusal the client's own retries can act on.
      Log(Name() + ": client " + address + " refused, the device is away");
      if (second) {
        socket.SendBuf(kNoticeB02, kNoticeSize);
        socket.CloseNamed(SecondClientHandle);
      } else {
        socket.CloseNamed(FirstClientHandle);  // the disconnect handler sends it the B02 notice
      }
      return;
    }
    if (second) {
      Log(Name() + ": client " + address + " refused, the port is in use");
      socket.SendBuf(kNoticeB03, kNoticeSize);
      socket.CloseNamed(SecondClientHandle);
      return;
    }
    Connected = 1;
    bridged_ = true;
    RemoteAddress = address.substr(0, kAddressMax);
    socket.SetNoDelay(true);
    Log(Name() + ": client " + address + " bridged");
    socket.SendBuf(kNoticeB01, kNoticeSize);
    relay_.Start();
    return;
  }
  Log(Name() + ": client " + address + " refused, address not accepted");
  if (second) {
    socket.CloseNamed(SecondClientHandle);
  } else {
    socket.CloseNamed(FirstClientHandle);  // the disconnect handler sends it the B02 notice
  }
}

void TBridgeChanel::OnClientDisconnect(TServerWinSocket& sender, TCustomWinSocket& socket) {
  // Only connection 0 matters: a second client leaving leaves the bridged one untouched.
  if (sender.ConnectionCount() < 1 || &sender.ConnectionAt(0) != &socket) return;
  socket.SendBuf(kNoticeB02, kNoticeSize);
  Connected = 0;
  lettingGo_ = false;
  relay_.Stop();
  IdleTimer.SetEnabled(false);
  if (bridged_) {
    bridged_ = false;
    Log(Name() + ": client " + RemoteAddress + " let go");
  }
}

void TBridgeChanel::OnClientError(TServerWinSocket& sender, TCustomWinSocket& socket,
                                  TErrorEvent errorEvent, int32_t& errorCode) {
  if (errorEvent == eeDisconnect) {
    // The socket layer leaves a connection that ended in error to us.
    if (sender.ConnectionCount() >= 1 && &sender.ConnectionAt(0) == &socket) {
      CloseFirstClient();
      IdleTimer.SetEnabled(false);
    }
    if (socket.IsOpen()) socket.CloseNamed(socket.NativeHandle());
  }
  // Errors on a channel's connections are not reported.
  errorCode = 0;
}

void TBridgeChanel::OnClientRead(TServerWinSocket&, TCustomWinSocket& socket) {
  IdleTimer.SetEnabled(false);
  IdleTimer.SetEnabled(true);
  relay_.PeerReadable(socket);
}

void TBridgeChanel::OnClientWrite(TServerWinSocket&, TCustomWinSocket& socket) {
  // A connection's queue has drained: the bytes held back for a slow client may go now, or a
  // client that waited for its last bytes is let go.
  if (lettingGo_ && &socket == FirstConnection()) {
    lettingGo_ = false;
    CloseFirstClient();
    return;
  }
  relay_.PeerDrained();
}

void TBridgeChanel::IdleTimerTimer() {
  if (TCustomWinSocket* first = FirstConnection()) {
    if (bridged_) Log(Name() + ": client " + RemoteAddress + " silent for 180000 ms");
    first->CloseNamed(FirstClientHandle);
  }
  IdleTimer.SetEnabled(false);
}

void TBridgeChanel::TrafficTimerTimer() {
  SpeedTx = CountTx;
  SpeedRx = CountRx;
  CountTx = 0;
  CountRx = 0;
}

}  // namespace kov
