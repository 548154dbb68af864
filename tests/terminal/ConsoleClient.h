#pragma once
// Test helpers: a plain TCP client playing the console user, another program's listener, and
// free ports. The client's socket is not on the event loop; waiting for bytes turns the loop
// until they arrive.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "event/EventLoop.h"

namespace kov {

inline sockaddr_in LoopbackAddress(int port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return addr;
}

// A listener of the test's own (another program, or a remote server that never reads) on port,
// or on a free port when port is 0.
class TestListener {
 public:
  explicit TestListener(int port = 0) {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    int on = 1;  // connections of an earlier listener in TIME_WAIT do not stand in the way
    setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in addr = LoopbackAddress(port);
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    held_ = bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 && listen(fd_, 4) == 0;
    socklen_t len = sizeof addr;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
  }
  ~TestListener() { Release(); }
  TestListener(const TestListener&) = delete;
  TestListener& operator=(const TestListener&) = delete;

  bool Held() const { return held_; }
  int Port() const { return port_; }
  void Release() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
  int port_ = 0;
  bool held_ = false;
};

// A port that nothing listens on right now.
inline int FreePort() { return TestListener().Port(); }

// Whether a connection to the port on the loopback address is refused (nothing listens).
inline bool ConnectionRefused(int port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr = LoopbackAddress(port);
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
    sockaddr_in addr = LoopbackAddress(port);
    connected_ = connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    fcntl(fd_, F_SETFL, fcntl(fd_, F_GETFL) | O_NONBLOCK);
  }
  ~ConsoleClient() { Close(); }
  ConsoleClient(const ConsoleClient&) = delete;
  ConsoleClient& operator=(const ConsoleClient&) = delete;

  bool Connected() const { return connected_; }

  void Send(const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size() && fd_ >= 0) {
      ssize_t n = send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
      if (n > 0) {
        done += static_cast<size_t>(n);
      } else if (errno == EAGAIN) {
        loop_.RunOnce(1);
      } else {
        return;
      }
    }
  }

  // Turns the loop until as many bytes as expected holds have arrived (or the wait runs out);
  // returns them, for comparison with expected.
  std::string Expect(const std::string& expected) {
    WaitFor([&] { return received_.size() >= expected.size(); }, kWaitMs);
    return Take(expected.size());
  }
  // Turns the loop until text has arrived; returns everything up to its end.
  std::string ReadThrough(const std::string& text) {
    WaitFor([&] { return received_.find(text) != std::string::npos; }, kWaitMs);
    const size_t at = received_.find(text);
    return Take(at == std::string::npos ? received_.size() : at + text.size());
  }
  // Whatever arrives within a short while of real time.
  std::string Drain(int ms = 50) {
    WaitFor([] { return false; }, ms);
    return Take(received_.size());
  }
  // Turns the loop until the terminal has closed the connection; true when it has.
  bool WaitClosed() {
    WaitFor([] { return false; }, kWaitMs);
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
  // Turns the loop, collecting what arrives, until done() holds, the peer closed, or ms passed.
  template <typename Done>
  void WaitFor(Done done, int ms) {
    loop_.RunUntil(
        [&] {
          Pull();
          return done() || peerClosed_;
        },
        ms);
    Pull();
  }
  std::string Take(size_t n) {
    const std::string out = received_.substr(0, n);
    received_.erase(0, out.size());
    return out;
  }
  void Pull() {
    char buf[4096];
    while (fd_ >= 0) {
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
