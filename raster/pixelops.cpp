#include "raster/pixelops.h"

#include <bit>

namespace pixkeep::pixelops {

NearestColor::NearestColor(const std::vector<RGBQuad>& table) {
  table_.reserve(table.size());
  for (const auto& q : table) table_.push_back(quadToRgb(q));
  cacheKey_.fill(0xFFFFFFFFu);
}

uint8_t NearestColor::operator()(uint32_t rgb) {
  rgb &= 0xFFFFFF;
  uint32_t slot = ((rgb * 2654435761u) >> 20) & 4095;
  if (cacheKey_[slot] == rgb) return cacheIndex_[slot];
  int best = 0;
  uint32_t bestDistance = 0xFFFFFFFFu;
  for (size_t i = 0; i < table_.size() && i < 256; ++i) {
    int dr = int(red(rgb)) - red(table_[i]);
    int dg = int(green(rgb)) - green(table_[i]);
    int db = int(blue(rgb)) - blue(table_[i]);
    uint32_t d = uint32_t(dr * dr + dg * dg + db * db);
    if (d < bestDistance) {
      bestDistance = d;
      best = int(i);
      if (d == 0) break;
    }
  }
  cacheKey_[slot] = rgb;
  cacheIndex_[slot] = uint8_t(best);
  return uint8_t(best);
}

ChannelMask::ChannelMask(uint32_t m) : mask(m) {
  if (m == 0) return;
  shift = std::countr_zero(m);
  bits = std::popcount(m);
}

uint8_t ChannelMask::extract(uint32_t v) const {
  if (bits == 0) return 0;
  uint32_t c = (v & mask) >> shift;
  if (bits >= 8) return uint8_t(c >> (bits - 8));
  uint32_t r = 0;
  int filled = 0;
  while (filled < 8) {
    r = (r << bits) | c;
    filled += bits;
  }
  return uint8_t(r >> (filled - 8));
}

uint32_t ChannelMask::insert(uint8_t v8) const {
  if (bits == 0) return 0;
  uint32_t c = bits >= 8 ? uint32_t(v8) << (bits - 8) : uint32_t(v8) >> (8 - bits);
  return (c << shift) & mask;
}

Layout::Layout(const ImageHeader& h, const std::vector<RGBQuad>& table)
    : bitCount_(h.biBitCount), bitfields_(h.biCompression == BI_BITFIELDS), quads_(table) {
  if (bitfields_ && (bitCount_ == 16 || bitCount_ == 32)) {
    uint32_t rm = h.redMask, gm = h.greenMask, bm = h.blueMask;
    if (rm == 0 && gm == 0 && bm == 0) {
      if (bitCount_ == 16) { rm = 0xF800; gm = 0x07E0; bm = 0x001F; }
      else { rm = 0xFF0000; gm = 0xFF00; bm = 0xFF; }
    }
    r_ = ChannelMask(rm); g_ = ChannelMask(gm); b_ = ChannelMask(bm);
  } else if (bitCount_ == 16) {
    bitfields_ = true;
    r_ = ChannelMask(0x7C00); g_ = ChannelMask(0x03E0); b_ = ChannelMask(0x001F);
  } else {
    bitfields_ = false;
  }
  table_.reserve(table.size());
  for (const auto& q : table) table_.push_back(quadToRgb(q));
}

NearestColor& Layout::nearest() {
  if (!nearest_) nearest_ = std::make_unique<NearestColor>(quads_);
  return *nearest_;
}

uint32_t Layout::getPixel(const uint8_t* row, int x) const {
  switch (bitCount_) {
    case 1: case 2: case 4: case 8: {
      int perByte = 8 / bitCount_;
      uint8_t byte = row[x / perByte];
      int shift = 8 - bitCount_ * (x % perByte + 1);
      uint32_t index = uint32_t(byte >> shift) & ((1u << bitCount_) - 1);
      return index < table_.size() ? table_[index] : 0;
    }
    case 16: {
      uint32_t v = uint32_t(row[2 * x]) | (uint32_t(row[2 * x + 1]) << 8);
      return packRgb(r_.extract(v), g_.extract(v), b_.extract(v));
    }
    case 24: {
      const uint8_t* p = row + 3 * x;
      return packRgb(p[2], p[1], p[0]);
    }
    case 32: {
      const uint8_t* p = row + 4 * x;
      if (!bitfields_) return packRgb(p[2], p[1], p[0]);
      uint32_t v = uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
      return packRgb(r_.extract(v), g_.extract(v), b_.extract(v));
    }
    default:
      return 0;
  }
}

void Layout::setPixel(uint8_t* row, int x, uint32_t rgb) {
  switch (bitCount_) {
    case 1: case 2: case 4: case 8: {
      int perByte = 8 / bitCount_;
      uint8_t& byte = row[x / perByte];
      int shift = 8 - bitCount_ * (x % perByte + 1);
      uint8_t mask = uint8_t(((1u << bitCount_) - 1) << shift);
      uint8_t index = nearest()(rgb);
      byte = uint8_t((byte & ~mask) | ((index << shift) & mask));
      return;
    }
    case 16: {
      uint32_t v = r_.insert(red(rgb)) | g_.insert(green(rgb)) | b_.insert(blue(rgb));
      row[2 * x] = uint8_t(v);
      row[2 * x + 1] = uint8_t(v >> 8);
      return;
    }
    case 24: {
      uint8_t* p = row + 3 * x;
      p[0] = blue(rgb); p[1] = green(rgb); p[2] = red(rgb);
      return;
    }
    case 32: {
      uint8_t* p = row + 4 * x;
      uint32_t v = bitfields_ ? (r_.insert(red(rgb)) | g_.insert(green(rgb)) | b_.insert(blue(rgb)))
                              : rgb;
      p[0] = uint8_t(v); p[1] = uint8_t(v >> 8); p[2] = uint8_t(v >> 16); p[3] = uint8_t(v >> 24);
      return;
    }
    default:
      return;
  }
}

void Layout::decodeRow(const uint8_t* row, int width, uint32_t* out) const {
  if (bitCount_ == 24) {
    for (int x = 0; x < width; ++x, row += 3) out[x] = packRgb(row[2], row[1], row[0]);
  } else if (bitCount_ == 32 && !bitfields_) {
    for (int x = 0; x < width; ++x, row += 4) out[x] = packRgb(row[2], row[1], row[0]);
  } else {
    for (int x = 0; x < width; ++x) out[x] = getPixel(row, x);
  }
}

void Layout::encodeRow(const uint32_t* in, int width, uint8_t* row) {
  if (bitCount_ == 24) {
    for (int x = 0; x < width; ++x, row += 3) {
      row[0] = blue(in[x]); row[1] = green(in[x]); row[2] = red(in[x]);
    }
  } else {
    for (int x = 0; x < width; ++x) setPixel(row, x, in[x]);
  }
}

}  // namespace pixkeep::pixelops
