// Where a clipboard picture's decoder writes its rows: straight into the
// raster's own 32-bit rows, one row at a time.
#pragma once

#include <cstddef>
#include <cstdint>

#include "raster/errors.h"
#include "raster/rasterimage.h"

namespace pixkeep {

// Top-down row y starts at top + y * pitch.
struct RowTarget {
  uint8_t* top = nullptr;
  ptrdiff_t pitch = 0;
  uint8_t* row(size_t y) const { return top + ptrdiff_t(y) * pitch; }
};

inline RowTarget rowsOf(RasterImage& raster) {
  RowTarget t;
  t.top = raster.scanline(0);
  t.pitch = raster.height() > 1 ? raster.scanline(1) - t.top : 0;
  return t;
}

// Composites one row of blue, green, red, alpha pixels onto white, leaving
// blue, green, red, 0: c' = (c * a + 255 * (255 - a)) / 255, rounded.
inline void compositeOntoWhite(uint8_t* p, size_t width) {
  for (size_t x = 0; x < width; ++x, p += 4) {
    const unsigned a = p[3];
    if (a != 255) {
      const unsigned back = 255 * (255 - a) + 127;
      p[0] = uint8_t((p[0] * a + back) / 255);
      p[1] = uint8_t((p[1] * a + back) / 255);
      p[2] = uint8_t((p[2] * a + back) / 255);
    }
    p[3] = 0;
  }
}

// The decoders' two failures.
[[noreturn]] inline void invalidPictureData() { throw EInvalidGraphic(msg::InvalidClipboardFormat); }
[[noreturn]] inline void pictureTooLarge() { throw EOutOfResources(msg::PictureTooLarge); }

}  // namespace pixkeep
