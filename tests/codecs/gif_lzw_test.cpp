// The GIF image-data coders, checked byte for byte against codes packed by
// hand and decoded with giflib (an independent decoder).
#include <gtest/gtest.h>

#include <gif_lib.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <random>
#include <set>
#include <vector>

#include "codecs/gif/gifencoder.h"
#include "tests/raster/test_helpers.h"

namespace pixkeep::test {
namespace {

std::vector<uint8_t> encode(const GIFFrameData& frame, int codingMethod = 0) {
  MemoryStream s;
  createGIFEncoder(codingMethod)->encodeFrame(s, frame);
  return s.bytes();
}

GIFFrameData frameOf(const std::vector<uint8_t>& pixels, int width, int height, int bitsPerPixel,
                     std::optional<int> colourCount = {}, bool interlaced = false) {
  GIFFrameData f;
  f.width = width;
  f.height = height;
  f.interlaced = interlaced;
  f.pixels = pixels;
  f.bitsPerPixel = uint8_t(bitsPerPixel);
  f.colourCount = colourCount.value_or(1 << bitsPerPixel);
  return f;
}

// Codes packed least significant bit first, each at its own width; the last
// byte is completed with zero bits.
struct CodePacker {
  std::vector<uint8_t> bytes;
  uint64_t bits = 0;
  int count = 0;
  void put(int code, int width) {
    for (int i = 0; i < width; ++i) {
      if (count % 8 == 0) bytes.push_back(0);
      if ((code >> i) & 1) bytes.back() = uint8_t(bytes.back() | (1 << (count % 8)));
      ++count;
    }
  }
};

// Minimum code size, the data cut into sub-blocks of 255 bytes, terminator.
std::vector<uint8_t> imageData(int minCodeSize, const std::vector<uint8_t>& data) {
  std::vector<uint8_t> out{uint8_t(minCodeSize)};
  for (size_t i = 0; i < data.size(); i += 255) {
    size_t n = std::min<size_t>(255, data.size() - i);
    out.push_back(uint8_t(n));
    out.insert(out.end(), data.begin() + long(i), data.begin() + long(i + n));
  }
  out.push_back(0);
  return out;
}

// The sub-block structure of image data without its first byte.
struct Blocks {
  std::vector<size_t> lengths;
  bool terminated = false;
  bool exact = false;  // the blocks (and terminator, if any) use up every byte
};

Blocks blocksOf(const std::vector<uint8_t>& bytes) {
  Blocks b;
  size_t pos = 1;
  while (pos < bytes.size()) {
    size_t n = bytes[pos];
    if (n == 0) {
      b.terminated = true;
      b.exact = pos + 1 == bytes.size();
      return b;
    }
    b.lengths.push_back(n);
    pos += 1 + n;
  }
  b.exact = pos == bytes.size();
  return b;
}

// Rows in the order of the four passes of GIF89a appendix E.
std::vector<int> interlacedRows(int height) {
  std::vector<int> rows;
  for (auto [start, step] : {std::pair{0, 8}, {4, 8}, {2, 4}, {1, 2}})
    for (int r = start; r < height; r += step) rows.push_back(r);
  return rows;
}

// A whole GIF87a file around our image data: a screen of the frame's size, a
// local colour table of 2^bits entries, the image data and the trailer.
std::vector<uint8_t> wrapInGif(const std::vector<uint8_t>& data, int width, int height, int bitsPerPixel,
                               bool interlaced) {
  Bytes b;
  b.raw({'G', 'I', 'F', '8', '7', 'a'});
  b.u16(uint16_t(width)).u16(uint16_t(height)).u8(0).u8(0).u8(0);
  const int tableBits = std::max(bitsPerPixel, 1);
  b.u8(0x2C).u16(0).u16(0).u16(uint16_t(width)).u16(uint16_t(height));
  b.u8(uint8_t(0x80 | (interlaced ? 0x40 : 0) | (tableBits - 1)));
  for (int i = 0; i < (1 << tableBits); ++i) b.u8(uint8_t(i)).u8(uint8_t(i)).u8(uint8_t(i));
  b.append(data);
  b.u8(0x3B);
  return b.v;
}

struct Reader {
  const std::vector<uint8_t>* bytes;
  size_t pos = 0;
};

int readFromMemory(GifFileType* gif, GifByteType* out, int n) {
  auto* r = static_cast<Reader*>(gif->UserData);
  size_t k = std::min(size_t(n), r->bytes->size() - r->pos);
  std::memcpy(out, r->bytes->data() + r->pos, k);
  r->pos += k;
  return int(k);
}

// giflib's reading of one frame: its rows in stream order (interlaced frames
// are not put back in order). Fails the test on any giflib error, and
// unless the file ends right after the frame.
std::vector<std::vector<uint8_t>> giflibRows(const std::vector<uint8_t>& file) {
  std::vector<std::vector<uint8_t>> rows;
  Reader reader{&file};
  int error = 0;
  GifFileType* gif = DGifOpen(&reader, readFromMemory, &error);
  EXPECT_NE(gif, nullptr) << GifErrorString(error);
  if (!gif) return rows;
  GifRecordType type;
  EXPECT_EQ(DGifGetRecordType(gif, &type), GIF_OK) << GifErrorString(gif->Error);
  EXPECT_EQ(type, IMAGE_DESC_RECORD_TYPE);
  if (DGifGetImageDesc(gif) == GIF_OK) {
    for (int y = 0; y < gif->Image.Height; ++y) {
      std::vector<uint8_t> row(size_t(gif->Image.Width));
      if (DGifGetLine(gif, row.data(), gif->Image.Width) != GIF_OK) {
        ADD_FAILURE() << "giflib: " << GifErrorString(gif->Error) << " in stream row " << y;
        break;
      }
      rows.push_back(std::move(row));
    }
    if (rows.size() == size_t(gif->Image.Height)) {
      EXPECT_EQ(DGifGetRecordType(gif, &type), GIF_OK) << GifErrorString(gif->Error);
      EXPECT_EQ(type, TERMINATE_RECORD_TYPE);
      EXPECT_EQ(reader.pos, file.size());
    }
  } else {
    ADD_FAILURE() << "giflib: " << GifErrorString(gif->Error);
  }
  DGifCloseFile(gif, &error);
  return rows;
}

// Decodes our image data with giflib and puts interlaced rows back in place.
std::vector<uint8_t> giflibPixels(const std::vector<uint8_t>& data, const GIFFrameData& f) {
  auto rows = giflibRows(wrapInGif(data, f.width, f.height, f.bitsPerPixel, f.interlaced));
  std::vector<uint8_t> pixels(size_t(f.width) * size_t(f.height));
  std::vector<int> order = interlacedRows(f.height);
  if (!f.interlaced)
    for (int y = 0; y < f.height; ++y) order[size_t(y)] = y;
  for (size_t i = 0; i < rows.size() && i < order.size(); ++i)
    std::copy(rows[i].begin(), rows[i].end(), pixels.begin() + long(size_t(order[i]) * size_t(f.width)));
  return pixels;
}

int appendToVector(GifFileType* gif, const GifByteType* data, int n) {
  auto* out = static_cast<std::vector<uint8_t>*>(gif->UserData);
  out->insert(out->end(), data, data + n);
  return n;
}

// giflib's own LZW coding of the frame (EGifPutLine, rows in stream order):
// its image data, cut out of the file it writes.
std::vector<uint8_t> giflibImageData(const GIFFrameData& f) {
  std::vector<uint8_t> file;
  int error = 0;
  GifFileType* gif = EGifOpen(&file, appendToVector, &error);
  const int tableBits = std::max<int>(f.bitsPerPixel, 1);
  ColorMapObject* map = GifMakeMapObject(1 << tableBits, nullptr);
  bool ok = gif && map && EGifPutScreenDesc(gif, f.width, f.height, tableBits, 0, nullptr) == GIF_OK &&
            EGifPutImageDesc(gif, 0, 0, f.width, f.height, f.interlaced, map) == GIF_OK;
  std::vector<int> order = interlacedRows(f.height);
  if (!f.interlaced)
    for (int y = 0; y < f.height; ++y) order[size_t(y)] = y;
  for (int y : order) {
    std::vector<uint8_t> row(f.pixels.begin() + long(size_t(y) * size_t(f.width)),
                             f.pixels.begin() + long(size_t(y + 1) * size_t(f.width)));
    ok = ok && EGifPutLine(gif, row.data(), f.width) == GIF_OK;
  }
  GifFreeMapObject(map);
  if (gif && EGifCloseFile(gif, &error) != GIF_OK) ok = false;
  EXPECT_TRUE(ok) << "giflib could not write the frame";
  const size_t skip = 13 + 10 + 3 * (size_t(1) << tableBits);
  if (!ok || file.size() < skip + 1) return {};
  return std::vector<uint8_t>(file.begin() + long(skip), file.end() - 1);
}

// A sequence in which no two neighbouring pixels repeat a pair seen before,
// so that every pixel becomes one code of its own.
std::vector<uint8_t> distinctPairs(size_t n, int colours) {
  std::vector<uint8_t> out{0};
  std::set<std::pair<int, int>> seen;
  int offset = 0;
  while (out.size() < n) {
    int prev = out.back(), v = 0;
    for (int i = 0; i < colours; ++i) {
      v = (offset + i) % colours;
      if (!seen.count({prev, v})) break;
    }
    EXPECT_FALSE(seen.count({prev, v})) << "no unused pair left after " << out.size() << " pixels";
    seen.insert({prev, v});
    out.push_back(uint8_t(v));
    offset += 7;
  }
  return out;
}

TEST(GifLzw, SmallFramesGiveExactBytes) {
  const std::vector<uint8_t> one{0}, nine(9, 1);
  struct Case {
    const char* name;
    GIFFrameData frame;
    std::vector<uint8_t> expected;
  } cases[] = {
      // Codes 4 (clear), 0, 5 (end), three bits each.
      {"1x1, pixel 0, two colours", frameOf(one, 1, 1, 1), {0x02, 0x02, 0x44, 0x01, 0x00}},
      {"width 0 at 2 bits", frameOf({}, 0, 3, 2), {0x02, 0x01, 0x05, 0x00}},
      // The 9-bit end code 257 takes two bytes.
      {"width 0 at 8 bits", frameOf({}, 0, 3, 8), {0x08, 0x02, 0x01, 0x01, 0x00}},
      {"height 0 at 8 bits", frameOf(nine, 3, 0, 8), {0x08, 0x02, 0x01, 0x01, 0x00}},
      {"negative width", frameOf(nine, -3, 3, 8), {0x08, 0x02, 0x01, 0x01, 0x00}},
      {"no pixels", frameOf({}, 3, 3, 4), {0x04, 0x01, 0x11, 0x00}},
      {"no pixels, interlaced", frameOf({}, 3, 3, 8, 256, true), {0x08, 0x02, 0x01, 0x01, 0x00}},
      {"0 bits raised to 2", frameOf({}, 0, 0, 0, 1), {0x02, 0x01, 0x05, 0x00}},
  };
  for (const auto& c : cases)
    for (int method : {0, 1})
      EXPECT_EQ(encode(c.frame, method), c.expected) << c.name << ", coding method " << method;
}

// A run of one colour codes as the pixel, then the strings of length 2, 3, …
// that the table gained on the way.
TEST(GifLzw, RunOfOneColourFitsOneSubBlock) {
  const std::vector<uint8_t> run(300, 37);
  CodePacker p;
  p.put(256, 9);
  int left = 300, length = 1;
  while (left > 0) {
    int take = std::min(left, length);
    p.put(take == 1 ? 37 : 258 + take - 2, 9);
    left -= take;
    ++length;
  }
  p.put(257, 9);
  const auto expected = imageData(8, p.bytes);
  ASSERT_EQ(expected.size(), 2 + p.bytes.size() + 1) << "the fixture is meant to fit in one sub-block";
  const auto frame = frameOf(run, 20, 15, 8);
  const auto out = encode(frame);
  EXPECT_EQ(out, expected);
  EXPECT_EQ(giflibPixels(out, frame), run);
}

// Every pixel its own code, so the widths alone decide the bytes: after a
// clear, code k (counting from 1) takes one bit more than code k − 1 once
// firstCode + k − 2 has reached the next power of two; the table stops at 4094
// and a clear code at 12 bits starts again at the starting width.
TEST(GifLzw, CodeWidthGrowsAndTableClearsAfter4094) {
  struct Case {
    int bits;
    std::vector<uint8_t> pixels;
    std::vector<std::pair<int, int>> widthFrom;  // (first code number after a clear, width)
    int clearAfter;                              // codes between clears
  } cases[] = {
      {2, {0, 0, 1, 0, 2, 0, 3, 1, 1, 2, 1, 3, 2, 2, 3, 3, 0}, {{1, 3}, {4, 4}, {12, 5}}, 0},
      {8, distinctPairs(4300, 256), {{1, 9}, {256, 10}, {768, 11}, {1792, 12}}, 3838},
  };
  for (const auto& c : cases) {
    std::set<std::pair<int, int>> pairs;
    for (size_t i = 1; i < c.pixels.size(); ++i) pairs.insert({c.pixels[i - 1], c.pixels[i]});
    ASSERT_EQ(pairs.size(), c.pixels.size() - 1) << "the fixture must repeat no pair";

    const int clear = 1 << c.bits;
    CodePacker p;
    int width = c.bits + 1, k = 0;
    p.put(clear, width);
    for (uint8_t px : c.pixels) {
      ++k;
      for (auto [from, w] : c.widthFrom)
        if (k >= from) width = w;
      p.put(px, width);
      if (k == c.clearAfter) {
        p.put(clear, width);
        k = 0;
      }
    }
    p.put(clear + 1, width);

    const auto frame = frameOf(c.pixels, int(c.pixels.size()), 1, c.bits);
    const auto out = encode(frame);
    EXPECT_EQ(out, imageData(c.bits, p.bytes)) << c.bits << " bits";
    EXPECT_EQ(giflibPixels(out, frame), c.pixels) << c.bits << " bits";
  }
}

TEST(GifLzw, InterlacedRowsGoOutInPassOrder) {
  EXPECT_EQ(interlacedRows(3), (std::vector<int>{0, 2, 1}));
  EXPECT_EQ(interlacedRows(17), (std::vector<int>{0, 8, 16, 4, 12, 2, 6, 10, 14, 1, 3, 5, 7, 9, 11, 13, 15}));
  for (int height = 1; height <= 17; ++height) {
    // Row r holds the values 2r and 2r + 1, so each row is recognisable.
    std::vector<uint8_t> pixels;
    for (int r = 0; r < height; ++r) pixels.insert(pixels.end(), {uint8_t(2 * r), uint8_t(2 * r + 1)});
    const auto frame = frameOf(pixels, 2, height, 6, 64, true);
    for (int method : {0, 1}) {
      auto rows = giflibRows(wrapInGif(encode(frame, method), 2, height, 6, true));
      std::vector<int> order;
      for (const auto& row : rows) order.push_back(row[0] / 2);
      EXPECT_EQ(order, interlacedRows(height)) << "height " << height << ", coding method " << method;
    }
  }
  // Height 3 at 8 bits: six distinct pixels, so the codes are the pixels in stream order.
  const std::vector<uint8_t> pixels{10, 11, 20, 21, 30, 31};
  CodePacker p;
  p.put(256, 9);
  for (int px : {10, 11, 30, 31, 20, 21}) p.put(px, 9);
  p.put(257, 9);
  EXPECT_EQ(encode(frameOf(pixels, 2, 3, 8, 256, true)), imageData(8, p.bytes));
}

// Random frames of every code size, interlaced or not, noise and runs, in
// both coders: giflib must read back exactly our indices, and the data must be
// cut into full 255-byte sub-blocks and one shorter last one. The LZW coder
// follows the same rules as giflib's encoder, so its bytes must equal giflib's.
TEST(GifLzw, GiflibDecodesRandomFramesExactly) {
  std::mt19937 rng(1234);
  const std::pair<int, int> sizes[] = {{1, 1}, {1, 40}, {40, 1}, {47, 33}, {300, 200}};
  for (int bits = 1; bits <= 8; ++bits) {
    for (bool interlaced : {false, true}) {
      for (auto [w, h] : sizes) {
        for (bool runs : {false, true}) {
          const int colours = (1 << (bits - 1)) + 1 + int(rng() % uint32_t(1 << (bits - 1)));
          std::vector<uint8_t> pixels(size_t(w) * size_t(h));
          uint8_t value = 0;
          for (size_t i = 0; i < pixels.size(); ++i) {
            if (!runs || rng() % 97 == 0) value = uint8_t(rng() % uint32_t(colours));
            pixels[i] = value;
          }
          const auto frame = frameOf(pixels, w, h, bits, colours, interlaced);
          for (int method : {0, 1}) {
            SCOPED_TRACE(testing::Message() << bits << " bits, " << w << "x" << h << (interlaced ? " interlaced" : "")
                                            << (runs ? " runs" : " noise") << ", coding method " << method);
            const auto out = encode(frame, method);
            ASSERT_EQ(out[0], std::max(bits, 2));
            const Blocks b = blocksOf(out);
            EXPECT_TRUE(b.terminated && b.exact);
            for (size_t i = 0; i + 1 < b.lengths.size(); ++i) ASSERT_EQ(b.lengths[i], 255u);
            EXPECT_EQ(giflibPixels(out, frame), pixels);
            if (method == 0) {
              EXPECT_EQ(out, giflibImageData(frame));
            }
          }
        }
      }
    }
  }
}

// Long runs: the LZW table fills and clears in the middle of a run; the
// run-length coder needs far fewer codes than pixels.
TEST(GifLzw, LongRunsDecodeExactly) {
  std::mt19937 rng(99);
  struct Case {
    int width, height, bits;
    int maxRun;
  } cases[] = {{3000, 3000, 8, 0}, {2000, 1500, 2, 0}, {1000, 800, 4, 20000}, {640, 480, 8, 3000}};
  for (const auto& c : cases) {
    std::vector<uint8_t> pixels(size_t(c.width) * size_t(c.height), uint8_t((1 << c.bits) - 1));
    // Runs of a few colours, often of the same colour as two runs before.
    for (size_t i = 0; c.maxRun > 0 && i < pixels.size();) {
      size_t n = 1 + rng() % uint32_t(c.maxRun);
      uint8_t v = uint8_t(rng() % 3);
      for (size_t k = 0; k < n && i < pixels.size(); ++k) pixels[i++] = v;
    }
    const auto frame = frameOf(pixels, c.width, c.height, c.bits);
    for (int method : {0, 1}) {
      SCOPED_TRACE(testing::Message() << c.width << "x" << c.height << " at " << c.bits << " bits, coding method "
                                      << method);
      const auto out = encode(frame, method);
      EXPECT_EQ(giflibPixels(out, frame), pixels);
      if (method == 0) {
        EXPECT_EQ(out, giflibImageData(frame));
      }
      // One colour takes about sqrt(2n) codes between clears.
      if (c.maxRun == 0) {
        EXPECT_LT(out.size(), pixels.size() / 200);
      }
    }
  }
}

TEST(GifLzw, TriangleCost) {
  const struct {
    int64_t n, m, cost;
  } cases[] = {
      {0, 10, 0},  {1, 10, 1},   {2, 10, 2},   {3, 10, 2},          {4, 10, 3},
      {6, 10, 3},  {7, 10, 4},   {55, 10, 10}, {56, 10, 11},        {110, 10, 20},
      {10000, 3837, 141},        {7363203, 3837, 3837},             {7363204, 3837, 3838},
  };
  for (const auto& c : cases) EXPECT_EQ(triangleCost(c.n, c.m), c.cost) << c.n << ", " << c.m;
}

// A pixel outside the table stops the frame; what was written stays in the
// stream, and no terminator follows.
TEST(GifLzw, PixelOutsideTheColourTable) {
  std::vector<uint8_t> noise(5000);
  std::mt19937 rng(5);
  for (auto& v : noise) v = uint8_t(rng() % 16);
  std::vector<uint8_t> late = noise, first = noise;
  late[4500] = 16;
  first[0] = 200;
  const std::vector<uint8_t> four{0, 1, 2, 3, 4, 0};
  struct Case {
    const char* name;
    GIFFrameData frame;
    std::vector<uint8_t> expected;  // empty: check the block structure only
  } cases[] = {
      {"pixel equal to the colour count, late", frameOf(late, 100, 50, 4, 16), {}},
      {"pixel equal to the colour count, interlaced", frameOf(late, 100, 50, 4, 16, true), {}},
      // The clear code's first 8 bits; no terminator.
      {"first pixel", frameOf(first, 100, 50, 8, 16), {0x08, 0x01, 0x00}},
      // A table claiming more colours than 2 bits can name: pixel 4 would be the clear code.
      {"colour count above the code size", frameOf(four, 6, 1, 2, 16), {}},
      {"empty colour table", frameOf(four, 6, 1, 8, 0), {0x08, 0x01, 0x00}},
      {"negative colour count", frameOf(four, 6, 1, 8, -5), {0x08, 0x01, 0x00}},
  };
  for (const auto& c : cases) {
    for (int method : {0, 1}) {
      SCOPED_TRACE(testing::Message() << c.name << ", coding method " << method);
      MemoryStream s;
      try {
        createGIFEncoder(method)->encodeFrame(s, c.frame);
        ADD_FAILURE() << "no error";
      } catch (const EInvalidGraphic& e) {
        EXPECT_NE(dynamic_cast<const GIFException*>(&e), nullptr);
        EXPECT_STREQ(e.what(), "Color not in color table");
      }
      if (!c.expected.empty()) {
        EXPECT_EQ(s.bytes(), c.expected);
      }
      ASSERT_FALSE(s.bytes().empty());
      EXPECT_EQ(s.bytes()[0], std::max<int>(c.frame.bitsPerPixel, 2));
      const Blocks b = blocksOf(s.bytes());
      EXPECT_FALSE(b.terminated);
      EXPECT_TRUE(b.exact);
      EXPECT_FALSE(b.lengths.empty());
    }
  }
}

TEST(GifLzw, FramesThatCannotBeCoded) {
  const std::vector<uint8_t> nine(9, 0);
  struct Case {
    const char* name;
    GIFFrameData frame;
    const char* message;
  } cases[] = {
      {"9 bits per pixel", frameOf(nine, 3, 3, 9, 256), "Bits per pixel of a GIF frame must be 1 to 8"},
      {"fewer pixels than width x height", frameOf(nine, 5, 2, 8), "The frame holds fewer pixels than its width and height need"},
      {"65535 x 65535 with 9 pixels", frameOf(nine, 65535, 65535, 8), "The frame holds fewer pixels than its width and height need"},
  };
  for (const auto& c : cases) {
    for (int method : {0, 1}) {
      MemoryStream s;
      try {
        createGIFEncoder(method)->encodeFrame(s, c.frame);
        ADD_FAILURE() << c.name << ": no error";
      } catch (const GIFException& e) {
        EXPECT_STREQ(e.what(), c.message) << c.name;
      }
      EXPECT_TRUE(s.bytes().empty()) << c.name;
    }
  }
}

// Takes the first `limit` bytes, then nothing.
class FailingStream : public Stream {
 public:
  explicit FailingStream(size_t limit) : limit_(limit) {}
  size_t read(void*, size_t) override { return 0; }
  size_t write(const void* buffer, size_t count) override {
    ++writes;
    size_t n = std::min(count, limit_ - std::min(limit_, bytes.size()));
    bytes.insert(bytes.end(), static_cast<const uint8_t*>(buffer), static_cast<const uint8_t*>(buffer) + n);
    return n;
  }
  uint64_t position() const override { return bytes.size(); }
  uint64_t size() const override { return bytes.size(); }
  std::vector<uint8_t> bytes;
  int writes = 0;

