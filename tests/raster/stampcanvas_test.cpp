#include <gtest/gtest.h>

#include "raster/errors.h"
#include "raster/rasterimage.h"
#include "tests/raster/test_helpers.h"

namespace pixkeep::test {
namespace {

struct Box { int left, top, right, bottom; };

// Pixels whose colour differs from `background`, and their bounding box.
int changedPixels(const RasterImage& r, uint32_t background, Box* bounds = nullptr) {
  int n = 0;
  Box b{1 << 30, 1 << 30, -1, -1};
  for (int y = 0; y < r.height(); ++y)
    for (int x = 0; x < r.width(); ++x)
      if (r.pixel(x, y) != background) {
        ++n;
        b = {std::min(b.left, x), std::min(b.top, y), std::max(b.right, x + 1), std::max(b.bottom, y + 1)};
      }
  if (bounds) *bounds = b;
  return n;
}

void whiteRaster(RasterImage& r, int w, int h, PixelFormat f = PixelFormat::Bits24, uint32_t colour = White) {
  r.createBlank(w, h, f);
  paint(r, [colour](int, int) { return colour; });
}

TEST(StampCanvas, DefaultsAndBrushRules) {
  RasterImage r;
  StampCanvas& c = r.canvas();
  EXPECT_EQ(c.font.name, "MS Sans Serif");
  EXPECT_EQ(c.font.height, -11);
  EXPECT_EQ(c.font.style, 0);
  EXPECT_EQ(c.font.charset, 1);
  EXPECT_EQ(c.font.pitch, FontPitch::fpDefault);
  EXPECT_EQ(c.font.color, 0x80000008u);
  EXPECT_EQ(c.brush.style(), BrushStyle::bsSolid);
  EXPECT_EQ(c.brush.color(), 0xFFFFFFu);
  c.brush.setColor(0x123456);
  c.brush.setStyle(BrushStyle::bsClear);
  EXPECT_EQ(c.brush.color(), 0xFFFFFFu) << "bsClear makes the brush white";
  c.brush.setStyle(BrushStyle::bsSolid);
  EXPECT_EQ(c.brush.color(), 0xFFFFFFu);
  c.brush.setStyle(BrushStyle::bsClear);
  c.brush.setColor(0xFF);
  EXPECT_EQ(c.brush.style(), BrushStyle::bsSolid) << "a colour makes a clear brush solid";
  {
    ScopedDisplay dpi120(32, 120);
    RasterImage s;
    EXPECT_EQ(s.canvas().font.height, -13);
  }
  EXPECT_EQ(systemColor(8), 0u) << "window text is black";
}

TEST(StampCanvas, TextWidth) {
  RasterImage r;
  StampCanvas& c = r.canvas();
  EXPECT_EQ(c.textWidth(""), 0);
  int one = c.textWidth("W");
  int two = c.textWidth("WW");
  EXPECT_GT(one, 3);
  EXPECT_EQ(two, 2 * one);
  int regular = c.textWidth("Pixkeep stamp");
  c.font.style = fsBold;
  EXPECT_GT(c.textWidth("Pixkeep stamp"), regular);
  c.font.height = -22;
  EXPECT_GT(c.textWidth("Pixkeep stamp"), regular * 3 / 2);
  EXPECT_GT(c.fontMetrics().cellHeight(), 22);
}

TEST(StampCanvas, ClearBrushChangesOnlyGlyphPixels) {
  RasterImage r;
  whiteRaster(r, 80, 30);
  StampCanvas& c = r.canvas();
  c.font.style = fsBold;
  c.font.color = Red;
  c.brush.setStyle(BrushStyle::bsClear);
  const int width = c.textWidth("Hello");
  const int cell = c.fontMetrics().cellHeight();
  c.textOut(10, 5, "Hello");
  Box b;
  int changed = changedPixels(r, White, &b);
  EXPECT_GT(changed, 20);
  EXPECT_LT(changed, width * cell / 2) << "only glyphs, no background";
  EXPECT_GE(b.left, 10);
  EXPECT_LE(b.right, 10 + width + 1);
  EXPECT_GE(b.top, 5);
  EXPECT_LE(b.bottom, 5 + cell);
  int pureText = 0;
  for (int y = 0; y < 30; ++y)
    for (int x = 0; x < 80; ++x) {
      uint32_t p = r.pixel(x, y);
      pureText += p == Red;
      // Antialiased edges lie between white and red: red channel stays 255.
      if (p != White) {
        EXPECT_EQ(p & 0xFF, 0xFFu);
      }
    }
  EXPECT_GT(pureText, 10);
  EXPECT_EQ(c.penX(), 10 + width);
  EXPECT_EQ(c.penY(), 5);
}

TEST(StampCanvas, SolidBrushPaintsTheWholeCellBox) {
  RasterImage r;
  whiteRaster(r, 90, 40, PixelFormat::Bits24, Blue);
  StampCanvas& c = r.canvas();
  c.font.style = fsBold;
  c.font.color = Black;
  const int width = c.textWidth("Stamp 42");
  const int cell = c.fontMetrics().cellHeight();
  c.textOut(7, 4, "Stamp 42");  // default brush: solid white
  Box b;
  changedPixels(r, Blue, &b);
  EXPECT_EQ(b.left, 7);
  EXPECT_EQ(b.top, 4);
  EXPECT_EQ(b.right, 7 + width);
  EXPECT_EQ(b.bottom, 4 + cell);
  int white = 0, dark = 0;
  for (int y = 4; y < 4 + cell; ++y)
    for (int x = 7; x < 7 + width; ++x) {
      uint32_t p = r.pixel(x, y);
      EXPECT_NE(p, Blue) << x << "," << y;
      white += p == White;
      dark += p == Black;
    }
  EXPECT_GT(white, dark);
  EXPECT_GT(dark, 10);

  // An empty text with the white background draws nothing.
  RasterImage e;
  whiteRaster(e, 10, 10, PixelFormat::Bits24, Blue);
  e.canvas().textOut(1, 1, "");
  EXPECT_EQ(changedPixels(e, Blue), 0);
}

TEST(StampCanvas, TextIsClippedAtEveryEdge) {
  struct Case { const char* name; int x, y; };
  const Case cases[] = {{"left", -15, 5}, {"top", 5, -6}, {"right", 30, 5}, {"bottom", 5, 14},
                        {"all corners", -20, -8}, {"far outside", 100000, -100000}, {"far negative", -100000, 3}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RasterImage r;
    whiteRaster(r, 40, 20, PixelFormat::Bits24, Blue);
    r.canvas().font.style = fsBold;
    r.canvas().textOut(c.x, c.y, "WWWWWWW");
    const int width = r.canvas().textWidth("WWWWWWW");
    const int cell = r.canvas().fontMetrics().cellHeight();
    Box expected{std::max(c.x, 0), std::max(c.y, 0), std::min(c.x + width, 40), std::min(c.y + cell, 20)};
    Box b;
    int changed = changedPixels(r, Blue, &b);
    if (expected.left >= expected.right || expected.top >= expected.bottom) {
      EXPECT_EQ(changed, 0);
    } else {
      EXPECT_EQ(b.left, expected.left);
      EXPECT_EQ(b.top, expected.top);
      EXPECT_EQ(b.right, expected.right);
      EXPECT_EQ(b.bottom, expected.bottom);
    }
  }
}

TEST(StampCanvas, DrawsIntoEveryPixelFormat) {
  for (PixelFormat f : everyFormat()) {
    SCOPED_TRACE(int(f));
    RasterImage r;
    whiteRaster(r, 30, 16, f);
    r.canvas().font.style = fsBold;
    r.canvas().font.color = Black;
    r.canvas().brush.setStyle(BrushStyle::bsClear);
    r.canvas().textOut(2, 1, "Hi");
    EXPECT_EQ(r.pixelFormat(), f);
    int black = 0;
    for (int y = 0; y < 16; ++y)
      for (int x = 0; x < 30; ++x) black += r.pixel(x, y) == Black;
    EXPECT_GT(black, 10);
  }
}

TEST(StampCanvas, DrawingWithoutAnInstalledRasteriserIsRefused) {
  TextRasteriser* installed = textRasteriser();
  setTextRasteriser(nullptr);
  RasterImage r;
  r.createBlank(4, 4, PixelFormat::Bits24);
  try {
    r.canvas().textOut(0, 0, "x");
    ADD_FAILURE() << "textOut drew without a rasteriser";
  } catch (const EInvalidOperation& e) {
    EXPECT_STREQ(e.what(), "Canvas does not allow drawing");
  }
  EXPECT_THROW(r.canvas().textWidth("x"), EInvalidOperation);
  EXPECT_EQ(r.canvas().textWidth(""), 0);
  setTextRasteriser(installed);
}

}  // namespace
}  // namespace pixkeep::test
