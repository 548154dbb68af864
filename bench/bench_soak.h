#pragma once
// One channel of the soak test: a device (pseudo-terminal) and a client that comes and goes,
// carrying checked traffic both ways, and now and then the device hung up and brought back on
// the same pseudo-terminal path, which the program opens again by itself.
#include <unistd.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "bench_client.h"
#include "bench_console.h"
#include "bench_flow.h"
#include "bench_proc.h"
#include "bench_pty.h"

namespace kov::bench {

// The console is one at a time: whoever needs it takes the lock, logs in, works and leaves.
class SharedConsole {
 public:
  explicit SharedConsole(int port) : port_(port) {}

  bool Run(const std::function<bool(Console&, std::string&)>& work, std::string& error,
           bool wrongPasswordFirst = false) {
    std::lock_guard<std::mutex> lock(mutex_);
    Console console;
    const bool ok = console.Login(port_, wrongPasswordFirst, error) && work(console, error) &&
                    console.Exit(error);
    closedBeforeGreeting += console.closedBeforeGreeting;
    return ok;
  }

  int Port() const { return port_; }

  std::atomic<int> closedBeforeGreeting{0};

 private:
  std::mutex mutex_;
  int port_;
};

struct SoakSettings {
  double bytesPerSecond = 256 * 1024;  // per direction and channel while a client is there
  int minSessionMs = 5000;
  int maxSessionMs = 40000;
  pid_t pid = -1;       // the program
  std::string logPath;  // its stderr
  const std::atomic<bool>* stop = nullptr;
  SharedConsole* console = nullptr;
};

// Byte accounting of one direction, over all epochs (an epoch ends at a hang-up).
struct Accounting {
  uint64_t sent = 0;
  uint64_t checked = 0;
  uint64_t lostAtHangUp = 0;
};

struct ChannelReport {
  Accounting toTcp;
  Accounting toSerial;
  int sessions = 0;
  int orderlyLeaves = 0;
  int abruptLeaves = 0;
  int busyRetries = 0;  // a newcomer that found the last client not yet gone
  int secondClients = 0;
  int hangUps = 0;
  bool stopped = false;  // left stopped: its device path could not be had again
  std::vector<std::string> errors;
};

class SoakChannel {
 public:
  SoakChannel(int index, Pty pty, int tcpPort, const SoakSettings& settings)
      : index_(index),
        pty_(std::move(pty)),
        tcpPort_(tcpPort),
        settings_(settings),
        random_(static_cast<unsigned>(tcpPort) * 7919u) {
    NewEpoch();
  }

  // The thread's body: sessions until the soak stops, or the channel fails.
  void Run() {
    while (!settings_.stop->load() && report.errors.empty() && !report.stopped) {
      Session();
      if (report.errors.empty() && !report.stopped) SleepMs(Uniform(200, 2000));
    }
    Fold();
  }

  int Number() const { return index_ + 1; }
  const std::string& Path() const { return pty_.path; }
  int TcpPort() const { return tcpPort_; }
  Pty& Device() { return pty_; }
  uint64_t BytesChecked() const { return checkedTotal_.load(); }

  std::atomic<bool> hangUpWanted{false};
  ChannelReport report;

 private:
  int Uniform(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(random_); }

  std::string Name() const { return "COM" + std::to_string(Number()); }

  void Error(const std::string& what) {
    report.errors.push_back(Name() + " session " + std::to_string(report.sessions) + ": " + what);
  }

  // Fresh streams both ways (at the start and after each hang-up).
  void NewEpoch() {
    Fold();
    ++epoch_;
    const uint64_t seed = (static_cast<uint64_t>(tcpPort_) << 20) + epoch_ * 2;
    toTcp_ = std::make_unique<Flow>(Name() + " serial->TCP", pty_.master, -1, seed);
    toSerial_ = std::make_unique<Flow>(Name() + " TCP->serial", -1, pty_.master, seed + 1);
  }

