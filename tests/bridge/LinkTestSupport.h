#pragma once
// What the remote link tests share: a plain TCP server on the loopback address playing the remote
// bridge server, and a fixture holding the link with an in-memory serial library, the channel
// set and a captured console.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "SerialTestSupport.h"
#include "bridge/BridgeClientChanel.h"
#include "bridge/Bridges.h"
#include "config/ConfigFile.h"
#include "event/EventLoop.h"
#include "tests/support/MemorySerial.h"

namespace kov::linktest {

inline sockaddr_in LoopbackAddress(int port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(port));
  return a;
}

// A socket bound to a fresh loopback port; listening or not.
inline int BoundSocket(bool listening, int& port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  sockaddr_in a = LoopbackAddress(0);
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      (listening && listen(fd, 8) != 0)) {
    throw std::runtime_error("test socket cannot be bound");
  }
  socklen_t len = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  port = ntohs(a.sin_port);
  return fd;
}

// A TCP port that was free on every address a moment ago. It lies below the range the system
// hands out to outgoing connections, so that the link's own connections cannot take it before a
// channel listens on it.
inline int FreePort() {
  static unsigned seed = static_cast<unsigned>(getpid()) * 7919u;
  for (int attempt = 0; attempt < 1000; ++attempt) {
    seed = seed * 1103515245u + 12345u;
    const int port = 20000 + static_cast<int>((seed >> 8) % 12000);
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = LoopbackAddress(port);
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    const bool free = fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    if (fd >= 0) close(fd);
    if (free) return port;
  }
  throw std::runtime_error("no free TCP port");
}

// A plain non-blocking TCP socket at the far end of one connection: the remote server's end, or
// a local channel's client.
class TcpPeer {
 public:
  explicit TcpPeer(int fd) : fd_(fd) {}
  TcpPeer(const TcpPeer&) = delete;
  TcpPeer& operator=(const TcpPeer&) = delete;
  ~TcpPeer() { Close(); }

  // Sends all bytes, turning the loop while the link's side is full.
  void Send(EventLoop& loop, const std::string& bytes) {
    size_t done = 0;
    bool ok = loop.RunUntil([&] {
      while (done < bytes.size()) {
        ssize_t n = send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
      }
      return true;
    });
    ASSERT_TRUE(ok) << "sent " << done << " of " << bytes.size();
  }
  // Sends what the network takes now of bytes from offset on; returns the new offset.
  size_t SendSome(const std::string& bytes, size_t offset) {
    while (offset < bytes.size()) {
      ssize_t n =
          send(fd_, bytes.data() + offset, bytes.size() - offset, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n <= 0) break;
      offset += static_cast<size_t>(n);
    }
    return offset;
  }
  // What has arrived by now, at most max bytes.
  std::string ReadNow(size_t max = 1 << 20) {
    std::string bytes;
    char chunk[65536];
    while (bytes.size() < max) {
      ssize_t n = recv(fd_, chunk, std::min(sizeof chunk, max - bytes.size()), MSG_DONTWAIT);
      if (n == 0) eof_ = true;
      if (n <= 0) break;
      bytes.append(chunk, static_cast<size_t>(n));
    }
    return bytes;
  }
  // Turns the loop until n bytes have arrived or the time is up.
  std::string ReadExactly(EventLoop& loop, size_t n, int timeoutMs = 5000) {
    std::string bytes;
    loop.RunUntil(
        [&] {
          bytes += ReadNow(n - bytes.size());
          return bytes.size() >= n;
        },
        timeoutMs);
    return bytes;
  }
  // Turns the loop until the link has closed the connection.
  bool WaitClosed(EventLoop& loop, int timeoutMs = 5000) {
    return loop.RunUntil(
        [&] {
          ReadNow();
          return eof_;
        },
        timeoutMs);
  }
  void SetReceiveBuffer(int bytes) { setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes); }
  void Close() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }
  // Closes with a reset instead of an orderly close.
  void Reset() {
    linger off{1, 0};
    setsockopt(fd_, SOL_SOCKET, SO_LINGER, &off, sizeof off);
    Close();
  }

 private:
  int fd_;
  bool eof_ = false;
};

