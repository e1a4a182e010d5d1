// Clipboard pictures that arrive as PNG, JPEG, BMP or WebP bytes, decoded
// into the raster's rows; libpng, libjpeg and libwebp's own decodes are the
// reference.
#include <gtest/gtest.h>
// clang-format off
#include <cstdio>
#include <jpeglib.h>
// clang-format on
#include <png.h>
#include <webp/decode.h>
#include <webp/demux.h>
#include <webp/encode.h>

#include <fstream>
#include <cstring>
#include <cstdlib>
#include <filesystem>

#include "raster/errors.h"
#include "raster/rasterimage.h"
#include "codecs/imagetypes.h"
#include "platform/clipboard.h"
#include "tests/raster/test_helpers.h"

namespace pixkeep::test {
namespace {

// Colour of top-down pixel (x, y) in the raster, as red, green, blue.
struct Rgb {
  unsigned r, g, b;
  friend bool operator==(const Rgb&, const Rgb&) = default;
};
std::ostream& operator<<(std::ostream& o, const Rgb& c) { return o << "(" << c.r << "," << c.g << "," << c.b << ")"; }

std::unique_ptr<RasterImage> decoded(const std::string& type, const std::vector<uint8_t>& bytes) {
  PlatformBitmap b;
  b.encoded = EncodedPicture{type, bytes};
  auto r = std::make_unique<RasterImage>();
  r->loadFromClipboardBitmap(CF_BITMAP, &b, nullptr, clipboardDecoder(imageTypes()));
  return r;
}

// The raster must be a 32-bit Device raster stored bottom-up; returns its pixels top-down.
std::vector<Rgb> devicePixels(const RasterImage& r) {
  EXPECT_EQ(r.pixelFormat(), PixelFormat::Device);
  EXPECT_EQ(r.deviceBitCount(), 32);
  EXPECT_GT(r.header().biHeight, 0) << "rows bottom-up";
  if (r.height() > 1) {
    EXPECT_EQ(r.constScanline(0), r.constScanline(1) + r.stride()) << "rows bottom-up";
  }
  std::vector<Rgb> out;
  for (int y = 0; y < r.height(); ++y) {
    const uint8_t* row = r.constScanline(y);
    for (int x = 0; x < r.width(); ++x) {
      out.push_back(Rgb{row[4 * x + 2], row[4 * x + 1], row[4 * x]});
      EXPECT_EQ(row[4 * x + 3], 0) << "fourth byte of " << x << "," << y;
    }
  }
  return out;
}

unsigned over(unsigned c, unsigned a) { return (c * a + 255 * (255 - a) + 127) / 255; }

std::vector<uint8_t> noise(size_t n, uint32_t seed) {
  std::vector<uint8_t> v(n);
  for (auto& b : v) {
    seed = seed * 1103515245u + 12345u;
    b = uint8_t(seed >> 16);
  }
  return v;
}

// ---- PNG ----------------------------------------------------------------

struct PngLayout {
  int colorType, depth;
  bool trns;
};

std::vector<uint8_t> writePng(const PngLayout& l, int w, int h, bool interlace, uint32_t seed) {
  std::vector<uint8_t> out;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    ADD_FAILURE() << "libpng could not write the picture";
    return {};
  }
  png_set_write_fn(
      png, &out,
      [](png_structp p, png_bytep d, size_t n) {
        static_cast<std::vector<uint8_t>*>(png_get_io_ptr(p))->insert(
            static_cast<std::vector<uint8_t>*>(png_get_io_ptr(p))->end(), d, d + n);
      },
      nullptr);
  png_set_IHDR(png, info, png_uint_32(w), png_uint_32(h), l.depth, l.colorType,
               interlace ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
               PNG_FILTER_TYPE_DEFAULT);
  if (l.colorType == PNG_COLOR_TYPE_PALETTE) {
    const int n = 1 << l.depth;
    std::vector<png_color> pal(static_cast<size_t>(n));
    auto bytes = noise(size_t(n) * 3, seed + 1);
    for (size_t i = 0; i < pal.size(); ++i) pal[i] = png_color{bytes[3 * i], bytes[3 * i + 1], bytes[3 * i + 2]};
    png_set_PLTE(png, info, pal.data(), n);
    if (l.trns) {
      auto alpha = noise(size_t(n), seed + 2);
      alpha[0] = 0;
      if (n > 1) alpha[1] = 255;
      png_set_tRNS(png, info, alpha.data(), n, nullptr);
    }
  } else if (l.trns) {
    // The colour of the first pixel becomes transparent; read back from the rows below.
    png_color_16 key{};
    auto first = noise(6, seed);
    const unsigned mask = (1u << l.depth) - 1;
    auto sample = [&](int i) {
      const unsigned high = first[size_t(2 * i)], low = first[size_t(2 * i + 1)];
      return png_uint_16(l.depth == 16 ? (high << 8 | low) : (unsigned(first[0]) >> (8 - l.depth)) & mask);
    };
    if (l.colorType == PNG_COLOR_TYPE_GRAY) {
      key.gray = sample(0);
    } else {
      key.red = l.depth == 16 ? sample(0) : first[0];
      key.green = l.depth == 16 ? sample(1) : first[1];
      key.blue = l.depth == 16 ? sample(2) : first[2];
    }
    png_set_tRNS(png, info, nullptr, 0, &key);
  }
  png_write_info(png, info);
  const int channels = l.colorType == 2 ? 3 : l.colorType == 4 ? 2 : l.colorType == 6 ? 4 : 1;
  const size_t rowBytes = (size_t(w) * size_t(channels * l.depth) + 7) / 8;
  std::vector<uint8_t> pixels = noise(rowBytes * size_t(h), seed);
  std::vector<png_bytep> rows;
  for (int y = 0; y < h; ++y) rows.push_back(&pixels[size_t(y) * rowBytes]);
  png_write_image(png, rows.data());
  png_write_end(png, info);
  png_destroy_write_struct(&png, &info);
  return out;
}

// libpng's own decode to 16-bit red, green, blue, alpha, composited onto
// white here after scaling to 8 bits with rounding.
std::vector<Rgb> referencePng(const std::vector<uint8_t>& file) {
  struct Input {
    const std::vector<uint8_t>* bytes;
    size_t pos;
  } input{&file, 0};
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  std::vector<uint16_t> samples;
  std::vector<png_bytep> rows;
  png_uint_32 w = 0, h = 0;
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_read_struct(&png, &info, nullptr);
    ADD_FAILURE() << "libpng could not read the picture";
    return {};
  }
  png_set_read_fn(png, &input, [](png_structp p, png_bytep out, size_t n) {
    auto* in = static_cast<Input*>(png_get_io_ptr(p));
    std::memcpy(out, in->bytes->data() + in->pos, n);
    in->pos += n;
  });
  png_read_info(png, info);
  png_set_expand(png);
  png_set_expand_16(png);
  png_set_gray_to_rgb(png);
  png_set_add_alpha(png, 0xFFFF, PNG_FILLER_AFTER);
  png_set_swap(png);  // host order for the 16-bit samples
  png_set_interlace_handling(png);
  png_read_update_info(png, info);
  w = png_get_image_width(png, info);
  h = png_get_image_height(png, info);
  EXPECT_EQ(png_get_rowbytes(png, info), size_t(w) * 8);
  samples.resize(size_t(w) * size_t(h) * 4);
  for (png_uint_32 y = 0; y < h; ++y) rows.push_back(reinterpret_cast<png_bytep>(&samples[size_t(y) * w * 4]));
  png_read_image(png, rows.data());
  png_destroy_read_struct(&png, &info, nullptr);
  std::vector<Rgb> out;
  auto eight = [](unsigned v) { return (v * 255 + 32767) / 65535; };
  for (size_t i = 0; i < samples.size(); i += 4) {
    const unsigned a = eight(samples[i + 3]);
    out.push_back(Rgb{over(eight(samples[i]), a), over(eight(samples[i + 1]), a), over(eight(samples[i + 2]), a)});
  }
  return out;
}

