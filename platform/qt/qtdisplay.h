// The X11 screen as the capture core's Display.
#pragma once

#include "platform/display.h"

namespace pixkeep {

class QtDisplay : public Display {
 public:
  int deviceBitCount() const override;
  int logPixelsY() const override;
  int sizePalette() const override { return 0; }  // true-colour screens only
  std::vector<RGBQuad> systemPaletteEntries() const override { return {}; }
};

}  // namespace pixkeep
