#pragma once
// What the channel tests share: free TCP ports, a plain loopback TCP client driven alongside the
// loop on the test thread, a pseudo-terminal whose master end plays the serial device, the log
// and error box captured, and a count of the process's open descriptors.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pty.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "event/EventLoop.h"
#include "event/Log.h"
#include "tests/support/Descriptors.h"
#include "tests/support/LogCapture.h"
#include "tests/support/Pattern.h"

namespace kov::chantest {

// The notices as a client sees them: LF (10), the code, CR (13), VT (11), the code, CR (13).
inline std::string Notice(const std::string& code) {
  return std::string(1, char{10}) + code + char{13} + char{11} + code + char{13};
}
inline const std::string kB01 = Notice("B01S00A3");
inline const std::string kB02 = Notice("B02S00A4");
inline const std::string kB03 = Notice("B03S00A5");

inline sockaddr_in Address(const char* ip, int port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  inet_pton(AF_INET, ip, &a.sin_addr);
  a.sin_port = htons(static_cast<uint16_t>(port));
  return a;
}

// n different TCP ports that were free a moment ago: probe sockets bound to port 0 tell them,
// all held until the last is known so that none is handed out twice.
inline std::vector<int> FreeTcpPorts(size_t n) {
  std::vector<int> fds;
  std::vector<int> ports;
  for (size_t i = 0; i < n; ++i) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = Address("0.0.0.0", 0);
    socklen_t len = sizeof a;
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
      close(fd);
      break;
    }
    fds.push_back(fd);
    ports.push_back(ntohs(a.sin_port));
  }
  for (int fd : fds) close(fd);
  if (ports.size() != n) throw std::runtime_error("no free TCP port");
  return ports;
}

inline int FreeTcpPort() { return FreeTcpPorts(1)[0]; }

// Listens on the port (wildcard address), as another program holding it would.
class PortHolder {
 public:
  explicit PortHolder(int port) {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = Address("0.0.0.0", port);
    if (bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd_, 1) != 0) {
      close(fd_);
      throw std::runtime_error("cannot hold the port");
    }
  }
  ~PortHolder() { close(fd_); }
  PortHolder(const PortHolder&) = delete;
  PortHolder& operator=(const PortHolder&) = delete;

 private:
  int fd_ = -1;
};

// Whether something listens on 127.0.0.1:port.
inline bool Listening(int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a = Address("127.0.0.1", port);
  bool ok = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  close(fd);
  return ok;
}

// A plain TCP client on the loopback network. The connection completes against the listener's
// backlog without the loop; the loop then accepts it.
class TestClient {
 public:
  // from: the local address to connect from (any 127.x.y.z works on the loopback network).
  // receiveBuffer: a small socket receive buffer for a client that reads slowly (0: default).
  explicit TestClient(int port, const char* from = "127.0.0.1", int receiveBuffer = 0) {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (receiveBuffer > 0) {
      setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    }
    sockaddr_in local = Address(from, 0);
    sockaddr_in remote = Address("127.0.0.1", port);
    if (bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        connect(fd_, reinterpret_cast<sockaddr*>(&remote), sizeof remote) != 0) {
      close(fd_);
      throw std::runtime_error("test client cannot connect to port " + std::to_string(port));
    }
    fcntl(fd_, F_SETFL, fcntl(fd_, F_GETFL) | O_NONBLOCK);
  }
  // Takes over a connected socket (the far end of a connection the program made).
  static std::unique_ptr<TestClient> Adopt(int fd) {
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    return std::unique_ptr<TestClient>(new TestClient(Adopted{fd}));
  }
  ~TestClient() { Close(); }
  TestClient(const TestClient&) = delete;
  TestClient& operator=(const TestClient&) = delete;

  int Fd() const { return fd_; }
  bool Eof() const { return eof_; }

