#pragma once
// The tests' TCP client and listener on the loopback network, with deadlines on every wait, and
// the port helpers around them.
//
// A client waits one of two ways. Talking to the real program in another process, it sleeps in
// poll() on its socket. Talking to a system that runs in the test's own process, it is given
// the loop: every wait turns the loop, which serves the other end, instead of sleeping.
//
//   TcpClient client(port);                    // the real program
//   TcpClient console(loop, port);             // an in-process system on loop
//   TcpClient slow(loop, port, {.receiveBuffer = 4096});
//   console.ReadThrough("Password:");          // what came up to the text; the rest stays
//
// What arrives is kept until a read takes it. ReadExactly, ReadThrough and ReadNow take part of
// it; ReadUntil, ReadFor and ReadUntilClosed take all of it.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "event/EventLoop.h"

namespace kov {

inline sockaddr_in Ipv4Address(const char* address, int port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET, address, &addr.sin_addr);
  return addr;
}

class TcpClient {
 public:
  // How the connection is made.
  struct Options {
    const char* from = nullptr;  // the local address, any 127.x.y.z (default 127.0.0.1)
    int receiveBuffer = 0;       // above 0: a receive buffer this small, for a slow reader
  };

  TcpClient() = default;
  explicit TcpClient(int port) { Connect(port); }
  // A client of a system on loop, in this process.
  explicit TcpClient(EventLoop& loop) : turn_([&loop] { loop.RunOnce(1); }) {}
  TcpClient(EventLoop& loop, int port) : TcpClient(loop) { Connect(port); }
  TcpClient(EventLoop& loop, int port, const Options& options) : TcpClient(loop) {
    Connect(port, options);
  }
  // Takes over a connected socket (one a TcpListener accepted).
  static TcpClient Adopt(int fd) {
    TcpClient client;
    client.fd_ = fd;
    return client;
  }
  static TcpClient Adopt(EventLoop& loop, int fd) {
    TcpClient client(loop);
    client.fd_ = fd;
    return client;
  }
  TcpClient(TcpClient&& other) noexcept { *this = std::move(other); }
  TcpClient& operator=(TcpClient&& other) noexcept {
    if (this != &other) {
      Close();
      fd_ = std::exchange(other.fd_, -1);
      turn_ = std::move(other.turn_);
      received_ = std::move(other.received_);
      eof_ = other.eof_;
      reset_ = other.reset_;
    }
    return *this;
  }
  ~TcpClient() { Close(); }
  TcpClient(const TcpClient&) = delete;
  TcpClient& operator=(const TcpClient&) = delete;

