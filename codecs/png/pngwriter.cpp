// The PNG stream writer: signature, framed chunks, and the IDAT encoder
// (row conversion, filtering, deflate, 65535-byte IDAT chunks).
#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <zlib.h>
#if defined(__x86_64__)
#include <tmmintrin.h>
#endif

#include "codecs/png/pngimage.h"

namespace pixkeep {

namespace {

constexpr uint8_t Signature[8] = {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};
constexpr uInt IdatChunkSize = 65535;

// CRC-32 tables (PNG specification, annex D): table[0] is the classic
// byte-at-a-time table; tables 1-7 let eight bytes be folded in at once.
const std::array<std::array<uint32_t, 256>, 8>& crcTables() {
  static const auto tables = [] {
    std::array<std::array<uint32_t, 256>, 8> t{};
    for (uint32_t n = 0; n < 256; ++n) {
      uint32_t c = n;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t[0][n] = c;
    }
    for (uint32_t n = 0; n < 256; ++n)
      for (size_t k = 1; k < 8; ++k) t[k][n] = (t[k - 1][n] >> 8) ^ t[0][t[k - 1][n] & 0xFF];
    return t;
  }();
  return tables;
}

void putU32(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v >> 24);
  p[1] = uint8_t(v >> 16);
  p[2] = uint8_t(v >> 8);
  p[3] = uint8_t(v);
}

// Writes one framed chunk: length, type, data, CRC over type and data.
void writeChunkBytes(Stream& stream, const char type[4], const uint8_t* data, uint32_t length) {
  uint8_t head[8];
  putU32(head, length);
  std::memcpy(head + 4, type, 4);
  uint32_t crc = pngCrc32(0, head + 4, 4);
  crc = pngCrc32(crc, data, length);
  uint8_t tail[4];
  putU32(tail, crc);
  stream.writeBuffer(head, 8);
  if (length) stream.writeBuffer(data, length);
  stream.writeBuffer(tail, 4);
}

[[noreturn]] void zlibFailed(int code, const z_stream& z) {
  char text[256];
  std::string detail = std::to_string(code);
  if (z.msg) detail += std::string(": ") + z.msg;
  std::snprintf(text, sizeof text, msg::PngZlibError, detail.c_str());
  throw EPNGZLIBError(text);
}

// Blue, green, red -> red, green, blue for `count` pixels.
void swapRedBluePortable(const uint8_t* p, uint8_t* out, int64_t count) {
  for (int64_t i = 0; i < count; ++i, p += 3, out += 3) {
    out[0] = p[2];
    out[1] = p[1];
    out[2] = p[0];
  }
}

#if defined(__x86_64__)
__attribute__((target("ssse3"))) void swapRedBlueSsse3(const uint8_t* p, uint8_t* out, int64_t count) {
  const __m128i swap = _mm_setr_epi8(2, 1, 0, 5, 4, 3, 8, 7, 6, 11, 10, 9, 14, 13, 12, 15);
  int64_t i = 0;
  // Five pixels a step; 16 bytes are read and written, so stop while a sixth remains.
  for (; i + 6 <= count; i += 5, p += 15, out += 15)
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out),
                     _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), swap));
  swapRedBluePortable(p, out, count - i);
}
#endif

void swapRedBlue(const uint8_t* p, uint8_t* out, int64_t count) {
#if defined(__x86_64__)
  static const bool ssse3 = __builtin_cpu_supports("ssse3");
  if (ssse3) return swapRedBlueSsse3(p, out, count);
#endif
  swapRedBluePortable(p, out, count);
}

// Blue, green, red, unused -> red, green, blue for `count` pixels.
void bgrxToRgbPortable(const uint8_t* p, uint8_t* out, int64_t count) {
  for (int64_t i = 0; i < count; ++i, p += 4, out += 3) {
    out[0] = p[2];
    out[1] = p[1];
    out[2] = p[0];
  }
}

