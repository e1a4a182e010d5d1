// The application's icon, drawn at any size: a clipboard holding a picture.
#pragma once

#include <QImage>

QT_BEGIN_NAMESPACE
class QPainter;
QT_END_NAMESPACE

namespace pixkeep {

// The sizes the icon is drawn at for the window, the tray and the installed icon theme.
inline constexpr int IconSizes[] = {16, 22, 24, 32, 48, 64, 128, 256};

// The icon as a square `size` by `size` picture with a transparent background.
QImage drawApplicationIcon(int size);
// Paints the icon for `size` pixels onto `painter`'s device, from (0, 0).
void paintApplicationIcon(QPainter& painter, int size);

}  // namespace pixkeep
