// Feeds arbitrary chunks to a console session, before and after login, as a console client
// would send them. The session runs without a connection: what it answers is dropped, so no
// socket is needed and every input runs in memory (apart from LoadConfig and SaveConfig, which
// use a file in a private temporary directory).
//
// Input: one byte of flags, then chunks, each a length byte followed by that many bytes.
//   flag 1: log in before the first chunk; flag 2: empty configured password.
// A session that a chunk ends (Exit, four wrong passwords) is begun again for the next chunk.
#include <stdlib.h>

#include <cstdint>
#include <string>

#include "config/ConfigFile.h"
#include "event/EventLoop.h"
#include "event/Log.h"
#include "terminal/Terminal.h"

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

void Check(const kov::TBridgeTerminal& t) {
  if (t.LineBuffer.size() > kov::TBridgeTerminal::kMaxLine) __builtin_trap();
  if (t.PasswordChangeMode == 1 && t.SessionActive == 1 && t.LoggedIn != 1) __builtin_trap();
  if (t.SessionActive == 1 && t.FailedLogins >= kov::TBridgeTerminal::kMaxFailedLogins) {
    __builtin_trap();
  }
  if (t.LoggedIn > 1 || t.PasswordChangeMode > 1 || t.SessionActive > 1) __builtin_trap();
}

void RunSession(const uint8_t* data, size_t size) {
  kov::TConfigFile config(FuzzFile());
  const uint8_t flags = data[0];
  config.Password = (flags & 2) ? "" : "pw";
  kov::TBridgeTerminal terminal(Loop(), config);
  terminal.BeginSession();
  if (flags & 1) terminal.ProcessInput("pw\r\n");
  Check(terminal);
  size_t at = 1;
  while (at < size) {
    const size_t length = data[at++];
    const size_t take = length < size - at ? length : size - at;
    const std::string chunk(reinterpret_cast<const char*>(data + at), take);
    at += take;
    if (terminal.SessionActive != 1) terminal.BeginSession();
    terminal.ProcessInput(chunk);
    Check(terminal);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  RunSession(data, size);
  // The loop never runs here: drop the schedule entries of the timers that went with the session.
  Loop().NextTimeoutMs();
  return 0;
}
