#include "raster/rasterimage.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#if defined(__x86_64__)
#include <tmmintrin.h>
#endif

#include "platform/clipboard.h"
#include "platform/display.h"
#include "platform/memory.h"
#include "raster/pixelops.h"
#include "raster/rasterstore.h"
#include "platform/savefile.h"

namespace pixkeep {

using pixelops::Layout;

namespace {

int bitCountOf(PixelFormat f) {
  switch (f) {
    case PixelFormat::Bits1: return 1;
    case PixelFormat::Bits4: return 4;
    case PixelFormat::Bits8: return 8;
    case PixelFormat::Bits15: return 16;
    case PixelFormat::Bits16: return 16;
    case PixelFormat::Bits24: return 24;
    case PixelFormat::Bits32: return 32;
    default: return 0;
  }
}

// The 16-colour palette, with the display's own colours where it has a hardware palette.
std::vector<RGBQuad> bits4Palette() {
  std::vector<RGBQuad> t = systemPalette16();
  const Display& d = currentDisplay();
  if (d.sizePalette() >= 16) {
    auto hw = d.systemPaletteEntries();
    for (int i = 0; i < 8; ++i) {
      t[size_t(i)] = hw[size_t(i)];
      t[size_t(8 + i)] = hw[hw.size() - 8 + size_t(i)];
    }
  }
  return t;
}

// Blue, green, red, unused -> blue, green, red for one row of `width` pixels.
void dropFourthBytesPortable(const uint8_t* s, uint8_t* d, int width) {
  auto load = [](const uint8_t* p) { uint32_t v; std::memcpy(&v, p, 4); return v; };
  auto store = [](uint8_t* p, uint32_t v) { std::memcpy(p, &v, 4); };
  int x = 0;
  for (; x + 4 <= width; x += 4, s += 16, d += 12) {
    uint32_t p0 = load(s), p1 = load(s + 4), p2 = load(s + 8), p3 = load(s + 12);
    store(d, (p0 & 0xFFFFFF) | (p1 << 24));
    store(d + 4, ((p1 >> 8) & 0xFFFF) | (p2 << 16));
    store(d + 8, ((p2 >> 16) & 0xFF) | (p3 << 8));
  }
  for (; x < width; ++x, s += 4, d += 3) { d[0] = s[0]; d[1] = s[1]; d[2] = s[2]; }
}

#if defined(__x86_64__)
__attribute__((target("ssse3"))) void dropFourthBytesSsse3(const uint8_t* s, uint8_t* d, int width) {
  const __m128i pack = _mm_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1);
  int x = 0;
  // Each step stores 16 bytes of which 12 are pixels; the next step overwrites
  // the other 4, and the last pixels are left to the scalar loop.
  for (; x + 6 <= width; x += 4, s += 16, d += 12)
    _mm_storeu_si128(reinterpret_cast<__m128i*>(d),
                     _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(s)), pack));
  dropFourthBytesPortable(s, d, width - x);
}
#endif

void dropFourthBytes(const uint8_t* s, uint8_t* d, int width) {
#if defined(__x86_64__)
  static const bool ssse3 = __builtin_cpu_supports("ssse3");
  if (ssse3) return dropFourthBytesSsse3(s, d, width);
#endif
  dropFourthBytesPortable(s, d, width);
}

// Copies every pixel of `src` into `dst` (same size), converting colours:
// exactly for layouts of more than 8 bits, to the nearest colour-table entry
// for indexed layouts.
void convertPixels(const RasterImage::Store& src, RasterImage::Store& dst) {
  const int w = src.width(), h = src.height();
  const int sb = src.header.biBitCount, db = dst.header.biBitCount;
  const bool srcPlain32 = sb == 32 && src.header.biCompression == BI_RGB;
  const bool dstPlain32 = db == 32 && dst.header.biCompression == BI_RGB;
  if (srcPlain32 && db == 24) {
    const size_t pixelBytes = size_t(w) * 3;
    for (int y = 0; y < h; ++y) {
      uint8_t* d = dst.row(y);
      dropFourthBytes(src.row(y), d, w);
      std::memset(d + pixelBytes, 0, dst.stride() - pixelBytes);
    }
    return;
  }
  if (sb == 24 && dstPlain32) {
    for (int y = 0; y < h; ++y) {
      const uint8_t* s = src.row(y);
      uint8_t* d = dst.row(y);
      for (int x = 0; x < w; ++x, s += 3, d += 4) { d[0] = s[0]; d[1] = s[1]; d[2] = s[2]; d[3] = 0; }
    }
    return;
  }
  if (sb == db && src.header.biCompression == dst.header.biCompression &&
      src.header.redMask == dst.header.redMask && src.header.greenMask == dst.header.greenMask &&
      src.header.blueMask == dst.header.blueMask && (sb > 8 || src.colorTable == dst.colorTable)) {
    for (int y = 0; y < h; ++y) std::memcpy(dst.row(y), src.row(y), std::min(src.stride(), dst.stride()));
    return;
  }
  Layout in(src.header, src.colorTable), out(dst.header, dst.colorTable);
  std::vector<uint32_t> line(size_t(std::max(w, 1)));
  for (int y = 0; y < h; ++y) {
    in.decodeRow(src.row(y), w, line.data());
    out.encodeRow(line.data(), w, dst.row(y));
  }
}