#if defined(__x86_64__)
__attribute__((target("ssse3"))) void bgrxToRgbSsse3(const uint8_t* p, uint8_t* out, int64_t count) {
  const __m128i pack = _mm_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1);
  int64_t i = 0;
  // Eight pixels a step in two stores of 16 bytes, 12 of them pixels each; the
  // next store overwrites the other 4, so stop while two more pixels remain.
  for (; i + 10 <= count; i += 8, p += 32, out += 24) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_shuffle_epi8(a, pack));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 12), _mm_shuffle_epi8(b, pack));
  }
  bgrxToRgbPortable(p, out, count - i);
}
#endif

void bgrxToRgb(const uint8_t* p, uint8_t* out, int64_t count) {
#if defined(__x86_64__)
  static const bool ssse3 = __builtin_cpu_supports("ssse3");
  if (ssse3) return bgrxToRgbSsse3(p, out, count);
#endif
  bgrxToRgbPortable(p, out, count);
}

int paeth(int left, int above, int upperLeft) {
  int estimate = left + above - upperLeft;
  int dLeft = std::abs(estimate - left), dAbove = std::abs(estimate - above), dUpperLeft = std::abs(estimate - upperLeft);
  if (dLeft <= dAbove && dLeft <= dUpperLeft) return left;
  if (dAbove <= dUpperLeft) return above;
  return upperLeft;
}

// Bytes of one row of n pixels without the filter byte, and the distance to
// the corresponding byte of the previous pixel.
void rowGeometry(uint8_t colorType, int bitDepth, int64_t n, size_t& rowLength, size_t& filterDistance) {
  const int64_t b = bitDepth;
  switch (colorType) {
    case COLOR_GRAYSCALE: rowLength = size_t((n * b + 7) / 8); filterDistance = b == 16 ? 2 : 1; break;
    case COLOR_PALETTE: rowLength = size_t((n * b + 7) / 8); filterDistance = 1; break;
    case COLOR_RGB: rowLength = size_t(n * b * 3 / 8); filterDistance = size_t(b * 3 / 8); break;
    case COLOR_GRAYSCALEALPHA: rowLength = size_t(n * b * 2 / 8); filterDistance = size_t(b / 4); break;
    default: rowLength = size_t(n * b * 4 / 8); filterDistance = size_t(b / 2); break;
  }
  if (filterDistance < 1) filterDistance = 1;
}

// The IDAT encoder's state for one save.
class IdatWriter {
 public:
  IdatWriter(TPNGObject& png, Stream& stream)
      : png_(png), h_(png.headerChunk()), stream_(stream), out_(size_t(png.idatBufferSize())) {
    z_ = z_stream{};
    int rc = deflateInit(&z_, png.deflateLevel);
    if (rc != Z_OK) zlibFailed(rc, z_);
    zInit_ = true;
    z_.next_out = out_.data();
    z_.avail_out = IdatChunkSize;
    identityGamma_ = true;
    for (int i = 0; i < 256; ++i) identityGamma_ = identityGamma_ && png.encodeGamma[size_t(i)] == i;
  }
  ~IdatWriter() {
    if (zInit_) deflateEnd(&z_);
  }

  void write() {
    if (png_.interlaceMode == 1) writeRowsAdam7();
    else writeRows();
  }

 private:
  void allocateRows() {
    for (int i = 0; i < 6; ++i) {
      const bool wanted = i == 0 || i == 5 || (png_.rowFilters & (1 << i));
      rows_[size_t(i)].assign(wanted ? rowLength_ + 1 : 0, 0);
    }
  }

