// The drawing surface of a raster: font and brush state, text drawing.
#pragma once

#include <cstdint>
#include <string>

namespace pixkeep {

class RasterImage;

enum FontStyle : uint8_t { fsBold = 1, fsItalic = 2, fsUnderline = 4, fsStrikeOut = 8 };
enum class FontPitch { fpDefault, fpVariable, fpFixed };
enum class BrushStyle { bsSolid, bsClear };

inline constexpr uint32_t clWindowText = 0x80000008;
inline constexpr uint32_t clWhite = 0x00FFFFFF;
inline constexpr uint8_t DEFAULT_CHARSET = 1;

struct Font {
  std::string name = "MS Sans Serif";
  int height = -11;     // negative: character height in pixels without internal leading
  uint8_t style = 0;    // FontStyle bits
  uint8_t charset = DEFAULT_CHARSET;
  FontPitch pitch = FontPitch::fpDefault;
  uint32_t color = clWindowText;
};

class Brush {
 public:
  BrushStyle style() const { return style_; }
  uint32_t color() const { return color_; }
  // bsClear also makes the colour white.
  void setStyle(BrushStyle s) {
    style_ = s;
    if (s == BrushStyle::bsClear) color_ = clWhite;
  }
  // A colour set while the style is bsClear makes the brush solid again.
  void setColor(uint32_t c) {
    color_ = c;
    if (style_ == BrushStyle::bsClear) style_ = BrushStyle::bsSolid;
  }

 private:
  BrushStyle style_ = BrushStyle::bsSolid;
  uint32_t color_ = clWhite;
};

// Metrics of the font as realised for drawing.
struct FontMetrics {
  int ascent = 0;
  int descent = 0;
  int cellHeight() const { return ascent + descent; }
};

// Measures and draws text for the canvases. The program installs the
// FreeType one (capture/stamp); code that never draws text links none.
class TextRasteriser {
 public:
  virtual ~TextRasteriser() = default;
  virtual FontMetrics metrics(const Font& font) = 0;
  virtual int textWidth(const Font& font, const std::string& text) = 0;
  // Draws `text` onto the raster (already made private to it) and returns
  // its advance width.
  virtual int textOut(RasterImage& raster, const Font& font, const Brush& brush, int x, int y,
                      const std::string& text) = 0;
};

// The installed rasteriser; nullptr (the start) makes text drawing raise
// "Canvas does not allow drawing".
TextRasteriser* textRasteriser();
void setTextRasteriser(TextRasteriser* rasteriser);

class StampCanvas {
 public:
  explicit StampCanvas(RasterImage* owner);
  // Resets font and brush to the defaults of a new raster.
  void reset();

  Font font;
  Brush brush;

  // Draws `text` (UTF-8) with the top-left corner of its first character cell
  // at (x, y); parts outside the raster are cut off.
  void textOut(int x, int y, const std::string& text);
  // Advance width of `text` in pixels (with kerning); 0 for an empty string.
  int textWidth(const std::string& text);
  FontMetrics fontMetrics();
  int penX() const { return penX_; }
  int penY() const { return penY_; }

 private:
  RasterImage* owner_;
  int penX_ = 0, penY_ = 0;
};

}  // namespace pixkeep
