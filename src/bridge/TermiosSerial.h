#pragma once
// The serial port library over Linux termios devices (the hooks of SerialLibrary).
//
// Each open port holds its device non-blocking and exclusively (flock plus TIOCEXCL), in raw
// mode, with user-space receive and transmit rings of the sizes SioReset is given. One FdWatch
// per port moves bytes: the device is read straight into the receive ring whenever it is
// readable and the ring has room, and written straight from the transmit ring whenever that
// holds bytes and the device is writable. A full receive ring stops the reading, so the device
// (a flow-controlled line, a pseudo-terminal) holds the rest until SioGets makes room.
//
// The line is set with one tcsetattr and judged by reading it back: a pseudo-terminal holds
// neither the character size nor the parity bit, so those two are not judged there. The modem
// lines go through TIOCMBIS/TIOCMBIC, BREAK through TIOCSBRK/TIOCCBRK and the low-latency mode
// through the driver's serial flags; a driver without them (a pseudo-terminal) says so.
//
// A device that goes away (a hang-up, or a read, write or line-setting call failing) is no
// longer watched: its descriptor is closed at once and the loss reported to the library, which
// tells the port's holder. The device path is opened afresh by each SioReset, so a symbolic link
// (/dev/serial/by-id/...) is followed to wherever it points now.
#include <termios.h>

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "bridge/SerialLibrary.h"
#include "bridge/SerialRing.h"
#include "event/AliveToken.h"

namespace kov {

class EventLoop;
class FdWatch;

// The termios setting of a line, made from base (the device's own): raw bytes, the receiver on,
// modem-line hang-ups ignored, then the format, flow control and rate of line (B0 for a rate no
// serial line has).
termios TermiosOfLine(const termios& base, const LineSetting& line);

class TermiosSerial : public SerialLibrary {
 public:
  TermiosSerial(EventLoop& loop, PortTable table);
  ~TermiosSerial() override;

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
  struct Port {
    int fd = -1;          // -1 once the device went away
    bool pty = false;     // a pseudo-terminal keeps neither parity nor a character size
    uint64_t openId = 0;  // tells a reopened port from the one a callback was for
    SerialRing rx;
    SerialRing tx;
    std::unique_ptr<FdWatch> watch;
  };

  // The port if it is still the one opened as openId.
  Port* Live(int32_t port, uint64_t openId);

  void OnDeviceEvents(int32_t port, uint64_t openId, uint32_t events);
  // Reads from the device into the receive ring while it has room; false when the device went
  // away (trouble: the event reported a hang-up or an error).
  bool Fill(Port& p, bool trouble, bool& received, std::string& why);
  // Writes from the transmit ring; false when the device went away.
  bool Flush(Port& p, bool trouble, bool& progress, std::string& why);
  void UpdateWatch(Port& p);
  // The device went away: stops watching, closes it, drops unsent bytes, reports the loss.
  void Lose(int32_t port, const std::string& why);
  // Result of a modem-line or mode call that failed with err: a driver without the call, a
  // device that went away (lost), or a refusal.
  SignalResult Refused(int32_t port, int err, std::string& why);
  void ReleaseDevice(Port& p);

  EventLoop& loop_;
  std::array<std::unique_ptr<Port>, kSioPortCount> ports_;
  uint64_t nextOpenId_ = 1;
  AliveToken alive_;
};

}  // namespace kov
