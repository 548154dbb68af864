#include "bridge/Rfc2217Session.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "bridge/Rfc2217Codes.h"
#include "net/TelnetCodes.h"
#include "net/TelnetEncoder.h"

namespace kov {

using namespace rfc2217;
using TSignal = TRfc2217Line::TSignal;
using TSetting = TRfc2217Line::TSetting;

namespace {

uint8_t ModemBits(const TRfc2217Line::TModemLines& lines) {
  return (lines.cd ? kModemCd : 0) | (lines.ri ? kModemRi : 0) | (lines.dsr ? kModemDsr : 0) |
         (lines.cts ? kModemCts : 0);
}

std::string RateBytes(uint32_t rate) {
  return {static_cast<char>(rate >> 24), static_cast<char>(rate >> 16),
          static_cast<char>(rate >> 8), static_cast<char>(rate)};
}

}  // namespace

TRfc2217Session::TRfc2217Session(TRfc2217Line& line, std::string signature)
    : line_(line),
      signature_(std::move(signature)),
      modemMask_(kInitialModemStateMask),
      lineMask_(kInitialLineStateMask) {
  for (uint8_t option : {telnet::kBinary, telnet::kComPort}) {
    options_.AllowLocal(option);
    options_.AllowRemote(option);
  }
}

void TRfc2217Session::Start() {
  const bool before = ComPortActive();
  offerOpen_ = true;
  ToClient(options_.Request(telnet::kDo, telnet::kComPort) +
           options_.Request(telnet::kWill, telnet::kComPort));
  if (!before && ComPortActive()) ReportModemLines();
}

bool TRfc2217Session::ComPortActive() const {
  return tookOffer_ || options_.RemoteEnabled(telnet::kComPort) ||
         options_.LocalEnabled(telnet::kComPort);
}

// ---------------------------------------------------------------------------------------------
// From the client

size_t TRfc2217Session::FeedFromClient(const char* data, size_t len, size_t deviceRoom) {
  room_ = deviceRoom;
  fedLen_ = len;
  const size_t used = decoder_.Feed(data, len);
  FlushToDevice();
  return used;
}

size_t TRfc2217Session::OnData(const char* data, size_t len) {
  const size_t take = std::min(len, room_);
  room_ -= take;
  if (take > 0) Hold(data, take);
  return take;
}

void TRfc2217Session::Hold(const char* data, size_t len) {
  if (heldLen_ == 0) {
    held_ = data;
    heldLen_ = len;
    return;
  }
  if (data == held_ + heldLen_) {  // the run goes on (an IAC and an ordinary byte)
    heldLen_ += len;
    return;
  }
  if (held_ != copy_.data()) {
    // At most the chunk's bytes, and a 255 begun in the chunk before.
    if (copy_.size() < fedLen_ + 1) copy_.resize(fedLen_ + 1);
    std::memcpy(copy_.data(), held_, heldLen_);
    held_ = copy_.data();
  }
  std::memcpy(copy_.data() + heldLen_, data, len);
  heldLen_ += len;
}

void TRfc2217Session::FlushToDevice() {
  if (heldLen_ == 0) return;
  const char* data = held_;
  const size_t len = heldLen_;
  held_ = nullptr;
  heldLen_ = 0;
  if (OnDeviceBytes) OnDeviceBytes(data, len);
}

void TRfc2217Session::OnNegotiation(uint8_t verb, uint8_t option) {
  const bool before = ComPortActive();
  if (option == telnet::kComPort) {
    // The client's own word on the option decides from now on.
    offerOpen_ = false;
    tookOffer_ = false;
  }
  ToClient(options_.Receive(verb, option));
  if (!before && ComPortActive()) ReportModemLines();
}

void TRfc2217Session::OnSubnegotiation(uint8_t option, const char* payload, size_t len,
                                       TSubnegotiationEnd end) {
  // The data before the command reaches the device before the line changes.
  FlushToDevice();
  if (option != telnet::kComPort || end != eComplete || len == 0) return;
  if (!ComPortActive() && offerOpen_) {
    tookOffer_ = true;
    ReportModemLines();
  }
  if (!ComPortActive()) return;
  ComPortCommand(static_cast<uint8_t>(payload[0]), payload + 1, len - 1);
}

void TRfc2217Session::ComPortCommand(uint8_t code, const char* value, size_t len) {
  const auto byte = [value] { return static_cast<uint8_t>(value[0]); };
  switch (code) {
    case kSignature:
      // An empty answer would read as a request back: without a signature there is none.
      if (len == 0) {
        if (!signature_.empty()) Send(kSignature, signature_);
      } else {
        clientSignature_.assign(value, len);
      }
      return;
    case kSetBaudRate: {
      if (len != 4) return;
      uint32_t rate = 0;
      for (size_t i = 0; i < 4; ++i) rate = rate << 8 | static_cast<uint8_t>(value[i]);
      TSetting setting = line_.Setting();
      if (rate != 0 && rate != setting.rate) {
        TSetting wanted = setting;
        wanted.rate = rate;
        setting = line_.Apply(wanted);
      }
      Send(kSetBaudRate, RateBytes(setting.rate));
      return;
    }
    case kSetDataSize:
    case kSetParity:
    case kSetStopSize:
      if (len == 1) SendByte(code, ApplyFormat(code, byte()));
      return;
    case kSetControl:
      if (len == 1) SetControl(byte());
      return;
    case kNotifyModemState:
      // A client asking for the modem state now.
      if (len == 0) {
        if (const auto lines = line_.ModemLines()) {
          lines_ = *lines;
          knownLines_ = true;
          SendByte(kNotifyModemState, ModemBits(*lines));
        }
      }
      return;
    case kFlowControlSuspend:
    case kFlowControlResume:
      if (len == 0) {
        const bool suspend = code == kFlowControlSuspend;
        if (suspend == suspended_) return;
        suspended_ = suspend;
        if (OnClientFlow) OnClientFlow(suspend);
      }
      return;
    case kSetLineStateMask:
    case kSetModemStateMask:
      if (len == 1) {
        (code == kSetLineStateMask ? lineMask_ : modemMask_) = byte();
        SendByte(code, byte());
      }
      return;
    case kPurgeData:
      if (len == 1 && byte() >= kPurgeReceive && byte() <= kPurgeBoth) {
        line_.Purge((byte() & kPurgeReceive) != 0, (byte() & kPurgeTransmit) != 0);
        SendByte(kPurgeData, byte());
      }
      return;
    default:
      return;  // the server's own codes, and codes this side does not know
  }
}

uint8_t TRfc2217Session::ApplyFormat(uint8_t code, uint8_t value) {
  TSetting setting = line_.Setting();
  TSetting wanted = setting;
  // The values are 1-based in the order of the line's enumerations; 0 asks.
  if (code == kSetDataSize && value >= 5 && value <= 8) {
    wanted.dataBits = value;
  } else if (code == kSetParity && value >= kParityNone && value <= kParitySpace) {
    wanted.parity = static_cast<TRfc2217Line::TParity>(value - kParityNone);
  } else if (code == kSetStopSize && value >= kStopOne && value <= kStopOneAndHalf) {
    wanted.stopBits = static_cast<TRfc2217Line::TStopBits>(value - kStopOne);
  }
  if (!(wanted == setting)) setting = line_.Apply(wanted);
  switch (code) {
    case kSetDataSize:
      return setting.dataBits;
    case kSetParity:
      return static_cast<uint8_t>(kParityNone + static_cast<uint8_t>(setting.parity));
    default:
      return static_cast<uint8_t>(kStopOne + static_cast<uint8_t>(setting.stopBits));
  }
}

void TRfc2217Session::SetControl(uint8_t value) {
  // Flow control: one setting for both directions on this side; asked, set, or (flow control on
  // DCD, DSR or DTR, not offered) answered with the setting in force, in the group asked about.
  uint8_t flowBase = 0;
  if (value <= kControlFlowHardware || value == kControlFlowDcd || value == kControlFlowDsr) {
    flowBase = kControlFlowNone;
  } else if ((value >= kControlInboundAsk && value <= kControlInboundHardware) ||
             value == kControlInboundDtr) {
    flowBase = kControlInboundNone;
  }
  if (flowBase != 0) {
    TSetting setting = line_.Setting();
    if (value >= flowBase && value <= flowBase + 2) {
      TSetting wanted = setting;
      wanted.flow = static_cast<TRfc2217Line::TFlow>(value - flowBase);
      if (!(wanted == setting)) setting = line_.Apply(wanted);
    }
    SendByte(kSetControl, static_cast<uint8_t>(flowBase + static_cast<uint8_t>(setting.flow)));
    return;
  }
  // BREAK, DTR, RTS: three values each, asking, on, off.
  if (value >= kControlBreakAsk && value <= kControlRtsOff) {
    static constexpr TSignal kSignals[] = {TSignal::eBreak, TSignal::eDtr, TSignal::eRts};
    const uint8_t group = (value - kControlBreakAsk) / 3;
    const uint8_t ask = kControlBreakAsk + group * 3;
    const TSignal signal = kSignals[group];
    const bool on =
        value == ask ? line_.Signal(signal) : line_.SetSignal(signal, value == ask + 1);
    SendByte(kSetControl, static_cast<uint8_t>(on ? ask + 1 : ask + 2));
  }
}

// ---------------------------------------------------------------------------------------------
// To the client

void TRfc2217Session::SendDeviceData(const char* data, size_t len) {
  if (len == 0 || !OnClientBytes) return;
  const void* iac = std::memchr(data, telnet::kIac, len);
  if (iac == nullptr) {
    OnClientBytes(data, len);
    return;
  }
  // One pass into one buffer, handed on in one call.
  if (escaped_.size() < 2 * len) escaped_.resize(2 * len);
  const size_t plain = static_cast<const char*>(iac) - data;
  std::memcpy(escaped_.data(), data, plain);
  char* out = escaped_.data() + plain;
  ForEachEscapedSpan(data + plain, len - plain, [&out](const char* span, size_t n) {
    std::memcpy(out, span, n);
    out += n;
  });
  OnClientBytes(escaped_.data(), static_cast<size_t>(out - escaped_.data()));
}

void TRfc2217Session::ModemLinesChanged(const TRfc2217Line::TModemLines& lines) {
  if (knownLines_ && lines == lines_) return;
  uint8_t bits = ModemBits(lines);
  if (knownLines_) {
    if (lines.cts != lines_.cts) bits |= kModemDeltaCts;
    if (lines.dsr != lines_.dsr) bits |= kModemDeltaDsr;
    if (lines.cd != lines_.cd) bits |= kModemDeltaCd;
    if (lines_.ri && !lines.ri) bits |= kModemRiTrailingEdge;
  }
  lines_ = lines;
  knownLines_ = true;
  bits &= modemMask_;
  if (bits != 0 && ComPortActive()) SendByte(kNotifyModemState, bits);
}

void TRfc2217Session::LineStateChanged(uint8_t bits) {
  bits &= lineMask_;
  if (bits != 0 && ComPortActive()) SendByte(kNotifyLineState, bits);
}

void TRfc2217Session::ReportModemLines() {
  // The client's first view of the lines, its mask not set yet (sent even when no line is up,
  // so that a client reading a line has a state to read).
  if (reported_) return;
  reported_ = true;
  const auto lines = line_.ModemLines();
  if (!lines) return;
  lines_ = *lines;
  knownLines_ = true;
  SendByte(kNotifyModemState, ModemBits(*lines));
}

void TRfc2217Session::Send(uint8_t code, const std::string& value) {
  std::string payload(1, static_cast<char>(code + kServerOffset));
  payload += value;
  ToClient(TelnetSubnegotiation(telnet::kComPort, payload));
}

void TRfc2217Session::ToClient(const std::string& bytes) {
  if (!bytes.empty() && OnClientBytes) OnClientBytes(bytes.data(), bytes.size());
}

}  // namespace kov
