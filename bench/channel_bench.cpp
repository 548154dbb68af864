// One bridged channel over a pseudo-terminal, in process: throughput each way, round-trip
// latency through a device that echoes, and the loop's CPU time per megabyte.
//
// The channel runs on the event loop in the main thread over the termios serial layer. Two
// helper threads play the device (the pseudo-terminal's master side) and the TCP client with
// plain blocking calls, and check every byte. The CPU time reported is the loop thread's own.
//
//   channel_bench [megabytes per direction, default 64] [round trips, default 5000]
#include <pty.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "bridge/BridgeChanel.h"
#include "bridge/TermiosSerial.h"
#include "config/ConfigFile.h"
#include "event/EventLoop.h"
#include "event/Log.h"
#include "tests/support/TcpClient.h"

namespace {

using kov::EventLoop;

constexpr size_t kBlock = 65536;
constexpr size_t kRoundTripBytes = 32;

double WallSeconds() {
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

double ThreadCpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(stderr, "channel_bench: %s\n", what.c_str());
  std::exit(1);
}

// The byte at offset i of a stream; streams differ by seed.
inline char PatternByte(uint64_t i, uint32_t seed) {
  return static_cast<char>((i * 131u + (i >> 12) + seed) & 0xff);
}

void FillPattern(char* out, size_t n, uint64_t offset, uint32_t seed) {
  for (size_t k = 0; k < n; ++k) out[k] = PatternByte(offset + k, seed);
}

// Writes the stream of total bytes to fd with blocking writes.
void WriteStream(int fd, uint64_t total, uint32_t seed) {
  std::vector<char> block(kBlock);
  uint64_t done = 0;
  while (done < total) {
    size_t n = static_cast<size_t>(std::min<uint64_t>(kBlock, total - done));
    FillPattern(block.data(), n, done, seed);
    size_t off = 0;
    while (off < n) {
      ssize_t w = write(fd, block.data() + off, n - off);
      if (w <= 0) Fail(std::string("write: ") + std::strerror(errno));
      off += static_cast<size_t>(w);
    }
    done += n;
  }
}

// Reads total bytes from fd with blocking reads and checks each against the stream.
void ReadStream(int fd, uint64_t total, uint32_t seed) {
  std::vector<char> block(kBlock);
  uint64_t done = 0;
  while (done < total) {
    size_t want = static_cast<size_t>(std::min<uint64_t>(kBlock, total - done));
    ssize_t r = read(fd, block.data(), want);
    if (r <= 0) Fail(r == 0 ? "stream ended early" : std::string("read: ") + strerror(errno));
    for (ssize_t k = 0; k < r; ++k) {
      if (block[k] != PatternByte(done + k, seed)) {
        Fail("byte " + std::to_string(done + k) + " lost or changed");
      }
    }
    done += static_cast<uint64_t>(r);
  }
}

void ReadExactly(int fd, char* out, size_t n) {
  size_t off = 0;
  while (off < n) {
    ssize_t r = read(fd, out + off, n - off);
    if (r <= 0) Fail("read ended early");
    off += static_cast<size_t>(r);
  }
}

// Runs the loop on this thread until the work on the helper threads has finished; returns the
// wall time and the loop thread's CPU time it took.
struct Span {
  double seconds;
  double cpuSeconds;
};

Span RunWhile(EventLoop& loop, const std::vector<std::function<void()>>& work) {
  std::atomic<int> running{static_cast<int>(work.size())};
  const double wall = WallSeconds();
  const double cpu = ThreadCpuSeconds();
  std::vector<std::thread> threads;
  for (const auto& job : work) {
    threads.emplace_back([&running, job] {
      job();
      --running;
    });
  }
  while (running.load() > 0) loop.RunOnce(5);
  Span span{WallSeconds() - wall, ThreadCpuSeconds() - cpu};
  for (auto& t : threads) t.join();
  return span;
}

double Percentile(std::vector<double> values, double p) {
  std::sort(values.begin(), values.end());
  size_t i = static_cast<size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
  return values[std::min(i, values.size() - 1)];
}

}  // namespace