  bool Connect(int port) { return Connect(port, Options{}); }
  bool Connect(int port, const Options& options) {
    Close();
    received_.clear();
    eof_ = reset_ = false;
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (options.receiveBuffer > 0) {
      setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &options.receiveBuffer, sizeof options.receiveBuffer);
    }
    sockaddr_in local = Ipv4Address(options.from ? options.from : "127.0.0.1", 0);
    sockaddr_in remote = Ipv4Address("127.0.0.1", port);
    if ((options.from && bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) ||
        connect(fd_, reinterpret_cast<sockaddr*>(&remote), sizeof remote) != 0) {
      Close();
      return false;
    }
    int one = 1;
    setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return true;
  }
  bool Connected() const { return fd_ >= 0; }
  int Fd() const { return fd_; }
  // The other side has closed (end of stream, or a reset) as far as reads have seen.
  bool Eof() const { return eof_; }
  // The connection ended with a reset rather than an orderly close.
  bool WasReset() const { return reset_; }

  // Sends all bytes, waiting while the network is full; false when it cannot.
  bool Send(const std::string& bytes) {
    size_t done = 0;
    const auto end = Deadline(kSendMs);
    while (done < bytes.size()) {
      const size_t n = SendSome(std::string_view(bytes).substr(done));
      done += n;
      if (n == 0 && (errno != EAGAIN || !Wait(POLLOUT, end))) return false;
    }
    return true;
  }
  // Sends what the network takes now; returns the count.
  size_t SendSome(std::string_view bytes) {
    const ssize_t n = send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    return n > 0 ? static_cast<size_t>(n) : 0;
  }

  // Reads until the received text ends with (or contains) want, or the deadline passes.
  // Returns everything received.
  std::string ReadUntil(const std::string& want, int timeoutMs = 5000) {
    const auto end = Deadline(timeoutMs);
    while (received_.find(want) == std::string::npos && Receive(end)) {
    }
    return Take(received_.size());
  }

  // Reads until text has arrived, or the deadline passes; returns what came up to the end of
  // text (everything when it did not come). What came after it stays for the next read.
  std::string ReadThrough(const std::string& text, int timeoutMs = 5000) {
    const auto end = Deadline(timeoutMs);
    while (received_.find(text) == std::string::npos && Receive(end)) {
    }
    const size_t at = received_.find(text);
    return Take(at == std::string::npos ? received_.size() : at + text.size());
  }

  // Reads exactly count bytes, or fewer when the deadline passes or the peer closes.
  std::string ReadExactly(size_t count, int timeoutMs = 5000) {
    const auto end = Deadline(timeoutMs);
    while (received_.size() < count && Receive(end, count - received_.size())) {
    }
    return Take(count);
  }

  // What has arrived by now, at most max bytes, without waiting.
  std::string ReadNow(size_t max = SIZE_MAX) {
    while (received_.size() < max && Pull(max - received_.size())) {
    }
    return Take(max);
  }

  // Reads what arrives within the time given.
  std::string ReadFor(int ms) {
    const auto end = Deadline(ms);
    while (Receive(end)) {
    }
    return Take(received_.size());
  }

  // Reads until the peer closes the connection, or the deadline passes (Eof() tells which).
  std::string ReadUntilClosed(int timeoutMs = 5000) {
    std::string out;
    WaitClosed(timeoutMs, &out);
    return out;
  }

  // True when the peer has closed the connection (end of stream or reset) within the time
  // given. The bytes that arrived first are moved to *before when given; else they stay.
  bool WaitClosed(int timeoutMs = 5000, std::string* before = nullptr) {
    const auto end = Deadline(timeoutMs);
    while (Receive(end)) {
    }
    if (before) *before += Take(received_.size());
    return eof_;
  }

  void Close() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }
  // Ends the connection with a reset instead of an orderly close.
  void Reset() {
    if (fd_ < 0) return;
    linger off{1, 0};
    setsockopt(fd_, SOL_SOCKET, SO_LINGER, &off, sizeof off);
    Close();
  }

 private:
  static constexpr int kSendMs = 30000;
  using Clock = std::chrono::steady_clock;
  static Clock::time_point Deadline(int ms) { return Clock::now() + std::chrono::milliseconds(ms); }
  static int Left(Clock::time_point end) {
    return static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count());
  }
  // Waits until the socket may be ready for events, or the deadline passes (false then): the
  // loop turns once, or poll() sleeps.
  bool Wait(short events, Clock::time_point end) {
    const int left = Left(end);
    if (left <= 0 || fd_ < 0) return false;
    if (turn_) {
      turn_();
      return true;
    }
    pollfd p{fd_, events, 0};
    return poll(&p, 1, left) > 0;
  }
  // Takes what the socket holds now, at most max bytes (the rest stays in the kernel, as a slow
  // reader leaves it); false when it held nothing (or the peer closed).
  bool Pull(size_t max) {
    if (fd_ < 0 || eof_) return false;
    char buf[65536];
    const ssize_t n = recv(fd_, buf, std::min(max, sizeof buf), MSG_DONTWAIT);
    if (n > 0) {
      received_.append(buf, static_cast<size_t>(n));
      return true;
    }
    if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
      eof_ = true;
      reset_ = n < 0 && errno == ECONNRESET;
    }
    return false;
  }
  // Receives more, waiting until something comes; false at the deadline or the end of stream.
  bool Receive(Clock::time_point end, size_t max = SIZE_MAX) {
    for (;;) {
      if (Pull(max)) return true;
      if (eof_ || !Wait(POLLIN, end)) return false;
    }
  }
  std::string Take(size_t count) {
    std::string out = received_.substr(0, count);
    received_.erase(0, out.size());
    return out;
  }

  int fd_ = -1;
  std::function<void()> turn_;  // set: waits turn the loop instead of sleeping
  std::string received_;        // arrived and not read yet
  bool eof_ = false;
  bool reset_ = false;
};