// Fills every pixel of a store with white.
void fillWhite(RasterImage::Store& s) {
  Layout layout(s.header, s.colorTable);
  std::vector<uint32_t> line(size_t(std::max(s.width(), 1)), 0xFFFFFF);
  for (int y = 0; y < s.height(); ++y) layout.encodeRow(line.data(), s.width(), s.row(y));
}

std::shared_ptr<RasterImage::Store> makeDeviceStore(int width, int height, bool monochrome) {
  int bits = monochrome ? 1 : currentDisplay().deviceBitCount();
  auto s = makeStore(width, height, bits);
  s->device = true;
  s->colorTable = displayColors(bits);
  return s;
}

}  // namespace

size_t checkedImageSize(int64_t width, int64_t height, int bitCount) {
  if (width < 0 || height < 0 || bitCount <= 0 || bitCount > 32)
    throw EOutOfResources(msg::OutOfResources);
  uint64_t size = dibStride(width, bitCount) * uint64_t(height);
  if (width > 0x7FFFFFFF || height > 0x7FFFFFFF || size > 0x7FFFFFFFu)
    throw EOutOfResources(msg::OutOfResources);
  return size_t(size);
}

std::shared_ptr<RasterImage::Store> makeStore(int width, int height, int bitCount, uint32_t compression,
                                              bool zeroFill) {
  size_t size = checkedImageSize(width, height, bitCount);
  auto s = std::make_shared<RasterImage::Store>();
  s->header.biWidth = width;
  s->header.biHeight = height;
  s->header.biBitCount = uint16_t(bitCount);
  s->header.biCompression = compression;
  s->header.biSizeImage = uint32_t(size);
  if (compression == BI_BITFIELDS && bitCount == 16) {
    s->header.redMask = 0xF800; s->header.greenMask = 0x07E0; s->header.blueMask = 0x001F;
  }
  if (zeroFill) s->bits.assign(size, 0);
  else s->bits.resize(size);
  return s;
}

RasterImage::RasterImage() : store_(makeStore(0, 0, currentDisplay().deviceBitCount())), canvas_(this) {
  store_->device = true;
}

RasterImage::~RasterImage() = default;

void RasterImage::install(std::shared_ptr<Store> store) { store_ = std::move(store); }

void RasterImage::beginChange() {
  if (store_.use_count() > 1) store_ = std::make_shared<Store>(*store_);
  store_->saveStream.reset();
}

void RasterImage::assign(const RasterImage* other) {
  if (other == this) return;
  if (!other) {
    RasterImage blank;
    store_ = blank.store_;
    transparent = false;
    transparentColorValue.reset();
    return;
  }
  store_ = other->store_;
  transparent = other->transparent;
  transparentColorValue = other->transparentColorValue;
}

void RasterImage::createBlank(int width, int height, PixelFormat format, std::vector<RGBQuad> colors) {
  std::shared_ptr<Store> s;
  if (format == PixelFormat::Custom) throw EInvalidGraphic(msg::InvalidPixelFormat);
  if (format == PixelFormat::Device) {
    s = makeDeviceStore(width, height, false);
  } else {
    int bits = bitCountOf(format);
    s = makeStore(width, height, bits, format == PixelFormat::Bits16 ? BI_BITFIELDS : BI_RGB);
    if (bits <= 8) {
      if (colors.empty()) colors = bits == 4 ? bits4Palette() : bits == 8 ? halftonePalette() : displayColors(1);
      colors.resize(std::min<size_t>(colors.size(), size_t(1) << bits));
      s->colorTable = std::move(colors);
      if (s->colorTable.size() != (size_t(1) << bits)) s->header.biClrUsed = uint32_t(s->colorTable.size());
    }
  }
  store_ = std::move(s);
}

