#pragma once
// A program under test bridging pseudo-terminals to TCP ports: kovbridge (its ports raw, or
// speaking Telnet with the Com Port Control Option), socat (one process per port) or ser2net.
// Writes each one's configuration into a working directory of its own, starts it, waits until
// it listens, and sums what /proc says over its processes.
#include <stdlib.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "bench_net.h"
#include "bench_proc.h"

namespace kov::bench {

enum class Kind { kKovBridge, kSocat, kSer2net };

struct Program {
  std::string name;
  Kind kind;
  std::string binary;  // the program to start (a path, or a name looked up in PATH)
  bool rfc2217 = false;  // kovbridge: its ports with protocol=rfc2217, the clients speak Telnet
};

// The notices kovbridge sends a client: taken on, let go, turned away (port busy).
inline const std::string kTakeOn = "\nB01S00A3\r\vB01S00A3\r";
inline const std::string kLetGo = "\nB02S00A4\r\vB02S00A4\r";
inline const std::string kBusy = "\nB03S00A5\r\vB03S00A5\r";

inline std::string MakeWorkDir(const std::string& name) {
  std::string pattern = "/tmp/kovbench-" + name + ".XXXXXX";
  return mkdtemp(pattern.data()) ? pattern : std::string();
}

// BridgeConfig.sys: 48 lines ended by CR LF. Ports with a device path are Active, the rest
// Idle; every port gets its own TCP port.
inline bool WriteBridgeConfig(const std::string& dir, int consolePort,
                              const std::vector<std::string>& devices,
                              const std::vector<int>& tcpPorts, const std::string& options = "") {
  std::string text;
  auto line = [&text](const std::string& s) { text += s + "\r\n"; };
  line("- Password:");
  line("PZQ");
  line("- ServicePort:");
  line(std::to_string(consolePort));
  line("- Accept TCP/IP Address:");
  for (int i = 0; i < 3; ++i) line("None");
  for (size_t n = 0; n < 8; ++n) {
    line("- Port " + std::to_string(n + 1) + ":");
    line(n < devices.size() ? "Active" : "Idle");
    line(std::to_string(n < tcpPorts.size() ? tcpPorts[n] : FreeTcpPort()));
    line("115200");
    line("N");
  }
  std::ofstream out(dir + "/BridgeConfig.sys", std::ios::binary);
  out << text;
  std::ofstream paths(dir + "/BridgePorts.conf");
  for (size_t n = 0; n < devices.size(); ++n) {
    paths << "COM" << n + 1 << "=" << devices[n] << options << "\n";
  }
  return static_cast<bool>(out) && static_cast<bool>(paths);
}

inline bool WriteSer2netConfig(const std::string& file, const std::vector<std::string>& devices,
                               const std::vector<int>& tcpPorts) {
  std::ofstream out(file);
  for (size_t n = 0; n < devices.size(); ++n) {
    out << "connection: &con" << n << "\n"
        << "  accepter: tcp,127.0.0.1," << tcpPorts[n] << "\n"
        << "  connector: serialdev," << devices[n] << ",115200n81,local\n"
        << "  options:\n"
        << "    kickolduser: true\n";
  }
  return static_cast<bool>(out);
}

class Subject {
 public:
  explicit Subject(Program program) : program_(std::move(program)) {
    // The program starts in its own working directory: a relative path is made absolute.
    if (program_.binary.find('/') != std::string::npos) {
      if (char* full = realpath(program_.binary.c_str(), nullptr)) {
        program_.binary = full;
        free(full);
      }
    }
  }
  Subject(const Subject&) = delete;
  Subject& operator=(const Subject&) = delete;
  ~Subject() { Stop(); }

