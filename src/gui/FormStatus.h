#pragma once
// The status window: one indicator per serial port for its local bridge server and one for the
// remote server link, plus the configuration channel's, refreshed once a second while shown.
// Closing it only hides it, unless the program has no tray icon.
#include <QFrame>
#include <QLabel>
#include <QTimer>
#include <QWidget>
#include <array>
#include <functional>

#include "app/Status.h"
#include "gui/IndicatorPanel.h"

namespace kov {

class TFormStatus : public QWidget {
 public:
  using StatusProvider = std::function<StatusInputs()>;

  // The provider is asked for the running state at every refresh, never while hidden.
  explicit TFormStatus(StatusProvider provider = nullptr, QWidget* parent = nullptr);

  void SetStatusProvider(StatusProvider provider) { provider_ = std::move(provider); }

  // Shows the window, restoring it when minimised, and brings it to the front.
  void ShowAndRaise();

  // When set, closing the window asks this instead of hiding it (the program without a tray
  // icon, where the window is the only way to the exit confirmation).
  std::function<void()> OnCloseRequest;

  // Handlers: the refresh tick, and the window being shown or hidden.
  void TimerRefreshStatusTimer();
  void FormShow();
  void FormHide();

  // Puts computed indicators on the panels: local panels, configuration panel, remote panels.
  void ApplyStatus(const StatusIndicators& indicators);

  QFrame* Panel;
  QLabel* LabelActive;
  QLabel* Label1;
  std::array<QLabel*, 8> LabelComm;
  std::array<TIndicatorPanel*, 8> PanelColorComm;
  std::array<TIndicatorPanel*, 8> PanelRemote;
  QLabel* LabelServiceChannel;
  TIndicatorPanel* PanelColorServiceChannel;
  QLabel* Label2;
  TIndicatorPanel* Panel1;
  QLabel* Label3;
  TIndicatorPanel* Panel2;
  QLabel* Label4;
  QTimer* TimerRefreshStatus;

 protected:
  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void hideEvent(QHideEvent* event) override;

 private:
  QLabel* AddLabel(const QString& caption, int left, int top, bool centred = false);
  TIndicatorPanel* AddPanel(int left, int top, int width, int height,
                            const QString& caption = QString());

  StatusProvider provider_;
};

}  // namespace kov
