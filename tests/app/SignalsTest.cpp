// The real headless program and the signals it may be sent: the ones that ask for nothing are
// logged and leave it bridging; the closing ones shut it down in order: a bridged client gets
// what was already taken from its serial port, then the B02 notice, a console its goodbye.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>

#include "tests/app/ProgramBench.h"
#include "tests/support/Pattern.h"

namespace kov {
namespace {

TEST(Signals, IgnoredOnesLeaveTheProgramBridgingAndSighupClosesItInOrder) {
  ProgramBench bench;
  ASSERT_TRUE(bench.Start()) << bench.program->Stderr();
  TcpClient client;
  ASSERT_TRUE(bench.Bridge(client));
  TcpClient console;
  ASSERT_TRUE(bench.Login(console));

  for (int signo : {SIGUSR1, SIGUSR2, SIGALRM, SIGPIPE}) bench.program->Signal(signo);
  for (const char* name : {"SIGUSR1", "SIGUSR2", "SIGALRM"}) {
    EXPECT_TRUE(bench.program->WaitForLog(std::string(name) + " received and ignored"))
        << bench.program->Stderr();
  }
  ASSERT_TRUE(bench.program->Running()) << bench.program->Stderr();
  // Still bridging, both ways.
  ASSERT_TRUE(client.Send("to the device"));
  EXPECT_EQ(bench.com1.ReadExactly(13), "to the device");
  ASSERT_TRUE(bench.com1.Write("to the client"));
  EXPECT_EQ(client.ReadExactly(13), "to the client");

  // A closing terminal's hang-up: the orderly shutdown.
  bench.program->Signal(SIGHUP);
  std::string rest;
  EXPECT_TRUE(client.WaitClosed(5000, &rest));
  EXPECT_EQ(rest, kNoticeB02);
  std::string goodbye;
  EXPECT_TRUE(console.WaitClosed(5000, &goodbye));
  EXPECT_EQ(goodbye, "\n\r\n\rProgram KOV Bridge terminated !");
  EXPECT_EQ(bench.program->Wait(), 0) << bench.program->Stderr();
  const std::string log = bench.program->Stderr();
  EXPECT_NE(log.find("closing on SIGHUP"), std::string::npos) << log;
  EXPECT_NE(log.find("stopped"), std::string::npos) << log;
}

TEST(Signals, SigtermGivesASlowClientTheBytesAlreadyTakenThenB02) {
  ProgramBench bench;
  ASSERT_TRUE(bench.Start()) << bench.program->Stderr();
  TcpClient client;
  ASSERT_TRUE(bench.Bridge(client));

  // The client sends more than the device takes (the test does not read the device), so some
  // of its bytes are still unread in the program's socket when the shutdown comes.
  ASSERT_TRUE(client.Send(std::string(150 * 1024, 'c')));
  // The device sends while the client reads nothing, until the program holds back: then the
  // network's buffers are full and bytes wait in the program, queued for the client.
  const std::string data = PatternBytes(32 << 20);
  size_t written = 0;
  auto quietSince = std::chrono::steady_clock::now();
  while (written < data.size() &&
         std::chrono::steady_clock::now() - quietSince < std::chrono::milliseconds(300)) {
    const ssize_t n = write(bench.com1.Master(), data.data() + written,
                            std::min<size_t>(64 * 1024, data.size() - written));
    if (n > 0) {
      written += static_cast<size_t>(n);
      quietSince = std::chrono::steady_clock::now();
    } else {
      pollfd p{bench.com1.Master(), POLLOUT, 0};
      poll(&p, 1, 10);
    }
  }
  ASSERT_LT(written, data.size()) << "the program never held back";

  // The client is slow to notice the shutdown too: it reads only a while after the program has
  // begun to close, well within the second the program gives it.
  bench.program->Signal(SIGTERM);
  ASSERT_TRUE(bench.program->WaitForLog("closing on SIGTERM"));
  std::this_thread::sleep_for(std::chrono::milliseconds(250));
  std::string received;
  EXPECT_TRUE(client.WaitClosed(5000, &received));
  EXPECT_EQ(bench.program->Wait(), 0) << bench.program->Stderr();
  ASSERT_GE(received.size(), kNoticeB02.size());
  const size_t delivered = received.size() - kNoticeB02.size();
  EXPECT_EQ(received.substr(delivered), kNoticeB02);
  EXPECT_TRUE(received.compare(0, delivered, data, 0, delivered) == 0) << "the bytes in order";
  // What the program had taken arrives, its port's receive ring included: all of it but what
  // still sat in the terminal's buffer.
  EXPECT_GE(delivered + 64 * 1024, written) << written - delivered << " bytes short";
}

}  // namespace
}  // namespace kov
