#pragma once
// A client of kovbridge's configuration console: login, commands, leaving. Every reply is
// checked byte for byte where its text is fixed.
#include <string>

#include "bench_net.h"
#include "tests/support/TcpClient.h"

namespace kov::bench {

inline const std::string kPrompt = "Bridge:\\>";
inline const std::string kOkReply = " OK. \n\rBridge:\\>";

class Console {
 public:
  // Connects (waiting while the listener reopens), checks the greeting and logs in; with
  // wrongFirst, one wrong password comes first.
  bool Login(int port, bool wrongFirst, std::string& error) {
    std::string greeting;
    // A connection that ends before the first byte met the listener as it closed (the console
    // closes its connection, then its listener): like a refusal, it is tried again.
    const int64_t deadline = NowNs() + 20'000'000'000;
    bool greeted = false;
    do {
      while (!client_.Connect(port)) {
        if (NowNs() > deadline) {
          error = "cannot connect to the console on port " + std::to_string(port);
          return false;
        }
        SleepMs(100);
      }
      greeting = client_.ReadUntil("Password:");
      greeted = EndsWith(greeting, "Password:");
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
    if (!client_.Send(line + "\r\n")) {
      error = line + ": cannot send";
      return false;
    }
    const std::string got = client_.ReadUntil(kPrompt);
    if (!EndsWith(got, kPrompt) || got.compare(0, line.size() + 2, line + "\r\n") != 0) {
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
    if (!client_.Send("Exit\r\n")) {
      error = "Exit: cannot send";
      return false;
    }
    std::string rest;
    const bool closed = client_.WaitClosed(5000, &rest);
    client_.Close();
    if (closed && rest == "Exit\r\n\n\r  Good Bye...\n\r") return true;
    error = "Exit: \"" + Printable(rest) + "\"" + (closed ? "" : " and no close");
    return false;
  }

  int closedBeforeGreeting = 0;  // connections that ended before the greeting, tried again

 private:
  static bool EndsWith(const std::string& text, const std::string& end) {
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
  }

  bool Exchange(const std::string& send, const std::string& expected, std::string& error) {
    std::string got;
    if (client_.Send(send)) got = client_.ReadUntil(expected.substr(expected.size() - 3));
    if (got == expected) return true;
    error = "sent \"" + Printable(send) + "\", expected \"" + Printable(expected) + "\", got \"" +
            Printable(got) + "\"";
    return false;
  }

  TcpClient client_;
};

// A second console while one is logged in is turned away with this text and closed.
inline const std::string kSecondConsole =
    "\n\r\n\r           No more than one Configuration Terminal Console allowed !";

}  // namespace kov::bench
