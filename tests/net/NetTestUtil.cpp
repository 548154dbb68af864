#include "NetTestUtil.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <stdexcept>

namespace kov::test {

namespace {

sockaddr_in Loopback(int port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(port));
  return a;
}

void SetNonBlocking(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK); }

}  // namespace

int FreePort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a = Loopback(0);
  a.sin_addr.s_addr = htonl(INADDR_ANY);
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) throw std::runtime_error("bind");
  socklen_t len = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  close(fd);
  return ntohs(a.sin_port);
}

int64_t FillUntilQueued(TCustomWinSocket& socket) {
  const std::string piece(64 * 1024, 'w');
  int64_t total = 0;
  for (int i = 0; i < 4096 && socket.OutputQueued() == 0; ++i) {
    if (socket.SendString(piece) != static_cast<int32_t>(piece.size())) break;
    total += static_cast<int64_t>(piece.size());
  }
  if (socket.OutputQueued() == 0) throw std::runtime_error("the network takes everything");
  return total;
}

Peer::Peer(int port) {
  fd_ = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a = Loopback(port);
  if (connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(fd_);
    throw std::runtime_error("test peer cannot connect");
  }
  SetNonBlocking(fd_);
}

Peer Peer::Adopt(int fd) {
  Peer p;
  p.fd_ = fd;
  SetNonBlocking(fd);
  return p;
}

Peer::Peer(Peer&& other) noexcept : fd_(other.fd_), eof_(other.eof_) { other.fd_ = -1; }

Peer::~Peer() { Close(); }

void Peer::Send(EventLoop& loop, const std::string& bytes) {
  size_t done = 0;
  loop.RunUntil([&] {
    while (done < bytes.size()) {
      ssize_t n = send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
      if (n <= 0) return false;
      done += static_cast<size_t>(n);
    }
    return true;
  });
  if (done != bytes.size()) throw std::runtime_error("test peer cannot send");
}

std::string Peer::ReadNow(size_t max) {
  std::string out;
  char buf[65536];
  while (out.size() < max) {
    size_t want = std::min(sizeof buf, max - out.size());
    ssize_t n = recv(fd_, buf, want, 0);
    if (n == 0) eof_ = true;
    if (n <= 0) break;
    out.append(buf, static_cast<size_t>(n));
  }
  return out;
}

std::string Peer::ReadExactly(EventLoop& loop, size_t n, int timeoutMs) {
  std::string out;
  loop.RunUntil(
      [&] {
        out += ReadNow(n - out.size());
        return out.size() >= n;
      },
      timeoutMs);
  return out;
}

bool Peer::WaitClosed(EventLoop& loop, std::string* rest, int timeoutMs) {
  return loop.RunUntil(
      [&] {
        std::string got = ReadNow();
        if (rest) *rest += got;
        return eof_;
      },
      timeoutMs);
}

void Peer::Close() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

void Peer::Reset() {
  linger l{1, 0};
  setsockopt(fd_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
  Close();
}

Listener::Listener(int port) {
  fd_ = socket(AF_INET, SOCK_STREAM, 0);
  int one = 1;
  setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a = Loopback(port);
  if (bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd_, 5) != 0) {
    throw std::runtime_error("test listener");
  }
  SetNonBlocking(fd_);
}

Listener::~Listener() { close(fd_); }

Peer Listener::Accept(EventLoop& loop, int timeoutMs) {
  int fd = -1;
  loop.RunUntil(
      [&] {
        fd = accept(fd_, nullptr, nullptr);
        return fd >= 0;
      },
      timeoutMs);
  if (fd < 0) throw std::runtime_error("test listener: nothing to accept");
  return Peer::Adopt(fd);
}

}  // namespace kov::test
