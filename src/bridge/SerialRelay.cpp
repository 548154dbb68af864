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
  if (filter_ && filter_->DeviceHeld()) {
    // The client asked for a pause: the bytes wait in the port until it asks for more.
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
  if (filter_) {
    filter_->FromDevice(rxChunk_.data(), static_cast<size_t>(k));
  } else if (peer) {
    peer->SendBuf(rxChunk_.data(), k);  // every byte read, zero bytes included
  }
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

void SerialRelay::SetFilter(RelayFilter* filter) {
  filter_ = filter;
  kept_.clear();
}

int32_t SerialRelay::PutToPort(const char* data, size_t len) {
  if (!lease_ || len == 0) return 0;
  const auto count = static_cast<int32_t>(std::min<size_t>(len, kQueueSize));
  const int32_t put = lease_->SioPuts(data, count);
  if (put > 0 && hooks_.ToDevice) hooks_.ToDevice(put);
  return put;
}

bool SerialRelay::FeedKept() {
  if (kept_.empty()) return true;
  const int32_t room = lease_ ? lease_->SioTxFree() : 0;
  if (!filter_ || room <= 0) return false;
  const size_t used = filter_->FromPeer(kept_.data(), kept_.size(), static_cast<size_t>(room));
  kept_.erase(kept_.begin(), kept_.begin() + static_cast<std::ptrdiff_t>(used));
  return kept_.empty();
}

void SerialRelay::PeerReadable(TCustomWinSocket& socket) {
  if (!kept_.empty()) {
    // Bytes read before wait for the port's room: the connection's wait behind them.
    socket.SetReadPaused(true);
    if (lease_) lease_->WantTxRoom();
    return;
  }
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
    if (filter_) {
      const size_t used = filter_->FromPeer(txChunk_.data(), static_cast<size_t>(got),
                                            static_cast<size_t>(room));
      if (used < static_cast<size_t>(got) && filter_ && lease_) {
        // The room ran out within the chunk (a 255 held from the chunk before turned out to be
        // data with the byte after it): the rest waits here.
        kept_.assign(txChunk_.data() + used, txChunk_.data() + got);
        socket.SetReadPaused(true);
        lease_->WantTxRoom();
        return;
      }
      if (!filter_ || !lease_) return;  // the connection ended from inside the filter
    } else {
      PutToPort(txChunk_.data(), static_cast<size_t>(got));
    }
    if (got < want) return;
  }
}

void SerialRelay::OnTxRoom() {
  if (!FeedKept()) {
    if (lease_ && filter_) lease_->WantTxRoom();
    return;
  }
  // Reading the connection again brings a read event for the bytes that waited.
  TCustomWinSocket* peer = hooks_.Peer ? hooks_.Peer() : nullptr;
  if (peer && peer->ReadPaused()) peer->SetReadPaused(false);
}

}  // namespace kov
