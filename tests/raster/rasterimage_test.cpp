#include <gtest/gtest.h>

#include "raster/errors.h"
#include "raster/rasterimage.h"
#include "tests/raster/test_helpers.h"

namespace pixkeep::test {
namespace {

PlatformBitmap dibSection(int w, int h, uint16_t bits, uint32_t compression, uint32_t greenMask = 0,
                          std::vector<RGBQuad> table = {}) {
  PlatformBitmap b;
  b.width = w;
  b.height = h;
  b.bitsPixel = bits;
  b.dibSection = true;
  b.header.biWidth = w;
  b.header.biHeight = h;
  b.header.biBitCount = bits;
  b.header.biCompression = compression;
  b.header.greenMask = greenMask;
  b.header.redMask = greenMask ? 0x1 : 0;
  b.colorTable = std::move(table);
  b.bits.assign(dibStride(w, bits ? bits : 32) * uint64_t(h), 0);
  return b;
}

TEST(RasterImage, PixelFormatIsDerivedFromTheHeader) {
  struct Case { uint16_t bits; uint32_t compression; uint32_t greenMask; PixelFormat expected; };
  const Case cases[] = {
      {1, BI_RGB, 0, PixelFormat::Bits1},          {4, BI_RGB, 0, PixelFormat::Bits4},
      {8, BI_RGB, 0, PixelFormat::Bits8},          {16, BI_RGB, 0, PixelFormat::Bits15},
      {16, BI_BITFIELDS, 0x07E0, PixelFormat::Bits16}, {16, BI_BITFIELDS, 0x03E0, PixelFormat::Custom},
      {24, BI_RGB, 0, PixelFormat::Bits24},        {32, BI_RGB, 0, PixelFormat::Bits32},
      {32, BI_BITFIELDS, 0xFF00, PixelFormat::Custom}, {2, BI_RGB, 0, PixelFormat::Custom},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.bits << " bits, compression " << c.compression);
    RasterImage r;
    auto src = dibSection(2, 2, c.bits, c.compression, c.greenMask,
                          c.bits <= 8 ? std::vector<RGBQuad>(size_t(1) << c.bits) : std::vector<RGBQuad>{});
    r.loadFromClipboardBitmap(2, &src, nullptr);
    EXPECT_EQ(r.pixelFormat(), c.expected);
  }
  PlatformBitmap device;
  device.width = device.height = 2;
  device.bits.assign(16, 0);
  RasterImage r;
  r.loadFromClipboardBitmap(2, &device, nullptr);
  EXPECT_EQ(r.pixelFormat(), PixelFormat::Device);
  EXPECT_EQ(r.deviceBitCount(), 32);
}

TEST(RasterImage, RowsArePaddedToFourBytes) {
  struct Case { int width; PixelFormat format; size_t stride; };
  const Case cases[] = {{3, PixelFormat::Bits24, 12}, {1, PixelFormat::Bits1, 4},  {33, PixelFormat::Bits1, 8},
                        {9, PixelFormat::Bits4, 8},   {5, PixelFormat::Bits8, 8},  {3, PixelFormat::Bits15, 8},
                        {2, PixelFormat::Bits16, 4},  {3, PixelFormat::Bits32, 12}, {4, PixelFormat::Bits24, 12}};
  for (const Case& c : cases) {
    RasterImage r;
    r.createBlank(c.width, 2, c.format);
    EXPECT_EQ(r.stride(), c.stride) << c.width;
    EXPECT_EQ(r.header().biSizeImage, c.stride * 2);
  }
}

// Every pair of formats, on pictures whose colours every format can hold.
TEST(RasterImage, SetPixelFormatConvertsBetweenEveryPairOfFormats) {
  const uint32_t colours[] = {Black, White, Red, Green, Blue, Yellow, Magenta, Cyan};
  for (PixelFormat from : everyFormat()) {
    for (PixelFormat to : everyFormat()) {
      SCOPED_TRACE(testing::Message() << "from " << int(from) << " to " << int(to));
      const bool mono = from == PixelFormat::Bits1 || to == PixelFormat::Bits1;
      auto expected = [&](int x, int y) {
        return mono ? ((x + y) % 2 ? White : Black) : colours[size_t(x + 3 * y) % 8];
      };
      RasterImage r;
      r.createBlank(5, 3, from);
      paint(r, expected);
      r.setPixelFormat(to);
      EXPECT_EQ(r.pixelFormat(), to);
      ASSERT_EQ(r.width(), 5);
      ASSERT_EQ(r.height(), 3);
      EXPECT_GT(r.header().biHeight, 0);
      for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 5; ++x) ASSERT_EQ(r.pixel(x, y), expected(x, y)) << x << "," << y;
    }
  }
}

