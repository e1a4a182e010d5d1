#include <gtest/gtest.h>

#include <filesystem>

#include "raster/errors.h"
#include "raster/rasterimage.h"
#include "platform/savefile.h"
#include "tests/raster/test_helpers.h"

namespace pixkeep::test {
namespace {

std::vector<uint8_t> bmpOf(const RasterImage& r) {
  MemoryStream s;
  r.saveToBmpStream(s);
  return s.bytes();
}

uint32_t u32At(const std::vector<uint8_t>& v, size_t at) { return getU32(v.data() + at); }

TEST(BmpWriter, HeaderBytes) {
  struct Case {
    const char* name;
    PixelFormat format;
    int width, height;
    uint32_t offBits;
    uint16_t bitCount;
    uint32_t compression, clrUsed;
  };
  const Case cases[] = {
      {"32-bit device", PixelFormat::Device, 5, 3, 54, 32, BI_RGB, 0},
      {"24-bit width 3", PixelFormat::Bits24, 3, 2, 54, 24, BI_RGB, 0},
      {"1 bit", PixelFormat::Bits1, 9, 2, 62, 1, BI_RGB, 2},
      {"Bits16", PixelFormat::Bits16, 3, 3, 66, 16, BI_BITFIELDS, 0},
      {"Bits8", PixelFormat::Bits8, 2, 2, 54 + 1024, 8, BI_RGB, 256},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RasterImage r;
    r.createBlank(c.width, c.height, c.format);
    auto bytes = bmpOf(r);
    const uint32_t imageSize = uint32_t(r.stride()) * uint32_t(c.height);
    ASSERT_EQ(bytes.size(), c.offBits + imageSize);
    EXPECT_EQ(bytes[0], 'B');
    EXPECT_EQ(bytes[1], 'M');
    EXPECT_EQ(u32At(bytes, 2), c.offBits + imageSize);   // bfSize
    EXPECT_EQ(u32At(bytes, 6), 0u);                      // reserved
    EXPECT_EQ(u32At(bytes, 10), c.offBits);              // bfOffBits
    EXPECT_EQ(u32At(bytes, 14), 40u);                    // biSize
    EXPECT_EQ(int32_t(u32At(bytes, 18)), c.width);
    EXPECT_EQ(int32_t(u32At(bytes, 22)), c.height);
    EXPECT_EQ(getU16(&bytes[26]), 1);                    // planes
    EXPECT_EQ(getU16(&bytes[28]), c.bitCount);
    EXPECT_EQ(u32At(bytes, 30), c.compression);
    EXPECT_EQ(u32At(bytes, 34), imageSize);
    EXPECT_EQ(u32At(bytes, 46), c.clrUsed);
  }
  // The exact bytes of a 24-bit picture 3 pixels wide: 9 pixel bytes and 3 padding bytes a row.
  RasterImage r;
  r.createBlank(3, 1, PixelFormat::Bits24);
  putColor(r, 0, 0, Red);
  putColor(r, 2, 0, Blue);
  auto bytes = bmpOf(r);
  std::vector<uint8_t> rows(bytes.begin() + 54, bytes.end());
  EXPECT_EQ(rows, (std::vector<uint8_t>{0, 0, 0xFF, 0, 0, 0, 0xFF, 0, 0, 0, 0, 0}));
  // 1 bit: colour table black, white.
  RasterImage mono;
  mono.createBlank(1, 1, PixelFormat::Bits1);
  auto m = bmpOf(mono);
  EXPECT_EQ(std::vector<uint8_t>(m.begin() + 54, m.begin() + 62),
            (std::vector<uint8_t>{0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0}));
  // Bits16: the masks right after the 40-byte header.
  RasterImage b16;
  b16.createBlank(1, 1, PixelFormat::Bits16);
  auto w = bmpOf(b16);
  EXPECT_EQ(u32At(w, 54), 0xF800u);
  EXPECT_EQ(u32At(w, 58), 0x07E0u);
  EXPECT_EQ(u32At(w, 62), 0x001Fu);
  // Empty: nothing at all.
  RasterImage empty;
  EXPECT_TRUE(bmpOf(empty).empty());
}

TEST(BmpWriter, DeviceRasterOnA32BitDisplay) {
  PlatformBitmap dev;
  dev.width = 2;
  dev.height = 2;
  dev.bits = {1, 2, 3, 0, 4, 5, 6, 0, 7, 8, 9, 0, 10, 11, 12, 0};
  RasterImage r;
  r.loadFromClipboardBitmap(2, &dev, nullptr);
  auto bytes = bmpOf(r);
  ASSERT_EQ(bytes.size(), 54u + 16u);
  EXPECT_EQ(u32At(bytes, 2), 54u + 4 * 2 * 2);
  EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + 54, bytes.end()), dev.bits);
}

