#pragma once
// Test helpers: a plain TCP client playing the console user, and a free port to listen on. The
// client's socket is not on the event loop; waiting for bytes turns the loop until they arrive.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "event/EventLoop.h"

namespace kov {

// A port that nothing listens on right now (bound to port 0 and released).
inline int FreePort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  socklen_t len = sizeof addr;
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  close(fd);
  return ntohs(addr.sin_port);
}

// Whether a connection to the port on the loopback address is refused (nothing listens).
inline bool ConnectionRefused(int port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool refused =
      connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 && errno == ECONNREFUSED;
  close(fd);
  return refused;
}

class ConsoleClient {
 public:
  static constexpr int kWaitMs = 3000;  // real time allowed for bytes to arrive

  // receiveBuffer above 0 makes the client's receive buffer that small, so that output to a
  // client that does not read piles up on the sending side.
  ConsoleClient(EventLoop& loop, int port, int receiveBuffer = 0) : loop_(loop) {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    if (receiveBuffer > 0) {
      setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected_ = connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    fcntl(fd_, F_SETFL, fcntl(fd_, F_GETFL) | O_NONBLOCK);
  }
  ~ConsoleClient() { Close(); }
  ConsoleClient(const ConsoleClient&) = delete;
  ConsoleClient& operator=(const ConsoleClient&) = delete;

  bool Connected() const { return connected_; }

  void Send(const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
      ssize_t n = send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
      if (n <= 0) {
        if (errno != EAGAIN) return;
        loop_.RunOnce(1);
        continue;
      }
      done += static_cast<size_t>(n);
    }
  }
  // Sends the bytes and turns the loop until the terminal has taken them in.
  void Type(const std::string& bytes) {
    Send(bytes);
    loop_.RunUntil([] { return false; }, 30);
  }

  // Turns the loop until n bytes have arrived (or the wait runs out); returns them.
  std::string Read(size_t n) {
    loop_.RunUntil(
        [&] {
          Pull();
          return received_.size() >= n || peerClosed_;
        },
        kWaitMs);
    const std::string out = received_.substr(0, n);
    received_.erase(0, out.size());
    return out;
  }
  // Reads as many bytes as expected holds; compare the result with expected.
  std::string Expect(const std::string& expected) { return Read(expected.size()); }
  // Turns the loop until text ends what has arrived; returns everything up to there.
  std::string ReadThrough(const std::string& text) {
    loop_.RunUntil(
        [&] {
          Pull();
          return received_.find(text) != std::string::npos || peerClosed_;
        },
        kWaitMs);
    const size_t at = received_.find(text);
    const size_t end = at == std::string::npos ? received_.size() : at + text.size();
    const std::string out = received_.substr(0, end);
    received_.erase(0, end);
    return out;
  }
  // Whatever arrives within a short while (real time).
  std::string Drain(int ms = 50) {
    loop_.RunUntil(
        [&] {
          Pull();
          return peerClosed_;
        },
        ms);
    Pull();
    std::string out;
    out.swap(received_);
    return out;
  }
  // Turns the loop until the terminal has closed the connection; true when it has.
  bool WaitClosed() {
    loop_.RunUntil(
        [&] {
          Pull();
          return peerClosed_;
        },
        kWaitMs);
    return peerClosed_;
  }

  // Ends the connection with a reset instead of an orderly close.
  void Reset() {
    if (fd_ < 0) return;
    linger lin{1, 0};
    setsockopt(fd_, SOL_SOCKET, SO_LINGER, &lin, sizeof lin);
    Close();
  }
  void Close() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }

 private:
  void Pull() {
    if (fd_ < 0) return;
    char buf[4096];
    while (true) {
      ssize_t n = recv(fd_, buf, sizeof buf, 0);
      if (n > 0) {
        received_.append(buf, static_cast<size_t>(n));
        continue;
      }
      if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
        peerClosed_ = true;
      }
      return;
    }
  }

  EventLoop& loop_;
  int fd_ = -1;
  bool connected_ = false;
  bool peerClosed_ = false;
  std::string received_;
};

}  // namespace kov
