// The client socket component and its connection: name lookup, connecting, the connection's
// events, and the properties that cannot change while connected.
#include "net/ClientSocket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <strings.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace kov {

namespace {

// connect() failures that are the attempt's outcome rather than a fault of the call: they are
// reported as a failed attempt, the same way as when they arrive later.
bool IsAttemptOutcome(int err) {
  return err == ECONNREFUSED || err == ETIMEDOUT || err == ENETUNREACH || err == EHOSTUNREACH ||
         err == ECONNRESET || err == ECONNABORTED;
}

bool SameText(const std::string& a, const std::string& b) {
  return a.size() == b.size() && strncasecmp(a.c_str(), b.c_str(), a.size()) == 0;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// TClientSocket

TClientSocket::TClientSocket(EventLoop& loop) : socket_(new TClientWinSocket(loop, this)) {}

TClientSocket::~TClientSocket() { socket_->Detach(); }

void TClientSocket::SetActive(bool on) {
  if (on == active_) return;
  // The connection object outlives this call even if a handler destroys the component.
  std::shared_ptr<TClientWinSocket> connection = socket_;
  if (on) {
    connection->Open();
  } else {
    connection->CloseNamed(connection->NativeHandle());
  }
}

void TClientSocket::CheckInactive() const {
  if (active_) throw ESocketError("Can't change value while socket is active");
}

void TClientSocket::SetHost(const std::string& host) {
  if (SameText(host, host_)) return;
  CheckInactive();
  host_ = host;
}

void TClientSocket::SetAddress(const std::string& address) {
  if (SameText(address, address_)) return;
  CheckInactive();
  address_ = address;
}

void TClientSocket::SetPort(int32_t port) {
  if (port == port_) return;
  CheckInactive();
  port_ = port;
}

// ---------------------------------------------------------------------------------------------
// TClientWinSocket

TClientWinSocket::TClientWinSocket(EventLoop& loop, TClientSocket* client)
    : TCustomWinSocket(loop), client_(client) {}

void TClientWinSocket::Detach() {
  client_ = nullptr;
  lookup_.reset();
  CloseSocket();
}

void TClientWinSocket::FireNotify(
    std::function<void(TClientSocket&, TCustomWinSocket&)> TClientSocket::*event) {
  if (!client_) return;
  // A copy: the handler may destroy the component that holds it.
  auto handler = client_->*event;
  if (handler) handler(*client_, *this);
}

void TClientWinSocket::FireRead() { FireNotify(&TClientSocket::OnRead); }

void TClientWinSocket::FireWrite() { FireNotify(&TClientSocket::OnWrite); }

void TClientWinSocket::FireError(TErrorEvent kind, int32_t& code) {
  if (!client_) return;
  auto handler = client_->OnError;
  if (handler) handler(*client_, *this, kind, code);
}

void TClientWinSocket::FireDisconnect() {
  if (!client_) return;
  client_->active_ = false;
  FireNotify(&TClientSocket::OnDisconnect);
}

void TClientWinSocket::Open() {
  auto self = shared_from_this();
  if (open_) throw ESocketError("Socket already open");
  // An attempt still under way, or the socket of a failed one, is dropped without events.
  lookup_.reset();
  CloseSocket();
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) throw ESocketError("Can't create new socket");
  AdoptSocket(fd);
  const uint64_t generation = generation_;

  FireNotify(&TClientSocket::OnLookup);
  if (!client_ || generation_ != generation) return;  // the handler ended or restarted it

  if (!client_->host_.empty()) {
    try {
      lookup_ = std::make_unique<THostLookup>(
          loop_, client_->host_, [this](const THostLookup::Result& r) { LookupDone(r); });
    } catch (...) {
      CloseSocket();
      throw;
    }
    return;
  }
  if (!client_->address_.empty()) {
    in_addr address{};
    if (inet_pton(AF_INET, client_->address_.c_str(), &address) != 1) {
      CloseSocket();
      throw SystemSocketError(EADDRNOTAVAIL, "connect");
    }
    StartConnect(address.s_addr);
    return;
  }
  int32_t code = kNoAddressError;
  FireError(eeLookup, code);
  if (client_ && generation_ == generation) CloseNamed(fd_);
  if (code != 0) throw ESocketError("No address specified");
}

void TClientWinSocket::LookupDone(const THostLookup::Result& result) {
  auto self = shared_from_this();
  lookup_.reset();
  if (!client_ || fd_ < 0) return;
  if (result.code != 0) {
    int32_t code = result.code;
    const uint64_t generation = generation_;
    FireError(eeLookup, code);
    if (client_ && generation_ == generation) CloseNamed(fd_);
    if (code != 0) throw ESocketError(SocketErrorText(result.text, code, "ASync Lookup"));
    return;
  }
  StartConnect(result.address);
}

void TClientWinSocket::StartConnect(uint32_t address) {
  const int32_t port = client_->port_;
  if (port < 0 || port > kMaxTcpPort) {
    CloseSocket();
    throw SystemSocketError(EINVAL, "connect");
  }
  sockaddr_in peer{};
  peer.sin_family = AF_INET;
  peer.sin_addr.s_addr = address;
  peer.sin_port = htons(static_cast<uint16_t>(port));
  char text[INET_ADDRSTRLEN] = "";
  inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text);
  target_ = text;

  const uint64_t generation = generation_;
  FireNotify(&TClientSocket::OnConnecting);
  if (!client_ || generation_ != generation) return;

  if (connect(fd_, reinterpret_cast<const sockaddr*>(&peer), sizeof peer) == 0 ||
      errno == EINPROGRESS) {
    connecting_ = true;  // completion arrives as writability
    UpdateWatch();
    return;
  }
  int err = errno;
  if (IsAttemptOutcome(err)) {
    std::weak_ptr<TCustomWinSocket> weak = weak_from_this();
    loop_.Post([weak, generation, err] {
      auto self = std::static_pointer_cast<TClientWinSocket>(weak.lock());
      if (self && self->client_ && self->generation_ == generation && !self->open_) {
        self->ConnectDone(err);
      }
    });
    return;
  }
  CloseSocket();
  throw SystemSocketError(err, "connect");
}

void TClientWinSocket::ConnectReady(uint32_t events) {
  if (!(events & (EPOLLOUT | EPOLLERR | EPOLLHUP))) return;
  int err = 0;
  socklen_t len = sizeof err;
  if (getsockopt(fd_, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
  if (err == 0 && (events & EPOLLHUP)) err = ECONNRESET;
  ConnectDone(err);
}

void TClientWinSocket::ConnectDone(int err) {
  auto self = shared_from_this();
  connecting_ = false;
  if (err != 0) {
    // The socket of the failed attempt is released at once; the next attempt makes a new one.
    // Nothing else follows the error event: Active stays false, no OnDisconnect.
    CloseSocket();
    NotifyError(eeConnect, WinSockErrorOf(err));
    return;
  }
  MarkOpen(target_);
  client_->active_ = true;
  FireNotify(&TClientSocket::OnConnect);
}

}  // namespace kov
