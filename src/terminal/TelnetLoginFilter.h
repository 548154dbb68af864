#pragma once
// How the console reads a client's bytes until a password line is accepted: as Telnet, so that a
// client that negotiates (most Telnet clients do, right after connecting) can log in.
//
// - IAC WILL/WONT/DO/DONT <option> is answered as a Telnet server does and is never part of the
//   line: DO ECHO and DO SGA are agreed to (the console echoes, so the client stops echoing the
//   password itself), WILL SGA is agreed to, every other WILL and DO is refused, and WONT and
//   DONT are answered only when they turn off something the console had agreed to.
// - IAC SB ... IAC SE is dropped whole, and so is IAC with a command byte 240..249 (NOP, GA ...).
// - IAC IAC is one ordinary byte 255; IAC and a byte below 240 stay two ordinary bytes.
// A command may be split across reads: what was begun is kept for the next one.
//
//   filter.Reset();  // a new connection, just greeted with IAC DONT ECHO
//   size_t used = filter.Read(bytes, count, [&](char c) { return Type(c); });
//
// Read hands the ordinary bytes to the sink one by one, and stops right after the sink refuses
// one (false) or after the first LF byte of the input, so that the caller can see whether that
// line ended the login phase: from then on it reads every byte as ordinary, and the filter does
// not look at them.
#include <cstddef>
#include <functional>
#include <string>

#include "net/TelnetDecoder.h"
#include "net/TelnetOptions.h"

namespace kov {

class TelnetLoginFilter : private TTelnetHandler {
 public:
  // Takes one ordinary byte; false: read no further.
  using Sink = std::function<bool(char c)>;

  // Answers to the client's negotiations go to reply.
  explicit TelnetLoginFilter(std::function<void(const std::string& bytes)> reply);
  TelnetLoginFilter(const TelnetLoginFilter&) = delete;
  TelnetLoginFilter& operator=(const TelnetLoginFilter&) = delete;

  // A new connection: nothing agreed yet apart from the greeting's IAC DONT ECHO, no command
  // begun.
  void Reset();
  // Forgets a command begun: the bytes after it were dropped.
  void Drop() { decoder_.Reset(); }
  // Reads from data up to the sink's refusal or the first LF, whichever comes first; returns the
  // number of bytes read (the refused byte or the LF included).
  size_t Read(const char* data, size_t len, const Sink& sink);

 private:
  size_t OnData(const char* data, size_t len) override;
  void OnNegotiation(uint8_t verb, uint8_t option) override;
  void Flush();

  std::function<void(const std::string&)> reply_;
  TTelnetDecoder decoder_{*this};
  TTelnetOptions options_;
  const Sink* sink_ = nullptr;
  bool stopped_ = false;
  std::string answers_;  // answers not sent yet, sent before the next echo and at the end
};

}  // namespace kov
