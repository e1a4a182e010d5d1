#include "raster/stampcanvas.h"

#include "raster/errors.h"
#include "raster/rasterimage.h"
#include "platform/display.h"

namespace pixkeep {

namespace {

TextRasteriser* installed = nullptr;

TextRasteriser& rasteriser() {
  if (!installed) throw EInvalidOperation(msg::NoCanvas);
  return *installed;
}

}  // namespace

TextRasteriser* textRasteriser() { return installed; }
void setTextRasteriser(TextRasteriser* r) { installed = r; }

StampCanvas::StampCanvas(RasterImage* owner) : owner_(owner) { reset(); }

void StampCanvas::reset() {
  font = Font{};
  font.height = -((8 * currentDisplay().logPixelsY() + 36) / 72);
  brush = Brush{};
}

FontMetrics StampCanvas::fontMetrics() { return rasteriser().metrics(font); }

int StampCanvas::textWidth(const std::string& text) {
  if (text.empty()) return 0;
  return rasteriser().textWidth(font, text);
}

void StampCanvas::textOut(int x, int y, const std::string& text) {
  TextRasteriser& r = rasteriser();
  owner_->beginChange();
  const int width = r.textOut(*owner_, font, brush, x, y, text);
  penX_ = x + width;
  penY_ = y;
}

}  // namespace pixkeep
