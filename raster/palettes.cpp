// Fixed colour tables: the system palettes, the halftone palette and the
// system colours.
#include <array>

#include "platform/display.h"
#include "raster/rasterimage.h"

namespace pixkeep {

const std::vector<RGBQuad>& systemPalette16() {
  static const std::vector<RGBQuad> table = {
      rgbQuad(0x00, 0x00, 0x00), rgbQuad(0x80, 0x00, 0x00), rgbQuad(0x00, 0x80, 0x00),
      rgbQuad(0x80, 0x80, 0x00), rgbQuad(0x00, 0x00, 0x80), rgbQuad(0x80, 0x00, 0x80),
      rgbQuad(0x00, 0x80, 0x80), rgbQuad(0x80, 0x80, 0x80), rgbQuad(0xC0, 0xC0, 0xC0),
      rgbQuad(0xFF, 0x00, 0x00), rgbQuad(0x00, 0xFF, 0x00), rgbQuad(0xFF, 0xFF, 0x00),
      rgbQuad(0x00, 0x00, 0xFF), rgbQuad(0xFF, 0x00, 0xFF), rgbQuad(0x00, 0xFF, 0xFF),
      rgbQuad(0xFF, 0xFF, 0xFF)};
  return table;
}

// The 20 static colours Windows reserves in every palette: 10 at the start,
// 10 at the end.
const std::vector<RGBQuad>& systemPalette20() {
  static const std::vector<RGBQuad> table = {
      rgbQuad(0x00, 0x00, 0x00), rgbQuad(0x80, 0x00, 0x00), rgbQuad(0x00, 0x80, 0x00),
      rgbQuad(0x80, 0x80, 0x00), rgbQuad(0x00, 0x00, 0x80), rgbQuad(0x80, 0x00, 0x80),
      rgbQuad(0x00, 0x80, 0x80), rgbQuad(0xC0, 0xC0, 0xC0), rgbQuad(0xC0, 0xDC, 0xC0),
      rgbQuad(0xA6, 0xCA, 0xF0), rgbQuad(0xFF, 0xFB, 0xF0), rgbQuad(0xA0, 0xA0, 0xA4),
      rgbQuad(0x80, 0x80, 0x80), rgbQuad(0xFF, 0x00, 0x00), rgbQuad(0x00, 0xFF, 0x00),
      rgbQuad(0xFF, 0xFF, 0x00), rgbQuad(0x00, 0x00, 0xFF), rgbQuad(0xFF, 0x00, 0xFF),
      rgbQuad(0x00, 0xFF, 0xFF), rgbQuad(0xFF, 0xFF, 0xFF)};
  return table;
}

// The halftone palette: the first 10 static colours, the 6x6x6 colour cube
// (levels 00 33 66 99 CC FF, red varying slowest), 20 further greys, and the
// last 10 static colours.
const std::vector<RGBQuad>& halftonePalette() {
  static const std::vector<RGBQuad> table = [] {
    std::vector<RGBQuad> t(systemPalette20().begin(), systemPalette20().begin() + 10);
    for (int r = 0; r < 6; ++r)
      for (int g = 0; g < 6; ++g)
        for (int b = 0; b < 6; ++b) t.push_back(rgbQuad(uint8_t(r * 51), uint8_t(g * 51), uint8_t(b * 51)));
    static const uint8_t greys[20] = {0x08, 0x10, 0x18, 0x20, 0x28, 0x38, 0x40, 0x48, 0x50, 0x58,
                                      0x60, 0x68, 0x70, 0x78, 0x88, 0x90, 0xA0, 0xB0, 0xD0, 0xE0};
    for (uint8_t v : greys) t.push_back(rgbQuad(v, v, v));
    t.insert(t.end(), systemPalette20().begin() + 10, systemPalette20().end());
    return t;
  }();
  return table;
}

uint32_t systemColor(int index) {
  // Classic Windows default colours (0x00BBGGRR), COLOR_SCROLLBAR .. COLOR_INFOBK.
  static const std::array<uint32_t, 25> colors = {
      0xC8C8C8, 0x000000, 0xD1B499, 0xDBCDBF, 0xF0F0F0, 0xFFFFFF, 0x646464, 0x000000,
      0x000000, 0x000000, 0xB4B4B4, 0xFCF7F4, 0xABABAB, 0xFF9933, 0xFFFFFF, 0xF0F0F0,
      0xA0A0A0, 0x6D6D6D, 0x000000, 0x000000, 0xFFFFFF, 0x696969, 0xE3E3E3, 0x000000,
      0xE1FFFF};
  return index >= 0 && index < int(colors.size()) ? colors[size_t(index)] : 0;
}

uint32_t resolveColor(uint32_t color) {
  return (color & 0x80000000u) ? systemColor(int(color & 0xFF)) : (color & 0x00FFFFFF);
}

std::vector<RGBQuad> displayColors(int bitCount) {
  if (bitCount == 1) return {rgbQuad(0, 0, 0), rgbQuad(0xFF, 0xFF, 0xFF)};
  if (bitCount > 8) return {};
  size_t n = size_t(1) << bitCount;
  const Display& d = currentDisplay();
  std::vector<RGBQuad> hw = d.sizePalette() > 0 ? d.systemPaletteEntries() : std::vector<RGBQuad>{};
  if (hw.size() >= n) return std::vector<RGBQuad>(hw.begin(), hw.begin() + long(n));
  if (bitCount == 4) return systemPalette16();
  std::vector<RGBQuad> t = halftonePalette();
  t.resize(n);
  return t;
}

}  // namespace pixkeep
