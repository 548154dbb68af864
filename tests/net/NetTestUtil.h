#pragma once
// Helpers for the socket tests: free ports, and a plain non-blocking peer driven alongside the
// loop on the test thread.
#include <cstdint>
#include <string>

#include "event/EventLoop.h"
#include "net/WinSocket.h"

namespace kov::test {

// A TCP port that was free a moment ago (a probe socket bound to port 0 tells it).
int FreePort();

// Sends 64 KiB pieces until the network stops taking them and bytes stay queued. Returns the
// number of bytes sent; the bytes are 'w'.
int64_t FillUntilQueued(TCustomWinSocket& socket);

// A plain TCP socket on the loopback address playing the other end of a connection.
class Peer {
 public:
  // Connects to 127.0.0.1:port (completes against the listener's backlog, without the loop).
  explicit Peer(int port);
  // Takes an accepted descriptor.
  static Peer Adopt(int fd);
  Peer(Peer&& other) noexcept;
  ~Peer();

  int Fd() const { return fd_; }
  // Sends all bytes (pumping the loop while the other side's buffer is full).
  void Send(EventLoop& loop, const std::string& bytes);
  // Reads what is there now, at most max bytes.
  std::string ReadNow(size_t max = 1 << 20);
  // Runs the loop until n bytes have arrived (or the time is up); returns what arrived.
  std::string ReadExactly(EventLoop& loop, size_t n, int timeoutMs = 5000);
  // Runs the loop until the other side has closed; returns true then. Bytes read on the way are
  // appended to *rest when given.
  bool WaitClosed(EventLoop& loop, std::string* rest = nullptr, int timeoutMs = 5000);
  void Close();
  // Closes with a reset instead of an orderly close.
  void Reset();

 private:
  Peer() = default;
  int fd_ = -1;
  bool eof_ = false;
};

// A plain listening socket on 127.0.0.1 for client tests.
class Listener {
 public:
  explicit Listener(int port);
  ~Listener();
  // Runs the loop until a connection can be accepted.
  Peer Accept(EventLoop& loop, int timeoutMs = 5000);

 private:
  int fd_ = -1;
};

}  // namespace kov::test
