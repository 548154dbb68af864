#include "bridge/TermiosSerial.h"

#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>
#include <stdexcept>

#include "event/EventLoop.h"

namespace kov {
namespace {

constexpr speed_t kSpeeds[kSioBaudCodes] = {B300,  B600,   B1200,  B2400,  B4800,
                                            B9600, B19200, B38400, B57600, B115200};

// Reads per readiness event at most; a short read ends the round earlier.
constexpr int kReadRounds = 8;

std::string ErrorText(int err) { return std::strerror(err); }

// The errors of a device that is no longer there (unplugged, or its driver gone).
bool DeviceGoneError(int err) { return err == EIO || err == ENXIO || err == ENODEV; }

// Unix98 pseudo-terminal slaves (majors 136..143) and the old BSD ones (major 3).
bool IsPseudoTerminal(int fd) {
  struct stat info {};
  if (fstat(fd, &info) != 0 || !S_ISCHR(info.st_mode)) return false;
  unsigned m = major(info.st_rdev);
  return (m >= 136 && m <= 143) || m == 3;
}

// Builds the whole termios setting and applies it in one call, then judges by what the device
// kept: a pseudo-terminal holds neither the parity bit nor 7 data bits, and when such a bit is
// the only change asked for, tcsetattr reports EINVAL although all it can hold was applied.
// Returns 0, kSioBadBaud when the rate did not stick, or kSioHardware; why gets the reason and
// err the errno of a failed call (0 when the device merely did not keep the setting).
int32_t ApplyTermios(int fd, const LineSettings& s, bool pty, std::string& why, int& err) {
  err = 0;
  termios t{};
  if (tcgetattr(fd, &t) != 0) {
    err = errno;
    why = ErrorText(err);
    return kSioHardware;
  }
  cfmakeraw(&t);
  t.c_iflag &= ~(IXON | IXOFF | IXANY | INPCK);
  t.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
  t.c_cflag |= CLOCAL | CREAD | (s.dataBits == 7 ? CS7 : CS8);
  if (s.parity != 0) t.c_cflag |= PARENB | (s.parity == 1 ? PARODD : 0);
  if (s.stopBits == 1) t.c_cflag |= CSTOPB;
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 0;
  speed_t speed = kSpeeds[s.baudCode];
  cfsetispeed(&t, speed);
  cfsetospeed(&t, speed);
  int rc = tcsetattr(fd, TCSANOW, &t);
  int setErr = errno;
  if (rc != 0 && DeviceGoneError(setErr)) {
    err = setErr;
    why = ErrorText(err);
    return kSioHardware;
  }

  termios kept{};
  if (tcgetattr(fd, &kept) != 0) {
    err = errno;
    why = ErrorText(err);
    return kSioHardware;
  }
  if (cfgetospeed(&kept) != speed) {
    why = rc != 0 ? ErrorText(setErr) : "rate not kept by the device";
    return kSioBadBaud;
  }
  tcflag_t judged = CSTOPB | (pty ? 0 : CSIZE | PARENB | PARODD);
  if ((kept.c_cflag & judged) != (t.c_cflag & judged)) {
    why = rc != 0 ? ErrorText(setErr) : "settings not kept by the device";
    return kSioHardware;
  }
  return 0;
}

}  // namespace

TermiosSerial::TermiosSerial(EventLoop& loop, std::array<std::string, kSioPortCount> devicePaths)
    : SerialLibrary(loop), loop_(loop), paths_(std::move(devicePaths)) {}

TermiosSerial::~TermiosSerial() { CloseAll(); }

TermiosSerial::Port* TermiosSerial::Live(int32_t port, uint64_t openId) {
  Port* p = ports_[port].get();
  return p && p->openId == openId ? p : nullptr;
}

// ---------------------------------------------------------------------------------------------
// Opening and closing

int32_t TermiosSerial::OpenDevice(int32_t index, size_t rxSize, size_t txSize, std::string& why) {
  const std::string& path = paths_[index];
  std::unique_ptr<Port> p;
  try {
    p = std::make_unique<Port>();
    p->rx.Reset(rxSize);
    p->tx.Reset(txSize);
  } catch (const std::bad_alloc&) {
    why = "no memory for the queues";
    return kSioNoMemory;
  }

  auto refuse = [&](const std::string& reason, bool exclusive) {
    if (exclusive) ioctl(p->fd, TIOCNXCL);
    if (p->fd >= 0) close(p->fd);
    why = reason;
    return kSioCannotOpen;
  };

  p->fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (p->fd < 0) return refuse(ErrorText(errno), false);
  if (!isatty(p->fd)) return refuse("not a terminal device", false);
  // flock is what keeps out another process, root included; TIOCEXCL additionally keeps
  // programs that do not take the lock from opening the device (root excepted).
  if (flock(p->fd, LOCK_EX | LOCK_NB) != 0) {
    return refuse(errno == EWOULDBLOCK ? "held by another program" : ErrorText(errno), false);
  }
  if (ioctl(p->fd, TIOCEXCL) != 0) return refuse(ErrorText(errno), false);
  p->pty = IsPseudoTerminal(p->fd);

  std::string reason;
  int err = 0;
  if (ApplyTermios(p->fd, LineSettings{}, p->pty, reason, err) != 0) {
    return refuse("cannot set raw mode: " + reason, true);
  }

  uint64_t openId = nextOpenId_++;
  p->openId = openId;
  try {
    p->watch = std::make_unique<FdWatch>(loop_, p->fd, [this, index, openId](uint32_t events) {
      OnDeviceEvents(index, openId, events);
    });
    p->watch->SetRead(true);
  } catch (const std::exception& ex) {
    p->watch.reset();
    return refuse(ex.what(), true);
  }
  ports_[index] = std::move(p);
  return 0;
}

int32_t TermiosSerial::CloseDevice(int32_t index, size_t& unsent) {
  std::unique_ptr<Port> p = std::move(ports_[index]);
  if (!p) return 0;
  unsent = p->tx.Size();
  // A serial line's close waits until the kernel has sent its output queue, up to half a
  // minute; unsent output is discarded instead, so the loop never waits. A pseudo-terminal's
  // close does not wait, and flushing it would discard what the other side has not yet read.
  int queued = 0;
  if (p->fd >= 0 && !p->pty && ioctl(p->fd, TIOCOUTQ, &queued) == 0 && queued > 0) {
    tcflush(p->fd, TCOFLUSH);
    unsent += static_cast<size_t>(queued);
  }
  ReleaseDevice(*p);
  return 0;
}

void TermiosSerial::ReleaseDevice(Port& p) {
  p.watch.reset();  // safe inside the watch's own handler
  if (p.fd < 0) return;
  // A pseudo-terminal keeps its exclusive flag after the last close; cleared so that a later
  // open by another user succeeds.
  ioctl(p.fd, TIOCNXCL);
  close(p.fd);  // releases the lock too
  p.fd = -1;
}

void TermiosSerial::Lose(int32_t port, const std::string& why) {
  Port& p = *ports_[port];
  ReleaseDevice(p);
  const size_t unsent = p.tx.Size();
  p.tx.Clear();
  ReportDeviceLost(port, why, unsent);
}

// ---------------------------------------------------------------------------------------------
// Settings

int32_t TermiosSerial::ApplySettings(int32_t port, SioStep, const LineSettings& current,
                                     const LineSettings& wanted, std::string& why) {
  Port& p = *ports_[port];
  int err = 0;
  const int32_t rc = ApplyTermios(p.fd, wanted, p.pty, why, err);
  if (rc == 0) return 0;
  if (DeviceGoneError(err)) {
    Lose(port, why);
    return kSioHardware;
  }
  // Whatever part of the setting the device took is undone.
  std::string ignored;
  ApplyTermios(p.fd, current, p.pty, ignored, err);
  return rc;
}

// ---------------------------------------------------------------------------------------------
// Queues

size_t TermiosSerial::RxWaiting(int32_t port) { return ports_[port]->rx.Size(); }

size_t TermiosSerial::TxFree(int32_t port) { return ports_[port]->tx.Free(); }

size_t TermiosSerial::TakeRx(int32_t port, char* buffer, size_t maxCount) {
  Port& p = *ports_[port];
  size_t taken = p.rx.Take(buffer, maxCount);
  // Room again: the device, which held back the rest, is read again.
  if (taken > 0) UpdateWatch(p);
  return taken;
}

size_t TermiosSerial::PutTx(int32_t port, const char* bytes, size_t count) {
  Port& p = *ports_[port];
  size_t done = 0;
  if (p.tx.Empty() && count > 0) {
    // Nothing is queued ahead of these bytes, so they may go to the device at once.
    ssize_t put = write(p.fd, bytes, count);
    if (put > 0) {
      done = static_cast<size_t>(put);
    } else if (put < 0 && errno != EAGAIN && errno != EINTR) {
      Lose(port, ErrorText(errno));
      return count;  // dropped: there is no device to send to
    }
  }
  done += p.tx.Put(bytes + done, count - done);
  UpdateWatch(p);
  return done;
}

// ---------------------------------------------------------------------------------------------
// Device events

void TermiosSerial::OnDeviceEvents(int32_t port, uint64_t openId, uint32_t events) {
  Port* p = Live(port, openId);
  if (!p || p->fd < 0 || !p->watch) return;
  // A hang-up or error with nothing to read or write would be reported again at once: the
  // device is taken as gone rather than polled in a tight loop.
  bool trouble = (events & (EPOLLHUP | EPOLLERR)) != 0;
  bool txProgress = false;
  bool received = false;
  std::string why;
  bool ok = true;
  if (p->watch->Writing() && (events & (EPOLLOUT | EPOLLHUP | EPOLLERR))) {
    ok = Flush(*p, trouble, txProgress, why);
  }
  if (ok && p->watch->Reading() && (events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR))) {
    ok = Fill(*p, trouble, received, why);
  }
  if (ok) {
    UpdateWatch(*p);
  } else {
    Lose(port, why);  // reported to the holder after the bytes received here
  }

