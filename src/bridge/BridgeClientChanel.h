#pragma once
// The remote server link: one serial port bridged to an outgoing TCP connection to a remote
// bridge server, the reverse of a local channel. The console command that starts it stops the
// local channels first; a failed or lost link starts them again.
//
//   TBridgeClientChanel link(loop, serial, bridges, [&](const std::string& t) { Say(t); });
//   try {
//     link.Connect(2, "localhost");  // COM3; returns at once, the outcome reaches the console
//   } catch (const std::runtime_error& e) { Say(e.what()); }  // "Can't open Serial Port COM3"
//   ...
//   if (link.Connected == 1) link.Disconnect();
//
// Bytes from the server go to the serial port as they arrive, as much as the serial transmit
// ring takes: the rest waits in the socket (reading paused) until the ring has room. Bytes from
// the serial port go to the server on the 50 ms poll and at once when the serial layer reports
// new bytes; while more than kOutputHighWater bytes wait to go out to a slow server, the serial
// port is not read, so its receive ring and the line hold the rest.
//
// The serial layer keeps one set of event callbacks per port, shared with the local channel of
// the same port. The link installs its own when it opens the port in Connect; they act only
// while the link is connecting or connected on that port, so the channel's callbacks, once
// reinstalled by its Open, and the link's never act on each other's behalf.
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "bridge/SerialLibrary.h"
#include "event/EventLoop.h"
#include "net/ClientSocket.h"

namespace kov {

class TBridges;

class TBridgeClientChanel {
 public:
  using ConsoleSink = std::function<void(const std::string& text)>;

  static constexpr int32_t kRemoteServerPort = 8899;
  static constexpr int64_t kPollMs = 50;
  static constexpr int32_t kQueueSize = 65000;
  // The link always runs its port at 115200 baud, even parity, one stop bit, 8 data bits.
  static constexpr int32_t kSpeedIndex = 9;
  static constexpr int32_t kParityIndex = 2;
  static constexpr int32_t kStopBits = 0;
  static constexpr int32_t kDataBits = 8;
  // The serial port is not read while more than this waits to go out to the server.
  static constexpr int32_t kOutputHighWater = 256 * 1024;

  TBridgeClientChanel(EventLoop& loop, SerialLibrary& serial, TBridges& bridges,
                      ConsoleSink console);
  ~TBridgeClientChanel();
  TBridgeClientChanel(const TBridgeClientChanel&) = delete;
  TBridgeClientChanel& operator=(const TBridgeClientChanel&) = delete;

  // Opens serial port portIndex (0..7) and starts connecting to host (a name or a dotted
  // address) on RemotePort. Returns whether the link is already up (normally false: the
  // outcome arrives later and is written to the console). Raises std::runtime_error with
  // "Can't open Serial Port COM<n>", "Can't apply Serial Port params for COM<n>", "Can't apply
  // Serial Port speed for COM<n>" or "Error opening TCP/IP Connection to <host>".
  bool Connect(int32_t portIndex, const std::string& host);
  // Stops the poll, closes the connection and the serial port. Writes nothing to the console
  // and does not start the local channels.
  void Disconnect();

  TClientSocket Socket;
  Timer PollTimer;
  uint8_t Connected = 0;  // 1 while the link is up
  int32_t PortIndex = 0;  // the serial port the link bridges
  int32_t RemotePort = kRemoteServerPort;

 private:
  void HandleConnect();
  void HandleError(TErrorEvent kind, int32_t& code);
  void HandleDisconnect();
  void HandleRead(TCustomWinSocket& socket);
  void HandleWrite();
  // The link has ended by itself (failed attempt, lost connection): back to idle, and the local
  // channels run again.
  void GoIdle();

  // Sends what the serial port has received, unless the server is behind.
  void PollStep();
  // Runs PollStep soon, on the loop (at most one pending).
  void RequestPoll();
  void HandleTxRoom();
  void InstallSerialEvents(int32_t port);
  bool UsesPort(int32_t port) const;
  std::string PortName() const;

  EventLoop& loop_;
  SerialLibrary& serial_;
  TBridges& bridges_;
  ConsoleSink console_;
  bool holdsPort_ = false;      // the link opened PortIndex and has not closed it yet
  bool attempting_ = false;     // a connection attempt started by Connect is under way
  bool disconnecting_ = false;  // Disconnect is closing the socket
  bool pollPosted_ = false;
  std::array<char, kQueueSize> rxBlock_{};  // serial bytes on their way to the server
  std::array<char, kQueueSize> txBlock_{};  // server bytes on their way to the serial port
  std::string txCarry_;  // bytes from the server that the serial transmit ring has not taken
  std::string host_;
  // Expires with this object, so posted tasks and serial callbacks can tell it is gone.
  std::shared_ptr<int> alive_ = std::make_shared<int>(0);
};

}  // namespace kov
