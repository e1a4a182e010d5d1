// The reference-counted pixel store behind RasterImage (internal).
#pragma once

#include <cstdlib>
#include <memory>
#include <optional>
#include <vector>

#include "platform/memory.h"
#include "raster/errors.h"
#include "raster/rasterimage.h"

namespace pixkeep {

// An allocator that leaves new elements uninitialised, so that a buffer about
// to be overwritten whole is not cleared first.
template <typename T>
struct UninitialisedAllocator : std::allocator<T> {
  template <typename U>
  struct rebind {
    using other = UninitialisedAllocator<U>;
  };
  UninitialisedAllocator() = default;
  template <typename U>
  UninitialisedAllocator(const UninitialisedAllocator<U>&) noexcept {}
  template <typename U>
  void construct(U* p) noexcept {
    ::new (static_cast<void*>(p)) U;
  }
  template <typename U, typename... Args>
  void construct(U* p, Args&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
  }
};
using PixelBytes = std::vector<uint8_t, UninitialisedAllocator<uint8_t>>;

struct RasterImage::Store {
  ImageHeader header;                 // the device-independent layout of `bits`
  std::vector<RGBQuad> colorTable;    // 1-, 4- and 8-bit layouts
  std::optional<Palette> palette;
  PixelBytes bits;                    // stride x |height| bytes
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

// What one decoded picture may take, known from its header before any of
// its pixels are decoded: at most MaxPicturePixels pixels (rasterimage.h),
// and its 32-bit rows at most a quarter of the memory available at that
// moment.

// The memory available is learnt through platform/memory.h
// (setMemoryProbe for tests).

// Raises "The picture is too large to hold", with the size and the bound it
// exceeds, for a 32-bit picture of that size that is beyond the budget.
void checkPictureFits(int64_t width, int64_t height);

// A store of the given layout; its rows are zeroed unless `zeroFill` is false.
std::shared_ptr<RasterImage::Store> makeStore(int width, int height, int bitCount,
                                              uint32_t compression = BI_RGB, bool zeroFill = true);

// Reads a BMP file into `raster` as 32-bit rows (blue, green, red, 0; a
// picture with an alpha mask composited onto white), without a copy of the
// pixels in the file's own layout. Run-length pictures come out in the
// display's layout.
void loadClipboardBmp(Stream& stream, RasterImage& raster);

// The colours a display of `bitCount` bits shows for its indexed pixels.
std::vector<RGBQuad> displayColors(int bitCount);

}  // namespace pixkeep
