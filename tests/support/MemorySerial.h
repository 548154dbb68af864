#pragma once
// The serial port library in memory, for tests of the channels, the remote link and the whole
// program in-process. It implements the hooks of SerialLibrary, so every check, code, lease and
// log line is the real layer's, and gives the test the device's end of each line.
//
// Notifications are never delivered from inside a call: OnRxData and OnTxRoom are posted on the
// loop, so they run on the loop's next turn (loop.RunOnce(0), RunUntil or AdvanceMs), as they
// would from the device's readiness handler. A posted notification is skipped when its port was
// closed or reopened in the meantime.
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "bridge/SerialLibrary.h"
#include "event/AliveToken.h"

namespace kov {

class MemorySerial : public SerialLibrary {
 public:
  // Port n is at "memory:COM<n+1>" unless a table says otherwise.
  explicit MemorySerial(EventLoop& loop);
  MemorySerial(EventLoop& loop, PortTable table);
  ~MemorySerial() override = default;

  // --- The device's end of the line ---

  // Bytes arriving from the device. What fits enters the receive ring; the line holds back the
  // rest and moves it in as SioGets makes room, so nothing is lost. OnRxData is posted each
  // time bytes enter the ring. A port that is not open (or whose device went away) drops them.
  // Returns the count accepted: all of them, or 0 when dropped.
  size_t Feed(int32_t port, std::string_view bytes);
  // Bytes the line holds back because the receive ring is full.
  size_t HeldBack(int32_t port) const;

  // Takes (and forgets) the bytes that have left the transmit ring for the device, oldest
  // first. They are kept across SioDone and SioReset until taken.
  std::string TakeWritten(int32_t port);

  // A slow line: with capacity above 0 the transmit ring holds that many bytes and nothing
  // leaves it until DrainTx; SioPuts takes what fits. 0 (the start) is an instant line: SioPuts
  // takes everything and the bytes reach TakeWritten at once. Kept across SioReset and SioDone.
  void SetTxCapacity(int32_t port, size_t capacity);
  // Slow line: moves at most maxBytes from the transmit ring to the device; a holder waiting
  // for room is told. Returns the count moved.
  size_t DrainTx(int32_t port, size_t maxBytes = SIZE_MAX);
  // Bytes waiting in the transmit ring.
  size_t TxQueued(int32_t port) const;

  // A line whose driver has no modem lines (as a pseudo-terminal's): setting DTR, RTS or BREAK
  // is unsupported and reading them tells nothing. Kept across opens.
  void SetNoModemLines(int32_t port, bool none);
  // A driver that refuses the low-latency mode. Kept across opens.
  void SetLowLatencyRefused(int32_t port, bool refused);
  // The modem lines the device drives, as the driver will tell them.
  void SetModemStatus(int32_t port, const ModemStatus& status);

  // The device is unplugged: an open port sees a hang-up (the bytes it had received can still
  // be taken, the line's held-back and unsent bytes are lost), and the port cannot be opened
  // until Plug.
  void Unplug(int32_t port);
  void Plug(int32_t port);

  // --- Failures on demand ---

  // Makes the named operation on port return code, with no other effect, until cleared; it fails
  // where the real device would, after the library's own checks: "SioReset" the device's open,
  // "SioParms" the format and flow part of setting its line, "SioBaud" the rate part, "SioDone"
  // its close, "Signal" a modem line. An unknown name throws std::invalid_argument.
  void FailWith(const std::string& operation, int32_t port, int32_t code);
  void ClearFailure(const std::string& operation, int32_t port);
  void ClearFailures();

  // --- What the user did ---

  bool IsOpen(int32_t port) const;
  // The codes of the line last applied since the device was opened (parity 0 none, 1 odd, 2 even,
  // 3 mark, 4 space; stop bits 0 one, 1 two; the baud code, -1 for a rate outside the codes);
  // -1 when none was. Kept after SioDone.
  int32_t Parity(int32_t port) const;
  int32_t StopBits(int32_t port) const;
  int32_t DataBits(int32_t port) const;
  int32_t BaudCode(int32_t port) const;
  // The line last applied (format, flow and rate), with the modem lines and mode as last set.
  const LineSetting& AppliedLine(int32_t port) const;
  bool Break(int32_t port) const;
  // Queue sizes given to the last successful SioReset, 0 before it.
  int32_t RxQueueSize(int32_t port) const;
  int32_t TxQueueSize(int32_t port) const;
  // The device calls in order, with their results, such as "SioReset(0,65000,65000)=0" (the
  // open), "Line(0,115200 8E1)=0" (rate, format and flow control), "Dtr(0,off)=0",
  // "Rts(0,on)=0", "Break(0,on)=0", "LowLatency(0,on)=0", "Purge(0,rx,tx)" and "SioDone(0)=0":
  // each that passed the library's checks and reached the device. A modem-line or mode call the
  // driver does not have ends in "=unsupported".
  const std::vector<std::string>& Calls() const { return calls_; }

 protected:
  int32_t OpenDevice(int32_t port, const std::string& path, size_t rxSize, size_t txSize,
                     OpenFailure& failure) override;
  int32_t CloseDevice(int32_t port, size_t& unsent) override;
  int32_t ApplyLine(int32_t port, const LineSetting& current, const LineSetting& wanted,
                    SioStep& part, std::string& why) override;
  SignalResult SetSignal(int32_t port, ModemSignal signal, bool on, std::string& why) override;
  SignalResult SetLowLatency(int32_t port, bool on, std::string& why) override;
  ModemStatus ReadModemLines(int32_t port) override;
  void Purge(int32_t port, bool receive, bool transmit) override;
  size_t RxWaiting(int32_t port) override;
  size_t TakeRx(int32_t port, char* buffer, size_t maxCount) override;
  size_t PutTx(int32_t port, const char* bytes, size_t count) override;
  size_t TxFree(int32_t port) override;

 private:
  struct Line {
    bool open = false;
    bool gone = false;  // the device went away while the port was open
    bool unplugged = false;
    uint64_t openId = 0;
    int32_t rxSize = 0;
    int32_t txSize = 0;
    std::string rx;         // the receive ring
    std::string heldBack;   // arrived but not yet taken in: the ring was full
    std::string tx;         // the transmit ring (slow line only)
    std::string written;    // left the transmit ring
    size_t txCapacity = 0;  // 0: instant line
    bool applied = false;   // a line was applied since the open
    LineSetting line;
    bool breakOn = false;
    bool noModemLines = false;
    bool lowLatencyRefused = false;
    ModemStatus modem;
  };

  const Line& At(int32_t port) const;
  Line& At(int32_t port);
  bool Failing(const char* operation, int32_t port, int32_t& code) const;
  void Record(const char* operation, std::initializer_list<int32_t> args, int32_t rc);
  void Record(const std::string& call) { calls_.push_back(call); }
  // Moves held-back bytes into the receive ring; posts OnRxData when any moved.
  void TakeIn(int32_t port);
  // Runs the notification on the loop's next turn, when the port is still the one open now.
  void Notify(int32_t port, bool rxData);

  Line lines_[kSioPortCount];
  std::map<std::pair<std::string, int32_t>, int32_t> failures_;
  std::vector<std::string> calls_;
  uint64_t nextOpenId_ = 1;
  AliveToken alive_;
};

}  // namespace kov
