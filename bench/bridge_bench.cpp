// Whole-program benchmark: kovbridge against socat and ser2net, each bridging pseudo-terminals
// (the harness plays the serial devices on the master sides) to loopback TCP clients.
//
// kov-rfc2217 is kovbridge with its ports on protocol=rfc2217, its clients speaking Telnet (255
// doubled both ways, the server's option bytes read and dropped); only the one-channel and
// eight-channel throughput phases mean the same for it (the round trips send raw bytes).
//
// For each program: throughput each way on one channel and on eight at once, every byte
// checked; round-trip latency through a device that echoes; CPU time per MiB and peak
// resident memory of the program's processes; its CPU use while idle with eight ports
// listening and one client connected, and with eight clients bridged that send nothing. Prints
// one table and writes the figures as JSON.
//
//   bridge_bench [--kovbridge PATH] [--subjects kovbridge,kov-rfc2217,socat,ser2net] [--mib 64]
//                [--mib8 16] [--ser2net-share 8] [--repeat 3] [--rounds 5000] [--size 32]
//                [--idle 10] [--json FILE]
#include <signal.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "bench_client.h"
#include "bench_flow.h"
#include "bench_json.h"
#include "bench_pty.h"
#include "bench_report.h"
#include "bench_subject.h"

namespace kov::bench {
namespace {

struct Options {
  std::vector<std::string> subjects = {"kovbridge", "socat", "ser2net"};
  std::string kovbridge = "build-bench/kovbridge";
  uint64_t mib = 64;          // per direction, one channel
  uint64_t mib8 = 16;         // per direction and channel, eight channels
  uint64_t ser2netShare = 8;  // ser2net moves 1/8 of those bytes
  int repeat = 3;             // runs of each phase; medians are reported
  int rounds = 5000;          // round trips in all
  size_t size = 32;           // bytes per round trip
  int idleSeconds = 10;       // idle CPU measurement
  std::string json = "bench/results.json";
  std::string phases = "one,rtt,eight";  // which phases to run
};

// A device and the TCP port bridged to it.
struct Channel {
  Pty pty;
  int tcpPort = -1;
  int client = -1;
  std::unique_ptr<Flow> toTcp;     // written to the device, read from the client
  std::unique_ptr<Flow> toSerial;  // written by the client, read from the device
};

Program ProgramOf(const std::string& name, const Options& options) {
  if (name == "socat") return {name, Kind::kSocat, "socat"};
  if (name == "ser2net") return {name, Kind::kSer2net, "ser2net"};
  if (name == "kov-rfc2217") return {name, Kind::kKovBridge, options.kovbridge, true};
  return {name, Kind::kKovBridge, options.kovbridge};
}

class Bench {
 public:
  Bench(const Options& options, Result& result) : options_(options), result_(result) {}

  // The three phases. Each returns false, with result.error, at the first failure; main runs
  // each phase `repeat` times, taking the programs in turn, so that other load on the machine
  // falls on all of them alike.

  // One channel, a fresh program: options.mib MiB each way (ser2net: a share of it).
  bool OneChannel(const Program& program) {
    Subject subject(program);
    std::string error;
    const uint64_t bytes = Share(program, options_.mib * 1024 * 1024);
    if (!Setup(subject, 1, 1, error) ||
        !BothWays(subject, bytes, result_.toTcp1, result_.toSerial1, error)) {
      return Fail(subject, "one channel: " + error);
    }
    result_.peakKb1 = std::max(result_.peakKb1, subject.PeakKb());
    if (!Disconnect(subject, error)) return Fail(subject, "one channel: " + error);
    subject.Stop();
    return true;
  }

  // `rounds` round trips through a device that echoes, after a warm-up.
  bool RoundTrips(const Program& program, int rounds) {
    Subject subject(program);
    std::string error;
    if (!Setup(subject, 1, 1, error)) return Fail(subject, "round trips: " + error);
    Channel& c = channels_[0];
    const int warmUp = std::min(100, rounds);
    for (int i = 0; i < warmUp + rounds; ++i) {
      double us = 0;
      if (!RoundTrip(c, us, error)) {
        return Fail(subject, "round trip " + std::to_string(i + 1) + ": " + error);
      }
      if (i >= warmUp) result_.roundTripUs.push_back(us);
    }
    if (!Disconnect(subject, error)) return Fail(subject, "round trips: " + error);
    subject.Stop();
    return true;
  }

