#include "net/ServerSocket.h"

namespace kov {

// ---------------------------------------------------------------------------------------------
// TServerSocket

TServerSocket::TServerSocket(EventLoop& loop) : socket_(new TServerWinSocket(loop, this)) {}

TServerSocket::~TServerSocket() { socket_->Detach(); }

void TServerSocket::SetActive(bool on) {
  if (on == active_) return;
  // The endpoint outlives this call even if a handler destroys the component.
  std::shared_ptr<TServerWinSocket> endpoint = socket_;
  if (on) {
    endpoint->Listen(port_);
  } else {
    endpoint->Stop();
  }
}

void TServerSocket::SetPort(int32_t port) {
  if (port == port_) return;
  if (active_) throw ESocketError("Can't change value while socket is active");
  port_ = port;
}

// ---------------------------------------------------------------------------------------------
// TServerClientWinSocket

TServerClientWinSocket::TServerClientWinSocket(EventLoop& loop, TServerWinSocket* server)
    : TCustomWinSocket(loop), server_(server) {}

bool TServerClientWinSocket::Attached() const { return server_ && server_->component_; }

void TServerClientWinSocket::FireNotify(
    std::function<void(TServerWinSocket&, TCustomWinSocket&)> TServerSocket::*event) {
  if (!Attached()) return;
  // Copies: the handler may destroy the component that holds it, and the endpoint with it.
  std::shared_ptr<TServerWinSocket> server = server_->shared_from_this();
  auto handler = server->component_->*event;
  if (handler) handler(*server, *this);
}

void TServerClientWinSocket::FireRead() { FireNotify(&TServerSocket::OnClientRead); }

void TServerClientWinSocket::FireWrite() { FireNotify(&TServerSocket::OnClientWrite); }

void TServerClientWinSocket::FireDisconnect() { FireNotify(&TServerSocket::OnClientDisconnect); }

void TServerClientWinSocket::FireError(TErrorEvent kind, int32_t& code) {
  if (!Attached()) return;
  std::shared_ptr<TServerWinSocket> server = server_->shared_from_this();
  auto handler = server->component_->OnClientError;
  if (handler) handler(*server, *this, kind, code);
}

void TServerClientWinSocket::BeforeClose() {
  if (server_) server_->QueueRemoval(this);
}

void TServerClientWinSocket::Detach() {
  server_ = nullptr;
  CloseSocket();
}

}  // namespace kov
