#pragma once
// The serial line a remote-control client drives (TRfc2217Line), over the port a relay holds:
// each call goes through the relay's lease, and every answer is read back from what the serial
// layer holds after the call, so a setting or a signal the device refused comes back as the one
// still in force.
//
//   Rfc2217SerialLine line(relay);
//   TRfc2217Session session(line, "KOV Bridge COM1");
//
// The parts of the port's line the option does not know (the modem lines right after an open,
// low-latency mode) are kept as they are. 1.5 stop bits are not offered: asking for them leaves
// the line as it is. On a line without modem lines (a pseudo-terminal) DTR and RTS keep the
// state a client gives them, as the serial layer keeps it; a driver that refuses one reports the
// state before. Without a lease or an open port the calls change nothing and tell the defaults.
#include "bridge/Rfc2217Line.h"

namespace kov {

class SerialRelay;

class Rfc2217SerialLine : public TRfc2217Line {
 public:
  // The relay must outlive the line.
  explicit Rfc2217SerialLine(SerialRelay& relay) : relay_(relay) {}

  TSetting Setting() override;
  TSetting Apply(const TSetting& wanted) override;
  bool Signal(TSignal signal) override;
  bool SetSignal(TSignal signal, bool on) override;
  void Purge(bool received, bool transmit) override;
  std::optional<TModemLines> ModemLines() override;

 private:
  SerialRelay& relay_;
};

}  // namespace kov
