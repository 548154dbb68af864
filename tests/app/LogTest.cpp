// What the real headless program writes to its log under floods, and for the journal.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <chrono>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/app/ProgramBench.h"

namespace kov {
namespace {

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

size_t CountLines(const std::string& text, const std::string& part, const std::string& but) {
  size_t n = 0;
  for (const std::string& line : Lines(text)) {
    if (line.find(part) != std::string::npos && line.find(but) == std::string::npos) ++n;
  }
  return n;
}

// The count of a "left out N more lines like this one: <line>" summary for lines with part.
long LeftOut(const std::string& text, const std::string& part) {
  for (const std::string& line : Lines(text)) {
    const size_t at = line.find("left out ");
    if (at != std::string::npos && line.find(part) != std::string::npos) {
      return std::stol(line.substr(at + 9));
    }
  }
  return -1;
}

TEST(Log, AConnectionFloodAgainstARefusedPortGivesAFewLinesAndASummary) {
  ProgramBench bench;
  bench.config.AccAddress = {"10.99.", "None", "None"};  // the loopback address is refused
  ASSERT_TRUE(bench.Start()) << bench.program->Stderr();
  ASSERT_TRUE(WaitListening(bench.com1Port));

  const auto start = std::chrono::steady_clock::now();
  constexpr int kFlood = 300;
  for (int i = 0; i < kFlood; ++i) {
    TcpClient client;
    ASSERT_TRUE(client.Connect(bench.com1Port));
  }
  const std::string refused = "client 127.0.0.1 refused, address not accepted";
  ASSERT_TRUE(bench.program->WaitForLog("like this one: COM1: " + refused))
      << bench.program->Stderr();
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

  const std::string log = bench.program->Stderr();
  const size_t written = CountLines(log, refused, "left out");
  EXPECT_GE(written, 1u);
  EXPECT_LE(written, static_cast<size_t>(seconds) + 1) << "one a second at most\n" << log;
  EXPECT_EQ(static_cast<long>(written) + LeftOut(log, refused), kFlood) << log;
}

TEST(Log, AcceptingPausedForLackOfDescriptorsIsWrittenOnceASecond) {
#if defined(__SANITIZE_ADDRESS__)
  // The sanitizers' own checks open descriptors; without any they report faults that are not.
  GTEST_SKIP() << "the sanitizers need descriptors of their own";
#endif
  ProgramBench bench;
  ASSERT_TRUE(bench.Start()) << bench.program->Stderr();
  // No new descriptor for the program: the console's next connection cannot be accepted, and
  // accepting is retried ten times a second.
  rlimit before{};
  ASSERT_EQ(prlimit(bench.program->Pid(), RLIMIT_NOFILE, nullptr, &before), 0);
  const rlimit none{0, before.rlim_max};
  ASSERT_EQ(prlimit(bench.program->Pid(), RLIMIT_NOFILE, &none, nullptr), 0);
  TcpClient console;
  ASSERT_TRUE(console.Connect(bench.consolePort));  // waits in the backlog
  ASSERT_TRUE(bench.program->WaitForLog("Accepting paused")) << bench.program->Stderr();
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));
  const std::string during = bench.program->Stderr();
  ASSERT_EQ(prlimit(bench.program->Pid(), RLIMIT_NOFILE, &before, nullptr), 0);

  EXPECT_LE(CountLines(during, "Accepting paused", "left out"), 4u) << during;
  // The console is taken on once there are descriptors again; then the count follows.
  EXPECT_NE(console.ReadUntil("Password:").find("Password:"), std::string::npos);
  ASSERT_TRUE(bench.program->WaitForLog("like this one: Accepting paused"))
      << bench.program->Stderr();
  EXPECT_GE(LeftOut(bench.program->Stderr(), "Accepting paused"), 15);
}

// Starts the program with JOURNAL_STREAM as given (unset for nullptr, "stderr" for the device
// and inode of the file its stderr goes to), with an error and a warning to log; returns the log.
std::string LogWithJournalStream(const char* value) {
  ProgramBench bench;
  bench.config.Ports[2].Active = 1;  // COM3's path is a plain file, no device: an error
  bench.dir.Write("not-a-device", "");
  bench.dir.Write("BridgePorts.conf",
                  "COM1=" + bench.com1.Path() + "\nCOM3=" + bench.dir.Path("not-a-device") + "\n");
  bench.dir.Write("stderr.log", "");  // the program's stderr keeps this file's inode
  struct stat info {};
  EXPECT_EQ(stat(bench.dir.Path("stderr.log").c_str(), &info), 0);
  std::string stream;
  if (value != nullptr) {
    stream = std::string(value) == "stderr"
                 ? std::to_string(info.st_dev) + ":" + std::to_string(info.st_ino)
                 : value;
    setenv("JOURNAL_STREAM", stream.c_str(), 1);
  }
  const bool started = bench.Start();
  unsetenv("JOURNAL_STREAM");
  EXPECT_TRUE(started) << bench.program->Stderr();
  EXPECT_TRUE(bench.program->WaitForLog("COM3 not started"));
  bench.program->Signal(SIGUSR1);  // a warning
  EXPECT_TRUE(bench.program->WaitForLog("SIGUSR1 received and ignored"));
  bench.program->Signal(SIGTERM);
  EXPECT_EQ(bench.program->Wait(), 0);
  return bench.program->Stderr();
}

TEST(Log, JournalPrioritiesOnlyWhenStderrIsTheJournal) {
  const std::string journal = LogWithJournalStream("stderr");
  for (const std::string& line : Lines(journal)) {
    EXPECT_TRUE(line.rfind("<3>", 0) == 0 || line.rfind("<4>", 0) == 0 ||
                line.rfind("<6>", 0) == 0)
        << line;
  }
  EXPECT_NE(journal.find("<6>KOV Bridge "), std::string::npos) << journal;
  EXPECT_NE(journal.find("<3>COM3 not started"), std::string::npos) << journal;
  EXPECT_NE(journal.find("<4>SIGUSR1 received and ignored"), std::string::npos) << journal;

  // Not set, or naming another stream (inherited from a service by a program whose stderr went
  // elsewhere): the lines as always.
  for (const char* value : {static_cast<const char*>(nullptr), "1:1"}) {
    const std::string plain = LogWithJournalStream(value);
    EXPECT_NE(plain.find("kovbridge: COM3 not started"), std::string::npos) << plain;
    for (const std::string& line : Lines(plain)) EXPECT_NE(line.front(), '<') << line;
  }
}

}  // namespace
}  // namespace kov
