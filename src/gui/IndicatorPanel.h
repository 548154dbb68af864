#pragma once
// A small raised panel whose background colour tells a state and whose caption tells a port.
#include <QLabel>

#include "app/Status.h"

namespace kov {

// Listening is pure yellow, Connected pure lime; Idle is the button-face colour of the
// application's palette, the status window's own background, so an idle panel looks blank.
QColor IndicatorQColor(IndicatorColour colour);

class TIndicatorPanel : public QLabel {
 public:
  explicit TIndicatorPanel(QWidget* parent, const QString& caption = QString());

  void SetColour(IndicatorColour colour);
  IndicatorColour Colour() const { return colour_; }
  // The colour actually painted (what a screenshot shows).
  QColor ShownColour() const;
  void SetCaption(const QString& caption) { setText(caption); }
  QString Caption() const { return text(); }
  // Colour, and caption unless the indicator keeps the one the panel has.
  void Apply(const Indicator& indicator);

 private:
  IndicatorColour colour_ = IndicatorColour::Idle;
};

}  // namespace kov
