#pragma once
// What the remote-control session tests share: a line with the limits of a plain UART driver,
// a session wired to it that records what goes to the client and to the device, and the ways to
// cut a byte stream into reads.
#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "bridge/Rfc2217Line.h"
#include "bridge/Rfc2217Session.h"

namespace kov {

// Takes the usual rates only, 7 or 8 data bits, no mark or space parity, no 1.5 stop bits, and
// leaves RTS to the hardware under RTS/CTS flow control. Describe() shows what it holds.
class FakeRfc2217Line : public TRfc2217Line {
 public:
  TSetting setting{9600, 8, TParity::eNone, TStopBits::eOne, TFlow::eNone};
  bool signals[3] = {true, true, false};  // DTR, RTS, BREAK
  std::string purged;
  std::optional<TModemLines> modem;
  std::function<void()> onApply;

  TSetting Setting() override { return setting; }
  TSetting Apply(const TSetting& wanted) override {
    if (onApply) onApply();
    static const uint32_t kRates[] = {300, 1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200};
    bool rateOk = false;
    for (uint32_t rate : kRates) rateOk |= rate == wanted.rate;
    if (rateOk && wanted.dataBits >= 7 && wanted.parity <= TParity::eEven &&
        wanted.stopBits != TStopBits::eOneAndHalf) {
      setting = wanted;
    }
    return setting;
  }
  bool Signal(TSignal signal) override { return signals[int(signal)]; }
  bool SetSignal(TSignal signal, bool on) override {
    if (!(signal == TSignal::eRts && setting.flow == TFlow::eRtsCts)) signals[int(signal)] = on;
    return signals[int(signal)];
  }
  void Purge(bool received, bool transmit) override {
    purged += std::string(received ? " rx" : "") + (transmit ? " tx" : "");
  }
  std::optional<TModemLines> ModemLines() override { return modem; }

  // E.g. "9600 8N1 none dtr rts", then "break" and what was purged.
  std::string Describe() const {
    static const char* kFlows[] = {"none", "xonxoff", "rtscts"};
    static const char* kStops[] = {"1", "2", "1.5"};
    return std::to_string(setting.rate) + " " + std::to_string(setting.dataBits) +
           "NOEMS"[int(setting.parity)] + kStops[int(setting.stopBits)] + " " +
           kFlows[int(setting.flow)] + (signals[0] ? " dtr" : "") + (signals[1] ? " rts" : "") +
           (signals[2] ? " break" : "") + purged;
  }
};

// A session on a fake line, started, with what it sends to each side collected.
struct Rfc2217Harness {
  FakeRfc2217Line line;
  TRfc2217Session session{line, "KOV\xff"};
  std::string client;  // everything sent to the client
  std::string device;  // everything handed to the device
  int deviceCalls = 0;

  Rfc2217Harness() {
    session.OnClientBytes = [this](const char* p, size_t n) { client.append(p, n); };
    session.OnDeviceBytes = [this](const char* p, size_t n) {
      EXPECT_GT(n, 0u);
      device.append(p, n);
      ++deviceCalls;
    };
    session.Start();
  }
  // Feeds the bytes as reads ending at the cuts, each read a buffer of its own.
  void Feed(const std::string& bytes, const std::vector<size_t>& cuts = {}) {
    size_t from = 0;
    std::vector<size_t> ends = cuts;
    ends.push_back(bytes.size());
    for (size_t end : ends) {
      const std::string chunk = bytes.substr(from, end - from);
      EXPECT_EQ(session.FeedFromClient(chunk.data(), chunk.size()), chunk.size());
      from = end;
    }
  }
  // Takes what was sent to the client so far.
  std::string TakeClient() { return std::exchange(client, std::string()); }
};

// The bytes with every 255 doubled.
inline std::string Doubled(const std::string& bytes) {
  std::string out;
  for (char c : bytes) out += c == '\xff' ? std::string(2, c) : std::string(1, c);
  return out;
}

// IAC SB COM-PORT-OPTION <payload, 255 doubled> IAC SE.
inline std::string Sb(const std::string& payload) {
  return "\xff\xfa\x2c" + Doubled(payload) + "\xff\xf0";
}

// Calls check with the cut positions of every way to split n bytes into reads: all of them for
// a short stream, else byte by byte and every split in two and in three.
inline void ForEachChunking(size_t n, const std::function<void(const std::vector<size_t>&)>& check) {
  if (n <= 12) {
    for (uint32_t mask = 0; mask < (1u << (n > 0 ? n - 1 : 0)); ++mask) {
      std::vector<size_t> cuts;
      for (size_t i = 1; i < n; ++i) {
        if (mask & (1u << (i - 1))) cuts.push_back(i);
      }
      check(cuts);
    }
    return;
  }
  std::vector<size_t> each;
  for (size_t i = 1; i < n; ++i) each.push_back(i);
  check(each);
  for (size_t a = 1; a < n; ++a) {
    for (size_t b = a; b < n; ++b) check({a, b});
  }
}

}  // namespace kov
