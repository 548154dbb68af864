#pragma once
// A client of kovbridge's configuration console: login, commands, leaving. Every reply is
// checked byte for byte where its text is fixed.
#include <unistd.h>

#include <string>

#include "bench_net.h"

namespace kov::bench {

inline const std::string kPrompt = "Bridge:\\>";
inline const std::string kOkReply = " OK. \n\rBridge:\\>";

// Reads until what came ends with `suffix`. False on timeout or when the peer closes first.
inline bool ReadUntil(int fd, const std::string& suffix, int timeoutMs, std::string& got) {
  const int64_t deadline = NowNs() + int64_t{timeoutMs} * 1000000;
  char buf[4096];
  while (got.size() < suffix.size() ||
         got.compare(got.size() - suffix.size(), suffix.size(), suffix) != 0) {
    const ssize_t r = read(fd, buf, sizeof buf);
    if (r > 0) {
      got.append(buf, static_cast<size_t>(r));
      continue;
    }
    if (r == 0 || (errno != EAGAIN && errno != EINTR) || !WaitFor(fd, POLLIN, deadline)) {
      return false;
    }
  }
  return true;
}

class Console {
 public:
  ~Console() { Drop(); }

  // Connects (waiting while the listener reopens), checks the greeting and logs in; with
  // wrongFirst, one wrong password comes first.
  bool Login(int port, bool wrongFirst, std::string& error) {
    std::string greeting;
    // A connection that ends before the first byte met the listener as it closed (the console
    // closes its connection, then its listener): like a refusal, it is tried again.
    const int64_t deadline = NowNs() + 20'000'000'000;
    bool greeted = false;
    do {
      Drop();
      fd_ = ConnectRetry(port, 20000, error);
      if (fd_ < 0) return false;
      greeting.clear();
      greeted = ReadUntil(fd_, "Password:", 5000, greeting);
      if (!greeted && greeting.empty()) {
        ++closedBeforeGreeting;
        SleepMs(100);
      }
    } while (!greeted && greeting.empty() && NowNs() < deadline);
    if (!greeted || greeting.compare(0, 3, "\xff\xfe\x01") != 0 ||
        greeting.find("  KOV Bridge Version: Ver.: ") != 3) {
      error = "greeting: \"" + Printable(greeting) + "\"";
      return false;
    }
    if (wrongFirst && !Exchange("XYZ\r\n", "***\n\rPassword:", error)) return false;
    return Exchange("PZQ\r\n", "***\n\r\n\r" + kPrompt, error);
  }

  // Sends the command line; returns the reply after the echo of the line, up to and with the
  // prompt.
  bool Command(const std::string& line, std::string& reply, std::string& error) {
    if (!WriteAll(fd_, line + "\r\n", 2000)) {
      error = line + ": cannot send";
      return false;
    }
    std::string got;
    if (!ReadUntil(fd_, kPrompt, 5000, got) ||
        got.compare(0, line.size() + 2, line + "\r\n") != 0) {
      error = line + ": reply \"" + Printable(got) + "\"";
      return false;
    }
    reply = got.substr(line.size() + 2);
    return true;
  }

  // A command whose reply must be the OK reply.
  bool CommandOk(const std::string& line, std::string& error) {
    std::string reply;
    if (!Command(line, reply, error)) return false;
    if (reply == kOkReply) return true;
    error = line + ": \"" + Printable(reply) + "\"";
    return false;
  }

  // Exit: the goodbye, then the console closes the connection.
  bool Exit(std::string& error) {
    if (!WriteAll(fd_, "Exit\r\n", 2000)) {
      error = "Exit: cannot send";
      return false;
    }
    bool closed = false;
    const std::string rest = ReadToEnd(fd_, 5000, closed);
    Drop();
    if (closed && rest == "Exit\r\n\n\r  Good Bye...\n\r") return true;
    error = "Exit: \"" + Printable(rest) + "\"" + (closed ? "" : " and no close");
    return false;
  }

  void Drop() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }

  int closedBeforeGreeting = 0;  // connections that ended before the greeting, tried again

 private:
  bool Exchange(const std::string& send, const std::string& expected, std::string& error) {
    std::string got;
    if (WriteAll(fd_, send, 2000) &&
        ReadUntil(fd_, expected.substr(expected.size() - 3), 5000, got) && got == expected) {
      return true;
    }
    error = "sent \"" + Printable(send) + "\", expected \"" + Printable(expected) + "\", got \"" +
            Printable(got) + "\"";
    return false;
  }

  int fd_ = -1;
};

// A second console while one is logged in is turned away with this text and closed.
inline const std::string kSecondConsole =
    "\n\r\n\r           No more than one Configuration Terminal Console allowed !";

}  // namespace kov::bench