TEST(RasterImage, SetPixelFormatBytes) {
  // 32 -> 24 drops the fourth byte and keeps every colour.
  RasterImage r;
  r.createBlank(2, 1, PixelFormat::Bits32);
  putRaw(r, 0, 0, 0xAB123456);
  putRaw(r, 1, 0, 0x7F010203);
  r.setPixelFormat(PixelFormat::Bits24);
  const uint8_t* row = r.constScanline(0);
  EXPECT_EQ(std::vector<uint8_t>(row, row + 8), (std::vector<uint8_t>{0x56, 0x34, 0x12, 0x03, 0x02, 0x01, 0, 0}));

  // Every width, so that wide rows and their tails are both covered.
  for (int width = 1; width <= 41; ++width) {
    RasterImage wide;
    wide.createBlank(width, 2, PixelFormat::Bits32);
    for (int y = 0; y < 2; ++y)
      for (int x = 0; x < width; ++x) putRaw(wide, x, y, 0xEE000000u | uint32_t(x * 0x010203 + y * 0x300000));
    wide.setPixelFormat(PixelFormat::Bits24);
    for (int y = 0; y < 2; ++y) {
      const uint8_t* p = wide.constScanline(y);
      for (int x = 0; x < width; ++x) {
        uint32_t v = uint32_t(x * 0x010203 + y * 0x300000);
        ASSERT_EQ(p[3 * x] | (p[3 * x + 1] << 8) | (p[3 * x + 2] << 16), int(v & 0xFFFFFF)) << width << ":" << x;
      }
      for (size_t pad = size_t(width) * 3; pad < wide.stride(); ++pad) ASSERT_EQ(p[pad], 0) << "padding";
    }
  }

  // 5- and 6-bit channels are widened by repeating their top bits: 0x1F -> 255, 0x10 -> 0x84.
  struct Case { PixelFormat from; uint16_t word; uint32_t colour; };
  const Case cases[] = {{PixelFormat::Bits15, 0x7C00, Red},      {PixelFormat::Bits15, 0x0200, 0x008400},
                        {PixelFormat::Bits15, 0x001F, Blue},     {PixelFormat::Bits16, 0x07E0, Green},
                        {PixelFormat::Bits16, 0x0400, 0x008200}, {PixelFormat::Bits16, 0x8010, 0x840084}};
  for (const Case& c : cases) {
    RasterImage w;
    w.createBlank(1, 1, c.from);
    putRaw(w, 0, 0, c.word);
    w.setPixelFormat(PixelFormat::Bits24);
    EXPECT_EQ(w.pixel(0, 0), c.colour) << std::hex << c.word;
  }

  // Bits16 gets bit fields and the 5-6-5 masks; 24 -> 16 packs red as F8 00 little-endian.
  RasterImage s;
  s.createBlank(1, 1, PixelFormat::Bits24);
  putColor(s, 0, 0, Red);
  s.setPixelFormat(PixelFormat::Bits16);
  EXPECT_EQ(s.header().biCompression, BI_BITFIELDS);
  EXPECT_EQ(s.header().redMask, 0xF800u);
  EXPECT_EQ(s.header().greenMask, 0x07E0u);
  EXPECT_EQ(s.header().blueMask, 0x001Fu);
  EXPECT_EQ(s.constScanline(0)[0], 0x00);
  EXPECT_EQ(s.constScanline(0)[1], 0xF8);
}