  // Builds the PNG row of the pixels at columns start, start + step, ...
  // of top-down row y into rows_[5].
  void convertRow(int y, int start, int step, int64_t count) {
    uint8_t* out = row(5);
    // Wide rows (a shared 32-bit raster) are read as they are held.
    const bool wideRows = h_.image.wide();
    const uint8_t* dib = wideRows ? h_.image.held().constScanline(y) : h_.image.constScanline(y);
    const int pixelBytes = wideRows ? 4 : 3;
    const uint8_t* alpha = h_.alphaPlane.empty() ? nullptr : &h_.alphaPlane[size_t(y) * size_t(h_.Width)];
    const auto& gamma = png_.encodeGamma;
    const int depth = h_.bitDepth;
    switch (h_.colorType) {
      case COLOR_RGB:
      case COLOR_RGBALPHA: {
        if (h_.colorType == COLOR_RGB && depth == 8 && identityGamma_ && step == 1) {
          if (wideRows) bgrxToRgb(dib + 4 * start, out, count);
          else swapRedBlue(dib + 3 * start, out, count);
          break;
        }
        const bool withAlpha = h_.colorType == COLOR_RGBALPHA;
        const bool wide = depth == 16;
        for (int64_t i = 0; i < count; ++i) {
          const int64_t x = start + i * step;
          const uint8_t* p = dib + pixelBytes * x;
          uint8_t samples[4] = {gamma[p[2]], gamma[p[1]], gamma[p[0]], alpha ? alpha[x] : uint8_t(0)};
          for (int c = 0; c < (withAlpha ? 4 : 3); ++c) {
            *out++ = samples[c];
            if (wide) *out++ = 0;
          }
        }
        break;
      }
      case COLOR_GRAYSCALEALPHA:
        for (int64_t i = 0; i < count; ++i) {
          const int64_t x = start + i * step;
          *out++ = gamma[dib[x]];
          if (depth == 16) *out++ = 0;
          *out++ = alpha ? alpha[x] : 0;
          if (depth == 16) *out++ = 0;
        }
        break;
      case COLOR_GRAYSCALE:
        if (depth == 16) {
          for (int64_t i = 0; i < count; ++i) {
            *out++ = gamma[dib[start + i * step]];
            *out++ = 0;
          }
          break;
        }
        [[fallthrough]];
      default: {  // indices or grey samples of 1, 4 or 8 bits, most significant bits first
        const int bits = depth;
        if (step == 1 && start == 0 && !h_.greyHeldAsFour) {
          std::memcpy(out, dib, rowLength_);
          break;
        }
        std::memset(out, 0, rowLength_);
        const int perByte = 8 / bits;
        const unsigned mask = (1u << bits) - 1;
        for (int64_t i = 0; i < count; ++i) {
          const int64_t x = start + i * step;
          unsigned v = unsigned(dib[x / perByte] >> (8 - bits * (x % perByte + 1))) & mask;
          if (h_.greyHeldAsFour) v *= 5;  // 2-bit grey 0..3 as 4-bit grey 0, 5, 10, 15
          out[i / perByte] = uint8_t(out[i / perByte] | (v << (8 - bits * (i % perByte + 1))));
        }
        break;
      }
    }
  }

  // Computes the selected filters of the raw row and returns the type to write.
  int chooseFilter() {
    const uint8_t* raw = row(5);
    const uint8_t* prior = row(0);
    const size_t n = rowLength_, d = filterDistance_;
    const uint8_t set = png_.rowFilters;
    if (set & pfSub) {
      uint8_t* o = row(1);
      for (size_t i = 0; i < n; ++i) o[i] = uint8_t(raw[i] - (i >= d ? raw[i - d] : 0));
    }
    if (set & pfUp) {
      uint8_t* o = row(2);
      for (size_t i = 0; i < n; ++i) o[i] = uint8_t(raw[i] - prior[i]);
    }
    if (set & pfAverage) {
      uint8_t* o = row(3);
      for (size_t i = 0; i < n; ++i) o[i] = uint8_t(raw[i] - ((prior[i] + (i >= d ? raw[i - d] : 0)) / 2));
    }
    if (set & pfPaeth) {
      uint8_t* o = row(4);
      for (size_t i = 0; i < n; ++i)
        o[i] = uint8_t(raw[i] - (i >= d ? paeth(raw[i - d], prior[i], prior[i - d]) : paeth(0, prior[i], 0)));
    }
    std::memcpy(row(0), raw, n);
    if (set == pfNone || set == 0) return 0;
    int best = 0;
    size_t longest = 0;
    for (int type = 0; type < 5; ++type) {
      if (!(set & (1 << type))) continue;
      if (set == (1 << type)) return type;
      const uint8_t* b = row(type);
      size_t runs = 0;
      for (size_t j = 2; j < n; ++j) runs += b[j] == b[j - 1] || b[j] == b[j - 2];
      if (runs > longest) {
        best = type;
        longest = runs;
      }
    }
    return best;
  }

