// The stamp's pixels against a reference drawn here with FreeType straight
// from the Liberation Sans files of fonts-liberation: the same on every
// machine, whatever other fonts are installed and whatever fontconfig would
// pick for "MS Sans Serif".
#include <gtest/gtest.h>

#include <ft2build.h>
#include FT_FREETYPE_H

#include <cmath>
#include <string>
#include <vector>

#include "raster/rasterimage.h"
#include "tests/raster/test_helpers.h"

namespace pixkeep::test {
namespace {

const std::string FontDir = PIXKEEP_STAMP_FONT_DIR;

struct Picture {
  int width = 0, height = 0;
  std::vector<uint32_t> pixels;  // colours 0x00BBGGRR, top-down
  uint32_t& at(int x, int y) { return pixels[size_t(y) * size_t(width) + size_t(x)]; }
};

uint32_t channel(uint32_t c, int shift) { return (c >> shift) & 0xFF; }

// `over` drawn with coverage `a` (0..255) onto `under`, channel by channel.
uint32_t blend(uint32_t over, uint32_t under, unsigned a) {
  uint32_t out = 0;
  for (int shift : {0, 8, 16})
    out |= ((channel(over, shift) * a + channel(under, shift) * (255 - a) + 127) / 255) << shift;
  return out;
}

// The text drawn with the face in `file` onto `picture`, the top-left corner
// of its first cell at (x, y): `height` negative is the em size in pixels,
// positive the cell height (ascent plus descent); with `box`, the advance
// width by the cell height is first filled with `boxColour`. Returns false
// when the file cannot be read.
bool drawReference(const std::string& file, int height, const std::u32string& text, uint32_t colour, bool box,
                   uint32_t boxColour, int x, int y, Picture& picture) {
  FT_Library library;
  if (FT_Init_FreeType(&library) != 0) return false;
  FT_Face face;
  if (FT_New_Face(library, file.c_str(), 0, &face) != 0) {
    FT_Done_FreeType(library);
    return false;
  }
  const long em = height < 0 ? -height
                             : std::lround(double(height) * face->units_per_EM / (face->ascender - face->descender));
  FT_Set_Pixel_Sizes(face, 0, FT_UInt(em));
  const int ascent = int((face->size->metrics.ascender + 63) / 64);
  const int descent = int((-face->size->metrics.descender + 63) / 64);

  // Pen positions first: the box needs the whole advance.
  std::vector<int> pens;
  int pen = 0;
  FT_UInt previous = 0;
  for (char32_t c : text) {
    const FT_UInt glyph = FT_Get_Char_Index(face, c);
    FT_Vector kern{0, 0};
    if (FT_HAS_KERNING(face) && previous && glyph) FT_Get_Kerning(face, previous, glyph, FT_KERNING_DEFAULT, &kern);
    pen += int(kern.x / 64);
    pens.push_back(pen);
    FT_Load_Glyph(face, glyph, FT_LOAD_DEFAULT | FT_LOAD_NO_BITMAP);
    pen += int((face->glyph->advance.x + 32) / 64);
    previous = glyph;
  }
  auto inside = [&](long px, long py) { return px >= 0 && py >= 0 && px < picture.width && py < picture.height; };
  if (box)
    for (int py = y; py < y + ascent + descent; ++py)
      for (int px = x; px < x + pen; ++px)
        if (inside(px, py)) picture.at(px, py) = boxColour;

  for (size_t i = 0; i < text.size(); ++i) {
    FT_Load_Char(face, text[i], FT_LOAD_RENDER | FT_LOAD_NO_BITMAP);
    const FT_GlyphSlot slot = face->glyph;
    for (unsigned r = 0; r < slot->bitmap.rows; ++r)
      for (unsigned c = 0; c < slot->bitmap.width; ++c) {
        const long px = x + pens[i] + slot->bitmap_left + long(c), py = y + ascent - slot->bitmap_top + long(r);
        const unsigned a = slot->bitmap.buffer[long(r) * slot->bitmap.pitch + long(c)];
        if (a && inside(px, py)) picture.at(int(px), int(py)) = blend(colour, picture.at(int(px), int(py)), a);
      }
  }
  FT_Done_Face(face);
  FT_Done_FreeType(library);
  return true;
}

// The background under the text: a pattern, so that blending shows.
uint32_t background(int x, int y) { return uint32_t((x * 37) % 256) | uint32_t((y * 91) % 256) << 8 | 0x400000; }

struct Case {
  const char* name;
  const char* face;
  uint8_t style;
  int height;
  const char* utf8;
  std::u32string text;
  uint32_t colour;
  bool clearBrush;
};

const Case Cases[] = {
    {"bold, the capture's stamp", "MS Sans Serif", fsBold, -11, "Pixkeep 17.03.2026 14:05",
     U"Pixkeep 17.03.2026 14:05", Black, false},
    {"regular, kerning pairs", "MS Sans Serif", 0, -11, "AVAWAY To Ty W\xc3\xb6rter", U"AVAWAY To Ty W\u00f6rter",
     0x2040C0, false},
    {"bold, 13 pixels", "MS Sans Serif", fsBold, -13, "Stamp \xe2\x82\xac 42", U"Stamp \u20ac 42", Red, false},
    {"bold, clear brush over the picture", "MS Sans Serif", fsBold, -11, "MW mw 0123", U"MW mw 0123", 0x10E0E0, true},
    {"regular, cell height 16", "MS Sans Serif", 0, 16, "Height gjpqy", U"Height gjpqy", Blue, false},
    // The system's default face by its own name: the same face.
    {"the face named Default", "Default", fsBold, -11, "Default 42", U"Default 42", Black, false},
};

std::string styleFile(uint8_t style, const char* family) {
  return FontDir + "/" + family + (style & fsBold ? "-Bold.ttf" : "-Regular.ttf");
}

Picture startPicture(int w, int h) {
  Picture p{w, h, std::vector<uint32_t>(size_t(w) * size_t(h))};
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) p.at(x, y) = background(x, y);
  return p;
}

TEST(StampFont, PixelsEqualLiberationSansDrawnFromItsFile) {
  constexpr int W = 240, H = 30, X = 3, Y = 2;
  for (const Case& c : Cases) {
    SCOPED_TRACE(c.name);
    Picture expected = startPicture(W, H);
    ASSERT_TRUE(drawReference(styleFile(c.style, "LiberationSans"), c.height, c.text, c.colour, !c.clearBrush, White,
                              X, Y, expected))
        << "fonts-liberation is a declared dependency: " << styleFile(c.style, "LiberationSans");
    // The comparison tells faces apart: the same text in the other face of
    // the package differs.
    Picture other = startPicture(W, H);
    ASSERT_TRUE(drawReference(styleFile(c.style, "LiberationSerif"), c.height, c.text, c.colour, !c.clearBrush, White,
                              X, Y, other));
    ASSERT_NE(other.pixels, expected.pixels);
    ASSERT_NE(expected.pixels, startPicture(W, H).pixels) << "the reference has ink";

    RasterImage r;
    r.createBlank(W, H, PixelFormat::Bits24);
    paint(r, background);
    StampCanvas& canvas = r.canvas();
    canvas.font.name = c.face;
    canvas.font.style = c.style;
    canvas.font.height = c.height;
    canvas.font.color = c.colour;
    if (c.clearBrush) canvas.brush.setStyle(BrushStyle::bsClear);
    canvas.textOut(X, Y, c.utf8);

    int differing = 0;
    std::string first;
    for (int y = 0; y < H; ++y)
      for (int x = 0; x < W; ++x)
        if (r.pixel(x, y) != expected.at(x, y) && differing++ == 0)
          first = std::to_string(x) + "," + std::to_string(y) + ": " + std::to_string(r.pixel(x, y)) +
                  " instead of " + std::to_string(expected.at(x, y));
    EXPECT_EQ(differing, 0) << "pixels differ from Liberation Sans, the first at " << first;
  }
}

}  // namespace
}  // namespace pixkeep::test
