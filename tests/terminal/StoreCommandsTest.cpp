// The console commands that work on the configuration store, with their exact replies.
#include <string>

#include "Version.h"
#include "terminal/Listings.h"
#include "tests/terminal/TerminalFixture.h"

namespace kov {
namespace {

const std::string kOk = " OK. \n\rBridge:\\>";
const std::string kBadParams = "TermError: Bad parameters.\n\r\n\rBridge:\\>";
const std::string kNotCommand =
    "The name specified is not recognized as command.\n\r\n\rBridge:\\>";
const std::string kMismatch = "\n\r Passwords do not match.\n\rBridge:\\>";
const std::string kRetype = "<Password> <Retype Password> :";

class StoreCommandsTest : public TerminalTest {
 protected:
  void SetUp() override {
    TerminalTest::SetUp();
    client = LoggedIn();
  }
  // The reply to a line, without the echo of the line itself.
  std::string Reply(const std::string& line) { return ReplyOf(*client, line); }
  // Enters the password change and types the second line; returns the reply to it.
  std::string ChangePassword(const std::string& words) {
    client->Send("Password\r\n");
    EXPECT_EQ(client->ReadExactly(("Password\r\n" + kRetype).size()), "Password\r\n" + kRetype);
    EXPECT_EQ(terminal->PasswordChangeMode, 1);
    client->Send(words + "\r\n");
    const std::string reply = client->ReadThrough("Bridge:\\>");
    EXPECT_EQ(terminal->PasswordChangeMode, 0);
    EXPECT_EQ(terminal->LineBuffer, "");
    return reply;
  }
  std::unique_ptr<TcpClient> client;
};

// Stars for every character but blanks, as the words are echoed.
std::string Stars(const std::string& words) {
  std::string out;
  for (char c : words) out += c == ' ' ? ' ' : '*';
  return out;
}

TEST_F(StoreCommandsTest, PasswordNeedsTheSameWordTwice) {
  EXPECT_EQ(ChangePassword("abc abc"), "*** ***\n\r" + kOk);
  EXPECT_EQ(config.Password, "abc");
  EXPECT_EQ(terminal->LoggedIn, 1);
  for (const std::string words : {"abc abd", "abcd abc", "single", "ABC abc"}) {
    EXPECT_EQ(ChangePassword(words), Stars(words) + kMismatch) << words;
    EXPECT_EQ(config.Password, "abc") << words;
  }
  // A retype that merely begins with the new password confirms nothing.
  EXPECT_EQ(ChangePassword("xyz xyzw"), "*** ****" + kMismatch);
  EXPECT_EQ(config.Password, "abc");
}

TEST_F(StoreCommandsTest, PasswordLinesThatAreNotTwoWords) {
  for (const std::string words : {"", " ", "abc  abc", "abc abc abc", " abc abc", "abc abc  "}) {
    EXPECT_EQ(ChangePassword(words), Stars(words) + kMismatch) << "[" << words << "]";
  }
  EXPECT_EQ(config.Password, "secret");
  // One blank before the line end is no word of its own.
  EXPECT_EQ(ChangePassword("new1 new1 "), "**** **** \n\r" + kOk);
  EXPECT_EQ(config.Password, "new1");
  // Words are cut to 20 characters.
  EXPECT_EQ(ChangePassword(std::string(25, 'p') + " " + std::string(22, 'p')),
            std::string(25, '*') + " " + std::string(22, '*') + "\n\r" + kOk);
  EXPECT_EQ(config.Password, std::string(20, 'p'));
}

TEST_F(StoreCommandsTest, PasswordWordAcceptsAnythingAfterItAndTheNextLoginUsesTheNewOne) {
  const std::string line = "PASSWORD whatever you type\r\n";
  client->Send(line);
  EXPECT_EQ(client->ReadExactly((line + kRetype).size()), line + kRetype);
  client->Send("n3w n3w\r\n");
  EXPECT_EQ(client->ReadThrough("Bridge:\\>"), "*** ***\n\r" + kOk);
  client->Send("Exit\r\n");
  client->WaitClosed();
  loop.AdvanceMs(TBridgeTerminal::kRestartMs);
  auto next = Greeted();
  EXPECT_EQ(Wrong(*next, "secret\r\n", "******"), "******\n\rPassword:");
  next->Send("n3w\r\n");
  EXPECT_EQ(next->ReadExactly(("***" + kLoginReply).size()), "***" + kLoginReply);
}

TEST_F(StoreCommandsTest, SaveConfigWritesTheFile) {
  config.Ports[2].TcpPort = 9003;
  EXPECT_EQ(Reply("SaveConfig"), kOk);
  TConfigFile loaded(dir.Path("BridgeConfig.sys"));
  EXPECT_EQ(loaded.Load(), 0);
  EXPECT_EQ(loaded.Ports[2].TcpPort, 9003);
  EXPECT_EQ(loaded.Password, "secret");
}

TEST(StoreCommandsFileTest, SaveConfigThatCannotWrite) {
  EventLoop loop(EventLoop::Clock::Manual);
  LogSink previous = SetLogSink([](const std::string&) {});
  TConfigFile config("/nonexistent-dir/BridgeConfig.sys");
  config.Password = "pw";
  const int port = FreeTcpPort();
  {
    TBridgeTerminal terminal(loop, config);
    terminal.StartListening(port);
    TcpClient client(loop, port);
    client.ReadThrough("Password:");
    client.Send("pw\r\n");
    client.ReadThrough("Bridge:\\>");
    client.Send("SaveConfig\r\n");
    EXPECT_EQ(client.ReadThrough("Bridge:\\>"),
              "SaveConfig\r\nFileError: Can't open BridgeConfig.sys file !\n\r\n\rBridge:\\>");
    client.Send("LoadConfig\r\n");
    EXPECT_EQ(client.ReadThrough("Bridge:\\>"),
              "LoadConfig\r\nFileError: Can't open BridgeConfig.sys file !\n\r\n\rBridge:\\>");
    EXPECT_EQ(terminal.LoggedIn, 1);
  }
  SetLogSink(previous);
}

TEST_F(StoreCommandsTest, LoadConfigWithWrongData) {
  dir.Write("BridgeConfig.sys", "garbage\r\n");
  EXPECT_EQ(Reply("LoadConfig"),
            "FileError: Wrong data in BridgeConfig.sys file.\n\r\n\rBridge:\\>");
  EXPECT_EQ(terminal->LoggedIn, 1);
}

TEST_F(StoreCommandsTest, ConfigurationPortStoresTheTextAsTyped) {
  EXPECT_EQ(Reply("ConfigurationPort +09000"), kOk);
  EXPECT_EQ(config.ServicePort, "+09000");
  EXPECT_EQ(Reply("ConfigurationPort 9k"), kBadParams);
  EXPECT_EQ(Reply("ConfigurationPort"), kBadParams);
  EXPECT_EQ(Reply("ConfigurationPort 99999999999"), kBadParams);
  EXPECT_EQ(Reply("ConfigurationPort 0x10"), kBadParams);
  EXPECT_EQ(config.ServicePort, "+09000");
  EXPECT_EQ(terminal->Server.Port(), port);  // the listener moves at its next restart only
}

TEST_F(StoreCommandsTest, CommPort) {
  EXPECT_EQ(Reply("CommPort 1 0"), kOk);
  EXPECT_EQ(config.Ports[0].TcpPort, 0);
  EXPECT_EQ(Reply("commport 8 -5"), kOk);
  EXPECT_EQ(config.Ports[7].TcpPort, -5);
  for (const char* line : {"CommPort 9 8809", "CommPort 0 8800", "CommPort 1 abc", "CommPort 1",
                           "CommPort x 8801", "CommPort -2147483648 1", "CommPort 2147483647 1"}) {
    EXPECT_EQ(Reply(line), kBadParams) << line;
  }
  EXPECT_EQ(config.Ports[0].TcpPort, 0);
  EXPECT_EQ(config.Ports[1].TcpPort, 8802);
}

TEST_F(StoreCommandsTest, Baud) {
  EXPECT_EQ(Reply("Baud 1 9600"), kOk);
  EXPECT_EQ(config.Ports[0].SpeedIndex, 5);
  EXPECT_EQ(Reply("Baud 2 3000"), kOk);  // begins with 300
  EXPECT_EQ(config.Ports[1].SpeedIndex, 0);
  EXPECT_EQ(Reply("Baud 8 +115200"), kBadParams);
  for (const char* line : {"Baud 1 14400", "Baud 9 9600", "Baud 1", "Baud 1 9600x", "Baud  1 9600",
                           "Baud 1 09600", "Baud 0 300"}) {
    EXPECT_EQ(Reply(line), kBadParams) << line;
  }
  EXPECT_EQ(config.Ports[0].SpeedIndex, 5);
  EXPECT_EQ(config.Ports[7].SpeedIndex, 9);
}

TEST_F(StoreCommandsTest, Parity) {
  EXPECT_EQ(Reply("Parity 1 O"), kOk);
  EXPECT_EQ(config.Ports[0].ParityIndex, 1);
  EXPECT_EQ(Reply("Parity 3 N"), kOk);
  EXPECT_EQ(config.Ports[2].ParityIndex, 0);
  for (const char* line : {"Parity 1 e", "Parity 1 EO", "Parity 1", "Parity 9 E", "Parity p E"}) {
    EXPECT_EQ(Reply(line), kBadParams) << line;
  }
  EXPECT_EQ(config.Ports[0].ParityIndex, 1);
}

TEST_F(StoreCommandsTest, Accept) {
  EXPECT_EQ(Reply("Accept 1 None1"), kOk);
  EXPECT_EQ(config.AccAddress[0], "None");
  EXPECT_EQ(Reply("Accept 2 127.0.0."), kOk);
  EXPECT_EQ(config.AccAddress[1], "127.0.0.");
  EXPECT_EQ(Reply("Accept 3 abcdefghijklmnopqrstuvwxy"), kOk);
  EXPECT_EQ(config.AccAddress[2], "abcdefghijklmnopqrst");
  for (const char* line : {"Accept 4 1.2.3.4", "Accept x 1.2.3.4", "Accept 0 1.2.3.4"}) {
    EXPECT_EQ(Reply(line), kBadParams) << line;
  }
  // No address would refuse every later connection, this console's included: refused.
  EXPECT_EQ(Reply("Accept 1"), kBadParams);
  EXPECT_EQ(Reply("Accept 1 "), kBadParams);
  EXPECT_EQ(config.AccAddress[0], "None");
  // The next line is handled normally.
  EXPECT_EQ(Reply("Parity 1 E"), kOk);
}

TEST_F(StoreCommandsTest, LinesThatAreNoCommand) {
  EXPECT_EQ(Reply("helpme"), kNotCommand);
  EXPECT_EQ(Reply(" help"), kNotCommand);
  EXPECT_EQ(Reply("Help a b c d e"), kNotCommand);
  EXPECT_EQ(Reply("Help a b c d"), HelpText());
  EXPECT_EQ(Reply("x"), kNotCommand);
  // LF alone: the parameter's last character is taken as the line end.
  client->Send("Stop 1\n");
  EXPECT_EQ(client->ReadThrough("Bridge:\\>"), "Stop 1\n" + kBadParams);
  EXPECT_EQ(terminal->LineBuffer, "");
}

TEST_F(StoreCommandsTest, NumberWithoutHandler) {
  terminal->ExecuteCommand(19, "", "", "", "");
  const std::string expected = "TermError: No Handle Function for Command !\n\r\n\rBridge:\\>";
  EXPECT_EQ(client->ReadExactly(expected.size()), expected);
  terminal->ExecuteCommand(0, "", "", "", "");
  EXPECT_EQ(client->ReadExactly(expected.size()), expected);
}

TEST_F(StoreCommandsTest, Listings) {
  EXPECT_EQ(Reply("help"), HelpText());
  EXPECT_EQ(Reply("About"), AboutText(kVersionMajor, kVersionMinor, kVersionBuild));
  config.Ports[3].Active = 1;
  EXPECT_EQ(Reply("ShowConfig"), ShowConfigText(config));
  EXPECT_NE(ShowConfigText(config).find(" Port 4: Active, TcpIpPort: 8804"), std::string::npos);
}

}  // namespace
}  // namespace kov
