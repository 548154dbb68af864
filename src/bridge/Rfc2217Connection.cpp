#include "bridge/Rfc2217Connection.h"

#include <utility>

#include "bridge/SerialLease.h"
#include "net/WinSocket.h"

namespace kov {
namespace {

TRfc2217Line::TModemLines LinesOf(const ModemStatus& status) {
  return {status.cts, status.dsr, status.ri, status.cd};
}

}  // namespace

Rfc2217Connection::Rfc2217Connection(EventLoop& loop, SerialRelay& relay, std::string signature,
                                     std::function<TCustomWinSocket*()> peer)
    : relay_(relay),
      peer_(std::move(peer)),
      line_(relay),
      session_(line_, std::move(signature)),
      modemPoll_(loop, kModemPollMs) {
  session_.OnClientBytes = [this](const char* data, size_t len) { ToPeer(data, len); };
  session_.OnDeviceBytes = [this](const char* data, size_t len) { relay_.PutToPort(data, len); };
  session_.OnClientFlow = [this](bool suspended) {
    // Resumed: the bytes that waited in the port go now.
    if (!suspended && !stopped_) relay_.RequestPoll();
  };
  modemPoll_.SetOnTimer([this] { PollModemLines(); });
}

void Rfc2217Connection::Start() {
  if (SerialLease* lease = relay_.Lease()) {
    last_ = lease->ModemLines();
    linesKnown_ = last_.known;
  }
  session_.Start();
  UpdatePoll();
}

void Rfc2217Connection::Stop() {
  stopped_ = true;
  modemPoll_.SetEnabled(false);
}

void Rfc2217Connection::ToPeer(const char* data, size_t len) {
  if (stopped_) return;
  if (TCustomWinSocket* peer = peer_ ? peer_() : nullptr) {
    peer->SendBuf(data, static_cast<int32_t>(len));
  }
}

void Rfc2217Connection::FromDevice(const char* data, size_t len) {
  if (!stopped_) session_.SendDeviceData(data, len);
}

size_t Rfc2217Connection::FromPeer(const char* data, size_t len, size_t room) {
  if (stopped_) return len;
  const size_t used = session_.FeedFromClient(data, len, room);
  if (!stopped_) UpdatePoll();  // the client may have set its mask
  return used;
}

void Rfc2217Connection::UpdatePoll() {
  const bool wanted =
      !stopped_ && linesKnown_ && session_.ComPortActive() && session_.ModemStateMask() != 0;
  if (wanted != modemPoll_.Enabled()) modemPoll_.SetEnabled(wanted);
}

void Rfc2217Connection::PollModemLines() {
  SerialLease* lease = relay_.Lease();
  const ModemStatus now = lease ? lease->ModemLines() : ModemStatus{};
  if (!now.known) {
    // The device has gone, or its driver no longer tells: nothing to watch.
    linesKnown_ = false;
    UpdatePoll();
    return;
  }
  if (now.counted && last_.counted) {
    // A line that changed and changed back between two polls: told as both changes.
    TRfc2217Line::TModemLines between = LinesOf(last_);
    bool pulsed = false;
    const auto flipped = [&](bool level, bool before, uint32_t count, uint32_t countBefore,
                             bool& out) {
      if (level == before && count != countBefore) {
        out = !before;
        pulsed = true;
      }
    };
    flipped(now.cts, last_.cts, now.ctsChanges, last_.ctsChanges, between.cts);
    flipped(now.dsr, last_.dsr, now.dsrChanges, last_.dsrChanges, between.dsr);
    flipped(now.ri, last_.ri, now.riChanges, last_.riChanges, between.ri);
    flipped(now.cd, last_.cd, now.cdChanges, last_.cdChanges, between.cd);
    if (pulsed) session_.ModemLinesChanged(between);
  }
  last_ = now;
  if (!stopped_) session_.ModemLinesChanged(LinesOf(now));
}

}  // namespace kov
