#pragma once
// Loopback TCP for the harness on plain descriptors, which the byte flows share: client
// connections, reads and writes with a deadline. Free ports come from the test support.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "bench_proc.h"
#include "tests/support/TcpClient.h"

namespace kov::bench {

using kov::FreeTcpPort;

inline void SetNonBlocking(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK); }

// Connects to 127.0.0.1:port; the connection comes back non-blocking with TCP_NODELAY.
inline int Connect(int port, std::string& error) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    error = "connect to port " + std::to_string(port) + ": " + std::strerror(errno);
    close(fd);
    return -1;
  }
  const int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  SetNonBlocking(fd);
  return fd;
}

// Closes with a reset instead of the orderly close: the peer's next send fails.
inline void Abort(int fd) {
  linger off{1, 0};
  setsockopt(fd, SOL_SOCKET, SO_LINGER, &off, sizeof off);
  close(fd);
}

// Waits for fd to become ready for events; false on timeout.
inline bool WaitFor(int fd, short events, int64_t deadlineNs) {
  for (;;) {
    const int64_t left = (deadlineNs - NowNs()) / 1000000;
    if (left < 0) return false;
    pollfd p{fd, events, 0};
    const int rc = poll(&p, 1, static_cast<int>(left) + 1);
    if (rc > 0) return true;
    if (rc < 0 && errno != EINTR) return false;
  }
}

// Reads exactly n bytes. False on timeout, end of stream or error (got tells how many came).
inline bool ReadExact(int fd, char* out, size_t n, int timeoutMs, size_t* got = nullptr) {
  const int64_t deadline = NowNs() + int64_t{timeoutMs} * 1000000;
  size_t have = 0;
  while (have < n) {
    const ssize_t r = read(fd, out + have, n - have);
    if (r > 0) {
      have += static_cast<size_t>(r);
      continue;
    }
    if (r == 0 || (errno != EAGAIN && errno != EINTR) || !WaitFor(fd, POLLIN, deadline)) break;
  }
  if (got) *got = have;
  return have == n;
}

inline bool WriteAll(int fd, const char* data, size_t n, int timeoutMs) {
  const int64_t deadline = NowNs() + int64_t{timeoutMs} * 1000000;
  while (n > 0) {
    const ssize_t w = write(fd, data, n);
    if (w > 0) {
      data += w;
      n -= static_cast<size_t>(w);
      continue;
    }
    if (w < 0 && errno != EAGAIN && errno != EINTR) return false;
    if (!WaitFor(fd, POLLOUT, deadline)) return false;
  }
  return true;
}

inline bool WriteAll(int fd, const std::string& text, int timeoutMs) {
  return WriteAll(fd, text.data(), text.size(), timeoutMs);
}

// Reads until the peer closes. closed tells whether it did within the time.
inline std::string ReadToEnd(int fd, int timeoutMs, bool& closed, size_t limit = 1 << 20) {
  const int64_t deadline = NowNs() + int64_t{timeoutMs} * 1000000;
  std::string data;
  char buf[4096];
  closed = false;
  while (data.size() < limit) {
    const ssize_t r = read(fd, buf, sizeof buf);
    if (r > 0) {
      data.append(buf, static_cast<size_t>(r));
      continue;
    }
    if (r == 0 || (errno != EAGAIN && errno != EINTR)) {
      closed = true;  // end of stream, or reset
      break;
    }
    if (!WaitFor(fd, POLLIN, deadline)) break;
  }
  return data;
}

// Shows bytes readably in messages: printable characters as they are, others as \xNN.
inline std::string Printable(const std::string& bytes) {
  std::string out;
  for (unsigned char c : bytes) {
    if (c >= 32 && c < 127 && c != '\\') {
      out += static_cast<char>(c);
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02x", c);
      out += hex;
    }
  }
  return out;
}

}  // namespace kov::bench
