#pragma once
// Drives a loop in this process while the test plays the other ends step by step.
#include <chrono>
#include <functional>

#include "event/EventLoop.h"

namespace kov {

// Turns the loop (waiting at most 1 ms per turn) and runs step after each turn until it answers
// true or realTimeoutMs have passed. Returns the last answer.
inline bool Drive(EventLoop& loop, const std::function<bool()>& step, int realTimeoutMs = 30000) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(realTimeoutMs);
  for (;;) {
    loop.RunOnce(1);
    if (step()) return true;
    if (std::chrono::steady_clock::now() > end) return false;
  }
}

}  // namespace kov
