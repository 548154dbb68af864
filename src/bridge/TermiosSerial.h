#pragma once
// The serial port library over Linux termios devices.
//
// Each open port holds its device non-blocking and exclusively (flock plus TIOCEXCL), in raw
// mode, with user-space receive and transmit rings of the sizes SioReset is given. One FdWatch
// per port moves bytes: the device is read straight into the receive ring whenever it is
// readable and the ring has room, and written straight from the transmit ring whenever that
// holds bytes and the device is writable. A full receive ring stops the reading, so the device
// (a flow-controlled line, a pseudo-terminal) holds the rest until SioGets makes room.
//
// A device that goes away (hang-up, read or write error) is no longer watched and logged once;
// the port stays open until SioDone: waiting received bytes can still be taken, later reads
// give nothing and later writes are dropped as if sent.
#include <sys/types.h>

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "bridge/SerialLibrary.h"
#include "bridge/SerialRing.h"

namespace kov {

class EventLoop;
class FdWatch;

// What SioParms and SioBaud set, in the library's codes.
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

class TermiosSerial : public SerialLibrary {
 public:
  TermiosSerial(EventLoop& loop, std::array<std::string, kSioPortCount> devicePaths);
  ~TermiosSerial() override;
  TermiosSerial(const TermiosSerial&) = delete;
  TermiosSerial& operator=(const TermiosSerial&) = delete;

  int32_t SioReset(int32_t port, int32_t rxQueueSize, int32_t txQueueSize) override;
  int32_t SioParms(int32_t port, int32_t parity, int32_t stopBits, int32_t dataBits) override;
  int32_t SioBaud(int32_t port, int32_t baudCode) override;
  int32_t SioRxQue(int32_t port) override;
  int32_t SioGets(int32_t port, char* buffer, int32_t maxCount) override;
  int32_t SioPuts(int32_t port, const char* bytes, int32_t count) override;
  int32_t SioDone(int32_t port) override;
  int32_t SioTxFree(int32_t port) override;
  void SetEvents(int32_t port, SerialEvents events) override;

  const std::string& DevicePath(int32_t port) const { return paths_.at(port); }
  // Whether the port is open but its device went away (for diagnostics and tests).
  bool DeviceGone(int32_t port) const;

 private:
  struct Port {
    std::string name;  // "COM1"
    std::string path;
    int fd = -1;
    bool pty = false;           // a pseudo-terminal keeps neither parity nor 7 data bits
    bool gone = false;          // the device went away: no longer watched
    bool txRoomWanted = false;  // OnTxRoom is owed once the transmit ring has room
    uint64_t openId = 0;        // tells a reopened port from the one a callback was for
    LineSettings settings;
    SerialRing rx;
    SerialRing tx;
    std::unique_ptr<FdWatch> watch;
  };

  Port* Find(int32_t port);
  // The port if it is still the one opened as openId.
  Port* Live(int32_t port, uint64_t openId);
  int32_t Open(int32_t port, int32_t rxQueueSize, int32_t txQueueSize);
  void Close(int32_t port);
  // Applies the settings to the device; 0, kSioBadBaud or kSioHardware.
  int32_t Apply(Port& p, const LineSettings& wanted);

  void OnDeviceEvents(int32_t port, uint64_t openId, uint32_t events);
  // Reads from the device into the receive ring while it has room; false when the device went
  // away (trouble: the event reported a hang-up or an error).
  bool Fill(Port& p, bool trouble, bool& received, std::string& why);
  // Writes from the transmit ring; false when the device went away.
  bool Flush(Port& p, bool trouble, bool& progress, std::string& why);
  void UpdateWatch(Port& p);
  void MarkGone(Port& p, const std::string& why);
  void PostTxRoom(int32_t port, uint64_t openId);
  void FireRxData(int32_t port);
  void FireTxRoom(int32_t port);

  EventLoop& loop_;
  std::array<std::string, kSioPortCount> paths_;
  std::array<std::unique_ptr<Port>, kSioPortCount> ports_;
  std::array<SerialEvents, kSioPortCount> events_;
  uint64_t nextOpenId_ = 1;
  // Expires with this object, so posted tasks and handlers can tell it is gone.
  std::shared_ptr<int> alive_ = std::make_shared<int>(0);
};

}  // namespace kov
