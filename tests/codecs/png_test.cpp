// The PNG writer, checked with libpng as the decoder and zlib for payloads.
#include <gtest/gtest.h>

#include <csetjmp>
#include <png.h>
#include <zlib.h>

#include <filesystem>

#include "codecs/png/pngimage.h"
#include "tests/raster/test_helpers.h"

namespace pixkeep::test {
namespace {

struct Chunk {
  std::string type;
  std::vector<uint8_t> data;
  uint32_t crc;
};

uint32_t be32(const uint8_t* p) { return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3]; }

// Splits a PNG file into its chunks, checking the signature and every CRC with zlib.
std::vector<Chunk> chunksOf(const std::vector<uint8_t>& file) {
  static const uint8_t sig[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
  EXPECT_GE(file.size(), 8u);
  EXPECT_EQ(0, memcmp(file.data(), sig, 8));
  std::vector<Chunk> out;
  size_t pos = 8;
  while (pos + 12 <= file.size()) {
    uint32_t len = be32(&file[pos]);
    Chunk c{std::string(file.begin() + long(pos) + 4, file.begin() + long(pos) + 8),
            std::vector<uint8_t>(file.begin() + long(pos) + 8, file.begin() + long(pos) + 8 + len),
            be32(&file[pos + 8 + len])};
    uint32_t crc = uint32_t(crc32(0, &file[pos + 4], 4 + len));
    EXPECT_EQ(c.crc, crc) << c.type;
    out.push_back(std::move(c));
    pos += 12 + len;
  }
  EXPECT_EQ(pos, file.size());
  return out;
}

std::vector<std::string> typesOf(const std::vector<Chunk>& chunks) {
  std::vector<std::string> t;
  for (auto& c : chunks) t.push_back(c.type);
  return t;
}

std::vector<uint8_t> inflateAll(const std::vector<uint8_t>& z) {
  std::vector<uint8_t> out(1 << 20);
  for (;;) {
    uLongf size = uLongf(out.size());
    int rc = uncompress(out.data(), &size, z.data(), uLong(z.size()));
    if (rc == Z_BUF_ERROR) { out.resize(out.size() * 4); continue; }
    EXPECT_EQ(rc, Z_OK);
    out.resize(size);
    return out;
  }
}

std::vector<uint8_t> idatData(const std::vector<Chunk>& chunks) {
  std::vector<uint8_t> all;
  for (auto& c : chunks)
    if (c.type == "IDAT") all.insert(all.end(), c.data.begin(), c.data.end());
  return all;
}

std::vector<uint8_t> saved(TPNGObject& png) {
  MemoryStream s;
  png.saveToStream(s);
  return s.bytes();
}

// What libpng reads: header fields and the raw samples of every row (no transforms).
struct LibpngImage {
  uint32_t width = 0, height = 0;
  int bitDepth = 0, colorType = 0, interlace = 0;
  std::vector<std::vector<uint8_t>> rows;
  std::vector<png_color> palette;
  bool ok = false;
};

LibpngImage readWithLibpng(const std::vector<uint8_t>& file) {
  LibpngImage out;
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  struct Reader { const std::vector<uint8_t>* data; size_t pos; } reader{&file, 0};
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_read_struct(&png, &info, nullptr);
    return out;
  }
  png_set_read_fn(png, &reader, [](png_structp p, png_bytep dst, png_size_t n) {
    auto* r = static_cast<Reader*>(png_get_io_ptr(p));
    if (r->pos + n > r->data->size()) png_error(p, "short");
    memcpy(dst, r->data->data() + r->pos, n);
    r->pos += n;
  });
  png_read_png(png, info, PNG_TRANSFORM_IDENTITY, nullptr);
  out.width = png_get_image_width(png, info);
  out.height = png_get_image_height(png, info);
  out.bitDepth = png_get_bit_depth(png, info);
  out.colorType = png_get_color_type(png, info);
  out.interlace = png_get_interlace_type(png, info);
  png_bytepp rows = png_get_rows(png, info);
  size_t rowBytes = png_get_rowbytes(png, info);
  for (uint32_t y = 0; y < out.height; ++y) out.rows.emplace_back(rows[y], rows[y] + rowBytes);
  png_colorp pal = nullptr;
  int n = 0;
  if (png_get_PLTE(png, info, &pal, &n)) out.palette.assign(pal, pal + n);
  png_destroy_read_struct(&png, &info, nullptr);
  out.ok = true;
  return out;
}

// Sample s of pixel x in a raw libpng row.
unsigned sampleAt(const LibpngImage& img, const std::vector<uint8_t>& row, uint32_t x, int s, int samplesPerPixel) {
  const int depth = img.bitDepth;
  if (depth == 16) {
    size_t at = (size_t(x) * size_t(samplesPerPixel) + size_t(s)) * 2;
    return (unsigned(row[at]) << 8) | row[at + 1];
  }
  if (depth == 8) return row[size_t(x) * size_t(samplesPerPixel) + size_t(s)];
  const int perByte = 8 / depth;
  return unsigned(row[x / unsigned(perByte)] >> (8 - depth * int(x % unsigned(perByte) + 1))) & ((1u << depth) - 1);
}

// What libpng's simplified reader makes of a file, as 8-bit samples in `format`.
std::vector<uint8_t> decodeWithLibpng(const std::vector<uint8_t>& file, uint32_t format) {
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_memory(&image, file.data(), file.size())) return {};
  image.format = format;
  std::vector<uint8_t> out(PNG_IMAGE_SIZE(image));
  if (!png_image_finish_read(&image, nullptr, out.data(), 0, nullptr)) return {};
  return out;
}

