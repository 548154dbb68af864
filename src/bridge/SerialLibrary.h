#pragma once
// The serial port library: seven operations on ports 0..7 (COM1..COM8), each returning a signed
// 32-bit result, negative for an error code. Two implementations: the real one over termios
// (TermiosSerial) and an in-memory one for tests (MemorySerial).
//
// Beyond the seven operations the layer tells its users when new bytes have entered a port's
// receive ring and when its transmit ring has room again, so a bridge can deliver at once and
// resume taking bytes from TCP without losing any.
#include <cstdint>
#include <functional>

namespace kov {

// Error codes of the library.
constexpr int32_t kSioBadPort = -1;       // port number outside 0..7
constexpr int32_t kSioCannotOpen = -2;    // device missing, busy or held by another program
constexpr int32_t kSioNotOpen = -3;       // operation on a port that is not open
constexpr int32_t kSioNoMemory = -4;
constexpr int32_t kSioBadDefaults = -5;
constexpr int32_t kSioHardware = -10;
constexpr int32_t kSioBadDataBits = -11;  // data bits other than 7 or 8
constexpr int32_t kSioBadBaud = -12;      // baud code outside 0..9
constexpr int32_t kSioOutOfRange = -101;  // other parameter out of range

constexpr int32_t kSioPortCount = 8;

struct SerialEvents {
  // New bytes were taken into the receive ring.
  std::function<void()> OnRxData;
  // The transmit ring has room again after it was full (or after SioPuts took fewer bytes than
  // it was offered).
  std::function<void()> OnTxRoom;
};

class SerialLibrary {
 public:
  virtual ~SerialLibrary() = default;

  // Opens the port with receive and transmit rings of the given sizes; on an open port it closes
  // and opens again.
  virtual int32_t SioReset(int32_t port, int32_t rxQueueSize, int32_t txQueueSize) = 0;
  // parity 0 none, 1 odd, 2 even; stopBits 0 one bit, 1 two bits; dataBits 7 or 8.
  virtual int32_t SioParms(int32_t port, int32_t parity, int32_t stopBits, int32_t dataBits) = 0;
  // baudCode 0..9: 300, 600, 1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200.
  virtual int32_t SioBaud(int32_t port, int32_t baudCode) = 0;
  // Bytes waiting in the receive ring.
  virtual int32_t SioRxQue(int32_t port) = 0;
  // Takes at most maxCount waiting bytes into buffer; never waits. Returns the count taken.
  virtual int32_t SioGets(int32_t port, char* buffer, int32_t maxCount) = 0;
  // Appends to the transmit ring what fits; returns the count taken.
  virtual int32_t SioPuts(int32_t port, const char* bytes, int32_t count) = 0;
  // Closes the port.
  virtual int32_t SioDone(int32_t port) = 0;

  // Room left in the transmit ring (negative code when the port is not open).
  virtual int32_t SioTxFree(int32_t port) = 0;
  // Installs the event callbacks of a port. They stay in place across SioReset/SioDone and are
  // called on the event loop, never from inside one of the operations above, so a callback may
  // call any operation, SioDone included.
  virtual void SetEvents(int32_t port, SerialEvents events) = 0;
};

}  // namespace kov
