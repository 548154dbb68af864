#pragma once
// Helpers for driving windows in tests: wait on Qt's loop for a condition, and act on the next
// modal dialog once it is open.
#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QKeyEvent>
#include <QTimer>
#include <QWidget>
#include <functional>

namespace kov {

// Runs Qt's loop until pred() holds or realTimeoutMs passed; returns pred().
inline bool ProcessUntil(const std::function<bool()>& pred, int realTimeoutMs = 5000) {
  if (pred()) return true;
  QElapsedTimer clock;
  clock.start();
  QEventLoop loop;
  QTimer tick;
  QObject::connect(&tick, &QTimer::timeout, &loop, [&] {
    if (pred() || clock.elapsed() >= realTimeoutMs) loop.quit();
  });
  tick.start(2);
  loop.exec();
  return pred();
}

// Calls act with the first modal widget that opens (polled from Qt's loop).
inline void WhenModalOpens(std::function<void(QWidget*)> act) {
  auto* poll = new QTimer;
  QObject::connect(poll, &QTimer::timeout, poll, [poll, act] {
    if (QWidget* modal = QApplication::activeModalWidget(); modal && modal->isVisible()) {
      poll->stop();
      poll->deleteLater();
      act(modal);
    }
  });
  poll->start(5);
}

inline void SendKey(QWidget* target, int key) {
  QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
  QApplication::sendEvent(target, &press);
  QKeyEvent release(QEvent::KeyRelease, key, Qt::NoModifier);
  QApplication::sendEvent(target, &release);
}

}  // namespace kov