TEST(ClipboardPng, EveryLayoutMatchesLibpngCompositedOntoWhite) {
  const PngLayout layouts[] = {
      {0, 1, false},  {0, 2, false},  {0, 4, false},  {0, 8, false},  {0, 16, false}, {0, 8, true},
      {0, 16, true},  {4, 8, false},  {4, 16, false}, {2, 8, false},  {2, 16, false}, {2, 8, true},
      {2, 16, true},  {6, 8, false},  {6, 16, false}, {3, 1, false},  {3, 2, false},  {3, 4, false},
      {3, 8, false},  {3, 1, true},   {3, 2, true},   {3, 4, true},   {3, 8, true},
  };
  uint32_t seed = 1;
  for (auto [w, h] : {std::pair{13, 7}, std::pair{1, 1}, std::pair{9, 17}}) {
    for (const PngLayout& l : layouts) {
      for (bool interlace : {false, true}) {
        SCOPED_TRACE(testing::Message() << w << "x" << h << " type " << l.colorType << " depth " << l.depth
                                        << (l.trns ? " tRNS" : "") << (interlace ? " interlaced" : ""));
        auto file = writePng(l, w, h, interlace, seed++);
        auto r = decoded("image/png", file);
        ASSERT_EQ(r->width(), w);
        ASSERT_EQ(r->height(), h);
        EXPECT_EQ(devicePixels(*r), referencePng(file));
      }
    }
  }
}

