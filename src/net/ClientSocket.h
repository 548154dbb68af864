#pragma once
// A TCP client driven by the event loop: TClientSocket makes one outgoing connection to Host()
// (a name, looked up without blocking) or Address() (dotted IPv4), on Port().
//
//   TClientSocket client(loop);
//   client.SetHost("localhost");
//   client.SetPort(8899);
//   client.OnConnect = [](TClientSocket&, TCustomWinSocket& socket) { socket.SendString("hi"); };
//   client.OnRead = [](TClientSocket&, TCustomWinSocket& socket) { Use(socket.ReadPending()); };
//   client.OnError = [](TClientSocket&, TCustomWinSocket&, TErrorEvent, int32_t& code) {
//     code = 0;  // handled: nothing is raised
//   };
//   client.SetActive(true);  // returns at once; Active() becomes true with OnConnect
//
// Events of an attempt: OnLookup, OnConnecting, then OnConnect, or OnError with eeLookup (the
// name did not resolve; OnDisconnect follows) or eeConnect (refused, timed out: nothing follows).
// Writing false to Active while an attempt runs does nothing; writing true again starts afresh.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "event/EventLoop.h"
#include "net/HostLookup.h"
#include "net/WinSocket.h"

namespace kov {

class TClientSocket;

// The connection of a TClientSocket.
class TClientWinSocket : public TCustomWinSocket {
 private:
  friend class TClientSocket;
  TClientWinSocket(EventLoop& loop, TClientSocket* client);

  // Starts an attempt: new socket, OnLookup, then the lookup or the connection.
  void Open();
  // The component is going away: the attempt or connection ends without events.
  void Detach();
  void LookupDone(const THostLookup::Result& result);
  void StartConnect(uint32_t address);
  void ConnectDone(int err);

  bool Attached() const override { return client_ != nullptr; }
  void FireRead() override;
  void FireWrite() override;
  void FireError(TErrorEvent kind, int32_t& code) override;
  void FireDisconnect() override;
  void CancelLookup() override { lookup_.reset(); }
  void ConnectReady(uint32_t events) override;
  void FireNotify(std::function<void(TClientSocket&, TCustomWinSocket&)> TClientSocket::*event);

  TClientSocket* client_;
  std::unique_ptr<THostLookup> lookup_;
  std::string target_;  // the dotted address being connected to
};

class TClientSocket {
 public:
  using NotifyEvent = std::function<void(TClientSocket& sender, TCustomWinSocket& socket)>;
  using ErrorEvent = std::function<void(TClientSocket& sender, TCustomWinSocket& socket,
                                        TErrorEvent errorEvent, int32_t& errorCode)>;

  explicit TClientSocket(EventLoop& loop);
  // Closes the connection or drops the attempt without events. May be destroyed from inside one
  // of its own events.
  ~TClientSocket();
  TClientSocket(const TClientSocket&) = delete;
  TClientSocket& operator=(const TClientSocket&) = delete;

  // True while connected.
  bool Active() const { return active_; }
  // true: starts an attempt (raises "Socket already open" while connected, "No address
  // specified" when neither Host nor Address is set and the error handler left the code, the
  // "connect" text when the connection cannot be started); false: closes the connection, and
  // does nothing while not connected.
  void SetActive(bool on);

  // Setting another value while Active raises "Can't change value while socket is active";
  // texts compare without regard to case.
  const std::string& Host() const { return host_; }
  void SetHost(const std::string& host);
  const std::string& Address() const { return address_; }
  void SetAddress(const std::string& address);
  int32_t Port() const { return port_; }
  void SetPort(int32_t port);

  TClientWinSocket& Socket() { return *socket_; }

  NotifyEvent OnLookup;
  NotifyEvent OnConnecting;
  NotifyEvent OnConnect;
  NotifyEvent OnDisconnect;
  NotifyEvent OnRead;
  NotifyEvent OnWrite;  // the output queue has drained
  ErrorEvent OnError;

 private:
  friend class TClientWinSocket;
  void CheckInactive() const;

  bool active_ = false;
  std::string host_;
  std::string address_;
  int32_t port_ = 0;
  std::shared_ptr<TClientWinSocket> socket_;
};

}  // namespace kov
