#pragma once
// The serial port library: seven operations on ports 0..7 (COM1..COM8), each returning a signed
// 32-bit result, negative for an error code.
//
// This class is the library's contract, written once: each public operation checks the port
// number, the lease, whether the port is open and its arguments, maps the outcome to the
// library's codes and writes the log lines; then it calls a small protected hook that a backend
// implements over its devices (TermiosSerial over termios devices; the tests have one in memory).
//
// Ports are leased. A user (a local channel, the remote link) takes a port with Lease() and works
// it through the SerialLease it gets: only the holder opens, sets, reads, writes and closes the
// port and receives its events. While a port is leased, a call on it through the public
// operations below, which name no holder, fails with kSioCannotOpen and does nothing, as the
// port of a program that holds it would; so does a second Lease().
//
// A device that goes away (a USB adapter unplugged, a board reset) is recognised by the backend:
// it stops watching the device, closes its descriptor and reports the loss here. The port stays
// open in the library's sense until SioDone, so that the bytes taken from the device before the
// loss can still be read: SioRxQue and SioGets go on, SioPuts drops what it is given, the line
// settings give kSioHardware. The holder gets OnDeviceLost after the OnRxData of those bytes.
// Until the port opens again, DeviceAway() tells that its device is missing.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "event/AliveToken.h"

namespace kov {

class EventLoop;
class SerialLease;

// Error codes of the library.
constexpr int32_t kSioBadPort = -1;     // port number outside 0..7
constexpr int32_t kSioCannotOpen = -2;  // device missing or busy, port held by another user
constexpr int32_t kSioNotOpen = -3;     // operation on a port that is not open
constexpr int32_t kSioNoMemory = -4;
constexpr int32_t kSioBadDefaults = -5;
constexpr int32_t kSioHardware = -10;
constexpr int32_t kSioBadDataBits = -11;  // data bits other than 7 or 8
constexpr int32_t kSioBadBaud = -12;      // baud code outside 0..9
constexpr int32_t kSioOutOfRange = -101;  // other parameter out of range

constexpr int32_t kSioPortCount = 8;
constexpr int32_t kSioBaudCodes = 10;
// Largest receive or transmit queue a port accepts.
constexpr int32_t kMaxSerialQueue = 16 * 1024 * 1024;

// What SioParms and SioBaud set, in the library's codes. A port opens with these defaults.
struct LineSettings {
  int32_t parity = 0;    // 0 none, 1 odd, 2 even
  int32_t stopBits = 0;  // 0 one bit, 1 two bits
  int32_t dataBits = 8;  // 7 or 8
  int32_t baudCode = 5;  // index into the speed table (9600)
};

// The rate of a baud code 0..9 (300 .. 115200), 0 for any other code.
int32_t BaudRateOfCode(int32_t baudCode);
// "9600 8E1" style text of the settings.
std::string DescribeSettings(const LineSettings& settings);

// The opening steps, in their order.
enum class SioStep { Reset, Parms, Baud };
const char* StepName(SioStep step);  // "SioReset", "SioParms", "SioBaud"

// What a holder is told about its port, always on the loop and never from inside one of the
// operations, so a callback may call any operation, SioDone included.
struct SerialEvents {
  // New bytes were taken into the receive ring.
  std::function<void()> OnRxData;
  // The transmit ring has room, as asked for with SerialLease::WantTxRoom.
  std::function<void()> OnTxRoom;
  // The device went away (see above).
  std::function<void()> OnDeviceLost;
};

class SerialLibrary {
 public:
  explicit SerialLibrary(EventLoop& loop);
  virtual ~SerialLibrary();
  SerialLibrary(const SerialLibrary&) = delete;
  SerialLibrary& operator=(const SerialLibrary&) = delete;

  // Opens the port with receive and transmit rings of the given sizes (1..kMaxSerialQueue); on
  // an open port it closes and opens again.
  int32_t SioReset(int32_t port, int32_t rxQueueSize, int32_t txQueueSize);
  // parity 0 none, 1 odd, 2 even; stopBits 0 one bit, 1 two bits; dataBits 7 or 8.
  int32_t SioParms(int32_t port, int32_t parity, int32_t stopBits, int32_t dataBits);
  // baudCode 0..9: 300, 600, 1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200.
  int32_t SioBaud(int32_t port, int32_t baudCode);
  // Bytes waiting in the receive ring.
  int32_t SioRxQue(int32_t port);
  // Takes at most maxCount waiting bytes into buffer; never waits. Returns the count taken.
  int32_t SioGets(int32_t port, char* buffer, int32_t maxCount);
  // Appends to the transmit ring what fits; returns the count taken.
  int32_t SioPuts(int32_t port, const char* bytes, int32_t count);
  // Closes the port.
  int32_t SioDone(int32_t port);
  // Room left in the transmit ring.
  int32_t SioTxFree(int32_t port);

