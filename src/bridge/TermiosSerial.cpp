#include "bridge/TermiosSerial.h"

#include <fcntl.h>
#include <linux/serial.h>
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

struct Speed {
  uint32_t rate;
  speed_t code;
};
constexpr Speed kSpeeds[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};

// The termios code of a rate; B0 for a rate the table does not have.
speed_t SpeedOf(uint32_t rate) {
  for (const Speed& speed : kSpeeds) {
    if (speed.rate == rate) return speed.code;
  }
  return B0;
}

// Reads per readiness event at most; a short read ends the round earlier.
constexpr int kReadRounds = 8;

std::string ErrorText(int err) { return std::strerror(err); }

// The errors of a device that is no longer there (unplugged, or its driver gone).
bool DeviceGoneError(int err) { return err == EIO || err == ENXIO || err == ENODEV; }
// The errors of an open whose path names no device.
bool MissingError(int err) { return err == ENOENT || err == ENODEV || err == ENXIO; }
// The errors of a driver that does not have the call at all.
bool UnsupportedError(int err) { return err == ENOTTY || err == EINVAL || err == ENOSYS; }

// Unix98 pseudo-terminal slaves (majors 136..143) and the old BSD ones (major 3).
bool IsPseudoTerminal(int fd) {
  struct stat info {};
  if (fstat(fd, &info) != 0 || !S_ISCHR(info.st_mode)) return false;
  unsigned m = major(info.st_rdev);
  return (m >= 136 && m <= 143) || m == 3;
}

tcflag_t SizeFlag(uint8_t dataBits) {
  switch (dataBits) {
    case 5:
      return CS5;
    case 6:
      return CS6;
    case 7:
      return CS7;
    default:
      return CS8;
  }
}

}  // namespace

// The termios setting of a line: raw bytes, receiver on, no modem-line hang-ups, the format,
// the flow control and the rate.
termios TermiosOfLine(const termios& base, const LineSetting& line) {
  termios t = base;
  cfmakeraw(&t);
  t.c_iflag &= ~(IXON | IXOFF | IXANY | INPCK);
  t.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
  t.c_cflag |= CLOCAL | CREAD | SizeFlag(line.dataBits);
  switch (line.parity) {
    case Parity::None:
      break;
    case Parity::Odd:
      t.c_cflag |= PARENB | PARODD;
      break;
    case Parity::Even:
      t.c_cflag |= PARENB;
      break;
    case Parity::Mark:
      t.c_cflag |= PARENB | CMSPAR | PARODD;
      break;
    case Parity::Space:
      t.c_cflag |= PARENB | CMSPAR;
      break;
  }
  if (line.stopBits == 2) t.c_cflag |= CSTOPB;
  if (line.flow == FlowControl::RtsCts) t.c_cflag |= CRTSCTS;
  if (line.flow == FlowControl::XonXoff) {
    t.c_iflag |= IXON | IXOFF;
    t.c_cc[VSTART] = 0x11;
    t.c_cc[VSTOP] = 0x13;
  }
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 0;
  const speed_t speed = SpeedOf(line.rate);
  cfsetispeed(&t, speed);
  cfsetospeed(&t, speed);
  return t;
}

namespace {

// Applies the line in one call, then judges by what the device kept: a pseudo-terminal holds
// neither the parity bit nor a character size, and when such a bit is the only change asked
// for, tcsetattr reports EINVAL although all it can hold was applied. Returns 0, kSioBadBaud
// when the rate is not there or did not stick, or kSioHardware; why gets the reason and err the
// errno of a failed call (0 when the device merely did not keep the setting).
int32_t ApplyTermios(int fd, const LineSetting& line, bool pty, std::string& why, int& err) {
  err = 0;
  if (SpeedOf(line.rate) == B0) {
    why = "no such rate on a serial line";
    return kSioBadBaud;
  }
  termios base{};
  if (tcgetattr(fd, &base) != 0) {
    err = errno;
    why = ErrorText(err);
    return kSioHardware;
  }
  const termios t = TermiosOfLine(base, line);
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
  if (cfgetospeed(&kept) != cfgetospeed(&t)) {
    why = rc != 0 ? ErrorText(setErr) : "rate not kept by the device";
    return kSioBadBaud;
  }
  const tcflag_t judged = CSTOPB | CRTSCTS | PARODD | CMSPAR | (pty ? 0 : CSIZE | PARENB);
  const tcflag_t judgedInput = IXON | IXOFF;
  if ((kept.c_cflag & judged) != (t.c_cflag & judged) ||
      (kept.c_iflag & judgedInput) != (t.c_iflag & judgedInput)) {
    why = rc != 0 ? ErrorText(setErr) : "settings not kept by the device";
    return kSioHardware;
  }
  return 0;
}

}  // namespace

TermiosSerial::TermiosSerial(EventLoop& loop, PortTable table)
    : SerialLibrary(loop, std::move(table)), loop_(loop) {}

TermiosSerial::~TermiosSerial() { CloseAll(); }

TermiosSerial::Port* TermiosSerial::Live(int32_t port, uint64_t openId) {
  Port* p = ports_[port].get();
  return p && p->openId == openId ? p : nullptr;
}

// ---------------------------------------------------------------------------------------------
// Opening and closing

