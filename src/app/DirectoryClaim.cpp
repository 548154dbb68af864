#include "app/DirectoryClaim.h"

#include <errno.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>

namespace kov {
namespace {

// How often a claim is tried again when the holder is seen starting or ending (between its
// bind and its listen, or just gone), 2 ms apart.
constexpr int kAttempts = 50;

sockaddr_un AbstractAddress(const std::string& name, socklen_t& length) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  // sun_path[0] stays 0: the abstract namespace. The name is not zero-terminated.
  size_t n = std::min(name.size(), sizeof addr.sun_path - 1);
  memcpy(addr.sun_path + 1, name.data(), n);
  length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + n);
  return addr;
}

std::string AbsolutePath(const std::string& dir) {
  char resolved[PATH_MAX];
  if (realpath(dir.c_str(), resolved) != nullptr) return resolved;
  return dir;
}

}  // namespace

std::string DirectoryClaim::SocketName(dev_t device, ino_t inode) {
  char name[80];
  std::snprintf(name, sizeof name, "kovbridge/workdir/%llx:%llx",
                static_cast<unsigned long long>(device), static_cast<unsigned long long>(inode));
  return name;
}

DirectoryClaim::DirectoryClaim(EventLoop& loop, const std::string& dir)
    : directory_(AbsolutePath(dir)) {
  struct stat st {};
  if (stat(dir.c_str(), &st) != 0) {
    refusal_ = "cannot claim the working directory " + directory_ + ": " + strerror(errno);
    return;
  }
  const std::string name = SocketName(st.st_dev, st.st_ino);
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    if (attempt > 0) usleep(2000);
    Attempt bound = TryBind(name);
    if (bound == Attempt::Failed) return;
    if (bound == Attempt::Claimed) {
      watch_ = std::make_unique<FdWatch>(loop, fd_, [this](uint32_t) { DropCallers(); });
      watch_->SetRead(true);
      return;
    }
    if (AskHolder(name) == Attempt::Taken) {
      refusal_ = "the working directory " + directory_ + " is held by another KOV Bridge program";
      if (holder_ > 0) refusal_ += " (process " + std::to_string(holder_) + ")";
      refusal_ += "; one program per working directory";
      return;
    }
    // The holder is starting or has just ended: try again.
  }
  refusal_ = "the working directory " + directory_ +
             " is held by another KOV Bridge program that does not answer";
}

DirectoryClaim::~DirectoryClaim() {
  watch_.reset();
  if (fd_ >= 0) close(fd_);
}

DirectoryClaim::Attempt DirectoryClaim::TryBind(const std::string& name) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    refusal_ = "cannot claim the working directory " + directory_ + ": socket: " + strerror(errno);
    return Attempt::Failed;
  }
  socklen_t length = 0;
  sockaddr_un addr = AbstractAddress(name, length);
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), length) != 0) {
    int err = errno;
    close(fd);
    if (err == EADDRINUSE) return Attempt::Taken;
    refusal_ = "cannot claim the working directory " + directory_ + ": bind: " + strerror(err);
    return Attempt::Failed;
  }
  if (listen(fd, 16) != 0) {
    refusal_ = "cannot claim the working directory " + directory_ + ": listen: " + strerror(errno);
    close(fd);
    return Attempt::Failed;
  }
  fd_ = fd;
  return Attempt::Claimed;
}

// Connects to the holder's socket to learn its process id. Claimed here means "try again": no
// one listens on the name (the holder is between bind and listen, or gone).
DirectoryClaim::Attempt DirectoryClaim::AskHolder(const std::string& name) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return Attempt::Taken;
  socklen_t length = 0;
  sockaddr_un addr = AbstractAddress(name, length);
  Attempt result = Attempt::Taken;
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), length) == 0) {
    ucred cred{};
    socklen_t credLength = sizeof cred;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &credLength) == 0) holder_ = cred.pid;
  } else if (errno == ECONNREFUSED || errno == ENOENT) {
    result = Attempt::Claimed;
  }
  close(fd);
  return result;
}

void DirectoryClaim::DropCallers() {
  for (;;) {
    int caller = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (caller < 0) return;
    close(caller);
  }
}

}  // namespace kov
