#pragma once
// Moves pattern bytes through the program under test and checks every one on arrival.
//
// A Flow writes its pattern into one descriptor (the device's master side, or a client's
// socket) and reads it back, checked, from another (the client's socket, or the master side).
// A Pump runs any number of flows at once on one thread with poll(), at full speed or at a
// set rate per flow, until each has sent and received its target, a check fails, or nothing
// moves for too long.
//
// A flow whose source is a Telnet connection doubles each byte 255 it writes there; one whose
// sink is a Telnet connection reads Telnet there: 255 undoubled, negotiations and
// subnegotiations dropped, and only the data checked.
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
  bool Sent() const { return writer.Position() >= sendTarget && begin == end; }
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
  bool escapeSource = false;  // the source is a Telnet connection
  bool decodeSink = false;    // the sink is a Telnet connection
  int telnetState = 0;        // where the sink's Telnet stream is (TelnetData below)
};

// Reads Telnet from in[0, n) into out (data only); returns the count of data bytes.
inline size_t TelnetData(Flow& f, const char* in, size_t n, char* out) {
  enum { kData, kIac, kVerb, kSub, kSubIac };
  size_t k = 0;
  for (size_t i = 0; i < n; ++i) {
    const uint8_t b = static_cast<uint8_t>(in[i]);
    switch (f.telnetState) {
      case kData: {
        if (b == 255) {
          f.telnetState = kIac;
          break;
        }
        // A run of data up to the next 255 is copied whole, so the client's decoding costs
        // about what a plain client's copy does and the figures stay the program's.
        const void* iac = std::memchr(in + i, 255, n - i);
        const size_t run =
            iac ? static_cast<size_t>(static_cast<const char*>(iac) - (in + i)) : n - i;
        std::memcpy(out + k, in + i, run);
        k += run;
        i += run - 1;
        break;
      }
      case kIac:
        if (b == 255) {
          out[k++] = static_cast<char>(b);
          f.telnetState = kData;
        } else {
          f.telnetState = b >= 251 ? kVerb : b == 250 ? kSub : kData;
        }
        break;
      case kVerb:
        f.telnetState = kData;
        break;
      case kSub:
        if (b == 255) f.telnetState = kSubIac;
        break;
      default:
        f.telnetState = b == 240 ? kData : kSub;
        break;
    }
  }
  return k;
}

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
          if (f->begin != f->end || Allowance(*f, start, now, options, wait) > 0) {
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
    if (f.begin == f.end) {
      if (allowance <= 0) return false;
      const size_t n = static_cast<size_t>(std::min<int64_t>(allowance, options.chunk));
      f.staged.resize(std::max(f.staged.size(), 2 * options.chunk));
      f.begin = 0;
      if (f.escapeSource) {
        // The pattern counts as sent once staged; its wire form, 255 doubled, goes out as it can.
        std::vector<char> plain(n);
        f.writer.Peek(plain.data(), n);
        f.writer.Advance(n);
        size_t k = 0;
        for (const char *p = plain.data(), *end = p + n; p < end;) {
          const void* iac = std::memchr(p, 255, static_cast<size_t>(end - p));
          const char* stop = iac ? static_cast<const char*>(iac) + 1 : end;
          std::memcpy(f.staged.data() + k, p, static_cast<size_t>(stop - p));
          k += static_cast<size_t>(stop - p);
          if (iac) f.staged[k++] = static_cast<char>(255);
          p = stop;
        }
        f.end = k;
      } else {
        f.writer.Peek(f.staged.data(), n);
        f.end = n;
      }
    }
    const size_t n = f.escapeSource
                         ? f.end - f.begin
                         : std::min<size_t>(f.end - f.begin,
                                            static_cast<size_t>(std::max<int64_t>(allowance, 0)));
    if (n == 0) return false;
    const ssize_t w = write(f.source, f.staged.data() + f.begin, n);
    if (w > 0) {
      f.begin += static_cast<size_t>(w);
      if (!f.escapeSource) f.writer.Advance(static_cast<size_t>(w));
      return true;
    }
    if (w < 0 && errno != EAGAIN && errno != EINTR) {
      f.error = std::string("write: ") + std::strerror(errno);
    }
    return false;
  }

  bool Receive(Flow& f) {
    ssize_t r = read(f.sink, readBuffer_.data(), readBuffer_.size());
    if (r > 0 && f.decodeSink) {
      r = static_cast<ssize_t>(TelnetData(f, readBuffer_.data(), static_cast<size_t>(r),
                                          readBuffer_.data()));
      if (r == 0) return true;  // only Telnet
    }
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
