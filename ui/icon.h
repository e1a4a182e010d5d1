// The application's icon, drawn at any size: a clipboard holding a picture.
#pragma once

#include <QImage>

namespace pixkeep {

// The sizes the icon is drawn at for the window, the tray and the installed icon theme.
inline constexpr int IconSizes[] = {16, 22, 24, 32, 48, 64, 128, 256};

// The icon as a square `size` by `size` picture with a transparent background.
QImage drawApplicationIcon(int size);

}  // namespace pixkeep