  // Adds the current streams' figures to the report.
  void Fold() {
    if (!toTcp_) return;
    for (auto [flow, acc] :
         {std::pair{toTcp_.get(), &report.toTcp}, std::pair{toSerial_.get(), &report.toSerial}}) {
      acc->sent += flow->writer.Position();
      acc->checked += flow->checker.Position();
    }
    toTcp_.reset();
    toSerial_.reset();
  }

  // Connects and is taken on. A newcomer that finds the previous client not yet gone (it left
  // with a reset just now) is turned away with the busy notice: it tries again.
  int Connect() {
    for (int attempt = 0; attempt < 50; ++attempt) {
      std::string error;
      const int fd = bench::Connect(tcpPort_, error);
      if (fd < 0) {
        Error(error);
        return -1;
      }
      std::string notice(kTakeOn.size(), '\0');
      size_t got = 0;
      ReadExact(fd, notice.data(), notice.size(), 5000, &got);
      notice.resize(got);
      if (notice == kTakeOn) return fd;
      close(fd);
      if (notice != kBusy) {
        Error("take-on notice: got \"" + Printable(notice) + "\"");
        return -1;
      }
      ++report.busyRetries;
      SleepMs(100);
    }
    Error("the port stayed busy");
    return -1;
  }

  // A second client while one is bridged: the busy notice, then closed.
  void SecondClient() {
    std::string error;
    const int fd = bench::Connect(tcpPort_, error);
    if (fd < 0) return Error("second client: " + error);
    bool closed = false;
    const std::string got = ReadToEnd(fd, 5000, closed);
    close(fd);
    if (!closed || got != kBusy) {
      return Error("second client: got \"" + Printable(got) + "\"" +
                   (closed ? "" : ", not closed"));
    }
    ++report.secondClients;
  }

  void Session() {
    ++report.sessions;
    const int fd = Connect();
    if (fd < 0) return;
    if (Uniform(0, 4) == 0) SecondClient();
    toTcp_->sink = fd;
    toSerial_->source = fd;
    const int ms = Uniform(settings_.minSessionMs, settings_.maxSessionMs);
    const uint64_t bytes = static_cast<uint64_t>(settings_.bytesPerSecond * ms / 1000.0);
    toTcp_->Add(bytes);
    toSerial_->Add(bytes);
    PumpOptions options;
    options.bytesPerSecond = settings_.bytesPerSecond;
    options.stallMs = 30000;
    options.wrapUp = settings_.stop;
    const bool hangUp = hangUpWanted.load();
    sessionStart_ = NowNs();
    sessionCpu_ = CpuMsFine(settings_.pid);
    if (hangUp) options.deadlineNs = NowNs() + int64_t{Uniform(500, ms / 2)} * 1000000;
    std::string error;
    Pump pump;
    const bool ok = pump.Run({toTcp_.get(), toSerial_.get()}, options, error);
    Count();
    if (hangUp && !ok && error == "deadline") return HangUp(fd);
    if (!ok) {
      Abort(fd);
      return Error(error);
    }
    if (Uniform(0, 2) == 0) {
      Abort(fd);  // everything sent has arrived: only the let-go notice is lost
      ++report.abruptLeaves;
    } else if (CloseClient(true, fd, error)) {
      ++report.orderlyLeaves;
    } else {
      Error(error);
    }
  }

  void Count() {
    checkedTotal_.store(report.toTcp.checked + report.toSerial.checked +
                        toTcp_->checker.Position() + toSerial_->checker.Position());
  }

  // Hangs the device up in the middle of the traffic, checks that the program lets the client
  // go and carries on, and brings the device back on the same path, which the program opens
  // again by itself.
  void HangUp(int fd) {
    hangUpWanted = false;
    ++report.hangUps;
    const std::string error = HangUpSteps(fd);
    if (fd >= 0) Abort(fd);
    if (!error.empty()) Error(error);
  }

