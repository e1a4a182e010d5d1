// The reference-counted pixel store behind RasterImage (internal).
#pragma once

#include <cstdlib>
#include <memory>
#include <optional>
#include <vector>

#include "errors.h"
#include "rasterimage.h"

namespace pixkeep {

struct RasterImage::Store {
  ImageHeader header;                 // the device-independent layout of `bits`
  std::vector<RGBQuad> colorTable;    // 1-, 4- and 8-bit layouts
  std::optional<Palette> palette;
  std::vector<uint8_t> bits;          // stride x |height| bytes
  bool device = false;                // a device-dependent raster
  std::shared_ptr<const std::vector<uint8_t>> saveStream;

  int width() const { return header.biWidth; }
  int height() const { return header.biHeight < 0 ? -header.biHeight : header.biHeight; }
  size_t stride() const { return size_t(dibStride(header.biWidth, header.biBitCount)); }
  bool empty() const { return width() <= 0 || height() <= 0; }
  // Offset of top-down row `row` in `bits`.
  size_t rowOffset(int row) const {
    int memoryRow = header.biHeight > 0 ? height() - 1 - row : row;
    return size_t(memoryRow) * stride();
  }
  uint8_t* row(int r) { return bits.data() + rowOffset(r); }
  const uint8_t* row(int r) const { return bits.data() + rowOffset(r); }
};

// Bytes needed for a width x height raster of `bitCount` bits; raises
// "Out of system resources" when the size cannot be held.
size_t checkedImageSize(int64_t width, int64_t height, int bitCount);

// A store of the given layout with zeroed rows.
std::shared_ptr<RasterImage::Store> makeStore(int width, int height, int bitCount,
                                              uint32_t compression = BI_RGB);

// The colours a display of `bitCount` bits shows for its indexed pixels.
std::vector<RGBQuad> displayColors(int bitCount);

}  // namespace pixkeep
