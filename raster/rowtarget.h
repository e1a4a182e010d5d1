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

// The decoders' two failures.
[[noreturn]] inline void invalidPictureData() { throw EInvalidGraphic(msg::InvalidClipboardFormat); }
[[noreturn]] inline void pictureTooLarge() { throw EOutOfResources(msg::PictureTooLarge); }

}  // namespace pixkeep
