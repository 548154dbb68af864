#pragma once
// The serial line as a remote-control client drives it: what a TRfc2217Session asks of the
// device side. The serial layer implements it for a bridged port; tests use a fake.
//
// Every call reports what the line really holds afterwards, read back from the device where it
// can be, so that the client is told the truth: a rate, a parity or a signal the device did not
// take comes back as the value still in force. A line that cannot read a signal back reports
// the value it was last given (or asked for). No call may wait for the device.
#include <cstdint>
#include <optional>

namespace kov {

class TRfc2217Line {
 public:
  enum class TParity : uint8_t { eNone, eOdd, eEven, eMark, eSpace };
  enum class TStopBits : uint8_t { eOne, eTwo, eOneAndHalf };
  // One setting for both directions, as the line takes it.
  enum class TFlow : uint8_t { eNone, eXonXoff, eRtsCts };
  enum class TSignal : uint8_t { eDtr, eRts, eBreak };

  // The character format and flow control of the line, applied as a whole.
  struct TSetting {
    uint32_t rate = 115200;
    uint8_t dataBits = 8;  // 5..8
    TParity parity = TParity::eNone;
    TStopBits stopBits = TStopBits::eOne;
    TFlow flow = TFlow::eNone;
    bool operator==(const TSetting&) const = default;
  };

  // The modem lines the device drives.
  struct TModemLines {
    bool cts = false;
    bool dsr = false;
    bool ri = false;
    bool cd = false;
    bool operator==(const TModemLines&) const = default;
  };

  virtual ~TRfc2217Line() = default;

  // The setting in force.
  virtual TSetting Setting() = 0;
  // Applies the setting (all of it at once) and returns the one in force afterwards: the wanted
  // one when the device took it, otherwise what it kept (the setting before, as a rule).
  virtual TSetting Apply(const TSetting& wanted) = 0;

  // The state of DTR, RTS or BREAK.
  virtual bool Signal(TSignal signal) = 0;
  // Raises or drops the signal; returns its state afterwards.
  virtual bool SetSignal(TSignal signal, bool on) = 0;

  // Drops the bytes received from the device and not yet passed on, the bytes waiting to be
  // transmitted to it, or both.
  virtual void Purge(bool received, bool transmit) = 0;

  // The modem lines now; nothing when the device cannot tell (a pseudo-terminal).
  virtual std::optional<TModemLines> ModemLines() = 0;
};

}  // namespace kov
