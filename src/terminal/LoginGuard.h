#pragma once
// The console's guard against password guessing. Wrong password lines are counted for the
// terminal, not for the connection they came on: a console that disconnects, is refused or times
// out keeps the count. The fourth wrong line locks the console out for kLockOutMs; the count
// goes back to 0 only with a correct password or a lock-out. The log stays short: the first
// wrong line of a burst, then one line per lock-out naming each address and its count.
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace kov {

class LoginGuard {
 public:
  static constexpr int32_t kMaxFailedLogins = 4;
  static constexpr int64_t kLockOutMs = 180000;  // listener closed after kMaxFailedLogins

  // A wrong password line from address; true when it is the one that locks the console out.
  bool Wrong(const std::string& address);
  // A correct password: the count starts afresh. Returns the wrong lines it cleared.
  int32_t Accepted();
  // The lock-out begins: the summary is logged and the count starts afresh.
  void LockOut();

  int32_t FailedLogins = 0;

 private:
  std::vector<std::pair<std::string, int32_t>> sources_;  // wrong lines per address
};

}  // namespace kov
