// Soak test of kovbridge: eight bridged channels carrying checked traffic both ways for a
// number of minutes, with clients coming and going (in order and with a reset), second
// clients turned away, console sessions logging in and out, and devices hung up and brought
// back on the same path, which the program opens again by itself. At the end every byte is accounted for, the program's descriptors
// are as many as at the start, its resident memory has not grown beyond a bound, and it still
// answers on the console and on every channel.
//
//   soak [--kovbridge PATH] [--minutes 30] [--rate KIB_PER_S] [--hangup-every SECONDS]
//        [--console-every SECONDS] [--rss-bound KIB] [--rss-start-bound KIB] [--json FILE]
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bench_console.h"
#include "bench_json.h"
#include "bench_report.h"
#include "bench_soak.h"
#include "bench_subject.h"

namespace kov::bench {
namespace {

struct Options {
  std::string kovbridge = "build-bench/kovbridge";
  double minutes = 30;
  double rateKib = 256;   // per direction and channel while a client is bridged
  int hangUpEvery = 240;  // seconds between device hang-ups, one channel after another
  int consoleEvery = 20;  // seconds between console sessions
  // Resident memory may grow by this much after the warm-up, and by rssStartBoundKib in all:
  // the program's own buffers for eight busy channels (serial rings, chunk buffers, queues
  // towards slow clients) come to about 5 MiB.
  int64_t rssBoundKib = 4096;
  int64_t rssStartBoundKib = 8192;
  std::string json = "bench/soak-results.json";
};

struct Sample {
  double seconds;
  size_t fds;
  int64_t rssKb;
  double cpuMs;
};

struct ConsoleReport {
  int sessions = 0;
  int wrongPasswords = 0;
  int secondConsoles = 0;
  std::vector<std::string> errors;
};

// Checks a listing's shape: the lines of ports 1..8 in order, then the prompt.
bool ListsPorts(const std::string& reply) {
  size_t at = 0;
  for (int n = 1; n <= 8; ++n) {
    at = reply.find(" Port " + std::to_string(n) + ": ", at);
    if (at == std::string::npos) return false;
  }
  const std::string end = "\n\r" + kPrompt;
  return reply.size() >= end.size() &&
         reply.compare(reply.size() - end.size(), end.size(), end) == 0;
}

// Console sessions at intervals: login (now and then after a wrong password), the listings,
// now and then a second console that is turned away, Exit.
void ConsoleLoop(SharedConsole& console, int everySeconds, const std::atomic<bool>& stop,
                 ConsoleReport& report) {
  std::mt19937 random(42);
  while (!stop.load() && report.errors.size() < 5) {
    for (int i = 0; i < everySeconds * 10 && !stop.load(); ++i) SleepMs(100);
    if (stop.load()) break;
    const bool wrongFirst = random() % 4 == 0;
    const bool second = random() % 4 == 0;
    std::string error;
    const bool ok = console.Run(
        [&](Console& c, std::string& e) {
          std::string reply;
          if (!c.Command("ShowConnection", reply, e)) return false;
          if (reply.compare(0, 19, " ConfigurationPort:") != 0 || !ListsPorts(reply)) {
            e = "ShowConnection: \"" + Printable(reply) + "\"";
            return false;
          }
          if (!c.Command("ShowTrafic", reply, e)) return false;
          if (!ListsPorts(reply)) {
            e = "ShowTrafic: \"" + Printable(reply) + "\"";
            return false;
          }
          if (second) {
            TcpClient other;
            if (!other.Connect(console.Port())) {
              e = "second console: cannot connect";
              return false;
            }
            std::string got;
            if (!other.WaitClosed(5000, &got) || got != kSecondConsole) {
              e = "second console: \"" + Printable(got) + "\"";
              return false;
            }
            ++report.secondConsoles;
          }
          return true;
        },
        error, wrongFirst);
    ++report.sessions;
    if (wrongFirst) ++report.wrongPasswords;
    if (!ok)
      report.errors.push_back("console session " + std::to_string(report.sessions) + ": " + error);
  }
}

// After the soak: each running channel takes a client on and carries 64 KiB each way.
bool StillBridges(SoakChannel& channel, std::string& error) {
  const int fd = Connect(channel.TcpPort(), error);
  if (fd < 0) return false;
  Flow out("final serial->TCP", channel.Device().master, fd, 77);
  Flow in("final TCP->serial", fd, channel.Device().master, 78);
  out.Add(65536);
  in.Add(65536);
  Pump pump;
  const bool ok = Expect(fd, kTakeOn, 5000, "take-on notice", error) &&
                  pump.Run({&out, &in}, PumpOptions{}, error) && CloseClient(true, fd, error);
  if (!ok) {
    close(fd);
    error = "COM" + std::to_string(channel.Number()) + ": " + error;
  }
  return ok;
}

bool ParseOptions(int argc, char** argv, Options& options) {
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string arg = argv[i];
    const std::string value = argv[i + 1];
    if (arg == "--kovbridge") {
      options.kovbridge = value;
    } else if (arg == "--minutes") {
      options.minutes = std::stod(value);
    } else if (arg == "--rate") {
      options.rateKib = std::stod(value);
    } else if (arg == "--hangup-every") {
      options.hangUpEvery = std::max(10, std::stoi(value));
    } else if (arg == "--console-every") {
      options.consoleEvery = std::max(6, std::stoi(value));
    } else if (arg == "--rss-bound") {
      options.rssBoundKib = std::stoll(value);
    } else if (arg == "--rss-start-bound") {
      options.rssStartBoundKib = std::stoll(value);
    } else if (arg == "--json") {
      options.json = value;
    } else {
      return false;
    }
  }
  return argc % 2 == 1;
}

class Soak {
 public:
  explicit Soak(const Options& options)
      : options_(options), subject_({"kovbridge", Kind::kKovBridge, options.kovbridge}) {}

