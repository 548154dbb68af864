#pragma once
// What the parts of the console may do to the connection around them: write to it, and end the
// session, which closes the listener (dropping the connection) and reopens it after a delay.
// The terminal fills both in; the session and the commands only call them.
#include <cstdint>
#include <functional>
#include <string>

namespace kov {

struct ConsoleActions {
  // Sends the text to the console; dropped when no console is connected.
  std::function<void(const std::string& text)> Send;
  // Ends the session and closes the listener; it listens again after reopenAfterMs.
  std::function<void(int64_t reopenAfterMs)> Close;
};

}  // namespace kov
