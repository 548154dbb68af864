#include "net/OutputDrain.h"

#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

namespace kov {

namespace {

// The drains alive, newest last. The program has one loop per thread and one drain at a time;
// tests may run several loops.
std::vector<TOutputDrain*>& Drains() {
  static std::vector<TOutputDrain*> drains;
  return drains;
}

bool WouldBlock(int err) { return err == EAGAIN || err == EWOULDBLOCK || err == EINTR; }

}  // namespace

TOutputDrain::TOutputDrain(EventLoop& loop, int64_t deadlineMs)
    : loop_(loop), deadline_(loop, deadlineMs, [this] { FinishAll(); }) {
  deadline_.SetEnabled(true);
  Drains().push_back(this);
}

TOutputDrain::~TOutputDrain() {
  auto& drains = Drains();
  drains.erase(std::remove(drains.begin(), drains.end(), this), drains.end());
  FinishAll();
}

TOutputDrain* TOutputDrain::For(const EventLoop& loop) {
  auto& drains = Drains();
  for (auto it = drains.rbegin(); it != drains.rend(); ++it) {
    if (&(*it)->loop_ == &loop) return *it;
  }
  return nullptr;
}

void TOutputDrain::Adopt(int fd, TOutputQueue queue) {
  Connection connection;
  connection.fd = fd;
  connection.out = std::move(queue);
  if (!Send(connection) || !deadline_.Enabled()) {
    DropInput(fd);
    close(fd);
    return;
  }
  if (connection.out.Empty()) shutdown(fd, SHUT_WR);
  const uint64_t id = nextId_++;
  connection.watch = std::make_unique<FdWatch>(
      loop_, fd, [this, id](uint32_t events) { HandleEvents(id, events); });
  connection.watch->SetRead(true);
  connection.watch->SetWrite(!connection.out.Empty());
  connections_.emplace(id, std::move(connection));
}

void TOutputDrain::HandleEvents(uint64_t id, uint32_t events) {
  auto it = connections_.find(id);
  if (it == connections_.end()) return;
  Connection& connection = it->second;
  // An error, or a connection closed both ways: nothing more can be delivered.
  if (events & (EPOLLERR | EPOLLHUP)) return Finish(id);
  if ((events & (EPOLLIN | EPOLLRDHUP)) && !DropInput(connection.fd)) {
    connection.peerDone = true;
    // Readiness would stay on for good; only the writing is left, if any.
    connection.watch->SetRead(false);
  }
  if ((events & EPOLLOUT) && !connection.out.Empty()) {
    if (!Send(connection)) return Finish(id);
    if (connection.out.Empty()) {
      // The last byte is with the network: the peer sees the end of the stream after it.
      shutdown(connection.fd, SHUT_WR);
      connection.watch->SetWrite(false);
    }
  }
  if (connection.out.Empty() && connection.peerDone) Finish(id);
}

bool TOutputDrain::Send(Connection& connection) {
  while (!connection.out.Empty()) {
    const ssize_t n = send(connection.fd, connection.out.Data(), connection.out.Size(),
                           MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0) return WouldBlock(errno);
    connection.out.Consume(static_cast<size_t>(n));
  }
  return true;
}

bool TOutputDrain::DropInput(int fd) {
  char buffer[4096];
  // A bounded amount per turn: a peer that keeps sending cannot hold the loop here.
  for (int round = 0; round < 16; ++round) {
    const ssize_t n = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n <= 0) return n < 0 && WouldBlock(errno);
  }
  return true;
}

void TOutputDrain::Finish(uint64_t id) {
  auto it = connections_.find(id);
  if (it == connections_.end()) return;
  // The watch goes before its descriptor; this may be the watch's own event.
  const int fd = it->second.fd;
  DropInput(fd);
  connections_.erase(it);
  close(fd);
}

void TOutputDrain::FinishAll() {
  deadline_.SetEnabled(false);
  while (!connections_.empty()) Finish(connections_.begin()->first);
}

}  // namespace kov
