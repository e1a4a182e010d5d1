// Reading and writing pixels of any device-independent layout. Colours move
// through these helpers as packed 0x00RRGGBB values ("rgb").
#pragma once

#include <array>
#include <memory>
#include <cstdint>
#include <vector>

#include "platform/bitmap.h"

namespace pixkeep::pixelops {

inline uint32_t packRgb(uint8_t r, uint8_t g, uint8_t b) { return (uint32_t(r) << 16) | (uint32_t(g) << 8) | b; }
inline uint8_t red(uint32_t rgb) { return uint8_t(rgb >> 16); }
inline uint8_t green(uint32_t rgb) { return uint8_t(rgb >> 8); }
inline uint8_t blue(uint32_t rgb) { return uint8_t(rgb); }
inline uint32_t quadToRgb(const RGBQuad& q) { return packRgb(q.red, q.green, q.blue); }
// Colour values (0x00BBGGRR) to and from packed rgb.
inline uint32_t colorToRgb(uint32_t c) { return packRgb(uint8_t(c), uint8_t(c >> 8), uint8_t(c >> 16)); }
inline uint32_t rgbToColor(uint32_t rgb) { return uint32_t(red(rgb)) | (uint32_t(green(rgb)) << 8) | (uint32_t(blue(rgb)) << 16); }

// Maps colours to the nearest entry of a colour table (smallest squared
// distance in red, green and blue; the lowest index wins a tie).
class NearestColor {
 public:
  explicit NearestColor(const std::vector<RGBQuad>& table);
  uint8_t operator()(uint32_t rgb);

 private:
  std::vector<uint32_t> table_;
  std::array<uint32_t, 4096> cacheKey_{};
  std::array<uint8_t, 4096> cacheIndex_{};
};

struct ChannelMask {
  uint32_t mask = 0;
  int shift = 0;
  int bits = 0;
  explicit ChannelMask(uint32_t m = 0);
  uint8_t extract(uint32_t v) const;  // widened to 8 bits by bit replication
  uint32_t insert(uint8_t v8) const;
};

// One device-independent layout: bit count, compression and masks, colour table.
class Layout {
 public:
  Layout(const ImageHeader& header, const std::vector<RGBQuad>& table);
  int bitCount() const { return bitCount_; }
  void decodeRow(const uint8_t* row, int width, uint32_t* out) const;
  void encodeRow(const uint32_t* in, int width, uint8_t* row);
  uint32_t getPixel(const uint8_t* row, int x) const;
  void setPixel(uint8_t* row, int x, uint32_t rgb);

 private:
  int bitCount_;
  bool bitfields_;
  ChannelMask r_, g_, b_;
  std::vector<uint32_t> table_;
  std::vector<RGBQuad> quads_;
  std::unique_ptr<NearestColor> nearest_;
  NearestColor& nearest();
};

// 5- and 6-bit channels widened so that the largest value becomes 255.
inline uint8_t widen5(uint32_t v) { return uint8_t((v << 3) | (v >> 2)); }
inline uint8_t widen6(uint32_t v) { return uint8_t((v << 2) | (v >> 4)); }

}  // namespace pixkeep::pixelops