// Every pixel of the decoded file equals the raster's.
void expectRasterPixels(const std::vector<uint8_t>& file, const RasterImage& r) {
  auto rgb = decodeWithLibpng(file, PNG_FORMAT_RGB);
  ASSERT_EQ(rgb.size(), size_t(r.width()) * size_t(r.height()) * 3);
  for (int y = 0; y < r.height(); ++y)
    for (int x = 0; x < r.width(); ++x) {
      const uint8_t* p = &rgb[(size_t(y) * size_t(r.width()) + size_t(x)) * 3];
      ASSERT_EQ(uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16), r.pixel(x, y)) << x << "," << y;
    }
}

// A picture object built directly in the model: IHDR, [PLTE], IDAT, IEND.
void build(TPNGObject& png, int w, int h, uint8_t colorType, uint8_t depth) {
  png.resetChunks();
  auto* ihdr = static_cast<TChunkIHDR*>(png.addChunk(std::make_unique<TChunkIHDR>(&png)));
  ihdr->Width = w;
  ihdr->Height = h;
  ihdr->colorType = colorType;
  ihdr->bitDepth = depth;
  ihdr->setUpImage();
  if (colorType == COLOR_PALETTE) {
    auto* plte = static_cast<TChunkPLTE*>(png.addChunk(std::make_unique<TChunkPLTE>(&png)));
    plte->entryCount = 1 << depth;
    for (int i = 0; i < plte->entryCount; ++i) plte->item(i) = rgbQuad(uint8_t(i * 7), uint8_t(255 - i), uint8_t(i * 3));
  }
  png.addChunk(std::make_unique<TChunkIDAT>(&png));
  png.addChunk(std::make_unique<TChunkIEND>(&png));
}

// Pattern values of a pixel: DIB bytes for truecolour, indices for the rest.
uint8_t pattern(int x, int y, int c) { return uint8_t(x * 37 + y * 101 + c * 59 + (x * y) % 13); }

void fill(TChunkIHDR& h) {
  const int bits = h.dibBitCount();
  for (int y = 0; y < h.Height; ++y) {
    uint8_t* row = h.image.scanline(y);
    for (int x = 0; x < h.Width; ++x) {
      if (bits == 24) {
        for (int c = 0; c < 3; ++c) row[3 * x + c] = pattern(x, y, c);
      } else {
        const int valueBits = h.bitDepth == 16 ? 8 : h.bitDepth;  // 2-bit values held in 4 bits
        uint8_t v = uint8_t(pattern(x, y, 0) & ((1 << valueBits) - 1));
        const int perByte = 8 / bits;
        row[x / perByte] = uint8_t(row[x / perByte] | (v << (8 - bits * (x % perByte + 1))));
      }
      if (!h.alphaPlane.empty()) h.alphaPlane[size_t(y) * size_t(h.Width) + size_t(x)] = pattern(x, y, 7);
    }
  }
}

