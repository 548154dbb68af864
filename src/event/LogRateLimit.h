#pragma once
// Keeps floods out of the log. Lines of one kind (the same text apart from its numbers, so
// apart from addresses, ports and counts too, but not apart from names such as COM1) are
// written at most once a second; the ones in between are left out and counted, and once the
// kind has been quiet for a second one line says how many were left out. The first line of a
// kind is always written at once, so an error that happens once is never held back.
//
//   LogRateLimit limit(loop);  // from here on every Log() line passes through it
//
// Its timer runs only while a kind seen within the last second or two is remembered; with
// nothing logged nothing ticks.
#include <cstdint>
#include <string>
#include <unordered_map>

#include "event/EventLoop.h"
#include "event/Log.h"

namespace kov {

class LogRateLimit {
 public:
  static constexpr int64_t kIntervalMs = 1000;
  // Kinds remembered at most; beyond that, lines of new kinds are written without a limit.
  static constexpr size_t kMaxKinds = 512;

  // Installs itself as the log filter, in front of whatever filter was there.
  explicit LogRateLimit(EventLoop& loop);
  // Writes the counts still owed and restores the previous filter.
  ~LogRateLimit();
  LogRateLimit(const LogRateLimit&) = delete;
  LogRateLimit& operator=(const LogRateLimit&) = delete;

  // Whether the line is written now.
  bool Admit(LogLevel level, const std::string& line);

  // The kind of a line: its text with every number (a run of digits that does not end a name
  // such as COM1) replaced by one '#'.
  static std::string KindOf(const std::string& line);

 private:
  struct Kind {
    int64_t lastWritten = 0;
    int64_t lastSeen = 0;
    int64_t leftOut = 0;
    LogLevel level = LogLevel::Notice;  // the most severe level left out
    std::string lastLeftOut;
  };

  // Forgets the kinds that have been quiet for an interval, writing what each one left out.
  void Sweep(bool all);
  static void WriteLeftOut(const Kind& kind);

  EventLoop& loop_;
  Timer sweep_;
  std::unordered_map<std::string, Kind> kinds_;
  LogFilter previous_;
};

}  // namespace kov
