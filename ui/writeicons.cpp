// Writes the application's icon as PNG files for installing into an icon
// theme: DIR/hicolor/<size>x<size>/apps/pixkeep.png.
#include <QDir>
#include <QString>
#include <cstdio>

#include "ui/icon.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s DIR\n", argv[0]);
    return 2;
  }
  for (int size : pixkeep::IconSizes) {
    const QString dir = QString("%1/hicolor/%2x%2/apps").arg(QString::fromLocal8Bit(argv[1])).arg(size);
    if (!QDir().mkpath(dir) || !pixkeep::drawApplicationIcon(size).save(dir + "/pixkeep.png", "PNG")) {
      std::fprintf(stderr, "cannot write %s/pixkeep.png\n", qPrintable(dir));
      return 1;
    }
  }
  return 0;
}
