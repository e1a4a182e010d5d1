#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/display.h"
#include "raster/rasterimage.h"

namespace pixkeep::test {

// Colour values 0x00BBGGRR.
inline constexpr uint32_t Black = 0x000000, White = 0xFFFFFF, Red = 0x0000FF, Green = 0x00FF00,
                          Blue = 0xFF0000, Yellow = 0x00FFFF, Magenta = 0xFF00FF, Cyan = 0xFFFF00;

// Writes one pixel's raw value straight into the rows (index for indexed
// layouts, the stored word or bytes otherwise), top-down coordinates.
void putRaw(RasterImage& r, int x, int y, uint32_t value);
// Writes a colour in the raster's layout by hand-written packing rules
// (indexed layouts: the exact colour-table entry, which must exist).
void putColor(RasterImage& r, int x, int y, uint32_t color);
// A raster of the given format whose pixel (x, y) has colour f(x, y).
template <typename F>
void paint(RasterImage& r, F f) {
  for (int y = 0; y < r.height(); ++y)
    for (int x = 0; x < r.width(); ++x) putColor(r, x, y, f(x, y));
}

// Little-endian byte builder for hand-made BMP files.
struct Bytes {
  std::vector<uint8_t> v;
  Bytes& u8(uint8_t x) { v.push_back(x); return *this; }
  Bytes& u16(uint16_t x) { u8(uint8_t(x)); return u8(uint8_t(x >> 8)); }
  Bytes& u32(uint32_t x) { u16(uint16_t(x)); return u16(uint16_t(x >> 16)); }
  Bytes& raw(std::initializer_list<uint8_t> xs) { v.insert(v.end(), xs); return *this; }
  Bytes& append(const std::vector<uint8_t>& xs) { v.insert(v.end(), xs.begin(), xs.end()); return *this; }
};

// A 40-byte-header BMP with the given fields, colour table and pixel bytes.
std::vector<uint8_t> makeBmp(int32_t width, int32_t height, uint16_t bits, uint32_t compression,
                             const std::vector<uint32_t>& tableBgr, const std::vector<uint8_t>& pixels,
                             uint32_t clrUsed = 0, uint16_t planes = 1, uint32_t sizeImage = 0);

// Every pixel format a raster can be made in.
const std::vector<PixelFormat>& everyFormat();

// Runs `write` against a file that accepts no bytes (/dev/full) and expects
// "Stream write error".
void expectShortWriteError(const std::function<void(Stream&)>& write);

std::string tempDir();
std::vector<uint8_t> readFile(const std::string& path);

// Installs a display for the lifetime of the object.
class ScopedDisplay {
 public:
  explicit ScopedDisplay(int bits, int dpi = 96, std::vector<RGBQuad> hw = {}) : d_(bits, dpi, std::move(hw)) {
    setCurrentDisplay(&d_);
  }
  ~ScopedDisplay() { setCurrentDisplay(nullptr); }

 private:
  FixedDisplay d_;
};

}  // namespace pixkeep::test