TEST(BmpFile, WriteThenReadRoundTripsEveryFormat) {
  for (PixelFormat f : everyFormat()) {
    SCOPED_TRACE(int(f));
    RasterImage r;
    r.createBlank(7, 3, f);
    const uint32_t colours[] = {Black, White, Red, Green, Blue, Yellow};
    paint(r, [&](int x, int y) { return f == PixelFormat::Bits1 ? ((x ^ y) & 1 ? White : Black) : colours[(x + y) % 6]; });
    auto bytes = bmpOf(r);
    RasterImage back;
    MemoryStream in(bytes);
    back.loadFromStream(in);
    PixelFormat expected = f == PixelFormat::Device ? PixelFormat::Bits32 : f;
    EXPECT_EQ(back.pixelFormat(), expected);
    ImageHeader h1 = r.header(), h2 = back.header();
    if (h1.biBitCount <= 8 && h1.biClrUsed == 0) h1.biClrUsed = 1u << h1.biBitCount;
    EXPECT_EQ(h1, h2);
    EXPECT_EQ(back.colorTable(), r.colorTable());
    for (int y = 0; y < 3; ++y)
      EXPECT_EQ(0, memcmp(back.constScanline(y), r.constScanline(y), r.stride()));
    EXPECT_EQ(bmpOf(back), bytes);
  }
}

TEST(BmpReader, OS2HeaderWithThreeByteColourTable) {
  Bytes b;
  b.u16(0x4D42).u32(0).u32(0).u32(14 + 12 + 6);
  b.u32(12).u16(2).u16(2).u16(1).u16(1);  // BITMAPCOREHEADER: 2x2, 1 plane, 1 bit
  b.raw({0x00, 0x00, 0xFF, 0xFF, 0x00, 0x00});  // entry 0 red, entry 1 blue (B, G, R)
  b.raw({0x40, 0, 0, 0, 0x80, 0, 0, 0});       // bottom row: x=1 set; top row: x=0 set
  RasterImage r;
  MemoryStream s(b.v);
  r.loadFromStream(s);
  EXPECT_EQ(r.pixelFormat(), PixelFormat::Bits1);
  EXPECT_EQ(r.header().biSize, 40u);
  EXPECT_EQ(r.colorTable(), (std::vector<RGBQuad>{rgbQuad(0xFF, 0, 0), rgbQuad(0, 0, 0xFF)}));
  EXPECT_EQ(r.pixel(0, 0), Blue);
  EXPECT_EQ(r.pixel(1, 0), Red);
  EXPECT_EQ(r.pixel(0, 1), Red);
  EXPECT_EQ(r.pixel(1, 1), Blue);
}

