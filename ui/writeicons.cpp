// Writes the application's icon for installing into an icon theme: PNG files
// DIR/hicolor/<size>x<size>/apps/pixkeep.png and the scalable
// DIR/hicolor/scalable/apps/pixkeep.svg, all drawn by the window's own code.
#include <QDir>
#include <QPainter>
#include <QString>
#include <QSvgGenerator>
#include <cstdio>

#include "ui/icon.h"

namespace {

// The drawing's own grid: at this size its outlines are one unit wide.
constexpr int ScalableSize = 64;

bool writeSvg(const QString& file) {
  QSvgGenerator svg;
  svg.setFileName(file);
  svg.setSize(QSize(ScalableSize, ScalableSize));
  svg.setViewBox(QRect(0, 0, ScalableSize, ScalableSize));
  svg.setTitle("Pixkeep");
  svg.setDescription("A clipboard holding a picture");
  QPainter p;
  if (!p.begin(&svg)) return false;
  pixkeep::paintApplicationIcon(p, ScalableSize);
  return p.end();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s DIR\n", argv[0]);
    return 2;
  }
  const QString root = QString::fromLocal8Bit(argv[1]) + "/hicolor";
  for (int size : pixkeep::IconSizes) {
    const QString dir = QString("%1/%2x%2/apps").arg(root).arg(size);
    if (!QDir().mkpath(dir) || !pixkeep::drawApplicationIcon(size).save(dir + "/pixkeep.png", "PNG")) {
      std::fprintf(stderr, "cannot write %s/pixkeep.png\n", qPrintable(dir));
      return 1;
    }
  }
  const QString scalable = root + "/scalable/apps";
  if (!QDir().mkpath(scalable) || !writeSvg(scalable + "/pixkeep.svg")) {
    std::fprintf(stderr, "cannot write %s/pixkeep.svg\n", qPrintable(scalable));
    return 1;
  }
  return 0;
}
