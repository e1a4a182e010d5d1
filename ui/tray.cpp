#include "ui/tray.h"

#include <QCursor>
#include <QMenu>
#include <QPainter>
#include <QPixmap>
#include <QSystemTrayIcon>
#include <algorithm>

#include "ui/icon.h"

namespace pixkeep {

QString fitTrayTip(const QString& tip) {
  if (tip.toUtf8().size() <= TrayTipLimit) return tip;
  static const QString ellipsis = "...";
  const qsizetype room = TrayTipLimit - ellipsis.size();
  qsizetype bytes = 0, end = 0;
  while (end < tip.size()) {
    // One character: a surrogate pair stands for one of four bytes.
    const bool pair = tip[end].isHighSurrogate() && end + 1 < tip.size() && tip[end + 1].isLowSurrogate();
    const char16_t unit = tip[end].unicode();
    const qsizetype width = pair ? 4 : unit < 0x80 ? 1 : unit < 0x800 ? 2 : 3;
    if (bytes + width > room) break;
    bytes += width;
    end += pair ? 2 : 1;
  }
  return tip.left(end) + ellipsis;
}

bool hiddenStartRequested(const QStringList& arguments) {
  return arguments.size() > 1 && (arguments[1] == "-hide" || arguments[1] == "/hide");
}

QIcon applicationIcon() {
  QIcon icon;
  for (int size : IconSizes) icon.addPixmap(QPixmap::fromImage(drawApplicationIcon(size)));
  return icon;
}

QIcon pausedIcon() {
  QIcon icon;
  for (int size : IconSizes) {
    QImage image = drawApplicationIcon(size).convertToFormat(QImage::Format_ARGB32);
    // Grey, and paler: it stands back from the icons around it.
    for (int y = 0; y < image.height(); ++y) {
      auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
      for (int x = 0; x < image.width(); ++x) {
        const int g = 96 + qGray(line[x]) * 5 / 8;
        line[x] = qRgba(g, g, g, qAlpha(line[x]));
      }
    }
    // Two bars in the lower right corner.
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    const qreal u = size / 64.0;
    p.setPen(QPen(Qt::white, std::max(1.0, 2 * u)));
    p.setBrush(QColor(0x30, 0x30, 0x30));
    p.drawRect(QRectF(34 * u, 32 * u, 11 * u, 30 * u));
    p.drawRect(QRectF(51 * u, 32 * u, 11 * u, 30 * u));
    p.end();
    icon.addPixmap(QPixmap::fromImage(image));
  }
  return icon;
}

TTrayIcon::TTrayIcon(QMenu* menu, QObject* parent)
    : QObject(parent), icon_(new QSystemTrayIcon(this)), menu_(menu), available_(&QSystemTrayIcon::isSystemTrayAvailable) {
  icon_->setObjectName("trayIcon");
  connect(icon_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
    switch (reason) {
      case QSystemTrayIcon::Context:  // the right button
        menu_->popup(QCursor::pos());
        break;
      case QSystemTrayIcon::DoubleClick:
        emit showRequested();
        break;
      default:  // single clicks and the middle button do nothing
        break;
    }
  });
}

TTrayIcon::~TTrayIcon() { remove(); }

void TTrayIcon::fill(const QIcon& icon, const QString& tip) {
  icon_->setIcon(icon);
  modify(tip);
}

void TTrayIcon::add() { icon_->show(); }

void TTrayIcon::modify(const QString& tip) { icon_->setToolTip(fitTrayTip(tip)); }

void TTrayIcon::remove() { icon_->hide(); }

bool TTrayIcon::shown() const { return icon_->isVisible(); }

QString TTrayIcon::tip() const { return icon_->toolTip(); }

}  // namespace pixkeep
