#pragma once
// The exit confirmation and the error box.
#include <QMessageBox>
#include <QPushButton>
#include <deque>
#include <functional>
#include <memory>
#include <string>

namespace kov {

// The confirmation's text; each "\n\r" pair is a line break.
extern const char* const kExitConfirmationText;

// Turns the system's "\n\r" line breaks into the single newlines a Qt label breaks on, so the
// dialog shows the lines as meant instead of an empty line after each one.
QString DisplayText(const char* text);

// "Confirm" with the question icon, "&Yes" taken by Enter and "&No" taken by Esc. Only an answer
// of No keeps the program running: closing the dialog any other way confirms the exit.
class TExitConfirmation : public QMessageBox {
 public:
  explicit TExitConfirmation(QWidget* parent = nullptr);

  // The text exactly as the system defines it (the label shows DisplayText of it).
  std::string ExactText() const { return kExitConfirmationText; }
  // After exec(): true unless the answer was No.
  bool ExitConfirmed() const { return closedByWindow_ || clickedButton() != NoButton; }

  QPushButton* YesButton;
  QPushButton* NoButton;

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  bool closedByWindow_ = false;
};

// The error box: the error's text with the period rule, titled "KOV Bridge", the error icon and
// a single OK button.
std::unique_ptr<QMessageBox> MakeErrorBox(const std::string& message, QWidget* parent = nullptr);

// Shows the errors that reach the event loop, one box at a time. A box is never opened inside
// the core loop's handler that raised the error: its nested loop would run the core loop again
// before that handler returned. Such errors wait and are shown once the handler is done.
class TErrorBoxes {
 public:
  // canShowNow tells whether no core handler is running on the stack.
  explicit TErrorBoxes(std::function<bool()> canShowNow);
  ~TErrorBoxes();
  TErrorBoxes(const TErrorBoxes&) = delete;
  TErrorBoxes& operator=(const TErrorBoxes&) = delete;

  // The event loop's error handler.
  void Report(const std::string& message);
  // The program is ending: boxes that wait are not shown.
  void DropPending() { pending_.clear(); }

  size_t PendingCount() const { return pending_.size(); }
  int ShownCount() const { return shown_; }
  // Called with each box just before it opens (tests close it from here).
  std::function<void(QMessageBox&)> OnBoxOpening;

 private:
  void ShowPending();
  void ScheduleRetry(int delayMs);

  std::function<bool()> canShowNow_;
  std::deque<std::string> pending_;
  bool showing_ = false;
  bool scheduled_ = false;
  int shown_ = 0;
  QObject* context_;
};

}  // namespace kov
