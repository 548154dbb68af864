#pragma once
// One line per event worth knowing, for an operator watching the program. The default sink
// writes to stderr with a time stamp; tests may replace it to capture or silence the lines.
//
// Each line has a level: an error (something failed and someone may need to act), a warning
// (something unusual the program coped with) or a notice (the rest). Log(line) is a notice.
#include <functional>
#include <string>

namespace kov {

enum class LogLevel { Error, Warning, Notice };

using LogSink = std::function<void(const std::string& line)>;

void Log(LogLevel level, const std::string& line);
inline void Log(const std::string& line) { Log(LogLevel::Notice, line); }
inline void LogError(const std::string& line) { Log(LogLevel::Error, line); }
inline void LogWarning(const std::string& line) { Log(LogLevel::Warning, line); }
// Replaces the sink; an empty function restores the default. Returns the previous sink.
LogSink SetLogSink(LogSink sink);

}  // namespace kov
