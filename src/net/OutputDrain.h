#pragma once
// Lets connections that close with bytes still queued deliver them first. While a drain lives,
// every connection of its loop that closes (CloseNamed, a server stopping, an owner going away)
// hands its socket and its queued output over instead of offering the bytes once and dropping
// what the network did not take: the drain writes them out as the peer takes them, then ends
// its side of the connection and waits for the peer to end its own before closing the socket.
// Input that arrives meanwhile is read and dropped: a socket closed with unread input would
// reset the connection, and a reset throws away whatever is still on its way to the peer. What
// is left at the deadline, or when the drain goes away, is dropped and its socket closed.
// Nothing waits: the drain does its work in the loop's turns.
//
//   TOutputDrain drain(loop, 1000);  // from here on, closes deliver what they queued
//   bridges.reset();                 // the clients are let go with their last bytes
//   loop.RunUntil([&] { return drain.Idle(); }, 1000);
#include <cstdint>
#include <map>
#include <memory>

#include "event/EventLoop.h"
#include "net/OutputQueue.h"

namespace kov {

class TOutputDrain {
 public:
  // Takes the closes of the loop's connections from now on, for deadlineMs at most.
  TOutputDrain(EventLoop& loop, int64_t deadlineMs);
  // Closes the sockets still held; later closes drop their queued bytes again.
  ~TOutputDrain();
  TOutputDrain(const TOutputDrain&) = delete;
  TOutputDrain& operator=(const TOutputDrain&) = delete;

  // Nothing is left to deliver.
  bool Idle() const { return connections_.empty(); }

  // The drain that takes the closes of the loop's connections now; nullptr when there is none.
  static TOutputDrain* For(const EventLoop& loop);
  // Takes over a connected socket and the bytes queued for it; the drain closes it when done.
  // Idle() stays false until the peer has taken the bytes and ended its side too.
  void Adopt(int fd, TOutputQueue queue);

 private:
  struct Connection {
    int fd = -1;
    TOutputQueue out;
    bool peerDone = false;  // the peer has ended its side: nothing more to read
    std::unique_ptr<FdWatch> watch;
  };

  void HandleEvents(uint64_t id, uint32_t events);
  // Sends what the network takes now; false when the connection failed.
  static bool Send(Connection& connection);
  // Reads and drops some of the input waiting now; false once the peer has ended its side (or
  // the connection failed).
  static bool DropInput(int fd);
  void Finish(uint64_t id);
  void FinishAll();

  EventLoop& loop_;
  Timer deadline_;
  uint64_t nextId_ = 1;
  std::map<uint64_t, Connection> connections_;
};

}  // namespace kov
