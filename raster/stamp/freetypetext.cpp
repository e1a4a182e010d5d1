// Text drawing of the stamp: fonts rasterised by FreeType, blended into the
// raster's own pixels.
//
// The stamp's face, "MS Sans Serif" (and "Default", the name of the system's
// default face, which is that one), is drawn with Liberation Sans
// from fonts-liberation, a declared dependency: its metrics stand in for
// that face, and it is taken by file, never as fontconfig's best match for
// the name. That match depends on what else a machine has installed (Noto
// Sans as soon as fonts-noto-core is there, DejaVu Sans on others), and the
// same picture with the same text must get the same pixels on every
// machine. Any other face name is matched through fontconfig.
#include "raster/stamp/freetypetext.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <tuple>

#include <fontconfig/fontconfig.h>
#include <ft2build.h>
#include FT_FREETYPE_H
#include FT_OUTLINE_H
#include FT_SYNTHESIS_H

#include "raster/errors.h"
#include "raster/pixelops.h"
#include "raster/rasterimage.h"
#include "platform/display.h"

namespace pixkeep {

namespace {

// Text as Unicode code points: UTF-8, with any byte that is not part of a
// valid sequence read as Windows-1252.
std::u32string decodeText(const std::string& text) {
  static const char32_t cp1252[32] = {
      0x20AC, 0x81, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
      0x2039, 0x0152, 0x8D, 0x017D, 0x8F, 0x90, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
      0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x9D, 0x017E, 0x0178};
  std::u32string out;
  size_t i = 0;
  while (i < text.size()) {
    auto c = uint8_t(text[i]);
    int len = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    char32_t cp = 0;
    bool ok = len > 0 && i + size_t(len) <= text.size();
    if (ok) {
      cp = len == 1 ? c : len == 2 ? (c & 0x1F) : len == 3 ? (c & 0x0F) : (c & 0x07);
      for (int k = 1; k < len && ok; ++k) {
        auto cc = uint8_t(text[i + size_t(k)]);
        ok = (cc & 0xC0) == 0x80;
        cp = (cp << 6) | (cc & 0x3F);
      }
      if (ok && len > 1 && (cp < (len == 2 ? 0x80u : len == 3 ? 0x800u : 0x10000u) || cp > 0x10FFFF ||
                            (cp >= 0xD800 && cp <= 0xDFFF)))
        ok = false;
    }
    if (ok) {
      out.push_back(cp);
      i += size_t(len);
    } else {
      out.push_back(c >= 0x80 && c < 0xA0 ? cp1252[c - 0x80] : char32_t(c));
      ++i;
    }
  }
  return out;
}

// One realised font: a FreeType face at its pixel size, with what the face
// itself lacks of the requested style to be synthesised.
struct RealisedFont {
  FT_Face face = nullptr;
  FontMetrics metrics;
  bool emboldenSynthetic = false;
  bool slantSynthetic = false;
};

class FontCache {
 public:
  static FontCache& instance() {
    static FontCache cache;
    return cache;
  }

  RealisedFont& realise(const Font& font) {
    int height = font.height;
    if (height == 0) height = -((8 * currentDisplay().logPixelsY() + 36) / 72);
    bool bold = font.style & fsBold;
    bool italic = font.style & fsItalic;
    auto key = std::make_tuple(font.name, height, bold, italic, int(font.pitch));
    auto it = fonts_.find(key);
    if (it != fonts_.end()) return it->second;

    RealisedFont rf;
    std::string file;
    int index = 0;
    int weight = 0, slant = 0;
    if (font.name == "MS Sans Serif" || font.name == "Default") {
      file = stampFontFile(bold, italic);
      weight = bold ? FC_WEIGHT_BOLD : FC_WEIGHT_REGULAR;
      slant = italic ? FC_SLANT_ITALIC : FC_SLANT_ROMAN;
    }
    // Only a machine without fonts-liberation gets the stamp in whatever
    // face fontconfig offers.
    if (file.empty()) match(font.name == "Default" ? std::string("sans-serif") : font.name, bold, italic,
                            font.pitch, file, index, weight, slant);
    if (file.empty() || FT_New_Face(library_, file.c_str(), index, &rf.face) != 0)
      throw EOutOfResources(msg::OutOfResources);
    FT_Face face = rf.face;
    int em;
    if (height < 0) {
      em = -height;
    } else {
      // A positive height is the cell height: ascent plus descent.
      int unitsCell = face->ascender - face->descender;
      em = unitsCell > 0 ? int(std::lround(double(height) * face->units_per_EM / unitsCell)) : height;
    }
    FT_Set_Pixel_Sizes(face, 0, FT_UInt(std::max(em, 1)));
    rf.metrics.ascent = int((face->size->metrics.ascender + 63) >> 6);
    rf.metrics.descent = int((-face->size->metrics.descender + 63) >> 6);
    rf.emboldenSynthetic = bold && weight < FC_WEIGHT_DEMIBOLD;
    rf.slantSynthetic = italic && slant == FC_SLANT_ROMAN;
    return fonts_.emplace(key, rf).first->second;
  }

