#pragma once
// What the serial tests share: a pseudo-terminal whose master end plays the serial device on the
// test's event loop, and a capture of the log lines.
#include <fcntl.h>
#include <pty.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
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

namespace kov {

// The device's end of a pseudo-terminal. The port layer opens SlavePath(); the test sends and
// receives on the master through the loop. The test keeps a slave descriptor of its own, never
// read, to look at the settings the port got.
class TestPty {
 public:
  explicit TestPty(EventLoop& loop) {
    char name[256];
    if (openpty(&master_, &slave_, name, nullptr, nullptr) != 0) {
      throw std::runtime_error("openpty failed");
    }
    path_ = name;
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
    fcntl(master_, F_SETFD, FD_CLOEXEC);
    fcntl(slave_, F_SETFD, FD_CLOEXEC);
    watch_ = std::make_unique<FdWatch>(loop, master_, [this](uint32_t) { Pump(); });
    watch_->SetRead(true);
  }
  ~TestPty() {
    watch_.reset();
    if (master_ >= 0) close(master_);
    if (slave_ >= 0) close(slave_);
  }
  TestPty(const TestPty&) = delete;
  TestPty& operator=(const TestPty&) = delete;

  const std::string& SlavePath() const { return path_; }
  int SlaveFd() const { return slave_; }

  // Queues bytes for the port; they go out as fast as the pseudo-terminal takes them.
  void Send(std::string_view bytes) {
    unsent_.append(bytes);
    Pump();
  }
  size_t Unsent() const { return unsent_.size() - sentOffset_; }
  // Whether a write found the pseudo-terminal full since the last call.
  bool TakeWriteBlocked() { return std::exchange(writeBlocked_, false); }

  std::string& Received() { return received_; }
  // A device that does not read makes the port's writes back up.
  void SetReading(bool on) {
    reading_ = on;
    Update();
  }

  // Reads at most max bytes now, as a slow device would, whether reading is on or not.
  size_t ReadSome(size_t max) {
    std::string chunk(max, '\0');
    ssize_t n = read(master_, chunk.data(), max);
    if (n <= 0) return 0;
    received_.append(chunk.data(), static_cast<size_t>(n));
    return static_cast<size_t>(n);
  }

  // The device goes away: the port's side sees a hang-up.
  void CloseMaster() {
    watch_.reset();
    close(master_);
    master_ = -1;
  }

 private:
  void Pump() {
    while (Unsent() > 0) {
      ssize_t n = write(master_, unsent_.data() + sentOffset_, Unsent());
      if (n <= 0) {
        if (n < 0 && errno == EAGAIN) writeBlocked_ = true;
        break;
      }
      sentOffset_ += static_cast<size_t>(n);
    }
    if (sentOffset_ == unsent_.size()) {
      unsent_.clear();
      sentOffset_ = 0;
    }
    char chunk[65536];
    while (reading_) {
      ssize_t n = read(master_, chunk, sizeof chunk);
      if (n <= 0) break;  // EAGAIN, or EIO while no slave is open
      received_.append(chunk, static_cast<size_t>(n));
    }
    Update();
  }
  void Update() {
    if (!watch_) return;
    watch_->SetRead(reading_);
    watch_->SetWrite(Unsent() > 0);
  }

  int master_ = -1;
  int slave_ = -1;
  std::string path_;
  std::string unsent_;
  size_t sentOffset_ = 0;
  bool writeBlocked_ = false;
  bool reading_ = true;
  std::string received_;
  std::unique_ptr<FdWatch> watch_;
};

}  // namespace kov
