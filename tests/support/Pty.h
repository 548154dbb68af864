#pragma once
// A pseudo-terminal for tests: the test holds the master side and plays the serial device; the
// program opens the slave by its path.
//
// Reached through a symbolic link (as a USB adapter is through /dev/serial/by-id/...), it can be
// unplugged and plugged back: Unplug closes the master, so the program's descriptor hangs up,
// and removes the link, as udev does (the slave path itself may soon name another test's
// pseudo-terminal); Plug makes a new pseudo-terminal and links it.
//
//   Pty device(dir.Path("usb-adapter"));  // COM1=<dir>/usb-adapter in BridgePorts.conf
//   device.Unplug();
//   device.Plug();
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <stdio.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <string>

namespace kov {

class Pty {
 public:
  Pty() { Open(); }
  // A device behind a symbolic link at linkPath.
  explicit Pty(std::string linkPath) : link_(std::move(linkPath)) { Plug(); }
  ~Pty() {
    Close();
    if (!link_.empty()) unlink(link_.c_str());
  }
  Pty(const Pty&) = delete;
  Pty& operator=(const Pty&) = delete;

  // The path the program opens: the link when there is one.
  const std::string& Path() const { return link_.empty() ? path_ : link_; }
  // The pseudo-terminal's own slave path.
  const std::string& SlavePath() const { return path_; }
  int Master() const { return master_; }
  void Close() {
    if (master_ >= 0) close(master_);
    master_ = -1;
  }

  // The device goes away.
  void Unplug() {
    Close();
    if (!link_.empty()) unlink(link_.c_str());
  }
  // A new device behind the link; false when it cannot be made.
  bool Plug() {
    Close();
    if (!Open()) return false;
    if (link_.empty()) return true;
    // Replaced in one step, as udev does: the link never points nowhere while plugged.
    const std::string fresh = link_ + ".new";
    unlink(fresh.c_str());
    return symlink(path_.c_str(), fresh.c_str()) == 0 && rename(fresh.c_str(), link_.c_str()) == 0;
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
  bool Open() {
    int slave = -1;
    char name[256] = {};
    if (openpty(&master_, &slave, name, nullptr, nullptr) != 0) return false;
    termios t{};
    tcgetattr(slave, &t);
    cfmakeraw(&t);
    tcsetattr(slave, TCSANOW, &t);
    close(slave);  // the program opens the slave by path; the master keeps the pty alive
    path_ = name;
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
    fcntl(master_, F_SETFD, FD_CLOEXEC);
    return true;
  }

  int master_ = -1;
  std::string path_;
  std::string link_;
};

}  // namespace kov
