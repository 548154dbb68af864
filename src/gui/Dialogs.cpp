#include "gui/Dialogs.h"

#include <QCloseEvent>
#include <QObject>
#include <QTimer>

#include "event/EventLoop.h"

namespace kov {

const char* const kExitConfirmationText =
    " If you exit KOV Bridge, Tavrine on serial comm\n\r ports will not be monitored. This could "
    "result in incomplete\n\r operation of Access program.\n\r\n\r                    Do you "
    "wish to exit ? ";

QString DisplayText(const char* text) {
  QString shown = QString::fromLatin1(text);
  shown.replace("\n\r", "\n");
  return shown;
}

TExitConfirmation::TExitConfirmation(QWidget* parent) : QMessageBox(parent) {
  setWindowTitle("Confirm");
  setIcon(QMessageBox::Question);
  setText(DisplayText(kExitConfirmationText));
  setTextFormat(Qt::PlainText);
  YesButton = addButton("&Yes", QMessageBox::YesRole);
  NoButton = addButton("&No", QMessageBox::NoRole);
  setDefaultButton(YesButton);
  setEscapeButton(NoButton);
}

void TExitConfirmation::closeEvent(QCloseEvent* event) {
  // The window's own close command is not an answer of No.
  closedByWindow_ = true;
  QMessageBox::closeEvent(event);
}

std::unique_ptr<QMessageBox> MakeErrorBox(const std::string& message, QWidget* parent) {
  auto box = std::make_unique<QMessageBox>(parent);
  box->setWindowTitle("KOV Bridge");
  box->setIcon(QMessageBox::Critical);
  box->setTextFormat(Qt::PlainText);
  box->setText(QString::fromStdString(ErrorBoxText(message)));
  box->setStandardButtons(QMessageBox::Ok);
  box->setDefaultButton(QMessageBox::Ok);
  return box;
}

TErrorBoxes::TErrorBoxes(std::function<bool()> canShowNow)
    : canShowNow_(std::move(canShowNow)), context_(new QObject) {}

TErrorBoxes::~TErrorBoxes() { delete context_; }

void TErrorBoxes::Report(const std::string& message) {
  pending_.push_back(message);
  if (showing_) return;  // the box that is open now shows this one after it
  if (canShowNow_ && !canShowNow_()) {
    ScheduleRetry(0);
    return;
  }
  ShowPending();
}

void TErrorBoxes::ScheduleRetry(int delayMs) {
  if (scheduled_) return;
  scheduled_ = true;
  QTimer::singleShot(delayMs, context_, [this] {
    scheduled_ = false;
    ShowPending();
  });
}

void TErrorBoxes::ShowPending() {
  if (showing_ || pending_.empty()) return;
  if (canShowNow_ && !canShowNow_()) {
    // Still inside a core handler (a nested loop of its own): look again shortly.
    ScheduleRetry(20);
    return;
  }
  showing_ = true;
  while (!pending_.empty()) {
    std::string message = std::move(pending_.front());
    pending_.pop_front();
    std::unique_ptr<QMessageBox> box = MakeErrorBox(message);
    ++shown_;
    if (OnBoxOpening) OnBoxOpening(*box);
    box->exec();
  }
  showing_ = false;
}

}  // namespace kov