TEST(ClipboardPng, SixteenBitSamplesRoundToTheNearestEightBitValue) {
  // 0x807F is 127.5 and a little over: 128. 0x8080 is exactly 128 * 257 + 0.
  // 0x0080 is 0.498: 0. 0x0081 is 0.502: 1.
  const uint16_t values[] = {0x807F, 0x8080, 0x0080, 0x0081, 0xFFFF, 0x0000, 0x7F80, 0x7F7F};
  const unsigned expected[] = {128, 128, 0, 1, 255, 0, 127, 127};
  std::vector<uint8_t> row;
  for (uint16_t v : values) row.insert(row.end(), {uint8_t(v >> 8), uint8_t(v)});
  std::vector<uint8_t> file;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  png_set_write_fn(
      png, &file,
      [](png_structp p, png_bytep d, size_t n) {
        auto* v = static_cast<std::vector<uint8_t>*>(png_get_io_ptr(p));
        v->insert(v->end(), d, d + n);
      },
      nullptr);
  png_set_IHDR(png, info, 8, 1, 16, PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
               PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  png_write_row(png, row.data());
  png_write_end(png, info);
  png_destroy_write_struct(&png, &info);
  auto pixels = devicePixels(*decoded("image/png", file));
  ASSERT_EQ(pixels.size(), 8u);
  for (size_t i = 0; i < 8; ++i) EXPECT_EQ(pixels[i], (Rgb{expected[i], expected[i], expected[i]})) << i;
}

// ---- JPEG ---------------------------------------------------------------

std::vector<uint8_t> writeJpeg(int w, int h, int components, bool progressive, uint32_t seed) {
  jpeg_compress_struct c{};
  jpeg_error_mgr err{};
  c.err = jpeg_std_error(&err);
  jpeg_create_compress(&c);
  unsigned char* buffer = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&c, &buffer, &size);
  c.image_width = JDIMENSION(w);
  c.image_height = JDIMENSION(h);
  c.input_components = components;
  c.in_color_space = components == 3 ? JCS_RGB : JCS_GRAYSCALE;
  jpeg_set_defaults(&c);
  jpeg_set_quality(&c, 90, TRUE);
  if (progressive) jpeg_simple_progression(&c);
  jpeg_start_compress(&c, TRUE);
  // Smooth gradients with some noise, so that the picture is not all one block.
  auto grain = noise(size_t(w) * size_t(h) * size_t(components), seed);
  std::vector<uint8_t> row(size_t(w) * size_t(components));
  while (c.next_scanline < c.image_height) {
    const int y = int(c.next_scanline);
    for (int x = 0; x < w; ++x)
      for (int k = 0; k < components; ++k)
        row[size_t(x * components + k)] = uint8_t(x * 9 + y * 5 * (k + 1) + (grain[size_t((y * w + x) * components + k)] & 31));
    JSAMPROW rows[1] = {row.data()};
    jpeg_write_scanlines(&c, rows, 1);
  }
  jpeg_finish_compress(&c);
  jpeg_destroy_compress(&c);
  std::vector<uint8_t> out(buffer, buffer + size);
  std::free(buffer);
  return out;
}

// libjpeg's own decode to red, green, blue with its default settings.
std::vector<Rgb> referenceJpeg(const std::vector<uint8_t>& file) {
  jpeg_decompress_struct d{};
  jpeg_error_mgr err{};
  d.err = jpeg_std_error(&err);
  jpeg_create_decompress(&d);
  jpeg_mem_src(&d, file.data(), static_cast<unsigned long>(file.size()));
  jpeg_read_header(&d, TRUE);
  d.out_color_space = JCS_RGB;
  jpeg_start_decompress(&d);
  std::vector<uint8_t> row(size_t(d.output_width) * 3);
  std::vector<Rgb> out;
  while (d.output_scanline < d.output_height) {
    JSAMPROW rows[1] = {row.data()};
    jpeg_read_scanlines(&d, rows, 1);
    for (size_t x = 0; x < d.output_width; ++x) out.push_back(Rgb{row[3 * x], row[3 * x + 1], row[3 * x + 2]});
  }
  jpeg_finish_decompress(&d);
  jpeg_destroy_decompress(&d);
  return out;
}

TEST(ClipboardJpeg, MatchesLibjpeg) {
  struct Case { int w, h, components; bool progressive; };
  const Case cases[] = {{17, 9, 3, false}, {40, 33, 3, true}, {1, 1, 3, false}, {23, 15, 1, false}, {8, 24, 1, true}};
  uint32_t seed = 7;
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.w << "x" << c.h << " components " << c.components
                                    << (c.progressive ? " progressive" : ""));
    auto file = writeJpeg(c.w, c.h, c.components, c.progressive, seed++);
    auto r = decoded("image/JPEG", file);
    ASSERT_EQ(r->width(), c.w);
    ASSERT_EQ(r->height(), c.h);
    EXPECT_EQ(devicePixels(*r), referenceJpeg(file));
  }
}

// ---- BMP ----------------------------------------------------------------

