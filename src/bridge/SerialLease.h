#pragma once
// One user's hold on one serial port: the only way to open, set, read, write and close a leased
// port, and the holder of its events (SerialLibrary::Lease hands it out).
//
//   std::unique_ptr<SerialLease> lease = serial.Lease(2, events);  // nullptr: held by another
//   SioStep failed;
//   if (lease->Open({65000, 65000, 2, 0, 8, 9}, &failed) < 0) { /* StepName(failed) failed */ }
//   lease->SioPuts("AT\r", 3);
//   lease.reset();  // the port is closed and free for the next user
//
// A lease that outlives its library does nothing and answers kSioNotOpen.
#include <cstdint>

#include "bridge/SerialLibrary.h"
#include "event/AliveToken.h"

namespace kov {

// What opening a port takes: the ring sizes of SioReset, the codes of SioParms and SioBaud.
struct PortSetup {
  int32_t rxQueueSize = 0;
  int32_t txQueueSize = 0;
  int32_t parity = 0;
  int32_t stopBits = 0;
  int32_t dataBits = 8;
  int32_t baudCode = 0;
};

class SerialLease {
 public:
  // Gives the port back: closes it when it is open and drops the events.
  ~SerialLease();
  SerialLease(const SerialLease&) = delete;
  SerialLease& operator=(const SerialLease&) = delete;

  int32_t Port() const { return port_; }

  // SioReset, SioParms and SioBaud with setup, stopping at the first negative result, which is
  // returned (*failed then names the step); otherwise SioBaud's result. A port whose SioReset
  // succeeded stays open when a later step fails. quiet: no log lines (a holder trying a missing
  // device again).
  int32_t Open(const PortSetup& setup, SioStep* failed = nullptr, bool quiet = false);
  bool IsOpen();

  // The library's operations on the leased port.
  int32_t SioReset(int32_t rxQueueSize, int32_t txQueueSize);
  int32_t SioParms(int32_t parity, int32_t stopBits, int32_t dataBits);
  int32_t SioBaud(int32_t baudCode);
  int32_t SioRxQue();
  int32_t SioGets(char* buffer, int32_t maxCount);
  int32_t SioPuts(const char* bytes, int32_t count);
  int32_t SioTxFree();
  int32_t SioDone();
  // Asks for one OnTxRoom once the transmit ring has room (on the loop's next turn when it has
  // room already).
  void WantTxRoom();

 private:
  friend class SerialLibrary;
  SerialLease(SerialLibrary& library, int32_t port, uint64_t holder);
  SerialLibrary* Library() const { return libraryAlive_.Alive() ? &library_ : nullptr; }

  SerialLibrary& library_;
  AliveToken::Watch libraryAlive_;
  int32_t port_;
  uint64_t holder_;
};

}  // namespace kov
