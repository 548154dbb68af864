#pragma once
// One program per working directory. The claim is a listening Unix socket in the abstract
// namespace, named after the directory's device and inode: it adds no file to the directory, the
// kernel releases it when the program ends however it ends, and a second program that connects to
// it learns the holder's process id from the socket's peer credentials.
//
//   EventLoop loop;
//   DirectoryClaim claim(loop, ".");
//   if (!claim.Held()) { puts(claim.Refusal().c_str()); return 1; }
//
// While held, the loop accepts and drops the connections of programs that asked who holds it, so
// they never fill the socket's queue. Abstract sockets belong to a network namespace: programs in
// different namespaces do not see each other's claims.
#include <sys/types.h>

#include <memory>
#include <string>

#include "event/EventLoop.h"

namespace kov {

class DirectoryClaim {
 public:
  // Claims dir at once (a few milliseconds at most, before the loop runs). The loop outlives the
  // claim.
  DirectoryClaim(EventLoop& loop, const std::string& dir);
  ~DirectoryClaim();
  DirectoryClaim(const DirectoryClaim&) = delete;
  DirectoryClaim& operator=(const DirectoryClaim&) = delete;

  bool Held() const { return fd_ >= 0; }
  // The directory's absolute path, as named in messages.
  const std::string& Directory() const { return directory_; }
  // When not held: the process id of the program holding the directory, 0 when it could not be
  // told (another pid namespace, or the claim could not be made at all).
  pid_t Holder() const { return holder_; }
  // When not held: one line saying why, naming the directory and the holder.
  const std::string& Refusal() const { return refusal_; }

  // The abstract socket name (without its leading zero byte) for a directory's device and inode.
  static std::string SocketName(dev_t device, ino_t inode);

 private:
  enum class Attempt { Claimed, Taken, Failed };
  Attempt TryBind(const std::string& name);
  Attempt AskHolder(const std::string& name);
  void DropCallers();

  std::string directory_;
  int fd_ = -1;
  pid_t holder_ = 0;
  std::string refusal_;
  std::unique_ptr<FdWatch> watch_;
};

}  // namespace kov
