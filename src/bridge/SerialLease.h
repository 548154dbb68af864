#pragma once
// One user's hold on one serial port: the only way to open, set, read, write and close a leased
// port, and the holder of its events (SerialLibrary::Lease hands it out).
//
//   std::unique_ptr<SerialLease> lease = serial.Lease(2, events);  // nullptr: held by another
//   OpenFailure failure;
//   if (lease->Open({65000, 65000, line}, &failure) < 0) { /* StepName(failure.step) failed */ }
//   lease->SioPuts("AT\r", 3);
//   lease->SetSignal(ModemSignal::Dtr, false);
//   lease.reset();  // the port is closed and free for the next user
//
// A lease that outlives its library does nothing and answers kSioNotOpen.
#include <cstdint>

#include "bridge/SerialLibrary.h"
#include "event/AliveToken.h"

namespace kov {

class SerialLease {
 public:
  // Gives the port back: closes it when it is open and drops the events.
  ~SerialLease();
  SerialLease(const SerialLease&) = delete;
  SerialLease& operator=(const SerialLease&) = delete;

  int32_t Port() const { return port_; }

  // Opens the port with the whole setup at once (SerialLibrary.h): 0, or the negative code of
  // the part that failed, which *failure names with the reason; the port is then closed. log
  // chooses the open's log lines.
  int32_t Open(const PortSetup& setup, OpenFailure* failure = nullptr,
               OpenLog log = OpenLog::Normal);
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

  // --- The line at run time (an open port; kSioNotOpen otherwise) ---

  // The setting in force; the default one while the port is not open.
  LineSetting Line();
  // Applies the whole setting: 0 when the device took it, otherwise a negative code with the
  // setting before left in force (Line() tells it either way).
  int32_t SetLine(const LineSetting& wanted);
  // Raises or drops DTR or RTS, starts or ends a BREAK: 0, or a negative code with the signal as
  // it was. RTS is the hardware's under RtsCts flow control (kSioOutOfRange). On a line without
  // modem lines (a pseudo-terminal) the call succeeds and the state given is kept.
  int32_t SetSignal(ModemSignal signal, bool on);
  // The state of DTR or RTS as last set (a device cannot be asked), or of BREAK.
  bool Signal(ModemSignal signal);
  // Drops the bytes received and not taken yet, and/or those not yet sent to the device.
  int32_t Purge(bool receive, bool transmit);
  // The modem lines now, with known false when the driver cannot tell (a pseudo-terminal) and
  // counted false when it keeps no count of their changes.
  ModemStatus ModemLines();

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
