#pragma once
// The configuration store: every setting of the system in memory, with its defaults, read from
// and written to BridgeConfig.sys only on request. Other parts read and assign the fields
// directly.
#include <array>
#include <cstdint>
#include <string>

namespace kov {

// The settings of one serial port. Index i of the store is COM(i+1).
struct PortSettings {
  int32_t TcpPort;      // TCP port of the port's local bridge channel
  int32_t SpeedIndex;   // 0..9, index into the speed table, the serial layer's baud code
  int32_t ParityIndex;  // 0..2: none, odd, even; the serial layer's parity code
  uint8_t Active;       // 1: the port's bridge is to run; 0: idle
};

// The three accepted-address entries (numbered 1 to 3 on the console).
using TAccAddress = std::array<std::string, 3>;

class TConfigFile {
 public:
  // Sets every field to its default; touches no file.
  explicit TConfigFile(std::string fileName = "BridgeConfig.sys");

  std::string Password;
  std::string ServicePort;  // the configuration TCP port, as the text typed or read
  std::array<PortSettings, 8> Ports;
  TAccAddress AccAddress;

  // Reads the file into the store: 0, kErrFile (cannot be opened or read; store unchanged) or
  // kErrFileData (a port line does not convert, or a line is longer than any value can be; the
  // lines before it stay assigned). Only the first 48 lines are read, a line at a time.
  int32_t Load();
  // Writes the whole store: 0, or kErrFile with the file left as it was.
  int32_t Save();

  const std::string& FileName() const;

 private:
  std::string fileName_;
};

}  // namespace kov
