#include "gui/BridgeFrm.h"

#include <QCloseEvent>
#include <QCursor>
#include <QGuiApplication>
#include <QScreen>

#include "event/Log.h"
#include "gui/Artwork.h"
#include "gui/Dialogs.h"
#include "gui/FormStatus.h"

namespace kov {

QPoint PopupMenuPosition(QPoint cursor) { return QPoint(cursor.x(), cursor.y() - 48); }

TBridgeFrm::TBridgeFrm(TFormStatus& formStatus, QWidget* parent)
    : QWidget(parent, Qt::SplashScreen | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint),
      formStatus_(formStatus) {
  setWindowTitle("KOV Bridge");
  setWindowIcon(MakeAppIcon());
  setFixedSize(kSplashWidth, kSplashHeight);
  QPalette p = palette();
  p.setColor(QPalette::Window, p.color(QPalette::Button));
  setPalette(p);
  setAutoFillBackground(true);

  Image1 = new QLabel(this);
  Image1->setGeometry(rect());
  Image1->setPixmap(MakeSplashPicture(size()));

  PopupMenu = new QMenu(this);
  ShowStatus = PopupMenu->addAction("&Show Status");
  CloseApp = PopupMenu->addAction("&Close");
  connect(ShowStatus, &QAction::triggered, this, [this] { ShowStatusClick(); });
  connect(CloseApp, &QAction::triggered, this, [this] { CloseAppClick(); });

  TrayIcon = new QSystemTrayIcon(this);
  connect(TrayIcon, &QSystemTrayIcon::activated, this,
          [this](QSystemTrayIcon::ActivationReason reason) { TrayIconMessage(reason); });
}

WindowHooks TBridgeFrm::Hooks() {
  WindowHooks hooks;
  hooks.TrayAreaMissing = [this] {
    bool missing = TrayAreaMissing();
    if (missing) UseStatusWindowInsteadOfIcon();
    return missing;
  };
  hooks.AddIcon = [this] { AddIcon(); };
  hooks.DeleteIcon = [this] { DeleteIcon(); };
  hooks.ShowSplash = [this] { ShowSplash(); };
  hooks.HideSplash = [this] { HideSplash(); };
  return hooks;
}

bool TBridgeFrm::TrayAreaMissing() { return !QSystemTrayIcon::isSystemTrayAvailable(); }

void TBridgeFrm::AddIcon() {
  TrayIcon->setIcon(windowIcon());
  TrayIcon->setToolTip(windowTitle());
  TrayIcon->show();
}

void TBridgeFrm::DeleteIcon() { TrayIcon->hide(); }

void TBridgeFrm::UseStatusWindowInsteadOfIcon() {
  Log("no system tray available: the status window is shown instead of a tray icon, and closing "
      "it asks whether to end the program");
  formStatus_.OnCloseRequest = [this] { CloseAppClick(); };
  formStatus_.ShowAndRaise();
}

void TBridgeFrm::ShowSplash() {
  if (QScreen* screen = QGuiApplication::primaryScreen()) {
    move(screen->geometry().center() - rect().center());
  }
  show();
  raise();
}

void TBridgeFrm::HideSplash() { hide(); }

void TBridgeFrm::TrayIconMessage(QSystemTrayIcon::ActivationReason reason) {
  switch (reason) {
    case QSystemTrayIcon::DoubleClick:
      ShowStatusClick();
      break;
    case QSystemTrayIcon::Context:
      PopupMenu->popup(PopupMenuPosition(QCursor::pos()));
      break;
    default:
      break;
  }
}

void TBridgeFrm::ShowStatusClick() { formStatus_.ShowAndRaise(); }

void TBridgeFrm::CloseAppClick() {
  if (Closing) return;
  TExitConfirmation confirm;
  confirm.exec();
  // The program may have been told to end (a signal) while the dialog was open.
  if (Closing || !confirm.ExitConfirmed()) return;
  Closing = true;
  if (OnCloseConfirmed) OnCloseConfirmed();
}

void TBridgeFrm::closeEvent(QCloseEvent* event) {
  // The splash has no close command; a close from elsewhere must not hide the tray icon's
  // owner or end anything. Only the confirmed "&Close" ends the program.
  event->ignore();
}

}  // namespace kov