TEST(ClipboardBmp, LayoutsBecomeDeviceRows) {
  // 3 x 2 pictures, rows bottom-up in the file unless the height is negative.
  // Expected colours are written top-down.
  const std::vector<Rgb> colours = {{10, 20, 30}, {40, 50, 60}, {70, 80, 90},
                                    {255, 0, 128}, {1, 2, 3}, {200, 100, 50}};
  auto bytes24 = [&](bool topDown) {
    std::vector<uint8_t> px;
    for (int i = 0; i < 2; ++i) {
      const int y = topDown ? i : 1 - i;
      for (int x = 0; x < 3; ++x) {
        const Rgb& c = colours[size_t(y * 3 + x)];
        px.insert(px.end(), {uint8_t(c.b), uint8_t(c.g), uint8_t(c.r)});
      }
      px.insert(px.end(), {0xEE, 0xEE, 0xEE});  // row padding
    }
    return px;
  };
  auto bytes32 = [&](uint8_t fourth) {
    std::vector<uint8_t> px;
    for (int y = 1; y >= 0; --y)
      for (int x = 0; x < 3; ++x) {
        const Rgb& c = colours[size_t(y * 3 + x)];
        px.insert(px.end(), {uint8_t(c.b), uint8_t(c.g), uint8_t(c.r), fourth});
      }
    return px;
  };
  std::vector<uint32_t> table;
  for (const Rgb& c : colours) table.push_back(c.r << 16 | c.g << 8 | c.b);
  // 8-bit: index i at top-down position i.
  const std::vector<uint8_t> indices = {3, 4, 5, 0, 0, 1, 2, 0};
  struct Case { const char* name; std::vector<uint8_t> file; };
  const Case cases[] = {
      {"24-bit", makeBmp(3, 2, 24, BI_RGB, {}, bytes24(false))},
      {"24-bit top-down", makeBmp(3, -2, 24, BI_RGB, {}, bytes24(true))},
      {"32-bit, fourth byte set", makeBmp(3, 2, 32, BI_RGB, {}, bytes32(0x7F))},
      {"8-bit", makeBmp(3, 2, 8, BI_RGB, table, indices, 6)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (const char* type : {"image/bmp", "image/x-bmp", "image/x-MS-bmp", "IMAGE/BMP"}) {
      auto r = decoded(type, c.file);
      ASSERT_EQ(r->width(), 3);
      ASSERT_EQ(r->height(), 2);
      EXPECT_EQ(devicePixels(*r), colours);
    }
  }
}

// A BITMAPV5HEADER picture of 32 bits with an alpha mask: the fourth bytes are alpha.
TEST(ClipboardBmp, AlphaMaskInAV5HeaderIsCompositedOntoWhite) {
  const uint8_t alphas[] = {0, 128, 255, 1};
  Bytes b;
  const uint32_t pixelBytes = 16, headerSize = 124;
  b.u16(0x4D42).u32(14 + headerSize + pixelBytes).u32(0).u32(14 + headerSize);
  b.u32(headerSize).u32(4).u32(1).u16(1).u16(32).u32(BI_BITFIELDS).u32(pixelBytes).u32(0).u32(0).u32(0).u32(0);
  b.u32(0x00FF0000).u32(0x0000FF00).u32(0x000000FF).u32(0xFF000000);
  while (b.v.size() < 14 + headerSize) b.u8(0);
  for (uint8_t a : alphas) b.raw({200, 100, 10, a});
  auto pixels = devicePixels(*decoded("image/bmp", b.v));
  ASSERT_EQ(pixels.size(), 4u);
  for (size_t i = 0; i < 4; ++i)
    EXPECT_EQ(pixels[i], (Rgb{over(10, alphas[i]), over(100, alphas[i]), over(200, alphas[i])})) << i;
  EXPECT_EQ(pixels[1], (Rgb{132, 177, 227}));  // 132.02, 177.2 and 227.4 rounded
}

// ---- WebP ---------------------------------------------------------------

// Red, green, blue, alpha noise; `alpha` false: all opaque.
std::vector<uint8_t> rgbaNoise(int w, int h, bool alpha, uint32_t seed) {
  auto px = noise(size_t(w) * size_t(h) * 4, seed);
  for (size_t i = 3; i < px.size(); i += 4) {
    if (!alpha) px[i] = 255;
    else if (i % 12 == 3) px[i] = 0;  // some fully transparent pixels
    else if (i % 12 == 7) px[i] = 255;
  }
  return px;
}

// A still WebP made by libwebp's simple encoder.
std::vector<uint8_t> writeWebp(const std::vector<uint8_t>& rgba, int w, int h, bool lossless, bool alpha) {
  uint8_t* out = nullptr;
  size_t n = 0;
  if (lossless)
    n = WebPEncodeLosslessRGBA(rgba.data(), w, h, w * 4, &out);
  else if (alpha)
    n = WebPEncodeRGBA(rgba.data(), w, h, w * 4, 80, &out);
  else {
    std::vector<uint8_t> rgb;
    for (size_t i = 0; i < rgba.size(); i += 4) rgb.insert(rgb.end(), {rgba[i], rgba[i + 1], rgba[i + 2]});
    n = WebPEncodeRGB(rgb.data(), w, h, w * 3, 80, &out);
  }
  EXPECT_GT(n, 0u) << "libwebp could not write the picture";
  std::vector<uint8_t> file(out, out + n);
  WebPFree(out);
  return file;
}

std::vector<Rgb> ontoWhite(const uint8_t* rgba, size_t pixels) {
  std::vector<Rgb> out;
  for (size_t i = 0; i < pixels; ++i, rgba += 4)
    out.push_back(Rgb{over(rgba[0], rgba[3]), over(rgba[1], rgba[3]), over(rgba[2], rgba[3])});
  return out;
}

// libwebp's own decode of a still picture, composited onto white.
std::vector<Rgb> referenceWebp(const std::vector<uint8_t>& file) {
  int w = 0, h = 0;
  uint8_t* rgba = WebPDecodeRGBA(file.data(), file.size(), &w, &h);
  EXPECT_TRUE(rgba) << "libwebp could not read the picture";
  if (!rgba) return {};
  auto out = ontoWhite(rgba, size_t(w) * size_t(h));
  WebPFree(rgba);
  return out;
}

TEST(ClipboardWebp, EveryKindMatchesLibwebpCompositedOntoWhite) {
  struct Kind { const char* name; bool lossless, alpha; };
  const Kind kinds[] = {{"lossless", true, false}, {"lossless with alpha", true, true},
                        {"lossy", false, false}, {"lossy with alpha", false, true}};
  uint32_t seed = 11;
  for (auto [w, h] : {std::pair{13, 7}, std::pair{1, 1}, std::pair{9, 17}}) {
    for (const Kind& k : kinds) {
      SCOPED_TRACE(testing::Message() << w << "x" << h << " " << k.name);
      const auto source = rgbaNoise(w, h, k.alpha, seed++);
      const auto file = writeWebp(source, w, h, k.lossless, k.alpha);
      auto r = decoded("image/webp", file);
      ASSERT_EQ(r->width(), w);
      ASSERT_EQ(r->height(), h);
      const auto pixels = devicePixels(*r);
      EXPECT_EQ(pixels, referenceWebp(file));
      // Lossless: the source itself, composited here.
      if (k.lossless) {
        EXPECT_EQ(pixels, ontoWhite(source.data(), source.size() / 4));
      }
    }
  }
}

// The chunks of a RIFF WebP container, built by hand.
struct Riff {
  std::vector<uint8_t> v;
  Riff& u8(uint32_t x) { v.push_back(uint8_t(x)); return *this; }
  Riff& u16(uint32_t x) { return u8(x).u8(x >> 8); }
  Riff& u24(uint32_t x) { return u16(x).u8(x >> 16); }
  Riff& u32(uint32_t x) { return u16(x).u16(x >> 16); }
  Riff& tag(const char* t) { v.insert(v.end(), t, t + 4); return *this; }
  Riff& raw(const std::vector<uint8_t>& b) { v.insert(v.end(), b.begin(), b.end()); return *this; }
  Riff& chunk(const char* t, const std::vector<uint8_t>& payload) {
    tag(t).u32(uint32_t(payload.size())).raw(payload);
    if (payload.size() & 1) u8(0);
    return *this;
  }
  std::vector<uint8_t> file() const {
    Riff f;
    f.tag("RIFF").u32(uint32_t(v.size() + 4)).tag("WEBP").raw(v);
    return f.v;
  }
};

struct Frame { int x, y, w, h; std::vector<uint8_t> rgba; };

// An animation on a canvas of w x h: VP8X, ANIM and one ANMF per frame, each
// holding a lossless bitstream (offsets even, as the format has them).
std::vector<uint8_t> animatedWebp(uint32_t w, uint32_t h, const std::vector<Frame>& frames) {
  Riff r;
  r.chunk("VP8X", Riff().u8(0x12).u24(0).u24(w - 1).u24(h - 1).v);        // animation and alpha
  r.chunk("ANIM", Riff().u32(0xFF00FF00).u16(0).v);                       // a background colour, looping
  for (const Frame& f : frames) {
    const auto still = writeWebp(f.rgba, f.w, f.h, true, true);
    Riff anmf;
    anmf.u24(uint32_t(f.x / 2)).u24(uint32_t(f.y / 2)).u24(uint32_t(f.w - 1)).u24(uint32_t(f.h - 1)).u24(100).u8(0);
    anmf.raw(std::vector<uint8_t>(still.begin() + 12, still.end()));     // the VP8L chunk
    r.chunk("ANMF", anmf.v);
  }
  return r.file();
}

// libwebp's animation decoder's first frame, composited onto white.
std::vector<Rgb> referenceFirstFrame(const std::vector<uint8_t>& file) {
  WebPData data{file.data(), file.size()};
  WebPAnimDecoderOptions options;
  WebPAnimDecoderOptionsInit(&options);
  options.color_mode = MODE_RGBA;
  WebPAnimDecoder* dec = WebPAnimDecoderNew(&data, &options);
  EXPECT_TRUE(dec) << "libwebp could not read the animation";
  if (!dec) return {};
  WebPAnimInfo info;
  WebPAnimDecoderGetInfo(dec, &info);
  uint8_t* canvas = nullptr;
  int timestamp = 0;
  EXPECT_TRUE(WebPAnimDecoderGetNext(dec, &canvas, &timestamp));
  auto out = canvas ? ontoWhite(canvas, size_t(info.canvas_width) * info.canvas_height) : std::vector<Rgb>{};
  WebPAnimDecoderDelete(dec);
  return out;
}

TEST(ClipboardWebp, AnAnimationGivesItsFirstFrameOnItsCanvas) {
  struct Case { const char* name; int w, h; std::vector<Frame> frames; };
  const Case cases[] = {
      {"first frame inside the canvas", 20, 15, {{4, 2, 9, 7, rgbaNoise(9, 7, true, 1)}, {0, 0, 20, 15, rgbaNoise(20, 15, false, 2)}}},
      {"first frame covering it", 11, 6, {{0, 0, 11, 6, rgbaNoise(11, 6, true, 3)}, {2, 2, 3, 3, rgbaNoise(3, 3, false, 4)}}},
      {"one frame in the corner", 7, 9, {{6, 8, 1, 1, rgbaNoise(1, 1, false, 5)}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto file = animatedWebp(uint32_t(c.w), uint32_t(c.h), c.frames);
    auto r = decoded("image/webp", file);
    ASSERT_EQ(r->width(), c.w);
    ASSERT_EQ(r->height(), c.h);
    const auto pixels = devicePixels(*r);
    EXPECT_EQ(pixels, referenceFirstFrame(file));
    // The same, from the first frame's own pixels: white around it.
    const Frame& f = c.frames[0];
    for (int y = 0; y < c.h; ++y)
      for (int x = 0; x < c.w; ++x) {
        const bool inside = x >= f.x && x < f.x + f.w && y >= f.y && y < f.y + f.h;
        const uint8_t* p = f.rgba.data() + 4 * size_t((y - f.y) * f.w + (x - f.x));
        const Rgb want = inside ? Rgb{over(p[0], p[3]), over(p[1], p[3]), over(p[2], p[3])} : Rgb{255, 255, 255};
        ASSERT_EQ(pixels[size_t(y * c.w + x)], want) << x << "," << y;
      }
  }
}

// ---- errors and wiring --------------------------------------------------

std::vector<uint8_t> validPng() { return writePng({2, 8, false}, 40, 30, false, 3); }
std::vector<uint8_t> validJpeg() { return writeJpeg(40, 30, 3, false, 3); }
std::vector<uint8_t> validBmp() { return makeBmp(40, 30, 24, BI_RGB, {}, noise(120 * 30, 3)); }
std::vector<uint8_t> validWebp() { return writeWebp(rgbaNoise(40, 30, false, 3), 40, 30, true, false); }
std::vector<uint8_t> validLossyWebp() { return writeWebp(rgbaNoise(40, 30, true, 4), 40, 30, false, true); }

void expectInvalid(const std::string& type, const std::vector<uint8_t>& bytes, const char* what) {
  SCOPED_TRACE(testing::Message() << type << ": " << what);
  RasterImage r;
  r.createBlank(2, 2, PixelFormat::Device);
  putColor(r, 0, 0, Red);
  PlatformBitmap b;
  b.encoded = EncodedPicture{type, bytes};
  try {
    r.loadFromClipboardBitmap(CF_BITMAP, &b, nullptr, clipboardDecoder(imageTypes()));
    ADD_FAILURE() << "no error";
  } catch (const EInvalidGraphic& e) {
    EXPECT_STREQ(e.what(), "Invalid clipboard format");
  }
  EXPECT_EQ(r.width(), 2) << "the raster is left as it was";
  EXPECT_EQ(r.pixel(0, 0), Red);
}

TEST(ClipboardDecode, CorruptAndTruncatedDataIsAnInvalidClipboardFormat) {
  struct Source { const char* type; std::vector<uint8_t> bytes; };
  const Source sources[] = {{"image/png", validPng()},   {"image/jpeg", validJpeg()},
                            {"image/bmp", validBmp()},   {"image/webp", validWebp()},
                            {"image/webp", validLossyWebp()},
                            {"image/webp", animatedWebp(9, 8, {{2, 2, 5, 5, rgbaNoise(5, 5, true, 6)}})}};
  for (const Source& s : sources) {
    ASSERT_NO_THROW(decoded(s.type, s.bytes));
    expectInvalid(s.type, {}, "empty");
    expectInvalid(s.type, std::vector<uint8_t>(s.bytes.begin(), s.bytes.begin() + 10), "header cut");
    expectInvalid(s.type, std::vector<uint8_t>(s.bytes.begin(), s.bytes.begin() + long(s.bytes.size() / 2)),
                  "cut in the middle of the pixels");
    auto wrongMagic = s.bytes;
    wrongMagic[0] ^= 0xFF;
    expectInvalid(s.type, wrongMagic, "wrong signature");
  }
  auto badCrc = validPng();
  badCrc[8 + 8 + 5] ^= 1;  // a bit of the IHDR height
  expectInvalid("image/png", badCrc, "IHDR CRC mismatch");
  auto badDepth = validPng();
  badDepth[8 + 8 + 8] = 3;
  expectInvalid("image/png", badDepth, "bit depth 3");
  auto badPlanes = validBmp();
  badPlanes[26] = 2;
  expectInvalid("image/bmp", badPlanes, "two planes");
  // A JPEG whose entropy-coded data stops short of the picture.
  auto jpeg = validJpeg();
  std::vector<uint8_t> noEnd(jpeg.begin(), jpeg.end() - 40);
  expectInvalid("image/jpeg", noEnd, "no end of image");
  // WebP: the bitstream's signature, a RIFF size beyond the data, a frame
  // that does not fit its canvas, and a frame without its bitstream.
  auto badSignature = validWebp();
  badSignature[20] = 0x2E;  // VP8L starts with 0x2F
  expectInvalid("image/webp", badSignature, "not a VP8L signature");
  auto longRiff = validWebp();
  longRiff[4] = uint8_t(longRiff[4] + 64);
  expectInvalid("image/webp", longRiff, "RIFF size past the end");
  expectInvalid("image/webp", animatedWebp(6, 6, {{4, 4, 3, 3, rgbaNoise(3, 3, false, 7)}}), "frame past the canvas");
  Riff noBitstream;
  noBitstream.chunk("VP8X", Riff().u8(0x02).u24(0).u24(3).u24(3).v).chunk("ANIM", Riff().u32(0).u16(0).v);
  noBitstream.chunk("ANMF", Riff().u24(0).u24(0).u24(3).u24(3).u24(100).u8(0).v);
  expectInvalid("image/webp", noBitstream.file(), "frame without a bitstream");
}

TEST(ClipboardDecode, OtherEncodedTypesAreUnsupported) {
  for (const char* type : {"image/gif", "image/webpx", "image/pngx", ""}) {
    SCOPED_TRACE(type);
    EXPECT_FALSE((decodingRow(imageTypes(), type) != nullptr));
    PlatformBitmap b;
    b.encoded = EncodedPicture{type, validPng()};
    RasterImage r;
    try {
      r.loadFromClipboardBitmap(CF_BITMAP, &b, nullptr, clipboardDecoder(imageTypes()));
      ADD_FAILURE() << "no error";
    } catch (const EInvalidGraphic& e) {
      EXPECT_STREQ(e.what(), "Unsupported clipboard format");
    }
  }
  for (const char* type :
       {"image/png", "Image/PNG", "image/jpeg", "image/bmp", "image/x-bmp", "image/x-ms-bmp", "image/webp", "IMAGE/WebP"})
    EXPECT_TRUE((decodingRow(imageTypes(), type) != nullptr)) << type;
}

// The process's peak virtual size in kB: a refused picture must not have
// reserved its rows even for a moment.
long peakVirtualKb() {
  std::ifstream f("/proc/self/status");
  std::string line;
  while (std::getline(f, line))
    if (line.rfind("VmPeak:", 0) == 0) return std::stol(line.substr(7));
  return -1;
}

uint32_t crc(const std::vector<uint8_t>& v, size_t from, size_t n) {
  uint32_t c = 0xFFFFFFFFu;
  for (size_t i = from; i < from + n; ++i) {
    c ^= v[i];
    for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
  }
  return ~c;
}

void putBe32(std::vector<uint8_t>& v, size_t at, uint32_t x) {
  for (int i = 0; i < 4; ++i) v[at + size_t(i)] = uint8_t(x >> (24 - 8 * i));
}

TEST(ClipboardDecode, HugePicturesAreRefusedBeforeTheirRowsAreAllocated) {
  // PNG: a correct IHDR of 30000 x 30000 (3.6 GB of rows), no pixel data.
  auto png = validPng();
  putBe32(png, 16, 30000);
  putBe32(png, 20, 30000);
  putBe32(png, 29, crc(png, 12, 17));
  // JPEG: the start-of-frame of a 40 x 30 picture made 60000 x 60000.
  auto jpeg = validJpeg();
  size_t sof = 2;
  while (sof + 9 < jpeg.size() && !(jpeg[sof] == 0xFF && (jpeg[sof + 1] == 0xC0 || jpeg[sof + 1] == 0xC2)))
    sof += 2 + (size_t(jpeg[sof + 2]) << 8 | jpeg[sof + 3]);
  ASSERT_LT(sof + 9, jpeg.size());
  jpeg[sof + 5] = 0xEA, jpeg[sof + 6] = 0x60;  // height
  jpeg[sof + 7] = 0xEA, jpeg[sof + 8] = 0x60;  // width
  // BMP: 24-bit 30000 x 20000 (1.8 GB in the file, 2.4 GB as 32-bit rows).
  auto bmp = makeBmp(30000, 20000, 24, BI_RGB, {}, noise(64, 1));
  // WebP: an animation's canvas of 30000 x 30000 with one 4 x 4 frame.
  auto webp = animatedWebp(30000, 30000, {{0, 0, 4, 4, rgbaNoise(4, 4, false, 1)}});
  struct Case { const char* type; std::vector<uint8_t> bytes; const char* detail; };
  for (const Case& c : {Case{"image/png", png, "30000 x 30000 pixels (900 million) are more than the 134 million pixels one picture may have"},
                        Case{"image/jpeg", jpeg, "60000 x 60000 pixels (3600 million) are more than the 134 million pixels one picture may have"},
                        Case{"image/bmp", bmp, "30000 x 20000 pixels (600 million) are more than the 134 million pixels one picture may have"},
                        Case{"image/webp", webp, "30000 x 30000 pixels (900 million) are more than the 134 million pixels one picture may have"}}) {
    SCOPED_TRACE(c.type);
    RasterImage r;
    r.createBlank(1, 1, PixelFormat::Device);
    PlatformBitmap b;
    b.encoded = EncodedPicture{c.type, c.bytes};
    const long peakBefore = peakVirtualKb();
    ASSERT_GT(peakBefore, 0);
    try {
      r.loadFromClipboardBitmap(CF_BITMAP, &b, nullptr, clipboardDecoder(imageTypes()));
      ADD_FAILURE() << "no error";
    } catch (const EOutOfResources& e) {
      EXPECT_STREQ(e.what(), "The picture is too large to hold");
      EXPECT_EQ(e.detail(), c.detail);
    }
    EXPECT_LT(peakVirtualKb() - peakBefore, 256 * 1024) << "kB reserved";
    EXPECT_EQ(r.width(), 1);
  }
}

TEST(ClipboardDecode, OtherDisplayDepthsGetTheirOwnDeviceLayout) {
  // Pure primaries and greys survive 5 bits a channel exactly.
  std::vector<uint8_t> px;
  for (uint8_t v : {uint8_t(0), uint8_t(255)}) px.insert(px.end(), {v, 0, 255, 0, v, v, v, 0});
  auto file = makeBmp(2, 2, 32, BI_RGB, {}, px);
  ScopedDisplay display(16);
  auto r = decoded("image/bmp", file);
  EXPECT_EQ(r->pixelFormat(), PixelFormat::Device);
  EXPECT_EQ(r->deviceBitCount(), 16);
  EXPECT_EQ(r->pixel(0, 1), Red);      // bottom row: blue 0, green 0, red 255
  EXPECT_EQ(r->pixel(1, 1), Black);
  EXPECT_EQ(r->pixel(0, 0), Magenta);  // top row: blue 255, green 0, red 255
  EXPECT_EQ(r->pixel(1, 0), White);
}

TEST(ClipboardDecode, TheClipboardPaletteIsKept) {
  PlatformBitmap b;
  b.encoded = EncodedPicture{"image/png", validPng()};
  const std::vector<RGBQuad> palette = {rgbQuad(1, 2, 3), rgbQuad(4, 5, 6)};
  RasterImage r;
  r.loadFromClipboardBitmap(CF_BITMAP, &b, &palette, clipboardDecoder(imageTypes()));
  ASSERT_TRUE(r.storedPalette());
  EXPECT_EQ(r.storedPalette()->entries, palette);
  EXPECT_EQ(r.width(), 40);
}

// Inputs the fuzzer once found faults with, decoded as the type their
// extension names: each must load or fail with a typed error. The "slow"
// ones made the decoder spend seconds inventing pixels for data that stops
// early (or crawl through thousands of scans): they must be refused.
TEST(ClipboardDecode, FuzzRegressions) {
  int files = 0;
  for (auto& entry : std::filesystem::directory_iterator(REGRESSIONS_DIR)) {
    const std::string ext = entry.path().extension().string();
    const char* type = ext == ".png"    ? "image/png"
                       : ext == ".jpg"  ? "image/jpeg"
                       : ext == ".bmp"  ? "image/bmp"
                       : ext == ".webp" ? "image/webp"
                                        : nullptr;
    if (!type) continue;
    SCOPED_TRACE(entry.path().filename().string());
    ++files;
    const bool refused = entry.path().filename().string().find("slow") != std::string::npos;
    try {
      auto r = decoded(type, readFile(entry.path()));
      if (r->height() > 0) devicePixels(*r);
      EXPECT_FALSE(refused) << "decoded " << r->width() << "x" << r->height();
    } catch (const EInvalidGraphic& e) {
      EXPECT_STREQ(e.what(), "Invalid clipboard format");
    } catch (const EOutOfResources&) {
      EXPECT_FALSE(refused);
    }
  }
  EXPECT_GT(files, 0);
}

}  // namespace
}  // namespace pixkeep::test
