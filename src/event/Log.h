#pragma once
// One line per event worth knowing, for an operator watching the program. The default sink
// writes to stderr with a time stamp; tests may replace it to capture or silence the lines.
#include <functional>
#include <string>

namespace kov {

using LogSink = std::function<void(const std::string& line)>;

void Log(const std::string& line);
// Replaces the sink; an empty function restores the default. Returns the previous sink.
LogSink SetLogSink(LogSink sink);

}  // namespace kov