TEST(RasterImage, IndexedTargetsUseTheirPalettesAndNearestColours) {
  RasterImage r;
  r.createBlank(3, 1, PixelFormat::Bits24);
  putColor(r, 0, 0, 0x0000F0);  // nearly red
  putColor(r, 1, 0, 0x7F7F7F);  // mid grey
  putColor(r, 2, 0, 0xC8C8C8);
  RasterImage four;
  four.assign(&r);
  four.setPixelFormat(PixelFormat::Bits4);
  EXPECT_EQ(four.colorTable(), systemPalette16());
  EXPECT_EQ(four.pixel(0, 0), Red);
  EXPECT_EQ(four.pixel(1, 0), 0x808080u);
  EXPECT_EQ(four.pixel(2, 0), 0xC0C0C0u);
  ASSERT_TRUE(four.storedPalette());
  EXPECT_EQ(four.storedPalette()->entries, systemPalette16());

  RasterImage eight;
  eight.assign(&r);
  eight.setPixelFormat(PixelFormat::Bits8);
  EXPECT_EQ(eight.colorTable(), halftonePalette());
  EXPECT_EQ(halftonePalette().size(), 256u);
  EXPECT_EQ(eight.pixel(0, 0), Red);
  EXPECT_EQ(eight.pixel(2, 0), 0xCCCCCCu);

  // A 1-bit copy of a device raster is black and white.
  RasterImage mono;
  mono.createBlank(2, 1, PixelFormat::Device);
  putColor(mono, 0, 0, 0x202020);
  putColor(mono, 1, 0, 0xE0E0E0);
  mono.setPixelFormat(PixelFormat::Bits1);
  EXPECT_EQ(mono.colorTable(), (std::vector<RGBQuad>{rgbQuad(0, 0, 0), rgbQuad(255, 255, 255)}));
  EXPECT_EQ(mono.pixel(0, 0), Black);
  EXPECT_EQ(mono.pixel(1, 0), White);
}

TEST(RasterImage, HardwarePaletteReplacesTheSixteenColours) {
  std::vector<RGBQuad> hw(256);
  for (size_t i = 0; i < 256; ++i) hw[i] = rgbQuad(uint8_t(i), 1, 2);
  ScopedDisplay display(8, 96, hw);
  RasterImage r;
  r.createBlank(1, 1, PixelFormat::Bits24);
  r.setPixelFormat(PixelFormat::Bits4);
  EXPECT_EQ(r.colorTable()[0], rgbQuad(0, 1, 2));
  EXPECT_EQ(r.colorTable()[7], rgbQuad(7, 1, 2));
  EXPECT_EQ(r.colorTable()[8], rgbQuad(248, 1, 2));
  EXPECT_EQ(r.colorTable()[15], rgbQuad(255, 1, 2));
}

TEST(RasterImage, SetPixelFormatErrorsAndNoOps) {
  RasterImage r;
  r.createBlank(2, 2, PixelFormat::Bits24);
  const uint8_t* before = r.constScanline(0);
  r.setPixelFormat(PixelFormat::Bits24);
  EXPECT_EQ(r.constScanline(0), before);
  try {
    r.setPixelFormat(PixelFormat::Custom);
    FAIL();
  } catch (const EInvalidGraphic& e) {
    EXPECT_STREQ(e.what(), "Invalid pixel format");
  }
  EXPECT_EQ(r.pixelFormat(), PixelFormat::Bits24);
}