  // Eight channels: idle with one client, idle with eight, then all eight each way at once.
  bool EightChannels(const Program& program) {
    Subject subject(program);
    std::string error;
    if (!Setup(subject, 8, 1, error)) return Fail(subject, "eight channels: " + error);
    Idle idle = MeasureIdle(subject);
    result_.idleCpuPercent.push_back(idle.cpuMs / idle.ms * 100.0);
    result_.idleCpuPercentTicks.push_back(idle.tickMs / idle.ms * 100.0);
    for (size_t i = 1; i < channels_.size(); ++i) {
      if (!Connect(subject, channels_[i], error)) return Fail(subject, "eight channels: " + error);
    }
    idle = MeasureIdle(subject);
    result_.idleCpuMsBridged.push_back(idle.cpuMs / idle.ms * 10000.0);
    const uint64_t bytes = Share(program, options_.mib8 * 1024 * 1024);
    if (!BothWays(subject, bytes, result_.toTcp8, result_.toSerial8, error)) {
      return Fail(subject, "eight channels: " + error);
    }
    result_.peakKb8 = std::max(result_.peakKb8, subject.PeakKb());
    if (!Disconnect(subject, error)) return Fail(subject, "eight channels: " + error);
    subject.Stop();
    return true;
  }

 private:
  struct Idle {
    double ms = 0;      // wall time measured
    double cpuMs = 0;   // from the scheduler's nanosecond counts
    double tickMs = 0;  // from utime + stime
  };

  // The program's CPU use while nothing moves, after a second to settle.
  Idle MeasureIdle(Subject& subject) {
    SleepMs(1000);
    const double fine0 = subject.CpuMsFine();
    const double ticks0 = subject.CpuMs();
    const int64_t t0 = NowNs();
    SleepMs(int64_t{options_.idleSeconds} * 1000);
    Idle idle;
    idle.ms = static_cast<double>(NowNs() - t0) / 1e6;
    idle.cpuMs = subject.CpuMsFine() - fine0;
    idle.tickMs = subject.CpuMs() - ticks0;
    return idle;
  }

  // ser2net's stock 64-byte buffers make it slow: it moves a share of the bytes.
  uint64_t Share(const Program& program, uint64_t bytes) const {
    return program.kind == Kind::kSer2net ? bytes / options_.ser2netShare : bytes;
  }

  bool Fail(Subject& subject, const std::string& what) {
    result_.error = what;
    if (!subject.pids.empty()) result_.error += " (log kept: " + subject.LogPath() + ")";
    subject.Stop(true);
    for (Channel& c : channels_) {
      if (c.client >= 0) close(c.client);
      c.client = -1;
    }
    return false;
  }

  // Opens n devices, starts the program on them and connects the first `clients` clients.
  bool Setup(Subject& subject, size_t n, size_t clients, std::string& error) {
    channels_.clear();
    channels_.resize(n);
    std::vector<std::string> devices;
    std::vector<int> ports;
    for (size_t i = 0; i < n; ++i) {
      if (!channels_[i].pty.Open(error)) return false;
      channels_[i].tcpPort = FreeTcpPort();
      devices.push_back(channels_[i].pty.path);
      ports.push_back(channels_[i].tcpPort);
    }
    if (!subject.Start(devices, ports, error)) return false;
    for (size_t i = 0; i < clients; ++i) {
      if (!Connect(subject, channels_[i], error)) return false;
    }
    return true;
  }

  bool Connect(Subject& subject, Channel& c, std::string& error) {
    c.client = OpenClient(subject, c.tcpPort, c.pty.path, error);
    if (c.client < 0) return false;
    const uint64_t seed = static_cast<uint64_t>(c.tcpPort) * 1000003u;
    c.toTcp = std::make_unique<Flow>(c.pty.path + " serial->TCP", c.pty.master, c.client, seed);
    c.toSerial =
        std::make_unique<Flow>(c.pty.path + " TCP->serial", c.client, c.pty.master, seed + 1);
    c.toTcp->decodeSink = subject.Telnet();
    c.toSerial->escapeSource = subject.Telnet();
    return true;
  }

