#pragma once
// Captures the program's log lines for the length of a test.
#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "event/Log.h"

namespace kov {

// Collects the log lines while it lives.
class LogCapture {
 public:
  LogCapture() {
    previous_ = SetLogSink([this](const std::string& line) { lines_.push_back(line); });
  }
  ~LogCapture() { SetLogSink(previous_); }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  const std::vector<std::string>& Lines() const { return lines_; }
  size_t Count(std::string_view part) const {
    return std::count_if(lines_.begin(), lines_.end(), [&](const std::string& line) {
      return line.find(part) != std::string::npos;
    });
  }
  std::string All() const {
    std::string text;
    for (const auto& line : lines_) text += line + "\n";
    return text;
  }

 private:
  std::vector<std::string> lines_;
  LogSink previous_;
};

}  // namespace kov
