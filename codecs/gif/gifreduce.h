// Colour reduction of a raster for a GIF frame: the palettes, the lookups
// that find a palette index for a colour, the ditherers that walk a picture
// in serpentine order, and the DIB reader and writer around them.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "raster/rasterimage.h"
#include "codecs/gif/GIFImage.h"

namespace pixkeep {

// The 216 colours of the web-safe cube: entry 36r + 6g + b is (51r, 51g, 51b).
const std::vector<RGBQuad>& WebCubePalette();

// Finds the palette index for a colour and reports the palette's colour.
class TColorLookup {
 public:
  explicit TColorLookup(int colors) : colors_(colors) {}
  virtual ~TColorLookup() = default;
  int Colors() const { return colors_; }
  virtual uint8_t NearestIndex(uint8_t red, uint8_t green, uint8_t blue, uint8_t& outRed, uint8_t& outGreen,
                               uint8_t& outBlue) = 0;

 private:
  int colors_;
};

// The web-safe cube by arithmetic: level (v + 3) div 51 per channel.
class TNetscapeColorLookup final : public TColorLookup {
 public:
  TNetscapeColorLookup() : TColorLookup(216) {}
  static int Level(int value) { return (value + 3) / 51; }
  uint8_t NearestIndex(uint8_t red, uint8_t green, uint8_t blue, uint8_t& outRed, uint8_t& outGreen,
                       uint8_t& outBlue) override;
};

// Any palette: the entry with the smallest |dr| + |dg| + |db| (the first of
// equals), remembered per 15-bit colour.
class TFastColorLookup final : public TColorLookup {
 public:
  explicit TFastColorLookup(const std::vector<RGBQuad>& palette);
  uint8_t NearestIndex(uint8_t red, uint8_t green, uint8_t blue, uint8_t& outRed, uint8_t& outGreen,
                       uint8_t& outBlue) override;

 private:
  std::vector<RGBQuad> palette_;
  std::vector<int16_t> cache_;  // 32768 entries, -1 until looked up
};

// 256 greys: index (77r + 150g + 29b) shr 8.
class TGrayScaleLookup final : public TColorLookup {
 public:
  TGrayScaleLookup() : TColorLookup(256) {}
  uint8_t NearestIndex(uint8_t red, uint8_t green, uint8_t blue, uint8_t& outRed, uint8_t& outGreen,
                       uint8_t& outBlue) override;
};

// Black (0) or white (1) by the same weighted brightness.
class TMonochromeLookup final : public TColorLookup {
 public:
  TMonochromeLookup() : TColorLookup(2) {}
  uint8_t NearestIndex(uint8_t red, uint8_t green, uint8_t blue, uint8_t& outRed, uint8_t& outGreen,
                       uint8_t& outBlue) override;
};

// Maps pixels one at a time in serpentine order: row 0 left to right, row 1
// right to left, and so on. This base maps each pixel to its nearest colour.
class TDitherEngine {
 public:
  TDitherEngine(int width, TColorLookup& lookup) : width_(width), lookup_(lookup) {}
  virtual ~TDitherEngine() = default;
  TDitherEngine(const TDitherEngine&) = delete;
  TDitherEngine& operator=(const TDitherEngine&) = delete;

  int Width() const { return width_; }
  int Direction() const { return direction_; }
  int Column() const { return column_; }

  // The palette index for a pixel; the chosen colour goes to the out bytes.
  // Advances the column by the direction.
  virtual uint8_t MapPixel(uint8_t red, uint8_t green, uint8_t blue, uint8_t& outRed, uint8_t& outGreen,
                           uint8_t& outBlue);
  // Once after each row: turns the direction around.
  virtual void NextRow();
  // Maps one row from the current column while it stays inside the row:
  // `source` holds blue, green, red bytes, `target` one index per pixel.
  virtual void MapRow(const uint8_t* source, uint8_t* target);

 protected:
  TColorLookup& lookup() { return lookup_; }
  void setColumn(int column) { column_ = column; }

 private:
  int width_;
  int direction_ = 1;
  int column_ = 0;
  TColorLookup& lookup_;
};

// Floyd-Steinberg error diffusion. Errors are kept at sixteen times their
// value: 7/16 of a pixel's error goes to the next pixel of the row, 3/16,
// 5/16 and 1/16 into the error cells at the cursor, one and two steps
// further on, which the next row reads.
class TFloydSteinbergDitherer final : public TDitherEngine {
 public:
  TFloydSteinbergDitherer(int width, TColorLookup& lookup);
  uint8_t MapPixel(uint8_t red, uint8_t green, uint8_t blue, uint8_t& outRed, uint8_t& outGreen,
                   uint8_t& outBlue) override;
  void NextRow() override;
  void MapRow(const uint8_t* source, uint8_t* target) override;

