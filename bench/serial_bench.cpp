// Throughput of the termios serial layer over a pseudo-terminal, each way.
//
// A child process plays the device on the master side with plain blocking reads and writes, so
// the CPU time measured in this process is the layer's own (and the loop's). Usage:
//   serial_bench [megabytes per direction, default 64]
#include <pty.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "bridge/SerialLease.h"
#include "bridge/TermiosSerial.h"
#include "event/EventLoop.h"
#include "event/Log.h"

namespace {

double CpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
         (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double WallSeconds() {
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

// The device: sends total bytes, then reads total bytes, then ends.
[[noreturn]] void PlayDevice(int master, size_t total) {
  std::vector<char> block(65536);
  for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>(i * 7);
  for (size_t sent = 0; sent < total;) {
    ssize_t n = write(master, block.data(), std::min(block.size(), total - sent));
    if (n <= 0) _exit(2);
    sent += static_cast<size_t>(n);
  }
  for (size_t got = 0; got < total;) {
    ssize_t n = read(master, block.data(), block.size());
    if (n <= 0) _exit(3);
    got += static_cast<size_t>(n);
  }
  _exit(0);
}

void Report(const char* direction, size_t total, double wall, double cpu) {
  double mb = static_cast<double>(total) / (1024.0 * 1024.0);
  std::printf("%-14s %6.0f MB  %7.3f s  %8.1f MB/s  %.5f CPU s/MB\n", direction, mb, wall,
              mb / wall, cpu / mb);
}

}  // namespace

int main(int argc, char** argv) {
  size_t megabytes = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 64;
  const size_t total = megabytes * 1024 * 1024;
  kov::SetLogSink([](const std::string&) {});

  int master = -1;
  int slave = -1;
  char name[256];
  if (openpty(&master, &slave, name, nullptr, nullptr) != 0) {
    std::perror("openpty");
    return 1;
  }
  kov::EventLoop loop;
  std::array<std::string, kov::kSioPortCount> paths;
  paths[0] = name;
  kov::TermiosSerial serial(loop, paths);
  // The port's events go to these, as they would to a bridge holding it.
  std::function<void()> onRxData;
  std::function<void()> onTxRoom;
  std::unique_ptr<kov::SerialLease> port =
      serial.Lease(0, {[&] { onRxData(); }, [&] { onTxRoom(); }, nullptr});
  // Raw mode is set before the device starts talking.
  kov::LineSetting line;
  line.rate = 115200;
  if (port->Open({65000, 65000, line}) != 0) {
    std::fprintf(stderr, "cannot open %s\n", name);
    return 1;
  }
  close(slave);

  double wall = WallSeconds();
  double cpu = CpuSeconds();
  pid_t child = fork();
  if (child == 0) PlayDevice(master, total);
  close(master);

  // Device to port: taken as it comes, in the blocks the channels use.
  size_t received = 0;
  std::vector<char> block(64999);
  onRxData = [&] {
    int32_t n;
    while ((n = port->SioGets(block.data(), 64999)) > 0) received += n;
  };
  loop.RunUntil([&] { return received >= total; }, 600000);
  Report("device->port", received, WallSeconds() - wall, CpuSeconds() - cpu);

  // Port to device: offered as fast as the transmit ring takes it.
  wall = WallSeconds();
  cpu = CpuSeconds();
  size_t put = 0;
  auto putMore = [&] {
    while (put < total) {
      int32_t asked = static_cast<int32_t>(std::min<size_t>(64999, total - put));
      int32_t n = port->SioPuts(block.data(), asked);
      if (n < 0) break;
      put += static_cast<size_t>(n);
      if (n < asked) {
        port->WantTxRoom();
        break;
      }
    }
  };
  onRxData = [] {};
  onTxRoom = putMore;
  putMore();
  loop.RunUntil([&] { return put >= total && port->SioTxFree() == 65000; }, 600000);
  int status = 0;
  waitpid(child, &status, 0);
  Report("port->device", put, WallSeconds() - wall, CpuSeconds() - cpu);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || received < total) {
    std::fprintf(stderr, "the device side did not finish cleanly\n");
    return 1;
  }
  return 0;
}
