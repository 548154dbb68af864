#include "terminal/LoginGuard.h"

#include <algorithm>

#include "event/Log.h"

namespace kov {

bool LoginGuard::Wrong(const std::string& address) {
  if (FailedLogins == 0) {
    Log(LogLevel::Warning, "Configuration console wrong password from " + address);
  }
  ++FailedLogins;
  auto source = std::find_if(sources_.begin(), sources_.end(),
                             [&](const auto& entry) { return entry.first == address; });
  if (source == sources_.end()) {
    sources_.emplace_back(address, 1);
  } else {
    ++source->second;
  }
  return FailedLogins >= kMaxFailedLogins;
}

int32_t LoginGuard::Accepted() {
  const int32_t cleared = FailedLogins;
  FailedLogins = 0;
  sources_.clear();
  return cleared;
}

void LoginGuard::LockOut() {
  std::string from;
  for (const auto& [address, count] : sources_) {
    from += (from.empty() ? " from " : ", ") + address + " (" + std::to_string(count) + ")";
  }
  Log(LogLevel::Warning, "Configuration console locked for " + std::to_string(kLockOutMs) +
                             " ms after " + std::to_string(FailedLogins) + " wrong passwords" +
                             from);
  Accepted();
}

}  // namespace kov
