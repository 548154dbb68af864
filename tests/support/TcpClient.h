#pragma once
// A plain blocking TCP client for tests, with deadlines on every read.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <utility>

namespace kov {

class TcpClient {
 public:
  TcpClient() = default;
  explicit TcpClient(int port) { Connect(port); }
  // Takes over a connected socket (one a TcpListener accepted).
  static TcpClient Adopt(int fd) {
    TcpClient client;
    client.fd_ = fd;
    return client;
  }
  TcpClient(TcpClient&& other) noexcept : fd_(std::exchange(other.fd_, -1)), reset_(other.reset_) {}
  TcpClient& operator=(TcpClient&& other) noexcept {
    if (this != &other) {
      Close();
      fd_ = std::exchange(other.fd_, -1);
      reset_ = other.reset_;
    }
    return *this;
  }
  ~TcpClient() { Close(); }
  TcpClient(const TcpClient&) = delete;
  TcpClient& operator=(const TcpClient&) = delete;

  // from: the local address to connect from (any 127.x.y.z works on the loopback network).
  bool Connect(int port, const char* from = nullptr) {
    Close();
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (from != nullptr) {
      sockaddr_in local{};
      local.sin_family = AF_INET;
      inet_pton(AF_INET, from, &local.sin_addr);
      if (bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        Close();
        return false;
      }
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
      Close();
      return false;
    }
    int one = 1;
    setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return true;
  }
  bool Connected() const { return fd_ >= 0; }
  int Fd() const { return fd_; }

  bool Send(const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
      ssize_t n = send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
      if (n <= 0) return false;
      done += static_cast<size_t>(n);
    }
    return true;
  }

  // Reads until the received text ends with (or contains) want, or the deadline passes.
  // Returns everything received.
  std::string ReadUntil(const std::string& want, int timeoutMs = 5000) {
    std::string got;
    auto end = Deadline(timeoutMs);
    while (got.find(want) == std::string::npos) {
      if (!ReadSome(got, end)) break;
    }
    return got;
  }

  // Reads exactly count bytes, or fewer when the deadline passes or the peer closes.
  std::string ReadExactly(size_t count, int timeoutMs = 5000) {
    std::string got;
    auto end = Deadline(timeoutMs);
    while (got.size() < count) {
      if (!ReadSome(got, end, count - got.size())) break;
    }
    return got;
  }

  // Reads what arrives within the time given.
  std::string ReadFor(int ms) {
    std::string got;
    auto end = Deadline(ms);
    while (ReadSome(got, end)) {
    }
    return got;
  }

  // True when the peer has closed the connection (end of stream, or a reset: Reset() tells
  // which) within the time given; bytes that arrive first are appended to *before when given.
  bool WaitClosed(int timeoutMs = 5000, std::string* before = nullptr) {
    auto end = Deadline(timeoutMs);
    std::string got;
    for (;;) {
      int left = Left(end);
      if (left <= 0) break;
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, left) <= 0) break;
      char buf[4096];
      ssize_t n = recv(fd_, buf, sizeof buf, 0);
      if (n <= 0) {
        reset_ = n < 0;
        if (before) *before += got;
        return true;
      }
      got.append(buf, static_cast<size_t>(n));
    }
    if (before) *before += got;
    return false;
  }

  // Whether the close WaitClosed saw was a reset rather than an orderly end of the stream.
  bool Reset() const { return reset_; }

  void Close() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
    reset_ = false;
  }

 private:
  using Clock = std::chrono::steady_clock;
  static Clock::time_point Deadline(int ms) { return Clock::now() + std::chrono::milliseconds(ms); }
  static int Left(Clock::time_point end) {
    return static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count());
  }
  bool ReadSome(std::string& got, Clock::time_point end, size_t max = 65536) {
    int left = Left(end);
    if (left <= 0 || fd_ < 0) return false;
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, left) <= 0) return false;
    char buf[65536];
    ssize_t n = recv(fd_, buf, std::min(max, sizeof buf), 0);
    if (n <= 0) return false;
    got.append(buf, static_cast<size_t>(n));
    return true;
  }

  int fd_ = -1;
  bool reset_ = false;
};

// A listening socket on one local address, for a test that plays a server the program calls.
class TcpListener {
 public:
  TcpListener(const char* address, int port) {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, address, &addr.sin_addr);
    ok_ = bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 && listen(fd_, 5) == 0;
  }
  ~TcpListener() { close(fd_); }
  TcpListener(const TcpListener&) = delete;
  TcpListener& operator=(const TcpListener&) = delete;

  bool Ok() const { return ok_; }
  // The next connection within the time given; one that is not Connected() when none came.
  TcpClient Accept(int timeoutMs = 5000) {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) <= 0) return TcpClient();
    return TcpClient::Adopt(accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC));
  }

 private:
  int fd_ = -1;
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
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    bool free = bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    close(fd);
    if (free) return port;
  }
  return 0;
}

}  // namespace kov
