#pragma once
// The lines of BridgePorts.conf: each port's device path and the options of its line.
//
//   # comments and blank lines are skipped
//   COM1=/dev/serial/by-id/usb-FTDI_FT232R_A1B2C3-if00-port0 databits=7 flow=rtscts dtr=off
//   COM2=/dev/ttyS1 idle=0 keepalive=30 notices=off
//   COM3=/dev/ttyUSB0 protocol=rfc2217
//
// "COMn" (n 1..8, letters in any case), '=', the path as the first word, then options
// name=value separated by blanks:
//   databits=5|6|7|8 (8)  stopbits=1|2 (1)  flow=none|rtscts|xonxoff (none)  dtr=on|off (on)
//   rts=on|off (on)  lowlatency=on|off (off)  idle=<seconds> (180, 0 never)
//   keepalive=<seconds> (60, 0 off)  notices=on|off (on)  protocol=raw|rfc2217 (raw)
// A line that names no port is not understood and ignored. A port line with an unknown option,
// a bad value or an option given twice keeps its fault: that port does not open until the line
// is mended, since a line opened with settings nobody asked for garbles the data. A port without
// a line is /dev/ttyS<n-1> with the default options. A later line for a port replaces an earlier
// one.
#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "bridge/LineSetting.h"

namespace kov {

constexpr const char* kPortLinesFile = "BridgePorts.conf";
constexpr int32_t kPortLineCount = 8;

// What a port's line says besides its path.
// What a port's bridged connection carries: the device's bytes as they are, or Telnet with the
// Com Port Control Option, through which the client drives the line.
enum class PortProtocol : uint8_t { Raw, Rfc2217 };

const char* ProtocolName(PortProtocol protocol);  // "raw", "rfc2217"

struct PortOptions {
  static constexpr int32_t kMaxIdleSeconds = 2147483;     // the idle countdown fits 31 bits of ms
  static constexpr int32_t kMaxKeepaliveSeconds = 32767;  // the kernel's largest keepalive idle

  uint8_t dataBits = 8;
  uint8_t stopBits = 1;
  FlowControl flow = FlowControl::None;
  bool dtr = true;
  bool rts = true;
  bool lowLatency = false;
  int32_t idleSeconds = 180;      // a bridged client silent this long is let go; 0 never
  int32_t keepaliveSeconds = 60;  // TCP keepalive idle time of bridged connections; 0 off
  bool notices = true;            // the B01/B02/B03 notices go to the port's clients
  PortProtocol protocol = PortProtocol::Raw;
  // Whether a notice may go out: never on a port that speaks a protocol, where it would land in
  // the client's data.
  bool NoticesSent() const { return notices && protocol == PortProtocol::Raw; }
  bool operator==(const PortOptions&) const = default;
};

struct PortLine {
  std::string path;
  PortOptions options;
  // Empty, or what is wrong with the line: "BridgePorts.conf line 3: unknown option 'speed=9'".
  std::string fault;
  bool operator==(const PortLine&) const = default;
};

using PortLineList = std::array<PortLine, kPortLineCount>;
using PortPathList = std::array<std::string, kPortLineCount>;

// /dev/ttyS<port> for port 0..7.
std::string DefaultPortPath(int32_t port);
// Every port on its default path, with the default options.
PortLineList DefaultPortLines();
PortLineList PortLinesWithPaths(const PortPathList& paths);

// The port lines of the text. fileName names the file in faults and problems; problems, when
// given, gets one line for each line not understood and each port line with a fault.
PortLineList ParsePortLines(std::string_view text, const std::string& fileName,
                            std::vector<std::string>* problems = nullptr);

// Reads and parses the file. A missing file gives the defaults; a file that exists but cannot
// be read gives them too, with a problem saying why.
PortLineList ReadPortLines(const std::string& file, std::vector<std::string>* problems = nullptr);

// The line setting of a port: the options' format, flow and modem lines, with the rate and the
// parity that the console gives.
LineSetting LineOfPort(const PortOptions& options, uint32_t rate, Parity parity);

}  // namespace kov