  int Run() {
    if (!Start()) return Finish();
    Baseline();
    std::vector<std::thread> threads;
    for (auto& channel : channels_) threads.emplace_back([&channel] { channel->Run(); });
    threads.emplace_back(
        [this] { ConsoleLoop(*console_, options_.consoleEvery, stop_, consoleReport_); });
    Watch();
    stop_ = true;
    for (std::thread& t : threads) t.join();
    FinalChecks();
    return Finish();
  }

 private:
  bool Start() {
    std::vector<std::string> devices;
    std::vector<int> ports;
    std::vector<Pty> ptys(8);
    for (Pty& pty : ptys) {
      std::string error;
      if (!pty.Open(error)) return Fail(error);
      devices.push_back(pty.path);
      ports.push_back(FreeTcpPort());
    }
    std::string error;
    if (!subject_.Start(devices, ports, error)) return Fail(error);
    settings_.bytesPerSecond = options_.rateKib * 1024;
    settings_.pid = subject_.pids.at(0);
    settings_.logPath = subject_.LogPath();
    settings_.stop = &stop_;
    console_ = std::make_unique<SharedConsole>(subject_.consolePort);
    settings_.console = console_.get();
    for (size_t i = 0; i < ptys.size(); ++i) {
      channels_.push_back(std::make_unique<SoakChannel>(static_cast<int>(i), std::move(ptys[i]),
                                                        ports[i], settings_));
    }
    return true;
  }

  // Descriptors and memory with every port listening and nobody connected.
  void Baseline() {
    SleepMs(1000);
    baseFds_ = subject_.FdCount();
    baseRssKb_ = subject_.RssKb();
  }

