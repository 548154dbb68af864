// Feeds arbitrary client bytes to a remote serial control session, twice: in one read with all
// the room the device could want, and in reads of varying size against a device that takes a
// few bytes at a time (the caller keeping what was not taken, as a bridged port does). Both must
// hand the device the same bytes, change the line the same way and send the client the same
// answers, and what the client gets must read as Telnet whose only subnegotiations are the
// option's answers.
//
// Input: one byte that seeds the read sizes and rooms, then the client's bytes.
#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>

#include "bridge/Rfc2217Codes.h"
#include "bridge/Rfc2217Line.h"
#include "bridge/Rfc2217Session.h"
#include "net/TelnetCodes.h"
#include "net/TelnetDecoder.h"

namespace {

using kov::TRfc2217Line;

// Takes even rates only and no space parity; keeps a log of every call.
class Line : public TRfc2217Line {
 public:
  std::string log;
  TSetting setting;
  bool signals[3] = {};

  TSetting Setting() override { return setting; }
  TSetting Apply(const TSetting& wanted) override {
    log += 'A';
    if (wanted.rate % 2 == 0 && wanted.parity != TParity::eSpace) setting = wanted;
    return setting;
  }
  bool Signal(TSignal signal) override { return signals[int(signal)]; }
  bool SetSignal(TSignal signal, bool on) override {
    log += on ? 'S' : 's';
    return signals[int(signal)] = on;
  }
  void Purge(bool received, bool transmit) override {
    log += received ? 'R' : '-';
    log += transmit ? 'T' : '-';
  }
  std::optional<TModemLines> ModemLines() override { return TModemLines{.cts = true}; }
};

struct Run {
  Line line;
  kov::TRfc2217Session session{line, "fuzz"};
  std::string client, device;

  Run() {
    session.OnClientBytes = [this](const char* p, size_t n) { client.append(p, n); };
    session.OnDeviceBytes = [this](const char* p, size_t n) { device.append(p, n); };
    session.Start();
  }
  void Finish() {
    session.ModemLinesChanged({.dsr = true});
    session.SendDeviceData("\xff\x01\xff", 3);
  }
};

// Reads what the client got: no data but the three device bytes at the end, every
// subnegotiation the option's, with a server code.
class ClientView : public kov::TTelnetHandler {
 public:
  std::string data;
  size_t OnData(const char* p, size_t n) override {
    data.append(p, n);
    return n;
  }
  void OnSubnegotiation(uint8_t option, const char* payload, size_t len,
                        TSubnegotiationEnd end) override {
    if (option != kov::telnet::kComPort || end != eComplete || len == 0) __builtin_trap();
    if (static_cast<uint8_t>(payload[0]) < kov::rfc2217::kServerOffset) __builtin_trap();
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  if (size == 0) return 0;
  uint32_t random = bytes[0] * 2654435761u + 1;
  const std::string input(reinterpret_cast<const char*>(bytes) + 1, size - 1);

  Run whole;
  if (whole.session.FeedFromClient(input.data(), input.size()) != input.size()) __builtin_trap();
  whole.Finish();

  Run parts;
  std::string pending;
  size_t from = 0;
  for (int rounds = 0; from < input.size() || !pending.empty(); ++rounds) {
    random = random * 1664525u + 1013904223u;
    const size_t n = std::min<size_t>((random >> 8) % 40, input.size() - from);
    pending.append(input, from, n);
    from += n;
    const size_t room = rounds > 100000 ? SIZE_MAX : (random >> 20) % 8;
    const size_t before = parts.device.size();
    const size_t used = parts.session.FeedFromClient(pending.data(), pending.size(), room);
    if (used > pending.size() || parts.device.size() - before > room) __builtin_trap();
    pending.erase(0, used);
  }
  parts.Finish();

  if (whole.device != parts.device || whole.client != parts.client ||
      whole.line.log != parts.line.log || !(whole.line.setting == parts.line.setting)) {
    __builtin_trap();
  }
  ClientView view;
  kov::TTelnetDecoder decoder(view);
  decoder.Feed(whole.client.data(), whole.client.size());
  if (view.data != "\xff\x01\xff" || decoder.InCommand()) __builtin_trap();
  return 0;
}