  void emitIdat(const uint8_t* bytes, uInt n) {
    if (n > 0) writeChunkBytes(stream_, "IDAT", bytes, n);
  }

  void deflateBytes(const uint8_t* bytes, size_t n) {
    z_.next_in = const_cast<Bytef*>(bytes);
    z_.avail_in = uInt(n);
    while (z_.avail_in > 0) {
      int rc = deflate(&z_, Z_NO_FLUSH);
      if (rc != Z_OK && rc != Z_BUF_ERROR) zlibFailed(rc, z_);
      if (z_.avail_out == 0) {
        emitIdat(out_.data(), IdatChunkSize);
        z_.next_out = out_.data();
        z_.avail_out = IdatChunkSize;
      }
    }
  }

  void finishDeflate() {
    z_.next_in = nullptr;
    z_.avail_in = 0;
    for (;;) {
      int rc = deflate(&z_, Z_FINISH);
      if (rc == Z_STREAM_END) break;
      if (rc != Z_OK && rc != Z_BUF_ERROR) zlibFailed(rc, z_);
      if (z_.avail_out == 0) {
        emitIdat(out_.data(), IdatChunkSize);
        z_.next_out = out_.data();
        z_.avail_out = IdatChunkSize;
      } else if (rc == Z_BUF_ERROR) {
        zlibFailed(rc, z_);  // room for output, yet no progress
      }
    }
    if (z_.avail_out < IdatChunkSize) emitIdat(out_.data(), IdatChunkSize - z_.avail_out);
  }

  void filterAndDeflate() {
    const int type = chooseFilter();
    rows_[size_t(type)][0] = uint8_t(type);
    deflateBytes(rows_[size_t(type)].data(), rowLength_ + 1);
  }

  void writeRows() {
    rowGeometry(h_.colorType, h_.bitDepth, h_.Width, rowLength_, filterDistance_);
    allocateRows();
    for (int y = 0; y < h_.Height; ++y) {
      convertRow(y, 0, 1, h_.Width);
      filterAndDeflate();
    }
    finishDeflate();
  }

  // The seven passes of Adam7 (PNG specification, 8.2).
  void writeRowsAdam7() {
    static const int rowStart[7] = {0, 0, 4, 0, 2, 0, 1}, rowStep[7] = {8, 8, 8, 4, 4, 2, 2};
    static const int colStart[7] = {0, 4, 0, 2, 0, 1, 0}, colStep[7] = {8, 8, 4, 4, 2, 2, 1};
    for (int pass = 0; pass < 7; ++pass) {
      const int64_t passWidth = (int64_t(h_.Width) + colStep[pass] - colStart[pass] - 1) / colStep[pass];
      rowGeometry(h_.colorType, h_.bitDepth, std::max<int64_t>(passWidth, 0), rowLength_, filterDistance_);
      if (passWidth <= 0 || rowLength_ == 0) continue;
      allocateRows();
      for (int y = rowStart[pass]; y < h_.Height; y += rowStep[pass]) {
        convertRow(y, colStart[pass], colStep[pass], passWidth);
        filterAndDeflate();
      }
    }
    finishDeflate();
  }

  TPNGObject& png_;
  TChunkIHDR& h_;
  Stream& stream_;
  std::vector<uint8_t> out_;
  z_stream z_;
  bool zInit_ = false;
  size_t rowLength_ = 0, filterDistance_ = 1;
  bool identityGamma_ = true;
  // rows_[t] holds one spare byte in front for the filter type, so that a
  // filtered row goes to deflate in one piece; row(t) is the row itself.
  std::array<std::vector<uint8_t>, 6> rows_;
  uint8_t* row(int t) { return rows_[size_t(t)].data() + 1; }
};

}  // namespace