TEST(RasterImage, CopyOnWriteKeepsSharingRastersApart) {
  RasterImage a, b;
  a.createBlank(4, 4, PixelFormat::Bits24);
  paint(a, [](int, int) { return White; });
  b.assign(&a);
  EXPECT_EQ(a.constScanline(0), b.constScanline(0)) << "assign shares the pixels";
  putColor(b, 1, 1, Red);
  EXPECT_EQ(b.pixel(1, 1), Red);
  EXPECT_EQ(a.pixel(1, 1), White);
  EXPECT_NE(a.constScanline(0), b.constScanline(0));

  // Drawing text on one of two sharing rasters.
  RasterImage c;
  c.assign(&a);
  c.canvas().font.color = 0x000000;
  c.canvas().textOut(0, 0, "MW");
  int changedC = 0, changedA = 0;
  for (int y = 0; y < 4; ++y)
    for (int x = 0; x < 4; ++x) {
      changedC += c.pixel(x, y) != White;
      changedA += a.pixel(x, y) != White;
    }
  EXPECT_GT(changedC, 0);
  EXPECT_EQ(changedA, 0);

  // A format change of one leaves the other's format alone.
  b.setPixelFormat(PixelFormat::Bits8);
  EXPECT_EQ(a.pixelFormat(), PixelFormat::Bits24);

  // assign(nullptr) empties.
  b.assign(nullptr);
  EXPECT_TRUE(b.empty());
  EXPECT_EQ(b.width(), 0);
}

TEST(RasterImage, ScanlineIsTopDownAndBoundsChecked) {
  RasterImage r;
  r.createBlank(3, 4, PixelFormat::Bits24);
  putColor(r, 0, 0, Red);
  EXPECT_EQ(r.scanline(0)[2], 0xFF) << "scanline(0) is the top row";
  EXPECT_EQ(r.scanline(1) - r.scanline(0), -12);
  for (int row : {-1, 4, 1000}) {
    try {
      r.scanline(row);
      FAIL() << row;
    } catch (const EInvalidGraphicOperation& e) {
      EXPECT_STREQ(e.what(), "Scan line index out of range");
    }
  }
  // A top-down section: scanline(0) is the first stored row.
  auto src = dibSection(1, 2, 24, BI_RGB);
  src.header.biHeight = -2;
  src.bits[2] = 0xFF;  // first stored row red
  RasterImage t;
  t.loadFromClipboardBitmap(2, &src, nullptr);
  EXPECT_EQ(t.height(), 2);
  EXPECT_EQ(t.pixel(0, 0), Red);
  EXPECT_EQ(t.scanline(1) - t.scanline(0), 4);
}