TEST(PngWriter, EveryLayoutInterlacedOrNotWithEveryFilterSetDecodesToTheSamePixels) {
  struct Layout { uint8_t colorType, depth; };
  const Layout layouts[] = {{0, 1}, {0, 2}, {0, 4}, {0, 8}, {0, 16}, {2, 8}, {2, 16}, {3, 1}, {3, 2},
                            {3, 4}, {3, 8}, {4, 8}, {4, 16}, {6, 8}, {6, 16}};
  const uint8_t filterSets[] = {pfNone, pfSub, pfUp, pfAverage, pfPaeth, pfNone | pfSub | pfUp | pfAverage | pfPaeth,
                                pfSub | pfPaeth};
  for (auto [w, h] : {std::pair{13, 7}, std::pair{1, 1}, std::pair{9, 17}}) {
    for (const Layout& l : layouts) {
      for (uint8_t interlace : {uint8_t(0), uint8_t(1)}) {
        for (uint8_t filters : filterSets) {
          SCOPED_TRACE(testing::Message() << w << "x" << h << " type " << int(l.colorType) << " depth "
                                          << int(l.depth) << " interlace " << int(interlace) << " filters "
                                          << int(filters));
          TPNGObject png;
          build(png, w, h, l.colorType, l.depth);
          TChunkIHDR& ihdr = png.headerChunk();
          fill(ihdr);
          png.interlaceMode = interlace;
          png.rowFilters = filters;
          png.deflateLevel = 6;
          auto file = saved(png);
          chunksOf(file);
          LibpngImage img = readWithLibpng(file);
          ASSERT_TRUE(img.ok);
          ASSERT_EQ(img.width, uint32_t(w));
          ASSERT_EQ(img.height, uint32_t(h));
          EXPECT_EQ(img.interlace, interlace);
          EXPECT_EQ(img.colorType, l.colorType);
          EXPECT_EQ(img.bitDepth, l.depth == 2 ? 4 : l.depth);
          const int samples = l.colorType == 2 ? 3 : l.colorType == 6 ? 4 : l.colorType == 4 ? 2 : 1;
          for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
              const uint8_t alpha = pattern(x, y, 7);
              std::vector<unsigned> want;
              if (l.colorType == 2 || l.colorType == 6) {
                want = {pattern(x, y, 2), pattern(x, y, 1), pattern(x, y, 0)};  // DIB holds blue, green, red
                if (l.colorType == 6) want.push_back(alpha);
              } else {
                const int valueBits = l.depth == 16 ? 8 : l.depth;
                unsigned v = pattern(x, y, 0) & ((1u << valueBits) - 1);
                if (l.colorType == 0 && l.depth == 2) v *= 5;  // 2-bit grey written as 4-bit grey
                want = {v};
                if (l.colorType == 4) want.push_back(alpha);
              }
              for (int s = 0; s < samples; ++s) {
                unsigned expected = l.depth == 16 ? want[size_t(s)] << 8 : want[size_t(s)];
                ASSERT_EQ(sampleAt(img, img.rows[size_t(y)], uint32_t(x), s, samples), expected)
                    << "pixel " << x << "," << y << " sample " << s;
              }
            }
          if (l.colorType == 3) {
            ASSERT_EQ(img.palette.size(), size_t(1) << l.depth);
            EXPECT_EQ(img.palette[1].red, 7);
            EXPECT_EQ(img.palette[1].green, 254);
            EXPECT_EQ(img.palette[1].blue, 3);
          }
        }
      }
    }
  }
}

TEST(PngWriter, OnePixelTruecolourFile) {
  RasterImage r;
  r.createBlank(1, 1, PixelFormat::Bits24);
  putColor(r, 0, 0, 0x563412);  // red 0x12, green 0x34, blue 0x56
  TPNGObject png;
  png.rowFilters = pfNone;
  png.assign(r);
  png.deflateLevel = 9;
  auto file = saved(png);
  auto chunks = chunksOf(file);
  EXPECT_EQ(typesOf(chunks), (std::vector<std::string>{"IHDR", "IDAT", "IEND"}));
  EXPECT_EQ(chunks[0].data, (std::vector<uint8_t>{0, 0, 0, 1, 0, 0, 0, 1, 8, 2, 0, 0, 0}));
  EXPECT_EQ(inflateAll(chunks[1].data), (std::vector<uint8_t>{0, 0x12, 0x34, 0x56}));
  const std::vector<uint8_t> iend = {0, 0, 0, 0, 0x49, 0x45, 0x4E, 0x44, 0xAE, 0x42, 0x60, 0x82};
  EXPECT_EQ(std::vector<uint8_t>(file.end() - 12, file.end()), iend);
}

