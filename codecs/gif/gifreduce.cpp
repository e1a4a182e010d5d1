#include "codecs/gif/gifreduce.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>

#include "raster/rasterstore.h"

namespace pixkeep {

namespace {

uint8_t clampByte(int32_t v) { return uint8_t(v < 0 ? 0 : v > 255 ? 255 : v); }

// Division rounded to the nearest integer, halves away from zero.
int32_t roundedDivide(int32_t value, int32_t divisor) {
  return value >= 0 ? (value + divisor / 2) / divisor : -((-value + divisor / 2) / divisor);
}

}  // namespace

const std::vector<RGBQuad>& WebCubePalette() {
  static const std::vector<RGBQuad> palette = [] {
    std::vector<RGBQuad> p;
    p.reserve(216);
    for (int r = 0; r < 6; ++r)
      for (int g = 0; g < 6; ++g)
        for (int b = 0; b < 6; ++b) p.push_back(rgbQuad(uint8_t(51 * r), uint8_t(51 * g), uint8_t(51 * b)));
    return p;
  }();
  return palette;
}

uint8_t TNetscapeColorLookup::NearestIndex(uint8_t red, uint8_t green, uint8_t blue, uint8_t& outRed,
                                           uint8_t& outGreen, uint8_t& outBlue) {
  const int r = Level(red), g = Level(green), b = Level(blue);
  outRed = uint8_t(51 * r);
  outGreen = uint8_t(51 * g);
  outBlue = uint8_t(51 * b);
  return uint8_t(36 * r + 6 * g + b);
}

TFastColorLookup::TFastColorLookup(const std::vector<RGBQuad>& palette)
    : TColorLookup(int(std::min<size_t>(palette.size(), 256))), palette_(palette), cache_(32768, -1) {
  palette_.resize(size_t(Colors()));
}

uint8_t TFastColorLookup::NearestIndex(uint8_t red, uint8_t green, uint8_t blue, uint8_t& outRed,
                                       uint8_t& outGreen, uint8_t& outBlue) {
  int16_t& cached = cache_[size_t(((blue >> 3) << 10) | ((green >> 3) << 5) | (red >> 3))];
  if (cached < 0) {
    int best = 0, bestDistance = 196608;
    for (int i = 0; i < Colors(); ++i) {
      const RGBQuad& p = palette_[size_t(i)];
      const int d = std::abs(int(p.red) - red) + std::abs(int(p.green) - green) + std::abs(int(p.blue) - blue);
      if (d < bestDistance) {
        bestDistance = d;
        best = i;
      }
    }
    cached = int16_t(best);
  }
  const RGBQuad& p = palette_[size_t(cached)];
  outRed = p.red;
  outGreen = p.green;
  outBlue = p.blue;
  return uint8_t(cached);
}

uint8_t TGrayScaleLookup::NearestIndex(uint8_t red, uint8_t green, uint8_t blue, uint8_t& outRed,
                                       uint8_t& outGreen, uint8_t& outBlue) {
  const uint8_t grey = uint8_t((77 * red + 150 * green + 29 * blue) >> 8);
  outRed = outGreen = outBlue = grey;
  return grey;
}

uint8_t TMonochromeLookup::NearestIndex(uint8_t red, uint8_t green, uint8_t blue, uint8_t& outRed,
                                        uint8_t& outGreen, uint8_t& outBlue) {
  const bool white = 77 * red + 150 * green + 29 * blue > 32512;
  outRed = outGreen = outBlue = white ? 255 : 0;
  return white ? 1 : 0;
}

uint8_t TDitherEngine::MapPixel(uint8_t red, uint8_t green, uint8_t blue, uint8_t& outRed, uint8_t& outGreen,
                                uint8_t& outBlue) {
  if (column_ < 0 || column_ >= width_) throw std::logic_error("MapPixel outside the row");
  const uint8_t index = lookup_.NearestIndex(red, green, blue, outRed, outGreen, outBlue);
  column_ += direction_;
  return index;
}

void TDitherEngine::NextRow() {
  direction_ = -direction_;
  column_ = direction_ > 0 ? 0 : width_ - 1;
}

void TDitherEngine::MapRow(const uint8_t* source, uint8_t* target) {
  uint8_t r, g, b;
  for (int x = column_; x >= 0 && x < width_; x = column_) {
    const uint8_t* s = source + 3 * size_t(x);
    target[x] = MapPixel(s[2], s[1], s[0], r, g, b);
  }
}

TFloydSteinbergDitherer::TFloydSteinbergDitherer(int width, TColorLookup& lookup)
    : TDitherEngine(width, lookup),
      errors_(3 * (size_t(std::max(width, 0)) + 2), 0),
      webCube_(dynamic_cast<TNetscapeColorLookup*>(&lookup) != nullptr) {}

uint8_t TFloydSteinbergDitherer::MapPixel(uint8_t red, uint8_t green, uint8_t blue, uint8_t& outRed,
                                          uint8_t& outGreen, uint8_t& outBlue) {
  int32_t* cell = &errors_[3 * size_t(cursor_)];
  const uint8_t in[3] = {red, green, blue};
  for (int c = 0; c < 3; ++c)
    carry_[size_t(c)] = clampByte(in[c] + (cell[c] + carry_[size_t(c)] + 8) / 16);
  const uint8_t index = TDitherEngine::MapPixel(uint8_t(carry_[0]), uint8_t(carry_[1]), uint8_t(carry_[2]), outRed,
                                                outGreen, outBlue);
  const uint8_t chosen[3] = {outRed, outGreen, outBlue};
  for (size_t c = 0; c < 3; ++c) {
    const int32_t e = carry_[c] - chosen[c];
    if (e != 0) {
      cell[c] = behind_[c] + 3 * e;
      behind_[c] = below_[c] + 5 * e;
      below_[c] = e;
    }
    carry_[c] = 7 * e;
  }
  cursor_ += Direction();
  return index;
}

void TFloydSteinbergDitherer::NextRow() {
  int32_t* cell = &errors_[3 * size_t(cursor_)];
  for (size_t c = 0; c < 3; ++c) cell[c] = behind_[c];
  carry_ = {};
  below_ = {};
  behind_ = {};
  TDitherEngine::NextRow();
  cursor_ = Direction() > 0 ? 0 : Width() + 1;
}

void TFloydSteinbergDitherer::MapRow(const uint8_t* source, uint8_t* target) {
  if (webCube_) return mapWebCubeRow(source, target);
  TDitherEngine::MapRow(source, target);
}

namespace {

// One step of one channel onto the web cube, looked up by the pixel value v
// and the diffused sum s = cell + carry + 8 at entry 16 v + s' + Bias, where
// s' is s with 15 added when s is negative: floor((16 v + s') / 16) is then
// v + s / 16 truncated toward zero, the value before clamping. Every error
// on the cube, v - 51 * ((v + 3) div 51), lies in -3..47, so cells (at most
// 9 errors) and carry (7 errors) keep s within -40..760, well inside the
// table.
struct WebCubeStep {
  int16_t carry;  // 7 e + 8: the next pixel's carry with the rounding term
  int8_t error;   // e
  uint8_t level;  // the cube level of the clamped value
};
struct WebCubeSteps {
  static constexpr int Bias = 64;
  std::array<WebCubeStep, 16 * 256 + 1024> steps;
  WebCubeSteps() {
    for (size_t i = 0; i < steps.size(); ++i) {
      const int total = int(i) - Bias;
      const int value = total >= 0 ? total / 16 : -((-total + 15) / 16);  // floor(total / 16)
      const int v = clampByte(value);
      const int level = TNetscapeColorLookup::Level(v);
      const int e = v - 51 * level;
      steps[i] = WebCubeStep{int16_t(7 * e + 8), int8_t(e), uint8_t(level)};
    }
  }
};
const WebCubeSteps& webCubeSteps() {
  static const WebCubeSteps table;
  return table;
}

// One channel of one Floyd-Steinberg step onto the web cube (carry8 is the
// carry plus 8); returns the channel's cube level. The same arithmetic as
// MapPixel with TNetscapeColorLookup.
inline int webCubeChannel(const WebCubeSteps& table, int32_t& cell, int32_t& carry8, int32_t& below, int32_t& behind,
                          int value) {
  int32_t sum = cell + carry8;
  sum += (sum >> 31) & 15;
  const WebCubeStep& step = table.steps[size_t(16 * value + sum + WebCubeSteps::Bias)];
  const int32_t e = step.error;
  if (e != 0) {
    cell = behind + 3 * e;
    behind = below + 5 * e;
    below = e;
  }
  carry8 = step.carry;
  return step.level;
}

}  // namespace

// The whole row at once, with the state in locals: the same steps as
// MapPixel with TNetscapeColorLookup, without a call per pixel.
void TFloydSteinbergDitherer::mapWebCubeRow(const uint8_t* source, uint8_t* target) {
  const int width = Width(), direction = Direction();
  int x = Column();
  if (x < 0 || x >= width) return;
  // Pixel x reads cell x on a left-to-right row and cell x + 2 on a
  // right-to-left one.
  const int offset = cursor_ - x;
  int32_t* cells = errors_.data() + 3 * offset;
  const WebCubeSteps& table = webCubeSteps();
  int32_t cr = carry_[0] + 8, cg = carry_[1] + 8, cb = carry_[2] + 8;
  int32_t lr = below_[0], lg = below_[1], lb = below_[2];
  int32_t hr = behind_[0], hg = behind_[1], hb = behind_[2];
  for (int n = direction > 0 ? width - x : x + 1; n > 0; --n, x += direction) {
    const uint8_t* s = source + 3 * x;
    int32_t* cell = cells + 3 * x;
    const int r = webCubeChannel(table, cell[0], cr, lr, hr, s[2]);
    const int g = webCubeChannel(table, cell[1], cg, lg, hg, s[1]);
    const int b = webCubeChannel(table, cell[2], cb, lb, hb, s[0]);
    target[x] = uint8_t(36 * r + 6 * g + b);
  }
  carry_ = {cr - 8, cg - 8, cb - 8};
  below_ = {lr, lg, lb};
  behind_ = {hr, hg, hb};
  cursor_ = x + offset;
  setColumn(x);
}

TKernelDitherer::TKernelDitherer(int width, TColorLookup& lookup, Kernel kernel)
    : TDitherEngine(width, lookup),
      kernel_(std::move(kernel)),
      span_(std::max(width, 0) + 2 * kernel_.radius),
      errors_(size_t(kernel_.rows) * size_t(span_) * 3, 0) {}

uint8_t TKernelDitherer::MapPixel(uint8_t red, uint8_t green, uint8_t blue, uint8_t& outRed, uint8_t& outGreen,
                                  uint8_t& outBlue) {
  const int x = Column(), direction = Direction();
  if (x < 0 || x >= Width()) throw std::logic_error("MapPixel outside the row");
  const int32_t* own = cell(current_, x);
  const int32_t in[3] = {red, green, blue};
  uint8_t wanted[3];
  for (int c = 0; c < 3; ++c) wanted[c] = clampByte(in[c] + roundedDivide(own[c], kernel_.divisor));
  const uint8_t index = TDitherEngine::MapPixel(wanted[0], wanted[1], wanted[2], outRed, outGreen, outBlue);
  const int32_t error[3] = {wanted[0] - outRed, wanted[1] - outGreen, wanted[2] - outBlue};
  if (error[0] == 0 && error[1] == 0 && error[2] == 0) return index;
  const int columns = 2 * kernel_.radius + 1;
  for (int ky = 0; ky < kernel_.rows; ++ky) {
    const int row = (current_ + ky) % kernel_.rows;
    for (int dx = -kernel_.radius; dx <= kernel_.radius; ++dx) {
      const int weight = kernel_.weights[size_t(ky * columns + dx + kernel_.radius)];
      if (weight == 0 || (ky == 0 && dx <= 0)) continue;
      int32_t* target = cell(row, x + dx * direction);
      for (int c = 0; c < 3; ++c) target[c] += error[c] * weight;
    }
  }
  return index;
}

void TKernelDitherer::NextRow() {
  std::fill_n(cell(current_, -kernel_.radius), size_t(span_) * 3, 0);
  current_ = (current_ + 1) % kernel_.rows;
  TDitherEngine::NextRow();
}

// The weights: the pixel's own row (only the columns after it count), then
// the rows below, from left to right for a left-to-right row.
TStuckiDitherer::TStuckiDitherer(int width, TColorLookup& lookup)
    : T5by3Ditherer(width, lookup, Kernel{3, 2, 42, {0, 0, 0, 8, 4,  //
                                                     2, 4, 8, 4, 2,  //
                                                     1, 2, 4, 2, 1}}) {}

TSierraDitherer::TSierraDitherer(int width, TColorLookup& lookup)
    : T5by3Ditherer(width, lookup, Kernel{3, 2, 32, {0, 0, 0, 5, 3,  //
                                                     2, 4, 5, 4, 2,  //
                                                     0, 2, 3, 2, 0}}) {}

TJaJuNiDitherer::TJaJuNiDitherer(int width, TColorLookup& lookup)
    : T5by3Ditherer(width, lookup, Kernel{3, 2, 48, {0, 0, 0, 7, 5,  //
                                                     3, 5, 7, 5, 3,  //
                                                     1, 3, 5, 3, 1}}) {}

TSteveArcheDitherer::TSteveArcheDitherer(int width, TColorLookup& lookup)
    : TKernelDitherer(width, lookup, Kernel{4, 3, 200, {0, 0, 0, 0, 0, 32, 0,     //
                                                        12, 0, 26, 0, 30, 0, 16,  //
                                                        0, 12, 0, 26, 0, 12, 0,   //
                                                        5, 0, 12, 0, 12, 0, 5}}) {}

TBurkesDitherer::TBurkesDitherer(int width, TColorLookup& lookup)
    : TKernelDitherer(width, lookup, Kernel{2, 2, 32, {0, 0, 0, 8, 4,  //
                                                       2, 4, 8, 4, 2}}) {}

TDIBReader::TDIBReader(RasterImage& raster, PixelFormat format) : raster_(raster) { raster_.setPixelFormat(format); }

TDIBWriter::TDIBWriter(RasterImage& target, PixelFormat format, int width, int height,
                       const std::vector<RGBQuad>& palette)
    : target_(target), height_(height) {
  if (format != PixelFormat::Bits8 && format != PixelFormat::Bits24)
    throw GIFException(msg::GIFUnsupportedPixelFormat);
  if (width <= 0 || height <= 0) throw GIFException(msg::GIFInvalidImageDimensions);
  const int bits = format == PixelFormat::Bits8 ? 8 : 24;
  const size_t tableEntries = bits == 8 ? 256 : 0;
  const uint64_t stride = dibStride(width, bits);
  if (stride * uint64_t(height) > 0x7FFFFFFFu) throw EGIFOutOfMemory(msg::GIFOutOfMemoryDIB);
  // Left uninitialised: every pixel is written by the reduction, the
  // padding below.
  try {
    store_ = makeStore(width, height, bits, BI_RGB, false);
  } catch (const std::bad_alloc&) {
    throw EGIFOutOfMemory(msg::GIFOutOfMemoryDIB);
  }
  // As the BMP reader leaves a file with these headers: bottom-up rows, the
  // whole table counted as used and the palette's own entries as important,
  // table entries without their fourth byte.
  ImageHeader& h = store_->header;
  h.biClrUsed = uint32_t(tableEntries);
  h.biClrImportant = uint32_t(std::min(palette.size(), tableEntries));
  store_->colorTable.assign(tableEntries, RGBQuad{});
  for (size_t i = 0; i < tableEntries && i < palette.size(); ++i)
    store_->colorTable[i] = RGBQuad{palette[i].blue, palette[i].green, palette[i].red, 0};
  const size_t pixelBytes = size_t(width) * size_t(bits / 8);
  if (pixelBytes < size_t(stride))
    for (int y = 0; y < height; ++y) std::memset(store_->row(y) + pixelBytes, 0, size_t(stride) - pixelBytes);
}

TDIBWriter::~TDIBWriter() = default;

uint8_t* TDIBWriter::Scanline(int row) {
  if (!store_) throw GIFException(msg::GIFImageHasNoDIB);
  if (row < 0 || row >= height_) throw EInvalidGraphicOperation(msg::ScanLineOutOfRange);
  return store_->row(row);
}

void TDIBWriter::Finish() {
  if (!store_) throw GIFException(msg::GIFImageHasNoDIB);
  target_.install(std::move(store_));
  store_.reset();
}

std::unique_ptr<RasterImage> ReduceToPalette(RasterImage& source, uint8_t paletteMethod, uint8_t ditherAlgorithm,
                                             int32_t quantizerBits, const std::vector<RGBQuad>* customPalette) {
  auto result = std::make_unique<RasterImage>();
  if (paletteMethod == pmNone) {
    result->assign(&source);
    result->setPixelFormat(PixelFormat::Bits24);
    return result;
  }
  // Every setting is checked before the caller's raster is touched.
  if (paletteMethod > pmCustom) throw GIFException(msg::GIFInvalidReductionMethod);
  if (ditherAlgorithm > daBurkes) throw GIFException(msg::GIFInvalidDitherAlgorithm);
  if (paletteMethod == pmQuantize && (quantizerBits < 1 || quantizerBits > 8))
    throw GIFException(msg::GIFInvalidQuantizerBits);
  if (paletteMethod == pmCustom && (!customPalette || customPalette->empty() || customPalette->size() > 256))
    throw GIFException(msg::GIFInvalidCustomPalette);

  const int width = source.width(), height = source.height();
  // Large pictures: the result holds no device bitmap while it is built.
  if (int64_t(width) * int64_t(height) > 500000) result->setPixelFormat(PixelFormat::Bits1);

  TDIBReader reader(source, PixelFormat::Bits24);
  std::vector<RGBQuad> palette;
  std::unique_ptr<TColorLookup> lookup;
  switch (paletteMethod) {
    case pmSystem20: palette = systemPalette20(); break;
    case pmHalftone: palette = halftonePalette(); break;
    case pmGrayscale4: palette = {rgbQuad(0, 0, 0), rgbQuad(128, 128, 128), rgbQuad(192, 192, 192),
                                  rgbQuad(255, 255, 255)}; break;
    case pmMonochrome:
      palette = {rgbQuad(0, 0, 0), rgbQuad(255, 255, 255)};
      lookup = std::make_unique<TMonochromeLookup>();
      break;
    case pmGrayscale256:
      for (int i = 0; i < 256; ++i) palette.push_back(rgbQuad(uint8_t(i), uint8_t(i), uint8_t(i)));
      lookup = std::make_unique<TGrayScaleLookup>();
      break;
    case pmWebCube:
      palette = WebCubePalette();
      lookup = std::make_unique<TNetscapeColorLookup>();
      break;
    case pmQuantize: {
      TColorQuantizer quantizer(1 << quantizerBits);
      for (int y = 0; y < height; ++y) {
        const uint8_t* row = reader.Scanline(y);
        for (int x = 0; x < width; ++x, row += 3) quantizer.AddColor(row[2], row[1], row[0]);
      }
      palette = quantizer.Palette();
      break;
    }
    case pmOptimized: palette = OptimizedPalette(reader, width, height, 256); break;
    case pmCustom: palette = *customPalette; break;
  }
  if (!lookup) lookup = std::make_unique<TFastColorLookup>(palette);

  std::unique_ptr<TDitherEngine> ditherer;
  switch (ditherAlgorithm) {
    case daNearest: ditherer = std::make_unique<TDitherEngine>(width, *lookup); break;
    case daFloydSteinberg: ditherer = std::make_unique<TFloydSteinbergDitherer>(width, *lookup); break;
    case daStucki: ditherer = std::make_unique<TStuckiDitherer>(width, *lookup); break;
    case daSierra: ditherer = std::make_unique<TSierraDitherer>(width, *lookup); break;
    case daJaJuNi: ditherer = std::make_unique<TJaJuNiDitherer>(width, *lookup); break;
    case daSteveArche: ditherer = std::make_unique<TSteveArcheDitherer>(width, *lookup); break;
    case daBurkes: ditherer = std::make_unique<TBurkesDitherer>(width, *lookup); break;
  }

  TDIBWriter writer(*result, PixelFormat::Bits8, width, height, palette);
  for (int y = 0; y < height; ++y) {
    ditherer->MapRow(reader.Scanline(y), writer.Scanline(y));
    ditherer->NextRow();
  }
  ditherer.reset();
  lookup.reset();
  writer.Finish();
  return result;
}

}  // namespace pixkeep
