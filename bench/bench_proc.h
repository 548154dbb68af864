#pragma once
// The process under test: starting it in its working directory, ending it, and what /proc
// tells about it (CPU time, resident memory, descriptors, listening ports).
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace kov::bench {

inline int64_t NowNs() {
  using namespace std::chrono;
  return duration_cast<nanoseconds>(steady_clock::now().time_since_epoch()).count();
}

inline double NowSeconds() { return static_cast<double>(NowNs()) / 1e9; }

inline void SleepMs(int64_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

inline std::string ReadText(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// Starts argv[0] (looked up in PATH) in cwd with stdout and stderr appended to logPath and
// stdin from /dev/null. Returns the pid, or -1.
inline pid_t Spawn(const std::vector<std::string>& argv, const std::string& cwd,
                   const std::string& logPath) {
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const pid_t pid = fork();
  if (pid != 0) return pid;
  // Only async-signal-safe calls from here on: the parent may have threads.
  if (chdir(cwd.c_str()) != 0) _exit(126);
  const int log = open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  const int null = open("/dev/null", O_RDONLY);
  if (log < 0 || null < 0) _exit(126);
  dup2(null, 0);
  dup2(log, 1);
  dup2(log, 2);
  signal(SIGPIPE, SIG_DFL);
  execvp(args[0], args.data());
  _exit(127);
}

// Asks the process to end (SIGTERM), waits up to timeoutMs, then kills it. Returns the wait
// status, or -1 when it had to be killed.
inline int Stop(pid_t pid, int timeoutMs = 5000) {
  if (pid <= 0) return -1;
  kill(pid, SIGTERM);
  int status = 0;
  for (int waited = 0; waited < timeoutMs; waited += 10) {
    if (waitpid(pid, &status, WNOHANG) == pid) return status;
    SleepMs(10);
  }
  kill(pid, SIGKILL);
  waitpid(pid, &status, 0);
  return -1;
}

// True while the process runs (a zombie, ended but not yet waited for, does not count).
inline bool Running(pid_t pid) {
  const std::string stat = ReadText("/proc/" + std::to_string(pid) + "/stat");
  const size_t close = stat.rfind(')');
  return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] != 'Z';
}

// utime + stime of the whole process in milliseconds (all threads, 10 ms steps).
inline double CpuMs(pid_t pid) {
  const std::string stat = ReadText("/proc/" + std::to_string(pid) + "/stat");
  const size_t close = stat.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream fields(stat.substr(close + 2));
  std::string field;
  uint64_t utime = 0;
  uint64_t stime = 0;
  // Fields after the name: state is field 3; utime and stime are fields 14 and 15.
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i == 14) utime = std::stoull(field);
    if (i == 15) stime = std::stoull(field);
  }
  return static_cast<double>(utime + stime) * 1000.0 / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// Time on the CPU of all threads in milliseconds, from the scheduler (nanosecond steps).
inline double CpuMsFine(pid_t pid) {
  const std::string dir = "/proc/" + std::to_string(pid) + "/task";
  double total = 0;
  if (DIR* tasks = opendir(dir.c_str())) {
    while (dirent* entry = readdir(tasks)) {
      if (entry->d_name[0] == '.') continue;
      std::istringstream in(ReadText(dir + "/" + entry->d_name + "/schedstat"));
      uint64_t ns = 0;
      if (in >> ns) total += static_cast<double>(ns) / 1e6;
    }
    closedir(tasks);
  }
  return total;
}

// A "Vm...:" figure of /proc/PID/status in KiB (VmHWM: peak resident, VmRSS: resident now).
inline int64_t StatusKb(pid_t pid, const std::string& key) {
  std::istringstream in(ReadText("/proc/" + std::to_string(pid) + "/status"));
  std::string line;
  while (std::getline(in, line)) {
    if (line.compare(0, key.size(), key) == 0) return std::stoll(line.substr(key.size()));
  }
  return -1;
}

// Open descriptors of the process, and the targets they point to.
inline std::vector<std::string> FdTargets(pid_t pid) {
  std::vector<std::string> targets;
  const std::string dir = "/proc/" + std::to_string(pid) + "/fd";
  if (DIR* fds = opendir(dir.c_str())) {
    while (dirent* entry = readdir(fds)) {
      if (entry->d_name[0] == '.') continue;
      char target[512];
      const ssize_t n = readlink((dir + "/" + entry->d_name).c_str(), target, sizeof target - 1);
      targets.emplace_back(target, n > 0 ? static_cast<size_t>(n) : 0);
    }
    closedir(fds);
  }
  return targets;
}

inline bool HoldsPath(pid_t pid, const std::string& path) {
  for (const std::string& target : FdTargets(pid)) {
    if (target == path) return true;
  }
  return false;
}

// True when some socket listens on the TCP port (IPv4 or IPv6, any address).
inline bool PortListening(int port) {
  char wanted[8];
  std::snprintf(wanted, sizeof wanted, ":%04X", port);
  for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
    std::istringstream in(ReadText(table));
    std::string line;
    std::getline(in, line);  // heading
    while (std::getline(in, line)) {
      std::istringstream fields(line);
      std::string slot, local, remote, state;
      fields >> slot >> local >> remote >> state;
      if (state == "0A" && local.size() > 5 && local.compare(local.size() - 5, 5, wanted) == 0) {
        return true;
      }
    }
  }
  return false;
}

inline bool WaitListening(const std::vector<int>& ports, int timeoutMs) {
  for (int waited = 0;; waited += 20) {
    bool all = true;
    for (int port : ports) all = all && PortListening(port);
    if (all) return true;
    if (waited >= timeoutMs) return false;
    SleepMs(20);
  }
}

}  // namespace kov::bench
