#pragma once
// The setting of a serial line as one value: the rate, the character format, the flow control,
// the modem lines right after an open and the driver's low-latency mode. An open applies all of
// it at once and checks what the device kept; a running port can take a whole new one.
//
//   LineSetting line;          // 9600 8N1, no flow control, DTR and RTS raised
//   line.dataBits = 7;
//   line.parity = Parity::Even;
//   line.flow = FlowControl::RtsCts;
//   DescribeLine(line);        // "9600 7E1, rtscts"
#include <cstdint>
#include <string>

namespace kov {

enum class Parity : uint8_t { None, Odd, Even, Mark, Space };
enum class FlowControl : uint8_t { None, RtsCts, XonXoff };
// The lines a program drives: DTR and RTS, and BREAK (the transmit line held at space).
enum class ModemSignal : uint8_t { Dtr, Rts, Break };

struct LineSetting {
  uint32_t rate = 9600;  // bits per second
  uint8_t dataBits = 8;  // 5..8
  Parity parity = Parity::None;
  uint8_t stopBits = 1;  // 1 or 2
  FlowControl flow = FlowControl::None;
  // The modem lines right after an open (Linux raises both when it opens a serial device).
  // With RtsCts flow control RTS belongs to the hardware, and rts is not applied.
  bool dtr = true;
  bool rts = true;
  // Asked of the driver at open, best effort.
  bool lowLatency = false;
  bool operator==(const LineSetting&) const = default;
};

// The modem lines the device drives, as far as its driver tells them.
struct ModemStatus {
  bool known = false;  // false: the driver cannot tell (a pseudo-terminal), the rest means nothing
  bool cts = false;
  bool dsr = false;
  bool ri = false;
  bool cd = false;
  // Changes the driver counted since the port opened, per line; counted is false when the driver
  // keeps no count (then a change between two reads cannot be seen).
  bool counted = false;
  uint32_t ctsChanges = 0;
  uint32_t dsrChanges = 0;
  uint32_t riChanges = 0;
  uint32_t cdChanges = 0;
  bool operator==(const ModemStatus&) const = default;
};

// Whether the setting's parts are within their ranges (rate above 0, 5..8 data bits, 1 or 2 stop
// bits, known parity and flow control); why names the part that is not.
bool LineSettingValid(const LineSetting& line, std::string& why);

// "9600 7E2", then ", rtscts" or ", xonxoff", ", dtr off", ", rts off" (unless the hardware owns
// RTS) and ", low latency" where they differ from the defaults.
std::string DescribeLine(const LineSetting& line);
// 'N', 'O', 'E', 'M' or 'S'.
char ParityLetter(Parity parity);
const char* FlowName(FlowControl flow);      // "none", "rtscts", "xonxoff"
const char* SignalName(ModemSignal signal);  // "dtr", "rts", "break"

}  // namespace kov