// A listening socket, for a test that plays a server the program calls or another program that
// holds a port.
class TcpListener {
 public:
  // On the address given; port 0 takes one the kernel chooses (Port() tells it).
  TcpListener(const char* address, int port, bool listening = true) {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr = Ipv4Address(address, port);
    ok_ = bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
          (!listening || listen(fd_, 8) == 0);
    socklen_t len = sizeof addr;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
  }
  // On every local address, as another program holding the port would.
  explicit TcpListener(int port) : TcpListener("0.0.0.0", port) {}
  // A loopback port that is bound and not listening: connections to it are refused.
  static TcpListener Refusing() { return TcpListener("127.0.0.1", 0, false); }
  ~TcpListener() { Close(); }
  TcpListener(const TcpListener&) = delete;
  TcpListener& operator=(const TcpListener&) = delete;

  bool Ok() const { return ok_; }
  int Port() const { return port_; }
  // The receive buffer the connections it accepts start with (set before they come).
  void SetReceiveBuffer(int bytes) { setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes); }
  int Fd() const { return fd_; }
  void Close() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }
  // The next connection within the time given; one that is not Connected() when none came.
  TcpClient Accept(int timeoutMs = 5000) {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) <= 0) return TcpClient();
    return TcpClient::Adopt(accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC));
  }
  // The same, turning loop while it waits, for a client on loop in this process.
  TcpClient Accept(EventLoop& loop, int timeoutMs = 5000) {
    int fd = -1;
    loop.RunUntil(
        [&] {
          pollfd p{fd_, POLLIN, 0};
          if (poll(&p, 1, 0) > 0) fd = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
          return fd >= 0;
        },
        timeoutMs);
    return fd < 0 ? TcpClient(loop) : TcpClient::Adopt(loop, fd);
  }

 private:
  int fd_ = -1;
  int port_ = 0;
  bool ok_ = false;
};

// Whether something listens on the TCP port, from the kernel's table: no probe connection that
// the program would take for a client.
inline bool IsListening(int port) {
  std::ifstream in("/proc/net/tcp");
  std::string line;
  std::getline(in, line);
  char want[8];
  std::snprintf(want, sizeof want, ":%04X", port);
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state;
    fields >> slot >> local >> remote >> state;
    if (state == "0A" && local.size() > 5 && local.substr(local.size() - 5) == want) return true;
  }
  return false;
}

inline bool WaitListening(int port, int timeoutMs = 10000) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!IsListening(port)) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

// A TCP port nobody uses right now. Taken below the kernel's ephemeral range (32768 and up), so
// that an outgoing connection of the test itself cannot take it before the program listens, and
// at random, so that test programs running at the same time rarely pick the same one.
inline int FreeTcpPort() {
  static unsigned state =
      static_cast<unsigned>(getpid()) * 2654435761u ^
      static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count());
  for (int attempt = 0; attempt < 1000; ++attempt) {
    state = state * 1103515245u + 12345u;
    int port = 20000 + static_cast<int>((state >> 8) % 12000);
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr = Ipv4Address("0.0.0.0", port);
    bool free = bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    close(fd);
    if (free) return port;
  }
  return 0;
}

// count different ports, each free when it was taken.
inline std::vector<int> FreeTcpPorts(size_t count) {
  std::vector<int> ports;
  while (ports.size() < count) {
    const int port = FreeTcpPort();
    if (port == 0) break;
    if (std::find(ports.begin(), ports.end(), port) == ports.end()) ports.push_back(port);
  }
  return ports;
}

// Makes the kernel take little of a connection's output at a time, as a slow network would
// (a fixed send buffer, no growing it).
inline void SmallSendBuffer(int fd, int bytes = 16384) {
  setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes);
}

}  // namespace kov
