#pragma once
// A pseudo-terminal for tests: the test holds the master side and plays the serial device; the
// program opens the slave by its path.
//
// It waits one of two ways, as TcpClient does. For the real program in another process, waits
// sleep in poll(). For a serial layer on a loop in this process, the device lives on that loop:
// waits turn it, what the port sends is collected as it turns (while reading is on), and Send
// queues bytes that go out as the pseudo-terminal takes them. Such a device also holds a slave
// descriptor of its own (SlaveFd()), to look at the line the port set and to keep the master
// usable while the port is closed.
//
// Reached through a symbolic link (as a USB adapter is through /dev/serial/by-id/...), it can be
// unplugged and plugged back: Unplug closes the master, so the program's descriptor hangs up,
// and removes the link, as udev does (the slave path itself may soon name another test's
// pseudo-terminal); Plug makes a new pseudo-terminal and links it.
//
//   Pty device(dir.Path("usb-adapter"));  // COM1=<dir>/usb-adapter in BridgePorts.conf
//   device.Unplug();
//   device.Plug();
//   Pty pty(loop);                        // the device of a serial layer on loop
//   pty.Send(bytes);
//   loop.RunUntil([&] { return pty.Received().size() >= n; });
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <stdio.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "event/EventLoop.h"

namespace kov {

class Pty {
 public:
  Pty() { Open(); }
  // A device behind a symbolic link at linkPath.
  explicit Pty(std::string linkPath) : link_(std::move(linkPath)) { Plug(); }
  // A device on loop, in this process.
  explicit Pty(EventLoop& loop) : loop_(&loop) { Open(); }
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
  // The test's own slave descriptor (a device on a loop only; -1 otherwise).
  int SlaveFd() const { return slave_; }
  // The device goes away: the port's side sees a hang-up.
  void Close() {
    watch_.reset();
    if (master_ >= 0) close(master_);
    if (slave_ >= 0) close(slave_);
    master_ = slave_ = -1;
    unsent_.clear();
  }

  // The device goes away, link and all.
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

  // Queues bytes for the port; they go out as fast as the pseudo-terminal takes them (on a
  // loop, as it turns; else at the next write).
  void Send(std::string_view bytes) {
    unsent_.append(bytes);
    Pump();
  }
  size_t Unsent() const { return unsent_.size(); }
  // Writes all bytes, waiting while the pseudo-terminal is full; false at the deadline.
  bool Write(const std::string& bytes, int timeoutMs = 5000) {
    const auto end = Deadline(timeoutMs);
    Send(bytes);
    while (Unsent() > 0) {
      if (!Wait(POLLOUT, end)) return false;
      Pump();
    }
    return true;
  }

  // What the port sent and no read has taken yet.
  std::string& Received() { return received_; }
  // A device that does not read makes the port's writes back up (a device on a loop).
  void SetReading(bool on) {
    reading_ = on;
    Update();
  }
  // Takes at most max bytes into Received() now, as a slow device would, reading on or not;
  // returns the count.
  size_t ReadSome(size_t max) {
    const size_t before = received_.size();
    while (received_.size() - before < max && Pull(max - (received_.size() - before))) {
    }
    return received_.size() - before;
  }
  // What has arrived by now, at most max bytes, without waiting.
  std::string ReadNow(size_t max = SIZE_MAX) {
    if (received_.size() < max) ReadSome(max - received_.size());
    return Take(max);
  }
  // Reads exactly count bytes, or what arrived before the deadline.
  std::string ReadExactly(size_t count, int timeoutMs = 5000) {
    const auto end = Deadline(timeoutMs);
    while (received_.size() < count) {
      if (ReadSome(count - received_.size()) == 0 && !Wait(POLLIN, end)) break;
    }
    return Take(count);
  }

 private:
  using Clock = std::chrono::steady_clock;
  static Clock::time_point Deadline(int ms) { return Clock::now() + std::chrono::milliseconds(ms); }

  bool Open() {
    char name[256] = {};
    if (openpty(&master_, &slave_, name, nullptr, nullptr) != 0) return false;
    termios t{};
    tcgetattr(slave_, &t);
    cfmakeraw(&t);
    tcsetattr(slave_, TCSANOW, &t);
    path_ = name;
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
    fcntl(master_, F_SETFD, FD_CLOEXEC);
    fcntl(slave_, F_SETFD, FD_CLOEXEC);
    if (!loop_) {
      close(slave_);  // the program opens the slave by path; the master keeps the pty alive
      slave_ = -1;
      return true;
    }
    watch_ = std::make_unique<FdWatch>(*loop_, master_, [this](uint32_t) { Pump(); });
    Update();
    return true;
  }
  // Waits until the master may be ready for events, or the deadline passes (false then): the
  // loop turns once, or poll() sleeps a little.
  bool Wait(short events, Clock::time_point end) {
    if (Clock::now() >= end || master_ < 0) return false;
    if (loop_) {
      loop_->RunOnce(1);
    } else {
      pollfd p{master_, events, 0};
      poll(&p, 1, 10);
    }
    return true;
  }
  // Takes at most max bytes of what the master holds now; false when it held nothing (or no
  // slave is open).
  bool Pull(size_t max) {
    if (master_ < 0) return false;
    char chunk[65536];
    const ssize_t n = read(master_, chunk, std::min(max, sizeof chunk));
    if (n <= 0) return false;
    received_.append(chunk, static_cast<size_t>(n));
    return true;
  }
  // Moves what it can both ways: the queued bytes out, and (on a loop, reading) what came in.
  void Pump() {
    while (!unsent_.empty() && master_ >= 0) {
      const ssize_t n = write(master_, unsent_.data(), unsent_.size());
      if (n <= 0) break;
      unsent_.erase(0, static_cast<size_t>(n));
    }
    while (loop_ && reading_ && Pull(SIZE_MAX)) {
    }
    Update();
  }
  void Update() {
    if (!watch_) return;
    watch_->SetRead(reading_);
    watch_->SetWrite(!unsent_.empty());
  }
  std::string Take(size_t count) {
    std::string out = received_.substr(0, count);
    received_.erase(0, out.size());
    return out;
  }

  EventLoop* loop_ = nullptr;  // set: a device on this loop
  int master_ = -1;
  int slave_ = -1;
  std::string path_;
  std::string link_;
  std::unique_ptr<FdWatch> watch_;
  std::string unsent_;    // queued by Send, not taken by the pseudo-terminal yet
  std::string received_;  // arrived and not read yet
  bool reading_ = true;
};

}  // namespace kov