  bool Disconnect(Subject& subject, std::string& error) {
    for (Channel& c : channels_) {
      if (c.client < 0) continue;
      const int fd = c.client;
      c.client = -1;
      if (!CloseClient(subject.SendsNotices(), fd, error)) {
        error = c.pty.path + ": " + error;
        return false;
      }
    }
    return true;
  }

  // Moves `bytes` through each flow at once, at full speed.
  bool Move(Subject& subject, const std::vector<Flow*>& flows, uint64_t bytes, Transfer& out,
            std::string& error) {
    // Scheduler run time in nanoseconds: the 10 ms ticks of utime and stime are too coarse for
    // transfers that take a few hundred milliseconds.
    const double cpu0 = subject.CpuMsFine();
    const int64_t t0 = NowNs();
    for (Flow* f : flows) f->Add(bytes);
    Pump pump;
    if (!pump.Run(flows, PumpOptions{}, error)) return false;
    out.seconds = static_cast<double>(NowNs() - t0) / 1e9;
    out.cpuMs = subject.CpuMsFine() - cpu0;
    out.mib = static_cast<double>(bytes * flows.size()) / kMiB;
    result_.bytesChecked += bytes * flows.size();
    return true;
  }

  bool BothWays(Subject& subject, uint64_t bytes, std::vector<Transfer>& toTcp,
                std::vector<Transfer>& toSerial, std::string& error) {
    std::vector<Flow*> out, in;
    for (Channel& c : channels_) {
      out.push_back(c.toTcp.get());
      in.push_back(c.toSerial.get());
    }
    Transfer t;
    if (!Move(subject, out, bytes, t, error)) return false;
    toTcp.push_back(t);
    if (!Move(subject, in, bytes, t, error)) return false;
    toSerial.push_back(t);
    return true;
  }

  // The client sends a message; the device reads it whole and sends it back; the client
  // reads it whole. Both ends check the bytes.
  bool RoundTrip(Channel& c, double& us, std::string& error) {
    std::vector<char> message(options_.size), echoed(options_.size), back(options_.size);
    c.toSerial->writer.Peek(message.data(), message.size());
    c.toSerial->writer.Advance(message.size());
    const int64_t t0 = NowNs();
    if (!WriteAll(c.client, message.data(), message.size(), 2000)) {
      error = "client cannot send";
      return false;
    }
    if (!ReadExact(c.pty.master, echoed.data(), echoed.size(), 2000) || echoed != message) {
      error = "the device did not receive the message intact";
      return false;
    }
    if (!WriteAll(c.pty.master, echoed.data(), echoed.size(), 2000)) {
      error = "device cannot send";
      return false;
    }
    if (!ReadExact(c.client, back.data(), back.size(), 2000) || back != message) {
      error = "the client did not receive the echo intact";
      return false;
    }
    us = static_cast<double>(NowNs() - t0) / 1e3;
    result_.bytesChecked += 2 * message.size();
    return true;
  }