TEST(RasterImage, ClipboardBitmapImport) {
  // Device-dependent 32-bit source on a 32-bit display: the same bytes.
  PlatformBitmap dev;
  dev.width = 2;
  dev.height = 1;
  dev.bits = {1, 2, 3, 0, 4, 5, 6, 0};
  RasterImage r;
  r.loadFromClipboardBitmap(2, &dev, nullptr);
  EXPECT_EQ(r.pixelFormat(), PixelFormat::Device);
  EXPECT_EQ(r.header().biBitCount, 32);
  EXPECT_EQ(std::vector<uint8_t>(r.constScanline(0), r.constScanline(0) + 8), dev.bits);
  EXPECT_FALSE(r.palette());

  // On a 16-bit display the device raster holds 5-5-5 words.
  {
    ScopedDisplay d16(16);
    PlatformBitmap red;
    red.width = red.height = 1;
    red.bits = {0, 0, 0xFF, 0};
    RasterImage s;
    s.loadFromClipboardBitmap(2, &red, nullptr);
    EXPECT_EQ(s.pixelFormat(), PixelFormat::Device);
    EXPECT_EQ(s.deviceBitCount(), 16);
    EXPECT_EQ(s.constScanline(0)[0], 0x00);
    EXPECT_EQ(s.constScanline(0)[1], 0x7C);
  }

  // A monochrome source stays 1 bit, black and white.
  PlatformBitmap mono;
  mono.width = 8;
  mono.height = 1;
  mono.bitsPixel = 1;
  mono.bits = {0xA0, 0, 0, 0};
  RasterImage m;
  m.loadFromClipboardBitmap(2, &mono, nullptr);
  EXPECT_EQ(m.pixelFormat(), PixelFormat::Device);
  EXPECT_EQ(m.header().biBitCount, 1);
  EXPECT_EQ(m.colorTable(), (std::vector<RGBQuad>{rgbQuad(0, 0, 0), rgbQuad(255, 255, 255)}));
  EXPECT_EQ(m.pixel(0, 0), White);
  EXPECT_EQ(m.pixel(1, 0), Black);
  EXPECT_EQ(m.transparentColor(), 0x02FFFFFFu);

  // A section keeps its header; a clipboard palette becomes its colour table and palette.
  std::vector<RGBQuad> pal = {rgbQuad(10, 20, 30), rgbQuad(40, 50, 60)};
  auto sec = dibSection(2, 1, 8, BI_RGB, 0, {rgbQuad(10, 20, 30), rgbQuad(40, 50, 60)});
  sec.header.biXPelsPerMeter = 2835;
  sec.bits[0] = 1;
  RasterImage p;
  p.loadFromClipboardBitmap(2, &sec, &pal);
  EXPECT_EQ(p.pixelFormat(), PixelFormat::Bits8);
  EXPECT_EQ(p.colorTable(), pal);
  EXPECT_EQ(p.header().biClrUsed, 2u);
  EXPECT_EQ(p.header().biXPelsPerMeter, 2835);
  EXPECT_EQ(p.pixel(0, 0), 0x3C3228u);
  ASSERT_TRUE(p.storedPalette());
  EXPECT_EQ(p.storedPalette()->entries, pal);

  // Zero bit fields get the default masks.
  auto bf = dibSection(1, 1, 32, BI_BITFIELDS);
  bf.header.redMask = 0;
  RasterImage q;
  q.loadFromClipboardBitmap(2, &bf, nullptr);
  EXPECT_EQ(q.header().redMask, 0x00FF0000u);
  EXPECT_EQ(q.header().blueMask, 0x000000FFu);

  // An empty source gives an empty raster.
  PlatformBitmap none;
  none.width = 0;
  none.height = 5;
  q.loadFromClipboardBitmap(2, &none, nullptr);
  EXPECT_TRUE(q.empty());

  // Wrong format or no data.
  for (auto [format, bitmap] : {std::pair<unsigned, const PlatformBitmap*>{3, &dev}, {2, nullptr}}) {
    try {
      r.loadFromClipboardBitmap(format, bitmap, nullptr);
      FAIL();
    } catch (const EInvalidGraphic& e) {
      EXPECT_STREQ(e.what(), "Unsupported clipboard format");
    }
  }
  EXPECT_EQ(r.width(), 2) << "a failed import keeps the raster";
  // Too few bytes for the size it claims.
  PlatformBitmap shortBits = dev;
  shortBits.bits.resize(4);
  EXPECT_THROW(r.loadFromClipboardBitmap(2, &shortBits, nullptr), EInvalidGraphic);
}

TEST(RasterImage, PaletteOnDemandTransparentColourAndHandle) {
  RasterImage r;
  r.createBlank(2, 2, PixelFormat::Bits8);
  ASSERT_TRUE(r.palette());
  EXPECT_EQ(r.palette()->entries, halftonePalette());

  RasterImage t;
  t.createBlank(2, 2, PixelFormat::Bits24);
  EXPECT_FALSE(t.palette()) << "a 32-bit display needs no palette for 24 bits";
  {
    ScopedDisplay d8(8);
    ASSERT_TRUE(t.palette());
    EXPECT_TRUE(t.palette()->madeForDisplay);
  }
  putColor(t, 0, 1, Cyan);  // bottom-left pixel
  EXPECT_EQ(t.transparentColor(), 0x02FFFF00u);
  t.transparentColorValue = 0x80000008;  // window-text system colour
  EXPECT_EQ(t.transparentColor(), 0x02000000u);
  t.transparentColorValue = 0x123456;
  EXPECT_EQ(t.transparentColor(), 0x02123456u);

  RasterImage shared;
  shared.assign(&t);
  BitmapDescription d = shared.handle();
  EXPECT_EQ(d.width, 2);
  EXPECT_EQ(d.height, 2);
  EXPECT_EQ(d.bitsPerPixel, 24);
  EXPECT_NE(shared.constScanline(0), t.constScanline(0)) << "handle() counts as a change";
  RasterImage dev;
  dev.createBlank(1, 1, PixelFormat::Device);
  EXPECT_EQ(dev.handle().bitsPerPixel, 32);
}

}  // namespace
}  // namespace pixkeep::test
