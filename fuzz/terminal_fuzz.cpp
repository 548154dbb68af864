// Feeds arbitrary chunks to a console session, before and after login, as a console client
// would send them. The session runs without a connection or a listener: what it answers is
// dropped and ending it only ends it, so every input runs in memory (apart from LoadConfig and
// SaveConfig, which use a file in a private temporary directory). The pause after a wrong
// password runs on a manual clock, moved on after each chunk that started one.
//
// Input: one byte of flags, then chunks, each a length byte followed by that many bytes.
//   flag 1: log in before the first chunk; flag 2: empty configured password; flag 4: chunks
//   arrive while a pause runs (the clock moves on only after the last one).
// A session that a chunk ends (Exit, four wrong passwords) is begun again for the next chunk.
//   flag 8: instead, the chunks go to the Telnet login filter alone, which must type and answer
//   the same whether it reads them as they come or all at once.
#include <stdlib.h>

#include <cstdint>
#include <string>
#include <vector>

#include "config/ConfigFile.h"
#include "event/EventLoop.h"
#include "event/Log.h"
#include "terminal/CommandTable.h"
#include "terminal/ConsoleSession.h"
#include "terminal/LoginGuard.h"
#include "terminal/TelnetLoginFilter.h"

namespace {

// In memory where possible: SaveConfig syncs the file to its disk.
std::string FuzzFile() {
  static std::string path = [] {
    char shm[] = "/dev/shm/kovfuzz-terminal-XXXXXX";
    char tmp[] = "/tmp/kovfuzz-terminal-XXXXXX";
    const char* dir = mkdtemp(shm);
    if (dir == nullptr) dir = mkdtemp(tmp);
    return std::string(dir ? dir : "/tmp") + "/BridgeConfig.sys";
  }();
  return path;
}

kov::EventLoop& Loop() {
  static kov::EventLoop* loop = [] {
    kov::SetLogSink([](const std::string&) {});
    auto* l = new kov::EventLoop(kov::EventLoop::Clock::Manual);
    l->SetErrorHandler([](const std::string&) {});
    return l;
  }();
  return *loop;
}

void Check(const kov::ConsoleSession& s, const kov::LoginGuard& guard) {
  if (s.LineBuffer.size() > kov::ConsoleSession::kMaxLine) __builtin_trap();
  if (s.PasswordChangeMode == 1 && s.Active == 1 && s.LoggedIn != 1) __builtin_trap();
  // Only the line that locks out, waiting for its answer, leaves the count at the limit.
  if (guard.FailedLogins > kov::LoginGuard::kMaxFailedLogins) __builtin_trap();
  if (guard.FailedLogins == kov::LoginGuard::kMaxFailedLogins && !s.Pausing()) __builtin_trap();
  if (s.LoggedIn == 1 && guard.FailedLogins != 0) __builtin_trap();
  if (s.LoggedIn > 1 || s.PasswordChangeMode > 1 || s.Active > 1) __builtin_trap();
}

void RunSession(const uint8_t* data, size_t size) {
  kov::TConfigFile config(FuzzFile());
  const uint8_t flags = data[0];
  config.Password = (flags & 2) ? "" : "pw";
  kov::ConsoleActions actions;
  kov::CommandTable commands(config, actions);
  kov::LoginGuard guard;
  kov::ConsoleSession session(Loop(), config, actions, commands, guard);
  actions.Send = [](const std::string&) {};
  actions.HoldInput = [](bool) {};
  actions.Close = [&](int64_t) { session.End(); };
  session.Begin();
  if (flags & 1) session.Input("pw\r\n");
  Check(session, guard);
  size_t at = 1;
  while (at < size) {
    const size_t length = data[at++];
    const size_t take = length < size - at ? length : size - at;
    const std::string chunk(reinterpret_cast<const char*>(data + at), take);
    at += take;
    if (session.Active != 1) session.Begin();
    session.Input(chunk);
    Check(session, guard);
    while (session.Pausing() && (!(flags & 4) || at >= size)) {
      Loop().AdvanceMs(kov::ConsoleSession::kWrongPasswordPauseMs);
      Check(session, guard);
    }
  }
}

// What the filter types and answers, reading the chunks in turn.
std::string FilterTranscript(const std::vector<std::string>& chunks) {
  std::string transcript;
  kov::TelnetLoginFilter filter([&](const std::string& answer) { transcript += answer; });
  std::string typed;
  for (const std::string& chunk : chunks) {
    size_t at = 0;
    while (at < chunk.size()) {
      const size_t read = filter.Read(chunk.data() + at, chunk.size() - at, [&](char c) {
        typed += c;
        return true;
      });
      if (read == 0) __builtin_trap();  // no progress
      at += read;
    }
  }
  return typed + '|' + transcript;
}

void RunFilter(const uint8_t* data, size_t size) {
  std::vector<std::string> chunks;
  std::string all;
  size_t at = 1;
  while (at < size) {
    const size_t length = data[at++];
    const size_t take = length < size - at ? length : size - at;
    chunks.emplace_back(reinterpret_cast<const char*>(data + at), take);
    all += chunks.back();
    at += take;
  }
  if (FilterTranscript(chunks) != FilterTranscript({all})) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  if (data[0] & 8) {
    RunFilter(data, size);
    return 0;
  }
  RunSession(data, size);
  // Drop the schedule entries of the timers that went with the session.
  Loop().NextTimeoutMs();
  return 0;
}
