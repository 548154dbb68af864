#pragma once
// A process's open descriptors, from /proc/PID/fd: for tests that check nothing leaks.
#include <dirent.h>
#include <unistd.h>

#include <string>

namespace kov {

// The open descriptors of the process pid (0: this one); with a target, only those open on that
// path (a device, a file).
inline int OpenDescriptors(pid_t pid = 0, const std::string& target = std::string()) {
  const std::string dir =
      pid == 0 ? std::string("/proc/self/fd") : "/proc/" + std::to_string(pid) + "/fd";
  int count = 0;
  DIR* listing = opendir(dir.c_str());
  if (!listing) return -1;
  while (dirent* entry = readdir(listing)) {
    if (entry->d_name[0] == '.') continue;
    if (!target.empty()) {
      char link[4096];
      ssize_t n = readlink((dir + "/" + entry->d_name).c_str(), link, sizeof link - 1);
      if (n <= 0 || std::string(link, static_cast<size_t>(n)) != target) continue;
    }
    ++count;
  }
  closedir(listing);
  // This process's own listing holds one descriptor for the directory itself.
  return pid == 0 && target.empty() ? count - 1 : count;
}

inline int OpenDescriptorsOf(const std::string& target) { return OpenDescriptors(0, target); }

}  // namespace kov
