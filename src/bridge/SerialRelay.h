#pragma once
// The bytes between a leased serial port and one TCP connection, both ways: the part a local
// channel and the remote link share. The holder decides who the connection is and when bytes
// may move; the relay holds the port's lease and moves them.
//
//   SerialRelay relay(loop, serial, 0, {.Peer = [&] { return connection; }});
//   if (relay.Open({65000, 65000, line}) < 0) { /* cannot open, or held by another */ }
//   relay.Start();                 // a connection is there: bytes move
//   ... socket read event:  relay.PeerReadable(socket);
//   ... socket write event: relay.PeerDrained();
//   relay.Stop();
//
// Device to connection: the bytes go out as soon as the serial layer reports them (a poll step
// posted on the loop), at most kChunkMax per step, zero bytes included. While more than
// kHighWater bytes wait in the connection's output queue the port is not read, so its receive
// ring and the device behind it hold the rest; the connection's write event resumes, and the
// 50 ms poll timer runs only while bytes are held back that way.
//
// Connection to device: each read event moves what the transmit ring has room for. When it is
// full, reading the connection pauses (its bytes wait in the socket) and the port is asked to
// say when it has room again.
//
// A device that goes away: what it had sent goes to the connection first, then the holder is
// told (DeviceLost) and decides what happens to the connection and the port.
//
// A connection that speaks a protocol around the device's bytes (RelayFilter) gets them through
// its filter, and its bytes go to the port through the filter too; the flow rules stay the same.
// Bytes the filter could not hand on for want of room are kept by the relay and given to it
// again, first, once the port has room, before the connection is read again.
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "bridge/SerialLease.h"
#include "event/AliveToken.h"
#include "event/EventLoop.h"

namespace kov {

class TCustomWinSocket;
class SerialRelay;

// What stands between the port and a connection that speaks a protocol around the device's bytes.
class RelayFilter {
 public:
  virtual ~RelayFilter() = default;
  // Bytes from the device, for the connection: the filter sends them, in its own form.
  virtual void FromDevice(const char* data, size_t len) = 0;
  // Bytes from the connection: the filter hands the data among them to the port
  // (SerialRelay::PutToPort), at most room bytes of it, and returns how many of the bytes it
  // read; the rest is given to it again, first, later.
  virtual size_t FromPeer(const char* data, size_t len, size_t room) = 0;
  // Whether the device's bytes wait in the port for now (the client asked for a pause).
  virtual bool DeviceHeld() const = 0;
};

class SerialRelay {
 public:
  static constexpr int32_t kQueueSize = 65000;       // serial receive and transmit rings
  static constexpr int32_t kChunkMax = 64999;        // serial bytes taken per poll step at most
  static constexpr int64_t kPollMs = 50;             // the poll while bytes are held back
  static constexpr int32_t kHighWater = 256 * 1024;  // queued towards a slow connection

  struct Hooks {
    // The connection the bytes go to and come from now; nullptr while there is none.
    std::function<TCustomWinSocket*()> Peer;
    // Bytes taken from the port, and bytes handed to it.
    std::function<void(int32_t count)> FromDevice;
    std::function<void(int32_t count)> ToDevice;
    // The device went away; what it had sent has gone to the connection.
    std::function<void()> DeviceLost;
  };

  SerialRelay(EventLoop& loop, SerialLibrary& serial, int32_t port, Hooks hooks);
  // Gives the lease back.
  ~SerialRelay();
  SerialRelay(const SerialRelay&) = delete;
  SerialRelay& operator=(const SerialRelay&) = delete;

  int32_t Port() const { return port_; }
  SerialLibrary& Serial() const { return serial_; }
  // Moves the relay to another port; the lease of the old one is given back first.
  void SetPort(int32_t port);

  // --- The port ---

  // Leases the port unless the relay holds it already; false when another user holds it.
  bool Take();
  bool Holds() const { return lease_ != nullptr; }
  // Gives the lease back; the port is closed when it is open.
  void Release();
  // Takes the lease and opens the port (SerialLease::Open); kSioCannotOpen, with the SioReset
  // step in *failure, when another user holds the port.
  int32_t Open(const PortSetup& setup, OpenFailure* failure = nullptr,
               OpenLog log = OpenLog::Normal);
  // SioDone on the leased port, which stays leased; kSioNotOpen without a lease.
  int32_t ClosePort();
  bool PortOpen();
  // The lease while the relay holds the port (for the line's settings at run time), else null.
  SerialLease* Lease() const { return lease_.get(); }

  // --- The flow ---

  // The connection is there: bytes from the device go to it from now on (those waiting first).
  void Start();
  // No connection: bytes from the device wait in the port.
  void Stop();
  bool Moving() const { return moving_; }
  // The connection's read event: moves its bytes to the port as far as the port has room.
  void PeerReadable(TCustomWinSocket& socket);
  // The connection's write event: its queue has drained, held-back bytes may go.
  void PeerDrained();
  // Runs one poll step after the current handler (at most one is pending).
  void RequestPoll();
  // Hands everything the port's receive ring holds to the connection now, however much its
  // output queue holds (bounded by the ring): the last bytes before the connection is let go.
  // A filter's pause does not hold these back.
  void Flush();

  // Puts the connection's bytes through filter from now on (nullptr: as they are). The bytes
  // kept for the old filter are dropped with it; the filter must outlive its use here.
  void SetFilter(RelayFilter* filter);
  // For the filter: appends data to the port's transmit ring (within the room it was given).
  int32_t PutToPort(const char* data, size_t len);

  Timer PollTimer;

 private:
  // Sends what the port has received (one chunk), unless the connection is behind.
  void Poll();
  void OnTxRoom();
  // Gives the filter the connection's bytes it could not take before; true once none are left.
  bool FeedKept();
  void OnDeviceLost();
  // One chunk from the port to the connection; the count taken (0 when none).
  int32_t Deliver(TCustomWinSocket* peer, int32_t waiting);

  EventLoop& loop_;
  SerialLibrary& serial_;
  int32_t port_;
  Hooks hooks_;
  std::unique_ptr<SerialLease> lease_;
  bool moving_ = false;
  bool pollPosted_ = false;
  RelayFilter* filter_ = nullptr;
  std::vector<char> kept_;  // connection bytes the filter could not take yet
  std::array<char, kChunkMax> rxChunk_{};   // serial bytes on their way to the connection
  std::array<char, kQueueSize> txChunk_{};  // connection bytes on their way to the port
  AliveToken alive_;
};

}  // namespace kov
