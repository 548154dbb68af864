#include "event/Log.h"

#include <cstdio>
#include <ctime>
#include <utility>

namespace kov {
namespace {

void DefaultSink(LogLevel /*level*/, const std::string& line) {
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

}  // namespace

void Log(LogLevel level, const std::string& line) {
  if (Sink()) {
    Sink()(line);
  } else {
    DefaultSink(level, line);
  }
}

LogSink SetLogSink(LogSink sink) { return std::exchange(Sink(), std::move(sink)); }

}  // namespace kov
