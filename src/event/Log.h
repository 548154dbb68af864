#pragma once
// One line per event worth knowing, for an operator watching the program. The default sink
// writes to stderr with a time stamp; tests may replace it to capture or silence the lines.
//
// Each line has a level: an error (something failed and someone may need to act), a warning
// (something unusual the program coped with) or a notice (the rest). Log(line) is a notice.
// When stderr is the systemd journal, the default sink starts each line with its syslog
// priority instead of the time stamp, so that the journal can tell errors from the rest.
//
// A filter may stand in front of the sink (the rate limit of LogRateLimit.h): it sees every
// line and decides whether it is written now.
#include <functional>
#include <string>

namespace kov {

enum class LogLevel { Error, Warning, Notice };

using LogSink = std::function<void(const std::string& line)>;
// True: write the line now; false: leave it out.
using LogFilter = std::function<bool(LogLevel level, const std::string& line)>;

void Log(LogLevel level, const std::string& line);
inline void Log(const std::string& line) { Log(LogLevel::Notice, line); }
inline void LogError(const std::string& line) { Log(LogLevel::Error, line); }
inline void LogWarning(const std::string& line) { Log(LogLevel::Warning, line); }
// Replaces the sink; an empty function restores the default. Returns the previous sink.
LogSink SetLogSink(LogSink sink);
// Replaces the filter; an empty function lets every line through. Returns the previous filter.
LogFilter SetLogFilter(LogFilter filter);
// Writes the line to the sink, past the filter (for the filter's own lines).
void WriteLog(LogLevel level, const std::string& line);

// The syslog priority prefix for a line of this level ("<3>" errors, "<4>" warnings, "<6>"
// the rest) when stderr is the journal, otherwise the empty text. For every writer of stderr.
std::string JournalPrefix(LogLevel level);

}  // namespace kov
