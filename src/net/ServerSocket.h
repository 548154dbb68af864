#pragma once
// A TCP server driven by the event loop: TServerSocket listens on Port() and keeps the
// connections it accepted, oldest first, in its TServerWinSocket.
//
//   TServerSocket server(loop);
//   server.SetPort(8801);
//   server.OnClientConnect = [](TServerWinSocket& sender, TCustomWinSocket& socket) {
//     if (sender.ConnectionCount() > 1) socket.CloseNamed(socket.NativeHandle());  // one at a time
//   };
//   server.OnClientRead = [](TServerWinSocket&, TCustomWinSocket& socket) {
//     Use(socket.ReadPending());
//   };
//   server.SetActive(true);  // raises ESocketError when the port cannot be listened on
//
// For every accepted connection the events run in the order OnGetSocket, OnClientConnect,
// OnAccept. A closed connection stays in the list (counted, IsOpen() false) until its removal,
// which runs as a posted task after the current handler. Stopping the server (SetActive(false))
// or destroying it drops every connection at once without events.
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "event/EventLoop.h"
#include "net/WinSocket.h"

namespace kov {

class TServerSocket;
class TServerWinSocket;

// One accepted connection of a server.
class TServerClientWinSocket : public TCustomWinSocket {
 public:
  // The server that accepted it; nullptr once the server has dropped it.
  TServerWinSocket* Server() const { return server_; }

 private:
  friend class TServerWinSocket;
  TServerClientWinSocket(EventLoop& loop, TServerWinSocket* server);

  bool Attached() const override;
  void FireRead() override;
  void FireWrite() override;
  void FireError(TErrorEvent kind, int32_t& code) override;
  void FireDisconnect() override;
  void BeforeClose() override;
  // Cuts the connection off its server and closes it, without events.
  void Detach();
  // Runs one of the server's notify events (OnClientConnect, ...) with this connection.
  void FireNotify(std::function<void(TServerWinSocket&, TCustomWinSocket&)> TServerSocket::*event);

  TServerWinSocket* server_;
};

// The listening endpoint of a TServerSocket and its list of connections.
class TServerWinSocket : public std::enable_shared_from_this<TServerWinSocket> {
 public:
  ~TServerWinSocket();
  TServerWinSocket(const TServerWinSocket&) = delete;
  TServerWinSocket& operator=(const TServerWinSocket&) = delete;

  // Connections in accept order, closed ones awaiting removal included.
  int32_t ConnectionCount() const { return static_cast<int32_t>(connections_.size()); }
  // Raises std::out_of_range "List index out of bounds (<index>)" outside 0..count-1.
  TServerClientWinSocket& ConnectionAt(int32_t index) const;

  int32_t NativeHandle() const { return fd_; }
  bool IsOpen() const { return open_; }

 private:
  friend class TServerSocket;
  friend class TServerClientWinSocket;
  TServerWinSocket(EventLoop& loop, TServerSocket* component);

  void Listen(int32_t port);
  // Drops every connection (newest first) and closes the listening socket, without events.
  void Stop();
  // The component is going away: no event reaches it any more, and the endpoint stops.
  void Detach();
  void HandleAccept();
  void QueueRemoval(TServerClientWinSocket* connection);
  void Remove(const TServerClientWinSocket* connection);
  void CloseListener();

  EventLoop& loop_;
  TServerSocket* component_;
  int fd_ = -1;
  bool open_ = false;
  std::unique_ptr<FdWatch> watch_;
  std::unique_ptr<Timer> acceptRetry_;  // accepting paused while descriptors are exhausted
  std::vector<std::shared_ptr<TServerClientWinSocket>> connections_;
};

class TServerSocket {
 public:
  using NotifyEvent = std::function<void(TServerWinSocket& sender, TCustomWinSocket& socket)>;
  using ErrorEvent = std::function<void(TServerWinSocket& sender, TCustomWinSocket& socket,
                                        TErrorEvent errorEvent, int32_t& errorCode)>;

  explicit TServerSocket(EventLoop& loop);
  // Stops the server without events. May be destroyed from inside one of its own events.
  ~TServerSocket();
  TServerSocket(const TServerSocket&) = delete;
  TServerSocket& operator=(const TServerSocket&) = delete;

  bool Active() const { return active_; }
  // true: binds the wildcard address on Port() and listens (raises ESocketError on failure,
  // leaving Active() false); false: stops, dropping every connection without events.
  void SetActive(bool on);
  int32_t Port() const { return port_; }
  // Raises "Can't change value while socket is active" for another value while active.
  void SetPort(int32_t port);

  TServerWinSocket& Socket() { return *socket_; }

  // Events of the component; Sender is the component.
  std::function<void(TServerSocket& sender, TServerWinSocket& socket)> OnListen;
  std::function<void(TServerSocket& sender, TCustomWinSocket& socket)> OnAccept;
  // Events of the connections; Sender is the server endpoint.
  std::function<void(TServerWinSocket& sender, int32_t socketHandle)> OnGetSocket;
  NotifyEvent OnClientConnect;
  NotifyEvent OnClientDisconnect;
  NotifyEvent OnClientRead;
  NotifyEvent OnClientWrite;  // also: a connection's output queue has drained
  ErrorEvent OnClientError;

 private:
  friend class TServerWinSocket;

  bool active_ = false;
  int32_t port_ = 0;
  std::shared_ptr<TServerWinSocket> socket_;
};

}  // namespace kov
