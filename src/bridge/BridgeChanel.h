#pragma once
// One local bridge channel: a serial port held through the serial library and a TCP port
// listened on, bridging one client at a time (from an accepted address) to the port.
//
//   TBridgeChanel channel(loop, serial, config, 0);  // COM1
//   if (channel.Open(9, 2, 8801) < 0) { /* the serial library's code, or -2: cannot listen */ }
//   ...
//   channel.Close();
//
// States: Closed (Opened 0), Listening (Opened 1, Connected 0), Bridging (Opened 1,
// Connected 1). The bridged client is connection 0 of the server; a newcomer while it is there
// gets the B03 notice and is closed, a client from an address that does not pass is closed
// (the first one with the B02 notice). The bridged client is let go with the B02 notice when it
// closes, when it sends nothing for the port's idle time (180000 ms unless BridgePorts.conf says
// otherwise; never with idle=0), or when the channel is opened again or closed. A client that is
// let go gets what the port had received first. Each close is logged with its reason.
//
// A port with protocol=rfc2217 speaks Telnet with the Com Port Control Option on its bridged
// connection (Rfc2217Connection): the client sets the line and the modem lines as it likes while
// it is bridged, and the port goes back to the line of its last Open when the client leaves.
// No notice goes out on such a port, as it would land in the client's data: a second client is
// closed without text, and the log says why.
//
// Each Open reads the port's line in BridgePorts.conf afresh (SerialLibrary::Ports): its path,
// its line setting with the rate and parity given, the idle time, the TCP keepalive of the
// bridged connection and whether the notices go out. With notices=off the connections carry the
// device's bytes and nothing else: every close is a plain orderly one, without text. A line with
// a fault does not open (kSioCannotOpen, the log names the fault).
//
// The bytes move through a SerialRelay, which holds the port's lease while the channel is open;
// a port leased to the remote link is not the channel's: Open fails with kSioCannotOpen and
// Close leaves it alone.
//
// A device that goes away while the channel is open: the bridged client gets what the device
// had sent, then the B02 notice, and is let go. The channel keeps listening, Opened stays 1, and
// a DeviceWait tries the device again every 1000 ms; meanwhile each newcomer from an accepted
// address gets the B02 notice and is closed. Once the device is back the channel bridges again.
// Open on a port whose device went away and is not back yet waits the same way instead of
// failing; so does an Open at start-up (DeviceAbsent::Wait) on a device that is not there yet.
#include <cstdint>
#include <memory>
#include <string>

#include "bridge/DeviceWait.h"
#include "bridge/PortLines.h"
#include "bridge/Rfc2217Connection.h"
#include "bridge/SerialLibrary.h"
#include "bridge/SerialRelay.h"
#include "event/EventLoop.h"
#include "net/ServerSocket.h"

namespace kov {

class TConfigFile;

// What others read of a channel (status window, listings, LoadConfig).
struct ChannelState {
  uint8_t Opened;
  uint8_t Connected;
  std::string RemoteAddress;
  int32_t SpeedTx;
  int32_t SpeedRx;
};

// The three fixed notices to a client, 20 bytes each.
inline constexpr char kNoticeB01[] = "\nB01S00A3\r\vB01S00A3\r";  // taken on
inline constexpr char kNoticeB02[] = "\nB02S00A4\r\vB02S00A4\r";  // let go, or refused first
inline constexpr char kNoticeB03[] = "\nB03S00A5\r\vB03S00A5\r";  // turned away: port busy
inline constexpr int32_t kNoticeSize = 20;

class TBridgeChanel {
 public:
  static constexpr int32_t kQueueSize = SerialRelay::kQueueSize;  // serial rings
  static constexpr int64_t kIdleMs = 180000;    // client silence before it is dropped, by default
  static constexpr int64_t kTrafficMs = 10000;  // traffic period
  static constexpr int64_t kLetGoMs = 10000;    // a client let go may take this long to read
  static constexpr int32_t kAddressMax = 20;    // RemoteAddress is cut to this length

  TBridgeChanel(EventLoop& loop, SerialLibrary& serial, TConfigFile& config, int32_t portIndex);
  // Close(), result ignored.
  ~TBridgeChanel();
  TBridgeChanel(const TBridgeChanel&) = delete;
  TBridgeChanel& operator=(const TBridgeChanel&) = delete;

  // What Open does about a device that is not there.
  enum class DeviceAbsent {
    Fail,  // an error at once (the console's Start n): only a device that went away is waited for
    Wait,  // a path that names no device yet is waited for too (start-up: USB adapters come late)
  };

