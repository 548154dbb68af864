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
  ConsoleClient client(loop, port);
  EXPECT_TRUE(client.WaitClosed());
  EXPECT_EQ(client.Drain(), "");
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
  ConsoleClient second(loop, port);
  EXPECT_EQ(second.Expect(kBusyText), kBusyText);
  EXPECT_TRUE(second.WaitClosed());
  EXPECT_EQ(terminal->SessionActive, 1);
  EXPECT_EQ(terminal->LoggedIn, 1);
  EXPECT_EQ(first->Drain(), "");
  EXPECT_EQ(Command(*first, "ConfigurationPort 8800"),
            "ConfigurationPort 8800\r\n OK. \n\rBridge:\\>");
}

TEST_F(TerminalTest, SecondConsoleFromAnAddressThatDoesNotPassIsClosedSilently) {
  auto first = Greeted();
  config.AccAddress = {"10.", "None", "None"};
  ConsoleClient second(loop, port);
  EXPECT_TRUE(second.WaitClosed());
  EXPECT_EQ(second.Drain(), "");
  EXPECT_EQ(terminal->SessionActive, 1);
  first->Send("secret\r\n");
  EXPECT_EQ(first->Expect("******" + kLoginReply), "******" + kLoginReply);
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
  ConsoleClient second(loop, port);
  loop.RunUntil([&] { return terminal->Server.Socket().ConnectionCount() == 2; });
  ConsoleClient third(loop, port);
  EXPECT_EQ(third.Expect(kBusyText), kBusyText);
  EXPECT_TRUE(third.WaitClosed());
  EXPECT_EQ(terminal->SessionActive, 1);
  EXPECT_EQ(terminal->LoggedIn, 1);
  EXPECT_EQ(terminal->RemoteAddress, "127.0.0.1");

  config.AccAddress = {"10.", "None", "None"};
  ConsoleClient fourth(loop, port);
  EXPECT_TRUE(fourth.WaitClosed());
  EXPECT_EQ(fourth.Drain(), "");
  EXPECT_EQ(terminal->SessionActive, 1);
  EXPECT_EQ(Command(*first, "Parity 1 N"), "Parity 1 N\r\n OK. \n\rBridge:\\>");
  EXPECT_EQ(second.Drain(), "");
}

TEST_F(TerminalTest, FourWrongPasswordsLockTheListenerOut) {
  auto client = Greeted();
  for (int i = 1; i <= 3; ++i) {
    client->Send("wrong\r\n");
    EXPECT_EQ(client->Expect("*****\n\rPassword:"), "*****\n\rPassword:");
    EXPECT_EQ(terminal->FailedLogins, i);
  }
  client->Send("wrong\r\n");
  const std::string last = "*****\n\rPassword:" + kGoodBye;
  EXPECT_EQ(client->Expect(last), last);
  EXPECT_TRUE(client->WaitClosed());
  EXPECT_EQ(terminal->SessionActive, 0);
  EXPECT_FALSE(terminal->Server.Active());
  EXPECT_TRUE(Logged("locked"));

  loop.AdvanceMs(TBridgeTerminal::kLockOutMs - 1);
  EXPECT_TRUE(ConnectionRefused(port));
  // The idle countdown of the last chunk runs out with the lock-out and closes the listener for
  // the usual restart delay.
  loop.AdvanceMs(1);
  EXPECT_TRUE(ConnectionRefused(port));
  loop.AdvanceMs(TBridgeTerminal::kRestartMs);
  auto again = Greeted();
  EXPECT_EQ(terminal->FailedLogins, 0);
  again->Send("secret\r\n");
  EXPECT_EQ(again->Expect("******" + kLoginReply), "******" + kLoginReply);
}

TEST_F(TerminalTest, LockOutDropsTheRestOfTheChunk) {
  auto client = Greeted();
  client->Send("a\r\nb\r\nc\r\nd\r\nsecret\r\n");
  const std::string expected =
      "*\n\rPassword:*\n\rPassword:*\n\rPassword:*\n\rPassword:" + kGoodBye;
  EXPECT_EQ(client->Expect(expected), expected);
  EXPECT_TRUE(client->WaitClosed());
  EXPECT_EQ(client->Drain(), "");
  EXPECT_EQ(terminal->LoggedIn, 0);
  EXPECT_FALSE(terminal->Server.Active());
}

TEST_F(TerminalTest, WrongPasswordsCountPerSession) {
  auto client = Greeted();
  for (int i = 0; i < 3; ++i) {
    client->Send("x\r\n");
    client->Expect("*\n\rPassword:");
  }
  client->Close();
  loop.RunUntil([&] { return terminal->SessionActive == 0; });
  auto next = Greeted();
  EXPECT_EQ(terminal->FailedLogins, 0);
  next->Send("x\r\n");
  EXPECT_EQ(next->Expect("*\n\rPassword:"), "*\n\rPassword:");
  EXPECT_TRUE(terminal->Server.Active());
}

}  // namespace
}  // namespace kov