TEST(PngWriter, ChunkListsFromRasters) {
  struct Case { PixelFormat format; int width; std::vector<std::string> chunks; uint8_t depth, colorType; size_t plte; };
  const Case cases[] = {
      {PixelFormat::Bits24, 3, {"IHDR", "IDAT", "IEND"}, 8, 2, 0},
      {PixelFormat::Device, 3, {"IHDR", "IDAT", "IEND"}, 8, 2, 0},
      {PixelFormat::Bits32, 3, {"IHDR", "IDAT", "IEND"}, 8, 2, 0},
      {PixelFormat::Bits16, 3, {"IHDR", "IDAT", "IEND"}, 8, 2, 0},
      {PixelFormat::Bits8, 3, {"IHDR", "PLTE", "IDAT", "IEND"}, 8, 3, 256},
      {PixelFormat::Bits4, 3, {"IHDR", "PLTE", "IDAT", "IEND"}, 4, 3, 16},
      {PixelFormat::Bits1, 9, {"IHDR", "PLTE", "IDAT", "IEND"}, 1, 3, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(int(c.format));
    RasterImage r;
    r.createBlank(c.width, 2, c.format);
    paint(r, [&](int x, int) { return c.format == PixelFormat::Bits1 ? (x % 2 ? White : Black) : (x % 2 ? Red : Blue); });
    TPNGObject png;
    png.assign(r);
    EXPECT_EQ(png.width(), c.width);
    EXPECT_EQ(png.height(), 2);
    auto chunks = chunksOf(saved(png));
    EXPECT_EQ(typesOf(chunks), c.chunks);
    EXPECT_EQ(chunks[0].data[8], c.depth);
    EXPECT_EQ(chunks[0].data[9], c.colorType);
    if (c.plte) {
      EXPECT_EQ(chunks[1].data.size(), c.plte * 3);
    }
    expectRasterPixels(saved(png), r);  // libpng sees the raster's colours
  }
  // A bottom-up or top-down raster gives the positive height.
  PlatformBitmap topDown;
  topDown.width = 2;
  topDown.height = 3;
  topDown.dibSection = true;
  topDown.header.biWidth = 2;
  topDown.header.biHeight = -3;
  topDown.header.biBitCount = 24;
  topDown.bits.assign(24, 0);
  topDown.bits[2] = 0xFF;  // top-left pixel red
  RasterImage t;
  t.loadFromClipboardBitmap(2, &topDown, nullptr);
  TPNGObject png;
  png.assign(t);
  auto chunks = chunksOf(saved(png));
  EXPECT_EQ(be32(&chunks[0].data[4]), 3u);
  EXPECT_EQ(inflateAll(idatData(chunks))[1], 0xFF) << "top row first, red first";
}

TEST(PngWriter, ThirtyTwoBitRastersAreWrittenFromTheirOwnRows) {
  // Widths around the eight-pixel steps of the row conversion; the unused
  // fourth bytes hold noise that must not reach the file.
  for (int w : {1, 7, 9, 10, 11, 16, 17, 18, 33}) {
    for (uint8_t interlace : {uint8_t(0), uint8_t(1)}) {
      for (uint8_t filters : {uint8_t(pfNone), uint8_t(pfNone | pfSub | pfUp | pfAverage | pfPaeth)}) {
        SCOPED_TRACE(testing::Message() << "width " << w << " interlace " << int(interlace) << " filters "
                                        << int(filters));
        RasterImage r;
        r.createBlank(w, 5, PixelFormat::Device);
        for (int y = 0; y < 5; ++y) {
          uint8_t* row = r.scanline(y);
          for (int x = 0; x < w; ++x)
            for (int c = 0; c < 4; ++c) row[4 * x + c] = pattern(x, y, c);
        }
        const uint8_t* rows = r.constScanline(0);
        TPNGObject png;
        png.rowFilters = filters;
        png.interlaceMode = interlace;
        png.assign(r);
        TChunkIHDR& ihdr = png.headerChunk();
        EXPECT_TRUE(ihdr.image.wide());
        EXPECT_EQ(ihdr.image.held().constScanline(0), rows) << "the raster's rows are shared, not copied";
        auto file = saved(png);
        expectRasterPixels(file, r);
        EXPECT_EQ(r.constScanline(0), rows);
        // Asking the model for its rows gives the 24-bit layout; the raster keeps its own.
        EXPECT_EQ(ihdr.image.pixelFormat(), PixelFormat::Bits24);
        EXPECT_EQ(ihdr.image.stride(), size_t(dibStride(w, 24)));
        EXPECT_FALSE(ihdr.image.wide());
        EXPECT_EQ(ihdr.image.constScanline(4)[2], pattern(0, 4, 2));
        EXPECT_EQ(r.pixelFormat(), PixelFormat::Device);
        EXPECT_EQ(r.constScanline(0), rows);
        EXPECT_EQ(saved(png), file) << "the same file from the 24-bit rows";
      }
    }
  }
}

TEST(PngWriter, IdatChunksSplitAt65535Bytes) {
  // Level 0 (stored blocks) makes the stream length follow the picture size:
  // find grey pictures whose zlib stream is exactly 65535 and 65536 bytes.
  for (size_t target : {size_t(65535), size_t(65536)}) {
    SCOPED_TRACE(target);
    bool found = false;
    for (size_t n = target - 60; n <= target && !found; ++n) {
      for (int height = 1; height <= 400 && !found; ++height) {
        if (n % size_t(height) != 0 || n / size_t(height) < 2) continue;
        const int width = int(n / size_t(height)) - 1;
        TPNGObject png;
        build(png, width, height, COLOR_GRAYSCALE, 8);
        png.rowFilters = pfNone;
        png.deflateLevel = 0;
        auto chunks = chunksOf(saved(png));
        auto idat = idatData(chunks);
        if (idat.size() != target) continue;
        found = true;
        std::vector<size_t> sizes;
        for (auto& c : chunks)
          if (c.type == "IDAT") sizes.push_back(c.data.size());
        const std::vector<size_t> expected = target == 65535 ? std::vector<size_t>{65535} : std::vector<size_t>{65535, 1};
        EXPECT_EQ(sizes, expected);
        EXPECT_EQ(inflateAll(idat).size(), size_t(width + 1) * size_t(height));
      }
    }
    EXPECT_TRUE(found) << "no picture size gives that stream size";
  }
}

TEST(PngWriter, NoneFilteredDataIsZlibsOwnDeflate) {
  for (auto [w, h] : {std::pair{61, 40}, std::pair{300, 260}}) {
  SCOPED_TRACE(w);
  RasterImage r;
  r.createBlank(w, h, PixelFormat::Bits24);
  paint(r, [](int x, int y) { return uint32_t((x * 40503 + y * 7919 + (x * y) % 7) & 0xFFFFFF); });
  for (int level = 0; level <= 9; ++level) {
    SCOPED_TRACE(level);
    TPNGObject png;
    png.rowFilters = pfNone;
    png.assign(r);
    png.deflateLevel = uint8_t(level);
    auto idat = idatData(chunksOf(saved(png)));
    std::vector<uint8_t> rows;
    for (int y = 0; y < h; ++y) {
      rows.push_back(0);
      for (int x = 0; x < w; ++x) {
        uint32_t c = r.pixel(x, y);
        rows.insert(rows.end(), {uint8_t(c), uint8_t(c >> 8), uint8_t(c >> 16)});
      }
    }
    EXPECT_EQ(inflateAll(idat), rows);
    uLongf size = compressBound(uLong(rows.size()));
    std::vector<uint8_t> expected(size);
    ASSERT_EQ(compress2(expected.data(), &size, rows.data(), uLong(rows.size()), level), Z_OK);
    expected.resize(size);
    // Stored blocks (level 0) are cut where the 65535-byte output buffer
    // fills, so only a stream that fits one buffer matches the one-shot call.
    if (level > 0 || expected.size() <= 65535) {
      EXPECT_EQ(idat, expected);
    }
    if (level == 0) {
      EXPECT_GT(idat.size(), rows.size()) << "stored blocks are larger than the rows";
    }
  }
  }
}

// The filter type written for every row, read back from the inflated data.
std::vector<int> filterTypes(TPNGObject& png, std::vector<std::vector<uint8_t>>* rowsOut = nullptr) {
  auto raw = inflateAll(idatData(chunksOf(saved(png))));
  TChunkIHDR& h = png.headerChunk();
  const size_t rowLength = size_t(h.Width) * (h.colorType == COLOR_RGB ? 3 : 1);  // 8-bit grey or truecolour
  std::vector<int> types;
  for (size_t at = 0; at < raw.size(); at += rowLength + 1) {
    types.push_back(raw[at]);
    if (rowsOut) rowsOut->emplace_back(raw.begin() + long(at) + 1, raw.begin() + long(at + 1 + rowLength));
  }
  return types;
}

TEST(PngWriter, FilterChoice) {
  auto grey = [](TPNGObject& png, int w, int h, auto value) {
    build(png, w, h, COLOR_GRAYSCALE, 8);
    TChunkIHDR& ihdr = png.headerChunk();
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) ihdr.image.scanline(y)[x] = uint8_t(value(x, y));
  };
  auto noisy = [](int x, int y) { return (x * 131 + y * 71 + x * x * 7) & 255; };
  {  // {Sub}: always type 1.
    TPNGObject png;
    grey(png, 20, 6, noisy);
    png.rowFilters = pfSub;
    EXPECT_EQ(filterTypes(png), std::vector<int>(6, 1));
  }
  {  // {Up}: always type 2, the first row raw because the prior row starts zeroed.
    TPNGObject png;
    grey(png, 20, 6, noisy);
    png.rowFilters = pfUp;
    std::vector<std::vector<uint8_t>> rows;
    EXPECT_EQ(filterTypes(png, &rows), std::vector<int>(6, 2));
    for (int x = 0; x < 20; ++x) EXPECT_EQ(rows[0][size_t(x)], noisy(x, 0));
  }
  {  // {Sub, Up} on a row where neither filtered row repeats a byte: type 0.
    TPNGObject png;
    grey(png, 20, 1, [](int x, int) { return x * (x + 1) / 2; });
    png.rowFilters = pfSub | pfUp;
    EXPECT_EQ(filterTypes(png), std::vector<int>{0});
  }
  {  // {Sub, Paeth} with equal counts above 0: Sub wins the tie.
    TPNGObject png;
    grey(png, 20, 1, [](int x, int) { return x < 10 ? 5 : 9; });
    png.rowFilters = pfSub | pfPaeth;
    EXPECT_EQ(filterTypes(png), std::vector<int>{1});
  }
  {  // Rows of two bytes count 0 for every filter: type 0 even for constant rows.
    TPNGObject png;
    grey(png, 2, 3, [](int, int) { return 7; });
    png.rowFilters = pfSub | pfUp;
    EXPECT_EQ(filterTypes(png), std::vector<int>(3, 0));
  }
  {  // All five on a smooth picture: the filtered rows still decode (checked above); Up wins on repeated rows.
    TPNGObject png;
    grey(png, 30, 4, [](int x, int) { return (x * x * 13) & 255; });
    png.rowFilters = pfNone | pfSub | pfUp | pfAverage | pfPaeth;
    auto types = filterTypes(png);
    EXPECT_EQ(types[1], 2);
    EXPECT_EQ(types[3], 2);
  }
}

