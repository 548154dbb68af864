#include "bridge/SerialRelay.h"

#include <algorithm>
#include <utility>

#include "net/WinSocket.h"

namespace kov {
namespace {

// Rounds of moving connection bytes per read event; the rest follows on the next read event.
constexpr int kTakeRounds = 8;

}  // namespace

SerialRelay::SerialRelay(EventLoop& loop, SerialLibrary& serial, int32_t port, Hooks hooks)
    : PollTimer(loop, kPollMs),
      loop_(loop),
      serial_(serial),
      port_(port),
      hooks_(std::move(hooks)) {
  PollTimer.SetOnTimer([this] { Poll(); });
}

SerialRelay::~SerialRelay() = default;

void SerialRelay::SetPort(int32_t port) {
  if (port == port_) return;
  Release();
  port_ = port;
}

// ---------------------------------------------------------------------------------------------
// The port

bool SerialRelay::Take() {
  if (lease_) return true;
  SerialEvents events;
  events.OnRxData = alive_.Guard([this] {
    if (moving_) RequestPoll();
  });
  events.OnTxRoom = alive_.Guard([this] { OnTxRoom(); });
  events.OnDeviceLost = alive_.Guard([this] { OnDeviceLost(); });
  lease_ = serial_.Lease(port_, std::move(events));
  return lease_ != nullptr;
}

void SerialRelay::Release() {
  PollTimer.SetEnabled(false);
  lease_.reset();
}

int32_t SerialRelay::Open(const PortSetup& setup, OpenFailure* failure, OpenLog log) {
  if (!Take()) {
    if (failure) *failure = OpenFailure{SioStep::Reset, false, "held by another user"};
    return kSioCannotOpen;
  }
  return lease_->Open(setup, failure, log);
}

int32_t SerialRelay::ClosePort() { return lease_ ? lease_->SioDone() : kSioNotOpen; }

bool SerialRelay::PortOpen() { return lease_ && lease_->IsOpen(); }

// ---------------------------------------------------------------------------------------------
// Device to connection

void SerialRelay::Start() {
  moving_ = true;
  RequestPoll();
}

void SerialRelay::Stop() {
  moving_ = false;
  PollTimer.SetEnabled(false);
}

void SerialRelay::RequestPoll() {
  if (pollPosted_) return;
  pollPosted_ = true;
  loop_.Post(alive_.Guard([this] {
    pollPosted_ = false;
    Poll();
  }));
}

void SerialRelay::PeerDrained() {
  if (moving_) RequestPoll();
}

void SerialRelay::Poll() {
  if (!moving_ || !lease_) {
    PollTimer.SetEnabled(false);
    return;
  }
  TCustomWinSocket* peer = hooks_.Peer ? hooks_.Peer() : nullptr;
  if (peer && peer->OutputQueued() > kHighWater) {
    // A connection that reads slowly: the bytes wait in the port (and the device behind it)
    // until it has caught up, rather than piling up in memory.
    PollTimer.SetEnabled(true);
    return;
  }
  const int32_t waiting = lease_->SioRxQue();
  if (waiting <= 0 || Deliver(peer, waiting) <= 0) {
    PollTimer.SetEnabled(false);
    return;
  }
  if (moving_ && lease_ && lease_->SioRxQue() > 0) {
    RequestPoll();
  } else {
    PollTimer.SetEnabled(false);
  }
}

int32_t SerialRelay::Deliver(TCustomWinSocket* peer, int32_t waiting) {
  const int32_t k = lease_->SioGets(rxChunk_.data(), std::min(waiting, kChunkMax));
  if (k <= 0) return 0;
  if (hooks_.FromDevice) hooks_.FromDevice(k);
  if (peer) peer->SendBuf(rxChunk_.data(), k);  // every byte read, zero bytes included
  return k;
}

void SerialRelay::Flush() {
  // Not while stopped: the bytes then wait for the next connection.
  while (moving_) {
    const int32_t waiting = lease_ ? lease_->SioRxQue() : 0;
    if (waiting <= 0) return;
    if (Deliver(hooks_.Peer ? hooks_.Peer() : nullptr, waiting) <= 0) return;
  }
}

void SerialRelay::OnDeviceLost() {
  PollTimer.SetEnabled(false);
  Flush();
  if (hooks_.DeviceLost) hooks_.DeviceLost();
}

// ---------------------------------------------------------------------------------------------
// Connection to device

void SerialRelay::PeerReadable(TCustomWinSocket& socket) {
  for (int round = 0; round < kTakeRounds; ++round) {
    const int32_t room = lease_ ? lease_->SioTxFree() : kSioNotOpen;
    if (room < 0) {
      // The port is not open: there is nowhere to put the bytes.
      socket.ReadPending();
      return;
    }
    if (room == 0) {
      // The transmit ring is full: the bytes wait in the connection until the port has room.
      socket.SetReadPaused(true);
      lease_->WantTxRoom();
      return;
    }
    const int32_t want = std::min(kQueueSize, room);
    // Read without asking first how much is waiting: a short read means the connection is
    // empty (more arriving meanwhile brings another read event).
    const int32_t got = socket.ReceiveBuf(txChunk_.data(), want);
    if (got <= 0 || !lease_) return;
    const int32_t put = lease_->SioPuts(txChunk_.data(), got);
    if (put > 0 && hooks_.ToDevice) hooks_.ToDevice(put);
    if (got < want) return;
  }
}

void SerialRelay::OnTxRoom() {
  // Reading the connection again brings a read event for the bytes that waited.
  TCustomWinSocket* peer = hooks_.Peer ? hooks_.Peer() : nullptr;
  if (peer && peer->ReadPaused()) peer->SetReadPaused(false);
}

}  // namespace kov