  // Samples the program every 5 s until the time is up; hang-ups go to one channel after
  // another.
  void Watch() {
    const double start = NowSeconds();
    const double end = start + options_.minutes * 60;
    const double warmUpEnd = start + std::min(300.0, options_.minutes * 15);
    double nextHangUp = start + options_.hangUpEvery / 2.0;
    double nextReport = start + 60;
    size_t nextChannel = 0;
    while (NowSeconds() < end) {
      SleepMs(std::min<int64_t>(5000, static_cast<int64_t>((end - NowSeconds()) * 1000) + 1));
      const double now = NowSeconds();
      if (!subject_.Alive()) {
        errors_.push_back("the program ended during the soak");
        return;
      }
      samples_.push_back({now - start, subject_.FdCount(), subject_.RssKb(), subject_.CpuMs()});
      if (now <= warmUpEnd) warmRssKb_ = std::max(warmRssKb_, samples_.back().rssKb);
      if (now >= nextHangUp) {
        channels_[nextChannel % channels_.size()]->hangUpWanted = true;
        ++nextChannel;
        nextHangUp += options_.hangUpEvery;
      }
      if (now >= nextReport) {
        uint64_t checked = 0;
        for (auto& c : channels_) checked += c->BytesChecked();
        std::fprintf(stderr, "%6.0f s: %8.1f MiB checked, %zu fds, %lld KiB resident\n",
                     now - start, static_cast<double>(checked) / kMiB, samples_.back().fds,
                     static_cast<long long>(samples_.back().rssKb));
        nextReport += 60;
      }
    }
  }

  void FinalChecks() {
    if (!subject_.Alive()) {
      errors_.push_back("the program is not running at the end");
      return;
    }
    std::string error;
    // The console answers; nobody is bridged any more.
    const bool answers = console_->Run(
        [&](Console& c, std::string& e) {
          std::string reply;
          if (!c.Command("ShowConnection", reply, e)) return false;
          if (reply.find(": Active") != std::string::npos || !ListsPorts(reply)) {
            e = "ShowConnection at the end: \"" + Printable(reply) + "\"";
            return false;
          }
          return true;
        },
        error);
    if (!answers) errors_.push_back("final console: " + error);
    for (auto& channel : channels_) {
      if (!channel->report.stopped && !StillBridges(*channel, error)) {
        errors_.push_back("final bridge: " + error);
      }
    }
    // The console listener reopens 5 s after Exit; then the state is the one of the start.
    SleepMs(6000);
    const double cpu0 = subject_.CpuMsFine();
    SleepMs(5000);
    idlePercent_ = (subject_.CpuMsFine() - cpu0) / 50.0;
    finalFds_ = subject_.FdCount();
    finalRssKb_ = subject_.RssKb();
    peakKb_ = subject_.PeakKb();
    size_t stopped = 0;
    for (auto& c : channels_) stopped += c->report.stopped ? 1 : 0;
    expectedFds_ = baseFds_ - 2 * stopped;  // a stopped port holds neither device nor listener
    if (finalFds_ != expectedFds_) {
      errors_.push_back("descriptors: " + std::to_string(finalFds_) + " at the end, expected " +
                        std::to_string(expectedFds_));
    }
    if (finalRssKb_ > warmRssKb_ + options_.rssBoundKib) {
      errors_.push_back("resident memory grew from " + std::to_string(warmRssKb_) +
                        " KiB after the warm-up to " + std::to_string(finalRssKb_) + " KiB");
    }
    if (peakKb_ > baseRssKb_ + options_.rssStartBoundKib) {
      errors_.push_back("resident memory peaked at " + std::to_string(peakKb_) + " KiB, " +
                        std::to_string(peakKb_ - baseRssKb_) + " KiB above the start");
    }
  }

  bool Fail(const std::string& error) {
    errors_.push_back(error);
    return false;
  }