  FT_Library library() const { return library_; }

 private:
  FontCache() {
    FcInit();
    if (FT_Init_FreeType(&library_) != 0) library_ = nullptr;
  }
  ~FontCache() {
    for (auto& entry : fonts_) FT_Done_Face(entry.second.face);
    if (library_) FT_Done_FreeType(library_);
    FcFini();
  }

  // The Liberation Sans file of the style: in fonts-liberation's directory,
  // else the file of that name that fontconfig lists under the family
  // "Liberation Sans" (another layout of the same package); empty when there
  // is none.
  static std::string stampFontFile(bool bold, bool italic) {
    const std::string name = std::string("LiberationSans-") +
                             (bold ? (italic ? "BoldItalic" : "Bold") : (italic ? "Italic" : "Regular")) + ".ttf";
    const std::string packaged = std::string(PIXKEEP_STAMP_FONT_DIR) + "/" + name;
    if (FILE* f = std::fopen(packaged.c_str(), "rb")) {
      std::fclose(f);
      return packaged;
    }
    std::string found;
    FcPattern* pattern = FcPatternCreate();
    FcPatternAddString(pattern, FC_FAMILY, reinterpret_cast<const FcChar8*>("Liberation Sans"));
    FcObjectSet* objects = FcObjectSetBuild(FC_FILE, nullptr);
    if (FcFontSet* set = FcFontList(nullptr, pattern, objects)) {
      for (int i = 0; i < set->nfont && found.empty(); ++i) {
        FcChar8* path = nullptr;
        if (FcPatternGetString(set->fonts[i], FC_FILE, 0, &path) != FcResultMatch || !path) continue;
        const std::string candidate = reinterpret_cast<const char*>(path);
        if (candidate.size() > name.size() && candidate.compare(candidate.size() - name.size(), name.size(), name) == 0 &&
            candidate[candidate.size() - name.size() - 1] == '/')
          found = candidate;
      }
      FcFontSetDestroy(set);
    }
    FcObjectSetDestroy(objects);
    FcPatternDestroy(pattern);
    return found;
  }

  void match(const std::string& family, bool bold, bool italic, FontPitch pitch, std::string& file,
             int& index, int& weight, int& slant) {
    FcPattern* pattern = FcPatternCreate();
    FcPatternAddString(pattern, FC_FAMILY, reinterpret_cast<const FcChar8*>(family.c_str()));
    FcPatternAddInteger(pattern, FC_WEIGHT, bold ? FC_WEIGHT_BOLD : FC_WEIGHT_REGULAR);
    FcPatternAddInteger(pattern, FC_SLANT, italic ? FC_SLANT_ITALIC : FC_SLANT_ROMAN);
    if (pitch == FontPitch::fpFixed) FcPatternAddInteger(pattern, FC_SPACING, FC_MONO);
    FcPatternAddBool(pattern, FC_SCALABLE, FcTrue);
    FcConfigSubstitute(nullptr, pattern, FcMatchPattern);
    FcDefaultSubstitute(pattern);
    FcResult result;
    FcPattern* found = FcFontMatch(nullptr, pattern, &result);
    if (found) {
      FcChar8* path = nullptr;
      if (FcPatternGetString(found, FC_FILE, 0, &path) == FcResultMatch && path)
        file = reinterpret_cast<const char*>(path);
      FcPatternGetInteger(found, FC_INDEX, 0, &index);
      if (FcPatternGetInteger(found, FC_WEIGHT, 0, &weight) != FcResultMatch) weight = FC_WEIGHT_REGULAR;
      if (FcPatternGetInteger(found, FC_SLANT, 0, &slant) != FcResultMatch) slant = FC_SLANT_ROMAN;
      FcPatternDestroy(found);
    }
    FcPatternDestroy(pattern);
  }

