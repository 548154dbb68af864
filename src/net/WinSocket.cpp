#include "net/WinSocket.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "net/OutputDrain.h"

namespace kov {

namespace {

bool WouldBlock(int err) { return err == EAGAIN || err == EWOULDBLOCK || err == EINTR; }

int PendingSocketError(int fd) {
  int err = 0;
  socklen_t len = sizeof err;
  if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return errno;
  return err;
}

}  // namespace

TCustomWinSocket::TCustomWinSocket(EventLoop& loop) : loop_(loop) {}

TCustomWinSocket::~TCustomWinSocket() { CloseSocket(); }

// ---------------------------------------------------------------------------------------------
// Sending

int32_t TCustomWinSocket::SendString(const std::string& text) {
  return SendBuf(text.data(), static_cast<int32_t>(text.size()));
}

int32_t TCustomWinSocket::SendBuf(const char* data, int32_t len) {
  if (!open_ || fd_ < 0 || len <= 0) return 0;
  size_t sent = 0;
  if (out_.Empty()) {
    ssize_t n = send(fd_, data, static_cast<size_t>(len), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0) {
      if (!WouldBlock(errno)) {
        FailTransfer(eeSend, errno, "send", false);
        return -1;
      }
      n = 0;
    }
    sent = static_cast<size_t>(n);
  }
  size_t rest = static_cast<size_t>(len) - sent;
  if (rest == 0) return len;
  if (out_.Size() + rest > static_cast<size_t>(kOutputQueueLimit)) {
    FailTransfer(eeSend, ENOBUFS, "send", false);
    return -1;
  }
  bool wasEmpty = out_.Empty();
  out_.Append(data + sent, rest);
  if (wasEmpty) UpdateWatch();
  return len;
}

void TCustomWinSocket::Flush() {
  ssize_t n = send(fd_, out_.Data(), out_.Size(), MSG_NOSIGNAL | MSG_DONTWAIT);
  if (n < 0) {
    if (!WouldBlock(errno)) FailTransfer(eeSend, errno, "send", true);
    return;
  }
  out_.Consume(static_cast<size_t>(n));
  if (!out_.Empty()) return;
  UpdateWatch();
  // The queue has drained: whoever held back may go on.
  FireWrite();
}

// ---------------------------------------------------------------------------------------------
// Receiving

int32_t TCustomWinSocket::BytesPending() const {
  if (!open_ || fd_ < 0) return 0;
  int n = 0;
  if (ioctl(fd_, FIONREAD, &n) != 0 || n <= 0) {
    // Nothing to read: a read event that found this leaves nothing unread behind it.
    ++receiveCalls_;
    return 0;
  }
  return n;
}

std::string TCustomWinSocket::ReadPending() {
  if (!open_ || fd_ < 0) return {};
  std::string text(static_cast<size_t>(BytesPending()), '\0');
  int32_t got = Receive(text.data(), static_cast<int32_t>(text.size()));
  text.resize(got > 0 ? static_cast<size_t>(got) : 0);
  return text;
}

int32_t TCustomWinSocket::ReceiveBuf(char* buf, int32_t max) {
  if (!open_ || fd_ < 0 || max < 0) return 0;
  return Receive(buf, max);
}

int32_t TCustomWinSocket::Receive(char* buf, int32_t max) {
  ++receiveCalls_;
  if (readStalled_) {
    readStalled_ = false;
    UpdateWatch();
  }
  if (max == 0) return 0;
  ssize_t n = recv(fd_, buf, static_cast<size_t>(max), MSG_DONTWAIT);
  if (n >= 0)
    return static_cast<int32_t>(n);  // 0 at the end of the stream: the close
                                     // notification follows in its own turn
  if (!WouldBlock(errno)) FailTransfer(eeReceive, errno, "recv", false);
  return 0;
}

void TCustomWinSocket::FailTransfer(TErrorEvent kind, int err, const char* api,
                                    bool fromNotification) {
  auto self = shared_from_this();
  const int fd = fd_;
  const uint64_t generation = generation_;
  int32_t code = WinSockErrorOf(err);
  FireError(kind, code);
  if (generation_ == generation) CloseNamed(fd);
  if (code == 0) return;
  if (fromNotification) throw ESocketError(AsyncSocketErrorText(code));
  throw ESocketError(SocketErrorText(std::strerror(err), code, api));
}

// ---------------------------------------------------------------------------------------------
// Closing

void TCustomWinSocket::CloseNamed(int32_t handle) {
  auto self = shared_from_this();
  CancelLookup();
  if (handle < 0 || handle != fd_ || closing_) return;
  closing_ = true;
  // The close completes even when the disconnect handler raises.
  struct Finish {
    TCustomWinSocket* socket;
    uint64_t generation;
    ~Finish() { socket->FinishClose(generation); }
  } finish{this, generation_};
  if (Attached()) FireDisconnect();
}

void TCustomWinSocket::FinishClose(uint64_t generation) {
  if (generation_ != generation) return;  // already closed, by the handler or its owner
  BeforeClose();
  CloseSocket();
}

void TCustomWinSocket::CloseSocket() {
  if (fd_ >= 0) {
    watch_.reset();
    TOutputDrain* drain = open_ && !hangUp_ && !dead_ ? TOutputDrain::For(loop_) : nullptr;
    if (drain != nullptr) {
      drain->Adopt(fd_, std::move(out_));  // it delivers the queued bytes, then closes
    } else {
      if (open_ && !out_.Empty() && !hangUp_) {
        // What the kernel takes now still goes out after the close.
        ssize_t n = send(fd_, out_.Data(), out_.Size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        (void)n;
      }
      close(fd_);
    }
  }
  fd_ = -1;
  ++generation_;
  open_ = false;
  connecting_ = false;
  closing_ = false;
  readPaused_ = false;
  readStalled_ = false;
  dead_ = false;
  hangUp_ = false;
  out_.Clear();
  peer_.clear();
}

// ---------------------------------------------------------------------------------------------
// Notifications

void TCustomWinSocket::AdoptSocket(int fd) {
  fd_ = fd;
  ++generation_;
  std::weak_ptr<TCustomWinSocket> weak = weak_from_this();
  watch_ = std::make_unique<FdWatch>(loop_, fd, [weak](uint32_t events) {
    if (auto self = weak.lock()) self->HandleEvents(events);
  });
  if (noDelay_) SetNoDelay(true);
  if (keepAlive_ >= 0) SetKeepAlive(keepAlive_);
}

void TCustomWinSocket::MarkOpen(const std::string& peer) {
  open_ = true;
  peer_ = peer;
  UpdateWatch();
}

void TCustomWinSocket::UpdateWatch() {
  if (!watch_) return;
  watch_->SetRead(open_ && !readPaused_ && !readStalled_ && !dead_);
  watch_->SetWrite(connecting_ || (open_ && !out_.Empty() && !dead_ && !hangUp_));
}

void TCustomWinSocket::NotifyError(TErrorEvent kind, int32_t code) {
  FireError(kind, code);
  if (code != 0) throw ESocketError(AsyncSocketErrorText(code));
}

void TCustomWinSocket::HandleEvents(uint32_t events) {
  if (fd_ < 0 || !Attached()) return;
  if (connecting_) {
    ConnectReady(events);
    return;
  }
  if (!open_) return;
  const uint64_t generation = generation_;
  if (events & EPOLLERR) {
    int err = PendingSocketError(fd_);
    if (err != 0) {
      // A close that carries an error: the owner's error handler decides what happens; the
      // socket is no longer watched, so a dead connection cannot keep the loop busy.
      dead_ = true;
      UpdateWatch();
      NotifyError(eeDisconnect, WinSockErrorOf(err));
      return;
    }
  }
  if (events & EPOLLHUP) {
    hangUp_ = true;
    UpdateWatch();
  }
  if ((events & EPOLLOUT) && !out_.Empty() && !hangUp_) {
    Flush();
    if (generation_ != generation || !open_) return;
  }
  if ((events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP)) && !readPaused_ && !readStalled_ && !dead_) {
    HandleReadable(generation, (events & (EPOLLRDHUP | EPOLLHUP)) != 0);
  }
}

void TCustomWinSocket::HandleReadable(uint64_t generation, bool peerDone) {
  // Plain readiness means bytes to read. Only once the peer has shut down (or the connection
  // hung up) is one byte peeked at, to tell the last bytes from the end of the stream.
  ssize_t n = 1;
  if (peerDone) {
    char probe;
    n = recv(fd_, &probe, 1, MSG_PEEK | MSG_DONTWAIT);
  }
  if (n > 0) {
    uint64_t before = receiveCalls_;
    FireRead();
    if (generation_ == generation && open_ && receiveCalls_ == before) {
      // Nobody read: level-triggered readiness would report the same bytes forever. Read
      // events wait until the next read call (or a resume) instead.
      readStalled_ = true;
      UpdateWatch();
    }
    return;
  }
  if (n == 0) {
    CloseNamed(fd_);  // the peer closed without error
    return;
  }
  if (WouldBlock(errno)) return;
  int err = errno;
  dead_ = true;
  UpdateWatch();
  NotifyError(eeDisconnect, WinSockErrorOf(err));
}

// ---------------------------------------------------------------------------------------------
// Options

void TCustomWinSocket::SetReadPaused(bool paused) {
  readPaused_ = paused;
  if (!paused) readStalled_ = false;
  UpdateWatch();
}

void TCustomWinSocket::SetNoDelay(bool on) {
  noDelay_ = on;
  if (fd_ < 0) return;
  int value = on ? 1 : 0;
  setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &value, sizeof value);
}

void TCustomWinSocket::SetKeepAlive(int32_t idleSeconds) {
  keepAlive_ = idleSeconds < 0 ? 0 : idleSeconds;
  if (fd_ < 0) return;
  int on = keepAlive_ > 0 ? 1 : 0;
  setsockopt(fd_, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
  if (on == 0) return;
  int idle = keepAlive_;
  int interval = kKeepAliveIntervalS;
  int probes = kKeepAliveProbes;
  setsockopt(fd_, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
  setsockopt(fd_, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
  setsockopt(fd_, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes);
}

}  // namespace kov