  // Opens the serial port with its whole line (the rate and parity given, the rest from its line
  // in BridgePorts.conf, read afresh) and listens on tcpPort, letting go of a bridged client
  // first. Returns 0, the negative code of the step that failed (the port is closed then), or
  // kSioCannotOpen (-2) when the port's line has a fault, the port is leased to the remote link
  // or tcpPort cannot be listened on: the channel stays as it was (closed when tcpPort was the
  // problem, the socket error going to the error box). A device that went away and is not back
  // (or, with DeviceAbsent::Wait, is not there yet) gives 0: the channel listens and waits for
  // it.
  int32_t Open(int32_t speedIndex, int32_t parityIndex, int32_t tcpPort,
               DeviceAbsent absent = DeviceAbsent::Fail);
  // Hands the bridged client what the port has received, closes the serial port, then lets go
  // of the client and stops listening; stops waiting for a missing device. A negative result of the
  // library's close is returned with nothing changed. A port leased to the remote link is left to
  // it (result 0).
  int32_t Close();
  ChannelState State() const;
  // Whether the channel waits for its missing device.
  bool WaitingForDevice() const { return wait_.Waiting(); }
  // The options of the port's line at the last Open.
  const PortOptions& Options() const { return options_; }

  SerialRelay& Relay() { return relay_; }
  DeviceWait& Wait() { return wait_; }

  int32_t PortIndex;
  uint8_t Opened = 0;
  uint8_t Connected = 0;
  std::string RemoteAddress;
  int32_t SpeedTx = 0;  // CountTx of the last complete period
  int32_t SpeedRx = 0;  // CountRx of the last complete period
  int32_t CountTx = 0;  // client bytes handed to the serial port in the running period
  int32_t CountRx = 0;  // bytes read from the serial port in the running period

  int32_t FirstClientHandle = 0;   // latest connection accepted while the server held none
  int32_t SecondClientHandle = 0;  // latest connection accepted while the server held one
  TServerSocket Server;
  Timer IdleTimer;
  Timer TrafficTimer;

  // Handlers of the server's events.
  void OnGetSocket(TServerWinSocket& sender, int32_t socketHandle);
  void OnClientConnect(TServerWinSocket& sender, TCustomWinSocket& socket);
  void OnClientDisconnect(TServerWinSocket& sender, TCustomWinSocket& socket);
  void OnClientRead(TServerWinSocket& sender, TCustomWinSocket& socket);
  void OnClientWrite(TServerWinSocket& sender, TCustomWinSocket& socket);
  void OnClientError(TServerWinSocket& sender, TCustomWinSocket& socket, TErrorEvent errorEvent,
                     int32_t& errorCode);
  // Handlers of the timers.
  void IdleTimerTimer();
  void TrafficTimerTimer();

 private:
  std::string Name() const;  // "COM1"
  // The relay's DeviceLost: the client has the device's last bytes; it is let go, and the
  // device is waited for.
  void OnDeviceLost();
  // The bridged connection (connection 0) when the server holds one.
  TCustomWinSocket* FirstConnection();
  // Lets go of the bridged client now: closes connection 0 naming FirstClientHandle; the log
  // line names the reason.
  void CloseFirstClient(const std::string& reason);
  // Lets go of the bridged client once it has what the port had received: the port's receive
  // ring goes to it at once, and the close follows when its output queue has drained.
  void LetGo(const std::string& reason);
  // Closes a connection that is not (or no longer) bridged, with the notice when notices are on
  // (none: nullptr). Input it sent is dropped first, so the close is an orderly one.
  void Refuse(TCustomWinSocket& socket, int32_t handle, const char* notice);
  // Refuses a newcomer: a second client gets secondNotice (none when null) and is closed; a
  // first one is closed and its disconnect handler sends it B02.
  void RefuseNewcomer(TCustomWinSocket& socket, bool second, const char* secondNotice);
  // Sends the notice when the port's notices are on.
  void Notice(TCustomWinSocket& socket, const char* notice);
  int64_t IdleMs() const { return int64_t{options_.idleSeconds} * 1000; }
  // The bridged client of an rfc2217 port is taken on: its session stands in the relay's path.
  void StartRfc2217();
  // It has gone: the session leaves the path, and the line goes back to the port's own.
  void EndRfc2217();

  EventLoop& loop_;
  TConfigFile& config_;
  SerialLibrary& serial_;
  SerialRelay relay_;
  DeviceWait wait_;
  PortSetup setup_;          // what the last Open asked for
  PortOptions options_;      // the options of the port's line at the last Open
  bool bridged_ = false;     // connection 0 was taken on and has not been let go yet
  bool lettingGo_ = false;   // the bridged client is let go once its queue has drained
  std::string letGoReason_;  // why connection 0 is being closed, for its log line
  // The session of the bridged client of an rfc2217 port; kept, stopped, after the client has
  // gone (it may be under way in the call that closed the connection) until the next one comes.
  std::unique_ptr<Rfc2217Connection> rfc2217_;
};

}  // namespace kov