int32_t TermiosSerial::OpenDevice(int32_t index, const std::string& path, size_t rxSize,
                                  size_t txSize, OpenFailure& failure) {
  std::unique_ptr<Port> p;
  try {
    p = std::make_unique<Port>();
    p->rx.Reset(rxSize);
    p->tx.Reset(txSize);
  } catch (const std::bad_alloc&) {
    failure.why = "no memory for the queues";
    return kSioNoMemory;
  }

  auto refuse = [&](const std::string& reason, bool exclusive) {
    if (exclusive) ioctl(p->fd, TIOCNXCL);
    if (p->fd >= 0) close(p->fd);
    failure.why = reason;
    return kSioCannotOpen;
  };

  p->fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (p->fd < 0) {
    failure.missing = MissingError(errno);
    return refuse(ErrorText(errno), false);
  }
  if (!isatty(p->fd)) return refuse("not a terminal device", false);
  // flock is what keeps out another process, root included; TIOCEXCL additionally keeps
  // programs that do not take the lock from opening the device (root excepted).
  if (flock(p->fd, LOCK_EX | LOCK_NB) != 0) {
    return refuse(errno == EWOULDBLOCK ? "held by another program" : ErrorText(errno), false);
  }
  if (ioctl(p->fd, TIOCEXCL) != 0) return refuse(ErrorText(errno), true);
  p->pty = IsPseudoTerminal(p->fd);

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
// The line

int32_t TermiosSerial::ApplyLine(int32_t port, const LineSetting& current,
                                 const LineSetting& wanted, SioStep& part, std::string& why) {
  Port& p = *ports_[port];
  int err = 0;
  const int32_t rc = ApplyTermios(p.fd, wanted, p.pty, why, err);
  if (rc == 0) return 0;
  part = rc == kSioBadBaud ? SioStep::Baud : SioStep::Parms;
  if (DeviceGoneError(err)) {
    Lose(port, why);
    return kSioHardware;
  }
  // Whatever part of the setting the device took is undone.
  std::string ignored;
  ApplyTermios(p.fd, current, p.pty, ignored, err);
  return rc;
}

TermiosSerial::SignalResult TermiosSerial::Refused(int32_t port, int err, std::string& why) {
  why = ErrorText(err);
  if (UnsupportedError(err)) {
    why = "the driver has no modem lines";
    return SignalResult::Unsupported;
  }
  if (DeviceGoneError(err)) Lose(port, why);
  return SignalResult::Failed;
}

TermiosSerial::SignalResult TermiosSerial::SetSignal(int32_t port, ModemSignal signal, bool on,
                                                     std::string& why) {
  Port& p = *ports_[port];
  int rc = 0;
  if (signal == ModemSignal::Break) {
    rc = ioctl(p.fd, on ? TIOCSBRK : TIOCCBRK);
  } else {
    int bits = signal == ModemSignal::Dtr ? TIOCM_DTR : TIOCM_RTS;
    rc = ioctl(p.fd, on ? TIOCMBIS : TIOCMBIC, &bits);
  }
  return rc == 0 ? SignalResult::Done : Refused(port, errno, why);
}

TermiosSerial::SignalResult TermiosSerial::SetLowLatency(int32_t port, bool on, std::string& why) {
  Port& p = *ports_[port];
  serial_struct info{};
  if (ioctl(p.fd, TIOCGSERIAL, &info) != 0) {
    const int err = errno;
    SignalResult result = Refused(port, err, why);
    why = ErrorText(err);
    return result;
  }
  if (on) {
    info.flags |= ASYNC_LOW_LATENCY;
  } else {
    info.flags &= ~ASYNC_LOW_LATENCY;
  }
  if (ioctl(p.fd, TIOCSSERIAL, &info) != 0) {
    const int err = errno;
    Refused(port, err, why);
    why = ErrorText(err);
    return SignalResult::Failed;
  }
  return SignalResult::Done;
}

ModemStatus TermiosSerial::ReadModemLines(int32_t port) {
  Port& p = *ports_[port];
  ModemStatus status;
  int bits = 0;
  if (ioctl(p.fd, TIOCMGET, &bits) != 0) return status;  // the driver cannot tell
  status.known = true;
  status.cts = (bits & TIOCM_CTS) != 0;
  status.dsr = (bits & TIOCM_DSR) != 0;
  status.ri = (bits & TIOCM_RI) != 0;
  status.cd = (bits & TIOCM_CD) != 0;
  serial_icounter_struct counts{};
  if (ioctl(p.fd, TIOCGICOUNT, &counts) == 0) {
    status.counted = true;
    status.ctsChanges = static_cast<uint32_t>(counts.cts);
    status.dsrChanges = static_cast<uint32_t>(counts.dsr);
    status.riChanges = static_cast<uint32_t>(counts.rng);
    status.cdChanges = static_cast<uint32_t>(counts.dcd);
  }
  return status;
}

void TermiosSerial::Purge(int32_t port, bool receive, bool transmit) {
  Port& p = *ports_[port];
  if (receive) {
    p.rx.Clear();
    if (p.fd >= 0) tcflush(p.fd, TCIFLUSH);
  }
  if (transmit) {
    p.tx.Clear();
    if (p.fd >= 0) tcflush(p.fd, TCOFLUSH);
  }
  UpdateWatch(p);
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
