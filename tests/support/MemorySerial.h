#pragma once
// The serial port library in memory, for tests of the channels and of the remote link. It
// behaves as the termios layer does towards its user (same checks and codes, rings of the sizes
// SioReset is given, callbacks on the loop), and gives the test the other end of each line.
//
// Callbacks are never called from inside a call: OnRxData and OnTxRoom are posted on the loop,
// so they run on the loop's next turn (loop.RunOnce(0), RunUntil or AdvanceMs), as they would
// from the device's readiness handler. A posted callback is skipped when its port was closed or
// reopened in the meantime.
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "bridge/SerialLibrary.h"

namespace kov {

class EventLoop;

class MemorySerial : public SerialLibrary {
 public:
  explicit MemorySerial(EventLoop& loop);
  ~MemorySerial() override = default;
  MemorySerial(const MemorySerial&) = delete;
  MemorySerial& operator=(const MemorySerial&) = delete;

  int32_t SioReset(int32_t port, int32_t rxQueueSize, int32_t txQueueSize) override;
  int32_t SioParms(int32_t port, int32_t parity, int32_t stopBits, int32_t dataBits) override;
  int32_t SioBaud(int32_t port, int32_t baudCode) override;
  int32_t SioRxQue(int32_t port) override;
  int32_t SioGets(int32_t port, char* buffer, int32_t maxCount) override;
  int32_t SioPuts(int32_t port, const char* bytes, int32_t count) override;
  int32_t SioDone(int32_t port) override;
  int32_t SioTxFree(int32_t port) override;
  void SetEvents(int32_t port, SerialEvents events) override;

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
  // Slow line: moves at most maxBytes from the transmit ring to the device. When a SioPuts had
  // been short (or met a full ring), OnTxRoom is posted. Returns the count moved.
  size_t DrainTx(int32_t port, size_t maxBytes = SIZE_MAX);
  // Bytes waiting in the transmit ring.
  size_t TxQueued(int32_t port) const;

  // The device goes away, as a hang-up would: waiting received bytes can still be taken, later
  // SioPuts calls are dropped as if sent, Feed drops. The port stays open until SioDone.
  void GoAway(int32_t port);

  // --- Failures on demand ---

  // Makes the named operation ("SioReset", "SioParms", "SioBaud", "SioRxQue", "SioGets",
  // "SioPuts", "SioDone", "SioTxFree") on port return code, with no other effect, until
  // cleared. An unknown name throws std::invalid_argument.
  void FailWith(const std::string& operation, int32_t port, int32_t code);
  void ClearFailure(const std::string& operation, int32_t port);
  void ClearFailures();

  // --- What the user did ---

  bool IsOpen(int32_t port) const;
  // Codes last applied by a successful SioParms or SioBaud since the last SioReset; -1 when
  // none was. Kept after SioDone.
  int32_t Parity(int32_t port) const;
  int32_t StopBits(int32_t port) const;
  int32_t DataBits(int32_t port) const;
  int32_t BaudCode(int32_t port) const;
  // Queue sizes given to the last successful SioReset, 0 before it.
  int32_t RxQueueSize(int32_t port) const;
  int32_t TxQueueSize(int32_t port) const;
  // The opening, setting and closing calls in order, with their results, such as
  // "SioReset(0,65000,65000)=0", "SioParms(0,2,0,8)=0", "SioBaud(0,9)=0", "SioDone(0)=0".
  const std::vector<std::string>& Calls() const { return calls_; }

 private:
  struct Line {
    bool open = false;
    bool gone = false;
    uint64_t openId = 0;
    int32_t rxSize = 0;
    int32_t txSize = 0;
    std::string rx;         // the receive ring
    std::string heldBack;   // arrived but not yet taken in: the ring was full
    std::string tx;         // the transmit ring (slow line only)
    std::string written;    // left the transmit ring
    size_t txCapacity = 0;  // 0: instant line
    bool txRoomWanted = false;
    int32_t parity = -1;
    int32_t stopBits = -1;
    int32_t dataBits = -1;
    int32_t baudCode = -1;
  };

  bool Failing(const char* operation, int32_t port, int32_t& code) const;
  Line* OpenLine(int32_t port, int32_t& code);
  // Moves held-back bytes into the receive ring; posts OnRxData when any moved.
  void TakeIn(int32_t port);
  void Post(int32_t port, bool rxData);

  EventLoop& loop_;
  Line lines_[kSioPortCount];
  SerialEvents events_[kSioPortCount];
  std::map<std::pair<std::string, int32_t>, int32_t> failures_;
  std::vector<std::string> calls_;
  uint64_t nextOpenId_ = 1;
  std::shared_ptr<int> alive_ = std::make_shared<int>(0);
};

}  // namespace kov
