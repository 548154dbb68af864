#pragma once
// The real headless program in a working directory of its own, for end-to-end tests:
// pseudo-terminals as serial devices (COM1 by default; the other ports name devices that do not
// exist), a BridgeConfig.sys with free TCP ports and COM1 active, and the console helpers around
// it.
//
//   ProgramBench bench;                // or ProgramBench bench({1, 2}): COM1 and COM2 are devices
//   bench.config.Ports[2].Active = 1;  // optional changes before the start
//   bench.Start();
//   TcpClient client(bench.com1Port);  // bridged to bench.com1
#include <gtest/gtest.h>

#include <array>
#include <initializer_list>
#include <memory>
#include <string>

#include "config/ConfigFile.h"
#include "tests/support/Program.h"
#include "tests/support/Pty.h"
#include "tests/support/TcpClient.h"
#include "tests/support/TempDir.h"

namespace kov {

inline const std::string kNoticeB01("\nB01S00A3\r\vB01S00A3\r", 20);
inline const std::string kNoticeB02("\nB02S00A4\r\vB02S00A4\r", 20);
inline const std::string kConsolePrompt = "Bridge:\\>";

class ProgramBench {
 public:
  // devices: the ports (1..8) that pseudo-terminals play; COM1 always is one.
  explicit ProgramBench(std::initializer_list<int> devices = {1})
      : config(dir.Path("BridgeConfig.sys")) {
    for (int n : devices) {
      if (n > 1) others_[n - 1] = std::make_unique<Pty>();
    }
    for (int n = 1; n <= 8; ++n) {
      paths_[n - 1] =
          n == 1 || others_[n - 1] ? Device(n).Path() : "/nonexistent/kov-tty" + std::to_string(n);
    }
    WritePorts();
    consolePort = FreeTcpPort();
    com1Port = FreeTcpPort();
    config.ServicePort = std::to_string(consolePort);
    for (int i = 0; i < 8; ++i) config.Ports[i].TcpPort = i == 0 ? com1Port : FreeTcpPort();
    config.Ports[0].Active = 1;
  }

  ~ProgramBench() {
    if (program && program->Running()) {
      program->Signal(SIGTERM);
      EXPECT_EQ(program->Wait(), 0) << program->Stderr();
    }
  }

  // Saves config and starts the program; true once its console listens.
  bool Start() {
    if (config.Save() != 0) return false;
    program = std::make_unique<Program>(ProgramPath("kovbridge"), dir.Root());
    return WaitListening(consolePort);
  }

  // Connects a client to COM1's port; true once it was greeted with the B01 notice.
  bool Bridge(TcpClient& client) {
    return WaitListening(com1Port) && client.Connect(com1Port) &&
           client.ReadExactly(kNoticeB01.size()) == kNoticeB01;
  }

  // Connects a console and logs in with the default password; true at the first prompt. What
  // came up to it goes to *greeting when given.
  bool Login(TcpClient& console, std::string* greeting = nullptr) {
    if (!console.Connect(consolePort)) return false;
    std::string got = console.ReadUntil("Password:");
    console.Send("PZQ\r\n");
    got += console.ReadUntil(kConsolePrompt);
    if (greeting) *greeting = got;
    return got.find(kConsolePrompt) != std::string::npos;
  }

  // Sends a command line; returns the reply up to the next prompt.
  static std::string Command(TcpClient& console, const std::string& line) {
    console.Send(line + "\r\n");
    return console.ReadUntil(kConsolePrompt);
  }

  // Names another device path for COMn in BridgePorts.conf (before Start).
  void NameDevice(int n, const std::string& path) {
    paths_[n - 1] = path;
    WritePorts();
  }

  // The pseudo-terminal that plays COMn's device.
  Pty& Device(int n) { return n == 1 ? com1 : *others_[n - 1]; }

  TempDir dir;
  Pty com1;
  int consolePort = 0;
  int com1Port = 0;
  TConfigFile config;
  std::unique_ptr<Program> program;

 private:
  void WritePorts() {
    std::string ports;
    for (int n = 1; n <= 8; ++n) ports += "COM" + std::to_string(n) + "=" + paths_[n - 1] + "\n";
    dir.Write("BridgePorts.conf", ports);
  }

  std::array<std::unique_ptr<Pty>, 8> others_;  // the devices after COM1 that were asked for
  std::array<std::string, 8> paths_;            // each port's device path in BridgePorts.conf
};

}  // namespace kov
