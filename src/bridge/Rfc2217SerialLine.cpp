#include "bridge/Rfc2217SerialLine.h"

#include <utility>

#include "bridge/SerialLease.h"
#include "bridge/SerialRelay.h"

namespace kov {
namespace {

using TSetting = TRfc2217Line::TSetting;

ModemSignal SignalOf(TRfc2217Line::TSignal signal) {
  return signal == TRfc2217Line::TSignal::eDtr   ? ModemSignal::Dtr
         : signal == TRfc2217Line::TSignal::eRts ? ModemSignal::Rts
                                                 : ModemSignal::Break;
}

// The two enumerations of flow control name the same three settings in another order.
constexpr std::pair<TRfc2217Line::TFlow, FlowControl> kFlows[] = {
    {TRfc2217Line::TFlow::eNone, FlowControl::None},
    {TRfc2217Line::TFlow::eXonXoff, FlowControl::XonXoff},
    {TRfc2217Line::TFlow::eRtsCts, FlowControl::RtsCts},
};

TRfc2217Line::TFlow FlowOf(FlowControl flow) {
  for (const auto& [theirs, ours] : kFlows) {
    if (ours == flow) return theirs;
  }
  return TRfc2217Line::TFlow::eNone;
}

FlowControl FlowOf(TRfc2217Line::TFlow flow) {
  for (const auto& [theirs, ours] : kFlows) {
    if (theirs == flow) return ours;
  }
  return FlowControl::None;
}

// The enumerations of the parity share their order.
TRfc2217Line::TParity ParityOf(Parity parity) {
  return static_cast<TRfc2217Line::TParity>(static_cast<uint8_t>(parity));
}
Parity ParityOf(TRfc2217Line::TParity parity) {
  return static_cast<Parity>(static_cast<uint8_t>(parity));
}

}  // namespace

TSetting Rfc2217SerialLine::Setting() {
  const LineSetting line = relay_.Lease() ? relay_.Lease()->Line() : LineSetting{};
  TSetting setting;
  setting.rate = line.rate;
  setting.dataBits = line.dataBits;
  setting.parity = ParityOf(line.parity);
  setting.stopBits = line.stopBits == 2 ? TStopBits::eTwo : TStopBits::eOne;
  setting.flow = FlowOf(line.flow);
  return setting;
}

TSetting Rfc2217SerialLine::Apply(const TSetting& wanted) {
  SerialLease* lease = relay_.Lease();
  if (!lease || wanted.stopBits == TStopBits::eOneAndHalf) return Setting();
  LineSetting line = lease->Line();
  line.rate = wanted.rate;
  line.dataBits = wanted.dataBits;
  line.parity = ParityOf(wanted.parity);
  line.stopBits = wanted.stopBits == TStopBits::eTwo ? 2 : 1;
  line.flow = FlowOf(wanted.flow);
  // A setting the device refused leaves the one before in force, and that is the answer.
  lease->SetLine(line);
  return Setting();
}

bool Rfc2217SerialLine::Signal(TSignal signal) {
  SerialLease* lease = relay_.Lease();
  return lease && lease->Signal(SignalOf(signal));
}

bool Rfc2217SerialLine::SetSignal(TSignal signal, bool on) {
  SerialLease* lease = relay_.Lease();
  if (!lease) return false;
  // Refused, the signal stays as it was, and that is the answer.
  lease->SetSignal(SignalOf(signal), on);
  return lease->Signal(SignalOf(signal));
}

void Rfc2217SerialLine::Purge(bool received, bool transmit) {
  if (SerialLease* lease = relay_.Lease()) lease->Purge(received, transmit);
}

std::optional<TRfc2217Line::TModemLines> Rfc2217SerialLine::ModemLines() {
  SerialLease* lease = relay_.Lease();
  if (!lease) return std::nullopt;
  const ModemStatus status = lease->ModemLines();
  if (!status.known) return std::nullopt;
  return TModemLines{status.cts, status.dsr, status.ri, status.cd};
}

}  // namespace kov