  // Leases the port to a holder whose events go to events; nullptr for a bad port number or a
  // port that is leased already.
  std::unique_ptr<SerialLease> Lease(int32_t port, SerialEvents events);
  bool Leased(int32_t port) const;
  // Whether the port's device went away and the port has not been opened since.
  bool DeviceAway(int32_t port) const;
  // The device path of the port, for log lines.
  std::string PortPath(int32_t port) const;
  // "COM1" for port 0.
  static std::string PortName(int32_t port);

 protected:
  // --- Hooks. Each is called for a valid port number and checked arguments only; the open
  // hooks for a port that is not open, the others for an open one. ---

  // Opens the device with the default LineSettings and rings of the given sizes: 0, or
  // kSioCannotOpen / kSioNoMemory with the reason in why.
  virtual int32_t OpenDevice(int32_t port, size_t rxSize, size_t txSize, std::string& why) = 0;
  // Closes the device (when it is still there) and forgets the port; unsent gets the count of
  // transmit bytes dropped. 0, or a negative code when the port stays open.
  virtual int32_t CloseDevice(int32_t port, size_t& unsent) = 0;
  // Applies wanted (current is what the device has): 0, or kSioBadBaud / kSioHardware with the
  // reason in why, the device left at current. Not called once the device is lost.
  virtual int32_t ApplySettings(int32_t port, SioStep step, const LineSettings& current,
                                const LineSettings& wanted, std::string& why) = 0;
  virtual size_t RxWaiting(int32_t port) = 0;
  virtual size_t TakeRx(int32_t port, char* buffer, size_t maxCount) = 0;
  // Not called once the device is lost.
  virtual size_t PutTx(int32_t port, const char* bytes, size_t count) = 0;
  virtual size_t TxFree(int32_t port) = 0;
  virtual std::string DevicePath(int32_t port) const = 0;

  // --- What backends report, from the loop (a device's handler, never an operation). ---

  // New bytes entered the receive ring: the holder is told at once.
  void ReportRxData(int32_t port);
  // Whether the holder waits for room in the transmit ring.
  bool TxRoomWanted(int32_t port) const;
  // The transmit ring has room: the holder, when it asked, is told at once.
  void ReportTxRoom(int32_t port);
  // The device went away; the backend has closed it and dropped unsent transmit bytes. May be
  // called from inside a hook: the holder is told on the loop's next turn.
  void ReportDeviceLost(int32_t port, const std::string& why, size_t unsent);

  EventLoop& Loop() { return loop_; }
  // Closes every open port, leased or not (for a backend's destructor, while its hooks still
  // run).
  void CloseAll();

 private:
  friend class SerialLease;

  // Who calls: holder 0 is the public operations; a lease calls with its own id. A quiet caller
  // (a holder trying a missing device again) has nothing logged.
  struct Caller {
    uint64_t holder = 0;
    bool quiet = false;
  };
  struct PortState;

  // kSioBadPort, kSioCannotOpen (leased to another) or 0.
  int32_t Admit(int32_t port, const Caller& caller) const;
  // As Admit, then kSioNotOpen for a port that is not open.
  int32_t AdmitOpen(int32_t port, const Caller& caller) const;

  int32_t Reset(int32_t port, int32_t rxQueueSize, int32_t txQueueSize, const Caller& caller);
  int32_t Apply(int32_t port, SioStep step, const LineSettings& wanted, const Caller& caller);
  int32_t Parms(int32_t port, int32_t parity, int32_t stopBits, int32_t dataBits,
                const Caller& caller);
  int32_t Baud(int32_t port, int32_t baudCode, const Caller& caller);
  int32_t RxQue(int32_t port, const Caller& caller);
  int32_t Gets(int32_t port, char* buffer, int32_t maxCount, const Caller& caller);
  int32_t Puts(int32_t port, const char* bytes, int32_t count, const Caller& caller);
  int32_t Done(int32_t port, const Caller& caller);
  // Closes an open port; 0 or the backend's negative code.
  int32_t CloseOpen(int32_t port, const Caller& caller);
  int32_t TxFreeOf(int32_t port, const Caller& caller);
  void WantTxRoom(int32_t port, const Caller& caller);
  // The lease ends: the port is closed when open, the events dropped.
  void Release(int32_t port, uint64_t holder);

  enum class Event { RxData, TxRoom, DeviceLost };
  void Deliver(int32_t port, Event event);
  void Post(int32_t port, Event event);
  void Log(const Caller& caller, const std::string& line) const;

  EventLoop& loop_;
  std::unique_ptr<PortState[]> ports_;
  uint64_t nextHolder_ = 1;
  AliveToken alive_;
};

}  // namespace kov
