#include "tests/raster/test_helpers.h"

#include "raster/errors.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace pixkeep::test {

void putRaw(RasterImage& r, int x, int y, uint32_t value) {
  uint8_t* row = r.scanline(y);
  int bits = r.header().biBitCount;
  switch (bits) {
    case 1: case 4: case 8: {
      int perByte = 8 / bits;
      int shift = 8 - bits * (x % perByte + 1);
      uint8_t mask = uint8_t(((1 << bits) - 1) << shift);
      row[x / perByte] = uint8_t((row[x / perByte] & ~mask) | ((value << shift) & mask));
      break;
    }
    case 16: row[2 * x] = uint8_t(value); row[2 * x + 1] = uint8_t(value >> 8); break;
    case 24: for (int i = 0; i < 3; ++i) row[3 * x + i] = uint8_t(value >> (8 * i)); break;
    case 32: for (int i = 0; i < 4; ++i) row[4 * x + i] = uint8_t(value >> (8 * i)); break;
    default: throw std::logic_error("putRaw: layout");
  }
}

void putColor(RasterImage& r, int x, int y, uint32_t c) {
  uint32_t R = c & 0xFF, G = (c >> 8) & 0xFF, B = (c >> 16) & 0xFF;
  const ImageHeader& h = r.header();
  switch (h.biBitCount) {
    case 1: case 4: case 8: {
      const auto& t = r.colorTable();
      for (size_t i = 0; i < t.size(); ++i)
        if (t[i].red == R && t[i].green == G && t[i].blue == B) return putRaw(r, x, y, uint32_t(i));
      throw std::logic_error("putColor: colour not in table");
    }
    case 16:
      if (h.biCompression == BI_BITFIELDS) return putRaw(r, x, y, ((R >> 3) << 11) | ((G >> 2) << 5) | (B >> 3));
      return putRaw(r, x, y, ((R >> 3) << 10) | ((G >> 3) << 5) | (B >> 3));
    case 24: return putRaw(r, x, y, (R << 16) | (G << 8) | B);
    case 32: return putRaw(r, x, y, (R << 16) | (G << 8) | B);
    default: throw std::logic_error("putColor: layout");
  }
}

std::vector<uint8_t> makeBmp(int32_t width, int32_t height, uint16_t bits, uint32_t compression,
                             const std::vector<uint32_t>& tableBgr, const std::vector<uint8_t>& pixels,
                             uint32_t clrUsed, uint16_t planes, uint32_t sizeImage) {
  uint32_t off = 14 + 40 + 4 * uint32_t(tableBgr.size());
  Bytes b;
  b.u16(0x4D42).u32(off + uint32_t(pixels.size())).u16(0).u16(0).u32(off);
  b.u32(40).u32(uint32_t(width)).u32(uint32_t(height)).u16(planes).u16(bits).u32(compression)
      .u32(sizeImage).u32(0).u32(0).u32(clrUsed).u32(0);
  for (uint32_t c : tableBgr) b.u32(c);
  b.append(pixels);
  return b.v;
}

const std::vector<PixelFormat>& everyFormat() {
  static const std::vector<PixelFormat> formats = {PixelFormat::Device, PixelFormat::Bits1,  PixelFormat::Bits4,
                                                   PixelFormat::Bits8,  PixelFormat::Bits15, PixelFormat::Bits16,
                                                   PixelFormat::Bits24, PixelFormat::Bits32};
  return formats;
}

void expectShortWriteError(const std::function<void(Stream&)>& write) {
  int fd = ::open("/dev/full", O_WRONLY);
  ASSERT_GE(fd, 0);
  FdStream full(fd);
  try {
    write(full);
    ADD_FAILURE() << "a write to a full device succeeded";
  } catch (const EWriteError& e) {
    EXPECT_STREQ(e.what(), "Stream write error");
  }
  ::close(fd);
}

std::string tempDir() {
  char templ[] = "/tmp/pixkeep-test-XXXXXX";
  char* d = mkdtemp(templ);
  if (!d) throw std::runtime_error("mkdtemp");
  return std::string(d) + "/";
}

std::vector<uint8_t> readFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), {});
}

}  // namespace pixkeep::test
