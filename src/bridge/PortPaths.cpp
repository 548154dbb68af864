#include "bridge/PortPaths.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "event/Log.h"

namespace kov {
namespace {

std::string_view Trim(std::string_view s) {
  const char* blanks = " \t\r\n\v\f";
  size_t first = s.find_first_not_of(blanks);
  if (first == std::string_view::npos) return {};
  size_t last = s.find_last_not_of(blanks);
  return s.substr(first, last - first + 1);
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

void Unreadable(const std::string& file, const std::string& why) {
  Log(file + " cannot be read (" + why + "), default port paths used");
}

}  // namespace

std::string DefaultPortPath(int32_t port) { return "/dev/ttyS" + std::to_string(port); }

PortPathList DefaultPortPaths() {
  PortPathList paths;
  for (int32_t i = 0; i < kSioPortCount; ++i) paths[i] = DefaultPortPath(i);
  return paths;
}

PortPathList ParsePortPaths(std::string_view text, const std::string& fileName) {
  PortPathList paths = DefaultPortPaths();
  int lineNumber = 0;
  while (!text.empty()) {
    size_t end = text.find('\n');
    std::string_view raw = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
    ++lineNumber;

    std::string_view line = Trim(raw.substr(0, raw.find('#')));
    if (line.empty()) continue;
    size_t eq = line.find('=');
    int32_t port = eq == std::string_view::npos ? -1 : PortOfKey(Trim(line.substr(0, eq)));
    std::string_view path = eq == std::string_view::npos ? "" : Trim(line.substr(eq + 1));
    if (port < 0 || path.empty()) {
      Log(fileName + " line " + std::to_string(lineNumber) +
          " not understood, ignored: " + std::string(Trim(raw)));
      continue;
    }
    paths[port] = std::string(path);
  }
  return paths;
}

PortPathList LoadPortPaths(const std::string& file) {
  int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    // The file is optional: only a file that is there but cannot be read is worth a line.
    if (errno != ENOENT) Unreadable(file, std::strerror(errno));
    return DefaultPortPaths();
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
  if (!problem.empty()) {
    Unreadable(file, problem);
    return DefaultPortPaths();
  }
  return ParsePortPaths(text, file);
}

}  // namespace kov
