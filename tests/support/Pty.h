#pragma once
// A pseudo-terminal for tests: the test holds the master side and plays the serial device; the
// program opens the slave by its path.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <string>

namespace kov {

class Pty {
 public:
  Pty() {
    int slave = -1;
    char name[256] = {};
    if (openpty(&master_, &slave, name, nullptr, nullptr) == 0) {
      termios t{};
      tcgetattr(slave, &t);
      cfmakeraw(&t);
      tcsetattr(slave, TCSANOW, &t);
      close(slave);  // the program opens the slave by path; the master keeps the pty alive
      path_ = name;
      fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
      fcntl(master_, F_SETFD, FD_CLOEXEC);
    }
  }
  ~Pty() { Close(); }
  Pty(const Pty&) = delete;
  Pty& operator=(const Pty&) = delete;

  const std::string& Path() const { return path_; }
  int Master() const { return master_; }
  void Close() {
    if (master_ >= 0) close(master_);
    master_ = -1;
  }

  bool Write(const std::string& bytes, int timeoutMs = 5000) {
    size_t done = 0;
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (done < bytes.size()) {
      ssize_t n = write(master_, bytes.data() + done, bytes.size() - done);
      if (n > 0) {
        done += static_cast<size_t>(n);
        continue;
      }
      if (std::chrono::steady_clock::now() > end) return false;
      pollfd p{master_, POLLOUT, 0};
      poll(&p, 1, 10);
    }
    return true;
  }

  // Reads exactly count bytes, or what arrived before the deadline.
  std::string ReadExactly(size_t count, int timeoutMs = 5000) {
    std::string got;
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (got.size() < count && std::chrono::steady_clock::now() < end) {
      pollfd p{master_, POLLIN, 0};
      if (poll(&p, 1, 10) <= 0) continue;
      char buf[65536];
      ssize_t n = read(master_, buf, std::min(sizeof buf, count - got.size()));
      if (n > 0) got.append(buf, static_cast<size_t>(n));
    }
    return got;
  }

 private:
  int master_ = -1;
  std::string path_;
};

}  // namespace kov