uint32_t pngCrc32(uint32_t crc, const uint8_t* p, size_t n) {
  const auto& t = crcTables();
  uint32_t c = ~crc;
  while (n >= 8) {
    uint32_t lo = c ^ (uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24));
    c = t[7][lo & 0xFF] ^ t[6][(lo >> 8) & 0xFF] ^ t[5][(lo >> 16) & 0xFF] ^ t[4][lo >> 24] ^ t[3][p[4]] ^
        t[2][p[5]] ^ t[1][p[6]] ^ t[0][p[7]];
    p += 8;
    n -= 8;
  }
  while (n--) c = t[0][(c ^ *p++) & 0xFF] ^ (c >> 8);
  return ~c;
}

void TChunk::writeFramed(Stream& stream) {
  writeChunkBytes(stream, name, data.data(), dataLength);
}

void TChunkIHDR::writeChunk(Stream& stream) {
  if (bitDepth == 2) {
    // Held 4 bits a pixel in memory, so written as bit depth 4.
    bitDepth = 4;
    if (colorType == COLOR_GRAYSCALE) greyHeldAsFour = true;
  }
  setDataLength(13);
  putU32(&data[0], uint32_t(Width));   // width
  putU32(&data[4], uint32_t(Height));  // height
  data[8] = bitDepth;                  // bit depth
  data[9] = colorType;                 // colour type
  data[10] = compressionMethod;        // compression method
  data[11] = filterMethod;             // filter method
  data[12] = owner->interlaceMode;     // interlace method: the owner's setting
  writeFramed(stream);
}

void TChunkPLTE::writeChunk(Stream& stream) {
  const int n = std::clamp(entryCount, 0, 256);
  setDataLength(uint32_t(n) * 3);
  const auto& gamma = owner->encodeGamma;
  const auto& colors = headerChunk().colors;
  for (int i = 0; i < n; ++i) {
    data[size_t(3 * i)] = gamma[colors[size_t(i)].red];
    data[size_t(3 * i + 1)] = gamma[colors[size_t(i)].green];
    data[size_t(3 * i + 2)] = gamma[colors[size_t(i)].blue];
  }
  writeFramed(stream);
}

void TChunktRNS::writeChunk(Stream& stream) {
  // A palette picture's chunk holds one alpha value per entry; a grey or
  // truecolour picture's holds the samples of its transparent colour, already
  // in place.
  if (headerChunk().colorType == COLOR_PALETTE && dataLength <= 256)
    std::memcpy(data.data(), alphaValues.data(), dataLength);
  writeFramed(stream);
}

void TChunktEXt::writeChunk(Stream& stream) {
  setDataLength(uint32_t(keyword.size() + 1 + text.size()));
  std::memcpy(data.data(), keyword.data(), keyword.size());
  data[keyword.size()] = 0;
  std::memcpy(data.data() + keyword.size() + 1, text.data(), text.size());
  writeFramed(stream);
}

void TChunkzTXt::writeChunk(Stream& stream) {
  uLongf size = compressBound(uLong(text.size()));
  std::vector<uint8_t> packed(size);
  int rc = compress2(packed.data(), &size, reinterpret_cast<const Bytef*>(text.data()), uLong(text.size()),
                     owner->deflateLevel);
  if (rc != Z_OK) {
    z_stream none{};
    zlibFailed(rc, none);
  }
  setDataLength(uint32_t(keyword.size() + 2 + size));
  std::memcpy(data.data(), keyword.data(), keyword.size());
  data[keyword.size()] = 0;      // keyword terminator
  data[keyword.size() + 1] = 0;  // compression method: deflate
  std::memcpy(data.data() + keyword.size() + 2, packed.data(), size);
  writeFramed(stream);
}

void TChunkIDAT::writeChunk(Stream& stream) {
  IdatWriter writer(*owner, stream);
  writer.write();
}

void TPNGObject::saveToStream(Stream& stream) {
  TChunkIHDR& h = headerChunk();
  if (h.Width <= 0 || h.Height <= 0) throw EPNGNoImageData(msg::PngNoImageData);
  stream.writeBuffer(Signature, sizeof Signature);
  for (size_t i = 0; i < chunkList.count(); ++i) chunkList.item(i)->writeChunk(stream);
}

}  // namespace pixkeep
