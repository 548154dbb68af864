#include "config/ConfigFile.h"

#include <cstddef>
#include <utility>
#include <vector>

#include "config/FileIo.h"
#include "config/ResultCodes.h"
#include "config/StringHandle.h"

namespace kov {

namespace {

constexpr char kLf = 10;
constexpr char kCr = 13;
constexpr char kEndOfFile = 26;  // Ctrl-Z ends a text file wherever it stands
constexpr size_t kLineCount = 48;

// The longest value a line may hold. The console sets no value longer than 20 bytes and takes at
// most 197 bytes as a password at login, so a longer line is nothing the system wrote or can
// use: the file is damaged there.
constexpr size_t kMaxLineLength = 256;

// The first kLineCount lines of the file, split as its bytes are read. A line ends at LF; a CR is
// never part of a value, whether it precedes the LF or stands alone. Nothing after Ctrl-Z, after
// the last line or after a line longer than kMaxLineLength is taken in, so memory stays small
// whatever the file holds.
class FileLines {
 public:
  // Takes the next bytes of the file; false once no more are wanted.
  bool Feed(const char* data, size_t size) {
    for (size_t i = 0; i < size; ++i) {
      const char c = data[i];
      if (c == kEndOfFile) return false;
      if (c == kLf) {
        if (lines_.size() == kLineCount) return false;  // nothing after the last line is read
        lines_.emplace_back();
      } else if (c != kCr) {
        if (lines_.back().size() == kMaxLineLength) {
          tooLong_ = true;
          return false;
        }
        lines_.back().push_back(c);
      }
    }
    return true;
  }

  // The next line's value (past the end of the file, an empty one). False, with line left as
  // it was, for the line that was too long.
  bool Next(std::string& line) {
    const size_t index = next_++;
    if (tooLong_ && index + 1 == lines_.size()) return false;
    line = index < lines_.size() ? lines_[index] : std::string();
    return true;
  }

 private:
  std::vector<std::string> lines_ = std::vector<std::string>(1);
  size_t next_ = 0;
  bool tooLong_ = false;
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
bool LoadPort(FileLines& lines, PortSettings& port) {
  std::string line;
  if (!lines.Next(line)) return false;  // the heading's text is not checked
  if (!lines.Next(line)) return false;
  const int32_t active = ActiveFlagOf(line);
  if (active < 0) return false;
  port.Active = static_cast<uint8_t>(active);

  int32_t tcpPort = 0;
  if (!lines.Next(line) || !StrToInt32(line, tcpPort)) return false;
  port.TcpPort = tcpPort;

  int32_t rate = 0;
  if (!lines.Next(line) || !StrToInt32(line, rate)) return false;
  const int32_t speed = SpeedIndexOf(line);
  if (speed < 0) return false;
  port.SpeedIndex = speed;

  if (!lines.Next(line)) return false;
  const int32_t parity = ParityIndexOf(line);
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
  // Every line is read before anything is assigned, so a failing read leaves the store as it
  // was. A line too long to be a value fails like one that does not convert.
  FileLines lines;
  if (!ReadFileChunks(fileName_, [&lines](const char* data, size_t size) {
        return lines.Feed(data, size);
      })) {
    return kErrFile;
  }
  std::string heading;
  if (!lines.Next(heading) || !lines.Next(Password) || !lines.Next(heading) ||
      !lines.Next(ServicePort) || !lines.Next(heading)) {
    return kErrFileData;
  }
  for (std::string& entry : AccAddress) {
    if (!lines.Next(entry)) return kErrFileData;
  }
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
