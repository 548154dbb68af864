#pragma once
// A pseudo-terminal playing a serial device: the harness holds the master side and writes or
// reads the device's bytes there; the program under test opens the slave path. The harness
// also holds the slave open in raw mode, so that the line is raw (no echo, no line editing)
// before the program opens it, and stays so between the program's opens and closes.
#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <utility>

namespace kov::bench {

class Pty {
 public:
  Pty() = default;
  Pty(const Pty&) = delete;
  Pty& operator=(const Pty&) = delete;
  Pty(Pty&& other) noexcept { *this = std::move(other); }
  Pty& operator=(Pty&& other) noexcept {
    if (this != &other) {
      Close();
      master = other.master;
      slave = other.slave;
      path = std::move(other.path);
      other.master = other.slave = -1;
    }
    return *this;
  }
  ~Pty() { Close(); }

  // Opens a new pair; master non-blocking, neither descriptor inherited by child processes.
  bool Open(std::string& error) {
    Close();
    char name[256] = {};
    termios raw{};
    cfmakeraw(&raw);
    cfsetispeed(&raw, B115200);
    cfsetospeed(&raw, B115200);
    raw.c_cflag |= CLOCAL | CREAD;
    if (openpty(&master, &slave, name, &raw, nullptr) != 0) {
      error = std::string("openpty: ") + std::strerror(errno);
      return false;
    }
    path = name;
    fcntl(master, F_SETFD, FD_CLOEXEC);
    fcntl(slave, F_SETFD, FD_CLOEXEC);
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    return true;
  }

  // Hangs the device up: with the master closed the slave path goes away and the program's
  // descriptor reports a hang-up.
  void Close() {
    if (master >= 0) close(master);
    if (slave >= 0) close(slave);
    master = slave = -1;
  }

  bool IsOpen() const { return master >= 0; }

  int master = -1;
  int slave = -1;
  std::string path;
};

}  // namespace kov::bench