  FT_Library library_ = nullptr;
  std::map<std::tuple<std::string, int, bool, bool, int>, RealisedFont> fonts_;
};

// Loads one glyph with the synthetic style applied; returns false when the
// face cannot load it.
bool loadGlyph(const RealisedFont& rf, char32_t cp, bool render) {
  FT_Face face = rf.face;
  FT_UInt glyph = FT_Get_Char_Index(face, cp);
  if (FT_Load_Glyph(face, glyph, FT_LOAD_DEFAULT | FT_LOAD_NO_BITMAP) != 0) return false;
  if (rf.slantSynthetic) FT_GlyphSlot_Oblique(face->glyph);
  if (rf.emboldenSynthetic) FT_GlyphSlot_Embolden(face->glyph);
  if (render && face->glyph->format != FT_GLYPH_FORMAT_BITMAP)
    return FT_Render_Glyph(face->glyph, FT_RENDER_MODE_NORMAL) == 0;
  return true;
}

// Walks the text: calls fn(codepoint, penX) for every character and returns
// the total advance.
template <typename Fn>
int layoutText(const RealisedFont& rf, const std::u32string& text, Fn&& fn) {
  FT_Face face = rf.face;
  int pen = 0;
  FT_UInt previous = 0;
  const bool kerning = FT_HAS_KERNING(face);
  for (char32_t cp : text) {
    FT_UInt glyph = FT_Get_Char_Index(face, cp);
    if (kerning && previous && glyph) {
      FT_Vector delta;
      if (FT_Get_Kerning(face, previous, glyph, FT_KERNING_DEFAULT, &delta) == 0) pen += int(delta.x >> 6);
    }
    int advance = fn(cp, pen);
    pen += advance;
    previous = glyph;
  }
  return pen;
}

}  // namespace

FontMetrics FreeTypeText::metrics(const Font& font) { return FontCache::instance().realise(font).metrics; }

int FreeTypeText::textWidth(const Font& font, const std::string& text) {
  if (text.empty()) return 0;
  RealisedFont& rf = FontCache::instance().realise(font);
  return layoutText(rf, decodeText(text), [&](char32_t cp, int) {
    if (!loadGlyph(rf, cp, false)) return 0;
    return int((rf.face->glyph->advance.x + 32) >> 6);
  });
}

int FreeTypeText::textOut(RasterImage& raster, const Font& font, const Brush& brush, int x, int y,
                          const std::string& text) {
  RealisedFont& rf = FontCache::instance().realise(font);
  const std::u32string chars = decodeText(text);
  const int width = textWidth(font, text);
  const int cell = rf.metrics.cellHeight();
  const int W = raster.empty() ? 0 : raster.width(), H = raster.empty() ? 0 : raster.height();
  pixelops::Layout layout(raster.header(), raster.colorTable());
  const uint32_t textRgb = pixelops::colorToRgb(resolveColor(font.color));

  auto fillRect = [&](int64_t left, int64_t top, int64_t right, int64_t bottom, uint32_t rgb) {
    left = std::max<int64_t>(left, 0); top = std::max<int64_t>(top, 0);
    right = std::min<int64_t>(right, W); bottom = std::min<int64_t>(bottom, H);
    for (int64_t row = top; row < bottom; ++row)
      for (int64_t col = left; col < right; ++col) layout.setPixel(raster.scanline(int(row)), int(col), rgb);
  };

  if (brush.style() == BrushStyle::bsSolid)
    fillRect(x, y, int64_t(x) + width, int64_t(y) + cell, pixelops::colorToRgb(resolveColor(brush.color())));

  const int64_t baseline = int64_t(y) + rf.metrics.ascent;
  layoutText(rf, chars, [&](char32_t cp, int pen) {
    if (!loadGlyph(rf, cp, true)) return 0;
    FT_GlyphSlot slot = rf.face->glyph;
    const FT_Bitmap& bm = slot->bitmap;
    const int64_t left = int64_t(x) + pen + slot->bitmap_left;
    const int64_t top = baseline - slot->bitmap_top;
    for (unsigned r = 0; r < bm.rows; ++r) {
      int64_t py = top + r;
      if (py < 0 || py >= H) continue;
      uint8_t* row = raster.scanline(int(py));
      const uint8_t* src = bm.buffer + int64_t(r) * bm.pitch;
      for (unsigned c = 0; c < bm.width; ++c) {
        int64_t px = left + c;
        if (px < 0 || px >= W) continue;
        unsigned a = src[c];
        if (a == 0) continue;
        uint32_t out = textRgb;
        if (a < 255) {
          uint32_t bg = layout.getPixel(row, int(px));
          auto mix = [a](uint32_t f, uint32_t b) { return (f * a + b * (255 - a) + 127) / 255; };
          out = pixelops::packRgb(uint8_t(mix(pixelops::red(textRgb), pixelops::red(bg))),
                                  uint8_t(mix(pixelops::green(textRgb), pixelops::green(bg))),
                                  uint8_t(mix(pixelops::blue(textRgb), pixelops::blue(bg))));
        }
        layout.setPixel(row, int(px), out);
      }
    }
    return int((slot->advance.x + 32) >> 6);
  });

  // Underline and strike-out run the full advance width.
  FT_Face face = rf.face;
  int thickness = std::max(1, int(std::lround(double(face->underline_thickness) * face->size->metrics.y_ppem /
                                              std::max<int>(face->units_per_EM, 1))));
  if (font.style & fsUnderline) {
    int64_t pos = baseline - int64_t(std::lround(double(face->underline_position) *
                                                 face->size->metrics.y_ppem / std::max<int>(face->units_per_EM, 1)));
    fillRect(x, pos, int64_t(x) + width, pos + thickness, textRgb);
  }
  if (font.style & fsStrikeOut) {
    int64_t pos = baseline - rf.metrics.ascent / 3;
    fillRect(x, pos, int64_t(x) + width, pos + thickness, textRgb);
  }
  return width;
}

FreeTypeText& freeTypeText() {
  static FreeTypeText text;
  return text;
}

}  // namespace pixkeep
