#include "bridge/PortLines.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <initializer_list>
#include <utility>

namespace kov {
namespace {

constexpr const char* kBlanks = " \t\r\n\v\f";

std::string_view Trim(std::string_view s) {
  size_t first = s.find_first_not_of(kBlanks);
  if (first == std::string_view::npos) return {};
  size_t last = s.find_last_not_of(kBlanks);
  return s.substr(first, last - first + 1);
}

// The next blank-separated word of s, which is advanced past it.
std::string_view NextWord(std::string_view& s) {
  size_t start = s.find_first_not_of(kBlanks);
  if (start == std::string_view::npos) {
    s = {};
    return {};
  }
  size_t end = s.find_first_of(kBlanks, start);
  std::string_view word =
      s.substr(start, end == std::string_view::npos ? s.size() - start : end - start);
  s = end == std::string_view::npos ? std::string_view{} : s.substr(end);
  return word;
}

std::string Lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

// The port index 0..7 named by "COMn" (letters in any case), or -1.
int32_t PortOfKey(std::string_view key) {
  if (key.size() != 4) return -1;
  for (int i = 0; i < 3; ++i) {
    if ((key[i] & ~0x20) != "COM"[i]) return -1;
  }
  if (key[3] < '1' || key[3] > '8') return -1;
  return key[3] - '1';
}

// One of the named values.
template <typename T>
bool OneOf(const std::string& value, std::initializer_list<std::pair<const char*, T>> names,
           T& out) {
  for (const auto& [name, named] : names) {
    if (value == name) {
      out = named;
      return true;
    }
  }
  return false;
}

bool OnOff(const std::string& value, bool& out) {
  if (value != "on" && value != "off") return false;
  out = value == "on";
  return true;
}

// Decimal digits only, at most max.
bool Seconds(const std::string& value, int32_t max, int32_t& out) {
  if (value.empty() || value.size() > 10) return false;
  int64_t n = 0;
  for (char c : value) {
    if (c < '0' || c > '9') return false;
    n = n * 10 + (c - '0');
  }
  if (n > max) return false;
  out = static_cast<int32_t>(n);
  return true;
}

// Applies one option; false for a bad value. known is false for a name that is no option.
bool ApplyOption(const std::string& name, const std::string& value, PortOptions& o, bool& known) {
  known = true;
  if (name == "databits") {
    if (value.size() != 1 || value[0] < '5' || value[0] > '8') return false;
    o.dataBits = static_cast<uint8_t>(value[0] - '0');
    return true;
  }
  if (name == "stopbits") {
    if (value != "1" && value != "2") return false;
    o.stopBits = static_cast<uint8_t>(value[0] - '0');
    return true;
  }
  if (name == "flow") {
    return OneOf<FlowControl>(value,
                              {{"none", FlowControl::None},
                               {"rtscts", FlowControl::RtsCts},
                               {"xonxoff", FlowControl::XonXoff}},
                              o.flow);
  }
  if (name == "dtr") return OnOff(value, o.dtr);
  if (name == "rts") return OnOff(value, o.rts);
  if (name == "lowlatency") return OnOff(value, o.lowLatency);
  if (name == "notices") return OnOff(value, o.notices);
  if (name == "protocol") {
    return OneOf<PortProtocol>(
        value, {{"raw", PortProtocol::Raw}, {"rfc2217", PortProtocol::Rfc2217}}, o.protocol);
  }
  if (name == "idle") return Seconds(value, PortOptions::kMaxIdleSeconds, o.idleSeconds);
  if (name == "keepalive") {
    return Seconds(value, PortOptions::kMaxKeepaliveSeconds, o.keepaliveSeconds);
  }
  known = false;
  return false;
}

// The options after the path; the first fault, when there is one, as "<what> '<word>'".
std::string ParseOptions(std::string_view rest, PortOptions& options) {
  std::vector<std::string> seen;
  for (std::string_view word = NextWord(rest); !word.empty(); word = NextWord(rest)) {
    const size_t eq = word.find('=');
    const std::string quoted = "'" + std::string(word) + "'";
    if (eq == std::string_view::npos || eq == 0) return "not an option (name=value) " + quoted;
    const std::string name = Lower(word.substr(0, eq));
    for (const std::string& earlier : seen) {
      if (earlier == name) return "option given twice " + quoted;
    }
    seen.push_back(name);
    bool known = false;
    if (!ApplyOption(name, Lower(word.substr(eq + 1)), options, known)) {
      return (known ? "bad value for " + name + " " : std::string("unknown option ")) + quoted;
    }
  }
  return {};
}

}  // namespace

const char* ProtocolName(PortProtocol protocol) {
  return protocol == PortProtocol::Rfc2217 ? "rfc2217" : "raw";
}

std::string DefaultPortPath(int32_t port) { return "/dev/ttyS" + std::to_string(port); }

PortLineList DefaultPortLines() {
  PortLineList lines;
  for (int32_t i = 0; i < kPortLineCount; ++i) lines[i].path = DefaultPortPath(i);
  return lines;
}

PortLineList PortLinesWithPaths(const PortPathList& paths) {
  PortLineList lines;
  for (int32_t i = 0; i < kPortLineCount; ++i) lines[i].path = paths[i];
  return lines;
}

PortLineList ParsePortLines(std::string_view text, const std::string& fileName,
                            std::vector<std::string>* problems) {
  PortLineList lines = DefaultPortLines();
  int lineNumber = 0;
  while (!text.empty()) {
    size_t end = text.find('\n');
    std::string_view raw = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
    ++lineNumber;

    std::string_view line = Trim(raw.substr(0, raw.find('#')));
    if (line.empty()) continue;
    const std::string where = fileName + " line " + std::to_string(lineNumber);
    size_t eq = line.find('=');
    int32_t port = eq == std::string_view::npos ? -1 : PortOfKey(Trim(line.substr(0, eq)));
    std::string_view rest = eq == std::string_view::npos ? "" : line.substr(eq + 1);
    std::string_view path = NextWord(rest);
    if (port < 0 || path.empty()) {
      if (problems)
        problems->push_back(where + " not understood, ignored: " + std::string(Trim(raw)));
      continue;
    }
    PortLine parsed;
    parsed.path = std::string(path);
    const std::string fault = ParseOptions(rest, parsed.options);
    if (!fault.empty()) {
      parsed.fault = where + ": " + fault;
      if (problems) {
        problems->push_back(parsed.fault + ", COM" + std::to_string(port + 1) +
                            " does not open until the line is mended");
      }
    }
    lines[port] = std::move(parsed);
  }
  return lines;
}

PortLineList ReadPortLines(const std::string& file, std::vector<std::string>* problems) {
  auto unreadable = [&](const std::string& why) {
    if (problems)
      problems->push_back(file + " cannot be read (" + why + "), default port paths used");
    return DefaultPortLines();
  };
  int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    // The file is optional: only a file that is there but cannot be read is worth a line.
    return errno == ENOENT ? DefaultPortLines() : unreadable(std::strerror(errno));
  }
  std::string text;
  std::string problem;
  struct stat info {};
  if (fstat(fd, &info) != 0) {
    problem = std::strerror(errno);
  } else if (!S_ISREG(info.st_mode)) {
    // A FIFO or a device named by mistake could block or never end.
    problem = "not a regular file";
  }
  char chunk[4096];
  while (problem.empty()) {
    ssize_t n = read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) problem = std::strerror(errno);
    if (n <= 0) break;
    text.append(chunk, static_cast<size_t>(n));
  }
  close(fd);
  if (!problem.empty()) return unreadable(problem);
  return ParsePortLines(text, file, problems);
}

LineSetting LineOfPort(const PortOptions& options, uint32_t rate, Parity parity) {
  LineSetting line;
  line.rate = rate;
  line.parity = parity;
  line.dataBits = options.dataBits;
  line.stopBits = options.stopBits;
  line.flow = options.flow;
  line.dtr = options.dtr;
  line.rts = options.rts;
  line.lowLatency = options.lowLatency;
  return line;
}

}  // namespace kov