 private:
  size_t limit_;
};

TEST(GifLzw, ShortWritesRaiseStreamWriteError) {
  std::vector<uint8_t> noise(20000);
  std::mt19937 rng(8);
  for (auto& v : noise) v = uint8_t(rng());
  const auto frame = frameOf(noise, 200, 100, 8);
  for (int method : {0, 1}) {
    expectShortWriteError([&](Stream& s) { createGIFEncoder(method)->encodeFrame(s, frame); });
    // Failing in the middle of a sub-block, right after the first, at the terminator.
    const size_t total = encode(frame, method).size();
    for (size_t limit : {size_t(1), size_t(100), size_t(257), total - 1}) {
      FailingStream s(limit);
      try {
        createGIFEncoder(method)->encodeFrame(s, frame);
        ADD_FAILURE() << "limit " << limit << ": no error";
      } catch (const EWriteError& e) {
        EXPECT_STREQ(e.what(), "Stream write error");
      }
      EXPECT_EQ(s.bytes.size(), limit);
    }
  }
  // A bad pixel with a stream that fails as well: the pixel is the error reported.
  std::vector<uint8_t> bad = noise;
  bad[100] = 255;
  FailingStream s(1);
  EXPECT_THROW(createGIFEncoder(0)->encodeFrame(s, frameOf(bad, 200, 100, 8, 255)), GIFException);
}

TEST(GifLzw, WriterCutsSubBlocksOf255Bytes) {
  const struct {
    size_t total, piece;
    std::vector<size_t> blocks;
  } cases[] = {
      {0, 1, {}},          {1, 1, {1}},          {254, 7, {254}},          {255, 7, {255}},
      {256, 256, {255, 1}}, {510, 300, {255, 255}}, {600, 7, {255, 255, 90}},
  };
  for (const auto& c : cases) {
    std::vector<uint8_t> data(c.total);
    for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(i * 31 + 7);
    MemoryStream s;
    {
      TGIFWriter w(s);
      for (size_t i = 0; i < data.size(); i += c.piece) {
        size_t n = std::min(c.piece, data.size() - i);
        if (n == 1)
          w.writeByte(data[i]);
        else
          EXPECT_EQ(w.write(&data[i], n), n);
      }
      w.flush();
      w.flush();
    }
    std::vector<uint8_t> expected;
    size_t pos = 0;
    for (size_t n : c.blocks) {
      expected.push_back(uint8_t(n));
      expected.insert(expected.end(), data.begin() + long(pos), data.begin() + long(pos + n));
      pos += n;
    }
    EXPECT_EQ(s.bytes(), expected) << c.total << " bytes in pieces of " << c.piece;
  }
  // The generic stream operations are not the writer's.
  MemoryStream s;
  TGIFWriter w(s);
  uint8_t b;
  for (const auto& op : std::vector<std::function<void()>>{[&] { w.read(&b, 1); }, [&] { (void)w.position(); },
                                                           [&] { (void)w.size(); }}) {
    try {
      op();
      ADD_FAILURE() << "no error";
    } catch (const Exception& e) {
      EXPECT_STREQ(e.what(), "Invalid stream operation");
    }
  }
}

TEST(GifLzw, HashTableFindsWhatItStores) {
  for (uint32_t key = 0; key < (1u << 20); ++key)
    ASSERT_EQ(THashTable::primarySlot(key), ((key >> 4) ^ key) % 8009) << "key " << key;
  THashTable t;
  std::mt19937 rng(3);
  std::vector<std::pair<uint32_t, int32_t>> stored;
  std::set<uint32_t> keys;
  while (stored.size() < 3837) {
    uint32_t key = uint32_t(rng() % 0xFFFFF);
    if (!keys.insert(key).second) continue;
    stored.push_back({key, int32_t(258 + stored.size())});
    t.store(key, stored.back().second);
  }
  for (auto [key, code] : stored) EXPECT_EQ(t.find(key), code);
  for (uint32_t key : {0u, 1u, 12345u})
    if (!keys.count(key)) {
      EXPECT_EQ(t.find(key), -1);
    }
  t.clear();
  for (auto [key, code] : stored) EXPECT_EQ(t.find(key), -1);
}

// Doubling the slot number modulo 8009 reaches only half the slots, so keys
// whose first slots all lie in that half can fill it; the table must still
// store and find one more such key (and not search forever).
TEST(GifLzw, HashTableSurvivesAFullHalf) {
  std::vector<bool> half(THashTable::Slots, false);
  for (uint32_t h = 1; !half[h]; h = h * 2 % THashTable::Slots) half[h] = true;
  ASSERT_EQ(std::count(half.begin(), half.end(), true), 4004);
  THashTable t;
  std::vector<uint32_t> keys;
  for (uint32_t key = 0; keys.size() < 4100; ++key)
    if (half[THashTable::primarySlot(key)]) keys.push_back(key);
  for (size_t i = 0; i < keys.size(); ++i) t.store(keys[i], int32_t(i % 4095));
  for (size_t i = 0; i < keys.size(); ++i) EXPECT_EQ(t.find(keys[i]), int32_t(i % 4095));
  EXPECT_EQ(t.find(keys.back() + 1000000), -1);
}

}  // namespace
}  // namespace pixkeep::test
