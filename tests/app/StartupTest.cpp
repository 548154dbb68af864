// Start-up and shutdown order of the application object on the manual clock, and the whole
// system torn down in use.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "app/Application.h"
#include "bridge/BridgeClientChanel.h"
#include "config/ConfigFile.h"
#include "terminal/Terminal.h"
#include "tests/support/ActivePortDir.h"
#include "tests/support/LogCapture.h"
#include "tests/support/MemorySerial.h"
#include "tests/support/TcpClient.h"
#include "tests/support/TempDir.h"

namespace kov {
namespace {

struct HookLog {
  std::vector<std::string> calls;
  WindowHooks Hooks(bool trayMissing = false) {
    WindowHooks h;
    h.TrayAreaMissing = [this, trayMissing] {
      calls.push_back("tray-test");
      return trayMissing;
    };
    h.AddIcon = [this] { calls.push_back("add-icon"); };
    h.DeleteIcon = [this] { calls.push_back("delete-icon"); };
    h.ShowSplash = [this] { calls.push_back("show-splash"); };
    h.HideSplash = [this] { calls.push_back("hide-splash"); };
    return h;
  }
};

TEST(Startup, OrderAndTimingOnTheManualClock) {
  TempDir dir;
  EventLoop loop(EventLoop::Clock::Manual);
  MemorySerial serial(loop);
  HookLog log;
  Application app(loop, serial, log.Hooks(), dir.Path("BridgeConfig.sys"));
  app.Start();
  EXPECT_EQ(log.calls, (std::vector<std::string>{"tray-test", "add-icon", "show-splash"}));
  EXPECT_TRUE(app.SplashVisible);
  EXPECT_EQ(app.ConfigFile, nullptr);

  loop.AdvanceMs(99);
  EXPECT_EQ(app.ConfigFile, nullptr) << "start-up runs 100 ms after the loop starts";
  loop.AdvanceMs(1);
  ASSERT_NE(app.ConfigFile, nullptr);
  EXPECT_TRUE(app.StartedUp);
  EXPECT_EQ(app.ConfigFile->Password, "PZQ");
  EXPECT_EQ(app.ConfigFile->ServicePort, "8800");
  EXPECT_FALSE(app.TimerStartApp.Enabled()) << "the start-up timer is one-shot";

  loop.AdvanceMs(2999);
  EXPECT_TRUE(app.SplashVisible);
  loop.AdvanceMs(1);
  EXPECT_FALSE(app.SplashVisible);
  EXPECT_EQ(log.calls.back(), "hide-splash");
  loop.AdvanceMs(60000);
  EXPECT_EQ(std::count(log.calls.begin(), log.calls.end(), "hide-splash"), 1)
      << "the splash is hidden once and never shown again";

  // Nothing was written to the disc.
  EXPECT_FALSE(std::filesystem::exists(dir.Path("BridgeConfig.sys")));

  app.Close();
  EXPECT_TRUE(loop.QuitRequested());
  app.Teardown();
  app.Teardown();
  EXPECT_EQ(app.FormDestroyRuns, 1);
  EXPECT_EQ(log.calls.back(), "delete-icon");
  EXPECT_EQ(app.ConfigFile, nullptr);
}

TEST(Startup, NoTrayAreaMeansNoIconAddedOrDeleted) {
  TempDir dir;
  EventLoop loop(EventLoop::Clock::Manual);
  MemorySerial serial(loop);
  HookLog log;
  Application app(loop, serial, log.Hooks(true), dir.Path("BridgeConfig.sys"));
  app.Start();
  EXPECT_EQ(app.NoTrayIcon, 1);
  loop.AdvanceMs(200);
  app.Close();
  app.Teardown();
  EXPECT_EQ(std::count(log.calls.begin(), log.calls.end(), "add-icon"), 0);
  EXPECT_EQ(std::count(log.calls.begin(), log.calls.end(), "delete-icon"), 0);
}

TEST(Startup, BadPortLineLoadsUpToItAndStartupGoesOn) {
  TempDir dir;
  std::string file =
      "- Password:\r\nsecret\r\n- ServicePort:\r\n8811\r\n- Accept TCP/IP Address:\r\n"
      "None\r\nNone\r\nNone\r\n";
  for (int n = 1; n <= 8; ++n) {
    file += "- Port " + std::to_string(n) + ":\r\nIdle\r\n" + std::to_string(9000 + n) + "\r\n";
    file += (n == 3 ? "fast" : "9600");
    file += "\r\nN\r\n";
  }
  dir.Write("BridgeConfig.sys", file);
  EventLoop loop(EventLoop::Clock::Manual);
  MemorySerial serial(loop);
  Application app(loop, serial, {}, dir.Path("BridgeConfig.sys"));
  app.Start();
  loop.AdvanceMs(100);
  ASSERT_NE(app.ConfigFile, nullptr);
  EXPECT_EQ(app.ConfigFile->Password, "secret");
  EXPECT_EQ(app.ConfigFile->Ports[1].SpeedIndex, 5);
  EXPECT_EQ(app.ConfigFile->Ports[2].TcpPort, 9003);
  EXPECT_EQ(app.ConfigFile->Ports[2].SpeedIndex, 9) << "the failing line and after keep defaults";
  EXPECT_EQ(app.ConfigFile->Ports[3].TcpPort, 8804);
  loop.AdvanceMs(3000);
  EXPECT_FALSE(app.SplashVisible);
}

// Torn down with a console logged in, a client bridged and the remote link connected: the client
// gets the B02 notice, then the console its goodbye, each with an orderly close, and the link's
// server sees its connection end. Every object is released before what it refers to, whatever a
// handler run on the way reads (the address sanitizer build reports a use after release).
TEST(Startup, TeardownOfTheWholeSystemInUse) {
  ActivePortDir work;  // COM1 active; the in-memory serial layer plays its device
  ASSERT_TRUE(work.saved);
  LogCapture log;  // quiet
  EventLoop loop(EventLoop::Clock::Manual);
  MemorySerial serial(loop);
  TcpListener server("127.0.0.1", 0);  // the remote bridge server
  Application app(loop, serial, {}, work.dir.Path("BridgeConfig.sys"));
  app.Start();
  loop.AdvanceMs(100);
  app.ClientChanel->RemotePort = server.Port();

  const std::string ok = " OK. \n\rBridge:\\>";
  TcpClient console(loop, work.consolePort);
  console.ReadThrough("Password:");
  console.Send("PZQ\r\n");
  console.ReadThrough("Bridge:\\>");
  console.Send("ConnectServer 2 127.0.0.1\r\n");
  ASSERT_EQ(console.ReadThrough(ok), "ConnectServer 2 127.0.0.1\r\n" + ok);
  TcpClient link = server.Accept(loop);
  console.Send("Start 1\r\n");
  ASSERT_EQ(console.ReadThrough(ok), "Start 1\r\n" + ok);
  TcpClient client(loop, work.com1Port);
  ASSERT_EQ(client.ReadExactly(20), std::string("\nB01S00A3\r\vB01S00A3\r", 20));
  ASSERT_EQ(app.ClientChanel->Connected, 1);

  // FormDestroy's order: the channels are closed while the console still listens.
  bool consoleListeningAtChannelClose = false;
  LogSink previous = SetLogSink([&](const std::string& line) {
    if (line.find("COM1: bridge closed") == std::string::npos) return;
    consoleListeningAtChannelClose = app.BridgeTerminal && app.BridgeTerminal->Server.Active();
  });
  app.Close();
  app.Teardown();
  SetLogSink(previous);
  EXPECT_TRUE(consoleListeningAtChannelClose);
  std::string rest;
  EXPECT_TRUE(client.WaitClosed(5000, &rest));
  EXPECT_EQ(rest, std::string("\nB02S00A4\r\vB02S00A4\r", 20));
  EXPECT_FALSE(client.WasReset());
  rest.clear();
  EXPECT_TRUE(console.WaitClosed(5000, &rest));
  EXPECT_EQ(rest, "\n\r\n\rProgram KOV Bridge terminated !");
  EXPECT_FALSE(console.WasReset());
  EXPECT_TRUE(link.WaitClosed());
  EXPECT_EQ(app.BridgeTerminal, nullptr);
  EXPECT_EQ(app.ConfigFile, nullptr);
}

}  // namespace
}  // namespace kov