TEST(BmpReader, BitFieldsAndPaletteOfATrueColourFile) {
  // 16 bits 5-6-5 with masks after the header, 32 bits with a colour table.
  auto bytes = makeBmp(1, 1, 16, BI_BITFIELDS, {}, {0x00, 0xF8, 0, 0});
  bytes.insert(bytes.begin() + 54, {0x00, 0xF8, 0, 0, 0xE0, 0x07, 0, 0, 0x1F, 0, 0, 0});
  RasterImage r;
  MemoryStream s(bytes);
  r.loadFromStream(s);
  EXPECT_EQ(r.pixelFormat(), PixelFormat::Bits16);
  EXPECT_EQ(r.pixel(0, 0), Red);

  auto withTable = makeBmp(1, 1, 32, BI_RGB, {0x00112233}, {1, 2, 3, 0}, 1, 1, 4);
  MemoryStream s2(withTable);
  r.loadFromStream(s2);
  ASSERT_TRUE(r.storedPalette());
  EXPECT_EQ(r.storedPalette()->entries, (std::vector<RGBQuad>{rgbQuad(0x11, 0x22, 0x33)}));
  EXPECT_EQ(bmpOf(r), withTable) << "the table is written back";
}

TEST(BmpReader, RunLengthDataIsDecodedAndKept) {
  // RLE8, 4x2: bottom row "run of 3 x index 1, absolute 1 pixel index 2", top row via delta.
  std::vector<uint8_t> rle8 = {3, 1, 0, 3, 2, 2, 1, 0, 0, 0,  // row 0 (bottom): 1 1 1 2 (absolute of 3: 2 2 1)
                               0, 2, 1, 0,                    // delta: right 1, up 0
                               2, 2, 0, 1};                   // index 2 twice, end of bitmap
  auto bytes = makeBmp(4, 2, 8, BI_RLE8, {0x000000, 0x0000FF, 0xFF0000}, rle8, 3);
  RasterImage r;
  MemoryStream s(bytes);
  r.loadFromStream(s);
  EXPECT_EQ(r.pixelFormat(), PixelFormat::Device);
  const uint32_t expectBottom[] = {Blue, Blue, Blue, Red};
  for (int x = 0; x < 4; ++x) EXPECT_EQ(r.pixel(x, 1), expectBottom[x]) << x;
  // The absolute run was cut off at the row's end; the delta skipped the top row's first pixel.
  const uint32_t expectTop[] = {Black, Red, Red, Black};
  for (int x = 0; x < 4; ++x) EXPECT_EQ(r.pixel(x, 0), expectTop[x]) << x;
  ASSERT_NE(r.saveStream(), nullptr);
  EXPECT_EQ(*r.saveStream(), bytes);
  EXPECT_EQ(bmpOf(r), bytes) << "run-length files are written back unchanged";

  // RLE4: 5x1, run of 5 alternating 1,2; then end of bitmap.
  auto rle4 = makeBmp(5, 1, 4, BI_RLE4, {0x000000, 0x00FF00, 0xFFFFFF}, {5, 0x12, 0, 1}, 3);
  MemoryStream s4(rle4);
  r.loadFromStream(s4);
  const uint32_t expect4[] = {Green, White, Green, White, Green};
  for (int x = 0; x < 5; ++x) EXPECT_EQ(r.pixel(x, 0), expect4[x]) << x;

  // Drawing on it drops the kept bytes: the change is saved.
  r.canvas().textOut(0, 0, "x");
  EXPECT_EQ(r.saveStream(), nullptr);
  EXPECT_NE(bmpOf(r), rle4);
}

