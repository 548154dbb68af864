#include "gui/FormStatus.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QScreen>

namespace kov {

namespace {

constexpr int kClientWidth = 257;
constexpr int kClientHeight = 359;
constexpr int kRowTops[8] = {49, 72, 97, 120, 144, 168, 192, 216};
constexpr int kLabelTops[8] = {50, 74, 98, 122, 146, 170, 194, 218};
constexpr int kLocalLeft = 78;
constexpr int kRemoteLeft = 156;
constexpr int kIndicatorWidth = 61;
constexpr int kIndicatorHeight = 17;

}  // namespace

TFormStatus::TFormStatus(StatusProvider provider, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint |
                          Qt::MSWindowsFixedSizeDialogHint),
      provider_(std::move(provider)) {
  setWindowTitle("KOV Bridge Status");
  setFixedSize(kClientWidth, kClientHeight);
  // A small, narrow face: the captions have to fit the design's tight columns (the labels of
  // the rows end where the indicators begin), sized in pixels so the layout is the same at any
  // screen resolution.
  QFont small = font();
  small.setPixelSize(11);
  small.setStretch(QFont::SemiCondensed);
  setFont(small);
  // The window's background is the button face, which is also what an idle indicator shows.
  QPalette p = palette();
  p.setColor(QPalette::Window, IndicatorQColor(IndicatorColour::Idle));
  setPalette(p);
  setAutoFillBackground(true);

  Panel = new QFrame(this);
  Panel->setFrameStyle(QFrame::Panel | QFrame::Raised);
  Panel->setGeometry(8, 8, 241, 345);

  LabelActive = AddLabel("Local server:", kLocalLeft, 24, true);
  Label1 = AddLabel("Remote server:", kRemoteLeft, 24, true);
  for (int i = 0; i < 8; ++i) {
    LabelComm[i] = AddLabel(QString("COM %1").arg(i + 1), 24, kLabelTops[i]);
    PanelColorComm[i] = AddPanel(kLocalLeft, kRowTops[i], kIndicatorWidth, kIndicatorHeight);
    PanelRemote[i] = AddPanel(kRemoteLeft, kRowTops[i], kIndicatorWidth, kIndicatorHeight);
  }
  LabelServiceChannel = AddLabel("Configuration Channel:", 32, 258);
  PanelColorServiceChannel =
      AddPanel(kRemoteLeft, 256, kIndicatorWidth, kIndicatorHeight, kConfigPanelCaption);
  Label2 = AddLabel("Legend:", 24, 293);
  Panel1 = AddPanel(35, 312, 14, 14);
  Panel1->SetColour(IndicatorColour::Listening);
  Label3 = AddLabel("Listening", 55, 312);
  Panel2 = AddPanel(128, 312, 14, 14);
  Panel2->SetColour(IndicatorColour::Connected);
  Label4 = AddLabel("Connected", 148, 312);

  TimerRefreshStatus = new QTimer(this);
  TimerRefreshStatus->setInterval(1000);
  TimerRefreshStatus->setSingleShot(false);
  connect(TimerRefreshStatus, &QTimer::timeout, this, [this] { TimerRefreshStatusTimer(); });

  // Opens centred on the screen.
  if (QScreen* screen = QGuiApplication::primaryScreen()) {
    move(screen->availableGeometry().center() - rect().center());
  }
}

QLabel* TFormStatus::AddLabel(const QString& caption, int left, int top, bool centred) {
  auto* label = new QLabel(caption, Panel);
  label->setAlignment(centred ? Qt::AlignHCenter | Qt::AlignTop : Qt::AlignLeft | Qt::AlignTop);
  label->adjustSize();
  label->move(left, top);
  return label;
}

TIndicatorPanel* TFormStatus::AddPanel(int left, int top, int width, int height,
                                       const QString& caption) {
  auto* panel = new TIndicatorPanel(Panel, caption);
  panel->setGeometry(left, top, width, height);
  return panel;
}

void TFormStatus::ShowAndRaise() {
  // A minimised window is restored first: showing and raising alone would leave it minimised.
  if (isMinimized()) setWindowState((windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
  show();
  raise();
  activateWindow();
}

void TFormStatus::closeEvent(QCloseEvent* event) {
  if (OnCloseRequest) {
    event->ignore();
    OnCloseRequest();
    return;
  }
  QWidget::closeEvent(event);
}

void TFormStatus::TimerRefreshStatusTimer() {
  ApplyStatus(ComputeStatus(provider_ ? provider_() : StatusInputs{}));
}

void TFormStatus::ApplyStatus(const StatusIndicators& indicators) {
  for (int i = 0; i < 8; ++i) PanelColorComm[i]->Apply(indicators[LocalIndicator(i)]);
  PanelColorServiceChannel->Apply(indicators[kConfigIndicator]);
  for (int i = 0; i < 8; ++i) PanelRemote[i]->Apply(indicators[RemoteIndicator(i)]);
}

void TFormStatus::FormShow() {
  // Enabling a running timer must not restart its countdown.
  if (!TimerRefreshStatus->isActive()) TimerRefreshStatus->start();
}

void TFormStatus::FormHide() { TimerRefreshStatus->stop(); }

void TFormStatus::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  FormShow();
}

void TFormStatus::hideEvent(QHideEvent* event) {
  QWidget::hideEvent(event);
  FormHide();
}

}  // namespace kov