  // The steps of HangUp; fd is -1 once closed. Returns what went wrong, or nothing.
  std::string HangUpSteps(int& fd) {
    const std::string path = pty_.path;
    const double cpuBefore = CpuMsFine(settings_.pid);
    const double busyBefore =
        (cpuBefore - sessionCpu_) / (static_cast<double>(NowNs() - sessionStart_) / 1e8);
    pty_.Close();
    // What the program read from the device before the hang-up still reaches the client, then
    // the let-go notice and the close.
    bool closed = false;
    const std::string rest = ReadToEnd(fd, 10000, closed);
    close(fd);
    fd = -1;
    const bool letGo = closed && rest.size() >= kLetGo.size() &&
                       rest.compare(rest.size() - kLetGo.size(), kLetGo.size(), kLetGo) == 0;
    if (!letGo) return "after the hang-up the client was not let go with the notice";
    if (!toTcp_->checker.Check(rest.data(), rest.size() - kLetGo.size())) {
      return "after the hang-up: content: " + toTcp_->checker.Error();
    }
    report.toTcp.lostAtHangUp += toTcp_->writer.Position() - toTcp_->checker.Position();
    report.toSerial.lostAtHangUp += toSerial_->writer.Position() - toSerial_->checker.Position();

    // The program goes on, says once that the device went away, and does not spin while it
    // waits for the device: its CPU use (the other channels' traffic goes on) stays near what
    // it was before.
    const double cpu0 = CpuMsFine(settings_.pid);
    SleepMs(2000);
    const double busy = (CpuMsFine(settings_.pid) - cpu0) / 20.0;
    if (!Running(settings_.pid)) return "the program ended after the hang-up";
    if (busy > std::max(2 * busyBefore, busyBefore + 25)) {
      return "the program is busy after the hang-up: " + Fixed1(busy) + " % of a CPU, " +
             Fixed1(busyBefore) + " % before";
    }
    const std::string line = Name() + " device " + path + " went away";
    if (Occurrences(ReadText(settings_.logPath), line) != static_cast<size_t>(report.hangUps)) {
      return "expected one log line \"" + line + "\" per hang-up";
    }

    if (!Reacquire(path)) {
      // The path cannot be had again: the port is stopped, so that it no longer waits.
      std::string error;
      const std::string stop = "Stop " + std::to_string(Number());
      if (!settings_.console->Run([&](Console& c, std::string& e) { return c.CommandOk(stop, e); },
                                  error)) {
        return error;
      }
      report.stopped = true;
      return "";
    }
    // Back on its path, the device is opened again within the program's second of retrying.
    const std::string back = Name() + " device back on " + path;
    const int64_t deadline = NowNs() + 5'000'000'000;
    while (Occurrences(ReadText(settings_.logPath), back) < static_cast<size_t>(report.hangUps)) {
      if (NowNs() > deadline) return "the device was not opened again: no \"" + back + "\"";
      SleepMs(50);
    }
    NewEpoch();
    return "";
  }

  // A closed master takes its path with it; the number is free again once the program has
  // closed the slave too. New pseudo-terminals are taken until one gets that path (others
  // may hold lower numbers meanwhile).
  bool Reacquire(const std::string& path) {
    const int64_t deadline = NowNs() + 30'000'000'000;
    while (NowNs() < deadline) {
      std::vector<Pty> others;
      for (int i = 0; i < 64; ++i) {
        Pty pty;
        std::string error;
        if (!pty.Open(error)) break;
        if (pty.path == path) {
          pty_ = std::move(pty);
          return true;
        }
        others.push_back(std::move(pty));
      }
      others.clear();
      SleepMs(200);
    }
    return false;
  }

  static size_t Occurrences(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
  }

  static std::string Fixed1(double v) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", v);
    return text;
  }

  int index_;
  Pty pty_;
  int tcpPort_;
  const SoakSettings& settings_;
  std::mt19937 random_;
  uint64_t epoch_ = 0;
  std::unique_ptr<Flow> toTcp_;
  std::unique_ptr<Flow> toSerial_;
  std::atomic<uint64_t> checkedTotal_{0};
  int64_t sessionStart_ = 0;  // when the current session's traffic began
  double sessionCpu_ = 0;     // the program's CPU time then
};

}  // namespace kov::bench
