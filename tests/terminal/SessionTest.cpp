// The console session over a real loopback connection: greeting, echo, login, line editing.
#include <string>

#include "Version.h"
#include "tests/terminal/TerminalFixture.h"

namespace kov {
namespace {

const std::string kPasswordPrompt = "\n\rPassword:";

TEST_F(TerminalTest, GreetingCarriesTheVersion) {
  TcpClient client(loop, port);
  const std::string expected = std::string("\xFF\xFE\x01", 3) +
                               "  KOV Bridge Version: Ver.: " + std::to_string(kVersionMajor) +
                               "." + std::to_string(kVersionMinor) + "\n\r\n\rPassword:";
  EXPECT_EQ(client.ReadExactly(expected.size()), expected);
  EXPECT_EQ(terminal->SessionActive, 1);
  EXPECT_EQ(terminal->LoggedIn, 0);
  EXPECT_EQ(terminal->RemoteAddress, "127.0.0.1");
  EXPECT_TRUE(Logged("connected from 127.0.0.1"));
  EXPECT_EQ(client.ReadFor(50), "");
}

TEST_F(TerminalTest, PasswordEchoedAsStarsAndNeedsCrLf) {
  auto client = Greeted();
  // Letters as stars, a blank as a blank, CR and LF not at all; LF alone is refused.
  EXPECT_EQ(Wrong(*client, "se cret\n", "** ****"), "** ****" + kPasswordPrompt);
  EXPECT_EQ(terminal->LoggedIn, 0);
  EXPECT_EQ(terminal->FailedLogins, 1);
  EXPECT_EQ(Wrong(*client, "secret\n", "******"), "******" + kPasswordPrompt);
  EXPECT_EQ(Wrong(*client, "secret \r\n", "****** "), "****** " + kPasswordPrompt);
  EXPECT_EQ(terminal->FailedLogins, 3);
  client->Send("secret\r\n");
  EXPECT_EQ(client->ReadExactly(("******" + kLoginReply).size()), "******" + kLoginReply);
  EXPECT_EQ(terminal->LoggedIn, 1);
  EXPECT_TRUE(Logged("login from 127.0.0.1"));
  // In command mode every character is echoed as itself, CR and LF included.
  client->Send("Abc\r\n");
  EXPECT_EQ(client->ReadThrough("Bridge:\\>"),
            "Abc\r\nThe name specified is not recognized as command.\n\r\n\rBridge:\\>");
}

TEST_F(TerminalTest, PasswordIsCaseSensitiveAndEmptyPasswordMatchesNothing) {
  config.Password = "";
  auto client = Greeted();
  EXPECT_EQ(Wrong(*client, "\r\n", ""), kPasswordPrompt);
  config.Password = "secret";
  EXPECT_EQ(Wrong(*client, "SECRET\r\n", "******"), "******" + kPasswordPrompt);
  EXPECT_EQ(terminal->LoggedIn, 0);
}

TEST_F(TerminalTest, BackspaceEditsTheLine) {
  auto client = Greeted();
  client->Send("\b");  // nothing to remove: nothing sent
  EXPECT_EQ(client->ReadFor(50), "");
  // At the password prompt too: "secrex" then a backspace and "t".
  client->Send("secrex\bt\r\n");
  EXPECT_EQ(client->ReadExactly(("******\b \b*" + kLoginReply).size()),
            "******\b \b*" + kLoginReply);
  client->Send("ab\b");
  EXPECT_EQ(client->ReadExactly(5), "ab\b \b");
  EXPECT_EQ(terminal->LineBuffer, "a");
  client->Send("\b\b\b");
  EXPECT_EQ(client->ReadExactly(3), "\b \b");
  EXPECT_EQ(client->ReadFor(50), "");
  EXPECT_EQ(terminal->LineBuffer, "");
  // DEL is an ordinary character.
  client->Send("\x7F\r\n");
  EXPECT_EQ(client->ReadThrough("Bridge:\\>"),
            "\x7F\r\nThe name specified is not recognized as command.\n\r\n\rBridge:\\>");
}

TEST_F(TerminalTest, EmptyLineGivesThePromptAndDropsTheRestOfTheChunk) {
  auto client = LoggedIn();
  client->Send("\r\nHelp\r\n");
  EXPECT_EQ(client->ReadExactly(11), "\r\nBridge:\\>");
  EXPECT_EQ(client->ReadFor(50), "");
  EXPECT_EQ(terminal->LineBuffer, "");
}

TEST_F(TerminalTest, TwoLinesInOneChunkRunBoth) {
  auto client = LoggedIn();
  client->Send("ConfigurationPort 9100\r\nCommPort 2 9002\r\n");
  const std::string expected =
      "ConfigurationPort 9100\r\n OK. \n\rBridge:\\>CommPort 2 9002\r\n OK. \n\rBridge:\\>";
  EXPECT_EQ(client->ReadExactly(expected.size()), expected);
  EXPECT_EQ(config.ServicePort, "9100");
  EXPECT_EQ(config.Ports[1].TcpPort, 9002);
}

TEST_F(TerminalTest, TwoHundredthCharacterOfALineIsRefused) {
  auto client = LoggedIn();
  const std::string held(199, 'x');
  client->Send(held);
  EXPECT_EQ(client->ReadExactly(held.size()), held);
  EXPECT_EQ(terminal->LineBuffer.size(), 199u);
  client->Send("yz\r\n");
  const std::string expected =
      "\n\rThe name specified is not recognized as command.\n\r\n\rBridge:\\>";
  EXPECT_EQ(client->ReadExactly(expected.size()), expected);
  EXPECT_EQ(client->ReadFor(50), "");  // the rest of the chunk went with the line
  EXPECT_EQ(terminal->LineBuffer, "");
  // 197 characters and CR LF make the longest line that is still taken.
  client->Send(std::string(197, 'h') + "\r\n");
  EXPECT_EQ(client->ReadThrough("Bridge:\\>"), std::string(197, 'h') + "\r\n" +
                                                   "The name specified is not recognized as "
                                                   "command.\n\r\n\rBridge:\\>");
}

TEST_F(TerminalTest, OnlyTwoHundredCharactersOfAChunkAreTaken) {
  auto client = Greeted();
  const std::string expected = std::string(150, '*') + kPasswordPrompt + std::string(48, '*');
  EXPECT_EQ(Wrong(*client, std::string(150, 'a') + "\r\n" + std::string(98, 'b'),
                  std::string(150, '*'), kPasswordPrompt + std::string(48, '*')),
            expected);
  EXPECT_EQ(client->ReadFor(50), "");
  EXPECT_EQ(terminal->LineBuffer, std::string(48, 'b'));
}

TEST_F(TerminalTest, OtherBytesAreOrdinaryCharacters) {
  auto client = LoggedIn();
  const std::string odd("\xFF\xFD\x01\t\0", 5);
  client->Send(odd + "\r\n");
  EXPECT_EQ(client->ReadThrough("Bridge:\\>"),
            odd + "\r\nThe name specified is not recognized as command.\n\r\n\rBridge:\\>");
}

}  // namespace
}  // namespace kov
