#pragma once
// The main window: a frameless splash picture on top of everything, and the owner of the tray
// icon with its menu ("&Show Status", "&Close") and of the exit confirmation.
#include <QAction>
#include <QLabel>
#include <QMenu>
#include <QPoint>
#include <QSystemTrayIcon>
#include <QWidget>
#include <functional>

#include "app/Application.h"

namespace kov {

class TFormStatus;

// Where the tray menu opens for a right-button release at the cursor: 48 pixels above it.
QPoint PopupMenuPosition(QPoint cursor);

class TBridgeFrm : public QWidget {
 public:
  explicit TBridgeFrm(TFormStatus& formStatus, QWidget* parent = nullptr);

  // The hooks the application object calls; CloseRequested is left to the caller. The tray-area
  // test also switches to the status window when the tray area is missing.
  WindowHooks Hooks();

  // Tray-area test: Qt reports no system tray.
  static bool TrayAreaMissing();
  void AddIcon();
  void DeleteIcon();
  // Without a tray area: one log line, and the status window is shown and stands in for the
  // icon (closing it opens the exit confirmation).
  void UseStatusWindowInsteadOfIcon();
  void ShowSplash();
  void HideSplash();

  // What happened over the tray icon: a double click shows the status window, the context
  // request (right button) opens the menu above the cursor; anything else is ignored.
  void TrayIconMessage(QSystemTrayIcon::ActivationReason reason);
  void ShowStatusClick();
  // Asks for confirmation; unless the answer is No, closes the main window.
  void CloseAppClick();

  // Closing the main window (the application's Close): set by the entry.
  std::function<void()> OnCloseConfirmed;

  QLabel* Image1;
  QMenu* PopupMenu;
  QAction* ShowStatus;
  QAction* CloseApp;
  QSystemTrayIcon* TrayIcon;
  bool Closing = false;

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  TFormStatus& formStatus_;
};

}  // namespace kov
