#pragma once
// A terminal on a manual-clock loop, listening on a free port, with its log and error box
// captured, and helpers that bring a console to the password prompt or to command mode.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "config/ConfigFile.h"
#include "event/EventLoop.h"
#include "terminal/Terminal.h"
#include "tests/support/LogCapture.h"
#include "tests/support/TcpClient.h"
#include "tests/support/TempDir.h"

namespace kov {

inline const std::string kGreeting =
    std::string("\xFF\xFE\x01", 3) + "  KOV Bridge Version: Ver.: ";
inline const std::string kLoginReply = "\n\r\n\rBridge:\\>";

class TerminalTest : public ::testing::Test {
 protected:
  void SetUp() override {
    loop.SetErrorHandler([this](const std::string& text) { errors.push_back(text); });
    config.Password = "secret";
    port = FreeTcpPort();
    config.ServicePort = std::to_string(port);
    terminal = std::make_unique<TBridgeTerminal>(loop, config);
    terminal->StartListening(port);
  }
  void TearDown() override { terminal.reset(); }

  // A console that has received the whole greeting.
  std::unique_ptr<TcpClient> Greeted() {
    auto client = std::make_unique<TcpClient>(loop, port);
    EXPECT_TRUE(client->Connected());
    const std::string greeting = client->ReadThrough("Password:");
    EXPECT_EQ(greeting.substr(0, kGreeting.size()), kGreeting);
    return client;
  }
  // A console in command mode.
  std::unique_ptr<TcpClient> LoggedIn() {
    auto client = Greeted();
    client->Send("secret\r\n");
    EXPECT_EQ(client->ReadExactly(("******" + kLoginReply).size()), "******" + kLoginReply);
    return client;
  }
  // The answer to a wrong password line: nothing until the pause is over, then expected.
  std::string AfterPause(TcpClient& client, const std::string& expected = "\n\rPassword:") {
    EXPECT_EQ(client.ReadFor(50), "");
    loop.AdvanceMs(TBridgeTerminal::kWrongPasswordPauseMs);
    return client.ReadExactly(expected.size());
  }
  // Types a wrong password line: its echo comes at once, the answer after the pause.
  std::string Wrong(TcpClient& client, const std::string& line, const std::string& echo,
                    const std::string& answer = "\n\rPassword:") {
    client.Send(line);
    std::string got = client.ReadExactly(echo.size());
    return got + AfterPause(client, answer);
  }
  // Types a command line in command mode and returns everything up to the next prompt, the
  // echo of the line included.
  std::string Command(TcpClient& client, const std::string& line) {
    client.Send(line + "\r\n");
    return client.ReadThrough("Bridge:\\>");
  }
  // The reply to a command line, without the echo of the line (which is checked).
  std::string ReplyOf(TcpClient& client, const std::string& line) {
    const std::string all = Command(client, line);
    const std::string echo = line + "\r\n";
    EXPECT_EQ(all.substr(0, echo.size()), echo);
    return all.substr(std::min(echo.size(), all.size()));
  }
  size_t LogCount(const std::string& part) const { return log.Count(part); }
  bool Logged(const std::string& part) const { return LogCount(part) > 0; }

  EventLoop loop{EventLoop::Clock::Manual};
  TempDir dir;
  TConfigFile config{dir.Path("BridgeConfig.sys")};
  std::unique_ptr<TBridgeTerminal> terminal;
  int port = 0;
  LogCapture log;
  std::vector<std::string> errors;
};

}  // namespace kov