TEST(PngModel, DefaultsSettersAndErrors) {
  TPNGObject png;
  EXPECT_EQ(png.rowFilters, pfSub);
  EXPECT_EQ(png.deflateLevel, 7);
  EXPECT_EQ(png.interlaceMode, 0);
  EXPECT_EQ(png.idatBufferSize(), 65535);
  EXPECT_TRUE(png.empty());
  EXPECT_EQ(png.width(), 0);
  png.setIdatBufferSize(1000);
  EXPECT_EQ(png.idatBufferSize(), 65535);
  png.setIdatBufferSize(100000);
  EXPECT_EQ(png.idatBufferSize(), 100000);
  for (int i = 0; i < 256; ++i) ASSERT_EQ(png.encodeGamma[size_t(i)], i);

  try {
    png.headerChunk();
    FAIL();
  } catch (const EPNGHeaderNotPresent& e) {
    EXPECT_STREQ(e.what(), "This operation is not valid because the current image contains no valid header.");
  }
  try {
    png.setWidth(3);
    FAIL();
  } catch (const EPngError& e) {
    EXPECT_STREQ(e.what(),
                 "The \"Portable Network Graphics\" image can not be resize by changing width and height properties. "
                 "Try assigning the image from a bitmap.");
  }
  EXPECT_THROW(png.setHeight(3), EPngError);

  build(png, 4, 4, COLOR_PALETTE, 4);
  auto* plte = static_cast<TChunkPLTE*>(png.chunkList.itemFromClass("PLTE"));
  ASSERT_NE(plte, nullptr);
  EXPECT_EQ(plte->entryCount, 16);
  try {
    plte->item(16);
    FAIL();
  } catch (const EPngError& e) {
    EXPECT_STREQ(e.what(), "There is no such palette entry.");
  }
  EXPECT_EQ(chunksOf(saved(png))[1].data.size(), 48u) << "16 entries are 48 bytes";
  TChunkIEND other(&png);
  try {
    plte->copyFrom(other);
    FAIL();
  } catch (const EPngError& e) {
    EXPECT_STREQ(e.what(), "The chunks must be compatible to be assigned.");
  }
  // Bad layouts are refused.
  auto& ihdr = png.headerChunk();
  ihdr.colorType = 2;
  ihdr.bitDepth = 4;
  EXPECT_THROW(ihdr.setUpImage(), EPngInvalidIHDR);

  // Nothing to write for an image without pixels, and a clear error instead of a broken file.
  RasterImage empty;
  TPNGObject none;
  none.assign(empty);
  MemoryStream s;
  try {
    none.saveToStream(s);
    FAIL();
  } catch (const EPNGNoImageData& e) {
    EXPECT_STREQ(e.what(), "An image without pixels (zero width or height) cannot be written as PNG.");
  }
  EXPECT_EQ(s.size(), 0u);

  // zlib refusing a level is a typed error.
  RasterImage r;
  r.createBlank(3, 3, PixelFormat::Bits24);
  TPNGObject bad;
  bad.assign(r);
  bad.deflateLevel = 12;
  EXPECT_THROW(saved(bad), EPNGZLIBError);

  // The chunk-class registry, in its order, and plain chunks for unknown types.
  std::vector<std::string> registered;
  for (auto& c : chunkClassRegistry()) registered.push_back(c.type);
  EXPECT_EQ(registered, (std::vector<std::string>{"IEND", "IHDR", "IDAT", "PLTE", "gAMA", "tRNS", "tIME", "tEXt", "zTXt"}));
  EXPECT_NE(dynamic_cast<TChunkzTXt*>(createChunk("zTXt", &png).get()), nullptr);
  EXPECT_EQ(createChunk("abCD", &png)->chunkType(), "abCD");
}

