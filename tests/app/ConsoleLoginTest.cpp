// Logging in to the real headless program: wrong lines count across connections, each is
// answered after a pause that does not hold up bridged clients, and the fourth in all locks the
// console out; Telnet clients that negotiate log in.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "tests/app/ProgramBench.h"

namespace kov {
namespace {

const std::string kPrompt = "\n\rPassword:";
const std::string kGoodBye = "\n\r\n\r  Good Bye...\n\r";

class ConsoleLoginTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(bench.Start()); }

  // A console connection that has its greeting.
  std::unique_ptr<TcpClient> Console() {
    auto console = std::make_unique<TcpClient>();
    EXPECT_TRUE(console->Connect(bench.consolePort));
    const std::string greeting = console->ReadUntil("Password:");
    EXPECT_EQ(greeting.substr(greeting.size() - 9), "Password:") << greeting;
    return console;
  }
  // Types a wrong line on each of count connections, closing each after the answer.
  void WrongLinesEachOnANewConnection(int count) {
    for (int i = 1; i <= count; ++i) {
      auto console = Console();
      console->Send("XYZ\r\n");
      EXPECT_EQ(console->ReadUntil(kPrompt), "***" + kPrompt) << i;
    }
  }
  size_t LogCount(const std::string& part) const { return bench.program->LogCount(part); }

  ProgramBench bench;
};

// A guesser that reconnects after every wrong line gains nothing: the fourth in all locks out.
TEST_F(ConsoleLoginTest, ReconnectingGuesserIsLockedOutAtTheFourthWrongLine) {
  WrongLinesEachOnANewConnection(3);
  auto console = Console();
  console->Send("ABC\r\n");
  std::string last;
  EXPECT_TRUE(console->WaitClosed(5000, &last));
  EXPECT_EQ(last, "***" + kPrompt + kGoodBye);
  // The listener closes right after the console's connection.
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (IsListening(bench.consolePort) && std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_FALSE(IsListening(bench.consolePort)) << "the console is locked out";
  EXPECT_EQ(LogCount("wrong password from"), 1u) << bench.program->Stderr();
  EXPECT_EQ(LogCount("locked for 180000 ms after 4 wrong passwords from 127.0.0.1 (4)"), 1u)
      << bench.program->Stderr();
}

TEST_F(ConsoleLoginTest, CorrectPasswordAfterThreeWrongStartsTheCountAfresh) {
  WrongLinesEachOnANewConnection(3);
  {
    auto console = Console();
    console->Send("PZQ\r\n");
    EXPECT_EQ(console->ReadUntil("Bridge:\\>"), "***\n\r\n\rBridge:\\>");
  }
  // A wrong line on a later connection is the first of a new count, not the fourth.
  auto console = Console();
  console->Send("XYZ\r\n");
  EXPECT_EQ(console->ReadUntil(kPrompt), "***" + kPrompt);
  EXPECT_FALSE(console->WaitClosed(200));
  console->Send("PZQ\r\n");
  EXPECT_EQ(console->ReadUntil("Bridge:\\>"), "***\n\r\n\rBridge:\\>");
  EXPECT_TRUE(bench.program->WaitForLog("login from 127.0.0.1 after 1 wrong password"));
  EXPECT_EQ(LogCount("login from 127.0.0.1 after 3 wrong passwords"), 1u)
      << bench.program->Stderr();
}

// While a wrong line waits for its answer, the loop goes on bridging.
TEST_F(ConsoleLoginTest, PausedAnswerKeepsBridgedClientsServed) {
  TcpClient client;
  ASSERT_TRUE(bench.Bridge(client));
  auto console = Console();
  console->Send("XYZ\r\n");
  EXPECT_EQ(console->ReadExactly(3), "***");
  // Both ways through COM1 before the answer comes.
  ASSERT_TRUE(client.Send("ping"));
  EXPECT_EQ(bench.com1.ReadExactly(4), "ping");
  ASSERT_TRUE(bench.com1.Write("pong"));
  EXPECT_EQ(client.ReadExactly(4), "pong");
  EXPECT_EQ(console->ReadFor(20), "") << "answered before the bridged exchange";
  EXPECT_EQ(console->ReadUntil(kPrompt), kPrompt);
}

// PuTTY's default opening (WILL NAWS, TSPEED, TTYPE, NEW-ENVIRON, DO ECHO, WILL SGA, DO SGA), sent
// on connecting, and the console's answer: WILL ECHO and SGA both ways, the rest refused.
const std::string kPuttyOpening("\xff\xfb\x1f\xff\xfb\x20\xff\xfb\x18\xff\xfb\x27\xff\xfd\x01"
                                "\xff\xfb\x03\xff\xfd\x03", 21);
const std::string kPuttyAnswer("\xff\xfe\x1f\xff\xfe\x20\xff\xfe\x18\xff\xfe\x27\xff\xfb\x01"
                               "\xff\xfd\x03\xff\xfb\x03", 21);

TEST_F(ConsoleLoginTest, TelnetClientsThatNegotiateLogIn) {
  {
    TcpClient putty;
    ASSERT_TRUE(putty.Connect(bench.consolePort));
    putty.Send(kPuttyOpening);
    // The greeting goes out on connecting, the answer once the opening has been read.
    const std::string greeting = putty.ReadUntil("Password:" + kPuttyAnswer);
    EXPECT_EQ(greeting.substr(0, 3), "\xff\xfe\x01");
    EXPECT_EQ(greeting.substr(greeting.size() - 30), "Password:" + kPuttyAnswer);
    // A wrong password after the opening is one wrong try, the right one logs in.
    putty.Send("XYZ\r\n");
    EXPECT_EQ(putty.ReadUntil(kPrompt), "***" + kPrompt);
    putty.Send("PZQ\r\n");
    EXPECT_EQ(putty.ReadUntil("Bridge:\\>"), "***\n\r\n\rBridge:\\>");
    EXPECT_TRUE(bench.program->WaitForLog("login from 127.0.0.1 after 1 wrong password"));
    // Logged in, every byte is ordinary again.
    putty.Send("\xff\xfd\x01\r\n");
    EXPECT_EQ(putty.ReadUntil("Bridge:\\>"),
              "\xff\xfd\x01\r\nThe name specified is not recognized as command.\n\r\n\rBridge:\\>");
  }
  // A client that answers the greeting's IAC DONT ECHO with IAC WONT ECHO.
  auto console = Console();
  console->Send("\xff\xfc\x01PZQ\r\n");
  EXPECT_EQ(console->ReadUntil("Bridge:\\>"), "***\n\r\n\rBridge:\\>");
}

}  // namespace
}  // namespace kov