void checkPictureFits(int64_t width, int64_t height) {
  const std::string size = std::to_string(width) + " x " + std::to_string(height) + " pixels";
  if (width < 0 || height < 0 || width > 0x7FFFFFFF || height > 0x7FFFFFFF)
    throw EOutOfResources(msg::PictureTooLarge, size);
  const uint64_t pixels = uint64_t(width) * uint64_t(height);
  if (pixels > MaxPicturePixels) {
    throw EOutOfResources(msg::PictureTooLarge, size + " (" + std::to_string(pixels / 1000000) +
                                                    " million) are more than the " +
                                                    std::to_string(MaxPicturePixels / 1000000) +
                                                    " million pixels one picture may have");
  }
  const double bytes = double(pixels) * 4;
  const uint64_t available = probedMemory();
  // Unknown (0): only the pixel bound holds.
  if (available > 0 && bytes > double(available) / 4) {
    throw EOutOfResources(msg::PictureTooLarge, size + " need " + bytesText(bytes) +
                                                    ", more than a quarter of the memory free now (" +
                                                    bytesText(double(available)) + ")");
  }
}

void RasterImage::createUninitialised32(int width, int height) {
  checkPictureFits(width, height);
  std::shared_ptr<Store> s;
  try {
    s = makeStore(width, height, 32, BI_RGB, false);
  } catch (const std::bad_alloc&) {
    throw EOutOfResources(msg::PictureTooLarge);
  }
  if (currentDisplay().deviceBitCount() == 32) {
    s->device = true;
    s->colorTable = displayColors(32);
  }
  store_ = std::move(s);
}

bool RasterImage::empty() const { return store_->empty(); }
int RasterImage::width() const { return store_->empty() ? 0 : store_->width(); }
int RasterImage::height() const { return store_->empty() ? 0 : store_->height(); }
int RasterImage::deviceBitCount() const { return store_->header.biBitCount; }
const ImageHeader& RasterImage::header() const { return store_->header; }
const std::vector<RGBQuad>& RasterImage::colorTable() const { return store_->colorTable; }
size_t RasterImage::stride() const { return store_->stride(); }
const std::optional<Palette>& RasterImage::storedPalette() const { return store_->palette; }

const std::vector<uint8_t>* RasterImage::saveStream() const {
  return store_->saveStream ? store_->saveStream.get() : nullptr;
}

PixelFormat RasterImage::pixelFormat() const {
  const ImageHeader& h = store_->header;
  if (store_->device) return PixelFormat::Device;
  switch (h.biBitCount) {
    case 1: return PixelFormat::Bits1;
    case 4: return PixelFormat::Bits4;
    case 8: return PixelFormat::Bits8;
    case 24: return PixelFormat::Bits24;
    case 16:
      if (h.biCompression == BI_RGB) return PixelFormat::Bits15;
      if (h.biCompression == BI_BITFIELDS && h.greenMask == 0x07E0) return PixelFormat::Bits16;
      return PixelFormat::Custom;
    case 32:
      return h.biCompression == BI_RGB ? PixelFormat::Bits32 : PixelFormat::Custom;
    default:
      return PixelFormat::Custom;
  }
}

