#include "gui/IndicatorPanel.h"

#include <QApplication>
#include <QPalette>

namespace kov {

QColor IndicatorQColor(IndicatorColour colour) {
  switch (colour) {
    case IndicatorColour::Listening:
      return QColor(255, 255, 0);
    case IndicatorColour::Connected:
      return QColor(0, 255, 0);
    case IndicatorColour::Idle:
      break;
  }
  return QApplication::palette().color(QPalette::Button);
}

TIndicatorPanel::TIndicatorPanel(QWidget* parent, const QString& caption)
    : QLabel(caption, parent) {
  setFrameStyle(QFrame::Panel | QFrame::Raised);
  setLineWidth(1);
  setAlignment(Qt::AlignCenter);
  setAutoFillBackground(true);
  SetColour(IndicatorColour::Idle);
}

void TIndicatorPanel::SetColour(IndicatorColour colour) {
  colour_ = colour;
  QPalette p = palette();
  p.setColor(QPalette::Window, IndicatorQColor(colour));
  // Captions stay black on yellow and lime whatever the desktop theme.
  p.setColor(QPalette::WindowText, colour == IndicatorColour::Idle
                                       ? QApplication::palette().color(QPalette::ButtonText)
                                       : QColor(Qt::black));
  setPalette(p);
}

QColor TIndicatorPanel::ShownColour() const { return palette().color(QPalette::Window); }

void TIndicatorPanel::Apply(const Indicator& indicator) {
  SetColour(indicator.Colour);
  if (!indicator.KeepCaption) SetCaption(QString::fromStdString(indicator.Caption));
}

}  // namespace kov
