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
#include "event/Log.h"

namespace kov {
namespace {

constexpr int32_t kBaudRates[] = {300, 600, 1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200};
constexpr speed_t kSpeeds[] = {B300,  B600,   B1200,  B2400,  B4800,
                               B9600, B19200, B38400, B57600, B115200};
constexpr int32_t kBaudCodes = sizeof kBaudRates / sizeof kBaudRates[0];

// Reads per readiness event at most; a short read ends the round earlier.
constexpr int kReadRounds = 8;

std::string ErrorText(int err) { return std::strerror(err); }

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
// Returns 0, kSioBadBaud when the rate did not stick, or kSioHardware; why gets the reason.
int32_t ApplyTermios(int fd, const LineSettings& s, bool pty, std::string& why) {
  termios t{};
  if (tcgetattr(fd, &t) != 0) {
    why = ErrorText(errno);
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
  int err = errno;

  termios kept{};
  if (tcgetattr(fd, &kept) != 0) {
    why = ErrorText(errno);
    return kSioHardware;
  }
  if (cfgetospeed(&kept) != speed) {
    why = rc != 0 ? ErrorText(err) : "rate not kept by the device";
    return kSioBadBaud;
  }
  tcflag_t judged = CSTOPB | (pty ? 0 : CSIZE | PARENB | PARODD);
  if ((kept.c_cflag & judged) != (t.c_cflag & judged)) {
    why = rc != 0 ? ErrorText(err) : "settings not kept by the device";
    return kSioHardware;
  }
  return 0;
}

}  // namespace

int32_t BaudRateOfCode(int32_t baudCode) {
  return baudCode >= 0 && baudCode < kBaudCodes ? kBaudRates[baudCode] : 0;
}

std::string DescribeSettings(const LineSettings& s) {
  std::string text = std::to_string(BaudRateOfCode(s.baudCode)) + " ";
  text += s.dataBits == 7 ? '7' : '8';
  text += s.parity == 1 ? 'O' : s.parity == 2 ? 'E' : 'N';
  text += s.stopBits == 1 ? '2' : '1';
  return text;
}

TermiosSerial::TermiosSerial(EventLoop& loop, std::array<std::string, kSioPortCount> devicePaths)
    : loop_(loop), paths_(std::move(devicePaths)) {}

TermiosSerial::~TermiosSerial() {
  for (int32_t i = 0; i < kSioPortCount; ++i) {
    if (ports_[i]) Close(i);
  }
}

bool TermiosSerial::DeviceGone(int32_t port) const {
  return port >= 0 && port < kSioPortCount && ports_[port] && ports_[port]->gone;
}

TermiosSerial::Port* TermiosSerial::Find(int32_t port) {
  if (port < 0 || port >= kSioPortCount) return nullptr;
  return ports_[port].get();
}

TermiosSerial::Port* TermiosSerial::Live(int32_t port, uint64_t openId) {
  Port* p = Find(port);
  return p && p->openId == openId ? p : nullptr;
}

// ---------------------------------------------------------------------------------------------
// Opening and closing

int32_t TermiosSerial::SioReset(int32_t port, int32_t rxQueueSize, int32_t txQueueSize) {
  if (port < 0 || port >= kSioPortCount) return kSioBadPort;
  if (rxQueueSize <= 0 || rxQueueSize > kMaxSerialQueue || txQueueSize <= 0 ||
      txQueueSize > kMaxSerialQueue) {
    return kSioOutOfRange;
  }
  bool owedTxRoom = false;
  if (ports_[port]) {
    // Whoever waited for room in the old transmit ring is told that the new, empty one has it.
    owedTxRoom = ports_[port]->txRoomWanted;
    Close(port);
  }
  int32_t rc = Open(port, rxQueueSize, txQueueSize);
  if (rc == 0 && owedTxRoom) PostTxRoom(port, ports_[port]->openId);
  return rc;
}

int32_t TermiosSerial::Open(int32_t index, int32_t rxQueueSize, int32_t txQueueSize) {
  std::string name = "COM" + std::to_string(index + 1);
  const std::string& path = paths_[index];
  std::unique_ptr<Port> p;
  try {
    p = std::make_unique<Port>();
    p->rx.Reset(static_cast<size_t>(rxQueueSize));
    p->tx.Reset(static_cast<size_t>(txQueueSize));
  } catch (const std::bad_alloc&) {
    Log(name + " cannot open " + path + ": no memory for the queues");
    return kSioNoMemory;
  }
  p->name = name;
  p->path = path;

  auto refuse = [&](const std::string& why, bool exclusive) {
    if (exclusive) ioctl(p->fd, TIOCNXCL);
    if (p->fd >= 0) close(p->fd);
    Log(name + " cannot open " + path + ": " + why);
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

  std::string why;
  if (ApplyTermios(p->fd, p->settings, p->pty, why) != 0) {
    return refuse("cannot set raw mode: " + why, true);
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
  Log(name + " opened on " + path + " (" + DescribeSettings(p->settings) + ")");
  ports_[index] = std::move(p);
  return 0;
}

int32_t TermiosSerial::SioDone(int32_t port) {
  if (port < 0 || port >= kSioPortCount) return kSioBadPort;
  if (!ports_[port]) return kSioNotOpen;
  Close(port);
  return 0;
}

void TermiosSerial::Close(int32_t index) {
  std::unique_ptr<Port> p = std::move(ports_[index]);
  p->watch.reset();
  size_t dropped = p->tx.Size();
  // A serial line's close waits until the kernel has sent its output queue, up to half a
  // minute; unsent output is discarded instead, so the loop never waits. A pseudo-terminal's
  // close does not wait, and flushing it would discard what the other side has not yet read.
  int queued = 0;
  if (!p->pty && ioctl(p->fd, TIOCOUTQ, &queued) == 0 && queued > 0) {
    tcflush(p->fd, TCOFLUSH);
    dropped += static_cast<size_t>(queued);
  }
  // A pseudo-terminal keeps its exclusive flag after the last close; cleared so that a later
  // open by another user succeeds.
  ioctl(p->fd, TIOCNXCL);
  close(p->fd);  // releases the lock too
  std::string line = p->name + " closed (" + p->path + ")";
  if (dropped > 0) line += ", " + std::to_string(dropped) + " unsent bytes dropped";
  Log(line);
}

// ---------------------------------------------------------------------------------------------
// Settings

int32_t TermiosSerial::SioParms(int32_t port, int32_t parity, int32_t stopBits, int32_t dataBits) {
  if (port < 0 || port >= kSioPortCount) return kSioBadPort;
  Port* p = Find(port);
  if (!p) return kSioNotOpen;
  if (dataBits != 7 && dataBits != 8) return kSioBadDataBits;
  if (parity < 0 || parity > 2 || stopBits < 0 || stopBits > 1) return kSioOutOfRange;
  LineSettings wanted = p->settings;
  wanted.parity = parity;
  wanted.stopBits = stopBits;
  wanted.dataBits = dataBits;
  return Apply(*p, wanted) == 0 ? 0 : kSioHardware;
}

int32_t TermiosSerial::SioBaud(int32_t port, int32_t baudCode) {
  if (port < 0 || port >= kSioPortCount) return kSioBadPort;
  Port* p = Find(port);
  if (!p) return kSioNotOpen;
  if (baudCode < 0 || baudCode >= kBaudCodes) return kSioBadBaud;
  LineSettings wanted = p->settings;
  wanted.baudCode = baudCode;
  return Apply(*p, wanted);
}

int32_t TermiosSerial::Apply(Port& p, const LineSettings& wanted) {
  std::string why = "the device is gone";
  int32_t rc = p.gone ? kSioHardware : ApplyTermios(p.fd, wanted, p.pty, why);
  if (rc != 0) {
    Log(p.name + " cannot set " + DescribeSettings(wanted) + " on " + p.path + ": " + why);
    // Whatever part of the setting the device took is undone.
    std::string ignored;
    if (!p.gone) ApplyTermios(p.fd, p.settings, p.pty, ignored);
    return rc;
  }
  if (DescribeSettings(wanted) != DescribeSettings(p.settings)) {
    Log(p.name + " set to " + DescribeSettings(wanted) + " (" + p.path + ")");
  }
  p.settings = wanted;
  return 0;
}

// ---------------------------------------------------------------------------------------------
// Queues

int32_t TermiosSerial::SioRxQue(int32_t port) {
  if (port < 0 || port >= kSioPortCount) return kSioBadPort;
  Port* p = Find(port);
  if (!p) return kSioNotOpen;
  return static_cast<int32_t>(p->rx.Size());
}

int32_t TermiosSerial::SioTxFree(int32_t port) {
  if (port < 0 || port >= kSioPortCount) return kSioBadPort;
  Port* p = Find(port);
  if (!p) return kSioNotOpen;
  return static_cast<int32_t>(p->tx.Free());
}

int32_t TermiosSerial::SioGets(int32_t port, char* buffer, int32_t maxCount) {
  if (port < 0 || port >= kSioPortCount) return kSioBadPort;
  Port* p = Find(port);
  if (!p) return kSioNotOpen;
  if (maxCount < 0 || (maxCount > 0 && !buffer)) return kSioOutOfRange;
  size_t taken = p->rx.Take(buffer, static_cast<size_t>(maxCount));
  // Room again: the device, which held back the rest, is read again.
  if (taken > 0) UpdateWatch(*p);
  return static_cast<int32_t>(taken);
}

int32_t TermiosSerial::SioPuts(int32_t port, const char* bytes, int32_t count) {
  if (port < 0 || port >= kSioPortCount) return kSioBadPort;
  Port* p = Find(port);
  if (!p) return kSioNotOpen;
  if (count < 0 || (count > 0 && !bytes)) return kSioOutOfRange;
  if (p->gone) return count;  // dropped: there is no device to send to
  size_t total = static_cast<size_t>(count);
  size_t done = 0;
  if (p->tx.Empty() && total > 0) {
    // Nothing is queued ahead of these bytes, so they may go to the device at once.
    ssize_t put = write(p->fd, bytes, total);
    if (put > 0) {
      done = static_cast<size_t>(put);
    } else if (put < 0 && errno != EAGAIN && errno != EINTR) {
      MarkGone(*p, ErrorText(errno));
      if (p->txRoomWanted) {
        p->txRoomWanted = false;
        PostTxRoom(port, p->openId);
      }
      return count;
    }
  }
  done += p->tx.Put(bytes + done, total - done);
  if (done < total) p->txRoomWanted = true;
  UpdateWatch(*p);
  return static_cast<int32_t>(done);
}

// ---------------------------------------------------------------------------------------------
// Device events

void TermiosSerial::OnDeviceEvents(int32_t port, uint64_t openId, uint32_t events) {
  Port* p = Live(port, openId);
  if (!p || p->gone || !p->watch) return;
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
    MarkGone(*p, why);
  }
  bool txRoom = p->txRoomWanted && (txProgress || p->gone);

  // The callbacks may close or reopen this port, or any other: the port is looked up again
  // after each, and this object may not be touched at all once it is destroyed. A reopening
  // posts the owed OnTxRoom itself.
  std::weak_ptr<int> alive = alive_;
  if (received) {
    FireRxData(port);
    if (alive.expired()) return;
  }
  if (!txRoom) return;
  p = Live(port, openId);
  // Room is reported once half the ring is free (or the device is gone), not after every
  // write: a slow device would otherwise wake the writer for each few bytes it takes.
  if (!p || !p->txRoomWanted) return;
  if (!p->gone && p->tx.Free() < (p->tx.Capacity() + 1) / 2) return;
  p->txRoomWanted = false;
  FireTxRoom(port);
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

void TermiosSerial::MarkGone(Port& p, const std::string& why) {
  p.gone = true;
  p.watch.reset();  // safe inside the watch's own handler
  size_t dropped = p.tx.Size();
  p.tx.Clear();
  std::string line = p.name + " device " + p.path + " went away (" + why + "), no longer watched";
  if (dropped > 0) line += ", " + std::to_string(dropped) + " unsent bytes dropped";
  Log(line);
}

void TermiosSerial::PostTxRoom(int32_t port, uint64_t openId) {
  std::weak_ptr<int> alive = alive_;
  loop_.Post([this, alive, port, openId] {
    if (!alive.expired() && Live(port, openId)) FireTxRoom(port);
  });
}

void TermiosSerial::FireRxData(int32_t port) {
  // A copy: the callback may replace the events of its own port.
  auto callback = events_[port].OnRxData;
  if (callback) callback();
}

void TermiosSerial::FireTxRoom(int32_t port) {
  auto callback = events_[port].OnTxRoom;
  if (callback) callback();
}

void TermiosSerial::SetEvents(int32_t port, SerialEvents events) {
  if (port < 0 || port >= kSioPortCount) return;
  events_[port] = std::move(events);
}

}  // namespace kov
