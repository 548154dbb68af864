// Reaching the status window: restored from minimised by the tray menu and the double click,
// shown in place of a missing tray icon; and the desktop program refusing to start without a
// display or in a working directory another program holds.
#include <gtest/gtest.h>

#include <QSystemTrayIcon>
#include <map>

#include "app/Application.h"
#include "bridge/MemorySerial.h"
#include "gui/BridgeFrm.h"
#include "gui/Dialogs.h"
#include "gui/DisplayCheck.h"
#include "gui/FormStatus.h"
#include "tests/gui/GuiTestSupport.h"
#include "tests/support/ActivePortDir.h"
#include "tests/support/LogCapture.h"
#include "tests/support/Program.h"
#include "tests/support/TempDir.h"

namespace kov {
namespace {

struct Windows : testing::Test {
  TFormStatus status;
  TBridgeFrm frm{status};
  int closes = 0;
  void SetUp() override {
    frm.OnCloseConfirmed = [this] { ++closes; };
  }
  void TearDown() override {
    status.OnCloseRequest = nullptr;
    status.hide();
    frm.hide();
  }
  void Minimise() {
    status.ShowAndRaise();
    status.setWindowState(status.windowState() | Qt::WindowMinimized);
    ASSERT_TRUE(status.isMinimized());
  }
};

TEST_F(Windows, ShowStatusAndTheDoubleClickRestoreAMinimisedStatusWindow) {
  Minimise();
  frm.ShowStatus->trigger();
  EXPECT_TRUE(status.isVisible());
  EXPECT_FALSE(status.isMinimized()) << "Show Status left the window minimised";

  Minimise();
  frm.TrayIconMessage(QSystemTrayIcon::DoubleClick);
  EXPECT_TRUE(status.isVisible());
  EXPECT_FALSE(status.isMinimized()) << "the double click left the window minimised";
}

TEST_F(Windows, WithoutATrayTheStatusWindowStandsInForTheIcon) {
  ASSERT_FALSE(QSystemTrayIcon::isSystemTrayAvailable())
      << "the offscreen platform has no tray; this test needs none";
  LogCapture log;
  TempDir dir;
  EventLoop loop(EventLoop::Clock::Manual);
  MemorySerial serial(loop);
  Application app(loop, serial, frm.Hooks(), dir.Path("BridgeConfig.sys"));
  app.FormCreate();
  EXPECT_EQ(app.NoTrayIcon, 1);
  EXPECT_FALSE(frm.TrayIcon->isVisible());
  EXPECT_TRUE(status.isVisible());
  EXPECT_EQ(log.Count("no system tray available"), 1u) << log.All();

  // Closing it asks whether to end the program: No keeps the window, Yes ends the program.
  WhenModalOpens([](QWidget* modal) { SendKey(modal, Qt::Key_Escape); });
  status.close();
  EXPECT_TRUE(status.isVisible());
  EXPECT_EQ(closes, 0);
  WhenModalOpens([](QWidget* modal) { SendKey(modal, Qt::Key_Return); });
  status.close();
  EXPECT_EQ(closes, 1);
  app.Teardown();
}

TEST_F(Windows, WithATrayClosingTheStatusWindowOnlyHidesIt) {
  status.ShowAndRaise();
  status.close();
  EXPECT_FALSE(status.isVisible());
  EXPECT_EQ(closes, 0);
}

TEST(DisplayCheck, ADisplayOrAPlatformThatNeedsNoneIsEnough) {
  auto check = [](std::map<std::string, std::string> vars) {
    return MissingDisplay([vars](const char* name) -> const char* {
      auto it = vars.find(name);
      return it == vars.end() ? nullptr : it->second.c_str();
    });
  };
  std::string none = check({});
  EXPECT_NE(none.find("no display found"), std::string::npos);
  EXPECT_NE(none.find("headless kovbridge"), std::string::npos);
  EXPECT_EQ(check({{"DISPLAY", ""}, {"XDG_RUNTIME_DIR", "/nonexistent"}}), none);
  EXPECT_EQ(check({{"DISPLAY", ":0"}}), "");
  EXPECT_EQ(check({{"WAYLAND_DISPLAY", "wayland-1"}}), "");
  EXPECT_EQ(check({{"QT_QPA_PLATFORM", "offscreen"}}), "");
  EXPECT_EQ(check({{"QT_QPA_PLATFORM", "vnc"}}), "");
  EXPECT_EQ(check({{"QT_QPA_PLATFORM", "xcb"}}), none);
  EXPECT_EQ(check({{"QT_QPA_PLATFORM", "wayland;xcb"}}), none);
  EXPECT_EQ(check({{"QT_QPA_PLATFORM", "xcb"}, {"DISPLAY", ":1"}}), "");
  TempDir runtime;
  runtime.Write("wayland-0", "");
  EXPECT_EQ(check({{"XDG_RUNTIME_DIR", runtime.Root()}}), "");
}

const std::vector<std::string> kNoDisplay = {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM",
                                             "XDG_RUNTIME_DIR"};

TEST(DesktopProgram, WithoutADisplayItSaysSoAndExitsWithStatusOne) {
  TempDir dir;
  Program program(ProgramPath("kovbridge-gui"), dir.Root(), {}, kNoDisplay);
  EXPECT_EQ(program.Wait(), 1) << program.Stderr();
  EXPECT_EQ(program.Stderr(),
            "kovbridge-gui: no display found (DISPLAY and WAYLAND_DISPLAY are not set); the "
            "headless kovbridge serves the same bridges without one\n");
  EXPECT_EQ(program.Stdout(), "");

  Program help(ProgramPath("kovbridge-gui"), dir.Root(), {"--help"}, kNoDisplay);
  EXPECT_EQ(help.Wait(), 0) << "--help needs no display";
}

TEST(DesktopProgram, InADirectoryAnotherProgramHoldsItNamesTheHolder) {
  ActivePortDir work;
  ASSERT_TRUE(work.saved);
  TempDir logs;
  // The headless program holds the directory; its log goes elsewhere.
  Program first("/bin/sh", logs.Root(),
                {"-c", "cd '" + work.dir.Root() + "' && exec '" + ProgramPath("kovbridge") +
                           "' 2>'" + logs.Path("first.err") + "'"});
  auto firstLog = [&] { return logs.Read("first.err"); };
  ASSERT_TRUE(ProcessUntil([&] { return firstLog().find("starting") != std::string::npos; }))
      << firstLog();

  Program second(ProgramPath("kovbridge-gui"), work.dir.Root(), {}, {"QT_QPA_PLATFORM=offscreen"});
  std::string expected = "held by another KOV Bridge program (process " +
                         std::to_string(first.Pid()) + ")";
  EXPECT_TRUE(second.WaitForLog(expected)) << second.Stderr();
  EXPECT_TRUE(second.Running()) << "the error box waits for its OK";
  second.Signal(SIGTERM);
  EXPECT_EQ(second.Wait(), 128 + SIGTERM) << "the program ends on SIGTERM while the box is open";
  first.Signal(SIGTERM);
  EXPECT_EQ(first.Wait(), 0);
}

}  // namespace
}  // namespace kov
