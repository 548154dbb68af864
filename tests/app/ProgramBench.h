#pragma once
// The real headless program in a working directory of its own, for end-to-end tests: a
// pseudo-terminal as COM1 (the other ports name devices that do not exist), a BridgeConfig.sys
// with free TCP ports and COM1 active, and the console and listener helpers around it.
//
//   ProgramBench bench;
//   bench.config.Ports[2].Active = 1;  // optional changes before the start
//   bench.Start();
//   TcpClient client(bench.com1Port);  // bridged to bench.com1
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>

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
  ProgramBench() : config(dir.Path("BridgeConfig.sys")) {
    std::string ports = "COM1=" + com1.Path() + "\n";
    for (int n = 2; n <= 8; ++n) {
      ports += "COM" + std::to_string(n) + "=/nonexistent/kov-tty" + std::to_string(n) + "\n";
    }
    dir.Write("BridgePorts.conf", ports);
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

  // Connects a console and logs in with the default password; true at the first prompt.
  bool Login(TcpClient& console) {
    if (!console.Connect(consolePort)) return false;
    console.ReadUntil("Password:");
    console.Send("PZQ\r\n");
    return console.ReadUntil(kConsolePrompt).find(kConsolePrompt) != std::string::npos;
  }

  // Sends a command line; returns the reply up to the next prompt.
  static std::string Command(TcpClient& console, const std::string& line) {
    console.Send(line + "\r\n");
    return console.ReadUntil(kConsolePrompt);
  }

  // Waits until something listens on the port, without connecting to it (a probe connection
  // would be taken on as a client).
  static bool WaitListening(int port, int timeoutMs = 10000) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < end) {
      if (IsListening(port)) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }

  static bool IsListening(int port) {
    std::ifstream in("/proc/net/tcp");
    std::string line;
    std::getline(in, line);
    char want[8];
    std::snprintf(want, sizeof want, ":%04X", port);
    while (std::getline(in, line)) {
      std::istringstream fields(line);
      std::string slot, local, remote, state;
      fields >> slot >> local >> remote >> state;
      if (state == "0A" && local.size() > 5 && local.substr(local.size() - 5) == want) return true;
    }
    return false;
  }

  TempDir dir;
  Pty com1;
  int consolePort = 0;
  int com1Port = 0;
  TConfigFile config;
  std::unique_ptr<Program> program;
};

}  // namespace kov
