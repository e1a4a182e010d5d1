// Every writer of the image-type table against every pixel format a raster
// can have, each file read back by a decoder that is not ours. A new image
// type joins by adding its decoder to the table below.
#include <gtest/gtest.h>

#include <jpeglib.h>
#include <png.h>
#include <webp/decode.h>

#include <csetjmp>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <string>

#include "codecs/fileformats.h"
#include "codecs/imagetypes.h"
#include "codecs/webp/webpimage.h"
#include "tests/raster/test_helpers.h"
#include "tests/codecs/giflib_reader.h"

namespace pixkeep::test {
namespace {

// Decoded pixels, top-down, as 0x00BBGGRR.
struct Pixels {
  int width = 0, height = 0;
  std::vector<uint32_t> colors;
  uint32_t at(int x, int y) const { return colors[size_t(y) * size_t(width) + size_t(x)]; }
};

uint32_t colorOf(uint8_t r, uint8_t g, uint8_t b) { return uint32_t(r) | (uint32_t(g) << 8) | (uint32_t(b) << 16); }

struct JpegError {
  jpeg_error_mgr pub;
  std::jmp_buf jump;
};

bool decodeJpeg(const std::vector<uint8_t>& file, Pixels& out) {
  jpeg_decompress_struct cinfo{};
  JpegError err{};
  cinfo.err = jpeg_std_error(&err.pub);
  err.pub.error_exit = [](j_common_ptr c) { std::longjmp(reinterpret_cast<JpegError*>(c->err)->jump, 1); };
  if (setjmp(err.jump)) {
    jpeg_destroy_decompress(&cinfo);
    return false;
  }
  jpeg_create_decompress(&cinfo);
  jpeg_mem_src(&cinfo, file.data(), static_cast<unsigned long>(file.size()));
  jpeg_read_header(&cinfo, TRUE);
  cinfo.out_color_space = JCS_RGB;
  jpeg_start_decompress(&cinfo);
  out.width = int(cinfo.output_width);
  out.height = int(cinfo.output_height);
  out.colors.resize(size_t(out.width) * size_t(out.height));
  std::vector<uint8_t> row(size_t(out.width) * 3);
  while (cinfo.output_scanline < cinfo.output_height) {
    JSAMPROW p = row.data();
    const size_t y = cinfo.output_scanline;
    jpeg_read_scanlines(&cinfo, &p, 1);
    for (size_t x = 0; x < size_t(out.width); ++x)
      out.colors[y * size_t(out.width) + x] = colorOf(row[3 * x], row[3 * x + 1], row[3 * x + 2]);
  }
  jpeg_finish_decompress(&cinfo);
  jpeg_destroy_decompress(&cinfo);
  return true;
}

bool decodePng(const std::vector<uint8_t>& file, Pixels& out) {
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_memory(&image, file.data(), file.size())) return false;
  image.format = PNG_FORMAT_RGB;
  std::vector<uint8_t> rgb(PNG_IMAGE_SIZE(image));
  if (!png_image_finish_read(&image, nullptr, rgb.data(), 0, nullptr)) return false;
  out.width = int(image.width);
  out.height = int(image.height);
  out.colors.resize(size_t(out.width) * size_t(out.height));
  for (size_t i = 0; i < out.colors.size(); ++i) out.colors[i] = colorOf(rgb[3 * i], rgb[3 * i + 1], rgb[3 * i + 2]);
  return true;
}

// A small reader of uncompressed BMP files written for this test from the
// BMP format description alone: 1/4/8 bits through the colour table, 16 bits
// 5-5-5 or bit fields, 24 bits, 32 bits plain or bit fields.
bool decodeBmp(const std::vector<uint8_t>& f, Pixels& out) {
  auto u16 = [&](size_t o) { return uint32_t(f[o] | (f[o + 1] << 8)); };
  auto u32 = [&](size_t o) { return u16(o) | (u16(o + 2) << 16); };
  if (f.size() < 54 || f[0] != 'B' || f[1] != 'M') return false;
  const uint32_t offset = u32(10), headerSize = u32(14);
  const int width = int(u32(18));
  const int height = int(int32_t(u32(22)));
  const uint32_t bits = u16(28), compression = u32(30);
  uint32_t used = u32(46);
  if (compression != 0 && compression != 3) return false;
  uint32_t masks[3] = {0x7C00, 0x03E0, 0x001F};
  if (bits == 32) masks[0] = 0xFF0000, masks[1] = 0xFF00, masks[2] = 0xFF;
  size_t tableAt = 14 + headerSize;
  if (compression == 3) {
    for (int i = 0; i < 3; ++i) masks[i] = u32(tableAt + 4 * size_t(i));
    tableAt += 12;
  }
  if (bits <= 8 && used == 0) used = 1u << bits;
  auto channel = [](uint32_t v, uint32_t mask) {
    if (!mask) return uint8_t(0);
    int shift = 0, n = 0;
    while (!((mask >> shift) & 1)) ++shift;
    while ((mask >> (shift + n)) & 1) ++n;
    const uint32_t value = (v & mask) >> shift, max = (1u << n) - 1;
    return uint8_t((value * 255 + max / 2) / max);
  };
  out.width = width;
  out.height = height < 0 ? -height : height;
  out.colors.assign(size_t(out.width) * size_t(out.height), 0);
  const size_t stride = (size_t(width) * bits + 31) / 32 * 4;
  if (offset + stride * size_t(out.height) > f.size()) return false;
  for (int y = 0; y < out.height; ++y) {
    const uint8_t* row = f.data() + offset + stride * size_t(height < 0 ? y : out.height - 1 - y);
    for (int x = 0; x < width; ++x) {
      uint32_t c;
      if (bits <= 8) {
        const size_t bit = size_t(x) * bits;
        const uint32_t index = (row[bit / 8] >> (8 - bits - bit % 8)) & ((1u << bits) - 1);
        if (index >= used) return false;
        const size_t e = tableAt + 4 * index;
        c = colorOf(f[e + 2], f[e + 1], f[e]);
      } else if (bits == 24) {
        c = colorOf(row[3 * x + 2], row[3 * x + 1], row[3 * x]);
      } else {
        const uint32_t v = bits == 16 ? uint32_t(row[2 * x] | (row[2 * x + 1] << 8))
                                      : uint32_t(row[4 * x] | (row[4 * x + 1] << 8) | (row[4 * x + 2] << 16) |
                                                 (uint32_t(row[4 * x + 3]) << 24));
        c = colorOf(channel(v, masks[0]), channel(v, masks[1]), channel(v, masks[2]));
      }
      out.colors[size_t(y) * size_t(out.width) + size_t(x)] = c;
    }
  }
  return true;
}

// The first frame through giflib, on a screen of its size.
bool decodeGif(const std::vector<uint8_t>& file, Pixels& out) {
  const GiflibPicture gif = readWithGiflib(file);
  if (!gif.ok || gif.frames.empty()) return false;
  const GiflibFrame& frame = gif.frames[0];
  if (frame.left != 0 || frame.top != 0 || frame.width != gif.width || frame.height != gif.height) return false;
  out.width = frame.width;
  out.height = frame.height;
  out.colors.clear();
  for (uint8_t index : frame.pixels) {
    const GiflibColor c = gif.colorOf(frame, index);
    out.colors.push_back(colorOf(c.red, c.green, c.blue));
  }
  return true;
}

// libwebp's decoder (none of the writer's code) to red, green, blue.
bool decodeWebp(const std::vector<uint8_t>& file, Pixels& out) {
  int w = 0, h = 0;
  uint8_t* rgb = WebPDecodeRGB(file.data(), file.size(), &w, &h);
  if (!rgb) return false;
  out.width = w;
  out.height = h;
  out.colors.resize(size_t(w) * size_t(h));
  for (size_t i = 0; i < out.colors.size(); ++i) out.colors[i] = colorOf(rgb[3 * i], rgb[3 * i + 1], rgb[3 * i + 2]);
  WebPFree(rgb);
  return true;
}

struct Reader {
  std::function<bool(const std::vector<uint8_t>&, Pixels&)> decode;
  int tolerance;  // per channel; lossy formats get some room
};

const std::map<std::string, Reader>& readers() {
  static const std::map<std::string, Reader> r = {
      {".jpg", {decodeJpeg, 12}},
      {".png", {decodePng, 0}},
      {".bmp", {decodeBmp, 0}},
      // The pictures' colours lie on the web-safe colour cube the GIF writer
      // reduces to: its dithering has no error to spread and keeps them.
      {".gif", {decodeGif, 0}},
      {".webp", {decodeWebp, 0}},
  };
  return r;
}

bool near(uint32_t got, uint32_t want, int tolerance) {
  for (int s = 0; s < 24; s += 8)
    if (std::abs(int((got >> s) & 0xFF) - int((want >> s) & 0xFF)) > tolerance) return false;
  return true;
}

TEST(Writers, EveryImageTypeWritesEveryPixelFormatReadableByAnotherDecoder) {
  const std::string dir = tempDir();
  int written = 0;
  for (const ImageType& type : imageTypes()) {
    if (!type.writer) continue;
    SCOPED_TRACE(type.name);
    auto reader = readers().find(type.extension);
    ASSERT_NE(reader, readers().end()) << "no independent decoder for " << type.extension;
    const int spin = type.slider ? type.slider->position : 0;
    for (PixelFormat f : everyFormat()) {
      SCOPED_TRACE(int(f));
      // Four 16-pixel blocks, aligned to the JPEG coding units so that even a
      // lossy writer must keep each block's colour.
      const bool mono = f == PixelFormat::Bits1;
      const uint32_t colors[4] = {mono ? Black : Red, mono ? White : Green, mono ? White : Blue, mono ? Black : White};
      auto colorAt = [&](int x, int y) { return colors[(x / 16) + 2 * (y / 16)]; };
      RasterImage r;
      r.createBlank(32, 32, f);
      paint(r, colorAt);
      const std::string name = dir + "w" + std::to_string(written++) + type.extension;
      type.writer(r, spin)->saveToFile(name);
      Pixels p;
      ASSERT_TRUE(reader->second.decode(readFile(name), p)) << name;
      ASSERT_EQ(p.width, 32);
      ASSERT_EQ(p.height, 32);
      for (int y = 2; y < 32; y += 4)
        for (int x = 2; x < 32; x += 4)
          ASSERT_PRED3(near, p.at(x, y), colorAt(x, y), reader->second.tolerance) << x << "," << y;
    }
  }
  EXPECT_GE(written, 5 * int(everyFormat().size())) << "JPEG, PNG, GIF, BMP and WebP at least";
  std::filesystem::remove_all(dir);
}

// The lossless writers keep every pixel of a picture with no two neighbours
// alike, at every slider position, from 32-bit and 24-bit rows, top-down
// and bottom-up.
TEST(Writers, LosslessTypesKeepEveryPixelAtEverySliderPosition) {
  const std::string dir = tempDir();
  int written = 0;
  for (const ImageType& type : imageTypes()) {
    if (!type.writer || type.extension == ".jpg" || type.extension == ".gif") continue;
    SCOPED_TRACE(type.name);
    const Reader& reader = readers().at(type.extension);
    const int first = type.slider ? type.slider->minimum : 0, last = type.slider ? type.slider->maximum : 0;
    for (int spin = first; spin <= last; ++spin) {
      for (PixelFormat f : {PixelFormat::Bits32, PixelFormat::Bits24, PixelFormat::Device}) {
        SCOPED_TRACE(testing::Message() << "slider " << spin << ", format " << int(f));
        uint32_t seed = uint32_t(spin * 31 + int(f));
        auto colorAt = [&](int, int) {
          seed = seed * 1103515245u + 12345u;
          return (seed >> 8) & 0xFFFFFF;
        };
        RasterImage r;
        r.createBlank(37, 23, f);
        paint(r, colorAt);
        const std::string name = dir + "l" + std::to_string(written++) + type.extension;
        type.writer(r, spin)->saveToFile(name);
        Pixels p;
        ASSERT_TRUE(reader.decode(readFile(name), p)) << name;
        ASSERT_EQ(p.width, 37);
        ASSERT_EQ(p.height, 23);
        for (int y = 0; y < 23; ++y)
          for (int x = 0; x < 37; ++x) ASSERT_EQ(p.at(x, y), r.pixel(x, y)) << x << "," << y;
      }
    }
  }
  EXPECT_GE(written, 3 * (10 + 10 + 1)) << "PNG and WebP at ten positions, BMP";
  std::filesystem::remove_all(dir);
}

// The WebP file: a RIFF container holding one lossless bitstream and nothing
// else (no metadata chunks); a transparent colour becomes alpha 0 with its
// colour kept.
TEST(Writers, WebPIsOneLosslessChunkAndKeepsTheColourUnderTransparentPixels) {
  RasterImage r;
  r.createBlank(8, 4, PixelFormat::Bits32);
  paint(r, [](int x, int y) { return x < 4 ? Red : (y < 2 ? Green : Blue); });
  MemoryStream plain;
  webpEncoderFactory()(r, 5)->saveToStream(plain);
  const std::vector<uint8_t>& f = plain.bytes();
  ASSERT_GE(f.size(), 20u);
  EXPECT_EQ(std::string(f.begin(), f.begin() + 4), "RIFF");
  EXPECT_EQ(size_t(f[4] | f[5] << 8 | f[6] << 16 | f[7] << 24), f.size() - 8);
  EXPECT_EQ(std::string(f.begin() + 8, f.begin() + 16), "WEBPVP8L") << "one VP8L chunk, no VP8X header of extras";
  const size_t chunk = size_t(f[16] | f[17] << 8 | f[18] << 16 | f[19] << 24);
  EXPECT_EQ(20 + chunk + (chunk & 1), f.size()) << "nothing after the bitstream";
  WebPBitstreamFeatures features;
  ASSERT_EQ(WebPGetFeatures(f.data(), f.size(), &features), VP8_STATUS_OK);
  EXPECT_EQ(features.format, 2) << "lossless";
  EXPECT_FALSE(features.has_alpha);

  r.transparent = true;
  r.transparentColorValue = Green;
  MemoryStream keyed;
  webpEncoderFactory()(r, 5)->saveToStream(keyed);
  int w = 0, h = 0;
  uint8_t* rgba = WebPDecodeRGBA(keyed.bytes().data(), keyed.bytes().size(), &w, &h);
  ASSERT_TRUE(rgba);
  ASSERT_EQ(w * h, 32);
  for (int y = 0; y < 4; ++y)
    for (int x = 0; x < 8; ++x) {
      const uint8_t* p = rgba + 4 * (y * 8 + x);
      EXPECT_EQ(colorOf(p[0], p[1], p[2]), r.pixel(x, y)) << x << "," << y;
      EXPECT_EQ(p[3], r.pixel(x, y) == Green ? 0 : 255) << x << "," << y;
    }
  WebPFree(rgba);
}

TEST(Writers, WebPRefusesPicturesItCannotHoldWithAPlainMessage) {
  struct Case { int width, height; const char* message; };
  for (const Case& c : {Case{16384, 1, "The image could not be written as WebP: WebP holds at most 16383 x 16383 pixels."},
                        Case{1, 16384, "The image could not be written as WebP: WebP holds at most 16383 x 16383 pixels."},
                        Case{0, 0, "An image without pixels (zero width or height) cannot be written as WebP."}}) {
    SCOPED_TRACE(testing::Message() << c.width << "x" << c.height);
    RasterImage r;
    if (c.width > 0) r.createBlank(c.width, c.height, PixelFormat::Bits24);
    MemoryStream s;
    try {
      webpEncoderFactory()(r, 0)->saveToStream(s);
      ADD_FAILURE() << "no error";
    } catch (const EWebPError& e) {
      EXPECT_STREQ(e.what(), c.message);
    }
    EXPECT_EQ(s.size(), 0u) << "nothing written";
  }
}

// The file formats come from the rows: registered while the registration
// lives, whatever the case of the extension asked for.
TEST(Writers, TheRowsRegisterTheirFileFormats) {
  {
    FileFormatRegistration registration(imageTypes());
    EXPECT_EQ(fileFormatDescription("jpg"), "JPEG Image File");
    EXPECT_EQ(fileFormatDescription("JPEG"), "JPEG Image File");
    EXPECT_EQ(fileFormatDescription("png"), "Portable Network Graphics");
    EXPECT_EQ(fileFormatDescription("WEBP"), "WebP Image");
    EXPECT_FALSE(fileFormatDescription("txt"));
  }
  for (const char* extension : {"jpg", "jpeg", "png", "webp"}) EXPECT_FALSE(fileFormatDescription(extension)) << extension;
}

}  // namespace
}  // namespace pixkeep::test
