// The listener keeps the console reachable when the stored port cannot be listened on.
#include <string>

#include "tests/support/LogCapture.h"
#include "tests/terminal/TerminalFixture.h"

namespace kov {
namespace {

void ExitConsole(TcpClient& client) {
  client.Send("Exit\r\n");
  client.WaitClosed();
}

TEST_F(TerminalTest, PortHeldByAnotherProgramFallsBackToThePreviousPort) {
  const int heldPort = FreeTcpPort();
  TcpListener other(heldPort);
  ASSERT_TRUE(other.Ok());
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

// A stored text that is no usable port: shown once, and the console stays on the port it had.
TEST_F(TerminalTest, StoredPortThatIsNoUsablePortFallsBackToThePreviousPort) {
  for (const std::string text : {"88x0", "0"}) {
    auto client = LoggedIn();
    config.ServicePort = text;  // as a hand-edited file or ConfigurationPort could hold it
    ExitConsole(*client);
    loop.AdvanceMs(TBridgeTerminal::kRestartMs);
    ASSERT_EQ(errors.size(), 1u) << text;
    EXPECT_EQ(errors[0], "'" + text + "' is not a valid port number");
    EXPECT_TRUE(terminal->Server.Active());
    EXPECT_EQ(terminal->Server.Port(), port);
    errors.clear();
  }
  auto next = Greeted();
}

TEST_F(TerminalTest, ListenerRetriesWhileNeitherPortCanBeHad) {
  const int heldPort = FreeTcpPort();
  TcpListener other(heldPort);
  auto client = LoggedIn();
  Command(*client, "ConfigurationPort " + std::to_string(heldPort));
  ExitConsole(*client);
  // The listener is closed now; another program takes its old port too.
  TcpListener old(port);
  ASSERT_TRUE(old.Ok());
  loop.AdvanceMs(TBridgeTerminal::kRestartMs);
  EXPECT_FALSE(terminal->Server.Active());
  EXPECT_EQ(errors.size(), 1u);  // shown once, not at every retry
  loop.AdvanceMs(TBridgeTerminal::kRestartMs * 3);
  EXPECT_FALSE(terminal->Server.Active());
  EXPECT_EQ(errors.size(), 1u);

  other.Close();
  loop.AdvanceMs(TBridgeTerminal::kRestartMs);
  EXPECT_TRUE(terminal->Server.Active());
  EXPECT_EQ(terminal->Server.Port(), heldPort);
  port = heldPort;
  auto next = Greeted();
}

// A terminal that has not listened yet, as at start-up.
class TerminalStartTest : public ::testing::Test {
 protected:
  TerminalStartTest() {
    loop.SetErrorHandler([this](const std::string& text) { errors.push_back(text); });
  }
  EventLoop loop{EventLoop::Clock::Manual};
  std::vector<std::string> errors;
  LogCapture log;
  TConfigFile config{"/nonexistent/BridgeConfig.sys"};
};

TEST_F(TerminalStartTest, StartUpOnAPortThatCannotBeHadRetries) {
  const int port = FreeTcpPort();
  TcpListener other(port);
  TBridgeTerminal terminal(loop, config);
  terminal.StartListening(port);
  EXPECT_FALSE(terminal.Server.Active());
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_NE(errors[0].find("on API 'bind'"), std::string::npos);
  EXPECT_TRUE(terminal.RestartTimer.Enabled());
  loop.AdvanceMs(TBridgeTerminal::kRestartMs);
  EXPECT_FALSE(terminal.Server.Active());
  other.Close();
  loop.AdvanceMs(TBridgeTerminal::kRestartMs);
  EXPECT_TRUE(terminal.Server.Active());
  EXPECT_EQ(errors.size(), 1u);
  TcpClient client(loop, port);
  EXPECT_EQ(client.ReadThrough("Password:").substr(0, 3), "\xFF\xFE\x01");
}

// At start-up there is no earlier port: a stored text that is no usable port is shown and the
// console takes the default port.
TEST_F(TerminalStartTest, StartUpWithABadServicePortTakesTheDefaultPort) {
  for (const auto& [text, error] : {std::pair{"88x0", "'88x0' is not a valid integer value"},
                                    std::pair{"0", "'0' is not a valid port number"},
                                    std::pair{"65536", "'65536' is not a valid port number"}}) {
    errors.clear();
    TBridgeTerminal terminal(loop, config);
    terminal.StartListening(std::string(text));
    ASSERT_FALSE(errors.empty()) << text;
    EXPECT_EQ(errors[0], error);
    EXPECT_EQ(terminal.Server.Port(), ConsoleListener::kDefaultPort);
    if (!terminal.Server.Active()) {
      // Other tests listen on the default port now and then; that is not this rule failing.
      TcpListener probe(ConsoleListener::kDefaultPort);
      if (probe.Ok()) ADD_FAILURE() << text << ": not listening on the default port";
    }
  }
}

}  // namespace
}  // namespace kov