  // Sends what the network takes now; returns the count.
  size_t SendSome(std::string_view bytes) {
    ssize_t n = send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    return n > 0 ? static_cast<size_t>(n) : 0;
  }
  // Sends all bytes, turning the loop while the network is full.
  void Send(EventLoop& loop, std::string_view bytes) {
    size_t done = 0;
    loop.RunUntil([&] {
      done += SendSome(bytes.substr(done));
      return done == bytes.size();
    });
    if (done != bytes.size()) throw std::runtime_error("test client cannot send");
  }
  // Reads what is there now, at most max bytes.
  std::string ReadNow(size_t max = SIZE_MAX) {
    std::string out;
    char buf[65536];
    while (out.size() < max) {
      ssize_t n = recv(fd_, buf, std::min(sizeof buf, max - out.size()), MSG_DONTWAIT);
      if (n == 0) eof_ = true;
      if (n <= 0) break;
      out.append(buf, static_cast<size_t>(n));
    }
    return out;
  }
  // Turns the loop until n bytes have arrived (or the time is up); returns what arrived.
  std::string ReadExactly(EventLoop& loop, size_t n, int timeoutMs = 5000) {
    std::string out;
    loop.RunUntil(
        [&] {
          out += ReadNow(n - out.size());
          return out.size() >= n || eof_;
        },
        timeoutMs);
    return out;
  }
  // Turns the loop until the other side has closed; the bytes read on the way are returned.
  std::string ReadUntilClosed(EventLoop& loop, int timeoutMs = 5000) {
    std::string out;
    loop.RunUntil(
        [&] {
          out += ReadNow();
          return eof_;
        },
        timeoutMs);
    return out;
  }
  // Turns the loop a few times and returns whatever arrived meanwhile.
  std::string Settle(EventLoop& loop, int turns = 20) {
    std::string out;
    for (int i = 0; i < turns; ++i) {
      loop.RunOnce(1);
      out += ReadNow();
    }
    return out;
  }
  void Close() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }
  // Ends the connection with a reset instead of an orderly close.
  void Reset() {
    linger l{1, 0};
    setsockopt(fd_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    Close();
  }

 private:
  struct Adopted {
    int fd;
  };
  explicit TestClient(Adopted adopted) : fd_(adopted.fd) {}

  int fd_ = -1;
  bool eof_ = false;
};

// The device's end of a pseudo-terminal, driven by the test between loop turns. The serial
// layer opens SlavePath(); the test also keeps a slave descriptor of its own so that the master
// stays usable while the port is closed.
class DevicePty {
 public:
  DevicePty() {
    char name[256];
    if (openpty(&master_, &slave_, name, nullptr, nullptr) != 0) {
      throw std::runtime_error("openpty failed");
    }
    path_ = name;
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
    fcntl(master_, F_SETFD, FD_CLOEXEC);
    fcntl(slave_, F_SETFD, FD_CLOEXEC);
  }
  ~DevicePty() {
    close(master_);
    close(slave_);
  }
  DevicePty(const DevicePty&) = delete;
  DevicePty& operator=(const DevicePty&) = delete;

  const std::string& SlavePath() const { return path_; }
  int MasterFd() const { return master_; }

  // Writes what the pseudo-terminal takes now; returns the count.
  size_t WriteSome(std::string_view bytes) {
    ssize_t n = write(master_, bytes.data(), bytes.size());
    return n > 0 ? static_cast<size_t>(n) : 0;
  }
  // Reads what is there now, at most max bytes.
  std::string ReadNow(size_t max = SIZE_MAX) {
    std::string out;
    char buf[65536];
    while (out.size() < max) {
      ssize_t n = read(master_, buf, std::min(sizeof buf, max - out.size()));
      if (n <= 0) break;
      out.append(buf, static_cast<size_t>(n));
    }
    return out;
  }

 private:
  int master_ = -1;
  int slave_ = -1;
  std::string path_;
};

using LogLines = LogCapture;

// Makes the kernel take little of a connection's output at a time, as a slow network would
// (a fixed send buffer, no growing it).
inline void SmallSendBuffer(int fd, int bytes = 16384) {
  setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes);
}

inline std::string Pattern(size_t size, uint32_t seed = 7) { return PatternBytes(size, seed); }

// Where two byte strings first differ, for a readable failure on megabytes.
inline std::string Difference(const std::string& got, const std::string& want) {
  size_t i = 0;
  while (i < got.size() && i < want.size() && got[i] == want[i]) ++i;
  if (i == got.size() && i == want.size()) return "equal";
  return "sizes " + std::to_string(got.size()) + " and " + std::to_string(want.size()) +
         ", first difference at byte " + std::to_string(i);
}

// Turns the loop (waiting at most 1 ms per turn) and runs step after each turn until it answers
// true or realTimeoutMs have passed. Returns the last answer.
inline bool Drive(EventLoop& loop, const std::function<bool()>& step, int realTimeoutMs = 30000) {
  auto start = std::chrono::steady_clock::now();
  for (;;) {
    loop.RunOnce(1);
    if (step()) return true;
    auto elapsed = std::chrono::steady_clock::now() - start;
    if (elapsed > std::chrono::milliseconds(realTimeoutMs)) return false;
  }
}

}  // namespace kov::chantest
