#include "platform/qt/qtdisplay.h"

#include <QGuiApplication>
#include <QScreen>

namespace pixkeep {

int QtDisplay::deviceBitCount() const {
  QScreen* screen = QGuiApplication::primaryScreen();
  int depth = screen ? screen->depth() : 24;
  // Depth 24 and 32 visuals store 32 bits per pixel; 15 and 16 store 16.
  if (depth > 16) return 32;
  if (depth > 8) return 16;
  return depth;
}

int QtDisplay::logPixelsY() const {
  QScreen* screen = QGuiApplication::primaryScreen();
  return screen ? int(screen->logicalDotsPerInchY() + 0.5) : 96;
}

}  // namespace pixkeep
