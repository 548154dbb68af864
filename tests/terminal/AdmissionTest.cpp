// Who gets a console: accepted addresses, one console at a time, wrong passwords.
#include <string>

#include "tests/terminal/TerminalFixture.h"

namespace kov {
namespace {

const std::string kBusyText =
    "\n\r\n\r           No more than one Configuration Terminal Console allowed !";
const std::string kGoodBye = "\n\r\n\r  Good Bye...\n\r";

TEST_F(TerminalTest, AddressThatDoesNotPassIsClosedWithoutAByte) {
  config.AccAddress = {"10.", "None", "None"};
  TcpClient client(loop, port);
  EXPECT_TRUE(client.WaitClosed());
  EXPECT_EQ(client.ReadFor(50), "");
  EXPECT_EQ(terminal->SessionActive, 0);
  EXPECT_TRUE(terminal->Server.Active());
  EXPECT_TRUE(Logged("refused from 127.0.0.1"));
  // A listed address gets its console.
  config.AccAddress[2] = "127.0.";
  auto next = Greeted();
  EXPECT_EQ(terminal->SessionActive, 1);
}

TEST_F(TerminalTest, SecondConsoleGetsTheBusyTextAndTheFirstGoesOn) {
  auto first = LoggedIn();
  TcpClient second(loop, port);
  EXPECT_EQ(second.ReadExactly(kBusyText.size()), kBusyText);
  EXPECT_TRUE(second.WaitClosed());
  EXPECT_EQ(terminal->SessionActive, 1);
  EXPECT_EQ(terminal->LoggedIn, 1);
  EXPECT_EQ(first->ReadFor(50), "");
  EXPECT_EQ(Command(*first, "ConfigurationPort 8800"),
            "ConfigurationPort 8800\r\n OK. \n\rBridge:\\>");
}

TEST_F(TerminalTest, SecondConsoleFromAnAddressThatDoesNotPassIsClosedSilently) {
  auto first = Greeted();
  config.AccAddress = {"10.", "None", "None"};
  TcpClient second(loop, port);
  EXPECT_TRUE(second.WaitClosed());
  EXPECT_EQ(second.ReadFor(50), "");
  EXPECT_EQ(terminal->SessionActive, 1);
  first->Send("secret\r\n");
  EXPECT_EQ(first->ReadExactly(("******" + kLoginReply).size()), "******" + kLoginReply);
}

// A newcomer that arrives while two connections are still listed is refused like a second one;
// the console, connection 0, is left alone.
TEST_F(TerminalTest, ConnectionWhileTwoAreListedIsRefused) {
  auto first = LoggedIn();
  // The second connection is kept listed: its connect event does not reach the terminal.
  auto handler = terminal->Server.OnClientConnect;
  int connects = 0;
  terminal->Server.OnClientConnect = [&](TServerWinSocket& sender, TCustomWinSocket& socket) {
    if (++connects == 1) return;
    handler(sender, socket);
  };
  TcpClient second(loop, port);
  loop.RunUntil([&] { return terminal->Server.Socket().ConnectionCount() == 2; });
  TcpClient third(loop, port);
  EXPECT_EQ(third.ReadExactly(kBusyText.size()), kBusyText);
  EXPECT_TRUE(third.WaitClosed());
  EXPECT_EQ(terminal->SessionActive, 1);
  EXPECT_EQ(terminal->LoggedIn, 1);
  EXPECT_EQ(terminal->RemoteAddress, "127.0.0.1");

  config.AccAddress = {"10.", "None", "None"};
  TcpClient fourth(loop, port);
  EXPECT_TRUE(fourth.WaitClosed());
  EXPECT_EQ(fourth.ReadFor(50), "");
  EXPECT_EQ(terminal->SessionActive, 1);
  EXPECT_EQ(Command(*first, "Parity 1 N"), "Parity 1 N\r\n OK. \n\rBridge:\\>");
  EXPECT_EQ(second.ReadFor(50), "");
}

TEST_F(TerminalTest, FourWrongPasswordsLockTheListenerOut) {
  auto client = Greeted();
  for (int i = 1; i <= 3; ++i) {
    EXPECT_EQ(Wrong(*client, "wrong\r\n", "*****"), "*****\n\rPassword:");
    EXPECT_EQ(terminal->FailedLogins, i);
  }
  const std::string last = "\n\rPassword:" + kGoodBye;
  EXPECT_EQ(Wrong(*client, "wrong\r\n", "*****", last), "*****" + last);
  EXPECT_TRUE(client->WaitClosed());
  EXPECT_EQ(terminal->SessionActive, 0);
  EXPECT_FALSE(terminal->Server.Active());
  EXPECT_TRUE(Logged("locked"));

  // The idle countdown of the last chunk runs out a pause before the lock-out would end, and
  // closes the listener for the usual restart delay instead.
  loop.AdvanceMs(TBridgeTerminal::kLockOutMs - TBridgeTerminal::kWrongPasswordPauseMs - 1);
  EXPECT_FALSE(IsListening(port));
  loop.AdvanceMs(1);
  EXPECT_FALSE(IsListening(port));
  loop.AdvanceMs(TBridgeTerminal::kRestartMs);
  auto again = Greeted();
  EXPECT_EQ(terminal->FailedLogins, 0);
  again->Send("secret\r\n");
  EXPECT_EQ(again->ReadExactly(("******" + kLoginReply).size()), "******" + kLoginReply);
}

// The rest of a chunk waits for each answer; the lock-out drops what is left.
TEST_F(TerminalTest, LockOutDropsTheRestOfTheChunk) {
  auto client = Greeted();
  client->Send("a\r\nb\r\nc\r\nd\r\nsecret\r\n");
  std::string got;
  for (int i = 0; i < 4; ++i) {
    got += client->ReadExactly(1);
    got += AfterPause(*client);
  }
  got += client->ReadExactly(kGoodBye.size());
  const std::string expected =
      "*\n\rPassword:*\n\rPassword:*\n\rPassword:*\n\rPassword:" + kGoodBye;
  EXPECT_EQ(got, expected);
  EXPECT_TRUE(client->WaitClosed());
  EXPECT_EQ(client->ReadFor(50), "");
  EXPECT_EQ(terminal->LoggedIn, 0);
  EXPECT_FALSE(terminal->Server.Active());
}

// The count belongs to the terminal: consoles that leave before the answer, or come while a
// pause runs, add to it, and the fourth wrong line in all locks out. The log has the first wrong
// line and one summary.
TEST_F(TerminalTest, WrongPasswordsCountAcrossConnections) {
  auto first = Greeted();
  first->Send("x\r\n");
  EXPECT_EQ(first->ReadExactly(1), "*");
  first->Close();  // gone before the answer: the line counts all the same
  EXPECT_TRUE(loop.RunUntil([&] { return terminal->SessionActive == 0; }));
  EXPECT_EQ(terminal->FailedLogins, 1);

  // A console that comes during the pause waits for it, and gets no answer to the line before.
  auto second = Greeted();
  second->Send("y\r\n");
  EXPECT_EQ(AfterPause(*second, "*"), "*");
  EXPECT_EQ(AfterPause(*second), "\n\rPassword:");
  EXPECT_EQ(Wrong(*second, "z\r\n", "*"), "*\n\rPassword:");
  EXPECT_EQ(terminal->FailedLogins, 3);
  second->Close();
  EXPECT_TRUE(loop.RunUntil([&] { return terminal->SessionActive == 0; }));

  auto third = Greeted();
  EXPECT_EQ(Wrong(*third, "w\r\n", "*", "\n\rPassword:" + kGoodBye), "*\n\rPassword:" + kGoodBye);
  EXPECT_TRUE(third->WaitClosed());
  EXPECT_FALSE(terminal->Server.Active());
  EXPECT_EQ(LogCount("wrong password from"), 1u);
  EXPECT_EQ(LogCount("locked for 180000 ms after 4 wrong passwords from 127.0.0.1 (4)"), 1u);
}

// What the console sends during a pause waits, in the chunks it came in; beyond a few chunks
// the terminal stops reading and the system keeps the rest. Nothing is lost.
TEST_F(TerminalTest, InputDuringThePauseWaits) {
  auto client = Greeted();
  client->Send("x\r\n");
  EXPECT_EQ(client->ReadExactly(1), "*");
  std::string typed;
  for (int i = 0; i < 30; ++i) {
    client->Send("ab");
    typed += "ab";
    EXPECT_EQ(client->ReadFor(5), "");
  }
  EXPECT_TRUE(terminal->Server.Socket().ConnectionAt(0).ReadPaused());
  const std::string expected = "\n\rPassword:" + std::string(typed.size(), '*');
  EXPECT_EQ(AfterPause(*client, expected), expected);
  EXPECT_FALSE(terminal->Server.Socket().ConnectionAt(0).ReadPaused());
  EXPECT_EQ(terminal->LineBuffer, typed);
}

}  // namespace
}  // namespace kov