TEST(BmpReader, HostileInputIsRejectedAndLeavesTheRasterAlone) {
  const std::vector<uint8_t> good = makeBmp(2, 2, 24, BI_RGB, {}, std::vector<uint8_t>(16, 0x55));
  auto patched = [&](size_t at, std::vector<uint8_t> bytes) {
    auto v = good;
    std::copy(bytes.begin(), bytes.end(), v.begin() + long(at));
    return v;
  };
  auto truncated = [&](size_t n) { return std::vector<uint8_t>(good.begin(), good.begin() + long(n)); };
  struct Case { const char* name; std::vector<uint8_t> bytes; const char* message; };
  const std::vector<Case> cases = {
      {"not BM", patched(0, {'B', 'A'}), "Bitmap image is not valid"},
      {"pixel offset past the end", patched(10, {0xF0, 0xFF, 0xFF, 0x7F}), "Bitmap image is not valid"},
      {"pixel offset one past the end", patched(10, {71, 0, 0, 0}), "Bitmap image is not valid"},
      {"two planes", patched(26, {2, 0}), "Bitmap image is not valid"},
      {"bit count 7", patched(28, {7, 0}), "Bitmap image is not valid"},
      {"negative width", patched(18, {0xFE, 0xFF, 0xFF, 0xFF}), "Bitmap image is not valid"},
      {"huge size", patched(18, {0xFF, 0xFF, 0xFF, 0x7F}), "Bitmap image is not valid"},
      {"height INT_MIN", patched(22, {0, 0, 0, 0x80}), "Bitmap image is not valid"},
      {"header size 5", patched(14, {5, 0, 0, 0}), "Bitmap image is not valid"},
      {"header size 1 GB", patched(14, {0, 0, 0, 0x40}), "Bitmap image is not valid"},
      {"JPEG compression", patched(30, {4, 0, 0, 0}), "Bitmap image is not valid"},
      {"RLE8 at 24 bits", patched(30, {1, 0, 0, 0}), "Bitmap image is not valid"},
      {"300 colours", patched(46, {0x2C, 1, 0, 0}), "Bitmap image is not valid"},
      {"1000 colours for 8 bits", makeBmp(1, 1, 8, BI_RGB, {}, {0, 0, 0, 0}, 1000), "Bitmap image is not valid"},
      {"short file header", truncated(10), "Stream read error"},
      {"short info header", truncated(30), "Stream read error"},
      {"short pixels", truncated(60), "Stream read error"},
      {"short colour table", makeBmp(1, 1, 8, BI_RGB, {1, 2}, {}), "Stream read error"},
      {"short masks", makeBmp(1, 1, 32, BI_BITFIELDS, {}, {1, 2}), "Stream read error"},
      {"RLE absolute run past the data", makeBmp(4, 1, 8, BI_RLE8, {0}, {0, 4, 1}, 1), "Bitmap image is not valid"},
      {"RLE delta past the data", makeBmp(4, 1, 8, BI_RLE8, {0}, {0, 2, 1}, 1), "Bitmap image is not valid"},
      {"top-down RLE", makeBmp(4, -1, 8, BI_RLE8, {0}, {0, 1}), "Bitmap image is not valid"},
      {"RLE of a billion pixels", makeBmp(65536, 65536, 8, BI_RLE8, {0}, {0, 1}), "Bitmap image is not valid"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RasterImage r;
    r.createBlank(1, 1, PixelFormat::Bits24);
    putColor(r, 0, 0, Red);
    MemoryStream s(c.bytes);
    try {
      r.loadFromStream(s);
      ADD_FAILURE() << "accepted";
    } catch (const EInvalidGraphic& e) {
      EXPECT_STREQ(e.what(), c.message);
    } catch (const EReadError& e) {
      EXPECT_STREQ(e.what(), c.message);
    }
    EXPECT_EQ(r.width(), 1);
    EXPECT_EQ(r.pixel(0, 0), Red);
  }
  // An empty stream empties the raster; sloppy RLE that overruns a row is cut off, not fatal.
  RasterImage r;
  r.createBlank(1, 1, PixelFormat::Bits24);
  MemoryStream none;
  r.loadFromStream(none);
  EXPECT_TRUE(r.empty());
  MemoryStream overrun(makeBmp(2, 1, 8, BI_RLE8, {0, 0xFF0000}, {200, 1, 0, 1}, 2));
  r.loadFromStream(overrun);
  EXPECT_EQ(r.pixel(1, 0), Red);
}

// Inputs the fuzzer once found faults with: each must load or fail with a typed error.
TEST(BmpReader, FuzzRegressions) {
  int files = 0;
  for (auto& entry : std::filesystem::directory_iterator(REGRESSIONS_DIR)) {
    SCOPED_TRACE(entry.path().filename().string());
    ++files;
    RasterImage r;
    MemoryStream s(readFile(entry.path()));
    try {
      r.loadFromStream(s);
      MemoryStream out;
      r.saveToBmpStream(out);
      if (r.height() > 0) r.setPixelFormat(PixelFormat::Bits24);
    } catch (const Exception&) {
    }
  }
  EXPECT_GT(files, 0);
}

TEST(BmpReader, ZeroHeightWithHugeWidthIsEmpty) {
  for (uint32_t compression : {BI_RGB, BI_RLE8}) {
    RasterImage r;
    MemoryStream s(makeBmp(0x4300CD27, 0, 8, compression, {0}, {0, 1}, 1));
    r.loadFromStream(s);
    EXPECT_TRUE(r.empty());
  }
}

TEST(BmpWriter, ShortWritesAreErrors) {
  RasterImage r;
  r.createBlank(64, 64, PixelFormat::Bits24);
  expectShortWriteError([&](Stream& s) { r.saveToBmpStream(s); });
}

TEST(BmpWriter, SaveToFileIsAllOrNothing) {
  const std::string dir = tempDir();
  RasterImage r;
  r.createBlank(3, 2, PixelFormat::Bits24);
  r.saveToFile(dir + "a.bmp");
  EXPECT_EQ(readFile(dir + "a.bmp"), bmpOf(r));

  // Replacing an existing file.
  RasterImage small;
  small.createBlank(1, 1, PixelFormat::Bits8);
  small.saveToFile(dir + "a.bmp");
  EXPECT_EQ(readFile(dir + "a.bmp"), bmpOf(small));

  // A name that cannot be created.
  const std::string bad = dir + "missing/b.bmp";
  try {
    r.saveToFile(bad);
    FAIL();
  } catch (const EFCreateError& e) {
    EXPECT_EQ(std::string(e.what()), "Cannot create file " + bad);
  }

  // A writer that fails half-way leaves neither the target nor a temporary file.
  EXPECT_THROW(saveToFileAtomically(dir + "c.bmp",
                                    [](Stream& s) {
                                      s.writeBuffer("BM", 2);
                                      throw EWriteError(msg::StreamWriteError);
                                    }),
               EWriteError);
  std::vector<std::string> names;
  for (auto& e : std::filesystem::directory_iterator(dir)) names.push_back(e.path().filename());
  EXPECT_EQ(names, std::vector<std::string>{"a.bmp"});

  // An empty raster writes a 0-byte file.
  RasterImage empty;
  empty.saveToFile(dir + "e.bmp");
  EXPECT_TRUE(std::filesystem::exists(dir + "e.bmp"));
  EXPECT_EQ(std::filesystem::file_size(dir + "e.bmp"), 0u);
  std::filesystem::remove_all(dir);
}

// ImageMagick reads every file we write with the same pixels.
TEST(BmpWriter, IndependentReaderSeesTheSamePixels) {
  const std::string dir = tempDir();
  for (PixelFormat f : everyFormat()) {
    SCOPED_TRACE(int(f));
    RasterImage r;
    r.createBlank(13, 5, f);
    const uint32_t colours[] = {Black, White, Red, Green, Blue, Yellow, Cyan, Magenta};
    paint(r, [&](int x, int y) { return f == PixelFormat::Bits1 ? ((x * y) % 3 ? White : Black) : colours[(x * 3 + y) % 8]; });
    const std::string file = dir + "x.bmp", raw = dir + "x.rgb";
    r.saveToFile(file);
    std::string cmd = "convert '" + file + "' -depth 8 rgb:'" + raw + "' 2>&1";
    ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
    auto rgb = readFile(raw);
    ASSERT_EQ(rgb.size(), size_t(13 * 5 * 3));
    for (int y = 0; y < 5; ++y)
      for (int x = 0; x < 13; ++x) {
        const uint8_t* p = &rgb[size_t(y * 13 + x) * 3];
        uint32_t got = uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16);
        ASSERT_EQ(got, r.pixel(x, y)) << x << "," << y;
      }
  }
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace pixkeep::test
