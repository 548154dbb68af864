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
// The bytes move through a SerialRelay, which holds the port's lease from Connect until the
// link ends: while the link holds the port, no local channel can open or close it.
//
// The link ends by itself when the server closes the connection, on a socket error that ends
// the connection, and when the serial device goes away; each time the local channels are started
// again and the console gets one line.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "bridge/SerialRelay.h"
#include "event/EventLoop.h"
#include "net/ClientSocket.h"

namespace kov {

class TBridges;

class TBridgeClientChanel {
 public:
  using ConsoleSink = std::function<void(const std::string& text)>;

  static constexpr int32_t kRemoteServerPort = 8899;
  static constexpr int32_t kQueueSize = SerialRelay::kQueueSize;
  // The link always runs its port at 115200 baud and even parity; the rest of the line (data
  // and stop bits, flow control, modem lines) and the keepalive of its connection come from the
  // port's line in BridgePorts.conf, read afresh at each Connect.
  static constexpr uint32_t kRate = 115200;
  static constexpr Parity kParity = Parity::Even;

  TBridgeClientChanel(EventLoop& loop, SerialLibrary& serial, TBridges& bridges,
                      ConsoleSink console);
  ~TBridgeClientChanel();
  TBridgeClientChanel(const TBridgeClientChanel&) = delete;
  TBridgeClientChanel& operator=(const TBridgeClientChanel&) = delete;

  // Opens serial port portIndex (0..7) with its line and starts connecting to host (a name or a
  // dotted address) on RemotePort. Returns whether the link is already up (normally false: the
  // outcome arrives later and is written to the console). Raises std::runtime_error with
  // "Can't open Serial Port COM<n>" (a local channel holding the port too, or a fault in the
  // port's line in BridgePorts.conf), "Can't apply Serial
  // Port params for COM<n>", "Can't apply Serial Port speed for COM<n>" or "Error opening TCP/IP
  // Connection to <host>"; the port is then given back unless the link is up on it.
  bool Connect(int32_t portIndex, const std::string& host);
  // Stops the relay, closes the connection and the serial port. Writes nothing to the console
  // and does not start the local channels.
  void Disconnect();
  // Whether the link holds the port (from Connect until it ends).
  bool HoldsPort() const { return relay_.Holds(); }
  SerialRelay& Relay() { return relay_; }

  TClientSocket Socket;
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

  // The relay's DeviceLost: the server has the device's last bytes; the link ends.
  void HandleDeviceLost();
  // The link raised out of Connect: a port it holds without a connection is given back.
  void GiveUpPort();
  std::string PortName() const;

  TBridges& bridges_;
  ConsoleSink console_;
  SerialRelay relay_;
  bool attempting_ = false;     // a connection attempt started by Connect is under way
  bool disconnecting_ = false;  // Disconnect is closing the socket
  std::string host_;
};

}  // namespace kov