TEST(PngModel, AssignClonesTransparencyAndTextChunks) {
  RasterImage r;
  r.createBlank(5, 3, PixelFormat::Bits8);
  paint(r, [](int x, int) { return x % 2 ? Red : White; });
  r.transparent = true;
  r.transparentColorValue = Red;
  TPNGObject png;
  png.assign(r);
  auto* trns = static_cast<TChunktRNS*>(png.chunkList.itemFromClass("tRNS"));
  ASSERT_NE(trns, nullptr);
  size_t redIndex = 0;
  while (!(r.colorTable()[redIndex] == rgbQuad(255, 0, 0))) ++redIndex;
  EXPECT_EQ(trns->dataLength, redIndex + 1);
  EXPECT_EQ(png.chunkList.count(), 5u);

  auto* text = static_cast<TChunktEXt*>(png.addChunk(std::make_unique<TChunktEXt>(&png)));
  text->keyword = "Title";
  text->text = "Pixkeep";
  auto* ztxt = static_cast<TChunkzTXt*>(png.addChunk(std::make_unique<TChunkzTXt>(&png)));
  ztxt->keyword = "Comment";
  ztxt->text = std::string(300, 'z');
  // IEND must stay last: move it behind the text chunks.
  TChunk* iend = png.chunkList.itemFromClass("IEND");
  png.chunkList.remove(iend);
  png.chunkList.add(iend);

  TPNGObject copy;
  copy.assign(png);
  EXPECT_EQ(saved(copy), saved(png));
  auto chunks = chunksOf(saved(copy));
  EXPECT_EQ(typesOf(chunks), (std::vector<std::string>{"IHDR", "PLTE", "tRNS", "IDAT", "tEXt", "zTXt", "IEND"}));
  EXPECT_EQ(std::string(chunks[4].data.begin(), chunks[4].data.end()), std::string("Title\0Pixkeep", 13));
  std::vector<uint8_t> packed(chunks[5].data.begin() + 9, chunks[5].data.end());
  EXPECT_EQ(chunks[5].data[8], 0);  // compression method
  auto unpacked = inflateAll(packed);
  EXPECT_EQ(std::string(unpacked.begin(), unpacked.end()), std::string(300, 'z'));

  // libpng reads the transparency: the red entry is transparent, the others opaque.
  auto rgba = decodeWithLibpng(saved(copy), PNG_FORMAT_RGBA);
  ASSERT_EQ(rgba.size(), 5u * 3u * 4u);
  EXPECT_EQ(rgba[3], 255) << "white stays opaque";
  EXPECT_EQ(rgba[4 + 3], 0) << "red is transparent";
}

