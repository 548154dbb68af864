#pragma once
// One TCP connection driven by the event loop: the common base of a server's accepted
// connections (TServerClientWinSocket) and of a client's connection (TClientWinSocket).
//
//   server.OnClientRead = [](TServerWinSocket&, TCustomWinSocket& socket) {
//     std::string bytes = socket.ReadPending();
//     socket.SendString(bytes);  // what the network does not take at once is queued, in order
//   };
//   // A bridge holds back while a peer reads slowly, and resumes on the write event:
//   if (socket.OutputQueued() > kHighWater) stopTakingSerialData();
//
// Reads are level-triggered: the read event fires again in the next turn while bytes are left.
// A read event whose handler reads nothing at all stops read events until the next ReadPending /
// ReceiveBuf call or SetReadPaused(false), so unread bytes cannot keep the loop busy.
//
// Events run on the loop thread, one at a time. A handler may call any operation here, closing
// the connection its event is about included; events caused by that call run before it returns.
// Connection objects are owned through shared_ptr: every operation that can run handlers keeps
// its own object alive until it returns, and an owner that goes away only detaches its objects
// (closing their sockets, no events), so no running frame is ever left with a freed object.
//
// kMaxTcpPort bounds the port numbers every socket component takes.
#include <cstdint>
#include <memory>
#include <string>

#include "event/EventLoop.h"
#include "net/OutputQueue.h"
#include "net/SocketError.h"

namespace kov {

// The highest TCP port number. A port outside 0..kMaxTcpPort is refused, not cut to 16 bits.
inline constexpr int32_t kMaxTcpPort = 65535;

class TCustomWinSocket : public std::enable_shared_from_this<TCustomWinSocket> {
 public:
  // A connection whose queued output would grow beyond this is closed as a failed send.
  static constexpr int32_t kOutputQueueLimit = 1 << 20;

  virtual ~TCustomWinSocket();
  TCustomWinSocket(const TCustomWinSocket&) = delete;
  TCustomWinSocket& operator=(const TCustomWinSocket&) = delete;

  // The socket's descriptor, -1 when there is none.
  int32_t NativeHandle() const { return fd_; }
  // True while connected.
  bool IsOpen() const { return open_; }

  // Sends the bytes; what the network does not take at once is queued and sent, in order, as
  // the socket becomes writable. Returns the number of bytes taken (all of them), 0 when the
  // connection is not open. A failure runs the error event (eeSend) and closes the connection
  // (disconnect event); then it raises "Windows socket error ..., on API 'send'" if the handler
  // left the code set, or returns -1. Passing the queue bound is such a failure.
  int32_t SendString(const std::string& text);
  int32_t SendBuf(const char* data, int32_t len);

  // Bytes that can be read now; 0 when not open.
  int32_t BytesPending() const;
  // All bytes that can be read now (zero bytes included); empty when there are none. A failure
  // runs the error event (eeReceive) and closes the connection; then it raises the "recv" text if
  // the handler left the code set, or gives the empty text.
  std::string ReadPending();
  // Reads at most max bytes now into buf; 0 when there are none. Failures as ReadPending.
  int32_t ReceiveBuf(char* buf, int32_t max);

  // The remote IPv4 address in dotted form; empty when not open.
  std::string PeerAddress() const { return open_ ? peer_ : std::string(); }

  // Closes the connection if and only if handle is its own NativeHandle(): the disconnect event
  // runs first (the connection still open and counted), then the socket is closed. Queued output
  // is offered to the network once, without waiting, before the close; while a TOutputDrain
  // lives (OutputDrain.h), it is handed to the drain instead, which delivers all of it.
  void CloseNamed(int32_t handle);

  // Bytes taken by SendString/SendBuf that the network has not accepted yet.
  int32_t OutputQueued() const { return static_cast<int32_t>(out_.Size()); }
  // While paused, received bytes stay in the socket and no read event fires.
  void SetReadPaused(bool paused);
  bool ReadPaused() const { return readPaused_; }
  // TCP_NODELAY on this connection (kept for a client's next connection too).
  void SetNoDelay(bool on);
  // TCP keepalive on this connection (kept for a client's next connection too), so a peer that
  // vanished without a close is found: probes after idleSeconds without traffic, then every
  // kKeepAliveIntervalS, and after kKeepAliveProbes unanswered ones the connection fails with an
  // error event (ETIMEDOUT, 10060). 0 turns it off.
  void SetKeepAlive(int32_t idleSeconds);
  static constexpr int32_t kKeepAliveIntervalS = 10;
  static constexpr int32_t kKeepAliveProbes = 3;

 protected:
  explicit TCustomWinSocket(EventLoop& loop);

  // Where this connection's happenings go. Each may run handlers that do anything.
  virtual bool Attached() const = 0;  // the owner is still there to receive events
  virtual void FireRead() = 0;
  virtual void FireWrite() = 0;
  virtual void FireError(TErrorEvent kind, int32_t& code) = 0;
  virtual void FireDisconnect() = 0;
  // Runs between the disconnect event and the close (a server queues the removal here).
  virtual void BeforeClose() {}
  // Runs first in CloseNamed (a client drops a pending name lookup).
  virtual void CancelLookup() {}
  // Readiness while a connection attempt is in progress.
  virtual void ConnectReady(uint32_t /*events*/) {}

  // Takes fd as this object's socket and creates its watch (nothing watched yet).
  void AdoptSocket(int fd);
  // The connection is established: read notifications start.
  void MarkOpen(const std::string& peer);
  // Offers queued output once (or hands it to the drain), stops watching and closes the socket.
  // No event fires.
  void CloseSocket();
  void UpdateWatch();
  // Runs the error event; raises "Asynchronous socket error %d" if the handler left the code.
  void NotifyError(TErrorEvent kind, int32_t code);

  EventLoop& loop_;
  int fd_ = -1;
  uint64_t generation_ = 0;  // changes whenever the socket is replaced or closed
  bool open_ = false;
  bool connecting_ = false;  // a client's connection attempt is in progress

 private:
  void HandleEvents(uint32_t events);
  // peerDone: the peer shut down or the connection hung up, so the stream may have ended.
  void HandleReadable(uint64_t generation, bool peerDone);
  void Flush();
  int32_t Receive(char* buf, int32_t max);
  // Error event for a failed send or receive, then the close; raises when the code is left.
  void FailTransfer(TErrorEvent kind, int err, const char* api, bool fromNotification);
  void FinishClose(uint64_t generation);

  std::unique_ptr<FdWatch> watch_;
  TOutputQueue out_;
  std::string peer_;
  // Read calls, and looks that found nothing to read: a read event after which this has not
  // moved left its bytes unread.
  mutable uint64_t receiveCalls_ = 0;
  bool closing_ = false;      // the disconnect event of CloseNamed is running
  bool readPaused_ = false;   // SetReadPaused
  bool readStalled_ = false;  // a read event read nothing: wait for the next read call
  bool dead_ = false;         // an error ended the connection; the owner decides when to close
  bool hangUp_ = false;       // nothing more can be sent
  bool noDelay_ = false;
  int32_t keepAlive_ = -1;  // SetKeepAlive's idle seconds, -1 never set
};

}  // namespace kov
