// A server's listening endpoint: listening, accepting (paused and retried while descriptors run
// out), its list of connections and their deferred removal.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "event/Log.h"
#include "net/ServerSocket.h"

namespace kov {

namespace {

// As many connections as the system allows may wait to be accepted, so that a burst of clients
// connecting at once (pollers coming back after a restart) is not turned away.
constexpr int kBacklog = SOMAXCONN;
// While the process or system is out of descriptors, accepting is retried after this pause
// instead of spinning on the pending connection.
constexpr int64_t kAcceptRetryMs = 100;

bool OutOfResources(int err) {
  return err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM;
}

}  // namespace

TServerWinSocket::TServerWinSocket(EventLoop& loop, TServerSocket* component)
    : loop_(loop), component_(component) {}

TServerWinSocket::~TServerWinSocket() {
  component_ = nullptr;
  Stop();
}

TServerClientWinSocket& TServerWinSocket::ConnectionAt(int32_t index) const {
  if (index < 0 || index >= ConnectionCount()) {
    throw std::out_of_range("List index out of bounds (" + std::to_string(index) + ")");
  }
  return *connections_[static_cast<size_t>(index)];
}

void TServerWinSocket::Listen(int32_t port) {
  auto self = shared_from_this();
  if (open_ || fd_ >= 0) throw ESocketError("Can't listen on an open socket");
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) throw ESocketError("Can't create new socket");
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);

  auto fail = [fd](int err, const char* api) {
    close(fd);
    return SystemSocketError(err, api);
  };
  if (port < 0 || port > kMaxTcpPort) throw fail(EINVAL, "bind");
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  address.sin_port = htons(static_cast<uint16_t>(port));
  if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    throw fail(errno, "bind");
  }
  if (listen(fd, kBacklog) != 0) throw fail(errno, "listen");

  fd_ = fd;
  open_ = true;
  std::weak_ptr<TServerWinSocket> weak = weak_from_this();
  try {
    watch_ = std::make_unique<FdWatch>(loop_, fd, [weak](uint32_t) {
      if (auto server = weak.lock()) server->HandleAccept();
    });
    watch_->SetRead(true);
  } catch (...) {
    CloseListener();
    throw;
  }
  if (!component_) return;
  component_->active_ = true;
  auto handler = component_->OnListen;
  if (handler) handler(*component_, *this);
}

void TServerWinSocket::Stop() {
  while (!connections_.empty()) {
    std::shared_ptr<TServerClientWinSocket> connection = std::move(connections_.back());
    connections_.pop_back();
    connection->Detach();
  }
  CloseListener();
  if (component_) component_->active_ = false;
}

void TServerWinSocket::Detach() {
  component_ = nullptr;
  Stop();
}

void TServerWinSocket::CloseListener() {
  acceptRetry_.reset();
  watch_.reset();
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
  open_ = false;
}

void TServerWinSocket::HandleAccept() {
  auto self = shared_from_this();
  if (!open_ || !component_) return;
  sockaddr_in peer{};
  socklen_t peerLen = sizeof peer;
  int fd = accept4(fd_, reinterpret_cast<sockaddr*>(&peer), &peerLen, SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (fd < 0) {
    int err = errno;
    if (OutOfResources(err) && watch_) {
      LogWarning("Accepting paused: " + std::string(std::strerror(err)));
      watch_->SetRead(false);
      if (!acceptRetry_) {
        acceptRetry_ = std::make_unique<Timer>(loop_, kAcceptRetryMs, [this] {
          acceptRetry_->SetEnabled(false);
          if (watch_) watch_->SetRead(true);
        });
      }
      acceptRetry_->SetEnabled(true);
    }
    return;  // a failed accept fires no event
  }
  // Closes the accepted socket when it is not taken on (the server went away in OnGetSocket, or
  // a handler raised).
  struct Pending {
    int fd;
    ~Pending() {
      if (fd >= 0) close(fd);
    }
  } pending{fd};

  auto onGetSocket = component_->OnGetSocket;
  if (onGetSocket) onGetSocket(*this, fd);
  if (!open_ || !component_) return;

  char text[INET_ADDRSTRLEN] = "";
  inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text);
  std::shared_ptr<TServerClientWinSocket> connection(new TServerClientWinSocket(loop_, this));
  pending.fd = -1;
  connection->AdoptSocket(fd);
  connections_.push_back(connection);
  connection->MarkOpen(text);
  connection->FireNotify(&TServerSocket::OnClientConnect);
  if (!component_) return;
  auto onAccept = component_->OnAccept;
  if (onAccept) onAccept(*component_, *connection);
}

void TServerWinSocket::QueueRemoval(TServerClientWinSocket* connection) {
  std::weak_ptr<TServerWinSocket> server = weak_from_this();
  std::weak_ptr<TCustomWinSocket> closed = connection->weak_from_this();
  loop_.Post([server, closed] {
    auto endpoint = server.lock();
    auto socket = closed.lock();
    if (endpoint && socket)
      endpoint->Remove(static_cast<const TServerClientWinSocket*>(socket.get()));
  });
}

void TServerWinSocket::Remove(const TServerClientWinSocket* connection) {
  auto it = std::find_if(connections_.begin(), connections_.end(),
                         [connection](const auto& c) { return c.get() == connection; });
  if (it != connections_.end()) connections_.erase(it);
}

}  // namespace kov
