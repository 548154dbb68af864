#pragma once
// What the parts of the console may do to the connection around them: write to it, stop reading
// it for a while, and end the session, which closes the listener (dropping the connection) and
// reopens it after a delay. The terminal fills them in; the session and the commands only call
// them.
#include <cstdint>
#include <functional>
#include <string>

namespace kov {

struct ConsoleActions {
  // Sends the text to the console; dropped when no console is connected.
  std::function<void(const std::string& text)> Send;
  // Stops (true) or resumes (false) reading the console's connection; meanwhile the system
  // keeps what the console sends.
  std::function<void(bool hold)> HoldInput;
  // Ends the session and closes the listener; it listens again after reopenAfterMs.
  std::function<void(int64_t reopenAfterMs)> Close;
};

}  // namespace kov
