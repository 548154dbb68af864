// The listener keeps the console reachable when the stored port cannot be listened on.
#include <string>

#include "tests/terminal/TerminalFixture.h"

namespace kov {
namespace {

void ExitConsole(ConsoleClient& client) {
  client.Send("Exit\r\n");
  client.WaitClosed();
}

TEST_F(TerminalTest, PortHeldByAnotherProgramFallsBackToThePreviousPort) {
  const int heldPort = FreePort();
  TestListener other(heldPort);
  ASSERT_TRUE(other.Held());
  auto client = LoggedIn();
  const std::string line = "ConfigurationPort " + std::to_string(heldPort);
  EXPECT_EQ(Command(*client, line), line + "\r\n OK. \n\rBridge:\\>");
  ExitConsole(*client);
  loop.AdvanceMs(TBridgeTerminal::kRestartMs);
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_NE(errors[0].find("(10048), on API 'bind'"), std::string::npos) << errors[0];
  EXPECT_TRUE(terminal->Server.Active());
  EXPECT_EQ(terminal->Server.Port(), port);
  auto next = LoggedIn();
  EXPECT_EQ(config.ServicePort, std::to_string(heldPort));  // the stored text is left alone
}

TEST_F(TerminalTest, StoredPortThatIsNoNumberFallsBackToThePreviousPort) {
  auto client = LoggedIn();
  config.ServicePort = "88x0";  // as a hand-edited file could hold it
  ExitConsole(*client);
  loop.AdvanceMs(TBridgeTerminal::kRestartMs);
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0], "'88x0' is not a valid port number");
  EXPECT_TRUE(terminal->Server.Active());
  auto next = Greeted();
}

TEST_F(TerminalTest, StoredPortOutOfRangeFallsBackToThePreviousPort) {
  auto client = LoggedIn();
  EXPECT_EQ(Command(*client, "ConfigurationPort 0"), "ConfigurationPort 0\r\n OK. \n\rBridge:\\>");
  ExitConsole(*client);
  loop.AdvanceMs(TBridgeTerminal::kRestartMs);
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(terminal->Server.Port(), port);
  auto next = Greeted();
}

TEST_F(TerminalTest, ListenerRetriesWhileNeitherPortCanBeHad) {
  const int heldPort = FreePort();
  TestListener other(heldPort);
  auto client = LoggedIn();
  Command(*client, "ConfigurationPort " + std::to_string(heldPort));
  ExitConsole(*client);
  // The listener is closed now; another program takes its old port too.
  TestListener old(port);
  ASSERT_TRUE(old.Held());
  loop.AdvanceMs(TBridgeTerminal::kRestartMs);
  EXPECT_FALSE(terminal->Server.Active());
  EXPECT_EQ(errors.size(), 1u);  // shown once, not at every retry
  loop.AdvanceMs(TBridgeTerminal::kRestartMs * 3);
  EXPECT_FALSE(terminal->Server.Active());
  EXPECT_EQ(errors.size(), 1u);

  other.Release();
  loop.AdvanceMs(TBridgeTerminal::kRestartMs);
  EXPECT_TRUE(terminal->Server.Active());
  EXPECT_EQ(terminal->Server.Port(), heldPort);
  port = heldPort;
  auto next = Greeted();
}

TEST(TerminalStartTest, StartUpOnAPortThatCannotBeHadRetries) {
  EventLoop loop(EventLoop::Clock::Manual);
  std::vector<std::string> errors;
  loop.SetErrorHandler([&](const std::string& text) { errors.push_back(text); });
  LogSink previous = SetLogSink([](const std::string&) {});
  TConfigFile config("/nonexistent/BridgeConfig.sys");
  const int port = FreePort();
  TestListener other(port);
  {
    TBridgeTerminal terminal(loop, config);
    terminal.StartListening(port);
    EXPECT_FALSE(terminal.Server.Active());
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_NE(errors[0].find("on API 'bind'"), std::string::npos);
    EXPECT_TRUE(terminal.RestartTimer.Enabled());
    loop.AdvanceMs(TBridgeTerminal::kRestartMs);
    EXPECT_FALSE(terminal.Server.Active());
    other.Release();
    loop.AdvanceMs(TBridgeTerminal::kRestartMs);
    EXPECT_TRUE(terminal.Server.Active());
    EXPECT_EQ(errors.size(), 1u);
    ConsoleClient client(loop, port);
    EXPECT_EQ(client.ReadThrough("Password:").substr(0, 3), "\xFF\xFE\x01");
  }
  SetLogSink(previous);
}

}  // namespace
}  // namespace kov