  const Options& options_;
  Result& result_;
  std::vector<Channel> channels_;
};

bool WriteJson(const Options& options, const std::vector<Result>& results,
               const std::string& loadAtStart) {
  Json json;
  json.Open();
  AddMachine(json, loadAtStart);
  json.Open("settings")
      .Add("mib_one_channel", options.mib)
      .Add("mib_per_channel_eight", options.mib8)
      .Add("ser2net_share", options.ser2netShare)
      .Add("repeat", options.repeat)
      .Add("round_trips", options.rounds)
      .Add("round_trip_bytes", static_cast<uint64_t>(options.size))
      .Add("idle_seconds", options.idleSeconds)
      .Close();
  json.Open("subjects");
  for (const Result& r : results) AddResult(json, r);
  json.Close().Close();
  std::ofstream out(options.json);
  out << json.Text() << "\n";
  return static_cast<bool>(out);
}

std::vector<std::string> Split(const std::string& text) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (start <= text.size()) {
    const size_t comma = std::min(text.find(',', start), text.size());
    if (comma > start) parts.push_back(text.substr(start, comma - start));
    start = comma + 1;
  }
  return parts;
}

bool ParseOptions(int argc, char** argv, Options& options) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (i + 1 >= argc) return false;
    const std::string value = argv[++i];
    if (arg == "--kovbridge") {
      options.kovbridge = value;
    } else if (arg == "--subjects") {
      options.subjects = Split(value);
    } else if (arg == "--mib") {
      options.mib = std::stoull(value);
    } else if (arg == "--mib8") {
      options.mib8 = std::stoull(value);
    } else if (arg == "--ser2net-share") {
      options.ser2netShare = std::max<uint64_t>(1, std::stoull(value));
    } else if (arg == "--repeat") {
      options.repeat = std::max(1, std::stoi(value));
    } else if (arg == "--rounds") {
      options.rounds = std::max(1, std::stoi(value));
    } else if (arg == "--size") {
      options.size = std::max<size_t>(1, std::stoul(value));
    } else if (arg == "--idle") {
      options.idleSeconds = std::max(1, std::stoi(value));
    } else if (arg == "--phases") {
      options.phases = value;
    } else if (arg == "--json") {
      options.json = value;
    } else {
      return false;
    }
  }
  return true;
}

}  // namespace
}  // namespace kov::bench

int main(int argc, char** argv) {
  using namespace kov::bench;
  signal(SIGPIPE, SIG_IGN);
  Options options;
  if (!ParseOptions(argc, argv, options)) {
    std::fprintf(stderr,
                 "usage: bridge_bench [--kovbridge PATH] [--subjects kovbridge,socat,ser2net]\n"
                 "       [--mib N] [--mib8 N] [--ser2net-share N] [--repeat N] [--rounds N]\n"
                 "       [--size N] [--idle SECONDS] [--phases one,rtt,eight] [--json FILE]\n");
    return 2;
  }
  const std::string load = LoadAverage();
  std::vector<Result> results(options.subjects.size());
  std::vector<std::unique_ptr<Bench>> benches;
  for (size_t i = 0; i < results.size(); ++i) {
    results[i].name = options.subjects[i];
    benches.push_back(std::make_unique<Bench>(options, results[i]));
  }
  // Each phase runs `repeat` times, the programs taking turns; a program that failed once is
  // left out from then on.
  const std::vector<std::string> phases = Split(options.phases);
  auto phase = [&](const char* what, const char* key, int turns, auto run) {
    if (std::find(phases.begin(), phases.end(), key) == phases.end()) return;
    for (int rep = 0; rep < turns; ++rep) {
      for (size_t i = 0; i < results.size(); ++i) {
        if (!results[i].error.empty()) continue;
        std::fprintf(stderr, "%s: %s, run %d of %d\n", results[i].name.c_str(), what, rep + 1,
                     turns);
        run(*benches[i], ProgramOf(results[i].name, options));
      }
    }
  };
  phase("one channel", "one", options.repeat,
        [&](Bench& b, const Program& s) { return b.OneChannel(s); });
  // Round trips are the most sensitive to other load: they take turns in smaller portions.
  const int rttTurns = std::max(options.repeat, 10);
  phase("round trips", "rtt", rttTurns, [&](Bench& b, const Program& s) {
    if (s.rfc2217) return true;  // raw bytes only
    return b.RoundTrips(s, std::max(1, options.rounds / rttTurns));
  });
  phase("eight channels", "eight", options.repeat,
        [&](Bench& b, const Program& s) { return b.EightChannels(s); });

  PrintTable(results);
  if (!WriteJson(options, results, load)) {
    std::fprintf(stderr, "cannot write %s\n", options.json.c_str());
    return 1;
  }
  std::printf("\nJSON: %s (load average at start %s)\n", options.json.c_str(), load.c_str());
  for (const Result& r : results) {
    if (!r.error.empty()) return 1;
  }
  return 0;
}