  // Starts the program bridging devices[i] to tcpPorts[i]; returns once every port listens
  // (and, for kovbridge, every device is open).
  bool Start(const std::vector<std::string>& devices, const std::vector<int>& tcpPorts,
             std::string& error) {
    dir_ = MakeWorkDir(program_.name);
    if (dir_.empty()) {
      error = "cannot create a working directory";
      return false;
    }
    log_ = dir_ + "/subject.log";
    std::vector<int> listening = tcpPorts;
    switch (program_.kind) {
      case Kind::kKovBridge:
        consolePort = FreeTcpPort();
        listening.push_back(consolePort);
        if (!WriteBridgeConfig(dir_, consolePort, devices, tcpPorts,
                               program_.rfc2217 ? " protocol=rfc2217" : "")) {
          error = "cannot write BridgeConfig.sys";
          return false;
        }
        Launch({program_.binary});
        break;
      case Kind::kSocat:
        for (size_t n = 0; n < devices.size(); ++n) {
          Launch({program_.binary,
                  "TCP-LISTEN:" + std::to_string(tcpPorts[n]) + ",reuseaddr,nodelay",
                  "FILE:" + devices[n] + ",raw,echo=0"});
        }
        break;
      case Kind::kSer2net:
        if (!WriteSer2netConfig(dir_ + "/ser2net.yaml", devices, tcpPorts)) {
          error = "cannot write ser2net.yaml";
          return false;
        }
        Launch({program_.binary, "-n", "-d", "-c", dir_ + "/ser2net.yaml"});
        break;
    }
    if (!WaitListening(listening, 10000) || !Alive()) {
      error = program_.name + " does not listen on its ports; log " + log_ + ": " + LogTail();
      return false;
    }
    if (program_.kind == Kind::kKovBridge) {
      for (const std::string& device : devices) {
        if (!WaitHolding(device, 5000)) {
          error = program_.name + " did not open " + device + "; log " + log_ + ": " + LogTail();
          return false;
        }
      }
    }
    return true;
  }

  // Ends every process; the working directory is removed unless keepDir.
  void Stop(bool keepDir = false) {
    for (pid_t pid : pids) bench::Stop(pid);
    pids.clear();
    if (!dir_.empty() && !keepDir) {
      std::string command = "rm -rf '" + dir_ + "'";
      if (std::system(command.c_str()) != 0)
        std::fprintf(stderr, "cannot remove %s\n", dir_.c_str());
    }
    dir_.clear();
  }

  bool SendsNotices() const { return program_.kind == Kind::kKovBridge && !program_.rfc2217; }
  // The clients speak Telnet: 255 doubled both ways, the server's options read and dropped.
  bool Telnet() const { return program_.rfc2217; }
  // socat opens the device when its one client connects, and ends when that client leaves.
  bool OneClientOnly() const { return program_.kind == Kind::kSocat; }
  const Program& Info() const { return program_; }
  const std::string& LogPath() const { return log_; }

  double CpuMs() const {
    return Sum([](pid_t p) { return bench::CpuMs(p); });
  }
  double CpuMsFine() const {
    return Sum([](pid_t p) { return bench::CpuMsFine(p); });
  }
  int64_t PeakKb() const {
    return static_cast<int64_t>(Sum([](pid_t p) { return double(StatusKb(p, "VmHWM:")); }));
  }
  int64_t RssKb() const {
    return static_cast<int64_t>(Sum([](pid_t p) { return double(StatusKb(p, "VmRSS:")); }));
  }
  size_t FdCount() const {
    size_t n = 0;
    for (pid_t pid : pids) n += FdTargets(pid).size();
    return n;
  }

  bool Alive() const {
    for (pid_t pid : pids) {
      if (!Running(pid)) return false;
    }
    return !pids.empty();
  }

  // Waits until one of the processes holds the device open.
  bool WaitHolding(const std::string& device, int timeoutMs) const {
    for (int waited = 0;; waited += 5) {
      for (pid_t pid : pids) {
        if (HoldsPath(pid, device)) return true;
      }
      if (waited >= timeoutMs) return false;
      SleepMs(5);
    }
  }

  std::string LogTail(size_t bytes = 600) const {
    const std::string text = ReadText(log_);
    return text.size() > bytes ? text.substr(text.size() - bytes) : text;
  }

  int consolePort = -1;
  std::vector<pid_t> pids;

 private:
  void Launch(const std::vector<std::string>& argv) {
    const pid_t pid = Spawn(argv, dir_, log_);
    if (pid > 0) pids.push_back(pid);
  }

  template <typename F>
  double Sum(F f) const {
    double total = 0;
    for (pid_t pid : pids) total += f(pid);
    return total;
  }

  Program program_;
  std::string dir_;
  std::string log_;
};

}  // namespace kov::bench
