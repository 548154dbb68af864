#include "event/LogRateLimit.h"

#include <cctype>
#include <utility>

namespace kov {

LogRateLimit::LogRateLimit(EventLoop& loop)
    : loop_(loop), sweep_(loop, kIntervalMs, [this] { Sweep(false); }) {
  previous_ = SetLogFilter([this](LogLevel level, const std::string& line) {
    return Admit(level, line) && (!previous_ || previous_(level, line));
  });
}

LogRateLimit::~LogRateLimit() {
  Sweep(true);
  SetLogFilter(std::move(previous_));
}

std::string LogRateLimit::KindOf(const std::string& line) {
  std::string kind;
  kind.reserve(line.size());
  bool inName = false;    // letters, and digits that follow them: COM1, SIGUSR2
  bool inNumber = false;  // digits that do not
  for (char c : line) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (std::isdigit(u) && !inName) {
      if (!inNumber) kind.push_back('#');
      inNumber = true;
      continue;
    }
    inNumber = false;
    inName = std::isalnum(u) != 0;
    kind.push_back(c);
  }
  return kind;
}

bool LogRateLimit::Admit(LogLevel level, const std::string& line) {
  const int64_t now = loop_.NowMs();
  std::string key = KindOf(line);
  auto it = kinds_.find(key);
  if (it == kinds_.end()) {
    if (kinds_.size() < kMaxKinds) {
      Kind kind;
      kind.lastWritten = now;
      kind.lastSeen = now;
      kinds_.emplace(std::move(key), std::move(kind));
      sweep_.SetEnabled(true);
    }
    return true;
  }
  Kind& kind = it->second;
  kind.lastSeen = now;
  if (now - kind.lastWritten >= kIntervalMs) {
    kind.lastWritten = now;
    return true;
  }
  ++kind.leftOut;
  if (level < kind.level) kind.level = level;  // Error sorts first
  kind.lastLeftOut = line;
  return false;
}

void LogRateLimit::Sweep(bool all) {
  const int64_t now = loop_.NowMs();
  for (auto it = kinds_.begin(); it != kinds_.end();) {
    if (!all && now - it->second.lastSeen < kIntervalMs) {
      ++it;
      continue;
    }
    WriteLeftOut(it->second);
    it = kinds_.erase(it);
  }
  if (kinds_.empty()) sweep_.SetEnabled(false);
}

void LogRateLimit::WriteLeftOut(const Kind& kind) {
  if (kind.leftOut == 0) return;
  WriteLog(kind.level, "left out " + std::to_string(kind.leftOut) +
                           (kind.leftOut == 1 ? " more line" : " more lines") +
                           " like this one: " + kind.lastLeftOut);
}

}  // namespace kov
