#pragma once
// A terminal on a manual-clock loop, listening on a free port, with its log and error box
// captured, and helpers that bring a console to the password prompt or to command mode.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "config/ConfigFile.h"
#include "event/EventLoop.h"
#include "event/Log.h"
#include "terminal/Terminal.h"
#include "tests/support/TempDir.h"
#include "tests/terminal/ConsoleClient.h"

namespace kov {

inline const std::string kGreeting =
    std::string("\xFF\xFE\x01", 3) + "  KOV Bridge Version: Ver.: ";
inline const std::string kLoginReply = "\n\r\n\rBridge:\\>";

class TerminalTest : public ::testing::Test {
 protected:
  void SetUp() override {
    previousSink_ = SetLogSink([this](const std::string& line) { log.push_back(line); });
    loop.SetErrorHandler([this](const std::string& text) { errors.push_back(text); });
    config.Password = "secret";
    port = FreePort();
    config.ServicePort = std::to_string(port);
    terminal = std::make_unique<TBridgeTerminal>(loop, config);
    terminal->StartListening(port);
  }
  void TearDown() override {
    terminal.reset();
    SetLogSink(previousSink_);
  }

  // A console that has received the whole greeting.
  std::unique_ptr<ConsoleClient> Greeted() {
    auto client = std::make_unique<ConsoleClient>(loop, port);
    EXPECT_TRUE(client->Connected());
    const std::string greeting = client->ReadThrough("Password:");
    EXPECT_EQ(greeting.substr(0, kGreeting.size()), kGreeting);
    return client;
  }
  // A console in command mode.
  std::unique_ptr<ConsoleClient> LoggedIn() {
    auto client = Greeted();
    client->Send("secret\r\n");
    EXPECT_EQ(client->Expect("******" + kLoginReply), "******" + kLoginReply);
    return client;
  }
  // The answer to a wrong password line: nothing until the pause is over, then expected.
  std::string AfterPause(ConsoleClient& client, const std::string& expected = "\n\rPassword:") {
    EXPECT_EQ(client.Drain(), "");
    loop.AdvanceMs(TBridgeTerminal::kWrongPasswordPauseMs);
    return client.Expect(expected);
  }
  // Types a wrong password line: its echo comes at once, the answer after the pause.
  std::string Wrong(ConsoleClient& client, const std::string& line, const std::string& echo,
                    const std::string& answer = "\n\rPassword:") {
    client.Send(line);
    std::string got = client.Expect(echo);
    return got + AfterPause(client, answer);
  }
  // Types a command line in command mode and returns everything up to the next prompt, the
  // echo of the line included.
  std::string Command(ConsoleClient& client, const std::string& line) {
    client.Send(line + "\r\n");
    return client.ReadThrough("Bridge:\\>");
  }
  // The reply to a command line, without the echo of the line (which is checked).
  std::string ReplyOf(ConsoleClient& client, const std::string& line) {
    const std::string all = Command(client, line);
    const std::string echo = line + "\r\n";
    EXPECT_EQ(all.substr(0, echo.size()), echo);
    return all.substr(std::min(echo.size(), all.size()));
  }
  size_t LogCount(const std::string& part) const {
    return std::count_if(log.begin(), log.end(), [&](const std::string& line) {
      return line.find(part) != std::string::npos;
    });
  }
  bool Logged(const std::string& part) const { return LogCount(part) > 0; }

  EventLoop loop{EventLoop::Clock::Manual};
  TempDir dir;
  TConfigFile config{dir.Path("BridgeConfig.sys")};
  std::unique_ptr<TBridgeTerminal> terminal;
  int port = 0;
  std::vector<std::string> log;
  std::vector<std::string> errors;

 private:
  LogSink previousSink_;
};

}  // namespace kov
