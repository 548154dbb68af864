#pragma once
// Moves pattern bytes through the program under test and checks every one on arrival.
//
// A Flow writes its pattern into one descriptor (the device's master side, or a client's
// socket) and reads it back, checked, from another (the client's socket, or the master side).
// A Pump runs any number of flows at once on one thread with poll(), at full speed or at a
// set rate per flow, until each has sent and received its target, a check fails, or nothing
// moves for too long.
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "bench_pattern.h"
#include "bench_proc.h"

namespace kov::bench {

struct Flow {
  Flow(std::string flowName, int sourceFd, int sinkFd, uint64_t seed)
      : name(std::move(flowName)), source(sourceFd), sink(sinkFd), writer(seed), checker(seed) {}

  // Sends and expects `bytes` more.
  void Add(uint64_t bytes) {
    sendTarget += bytes;
    receiveTarget += bytes;
  }
  bool Sent() const { return writer.Position() >= sendTarget; }
  bool Received() const { return checker.Position() >= receiveTarget; }
  uint64_t InFlight() const { return writer.Position() - checker.Position(); }

  std::string name;
  int source;
  int sink;
  PatternWriter writer;
  PatternChecker checker;
  uint64_t sendTarget = 0;
  uint64_t receiveTarget = 0;
  uint64_t runStart = 0;  // writer position when the current run began (for the rate)
  // Bytes generated but not yet taken by the source descriptor: staged[begin, end).
  std::vector<char> staged;
  size_t begin = 0;
  size_t end = 0;
  std::string error;
};

struct PumpOptions {
  int stallMs = 20000;        // nothing moved for this long: failure
  double bytesPerSecond = 0;  // per flow; 0 for as fast as it goes
  size_t chunk = 64 * 1024;   // largest single write
  // Set: stop sending; the run ends once what was sent has arrived (targets are cut).
  const std::atomic<bool>* wrapUp = nullptr;
  // Not 0: the run ends at this time (NowNs), successful or not, with error "deadline".
  int64_t deadlineNs = 0;
};

class Pump {
 public:
  // True when every flow has sent and received its target; otherwise error says why.
  bool Run(const std::vector<Flow*>& flows, const PumpOptions& options, std::string& error) {
    const int64_t start = NowNs();
    int64_t lastProgress = start;
    for (Flow* f : flows) f->runStart = f->writer.Position();
    readBuffer_.resize(256 * 1024);
    for (;;) {
      std::vector<pollfd> fds;
      std::vector<std::pair<Flow*, bool>> owners;  // flow, and whether the entry is its source
      int64_t wait = 100;
      const int64_t now = NowNs();
      for (Flow* f : flows) {
        if (!f->error.empty()) {
          error = f->name + ": " + f->error;
          return false;
        }
        if (!f->Sent()) {
          if (Allowance(*f, start, now, options, wait) > 0) {
            fds.push_back({f->source, POLLOUT, 0});
            owners.emplace_back(f, true);
          }
        }
        if (!f->Received()) {
          fds.push_back({f->sink, POLLIN, 0});
          owners.emplace_back(f, false);
        }
      }
      bool done = true;
      for (Flow* f : flows) done = done && f->Sent() && f->Received();
      if (done) return true;
      if (options.wrapUp && options.wrapUp->load()) {
        for (Flow* f : flows) f->sendTarget = f->receiveTarget = f->writer.Position();
      }
      if (options.deadlineNs != 0 && NowNs() >= options.deadlineNs) {
        error = "deadline";
        return false;
      }
      if (NowNs() - lastProgress > int64_t{options.stallMs} * 1000000) {
        error = "no progress for " + std::to_string(options.stallMs) + " ms:";
        for (Flow* f : flows) {
          error += " " + f->name + " sent " + std::to_string(f->writer.Position()) + "/" +
                   std::to_string(f->sendTarget) + " received " +
                   std::to_string(f->checker.Position()) + ";";
        }
        return false;
      }
      const int rc = poll(fds.data(), fds.size(), static_cast<int>(std::max<int64_t>(wait, 1)));
      if (rc < 0 && errno != EINTR) {
        error = std::string("poll: ") + std::strerror(errno);
        return false;
      }
      for (size_t i = 0; rc > 0 && i < fds.size(); ++i) {
        if (fds[i].revents == 0) continue;
        Flow& f = *owners[i].first;
        int64_t unused = 0;
        const bool moved = owners[i].second
                               ? Send(f, Allowance(f, start, NowNs(), options, unused), options)
                               : Receive(f);
        if (moved) lastProgress = NowNs();
      }
    }
  }

 private:
  // Bytes the flow may write now; with a rate set, also shortens wait to the next allowance.
  static int64_t Allowance(const Flow& f, int64_t start, int64_t now, const PumpOptions& options,
                           int64_t& wait) {
    const int64_t left = static_cast<int64_t>(f.sendTarget - f.writer.Position());
    if (options.bytesPerSecond <= 0) return left;
    const double elapsed = static_cast<double>(now - start) / 1e9;
    const int64_t due = static_cast<int64_t>(elapsed * options.bytesPerSecond) + 4096 -
                        static_cast<int64_t>(f.writer.Position() - f.runStart);
    if (due <= 0) {
      const int64_t ms =
          static_cast<int64_t>(static_cast<double>(-due + 1) * 1000.0 / options.bytesPerSecond);
      wait = std::min(wait, ms + 1);
      return 0;
    }
    return std::min(left, due);
  }

  static bool Send(Flow& f, int64_t allowance, const PumpOptions& options) {
    if (allowance <= 0) return false;
    if (f.begin == f.end) {
      const size_t n = static_cast<size_t>(std::min<int64_t>(allowance, options.chunk));
      f.staged.resize(std::max(f.staged.size(), options.chunk));
      f.writer.Peek(f.staged.data(), n);
      f.begin = 0;
      f.end = n;
    }
    const size_t n = std::min<size_t>(f.end - f.begin, static_cast<size_t>(allowance));
    const ssize_t w = write(f.source, f.staged.data() + f.begin, n);
    if (w > 0) {
      f.begin += static_cast<size_t>(w);
      f.writer.Advance(static_cast<size_t>(w));
      return true;
    }
    if (w < 0 && errno != EAGAIN && errno != EINTR) {
      f.error = std::string("write: ") + std::strerror(errno);
    }
    return false;
  }

  bool Receive(Flow& f) {
    const ssize_t r = read(f.sink, readBuffer_.data(), readBuffer_.size());
    if (r > 0) {
      const uint64_t room = f.receiveTarget - f.checker.Position();
      if (static_cast<uint64_t>(r) > room) {
        f.error = std::to_string(static_cast<uint64_t>(r) - room) + " bytes more than were sent";
      } else if (!f.checker.Check(readBuffer_.data(), static_cast<size_t>(r))) {
        f.error = "content: " + f.checker.Error();
      }
      return true;
    }
    if (r == 0) {
      f.error = "closed by the other side after " + std::to_string(f.checker.Position()) + " bytes";
    } else if (errno != EAGAIN && errno != EINTR) {
      f.error = std::string("read: ") + std::strerror(errno);
    }
    return false;
  }

  std::vector<char> readBuffer_;
};

}  // namespace kov::bench
