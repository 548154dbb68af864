#include "config/FileIo.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>

namespace kov {

namespace {

// Closes a descriptor on every way out of a scope.
class FdGuard {
 public:
  explicit FdGuard(int fd) : fd_(fd) {}
  FdGuard(const FdGuard&) = delete;
  FdGuard& operator=(const FdGuard&) = delete;
  ~FdGuard() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }
  // Closes now and reports whether the close succeeded (a late write error shows up here).
  bool Close() {
    const int fd = fd_;
    fd_ = -1;
    return ::close(fd) == 0;
  }

 private:
  int fd_;
};

bool WriteAll(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) {
      errno = EIO;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

std::string DirectoryOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// Makes the rename itself durable. Best effort: the new file is complete either way.
void SyncDirectory(const std::string& dir) {
  const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

}  // namespace

bool ReadFileChunks(const std::string& path, const ChunkConsumer& consume) {
  // O_NONBLOCK keeps the open itself from waiting on a pipe or a device of that name.
  FdGuard fd(::open(path.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  if (fd.get() < 0) return false;
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0) return false;
  if (!S_ISREG(info.st_mode)) {
    errno = S_ISDIR(info.st_mode) ? EISDIR : EINVAL;
    return false;
  }
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0 || !consume(buffer, static_cast<size_t>(n))) return true;
  }
}

std::string ReplaceTarget(const std::string& path) {
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return path;
  char resolved[PATH_MAX];
  if (::realpath(path.c_str(), resolved) == nullptr) return path;
  return resolved;
}

ProbeResult ProbeReadWrite(const std::string& path, struct stat& info) {
  if (::stat(path.c_str(), &info) != 0) {
    return errno == ENOENT ? ProbeResult::kMissing : ProbeResult::kRefused;
  }
  FdGuard fd(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  if (fd.get() < 0) return ProbeResult::kRefused;
  if (::fstat(fd.get(), &info) != 0) return ProbeResult::kRefused;
  if (!S_ISREG(info.st_mode)) {
    errno = EINVAL;
    return ProbeResult::kRefused;
  }
  return ProbeResult::kWritable;
}

bool ReplaceFile(const std::string& path, const std::string& bytes, const struct stat* existing) {
  const std::string temp = path + ".tmp";
  // A temporary file left by an interrupted save is cleared. Anything else of that name (a
  // directory, say) stays, and the exclusive create below fails on it.
  struct stat old {};
  if (::lstat(temp.c_str(), &old) == 0 && !S_ISDIR(old.st_mode)) ::unlink(temp.c_str());

  FdGuard fd(::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOCTTY | O_CLOEXEC, 0600));
  if (fd.get() < 0) return false;
  bool ok = true;
  if (existing != nullptr) {
    // Owner first: changing it clears set-id bits that the mode below restores.
    if (existing->st_uid != ::geteuid() || existing->st_gid != ::getegid()) {
      // Only a privileged process may hand the file back to its owner; without that right the
      // new file belongs to us, which is no reason to refuse the save.
      if (::fchown(fd.get(), existing->st_uid, existing->st_gid) != 0) errno = 0;
    }
    // The file may hold a password: whatever the old mode allowed others, the new one does not.
    ok = ::fchmod(fd.get(), existing->st_mode & 07770) == 0;
  }
  ok = ok && WriteAll(fd.get(), bytes) && ::fsync(fd.get()) == 0;
  ok = fd.Close() && ok;
  ok = ok && ::rename(temp.c_str(), path.c_str()) == 0;
  if (!ok) {
    const int saved = errno;
    ::unlink(temp.c_str());
    errno = saved;
    return false;
  }
  SyncDirectory(DirectoryOf(path));
  return true;
}

}  // namespace kov
