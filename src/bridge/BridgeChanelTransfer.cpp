// A local bridge channel's data: serial bytes to the bridged client (the poll, run on the 50 ms
// timer and as soon as the port has taken bytes in), and the client's bytes to the serial port,
// each side holding back while the other cannot take more.
#include <algorithm>

#include "bridge/BridgeChanel.h"
#include "bridge/SerialLibrary.h"

namespace kov {

namespace {

// Rounds of moving client bytes per read event; the rest follows on the next read event.
constexpr int kTakeRounds = 8;

}  // namespace

void TBridgeChanel::PollTimerTimer() { PollSerial(); }

void TBridgeChanel::PollSerial() {
  if (Opened != 1 || Connected != 1) return;
  TCustomWinSocket* client = FirstConnection();
  // A client that reads slowly: the bytes wait in the receive ring (and the device behind it)
  // until it has caught up, rather than piling up in memory.
  if (client && client->OutputQueued() > kClientHighWater) return;
  if (serial_.SioRxQue(PortIndex) <= 0) return;
  const int32_t k = serial_.SioGets(PortIndex, RxBuffer.data(), kPollMax);
  if (k <= 0) return;
  CountRx += k;
  if (!client) return;
  client->SendBuf(RxBuffer.data(), k);  // every byte read, zero bytes included
  if (Connected == 1 && serial_.SioRxQue(PortIndex) > 0) SchedulePoll();
}

void TBridgeChanel::SchedulePoll() {
  if (pollPosted_) return;
  pollPosted_ = true;
  std::weak_ptr<int> alive = alive_;
  loop_.Post([this, alive] {
    if (alive.expired()) return;
    pollPosted_ = false;
    PollSerial();
  });
}

void TBridgeChanel::OnSerialRxData() {
  if (Opened == 1 && Connected == 1) SchedulePoll();
}

void TBridgeChanel::OnClientWrite(TServerWinSocket&, TCustomWinSocket&) {
  // A connection's queue has drained: the bytes held back for a slow client may go now.
  if (Opened == 1 && Connected == 1) SchedulePoll();
}

void TBridgeChanel::OnClientRead(TServerWinSocket&, TCustomWinSocket& socket) {
  IdleTimer.SetEnabled(false);
  IdleTimer.SetEnabled(true);
  TakeFromClient(socket);
}

void TBridgeChanel::TakeFromClient(TCustomWinSocket& socket) {
  for (int round = 0; round < kTakeRounds; ++round) {
    const int32_t room = serial_.SioTxFree(PortIndex);
    if (room == 0) {
      // The transmit ring is full: the client's bytes wait in its connection until the port
      // reports room. A put on a full ring takes nothing; it is how the port learns that
      // someone waits for room, so OnTxRoom follows.
      socket.SetReadPaused(true);
      const char probe = 0;
      serial_.SioPuts(PortIndex, &probe, 1);
      return;
    }
    int32_t want = static_cast<int32_t>(txBuffer_.size());
    if (room > 0) want = std::min(want, room);
    // Read without asking first how much is waiting: a short read means the connection is
    // empty (more arriving meanwhile brings another read event).
    const int32_t got = socket.ReceiveBuf(txBuffer_.data(), want);
    if (got <= 0) return;
    const int32_t put = serial_.SioPuts(PortIndex, txBuffer_.data(), got);
    if (put > 0) CountTx += put;
    if (got < want) return;
  }
}

void TBridgeChanel::OnSerialTxRoom() {
  // Reading the connection again brings a read event for the bytes that waited.
  TCustomWinSocket* client = FirstConnection();
  if (client && client->ReadPaused()) client->SetReadPaused(false);
}

}  // namespace kov
