// Start-up and shutdown order of the application object on the manual clock.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "app/Application.h"
#include "config/ConfigFile.h"
#include "tests/support/MemorySerial.h"
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

}  // namespace
}  // namespace kov
