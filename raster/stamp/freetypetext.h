// The stamp's text drawn with FreeType: the stamp's face from the Liberation
// Sans files, other faces matched through fontconfig.
#pragma once

#include "raster/stampcanvas.h"

namespace pixkeep {

class FreeTypeText : public TextRasteriser {
 public:
  FontMetrics metrics(const Font& font) override;
  int textWidth(const Font& font, const std::string& text) override;
  int textOut(RasterImage& raster, const Font& font, const Brush& brush, int x, int y,
              const std::string& text) override;
};

// The one instance the program installs with setTextRasteriser().
FreeTypeText& freeTypeText();

}  // namespace pixkeep
