#include "config/ConfigFile.h"

#include <algorithm>
#include <cstddef>
#include <utility>

#include "config/FileIo.h"
#include "config/ResultCodes.h"
#include "config/StringHandle.h"

namespace kov {

namespace {

constexpr char kLf = 10;
constexpr char kCr = 13;
constexpr char kEndOfFile = 26;  // Ctrl-Z ends a text file wherever it stands
constexpr int kLineCount = 48;

// Hands out the lines of the file's text one by one. A line ends at LF; a CR is never part of a
// value, whether it precedes the LF or stands alone. Past the end every line reads empty.
class LineReader {
 public:
  explicit LineReader(const std::string& bytes)
      : bytes_(bytes), end_(std::min(bytes.find(kEndOfFile), bytes.size())) {}

  std::string Next() {
    if (linesRead_ >= kLineCount) return {};  // nothing after the last line is ever read
    ++linesRead_;
    std::string line;
    while (pos_ < end_) {
      const char c = bytes_[pos_++];
      if (c == kLf) break;
      if (c != kCr) line.push_back(c);
    }
    return line;
  }

 private:
  const std::string& bytes_;
  size_t end_;
  size_t pos_ = 0;
  int linesRead_ = 0;
};

void AddLine(std::string& out, const std::string& line) {
  out += line;
  out += kCr;
  out += kLf;
}

std::string FileText(const TConfigFile& config) {
  std::string out;
  AddLine(out, "- Password:");
  AddLine(out, config.Password);
  AddLine(out, "- ServicePort:");
  AddLine(out, config.ServicePort);
  AddLine(out, "- Accept TCP/IP Address:");
  for (const std::string& entry : config.AccAddress) AddLine(out, entry);
  for (size_t i = 0; i < config.Ports.size(); ++i) {
    const PortSettings& port = config.Ports[i];
    AddLine(out, "- Port " + std::to_string(i + 1) + ":");
    AddLine(out, ActiveText(port.Active));
    AddLine(out, std::to_string(port.TcpPort));
    AddLine(out, SpeedText(port.SpeedIndex));
    AddLine(out, ParityText(port.ParityIndex));
  }
  return out;
}

// Reads one port's group (heading, state, TCP port, speed, parity), assigning each field as
// soon as its line converts. False at the first line that does not.
bool LoadPort(LineReader& lines, PortSettings& port) {
  lines.Next();  // the heading's text is not checked
  const int32_t active = ActiveFlagOf(lines.Next());
  if (active < 0) return false;
  port.Active = static_cast<uint8_t>(active);

  int32_t tcpPort = 0;
  if (!StrToInt32(lines.Next(), tcpPort)) return false;
  port.TcpPort = tcpPort;

  const std::string speedLine = lines.Next();
  int32_t rate = 0;
  if (!StrToInt32(speedLine, rate)) return false;
  const int32_t speed = SpeedIndexOf(speedLine);
  if (speed < 0) return false;
  port.SpeedIndex = speed;

  const int32_t parity = ParityIndexOf(lines.Next());
  if (parity < 0) return false;
  port.ParityIndex = parity;
  return true;
}

}  // namespace

TConfigFile::TConfigFile(std::string fileName)
    : Password("PZQ"),
      ServicePort("8800"),
      AccAddress{"None", "None", "None"},
      fileName_(std::move(fileName)) {
  for (size_t i = 0; i < Ports.size(); ++i) {
    Ports[i] = PortSettings{static_cast<int32_t>(8801 + i), 9, 2, 0};
  }
}

int32_t TConfigFile::Load() {
  // The whole file is read before anything is assigned, so a failing read leaves the store as
  // it was.
  std::string bytes;
  if (!ReadWholeFile(fileName_, bytes)) return kErrFile;

  LineReader lines(bytes);
  lines.Next();
  Password = lines.Next();
  lines.Next();
  ServicePort = lines.Next();
  lines.Next();
  for (std::string& entry : AccAddress) entry = lines.Next();
  for (PortSettings& port : Ports) {
    if (!LoadPort(lines, port)) return kErrFileData;
  }
  return 0;
}

int32_t TConfigFile::Save() {
  const std::string target = ReplaceTarget(fileName_);
  struct stat existing {};
  const ProbeResult probe = ProbeReadWrite(target, existing);
  if (probe == ProbeResult::kRefused) return kErrFile;
  const struct stat* mode = probe == ProbeResult::kWritable ? &existing : nullptr;
  if (!ReplaceFile(target, FileText(*this), mode)) return kErrFile;
  return 0;
}

const std::string& TConfigFile::FileName() const { return fileName_; }

}  // namespace kov