void RasterImage::setPixelFormat(PixelFormat format) {
  if (pixelFormat() == format) return;
  if (format == PixelFormat::Custom) throw EInvalidGraphic(msg::InvalidPixelFormat);
  const Store& src = *store_;
  std::shared_ptr<Store> dst;
  if (format == PixelFormat::Device) {
    dst = makeDeviceStore(src.width(), src.height(), src.header.biBitCount == 1);
    dst->palette = src.palette;
  } else {
    const int bits = bitCountOf(format);
    // The row-copying conversions write every byte, padding included.
    const bool wholeRows = (src.header.biBitCount == 32 && src.header.biCompression == BI_RGB && bits == 24) ||
                           (src.header.biBitCount == 24 && format == PixelFormat::Bits32);
    dst = makeStore(src.width(), src.height(), bits, format == PixelFormat::Bits16 ? BI_BITFIELDS : BI_RGB,
                    !wholeRows);
    std::optional<Palette> chosen;
    if (format == PixelFormat::Bits4) chosen = Palette{bits4Palette(), false};
    else if (format == PixelFormat::Bits8) chosen = Palette{halftonePalette(), false};
    else chosen = src.palette;
    if (bits <= 8) {
      std::vector<RGBQuad> table;
      // A 1-bit target only takes a palette made for two colours: the first two
      // entries of a larger one would turn a picture into two arbitrary colours.
      const bool paletteFits = chosen && !chosen->entries.empty() && (bits > 1 || chosen->entries.size() <= 2);
      if (bits == 1 && src.device) table = displayColors(1);
      else if (paletteFits) table = chosen->entries;
      else if (!src.colorTable.empty() && (bits > 1 || src.colorTable.size() <= 2)) table = src.colorTable;
      if (table.empty()) table = displayColors(1);
      table.resize(std::min<size_t>(table.size(), size_t(1) << bits));
      dst->colorTable = std::move(table);
      if (dst->colorTable.size() != (size_t(1) << bits)) dst->header.biClrUsed = uint32_t(dst->colorTable.size());
    }
    dst->palette = chosen;
  }
  if (!src.empty()) convertPixels(src, *dst);
  store_ = std::move(dst);
}

uint8_t* RasterImage::scanline(int row) {
  beginChange();
  if (row < 0 || row >= height()) throw EInvalidGraphicOperation(msg::ScanLineOutOfRange);
  return store_->row(row);
}

const uint8_t* RasterImage::constScanline(int row) const {
  if (row < 0 || row >= height()) throw EInvalidGraphicOperation(msg::ScanLineOutOfRange);
  return store_->row(row);
}

std::optional<Palette> RasterImage::palette() const {
  const Store& s = *store_;
  if (s.palette) return s.palette;
  if (s.device) return std::nullopt;
  if (!s.colorTable.empty()) {
    const Display& d = currentDisplay();
    if (s.colorTable.size() == 16 && d.sizePalette() >= 16) return Palette{bits4Palette(), false};
    return Palette{s.colorTable, false};
  }
  if (currentDisplay().deviceBitCount() < s.header.biBitCount) return Palette{halftonePalette(), true};
  return std::nullopt;
}

uint32_t RasterImage::pixel(int x, int y) const {
  const Store& s = *store_;
  if (s.empty() || x < 0 || y < 0 || x >= s.width() || y >= s.height()) return 0xFFFFFFFFu;
  Layout layout(s.header, s.colorTable);
  return pixelops::rgbToColor(layout.getPixel(s.row(y), x));
}

uint32_t RasterImage::transparentColor() const {
  if (transparentColorValue) return resolveColor(*transparentColorValue) | 0x02000000u;
  if (store_->header.biBitCount == 1 || empty()) return 0x02FFFFFFu;
  return pixel(0, height() - 1) | 0x02000000u;
}

BitmapDescription RasterImage::handle() {
  beginChange();
  return BitmapDescription{width(), height(), 1, store_->header.biBitCount};
}