  // The callbacks may close or reopen this port, or any other: the port is looked up again
  // after each, and this object may not be touched at all once it is destroyed.
  AliveToken::Watch alive = alive_.Observe();
  if (received) {
    ReportRxData(port);
    if (!alive.Alive()) return;
  }
  if (!txProgress) return;
  p = Live(port, openId);
  // Room is reported once half the ring is free, not after every write: a slow device would
  // otherwise wake the writer for each few bytes it takes.
  if (p && TxRoomWanted(port) && p->tx.Free() >= (p->tx.Capacity() + 1) / 2) ReportTxRoom(port);
}

bool TermiosSerial::Fill(Port& p, bool trouble, bool& received, std::string& why) {
  for (int round = 0; round < kReadRounds && !p.rx.Full(); ++round) {
    iovec pieces[2];
    int n = p.rx.FreePieces(pieces);
    size_t asked = pieces[0].iov_len + (n > 1 ? pieces[1].iov_len : 0);
    ssize_t got = readv(p.fd, pieces, n);
    if (got > 0) {
      p.rx.Commit(static_cast<size_t>(got));
      received = true;
      if (static_cast<size_t>(got) < asked) break;  // the device has nothing more just now
      continue;
    }
    if (got == 0) {
      why = "hang-up";
      return false;
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN) {
      if (trouble) {
        why = "hang-up";
        return false;
      }
      break;
    }
    why = ErrorText(errno);
    return false;
  }
  return true;
}

bool TermiosSerial::Flush(Port& p, bool trouble, bool& progress, std::string& why) {
  if (p.tx.Empty()) return true;
  iovec pieces[2];
  int n = p.tx.FilledPieces(pieces);
  ssize_t put = writev(p.fd, pieces, n);
  if (put > 0) {
    p.tx.Consume(static_cast<size_t>(put));
    progress = true;
    return true;
  }
  if (put < 0 && errno != EAGAIN && errno != EINTR) {
    why = ErrorText(errno);
    return false;
  }
  if (trouble) {
    why = "hang-up";
    return false;
  }
  return true;
}

void TermiosSerial::UpdateWatch(Port& p) {
  if (!p.watch) return;
  p.watch->SetRead(!p.rx.Full());
  p.watch->SetWrite(!p.tx.Empty());
}

}  // namespace kov
