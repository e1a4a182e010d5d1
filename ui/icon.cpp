#include "ui/icon.h"

#include <QPainter>
#include <QPainterPath>
#include <algorithm>

namespace pixkeep {

QImage drawApplicationIcon(int size) {
  QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::transparent);
  QPainter p(&image);
  paintApplicationIcon(p, size);
  p.end();
  return image;
}

void paintApplicationIcon(QPainter& p, int size) {
  p.save();
  p.setRenderHint(QPainter::Antialiasing);
  // Drawn on a 64-unit grid; outlines stay about one pixel wide at 16 pixels.
  p.scale(size / 64.0, size / 64.0);
  const qreal line = std::max(1.0, 64.0 / size);

  // The board.
  p.setPen(QPen(QColor(0x5e, 0x3a, 0x1a), line));
  p.setBrush(QColor(0x9a, 0x63, 0x30));
  p.drawRoundedRect(QRectF(9, 7, 46, 55), 5, 5);
  // The sheet.
  p.setPen(QPen(QColor(0xb8, 0xb8, 0xb8), line));
  p.setBrush(Qt::white);
  p.drawRect(QRectF(14, 13, 36, 44));
  // The picture on it: sky, sun and a green hill.
  const QRectF picture(18, 22, 28, 28);
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(0x4a, 0x9c, 0xe8));
  p.drawRect(picture);
  p.save();
  p.setClipRect(picture);
  p.setBrush(QColor(0xff, 0xcc, 0x22));
  p.drawEllipse(QPointF(38.5, 29.5), 4.5, 4.5);
  QPainterPath hill;
  hill.moveTo(14, 52);
  hill.cubicTo(22, 34, 30, 36, 36, 42);
  hill.cubicTo(40, 38, 46, 38, 52, 44);
  hill.lineTo(52, 52);
  hill.closeSubpath();
  p.setBrush(QColor(0x2f, 0x9e, 0x44));
  p.drawPath(hill);
  p.restore();
  p.setPen(QPen(QColor(0x30, 0x30, 0x30), line));
  p.setBrush(Qt::NoBrush);
  p.drawRect(picture);
  // The clip.
  p.setPen(QPen(QColor(0x55, 0x5c, 0x63), line));
  p.setBrush(QColor(0xc4, 0xcb, 0xd2));
  p.drawRoundedRect(QRectF(22, 3, 20, 12), 3, 3);
  p.setBrush(QColor(0x5e, 0x3a, 0x1a));
  p.drawEllipse(QPointF(32, 8), 2.2, 2.2);
  p.restore();
}

}  // namespace pixkeep
