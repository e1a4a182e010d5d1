// The JPEG writer, checked with libjpeg's own decompressor.
#include <gtest/gtest.h>

#include <algorithm>

#include <csetjmp>
#include <cstdio>
#include <filesystem>

#include "codecs/jpeg/jpegimage.h"
#include "tests/raster/test_helpers.h"

extern "C" {
#include <jpeglib.h>
}

namespace pixkeep::test {
namespace {

namespace fs = std::filesystem;

// What a decompressor reports about a JPEG stream.
struct Decoded {
  int width = 0, height = 0, components = 0;
  bool jfif = false;
  int densityUnit = -1, xDensity = -1, yDensity = -1;
  bool progressive = false;
  unsigned restartInterval = 99;
  int sampling[3][2] = {};
  std::vector<uint16_t> luminanceTable, chrominanceTable;  // natural order
  std::vector<uint8_t> rgb;
  uint32_t at(int x, int y) const {  // 0x00BBGGRR
    const uint8_t* p = &rgb[(size_t(y) * size_t(width) + size_t(x)) * 3];
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16);
  }
};

struct DecodeError {
  jpeg_error_mgr pub;
  std::jmp_buf jump;
};

Decoded decode(const std::vector<uint8_t>& bytes) {
  Decoded d;
  jpeg_decompress_struct cinfo{};
  DecodeError err{};
  cinfo.err = jpeg_std_error(&err.pub);
  err.pub.error_exit = [](j_common_ptr c) { std::longjmp(reinterpret_cast<DecodeError*>(c->err)->jump, 1); };
  if (setjmp(err.jump)) {
    jpeg_destroy_decompress(&cinfo);
    ADD_FAILURE() << "libjpeg could not decode the stream";
    return Decoded{};
  }
  jpeg_create_decompress(&cinfo);
  jpeg_mem_src(&cinfo, bytes.data(), static_cast<unsigned long>(bytes.size()));
  jpeg_read_header(&cinfo, TRUE);
  d.width = int(cinfo.image_width);
  d.height = int(cinfo.image_height);
  d.components = cinfo.num_components;
  d.jfif = cinfo.saw_JFIF_marker;
  d.densityUnit = cinfo.density_unit;
  d.xDensity = cinfo.X_density;
  d.yDensity = cinfo.Y_density;
  d.progressive = cinfo.progressive_mode;
  d.restartInterval = cinfo.restart_interval;
  for (int c = 0; c < cinfo.num_components && c < 3; ++c) {
    d.sampling[c][0] = cinfo.comp_info[c].h_samp_factor;
    d.sampling[c][1] = cinfo.comp_info[c].v_samp_factor;
  }
  for (int t = 0; t < 2; ++t)
    if (cinfo.quant_tbl_ptrs[t])
      (t ? d.chrominanceTable : d.luminanceTable).assign(cinfo.quant_tbl_ptrs[t]->quantval,
                                                          cinfo.quant_tbl_ptrs[t]->quantval + 64);
  cinfo.out_color_space = JCS_RGB;
  jpeg_start_decompress(&cinfo);
  d.rgb.resize(size_t(d.width) * size_t(d.height) * 3);
  while (cinfo.output_scanline < cinfo.output_height) {
    JSAMPROW row = &d.rgb[size_t(cinfo.output_scanline) * size_t(d.width) * 3];
    jpeg_read_scanlines(&cinfo, &row, 1);
  }
  jpeg_finish_decompress(&cinfo);
  jpeg_destroy_decompress(&cinfo);
  return d;
}

std::vector<uint8_t> saved(TJPEGImage& jpeg) {
  MemoryStream s;
  jpeg.saveToStream(s);
  return s.bytes();
}

std::vector<uint8_t> jpegOf(const RasterImage& r, int quality = 90) {
  TJPEGImage jpeg;
  jpeg.assign(r);
  jpeg.quality = uint8_t(quality);
  return saved(jpeg);
}

// The example tables of the JPEG standard (ITU T.81 Annex K), natural order.
const uint16_t StdLuminance[64] = {16, 11, 10, 16, 24,  40,  51,  61,  12, 12, 14, 19, 26,  58,  60,  55,
                                   14, 13, 16, 24, 40,  57,  69,  56,  14, 17, 22, 29, 51,  87,  80,  62,
                                   18, 22, 37, 56, 68,  109, 103, 77,  24, 35, 55, 64, 81,  104, 113, 92,
                                   49, 64, 78, 87, 103, 121, 120, 101, 72, 92, 95, 98, 112, 100, 103, 99};
const uint16_t StdChrominance[64] = {17, 18, 24, 47, 99, 99, 99, 99, 18, 21, 26, 66, 99, 99, 99, 99,
                                     24, 26, 56, 99, 99, 99, 99, 99, 47, 66, 99, 99, 99, 99, 99, 99,
                                     99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99,
                                     99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99};

std::vector<uint16_t> scaled(const uint16_t* table, int quality) {
  int factor = quality < 50 ? 5000 / quality : 200 - 2 * quality;
  std::vector<uint16_t> out;
  for (int i = 0; i < 64; ++i) out.push_back(uint16_t(std::clamp((table[i] * factor + 50) / 100, 1, 255)));
  return out;
}

TEST(JpegWriter, MarkersAndTables) {
  RasterImage r;
  r.createBlank(40, 24, PixelFormat::Bits24);
  paint(r, [](int x, int) { return x < 20 ? Red : Blue; });
  for (int quality : {90, 1, 100, 50, 25}) {
    SCOPED_TRACE(quality);
    auto bytes = jpegOf(r, quality);
    ASSERT_GT(bytes.size(), 20u);
    EXPECT_EQ(bytes[0], 0xFF);
    EXPECT_EQ(bytes[1], 0xD8);  // SOI
    EXPECT_EQ(bytes[2], 0xFF);
    EXPECT_EQ(bytes[3], 0xE0);  // APP0 straight after SOI
    EXPECT_EQ(std::string(bytes.begin() + 6, bytes.begin() + 11), std::string("JFIF\0", 5));
    bool sof0 = false, dri = false;
    for (size_t i = 2; i + 1 < bytes.size(); ++i) {
      if (bytes[i] != 0xFF) continue;
      sof0 |= bytes[i + 1] == 0xC0;
      dri |= bytes[i + 1] == 0xDD;
      EXPECT_FALSE(bytes[i + 1] >= 0xC1 && bytes[i + 1] <= 0xCF && bytes[i + 1] != 0xC4 && bytes[i + 1] != 0xC8 &&
                   bytes[i + 1] != 0xCC)
          << "only baseline frames";
    }
    EXPECT_TRUE(sof0);
    EXPECT_FALSE(dri);
    Decoded d = decode(bytes);
    EXPECT_TRUE(d.jfif);
    EXPECT_EQ(d.densityUnit, 0);
    EXPECT_EQ(d.xDensity, 1);
    EXPECT_EQ(d.yDensity, 1);
    EXPECT_FALSE(d.progressive);
    EXPECT_EQ(d.restartInterval, 0u);
    EXPECT_EQ(d.components, 3);
    EXPECT_EQ(d.sampling[0][0], 2);
    EXPECT_EQ(d.sampling[0][1], 2);
    for (int c : {1, 2}) {
      EXPECT_EQ(d.sampling[c][0], 1);
      EXPECT_EQ(d.sampling[c][1], 1);
    }
    EXPECT_EQ(d.luminanceTable, scaled(StdLuminance, quality));
    EXPECT_EQ(d.chrominanceTable, scaled(StdChrominance, quality));
    if (quality == 100) {
      EXPECT_EQ(d.luminanceTable, std::vector<uint16_t>(64, 1));
    }
    if (quality == 1) {
      EXPECT_EQ(d.chrominanceTable, std::vector<uint16_t>(64, 255));
    }
  }
}

TEST(JpegWriter, ColoursSurviveEveryPixelFormat) {
  for (PixelFormat f : everyFormat()) {
    SCOPED_TRACE(int(f));
    const bool mono = f == PixelFormat::Bits1;
    RasterImage r;
    r.createBlank(64, 32, f);
    paint(r, [mono](int x, int) { return mono ? (x < 32 ? Black : White) : (x < 32 ? Red : Blue); });
    Decoded d = decode(jpegOf(r));
    ASSERT_EQ(d.width, 64);
    ASSERT_EQ(d.height, 32);
    EXPECT_EQ(d.components, 3);
    auto near = [](uint32_t got, uint32_t want) {
      for (int s = 0; s < 24; s += 8)
        if (std::abs(int((got >> s) & 0xFF) - int((want >> s) & 0xFF)) > 12) return false;
      return true;
    };
    EXPECT_PRED2(near, d.at(8, 16), mono ? Black : Red);
    EXPECT_PRED2(near, d.at(56, 16), mono ? White : Blue);
    EXPECT_PRED2(near, d.at(8, 0), mono ? Black : Red) << "top row";
    EXPECT_PRED2(near, d.at(56, 31), mono ? White : Blue) << "bottom row";
  }
}

TEST(JpegWriter, ProgressObserverSeesTheCompressionAdvance) {
  RasterImage r;
  r.createBlank(64, 256, PixelFormat::Bits24);
  TJPEGImage jpeg;
  jpeg.assign(r);
  std::vector<int> seen;
  jpeg.onProgress = [&](int percent) { seen.push_back(percent); };
  auto withObserver = saved(jpeg);
  ASSERT_GT(seen.size(), 10u);
  EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
  EXPECT_GE(seen.front(), 0);
  EXPECT_LE(seen.back(), 100);
  EXPECT_GT(seen.back(), 50);
  EXPECT_EQ(withObserver, jpegOf(r)) << "the observer does not change the output";
}

TEST(JpegWriter, ThirtyTwoBitRowsGiveTheSameBytesAsTheTwentyFourBitCopy) {
  RasterImage r;
  r.createBlank(37, 19, PixelFormat::Bits32);
  for (int y = 0; y < 19; ++y)
    for (int x = 0; x < 37; ++x) putRaw(r, x, y, 0xAB000000u | uint32_t((x * 37) << 16 | (y * 11) << 8 | (x ^ y) * 5));
  RasterImage copy24;
  copy24.assign(&r);
  copy24.setPixelFormat(PixelFormat::Bits24);
  for (int q : {1, 75, 90, 100}) EXPECT_EQ(jpegOf(r, q), jpegOf(copy24, q)) << q;
}

TEST(JpegWriter, SizesAndRepeatability) {
  // One row, one column, odd sizes.
  for (auto [w, h] : {std::pair{1, 1}, std::pair{97, 1}, std::pair{1, 33}, std::pair{17, 9}}) {
    RasterImage r;
    r.createBlank(w, h, PixelFormat::Bits24);
    Decoded d = decode(jpegOf(r));
    EXPECT_EQ(d.width, w);
    EXPECT_EQ(d.height, h);
  }
  // Empty: a 0-byte result and no error.
  RasterImage empty;
  EXPECT_TRUE(jpegOf(empty).empty());
  TJPEGImage none;
  EXPECT_TRUE(saved(none).empty());

  // Saving twice writes the same bytes, even with the quality changed between.
  RasterImage r;
  r.createBlank(20, 20, PixelFormat::Device);
  paint(r, [](int x, int y) { return (x + y) % 3 ? Green : Magenta; });
  const uint8_t* before = r.constScanline(0);
  TJPEGImage jpeg;
  jpeg.assign(r);
  EXPECT_EQ(jpeg.width(), 20);
  auto first = saved(jpeg);
  jpeg.quality = 10;
  EXPECT_EQ(saved(jpeg), first);
  // The assigned raster is unchanged: same format, same pixels, same store.
  EXPECT_EQ(r.pixelFormat(), PixelFormat::Device);
  EXPECT_EQ(r.constScanline(0), before);
  EXPECT_EQ(r.pixel(0, 0), Magenta);

  // A shared image shares the compressed data; a 24-bit source is not copied.
  TJPEGImage other;
  other.assign(jpeg);
  EXPECT_EQ(saved(other), first);
  EXPECT_EQ(other.jpegData().data, jpeg.jpegData().data);

  try {
    jpeg.setWidth(3);
    FAIL();
  } catch (const EInvalidGraphicOperation& e) {
    EXPECT_STREQ(e.what(), "Cannot change the size of a JPEG image");
  }
  EXPECT_THROW(jpeg.setHeight(3), EInvalidGraphicOperation);
}

TEST(JpegWriter, LibraryErrorsAreTypedAndLeaveNoFile) {
  const std::string dir = tempDir();
  RasterImage wide;
  wide.createBlank(65501, 1, PixelFormat::Bits24);
  TJPEGImage jpeg;
  jpeg.assign(wide);
  try {
    jpeg.saveToFile(dir + "wide.jpg");
    FAIL();
  } catch (const EJPEG& e) {
    EXPECT_EQ(std::string(e.what()).rfind("JPEG error #", 0), 0u) << e.what();
    EXPECT_GT(std::string(e.what()).size(), std::string("JPEG error #").size());
  }
  EXPECT_TRUE(fs::is_empty(dir));
  fs::remove_all(dir);
}

TEST(JpegWriter, ShortWritesAreErrors) {
  RasterImage r;
  r.createBlank(64, 64, PixelFormat::Bits24);
  TJPEGImage jpeg;
  jpeg.assign(r);
  expectShortWriteError([&](Stream& s) { jpeg.saveToStream(s); });
}

TEST(JpegWriter, Defaults) {
  {
    TJPEGImage jpeg;
    EXPECT_EQ(jpeg.quality, 90);
    EXPECT_FALSE(jpeg.grayscale);
    EXPECT_FALSE(jpeg.progressiveEncoding);
    EXPECT_TRUE(jpeg.smoothing);
    EXPECT_EQ(jpeg.scale, JPEGScale::jsFullSize);
  }

  // The capture's writer: the slider position is the quality.
  RasterImage r;
  r.createBlank(8, 8, PixelFormat::Bits24);
  auto encoder = jpegEncoderFactory()(r, 100);
  auto* jpeg = dynamic_cast<TJPEGImage*>(encoder.get());
  ASSERT_NE(jpeg, nullptr);
  EXPECT_EQ(jpeg->quality, 100);
  EXPECT_EQ(decode(saved(*jpeg)).luminanceTable, std::vector<uint16_t>(64, 1));
}

}  // namespace
}  // namespace pixkeep::test
