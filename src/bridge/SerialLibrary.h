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
//
// A port's line is one value (LineSetting): an open applies all of it at once, the rate, format
// and flow control in one step, then the modem lines and the driver's low-latency mode, checks
// what the device kept, and writes one log line with the whole setting and the path. A setting
// the device does not take fails the open and leaves the port closed. SioParms and SioBaud change
// a part of it on an open port with the library's codes and ranges; a holder may set the whole
// line, the modem lines and BREAK, purge the rings and read the modem lines at run time.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "bridge/LineSetting.h"
#include "bridge/PortTable.h"
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

constexpr int32_t kSioPortCount = kPortLineCount;
constexpr int32_t kSioBaudCodes = 10;
// Largest receive or transmit queue a port accepts.
constexpr int32_t kMaxSerialQueue = 16 * 1024 * 1024;

// The rate of a baud code 0..9 (300 .. 115200), 0 for any other code.
int32_t BaudRateOfCode(int32_t baudCode);
// The parity of a parity code: 0 none, 1 odd, 2 even (anything else: none).
Parity ParityOfCode(int32_t parityCode);

// The opening steps, in their order: the device opened, its format and flow, its rate.
enum class SioStep { Reset, Parms, Baud };
const char* StepName(SioStep step);  // "SioReset", "SioParms", "SioBaud"

// What opening a port takes: the ring sizes of SioReset and the whole line setting.
struct PortSetup {
  int32_t rxQueueSize = 0;
  int32_t txQueueSize = 0;
  LineSetting line;
};

// How an open failed.
struct OpenFailure {
  // Reset: the device did not open; Parms: it did not take the format, flow control or modem
  // lines; Baud: it did not take the rate.
  SioStep step = SioStep::Reset;
  // The path names no device (it does not exist, or no device answers behind it).
  bool missing = false;
  std::string why;
};

// Which log lines an open writes: all of them; none (a holder trying a missing device again);
// none when the device is missing (a holder that then waits for it and says so itself).
enum class OpenLog { Normal, Quiet, QuietIfMissing };

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
  // table gives each port's device path (and the options of its line, for the port's users).
  SerialLibrary(EventLoop& loop, PortTable table);
  virtual ~SerialLibrary();
  SerialLibrary(const SerialLibrary&) = delete;
  SerialLibrary& operator=(const SerialLibrary&) = delete;

  // Opens the port with receive and transmit rings of the given sizes (1..kMaxSerialQueue) and
  // the default line setting (9600 8N1); on an open port it closes and opens again.
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
  // The device path of the port, for log lines: the one it was opened on while it is open.
  std::string PortPath(int32_t port) const;
  // "COM1" for port 0.
  static std::string PortName(int32_t port);
  // Each port's path and the options of its line.
  PortTable& Ports() { return table_; }

 protected:
  // What setting a modem line, or the driver's low-latency mode, came to.
  enum class SignalResult {
    Done,
    Unsupported,  // the driver has no such line or mode (a pseudo-terminal): nothing changed
    Failed,       // the driver refused; why says why
  };

  // --- Hooks. Each is called for a valid port number and checked arguments only; the open
  // hook for a port that is not open, the others for an open one. ---

  // Opens the device at path with rings of the given sizes, raw, its line not set yet: 0, or
  // kSioCannotOpen / kSioNoMemory with failure.why (and failure.missing) filled in.
  virtual int32_t OpenDevice(int32_t port, const std::string& path, size_t rxSize, size_t txSize,
                             OpenFailure& failure) = 0;
  // Closes the device (when it is still there) and forgets the port; unsent gets the count of
  // transmit bytes dropped. 0, or a negative code when the port stays open.
  virtual int32_t CloseDevice(int32_t port, size_t& unsent) = 0;
  // Applies the rate, format and flow control of wanted all at once (current is what the device
  // has) and reads back what the device kept: 0 when it kept all it can hold; otherwise the
  // device is left at current, part says which part it did not take (SioStep::Baud: the rate,
  // with kSioBadBaud) and why says why. Not called once the device is lost.
  virtual int32_t ApplyLine(int32_t port, const LineSetting& current, const LineSetting& wanted,
                            SioStep& part, std::string& why) = 0;
  // Raises or drops DTR or RTS, or starts or ends a BREAK. Not called once the device is lost.
  virtual SignalResult SetSignal(int32_t port, ModemSignal signal, bool on, std::string& why) = 0;
  // Asks the driver for low-latency mode, or for its normal mode.
  virtual SignalResult SetLowLatency(int32_t port, bool on, std::string& why) = 0;
  virtual ModemStatus ReadModemLines(int32_t port) = 0;
  // Drops what waits in the receive ring and the device's input, and/or what waits in the
  // transmit ring and the device's output.
  virtual void Purge(int32_t port, bool receive, bool transmit) = 0;
  virtual size_t RxWaiting(int32_t port) = 0;
  virtual size_t TakeRx(int32_t port, char* buffer, size_t maxCount) = 0;
  // Not called once the device is lost.
  virtual size_t PutTx(int32_t port, const char* bytes, size_t count) = 0;
  virtual size_t TxFree(int32_t port) = 0;

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

  // Who calls: holder 0 is the public operations; a lease calls with its own id, and says which
  // of its open's log lines to write.
  struct Caller {
    uint64_t holder = 0;
    OpenLog log = OpenLog::Normal;
  };
  struct PortState;

  // kSioBadPort, kSioCannotOpen (leased to another) or 0.
  int32_t Admit(int32_t port, const Caller& caller) const;
  // As Admit, then kSioNotOpen for a port that is not open.
  int32_t AdmitOpen(int32_t port, const Caller& caller) const;

  // Opens (or reopens) the port with the whole setup, one log line for the outcome.
  int32_t Open(int32_t port, const PortSetup& setup, const Caller& caller, OpenFailure* failure);
  // The open's modem lines and low-latency mode: false, with why, when the device refused one;
  // notes gets what could not be applied but does not matter.
  bool ApplyExtras(int32_t port, const LineSetting& line, const LineSetting* current,
                   std::string& why, std::string& notes);
  // Changes the line of an open port; step names the operation for the result code.
  int32_t Change(int32_t port, SioStep step, const LineSetting& wanted, const Caller& caller);
  int32_t Parms(int32_t port, int32_t parity, int32_t stopBits, int32_t dataBits,
                const Caller& caller);
  int32_t Baud(int32_t port, int32_t baudCode, const Caller& caller);
  int32_t SetWholeLine(int32_t port, const LineSetting& wanted, const Caller& caller);
  int32_t Signal(int32_t port, ModemSignal signal, bool on, const Caller& caller);
  // The line in force, with the state of BREAK.
  int32_t LineOf(int32_t port, const Caller& caller, LineSetting& line, bool& breakOn) const;
  int32_t ModemLinesOf(int32_t port, const Caller& caller, ModemStatus& status);
  int32_t PurgeRings(int32_t port, bool receive, bool transmit, const Caller& caller);
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
  void Log(const Caller& caller, const std::string& line, bool missing = false) const;

  EventLoop& loop_;
  PortTable table_;
  std::unique_ptr<PortState[]> ports_;
  uint64_t nextHolder_ = 1;
  AliveToken alive_;
};

}  // namespace kov
