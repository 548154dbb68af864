// The desktop program refusing to start without a display, or in a working directory another
// program holds.
#include <gtest/gtest.h>

#include <map>

#include "gui/DisplayCheck.h"
#include "tests/gui/GuiTestSupport.h"
#include "tests/support/ActivePortDir.h"
#include "tests/support/Program.h"
#include "tests/support/TempDir.h"

namespace kov {
namespace {

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
