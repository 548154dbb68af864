// The main window: splash, tray icon messages, the menu, the status window restored or standing
// in for a missing tray, and the exit confirmation.
#include <gtest/gtest.h>

#include <QCursor>
#include <QGuiApplication>
#include <QScreen>

#include "app/Application.h"
#include "bridge/MemorySerial.h"
#include "gui/Artwork.h"
#include "gui/BridgeFrm.h"
#include "gui/Dialogs.h"
#include "gui/FormStatus.h"
#include "tests/gui/GuiTestSupport.h"
#include "tests/support/LogCapture.h"
#include "tests/support/TempDir.h"

namespace kov {
namespace {

TEST(PopupMenuPosition, OpensFortyEightPixelsAboveTheCursor) {
  EXPECT_EQ(PopupMenuPosition(QPoint(800, 600)), QPoint(800, 552));
  EXPECT_EQ(PopupMenuPosition(QPoint(0, 10)), QPoint(0, -38));
}

struct BridgeFrmFixture : testing::Test {
  TFormStatus status;
  TBridgeFrm frm{status};
  int closes = 0;
  void SetUp() override {
    frm.OnCloseConfirmed = [this] { ++closes; };
  }
  void TearDown() override {
    status.OnCloseRequest = nullptr;
    frm.PopupMenu->hide();
    status.hide();
    frm.hide();
  }
};

using BridgeFrmWindow = BridgeFrmFixture;

TEST_F(BridgeFrmWindow, SplashIsAFramelessCentredPictureOnTop) {
  EXPECT_EQ(frm.windowTitle(), "KOV Bridge");
  EXPECT_EQ(frm.size(), QSize(633, 485));
  EXPECT_TRUE(frm.windowFlags() & Qt::FramelessWindowHint);
  EXPECT_TRUE(frm.windowFlags() & Qt::WindowStaysOnTopHint);
  EXPECT_FALSE(frm.isVisible());
  frm.ShowSplash();
  EXPECT_TRUE(frm.isVisible());
  EXPECT_EQ(frm.geometry().center(), QGuiApplication::primaryScreen()->geometry().center());
  EXPECT_EQ(frm.Image1->geometry(), frm.rect());
  QImage picture = frm.Image1->pixmap().toImage();
  EXPECT_EQ(picture.size(), QSize(633, 485));
  EXPECT_NE(picture.pixel(5, 5), picture.pixel(316, 60)) << "the picture is drawn, not blank";
  frm.close();
  EXPECT_TRUE(frm.isVisible()) << "the splash has no close command of its own";
  frm.HideSplash();
  EXPECT_FALSE(frm.isVisible());
}

TEST_F(BridgeFrmWindow, TrayIconHasTheTipAndAnIconInThreeSizes) {
  frm.AddIcon();
  EXPECT_EQ(frm.TrayIcon->toolTip(), "KOV Bridge");
  EXPECT_FALSE(frm.TrayIcon->icon().isNull());
  QList<QSize> sizes = MakeAppIcon().availableSizes();
  EXPECT_TRUE(sizes.contains(QSize(16, 16)));
  EXPECT_TRUE(sizes.contains(QSize(32, 32)));
  EXPECT_TRUE(sizes.contains(QSize(48, 48)));
  EXPECT_EQ(TBridgeFrm::TrayAreaMissing(), !QSystemTrayIcon::isSystemTrayAvailable());
  frm.DeleteIcon();
  EXPECT_FALSE(frm.TrayIcon->isVisible());
}

TEST_F(BridgeFrmWindow, HooksReachTheWindow) {
  WindowHooks hooks = frm.Hooks();
  ASSERT_TRUE(hooks.ShowSplash && hooks.HideSplash && hooks.AddIcon && hooks.DeleteIcon &&
              hooks.TrayAreaMissing);
  EXPECT_FALSE(hooks.CloseRequested) << "left to the entry";
  hooks.ShowSplash();
  EXPECT_TRUE(frm.isVisible());
  hooks.HideSplash();
  EXPECT_FALSE(frm.isVisible());
}

using TrayIconMessages = BridgeFrmFixture;

TEST_F(TrayIconMessages, RightButtonOpensTheMenuAboveTheCursor) {
  ASSERT_EQ(frm.PopupMenu->actions().size(), 2);
  EXPECT_EQ(frm.ShowStatus->text(), "&Show Status");
  EXPECT_EQ(frm.CloseApp->text(), "&Close");
  QCursor::setPos(300, 400);
  ASSERT_EQ(QCursor::pos(), QPoint(300, 400));
  frm.TrayIconMessage(QSystemTrayIcon::Context);
  EXPECT_TRUE(frm.PopupMenu->isVisible());
  EXPECT_EQ(frm.PopupMenu->pos(), QPoint(300, 352));
  EXPECT_FALSE(status.isVisible());
}

TEST_F(TrayIconMessages, DoubleClickShowsTheStatusWindowOtherMessagesAreIgnored) {
  frm.TrayIconMessage(QSystemTrayIcon::Trigger);
  frm.TrayIconMessage(QSystemTrayIcon::MiddleClick);
  frm.TrayIconMessage(QSystemTrayIcon::Unknown);
  EXPECT_FALSE(status.isVisible());
  EXPECT_FALSE(frm.PopupMenu->isVisible());

  frm.TrayIconMessage(QSystemTrayIcon::DoubleClick);
  EXPECT_TRUE(status.isVisible());
  int timerId = status.TimerRefreshStatus->timerId();
  frm.TrayIconMessage(QSystemTrayIcon::DoubleClick);
  EXPECT_TRUE(status.isVisible());
  EXPECT_EQ(status.TimerRefreshStatus->timerId(), timerId) << "a second double click changed more";

  status.hide();
  frm.ShowStatus->trigger();
  EXPECT_TRUE(status.isVisible());
}

// Shows the status window and minimises it.
void Minimise(TFormStatus& status) {
  status.ShowAndRaise();
  status.setWindowState(status.windowState() | Qt::WindowMinimized);
  ASSERT_TRUE(status.isMinimized());
}

using StatusWindowReach = BridgeFrmFixture;

TEST_F(StatusWindowReach, ShowStatusAndTheDoubleClickRestoreAMinimisedStatusWindow) {
  Minimise(status);
  frm.ShowStatus->trigger();
  EXPECT_TRUE(status.isVisible());
  EXPECT_FALSE(status.isMinimized()) << "Show Status left the window minimised";

  Minimise(status);
  frm.TrayIconMessage(QSystemTrayIcon::DoubleClick);
  EXPECT_TRUE(status.isVisible());
  EXPECT_FALSE(status.isMinimized()) << "the double click left the window minimised";
}

TEST_F(StatusWindowReach, WithoutATrayTheStatusWindowStandsInForTheIcon) {
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

TEST_F(StatusWindowReach, ClosingTheStatusWindowOnlyHidesItWhileTheIconIsThere) {
  status.ShowAndRaise();
  status.close();
  EXPECT_FALSE(status.isVisible());
  EXPECT_EQ(closes, 0);
}

using CloseApp = BridgeFrmFixture;

TEST_F(CloseApp, EscKeepsTheProgramRunningEnterEndsIt) {
  WhenModalOpens([](QWidget* modal) { SendKey(modal, Qt::Key_Escape); });
  frm.CloseApp->trigger();
  EXPECT_EQ(closes, 0);
  EXPECT_FALSE(frm.Closing);

  WhenModalOpens([](QWidget* modal) {
    auto* confirm = dynamic_cast<TExitConfirmation*>(modal);
    ASSERT_NE(confirm, nullptr);
    EXPECT_EQ(confirm->ExactText().front(), ' ');
    SendKey(modal, Qt::Key_Return);
  });
  frm.CloseAppClick();
  EXPECT_EQ(closes, 1);
  EXPECT_TRUE(frm.Closing);

  frm.CloseAppClick();  // already ending: no second confirmation, no second close
  EXPECT_EQ(closes, 1);
}

TEST_F(CloseApp, EndingWhileTheConfirmationIsOpenDoesNotCloseTwice) {
  WhenModalOpens([this](QWidget* modal) {
    frm.Closing = true;  // a signal ended the program meanwhile
    modal->close();
  });
  frm.CloseAppClick();
  EXPECT_EQ(closes, 0);
}

}  // namespace
}  // namespace kov
