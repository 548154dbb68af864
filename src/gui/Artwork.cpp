#include "gui/Artwork.h"

#include <QFont>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>

#include "Version.h"

namespace kov {

namespace {

const QColor kNavy(12, 36, 70);
const QColor kDeepBlue(24, 64, 118);
const QColor kYellow(255, 255, 0);
const QColor kLime(0, 255, 0);
const QColor kSteel(200, 210, 222);

// A D-shaped nine-pin serial connector, w wide, centred at c.
void DrawConnector(QPainter& p, QPointF c, qreal w) {
  qreal h = w * 0.42;
  QPainterPath shell;
  shell.moveTo(c.x() - w / 2, c.y() - h / 2);
  shell.lineTo(c.x() + w / 2, c.y() - h / 2);
  shell.lineTo(c.x() + w * 0.4, c.y() + h / 2);
  shell.lineTo(c.x() - w * 0.4, c.y() + h / 2);
  shell.closeSubpath();
  p.setPen(QPen(kSteel, 1.5));
  p.setBrush(QColor(60, 72, 90));
  p.drawPath(shell);
  p.setPen(Qt::NoPen);
  p.setBrush(kSteel);
  qreal r = w * 0.035;
  for (int i = 0; i < 5; ++i)
    p.drawEllipse(QPointF(c.x() - w * 0.3 + i * w * 0.15, c.y() - h * 0.18), r, r);
  for (int i = 0; i < 4; ++i)
    p.drawEllipse(QPointF(c.x() - w * 0.225 + i * w * 0.15, c.y() + h * 0.2), r, r);
}

// A two-way arrow between x0 and x1 at height y: yellow outwards, lime back.
void DrawTwoWayArrow(QPainter& p, qreal x0, qreal x1, qreal y, qreal gap, qreal width) {
  auto arrow = [&](qreal from, qreal to, qreal at, const QColor& colour) {
    qreal head = width * 2.2;
    qreal dir = to > from ? 1 : -1;
    p.setPen(QPen(colour, width, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(from, at), QPointF(to - dir * head * 0.6, at));
    p.setPen(Qt::NoPen);
    p.setBrush(colour);
    QPolygonF tip;
    tip << QPointF(to, at) << QPointF(to - dir * head, at - head * 0.7)
        << QPointF(to - dir * head, at + head * 0.7);
    p.drawPolygon(tip);
  };
  arrow(x0, x1, y - gap, kYellow);
  arrow(x1, x0, y + gap, kLime);
}

}  // namespace

QPixmap MakeSplashPicture(QSize size) {
  QPixmap pixmap(size);
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  const qreal w = size.width();
  const qreal h = size.height();

  QLinearGradient sky(0, 0, 0, h);
  sky.setColorAt(0, kDeepBlue);
  sky.setColorAt(1, kNavy);
  p.fillRect(pixmap.rect(), sky);

  // Title and subtitle.
  QFont title("Sans Serif");
  title.setPixelSize(int(h * 0.11));
  title.setBold(true);
  p.setFont(title);
  p.setPen(Qt::white);
  p.drawText(QRectF(0, h * 0.04, w, h * 0.14), Qt::AlignCenter, "KOV Bridge");
  QFont sub("Sans Serif");
  sub.setPixelSize(int(h * 0.04));
  p.setFont(sub);
  p.setPen(kSteel);
  p.drawText(QRectF(0, h * 0.17, w, h * 0.06), Qt::AlignCenter, "Serial ports to TCP/IP");

  // Eight connectors on the left, wired to the hub on the right.
  const QPointF hub(w * 0.76, h * 0.57);
  const qreal hubRadius = h * 0.13;
  QFont small("Sans Serif");
  small.setPixelSize(int(h * 0.028));
  for (int i = 0; i < 8; ++i) {
    qreal y = h * 0.3 + i * h * 0.067;
    QPointF plug(w * 0.2, y);
    QPainterPath wire;
    wire.moveTo(plug.x() + w * 0.05, y);
    wire.cubicTo(QPointF(w * 0.45, y), QPointF(w * 0.5, hub.y()), hub - QPointF(hubRadius, 0));
    p.setPen(QPen(i % 2 ? kLime : kYellow, 1.6));
    p.setBrush(Qt::NoBrush);
    p.drawPath(wire);
    DrawConnector(p, plug, w * 0.085);
    p.setFont(small);
    p.setPen(Qt::white);
    p.drawText(QRectF(w * 0.03, y - h * 0.03, w * 0.1, h * 0.06), Qt::AlignVCenter | Qt::AlignRight,
               QString("COM %1").arg(i + 1));
  }

  QRadialGradient glow(hub, hubRadius);
  glow.setColorAt(0, QColor(90, 160, 230));
  glow.setColorAt(1, QColor(30, 80, 150));
  p.setPen(QPen(kSteel, 2));
  p.setBrush(glow);
  p.drawEllipse(hub, hubRadius, hubRadius);
  p.setPen(QPen(Qt::white, 1.5));
  p.setBrush(Qt::NoBrush);
  p.drawEllipse(hub, hubRadius * 0.55, hubRadius);
  p.drawLine(hub - QPointF(hubRadius, 0), hub + QPointF(hubRadius, 0));
  p.drawLine(hub - QPointF(0, hubRadius), hub + QPointF(0, hubRadius));
  p.setFont(small);
  p.setPen(Qt::white);
  p.drawText(QRectF(hub.x() - w * 0.15, hub.y() + hubRadius + h * 0.01, w * 0.3, h * 0.05),
             Qt::AlignCenter, "TCP 8801 - 8808");

  // Footer.
  p.setPen(QPen(kSteel, 1));
  p.drawLine(QPointF(w * 0.05, h * 0.9), QPointF(w * 0.95, h * 0.9));
  p.setFont(small);
  p.drawText(QRectF(w * 0.05, h * 0.91, w * 0.45, h * 0.06), Qt::AlignLeft | Qt::AlignVCenter,
             QString("Version %1").arg(kVersionText));
  p.drawText(QRectF(w * 0.5, h * 0.91, w * 0.45, h * 0.06), Qt::AlignRight | Qt::AlignVCenter,
             "Starting the bridge ...");
  return pixmap;
}

QPixmap MakeAppIconPixmap(int side) {
  QPixmap pixmap(side, side);
  pixmap.fill(Qt::transparent);
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  const qreal s = side;
  p.setPen(QPen(kSteel, s / 24));
  p.setBrush(kDeepBlue);
  p.drawRoundedRect(QRectF(s * 0.03, s * 0.03, s * 0.94, s * 0.94), s * 0.18, s * 0.18);
  DrawConnector(p, QPointF(s * 0.5, s * 0.3), s * 0.62);
  DrawTwoWayArrow(p, s * 0.18, s * 0.82, s * 0.7, s * 0.1, qMax(1.5, s / 14));
  return pixmap;
}

QIcon MakeAppIcon() {
  QIcon icon;
  for (int side : {16, 32, 48}) icon.addPixmap(MakeAppIconPixmap(side));
  return icon;
}

}  // namespace kov
