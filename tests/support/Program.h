#pragma once
// Starts the real program in a working directory, its stderr kept in a file there, and stops it
// with a signal. For end-to-end tests.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/Descriptors.h"

namespace kov {

class Program {
 public:
  // env changes the program's environment: "NAME=value" sets a variable, "NAME" removes it.
  Program(const std::string& binary, const std::string& workdir, std::vector<std::string> args = {},
          const std::vector<std::string>& env = {})
      : workdir_(workdir) {
    pid_ = fork();
    if (pid_ == 0) {
      if (chdir(workdir.c_str()) != 0) _exit(126);
      for (const std::string& change : env) {
        size_t eq = change.find('=');
        if (eq == std::string::npos) {
          unsetenv(change.c_str());
        } else {
          setenv(change.substr(0, eq).c_str(), change.substr(eq + 1).c_str(), 1);
        }
      }
      int err = open("stderr.log", O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
      int out = open("stdout.log", O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
      int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
      dup2(err, 2);
      dup2(out, 1);
      dup2(in, 0);
      std::vector<char*> argv;
      argv.push_back(const_cast<char*>(binary.c_str()));
      for (auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      execv(binary.c_str(), argv.data());
      _exit(127);
    }
  }
  ~Program() {
    if (pid_ > 0 && !exited_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  Program(const Program&) = delete;
  Program& operator=(const Program&) = delete;

  pid_t Pid() const { return pid_; }
  void Signal(int signo) { kill(pid_, signo); }

  // Waits up to timeoutMs for the program to end; returns its exit status, or -1 on timeout,
  // or 128 + signal number when a signal ended it.
  int Wait(int timeoutMs = 10000) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (Running()) {
      if (std::chrono::steady_clock::now() >= end) return -1;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return status_;
  }

  bool Running() {
    if (exited_) return false;
    int st = 0;
    if (waitpid(pid_, &st, WNOHANG) != pid_) return true;
    exited_ = true;
    status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    return false;
  }

  std::string Stderr() const { return ReadFile(workdir_ + "/stderr.log"); }
  // How often the text stands in the program's log.
  size_t LogCount(const std::string& text) const {
    const std::string log = Stderr();
    size_t count = 0;
    for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) ++count;
    return count;
  }
  // The program's open descriptors and resident memory, for checks that nothing leaks.
  int Descriptors() const { return OpenDescriptors(pid_); }
  long ResidentKiB() const {
    std::ifstream in("/proc/" + std::to_string(pid_) + "/status");
    std::string line;
    while (std::getline(in, line)) {
      if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    }
    return -1;
  }
  std::string Stdout() const { return ReadFile(workdir_ + "/stdout.log"); }

  // Waits until the program's log holds the text (count times).
  bool WaitForLog(const std::string& text, int timeoutMs = 10000, size_t count = 1) const {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < end) {
      if (LogCount(text) >= count) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }

 private:
  static std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  std::string workdir_;
  pid_t pid_ = -1;
  bool exited_ = false;
  int status_ = -1;
};

inline std::string ProgramPath(const std::string& name) {
  return std::string(KOV_BINARY_DIR) + "/" + name;
}

}  // namespace kov
