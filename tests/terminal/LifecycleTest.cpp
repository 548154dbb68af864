// How a console session ends: inactivity, Exit, the program closing, a console that vanishes.
#include <sys/socket.h>

#include <memory>
#include <string>

#include "tests/terminal/TerminalFixture.h"

namespace kov {
namespace {

const std::string kInactivity = "\n\r\n\rConnection closed due to inactivity !";

TEST_F(TerminalTest, IdleConsoleIsClosedAndTheListenerReopensOnTheStoredPort) {
  auto client = LoggedIn();
  const int newPort = FreeTcpPort();
  const std::string line = "ConfigurationPort " + std::to_string(newPort);
  EXPECT_EQ(Command(*client, line), line + "\r\n OK. \n\rBridge:\\>");
  // The console stays where it is until the listener restarts.
  EXPECT_EQ(terminal->Server.Port(), port);

  loop.AdvanceMs(TBridgeTerminal::kIdleMs - 1);
  EXPECT_EQ(client->ReadFor(50), "");
  EXPECT_EQ(terminal->SessionActive, 1);
  loop.AdvanceMs(1);
  EXPECT_EQ(client->ReadExactly(kInactivity.size()), kInactivity);
  EXPECT_TRUE(client->WaitClosed());
  EXPECT_EQ(terminal->SessionActive, 0);
  EXPECT_FALSE(IsListening(port));
  EXPECT_FALSE(IsListening(newPort));

  loop.AdvanceMs(TBridgeTerminal::kRestartMs - 1);
  EXPECT_FALSE(IsListening(newPort));
  loop.AdvanceMs(1);
  EXPECT_FALSE(IsListening(port));
  port = newPort;
  auto next = Greeted();
  EXPECT_EQ(terminal->SessionActive, 1);
}

TEST_F(TerminalTest, EveryChunkRestartsTheIdleCountdown) {
  auto client = LoggedIn();
  loop.AdvanceMs(TBridgeTerminal::kIdleMs - 10);
  client->Send("x");
  EXPECT_EQ(client->ReadExactly(1), "x");
  loop.AdvanceMs(TBridgeTerminal::kIdleMs - 1);
  EXPECT_EQ(terminal->SessionActive, 1);
  loop.AdvanceMs(1);
  EXPECT_EQ(client->ReadExactly(kInactivity.size()), kInactivity);
}

TEST_F(TerminalTest, ExitLeavesTheConsoleAndTheListenerReopensLater) {
  auto client = LoggedIn();
  client->Send("exit\r\nHelp\r\n");
  const std::string expected = "exit\r\n\n\r  Good Bye...\n\r";
  EXPECT_EQ(client->ReadExactly(expected.size()), expected);
  EXPECT_TRUE(client->WaitClosed());
  EXPECT_EQ(client->ReadFor(50), "");  // Help was dropped with the session
  EXPECT_EQ(terminal->SessionActive, 0);
  EXPECT_EQ(terminal->LoggedIn, 0);
  EXPECT_FALSE(IsListening(port));
  loop.AdvanceMs(TBridgeTerminal::kRestartMs - 1);
  EXPECT_FALSE(IsListening(port));
  loop.AdvanceMs(1);

  // A console taken on now keeps the idle countdown of the chunk that held Exit.
  auto next = Greeted();
  loop.AdvanceMs(TBridgeTerminal::kIdleMs - TBridgeTerminal::kRestartMs - 1);
  EXPECT_EQ(terminal->SessionActive, 1);
  loop.AdvanceMs(1);
  EXPECT_EQ(next->ReadExactly(kInactivity.size()), kInactivity);
  EXPECT_TRUE(next->WaitClosed());
}

TEST_F(TerminalTest, IdleCountdownWithNoConsoleClosesTheListenerBriefly) {
  auto client = LoggedIn();
  client->Send("Exit\r\n");
  EXPECT_TRUE(client->WaitClosed());
  loop.AdvanceMs(TBridgeTerminal::kRestartMs);
  EXPECT_TRUE(terminal->Server.Active());
  loop.AdvanceMs(TBridgeTerminal::kIdleMs - TBridgeTerminal::kRestartMs);
  EXPECT_FALSE(terminal->Server.Active());
  EXPECT_FALSE(IsListening(port));
  loop.AdvanceMs(TBridgeTerminal::kRestartMs);
  EXPECT_TRUE(terminal->Server.Active());
  auto next = Greeted();
}

TEST_F(TerminalTest, ClosingTheProgramSaysGoodbyeToAGreetedConsole) {
  auto client = Greeted();
  terminal.reset();
  const std::string text = "\n\r\n\rProgram KOV Bridge terminated !";
  EXPECT_EQ(client->ReadExactly(text.size()), text);
  EXPECT_TRUE(client->WaitClosed());
  EXPECT_FALSE(IsListening(port));
}

// A console that resets its connection, even with a request in flight, leaves the listener ready.
TEST_F(TerminalTest, ConsoleResetLeavesTheListenerReady) {
  auto client = LoggedIn();
  client->Send("Help\r\nShowConfig\r\n");
  client->Reset();
  EXPECT_TRUE(loop.RunUntil([&] { return terminal->SessionActive == 0; }));
  EXPECT_TRUE(terminal->Server.Active());
  loop.RunUntil([&] { return terminal->Server.Socket().ConnectionCount() == 0; });
  auto next = LoggedIn();
  EXPECT_EQ(Command(*next, "Baud 1 9600"), "Baud 1 9600\r\n OK. \n\rBridge:\\>");
}

// Output piles up behind a console that does not read; the console then vanishes.
TEST_F(TerminalTest, ConsoleThatVanishesWithOutputQueued) {
  auto client = std::make_unique<TcpClient>(loop, port, TcpClient::Options{.receiveBuffer = 1024});
  client->ReadThrough("Password:");
  client->Send("secret\r\n");
  client->ReadThrough("Bridge:\\>");
  TCustomWinSocket& console = terminal->Server.Socket().ConnectionAt(0);
  std::string helps;
  for (int i = 0; i < 33; ++i) helps += "Help\r\n";  // one chunk of 198 characters
  for (int round = 0; round < 500 && console.OutputQueued() == 0; ++round) {
    client->Send(helps);
    loop.RunUntil([] { return false; }, 2);
  }
  ASSERT_GT(console.OutputQueued(), 0);
  client->Reset();
  EXPECT_TRUE(loop.RunUntil([&] { return terminal->SessionActive == 0; }));
  loop.RunUntil([&] { return terminal->Server.Socket().ConnectionCount() == 0; });
  auto next = LoggedIn();
  EXPECT_EQ(Command(*next, "Parity 2 O"), "Parity 2 O\r\n OK. \n\rBridge:\\>");
}

TEST_F(TerminalTest, ConsoleThatClosesOrderlyEndsTheSession) {
  auto client = LoggedIn();
  client->Close();
  EXPECT_TRUE(loop.RunUntil([&] { return terminal->SessionActive == 0; }));
  EXPECT_FALSE(terminal->IdleTimer.Enabled());
  EXPECT_TRUE(Logged("closed from 127.0.0.1"));
}

}  // namespace
}  // namespace kov