// A client connected to 127.0.0.1:port (completes against the listener's backlog).
inline std::unique_ptr<TcpPeer> ConnectTo(int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a = LoopbackAddress(port);
  if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    throw std::runtime_error("test client cannot connect");
  }
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  return std::make_unique<TcpPeer>(fd);
}

// A plain listening socket on 127.0.0.1 playing the remote bridge server.
class RemoteServer {
 public:
  RemoteServer() : fd_(BoundSocket(true, port_)) {}
  ~RemoteServer() { close(fd_); }
  RemoteServer(const RemoteServer&) = delete;
  RemoteServer& operator=(const RemoteServer&) = delete;

  int Port() const { return port_; }
  // A connection waiting to be accepted, or -1.
  int AcceptFd() { return accept4(fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC); }
  // Turns the loop until a connection can be accepted; nullptr when none came.
  std::unique_ptr<TcpPeer> Accept(EventLoop& loop, int timeoutMs = 5000) {
    int fd = -1;
    loop.RunUntil([&] { return (fd = AcceptFd()) >= 0; }, timeoutMs);
    return fd >= 0 ? std::make_unique<TcpPeer>(fd) : nullptr;
  }
  // Sets the receive buffer that accepted connections inherit.
  void SetReceiveBuffer(int bytes) { setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes); }

 private:
  int port_ = 0;
  int fd_;
};

// A bound port on which nothing listens: connecting to it is refused.
class RefusingPort {
 public:
  RefusingPort() : fd_(BoundSocket(false, port_)) {}
  ~RefusingPort() { close(fd_); }
  RefusingPort(const RefusingPort&) = delete;
  RefusingPort& operator=(const RefusingPort&) = delete;
  int Port() const { return port_; }

 private:
  int port_ = 0;
  int fd_;
};

// The link on COM3 with an in-memory serial library and the channel set, the console captured,
// the loop on the manual clock.
class LinkTest : public ::testing::Test {
 protected:
  static constexpr int32_t kPort = 2;  // COM3
  static constexpr const char* kOk = " OK. \n\rBridge:\\>";
  static constexpr const char* kClosedByServer =
      " ERROR: Connection closed by remote server\n\rBridge:\\>";

  LinkTest() {
    loop.SetErrorHandler([this](const std::string& text) { errors.push_back(text); });
    // The local channels listen on ports of their own, away from any running program.
    std::set<int> taken;
    for (auto& port : config.Ports) {
      do {
        port.TcpPort = FreePort();
      } while (!taken.insert(port.TcpPort).second);
    }
    link.RemotePort = server.Port();
  }

  // Connects the link to the test server and accepts the connection.
  std::unique_ptr<TcpPeer> ConnectLinked(const std::string& host = "127.0.0.1") {
    EXPECT_FALSE(link.Connect(kPort, host));
    auto peer = server.Accept(loop);
    EXPECT_TRUE(peer != nullptr);
    EXPECT_TRUE(loop.RunUntil([&] { return link.Connected == 1; }));
    return peer;
  }

  // The channel set as ConnectServer leaves it: every channel closed, every flag 0.
  void StopChannels() { bridges.StopAll(); }
  int ChannelsOpened() {
    int n = 0;
    for (int i = 0; i < 8; ++i) n += bridges.Channel(i).Opened;
    return n;
  }
  int ActiveFlags() {
    int n = 0;
    for (const auto& port : config.Ports) n += port.Active;
    return n;
  }
  size_t CallCount(const std::string& call) {
    size_t n = 0;
    for (const auto& c : serial.Calls()) n += c == call;
    return n;
  }

  LogCapture log;
  EventLoop loop{EventLoop::Clock::Manual};
  MemorySerial serial{loop};
  TConfigFile config{"/nonexistent/BridgeConfig.sys"};
  TBridges bridges{loop, serial, config};
  std::vector<std::string> console;
  std::vector<std::string> errors;  // the error box
  RemoteServer server;
  TBridgeClientChanel link{loop, serial, bridges,
                           [this](const std::string& text) { console.push_back(text); }};
};

}  // namespace kov::linktest