int main(int argc, char** argv) {
  const uint64_t megabytes = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 64;
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 5000;
  if (megabytes == 0 || rounds <= 0) Fail("usage: channel_bench [megabytes] [round trips]");
  const uint64_t total = megabytes * 1024 * 1024;
  kov::SetLogSink([](const std::string&) {});

  int master = -1;
  int slave = -1;
  char name[256];
  if (openpty(&master, &slave, name, nullptr, nullptr) != 0) Fail("openpty failed");

  EventLoop loop;
  loop.SetErrorHandler([](const std::string& text) { Fail("error box: " + text); });
  std::array<std::string, kov::kSioPortCount> paths;
  for (int i = 0; i < kov::kSioPortCount; ++i) paths[i] = "/nonexistent/tty" + std::to_string(i);
  paths[0] = name;
  kov::TermiosSerial serial(loop, paths);
  kov::TConfigFile config("/nonexistent/BridgeConfig.sys");
  kov::TBridgeChanel channel(loop, serial, config, 0);
  const int port = kov::FreeTcpPort();
  if (channel.Open(9, 0, port) < 0) Fail("the channel does not open");

  kov::TcpClient tcp(port);
  if (!tcp.Connected()) Fail("cannot connect");
  const int client = tcp.Fd();
  char notice[kov::kNoticeSize];
  RunWhile(loop, {[&] { ReadExactly(client, notice, sizeof notice); }});
  if (std::memcmp(notice, kov::kNoticeB01, sizeof notice) != 0) Fail("no take-on notice");

  // Serial to TCP, then TCP to serial, every byte checked on arrival.
  Span toTcp = RunWhile(
      loop, {[&] { WriteStream(master, total, 1); }, [&] { ReadStream(client, total, 1); }});
  Span toSerial = RunWhile(
      loop, {[&] { WriteStream(client, total, 2); }, [&] { ReadStream(master, total, 2); }});

  // Round trips: the client sends a few bytes, the device echoes them.
  std::vector<double> roundTrips;
  roundTrips.reserve(static_cast<size_t>(rounds));
  Span echo = RunWhile(
      loop, {[&] {
               std::array<char, kRoundTripBytes> buf{};
               for (int r = 0; r < rounds; ++r) {
                 ReadExactly(master, buf.data(), buf.size());
                 if (write(master, buf.data(), buf.size()) != static_cast<ssize_t>(buf.size())) {
                   Fail("echo write");
                 }
               }
             },
             [&] {
               std::array<char, kRoundTripBytes> out{};
               std::array<char, kRoundTripBytes> back{};
               for (int r = 0; r < rounds; ++r) {
                 FillPattern(out.data(), out.size(), static_cast<uint64_t>(r) * out.size(), 3);
                 const double start = WallSeconds();
                 if (write(client, out.data(), out.size()) != static_cast<ssize_t>(out.size())) {
                   Fail("client write");
                 }
                 ReadExactly(client, back.data(), back.size());
                 roundTrips.push_back((WallSeconds() - start) * 1e6);
                 if (out != back) Fail("echo changed the bytes");
               }
             }});

  const double mb = static_cast<double>(total) / (1024.0 * 1024.0);
  std::printf("channel_bench: one channel, pseudo-terminal <-> loopback TCP, %llu MiB each way\n",
              static_cast<unsigned long long>(megabytes));
  std::printf("  serial -> TCP   %8.1f MiB/s   loop CPU %.4f s/MiB\n", mb / toTcp.seconds,
              toTcp.cpuSeconds / mb);
  std::printf("  TCP -> serial   %8.1f MiB/s   loop CPU %.4f s/MiB\n", mb / toSerial.seconds,
              toSerial.cpuSeconds / mb);
  std::printf(
      "  round trip (%zu bytes, %d rounds): p50 %.0f us, p99 %.0f us, loop CPU %.1f us "
      "per round trip\n",
      kRoundTripBytes, rounds, Percentile(roundTrips, 0.50), Percentile(roundTrips, 0.99),
      echo.cpuSeconds * 1e6 / rounds);
  std::printf("  counters: CountTx %d, CountRx %d (running period)\n", channel.CountTx,
              channel.CountRx);

  tcp.Close();
  channel.Close();
  close(master);
  close(slave);
  return 0;
}
