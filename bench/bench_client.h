#pragma once
// A TCP client of a bridged port: connecting and being taken on, leaving and being let go.
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "bench_net.h"
#include "bench_subject.h"

namespace kov::bench {

// Reads exactly `expected.size()` bytes and compares them.
inline bool Expect(int fd, const std::string& expected, int timeoutMs, const std::string& what,
                   std::string& error) {
  std::string got(expected.size(), '\0');
  size_t n = 0;
  const bool complete = ReadExact(fd, got.data(), got.size(), timeoutMs, &n);
  got.resize(n);
  if (complete && got == expected) return true;
  error = what + ": expected \"" + Printable(expected) + "\", got \"" + Printable(got) + "\"" +
          (complete ? "" : " (then nothing)");
  return false;
}

// Connects to the port; where the program sends notices, takes the take-on notice. Returns
// once the program holds the device open (socat and ser2net open it only now), or -1.
inline int OpenClient(const Subject& subject, int port, const std::string& device,
                      std::string& error) {
  const int fd = Connect(port, error);
  if (fd < 0) return -1;
  if (subject.SendsNotices() && !Expect(fd, kTakeOn, 5000, "take-on notice", error)) {
    close(fd);
    return -1;
  }
  if (subject.Telnet()) {
    // The server's offer of the Com Port Control Option, taken as a client takes it.
    static const std::string kOffer = "\xff\xfd\x2c\xff\xfb\x2c";
    static const std::string kAgree = "\xff\xfb\x2c\xff\xfd\x2c";
    if (!Expect(fd, kOffer, 5000, "Telnet offer", error) ||
        !WriteAll(fd, kAgree.data(), kAgree.size(), 2000)) {
      if (error.empty()) error = "cannot answer the Telnet offer";
      close(fd);
      return -1;
    }
  }
  if (!subject.WaitHolding(device, 5000)) {
    error = "the device " + device + " was not opened for the client";
    close(fd);
    return -1;
  }
  // The device is open; its line settings follow at once, before any byte is bridged.
  if (!subject.SendsNotices()) SleepMs(50);
  return fd;
}

// Leaves in order: half-closes, then expects the let-go notice where the program sends one,
// nothing else, and the end of the stream. Closes fd in every case.
inline bool CloseClient(bool notices, int fd, std::string& error) {
  shutdown(fd, SHUT_WR);
  bool closed = false;
  const std::string rest = ReadToEnd(fd, 5000, closed);
  close(fd);
  const std::string expected = notices ? kLetGo : std::string();
  if (!closed) {
    error = "the connection was not closed after the client left";
    return false;
  }
  if (rest != expected) {
    error = "on leaving: expected \"" + Printable(expected) + "\", got \"" + Printable(rest) + "\"";
    return false;
  }
  return true;
}

}  // namespace kov::bench