 private:
  void mapWebCubeRow(const uint8_t* source, uint8_t* target);

  // Per channel (red, green, blue), interleaved: cell i of channel c is
  // errors_[3 * i + c]; width + 2 cells.
  std::vector<int32_t> errors_;
  int cursor_ = 0;
  std::array<int32_t, 3> carry_{}, below_{}, behind_{};
  bool webCube_;
};

// Error diffusion over a fixed kernel of weights: one row ahead of the pixel
// on its own row and full rows below it, mirrored on right-to-left rows.
class TKernelDitherer : public TDitherEngine {
 public:
  struct Kernel {
    int rows;      // the pixel's row and the rows below it
    int radius;    // columns on either side of the pixel
    int divisor;   // the sum of the weights
    std::vector<int> weights;  // rows x (2 radius + 1), row 0 left of and at the pixel unused
  };
  uint8_t MapPixel(uint8_t red, uint8_t green, uint8_t blue, uint8_t& outRed, uint8_t& outGreen,
                   uint8_t& outBlue) override;
  void NextRow() override;

 protected:
  TKernelDitherer(int width, TColorLookup& lookup, Kernel kernel);

 private:
  int32_t* cell(int row, int column) {
    return &errors_[(size_t(row) * size_t(span_) + size_t(column + kernel_.radius)) * 3];
  }
  Kernel kernel_;
  int span_;      // cells of one error row
  int current_ = 0;  // the error row of the pixel's own row
  std::vector<int32_t> errors_;
};

// Kernels of five columns and three rows.
class T5by3Ditherer : public TKernelDitherer {
 protected:
  using TKernelDitherer::TKernelDitherer;
};

class TStuckiDitherer final : public T5by3Ditherer {
 public:
  TStuckiDitherer(int width, TColorLookup& lookup);
};

class TSierraDitherer final : public T5by3Ditherer {
 public:
  TSierraDitherer(int width, TColorLookup& lookup);
};

// Jarvis, Judice and Ninke.
class TJaJuNiDitherer final : public T5by3Ditherer {
 public:
  TJaJuNiDitherer(int width, TColorLookup& lookup);
};

// Stevenson and Arce: seven columns, four rows.
class TSteveArcheDitherer final : public TKernelDitherer {
 public:
  TSteveArcheDitherer(int width, TColorLookup& lookup);
};

class TBurkesDitherer final : public TKernelDitherer {
 public:
  TBurkesDitherer(int width, TColorLookup& lookup);
};

// Converts a raster in place to a pixel format and hands out its rows.
class TDIBReader {
 public:
  TDIBReader(RasterImage& raster, PixelFormat format);
  const uint8_t* Scanline(int row) const { return raster_.constScanline(row); }

 private:
  RasterImage& raster_;
};

// Builds a device-independent bitmap of 8 bits (with a 256-entry colour
// table: the palette, then black) or 24 bits: the raster that the BMP reader
// makes of such a file, built in its own pixel store so that every pixel is
// written once. Finish() hands it to the target raster; a writer destroyed
// without Finish() leaves the target alone.
class TDIBWriter {
 public:
  TDIBWriter(RasterImage& target, PixelFormat format, int width, int height, const std::vector<RGBQuad>& palette);
  ~TDIBWriter();
  TDIBWriter(const TDIBWriter&) = delete;
  TDIBWriter& operator=(const TDIBWriter&) = delete;

  // Top-down row `row`; raises "Image has no DIB" once the bitmap is handed over.
  uint8_t* Scanline(int row);
  void Finish();

 private:
  RasterImage& target_;
  int height_;
  std::shared_ptr<RasterImage::Store> store_;
};

// Octree colour quantisation: at most `maxColors` colours of the picture
// (8 bits per channel), in tree order.
class TColorQuantizer {
 public:
  explicit TColorQuantizer(int maxColors);
  ~TColorQuantizer();
  TColorQuantizer(const TColorQuantizer&) = delete;
  TColorQuantizer& operator=(const TColorQuantizer&) = delete;
  void AddColor(uint8_t red, uint8_t green, uint8_t blue);
  std::vector<RGBQuad> Palette() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// A palette of at most `maxColors` colours chosen for the picture by Wu's
// variance-minimising split of the colour cube.
std::vector<RGBQuad> OptimizedPalette(const TDIBReader& reader, int width, int height, int maxColors);

// Maps a raster onto a palette: returns a Bits8 raster whose colour table has
// 256 entries (the palette, then black), or for pmNone a Bits24 copy. The
// source raster itself is converted to Bits24 (except for pmNone).
std::unique_ptr<RasterImage> ReduceToPalette(RasterImage& source, uint8_t paletteMethod, uint8_t ditherAlgorithm,
                                             int32_t quantizerBits,
                                             const std::vector<RGBQuad>* customPalette = nullptr);

}  // namespace pixkeep