// A truecolour or grey picture marked transparent names its transparent
// colour by its samples; libpng makes exactly that colour transparent.
TEST(PngWriter, TransparentColourOfTruecolourAndGreyPictures) {
  struct Case { const char* name; uint8_t colorType; uint32_t transparent, other; };
  const Case cases[] = {
      {"truecolour", COLOR_RGB, 0x00336699, 0x00FFFFFF},
      {"grey", COLOR_GRAYSCALE, 0x00808080, 0x00000000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TPNGObject png;
    build(png, 2, 1, c.colorType, 8);
    TChunkIHDR& h = png.headerChunk();
    uint8_t* row = h.image.scanline(0);
    if (c.colorType == COLOR_RGB) {
      for (int x = 0; x < 2; ++x) {
        const uint32_t v = x == 0 ? c.transparent : c.other;  // 0x00BBGGRR; rows hold blue, green, red
        row[3 * x] = uint8_t(v >> 16);
        row[3 * x + 1] = uint8_t(v >> 8);
        row[3 * x + 2] = uint8_t(v);
      }
    } else {
      for (int i = 0; i < 256; ++i) h.colors[size_t(i)] = rgbQuad(uint8_t(i), uint8_t(i), uint8_t(i));
      row[0] = uint8_t(c.transparent);
      row[1] = uint8_t(c.other);
    }
    TChunk* idat = png.chunkList.itemFromClass("IDAT");
    png.chunkList.remove(idat);
    auto* trns = static_cast<TChunktRNS*>(png.addChunk(std::make_unique<TChunktRNS>(&png)));
    png.chunkList.add(idat);
    TChunk* iend = png.chunkList.itemFromClass("IEND");
    png.chunkList.remove(iend);
    png.chunkList.add(iend);
    trns->markTransparent(c.transparent);

    const auto file = saved(png);
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    ASSERT_TRUE(png_image_begin_read_from_memory(&image, file.data(), file.size()));
    EXPECT_TRUE(image.format & PNG_FORMAT_FLAG_ALPHA) << "libpng sees the tRNS chunk";
    png_image_free(&image);
    auto rgba = decodeWithLibpng(file, PNG_FORMAT_RGBA);
    ASSERT_EQ(rgba.size(), 8u);
    EXPECT_EQ(rgba[3], 0) << "the transparent colour";
    EXPECT_EQ(rgba[7], 255) << "any other colour stays opaque";
  }
}

TEST(PngWriter, ShortWritesAreErrors) {
  RasterImage r;
  r.createBlank(200, 200, PixelFormat::Bits24);
  TPNGObject png;
  png.assign(r);
  expectShortWriteError([&](Stream& s) { png.saveToStream(s); });
}

TEST(PngWriter, CaptureSettings) {
  RasterImage r;
  r.createBlank(30, 10, PixelFormat::Device);
  paint(r, [](int x, int y) { return (x + y) % 2 ? Cyan : Yellow; });
  auto encoder = pngEncoderFactory()(r, 3);
  auto* png = dynamic_cast<TPNGObject*>(encoder.get());
  ASSERT_NE(png, nullptr);
  EXPECT_EQ(png->rowFilters, pfNone);
  EXPECT_EQ(png->deflateLevel, 3);
  const std::string dir = tempDir();
  png->saveToFile(dir + "pxk1.png");
  for (int t : filterTypes(*png)) EXPECT_EQ(t, 0);
  expectRasterPixels(readFile(dir + "pxk1.png"), r);
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace pixkeep::test
