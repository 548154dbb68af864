#pragma once
// The benchmark's figures per program, the table that compares them and their JSON form.
#include <sys/utsname.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "bench_json.h"

namespace kov::bench {

inline constexpr double kMiB = 1024.0 * 1024.0;

// One direction's run: how much, how long, and the program's CPU time for it.
struct Transfer {
  double mib = 0;
  double seconds = 0;
  double cpuMs = 0;
  double MibPerSecond() const { return seconds > 0 ? mib / seconds : 0; }
  double CpuMsPerMib() const { return mib > 0 ? cpuMs / mib : 0; }
};

struct Result {
  std::string name;
  std::string error;  // empty when every measurement completed
  std::vector<Transfer> toTcp1, toSerial1, toTcp8, toSerial8;
  std::vector<double> roundTripUs;
  std::vector<double> idleCpuPercent;       // from the scheduler's nanosecond counts
  std::vector<double> idleCpuPercentTicks;  // from utime + stime
  std::vector<double> idleCpuMsBridged;     // CPU ms per 10 s, eight idle clients bridged
  int64_t peakKb1 = -1;
  int64_t peakKb8 = -1;
  uint64_t bytesChecked = 0;
};

// The run of median speed; an empty Transfer when there is none.
inline Transfer Median(std::vector<Transfer> runs) {
  if (runs.empty()) return {};
  std::sort(runs.begin(), runs.end(), [](const Transfer& a, const Transfer& b) {
    return a.MibPerSecond() < b.MibPerSecond();
  });
  return runs[runs.size() / 2];
}

// -1 when there are no values.
inline double Percentile(std::vector<double> values, double p) {
  if (values.empty()) return -1;
  std::sort(values.begin(), values.end());
  const size_t at = static_cast<size_t>(p / 100.0 * static_cast<double>(values.size() - 1) + 0.5);
  return values[std::min(at, values.size() - 1)];
}

inline std::string Fixed(double v, int decimals) {
  if (v < 0) return "-";
  char text[32];
  std::snprintf(text, sizeof text, "%.*f", decimals, v);
  return text;
}

inline void PrintTable(const std::vector<Result>& results) {
  std::printf("\n%-36s", "");
  for (const Result& r : results) std::printf("%12s", r.name.c_str());
  std::printf("\n");
  auto row = [&](const char* label, auto cell) {
    std::printf("%-36s", label);
    for (const Result& r : results) std::printf("%12s", cell(r).c_str());
    std::printf("\n");
  };
  auto speed = [](const std::vector<Transfer>& runs) {
    return runs.empty() ? "-" : Fixed(Median(runs).MibPerSecond(), 1);
  };
  auto cpu = [](const std::vector<Transfer>& runs) {
    return runs.empty() ? "-" : Fixed(Median(runs).CpuMsPerMib(), 2);
  };
  row("1 channel serial->TCP MiB/s", [&](const Result& r) { return speed(r.toTcp1); });
  row("1 channel TCP->serial MiB/s", [&](const Result& r) { return speed(r.toSerial1); });
  row("  CPU ms per MiB serial->TCP", [&](const Result& r) { return cpu(r.toTcp1); });
  row("  CPU ms per MiB TCP->serial", [&](const Result& r) { return cpu(r.toSerial1); });
  row("Round trip p50 us", [](const Result& r) { return Fixed(Percentile(r.roundTripUs, 50), 0); });
  row("Round trip p90 us", [](const Result& r) { return Fixed(Percentile(r.roundTripUs, 90), 0); });
  row("Round trip p99 us", [](const Result& r) { return Fixed(Percentile(r.roundTripUs, 99), 0); });
  row("Idle CPU % (8 ports, 1 client)",
      [](const Result& r) { return Fixed(Percentile(r.idleCpuPercent, 50), 3); });
  row("Idle CPU ms/10 s (8 idle clients)",
      [](const Result& r) { return Fixed(Percentile(r.idleCpuMsBridged, 50), 2); });
  row("Peak resident KiB, 1 channel", [](const Result& r) { return Fixed(double(r.peakKb1), 0); });
  row("Peak resident KiB, 8 channels", [](const Result& r) { return Fixed(double(r.peakKb8), 0); });
  row("8 channels serial->TCP MiB/s", [&](const Result& r) { return speed(r.toTcp8); });
  row("8 channels TCP->serial MiB/s", [&](const Result& r) { return speed(r.toSerial8); });
  row("  CPU ms per MiB serial->TCP", [&](const Result& r) { return cpu(r.toTcp8); });
  row("  CPU ms per MiB TCP->serial", [&](const Result& r) { return cpu(r.toSerial8); });
  row("MiB checked", [](const Result& r) { return Fixed(double(r.bytesChecked) / kMiB, 1); });
  for (const Result& r : results) {
    if (!r.error.empty()) std::printf("\n%s FAILED: %s\n", r.name.c_str(), r.error.c_str());
  }
}

inline void AddTransfers(Json& json, const std::string& key, const std::vector<Transfer>& runs) {
  const Transfer m = Median(runs);
  json.Open(key).Add("mib_per_s", m.MibPerSecond()).Add("cpu_ms_per_mib", m.CpuMsPerMib());
  json.OpenArray("runs");
  for (const Transfer& t : runs) {
    json.Open().Add("mib", t.mib).Add("seconds", t.seconds).Add("cpu_ms", t.cpuMs).Close();
  }
  json.Close().Close();
}

inline void AddResult(Json& json, const Result& r) {
  json.Open(r.name).Add("ok", r.error.empty()).Add("error", r.error);
  AddTransfers(json, "one_channel_serial_to_tcp", r.toTcp1);
  AddTransfers(json, "one_channel_tcp_to_serial", r.toSerial1);
  AddTransfers(json, "eight_channels_serial_to_tcp", r.toTcp8);
  AddTransfers(json, "eight_channels_tcp_to_serial", r.toSerial8);
  json.Open("round_trip_us")
      .Add("count", static_cast<uint64_t>(r.roundTripUs.size()))
      .Add("p50", Percentile(r.roundTripUs, 50))
      .Add("p90", Percentile(r.roundTripUs, 90))
      .Add("p99", Percentile(r.roundTripUs, 99))
      .Add("max", Percentile(r.roundTripUs, 100))
      .Close();
  json.Add("idle_cpu_percent", Percentile(r.idleCpuPercent, 50))
      .Add("idle_cpu_percent_from_ticks", Percentile(r.idleCpuPercentTicks, 50))
      .Add("idle_cpu_ms_per_10s_eight_clients", Percentile(r.idleCpuMsBridged, 50))
      .Add("peak_resident_kib_one_channel", r.peakKb1)
      .Add("peak_resident_kib_eight_channels", r.peakKb8)
      .Add("bytes_checked", r.bytesChecked)
      .Close();
}

inline std::string CpuInfo(const std::string& key) {
  std::ifstream in("/proc/cpuinfo");
  std::string line;
  while (std::getline(in, line)) {
    if (line.compare(0, key.size(), key) == 0) {
      const size_t colon = line.find(':');
      return colon == std::string::npos ? "" : line.substr(colon + 2);
    }
  }
  return "";
}

// The machine the figures come from, with its load when the run began.
inline void AddMachine(Json& json, const std::string& loadAtStart) {
  utsname uts{};
  uname(&uts);
  json.Open("machine")
      .Add("nproc", static_cast<int>(std::thread::hardware_concurrency()))
      .Add("cpu", CpuInfo("model name"))
      .Add("kernel", std::string(uts.sysname) + " " + uts.release)
      .Add("load_average_at_start", loadAtStart)
      .Close();
}

inline std::string LoadAverage() {
  std::ifstream in("/proc/loadavg");
  std::string one, five, fifteen;
  in >> one >> five >> fifteen;
  return one + " " + five + " " + fifteen;
}

}  // namespace kov::bench
