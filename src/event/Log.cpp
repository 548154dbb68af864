#include "event/Log.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <utility>

namespace kov {
namespace {

// systemd names the stream it connected to stderr as "<device>:<inode>" in JOURNAL_STREAM. The
// variable alone is not enough: it is inherited by programs whose stderr went elsewhere (a
// shell started from a service, say), so stderr has to be that very stream.
bool StderrIsJournal() {
  const char* value = std::getenv("JOURNAL_STREAM");
  if (value == nullptr) return false;
  unsigned long long device = 0;
  unsigned long long inode = 0;
  char rest = 0;
  if (std::sscanf(value, "%llu:%llu%c", &device, &inode, &rest) != 2) return false;
  struct stat info {};
  if (fstat(2, &info) != 0) return false;
  return info.st_dev == static_cast<dev_t>(device) && info.st_ino == static_cast<ino_t>(inode);
}

void DefaultSink(LogLevel level, const std::string& line) {
  const std::string prefix = JournalPrefix(level);
  if (!prefix.empty()) {
    // The journal stamps and names every line itself.
    std::fprintf(stderr, "%s%s\n", prefix.c_str(), line.c_str());
    std::fflush(stderr);
    return;
  }
  std::time_t t = std::time(nullptr);
  std::tm tm{};
  localtime_r(&t, &tm);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &tm);
  std::fprintf(stderr, "%s kovbridge: %s\n", stamp, line.c_str());
  std::fflush(stderr);
}

LogSink& Sink() {
  static LogSink sink;
  return sink;
}

LogFilter& Filter() {
  static LogFilter filter;
  return filter;
}

}  // namespace

std::string JournalPrefix(LogLevel level) {
  static const bool journal = StderrIsJournal();
  if (!journal) return {};
  switch (level) {
    case LogLevel::Error:
      return "<3>";
    case LogLevel::Warning:
      return "<4>";
    case LogLevel::Notice:
      break;
  }
  return "<6>";
}

void WriteLog(LogLevel level, const std::string& line) {
  if (Sink()) {
    Sink()(line);
  } else {
    DefaultSink(level, line);
  }
}

void Log(LogLevel level, const std::string& line) {
  if (Filter() && !Filter()(level, line)) return;
  WriteLog(level, line);
}

LogSink SetLogSink(LogSink sink) { return std::exchange(Sink(), std::move(sink)); }

LogFilter SetLogFilter(LogFilter filter) { return std::exchange(Filter(), std::move(filter)); }

}  // namespace kov