  int Finish() {
    Json json;
    json.Open();
    AddMachine(json, LoadAverage());
    json.Open("settings")
        .Add("minutes", options_.minutes)
        .Add("kib_per_s_per_direction_and_channel", options_.rateKib)
        .Add("hang_up_every_s", options_.hangUpEvery)
        .Add("console_every_s", options_.consoleEvery)
        .Add("rss_bound_after_warm_up_kib", options_.rssBoundKib)
        .Add("rss_bound_over_start_kib", options_.rssStartBoundKib)
        .Close();
    Accounting toTcp, toSerial;
    int sessions = 0, orderly = 0, abrupt = 0, busy = 0, second = 0, hangUps = 0, stopped = 0;
    std::vector<std::string> errors = errors_;
    json.OpenArray("channels");
    for (auto& c : channels_) {
      const ChannelReport& r = c->report;
      for (auto [sum, part] : {std::pair{&toTcp, &r.toTcp}, std::pair{&toSerial, &r.toSerial}}) {
        sum->sent += part->sent;
        sum->checked += part->checked;
        sum->lostAtHangUp += part->lostAtHangUp;
      }
      sessions += r.sessions;
      orderly += r.orderlyLeaves;
      abrupt += r.abruptLeaves;
      busy += r.busyRetries;
      second += r.secondClients;
      hangUps += r.hangUps;
      stopped += r.stopped ? 1 : 0;
      errors.insert(errors.end(), r.errors.begin(), r.errors.end());
      json.Open()
          .Add("port", c->Number())
          .Add("serial_to_tcp_sent", r.toTcp.sent)
          .Add("serial_to_tcp_checked", r.toTcp.checked)
          .Add("serial_to_tcp_lost_at_hang_up", r.toTcp.lostAtHangUp)
          .Add("tcp_to_serial_sent", r.toSerial.sent)
          .Add("tcp_to_serial_checked", r.toSerial.checked)
          .Add("tcp_to_serial_lost_at_hang_up", r.toSerial.lostAtHangUp)
          .Add("sessions", r.sessions)
          .Add("hang_ups", r.hangUps)
          .Add("left_stopped", r.stopped)
          .Close();
      // Every byte sent is either checked at the other end or was in flight at a hang-up.
      for (const Accounting* a : {&r.toTcp, &r.toSerial}) {
        if (a->sent != a->checked + a->lostAtHangUp) {
          errors.push_back("COM" + std::to_string(c->Number()) + ": " + std::to_string(a->sent) +
                           " bytes sent, " + std::to_string(a->checked) + " checked, " +
                           std::to_string(a->lostAtHangUp) + " lost at hang-ups");
        }
      }
    }
    json.Close();
    errors.insert(errors.end(), consoleReport_.errors.begin(), consoleReport_.errors.end());
    json.Open("totals")
        .Add("serial_to_tcp_sent", toTcp.sent)
        .Add("serial_to_tcp_checked", toTcp.checked)
        .Add("serial_to_tcp_lost_at_hang_up", toTcp.lostAtHangUp)
        .Add("tcp_to_serial_sent", toSerial.sent)
        .Add("tcp_to_serial_checked", toSerial.checked)
        .Add("tcp_to_serial_lost_at_hang_up", toSerial.lostAtHangUp)
        .Add("client_sessions", sessions)
        .Add("orderly_leaves", orderly)
        .Add("abrupt_leaves", abrupt)
        .Add("busy_retries", busy)
        .Add("second_clients_turned_away", second)
        .Add("hang_ups", hangUps)
        .Add("ports_left_stopped", stopped)
        .Add("console_sessions", consoleReport_.sessions)
        .Add("console_wrong_passwords", consoleReport_.wrongPasswords)
        .Add("second_consoles_turned_away", consoleReport_.secondConsoles)
        .Add("console_connections_closed_before_greeting",
             console_ ? console_->closedBeforeGreeting.load() : 0)
        .Close();
    json.Open("program")
        .Add("fds_at_start", static_cast<uint64_t>(baseFds_))
        .Add("fds_at_end", static_cast<uint64_t>(finalFds_))
        .Add("fds_expected_at_end", static_cast<uint64_t>(expectedFds_))
        .Add("rss_kib_at_start", baseRssKb_)
        .Add("rss_kib_after_warm_up", warmRssKb_)
        .Add("rss_kib_at_end", finalRssKb_)
        .Add("peak_rss_kib", peakKb_)
        .Add("idle_cpu_percent_at_end", idlePercent_)
        .Add("cpu_ms_total", samples_.empty() ? 0.0 : samples_.back().cpuMs)
        .Close();
    json.OpenArray("samples");
    for (const Sample& s : samples_) {
      json.Open()
          .Add("s", s.seconds)
          .Add("fds", static_cast<uint64_t>(s.fds))
          .Add("rss_kib", s.rssKb)
          .Add("cpu_ms", s.cpuMs)
          .Close();
    }
    json.Close();
    json.OpenArray("errors");
    for (const std::string& e : errors) json.Add("", e);
    json.Close().Close();
    std::ofstream(options_.json) << json.Text() << "\n";

    std::printf("soak of %.1f min: %s\n", options_.minutes, errors.empty() ? "PASSED" : "FAILED");
    std::printf("  serial->TCP: %.1f MiB sent, %.1f MiB checked, %llu bytes lost at hang-ups\n",
                double(toTcp.sent) / kMiB, double(toTcp.checked) / kMiB,
                static_cast<unsigned long long>(toTcp.lostAtHangUp));
    std::printf("  TCP->serial: %.1f MiB sent, %.1f MiB checked, %llu bytes lost at hang-ups\n",
                double(toSerial.sent) / kMiB, double(toSerial.checked) / kMiB,
                static_cast<unsigned long long>(toSerial.lostAtHangUp));
    std::printf("  client sessions %d (orderly %d, reset %d, busy retries %d), second clients %d\n",
                sessions, orderly, abrupt, busy, second);
    std::printf(
        "  hang-ups %d, ports left stopped %d; console sessions %d (wrong password %d, "
        "second console %d, closed before the greeting and tried again %d)\n",
        hangUps, stopped, consoleReport_.sessions, consoleReport_.wrongPasswords,
        consoleReport_.secondConsoles, console_ ? console_->closedBeforeGreeting.load() : 0);
    std::printf(
        "  descriptors %zu at start, %zu at end (expected %zu); resident %lld KiB at "
        "start, %lld after warm-up, %lld at end, peak %lld; idle CPU %.3f %%\n",
        baseFds_, finalFds_, expectedFds_, static_cast<long long>(baseRssKb_),
        static_cast<long long>(warmRssKb_), static_cast<long long>(finalRssKb_),
        static_cast<long long>(peakKb_), idlePercent_);
    for (const std::string& e : errors) std::printf("  ERROR: %s\n", e.c_str());
    std::printf("  JSON: %s\n", options_.json.c_str());
    if (!errors.empty()) std::printf("  program log kept: %s\n", subject_.LogPath().c_str());
    subject_.Stop(!errors.empty());
    return errors.empty() ? 0 : 1;
  }

  const Options& options_;
  Subject subject_;
  SoakSettings settings_;
  std::unique_ptr<SharedConsole> console_;
  std::vector<std::unique_ptr<SoakChannel>> channels_;
  std::atomic<bool> stop_{false};
  ConsoleReport consoleReport_;
  std::vector<Sample> samples_;
  std::vector<std::string> errors_;
  size_t baseFds_ = 0, finalFds_ = 0, expectedFds_ = 0;
  int64_t baseRssKb_ = 0, warmRssKb_ = 0, finalRssKb_ = 0, peakKb_ = 0;
  double idlePercent_ = -1;
};

}  // namespace
}  // namespace kov::bench

int main(int argc, char** argv) {
  using namespace kov::bench;
  signal(SIGPIPE, SIG_IGN);
  Options options;
  if (!ParseOptions(argc, argv, options)) {
    std::fprintf(stderr,
                 "usage: soak [--kovbridge PATH] [--minutes 30] [--rate KIB_PER_S]\n"
                 "            [--hangup-every SECONDS] [--console-every SECONDS]\n"
                 "            [--rss-bound KIB] [--rss-start-bound KIB] [--json FILE]\n");
    return 2;
  }
  Soak soak(options);
  return soak.Run();
}