void RasterImage::loadFromClipboardBitmap(unsigned format, const PlatformBitmap* bitmap,
                                          const std::vector<RGBQuad>* palette, const Decoder& decode) {
  if (format != CF_BITMAP || !bitmap) throw EInvalidGraphic(msg::UnsupportedClipboardFormat);
  const PlatformBitmap& b = *bitmap;
  if (b.encoded) {
    // Decoded into a raster of its own first, so that a failure leaves this one as it was.
    if (!decode) throw EInvalidGraphic(msg::UnsupportedClipboardFormat);
    RasterImage decoded;
    decode(*b.encoded, decoded);
    if (palette && !palette->empty()) {
      std::vector<RGBQuad> entries = *palette;
      if (entries.size() > 256) entries.resize(256);
      decoded.store_->palette = Palette{std::move(entries), false};
    }
    store_ = std::move(decoded.store_);
    return;
  }
  if (b.width < 0 || b.height < 0 || b.planes != 1) throw EInvalidGraphic(msg::InvalidBitmap);

  std::shared_ptr<Store> fresh;
  if (b.width == 0 || b.height == 0) {
    fresh = makeDeviceStore(0, 0, false);
  } else if (!b.dibSection) {
    // Describe the device-dependent source as a bottom-up BI_RGB layout.
    auto source = std::make_shared<Store>();
    source->header.biWidth = b.width;
    source->header.biHeight = b.height;
    source->header.biBitCount = uint16_t(b.bitsPixel);
    if (b.bitsPixel != 1 && b.bitsPixel != 4 && b.bitsPixel != 8 && b.bitsPixel != 16 &&
        b.bitsPixel != 24 && b.bitsPixel != 32)
      throw EInvalidGraphic(msg::InvalidBitmap);
    if (b.bits.size() < checkedImageSize(b.width, b.height, b.bitsPixel))
      throw EInvalidGraphic(msg::InvalidBitmap);
    source->colorTable = b.bitsPixel == 1 ? displayColors(1)
                         : palette && !palette->empty() ? *palette
                                                        : displayColors(b.bitsPixel);
    fresh = makeDeviceStore(b.width, b.height, b.bitsPixel == 1);
    if (b.bitsPixel == fresh->header.biBitCount && b.bitsPixel > 8) {
      // Already in the display's layout: a straight copy.
      std::memcpy(fresh->bits.data(), b.bits.data(), fresh->bits.size());
    } else {
      source->bits.assign(b.bits.begin(), b.bits.end());
      if (fresh->header.biBitCount <= 8) fillWhite(*fresh);
      convertPixels(*source, *fresh);
    }
  } else {
    ImageHeader h = b.header;
    h.biSize = 40;
    h.biPlanes = 1;
    if (h.biBitCount == 0) h.biBitCount = uint16_t(currentDisplay().deviceBitCount());
    if (h.biWidth != b.width || (h.biHeight < 0 ? -int64_t(h.biHeight) : h.biHeight) != b.height)
      throw EInvalidGraphic(msg::InvalidBitmap);
    if (h.biCompression != BI_RGB && h.biCompression != BI_BITFIELDS) throw EInvalidGraphic(msg::InvalidBitmap);
    if (h.biCompression == BI_BITFIELDS && h.biBitCount != 16 && h.biBitCount != 32)
      throw EInvalidGraphic(msg::InvalidBitmap);
    int bits = h.biBitCount;
    if (bits != 1 && bits != 2 && bits != 4 && bits != 8 && bits != 16 && bits != 24 && bits != 32)
      throw EInvalidGraphic(msg::InvalidBitmap);
    size_t size = checkedImageSize(b.width, b.height, bits);
    if (b.bits.size() < size) throw EInvalidGraphic(msg::InvalidBitmap);
    if (h.biCompression == BI_BITFIELDS && h.redMask == 0 && h.greenMask == 0 && h.blueMask == 0) {
      if (bits == 16) { h.redMask = 0xF800; h.greenMask = 0x07E0; h.blueMask = 0x001F; }
      else { h.redMask = 0x00FF0000; h.greenMask = 0x0000FF00; h.blueMask = 0x000000FF; }
    }
    h.biSizeImage = uint32_t(size);
    fresh = std::make_shared<Store>();
    fresh->header = h;
    if (bits <= 8) {
      std::vector<RGBQuad> table = palette && !palette->empty() ? *palette : b.colorTable;
      if (table.size() > 256) table.resize(256);
      fresh->colorTable = table;
      fresh->header.biClrUsed = uint32_t(table.size());
      if (table == b.colorTable) {
        fresh->bits.assign(b.bits.begin(), b.bits.begin() + long(size));
      } else {
        fresh->bits.assign(size, 0);
        Store source;
        source.header = h;
        source.colorTable = b.colorTable;
        source.bits.assign(b.bits.begin(), b.bits.begin() + long(size));
        fillWhite(*fresh);
        convertPixels(source, *fresh);
      }
    } else {
      fresh->bits.assign(b.bits.begin(), b.bits.begin() + long(size));
    }
  }
  if (palette && !palette->empty()) {
    std::vector<RGBQuad> entries = *palette;
    if (entries.size() > 256) entries.resize(256);
    fresh->palette = Palette{std::move(entries), false};
  }
  store_ = std::move(fresh);
}

void RasterImage::saveToFile(const std::string& name) const {
  saveToFileAtomically(name, [this](Stream& s) { saveToBmpStream(s); });
}

}  // namespace pixkeep
