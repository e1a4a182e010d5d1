// The GIF file a TGIFImage writes and its frame optimisation: whole files
// checked byte for byte where the bytes are fixed, and every file read back
// with giflib (an independent decoder), which must see exactly our tables,
// indices and extensions. Optimised animations must show what they showed
// before, frame by frame, as giflib decodes them.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <random>
#include <thread>

#include "codecs/gif/GIFImage.h"
#include "codecs/imagetypes.h"
#include "tests/raster/test_helpers.h"
#include "tests/codecs/giflib_reader.h"

namespace pixkeep::test {
namespace {

// Colour-table entries.
constexpr TGIFColor GifBlack{0, 0, 0}, GifRed{255, 0, 0}, GifLime{0, 255, 0}, GifNavy{0, 0, 255},
    GifGold{255, 255, 0}, GifWhite{255, 255, 255};

std::vector<uint8_t> bytesOf(TGIFImage& gif) {
  MemoryStream s;
  gif.SaveToStream(s);
  return s.bytes();
}

std::string gifError(const std::function<void()>& f) {
  try {
    f();
  } catch (const GIFException& e) {
    return e.what();
  }
  return "no error";
}

std::vector<uint8_t> concat(std::initializer_list<std::vector<uint8_t>> parts) {
  std::vector<uint8_t> out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

std::vector<uint8_t> ascii(const std::string& s) { return std::vector<uint8_t>(s.begin(), s.end()); }

// The 768 bytes of the capture's colour table: the web-safe cube in index
// order (36 r + 6 g + b), then 40 black entries.
std::vector<uint8_t> webCubeTable() {
  std::vector<uint8_t> t;
  for (int r = 0; r < 6; ++r)
    for (int g = 0; g < 6; ++g)
      for (int b = 0; b < 6; ++b) t.insert(t.end(), {uint8_t(51 * r), uint8_t(51 * g), uint8_t(51 * b)});
  t.resize(768, 0);
  return t;
}

// A colour table as the file must hold it: padded with black to 2^bits entries.
std::vector<GiflibColor> padded(const TGIFColorMap& map) {
  std::vector<GiflibColor> out;
  for (int i = 0; i < map.Count(); ++i) out.push_back(GiflibColor{map[i].Red, map[i].Green, map[i].Blue});
  out.resize(map.Count() == 0 ? 0 : size_t(1) << map.BitsPerPixel());
  return out;
}

// The packed byte of every image descriptor, found by walking the blocks
// (giflib does not report the sort flag of a local table).
std::vector<uint8_t> descriptorPackedBytes(const std::vector<uint8_t>& file) {
  std::vector<uint8_t> packed;
  size_t pos = 13;
  if (file.size() < pos) return packed;
  if (file[10] & 0x80) pos += size_t(3) << ((file[10] & 7) + 1);
  auto skipSubBlocks = [&] {
    while (pos < file.size() && file[pos] != 0) pos += size_t(file[pos]) + 1;
    ++pos;
  };
  while (pos < file.size()) {
    if (file[pos] == 0x21) {
      pos += 2;
      skipSubBlocks();
    } else if (file[pos] == 0x2C && pos + 10 < file.size()) {
      const uint8_t p = file[pos + 9];
      packed.push_back(p);
      pos += 10;
      if (p & 0x80) pos += size_t(3) << ((p & 7) + 1);
      ++pos;  // LZW minimum code size
      skipSubBlocks();
    } else {
      break;
    }
  }
  return packed;
}

// giflib must read the file as our picture: version, screen, tables (with
// their sort flags), every non-empty frame's place, interlacing, indices and
// graphic control.
void expectGiflibReadsOurPicture(const std::vector<uint8_t>& file, const TGIFImage& gif) {
  const GiflibPicture read = readWithGiflib(file);
  ASSERT_TRUE(read.ok) << "giflib: " << read.error;
  EXPECT_EQ(read.signature, gif.GifVersion() == gv89a ? "GIF89a" : "GIF87a");
  EXPECT_EQ(read.width, gif.Width());
  EXPECT_EQ(read.height, gif.Height());
  EXPECT_EQ(read.hasGlobalTable, gif.Header.ColorMap.Count() > 0);
  EXPECT_EQ(read.globalTable, padded(gif.Header.ColorMap));
  if (read.hasGlobalTable) {
    EXPECT_EQ(read.globalSorted, gif.Header.ColorMap.Sorted);
  }
  std::vector<const TGIFSubImage*> frames;
  for (const TGIFSubImage* frame : gif.Images)
    if (!frame->Empty()) frames.push_back(frame);
  ASSERT_EQ(read.frames.size(), frames.size());
  const std::vector<uint8_t> packed = descriptorPackedBytes(file);
  ASSERT_EQ(packed.size(), frames.size());
  for (size_t i = 0; i < frames.size(); ++i) {
    SCOPED_TRACE("frame " + std::to_string(i));
    const TGIFSubImage& ours = *frames[i];
    const GiflibFrame& theirs = read.frames[i];
    EXPECT_EQ(theirs.left, ours.Left());
    EXPECT_EQ(theirs.top, ours.Top());
    EXPECT_EQ(theirs.width, ours.Width());
    EXPECT_EQ(theirs.height, ours.Height());
    EXPECT_EQ(theirs.interlaced, ours.Interlaced());
    EXPECT_EQ(theirs.hasLocalTable, ours.ColorMap.Count() > 0);
    EXPECT_EQ(theirs.localTable, padded(ours.ColorMap));
    EXPECT_EQ((packed[i] & 0x20) != 0, ours.ColorMap.Count() > 0 && ours.ColorMap.Sorted) << "the sort flag";
    EXPECT_EQ(theirs.pixels, ours.Data());
    const TGIFGraphicControlExtension* control = ours.GraphicControlExtension();
    ASSERT_EQ(theirs.hasControl, control != nullptr);
    if (control) {
      EXPECT_EQ(theirs.disposal, control->Disposal);
      EXPECT_EQ(theirs.delay, control->Delay);
      EXPECT_EQ(theirs.userInput, control->UserInput);
      EXPECT_EQ(theirs.transparent, control->Transparent ? control->TransparentColorIndex : -1);
    }
  }
}

// Writes, then checks the file with giflib.
std::vector<uint8_t> writeAndCheck(TGIFImage& gif) {
  std::vector<uint8_t> file = bytesOf(gif);
  expectGiflibReadsOurPicture(file, gif);
  return file;
}

// A frame placed on the screen with its own table (empty: the global one)
// and graphic control (added when any of its values is set).
struct FrameSpec {
  int left = 0, top = 0, width = 0, height = 0;
  std::vector<TGIFColor> table;
  std::function<uint8_t(int x, int y)> pixel = [](int, int) { return uint8_t(0); };
  int transparent = -1;
  int disposal = 0;
  int delay = 0;
};

TGIFSubImage& addFrame(TGIFImage& gif, const FrameSpec& shape) {
  auto frame = std::make_unique<TGIFSubImage>(&gif);
  frame->SetLeft(shape.left);
  frame->SetTop(shape.top);
  frame->SetWidth(shape.width);
  frame->SetHeight(shape.height);
  for (int y = 0; y < shape.height; ++y)
    for (int x = 0; x < shape.width; ++x) frame->Data()[size_t(y * shape.width + x)] = shape.pixel(x, y);
  for (TGIFColor c : shape.table) frame->ColorMap.Add(c);
  if (shape.transparent >= 0 || shape.disposal != 0 || shape.delay != 0) {
    TGIFGraphicControlExtension& control = frame->EnsureGraphicControlExtension();
    control.Transparent = shape.transparent >= 0;
    control.TransparentColorIndex = uint8_t(std::max(0, shape.transparent));
    control.Disposal = uint8_t(shape.disposal);
    control.Delay = uint16_t(shape.delay);
  }
  return *gif.Images.Add(std::move(frame));
}

template <typename T, typename... Args>
T& addExtension(TGIFSubImage& frame, Args&&... args) {
  return *static_cast<T*>(frame.Extensions.Add(std::make_unique<T>(&frame, std::forward<Args>(args)...)));
}

// A Bits24 raster of one colour.
void solid24(RasterImage& raster, int width, int height, TGIFColor c) {
  raster.createBlank(width, height, PixelFormat::Bits24);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      uint8_t* p = raster.scanline(y) + 3 * x;
      p[0] = c.Blue;
      p[1] = c.Green;
      p[2] = c.Red;
    }
}

// A stream that takes `limit` bytes and then no more.
class LimitedStream : public Stream {
 public:
  explicit LimitedStream(size_t limit) : limit_(limit) {}
  size_t read(void*, size_t) override { return 0; }
  size_t write(const void*, size_t count) override {
    const size_t n = std::min(count, limit_ - written_);
    written_ += n;
    return n;
  }
  uint64_t position() const override { return written_; }
  uint64_t size() const override { return written_; }

 private:
  size_t limit_;
  size_t written_ = 0;
};

// ------------------------------------------------------------------ writing

TEST(GifWriter, CaptureOfA1x1TruecolourRasterGivesExactBytes) {
  RasterImage raster;
  raster.createBlank(1, 1, PixelFormat::Bits32);
  putColor(raster, 0, 0, pixkeep::test::Red);
  // The GIF row of the image-type table, as a capture uses it.
  const ImageType& type = imageTypes()[2];
  ASSERT_EQ(type.extension, ".gif");
  EXPECT_FALSE(type.slider) << "GIF has no quality or compression setting";
  ASSERT_TRUE(type.writer);
  std::unique_ptr<PictureEncoder> gif = type.writer(raster, 0);
  MemoryStream s;
  gif->saveToStream(s);
  const std::vector<uint8_t> expected = concat({
      ascii("GIF87a"),
      {0x01, 0x00, 0x01, 0x00, 0x77, 0x00, 0x00},                    // screen 1 x 1, no global table
      {0x2C, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x01, 0x00, 0x87},  // frame 1 x 1, 256-entry local table
      webCubeTable(),
      // Codes 256 (clear), 180 (red: 36 x 5), 257 (end), 9 bits each.
      {0x08, 0x04, 0x00, 0x69, 0x05, 0x04, 0x00},
      {0x3B},
  });
  EXPECT_EQ(s.bytes(), expected);
  EXPECT_EQ(raster.pixelFormat(), PixelFormat::Bits32) << "the held picture is not converted";

  // saveToFile writes the same bytes.
  const std::string dir = tempDir();
  gif->saveToFile(dir + "pxk1.gif");
  EXPECT_EQ(readFile(dir + "pxk1.gif"), expected);
  std::filesystem::remove_all(dir);
}

TEST(GifWriter, IndexedRastersKeepTheirTableSize) {
  struct Case {
    PixelFormat format;
    int entries;
    uint8_t screenPacked, framePacked;
    uint8_t minimumCodeSize;
  };
  const Case cases[] = {
      {PixelFormat::Bits1, 2, 0x00, 0x80, 2},  {PixelFormat::Bits8, 3, 0x11, 0x81, 2},
      {PixelFormat::Bits4, 16, 0x33, 0x83, 4}, {PixelFormat::Bits8, 17, 0x44, 0x84, 5},
      {PixelFormat::Bits8, 256, 0x77, 0x87, 8},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.entries);
    std::vector<RGBQuad> table;
    for (int i = 0; i < c.entries; ++i) table.push_back(rgbQuad(uint8_t(i), uint8_t(255 - i), uint8_t(i * 7)));
    RasterImage raster;
    raster.createBlank(5, 3, c.format, table);
    for (int y = 0; y < 3; ++y)
      for (int x = 0; x < 5; ++x) putRaw(raster, x, y, uint32_t((x + 5 * y) % c.entries));
    TGIFImage gif;
    gif.AssignRaster(raster);
    gif.OptimizeFrames(MergeFrames, pmNone, daFloydSteinberg, 0);
    const std::vector<uint8_t> file = writeAndCheck(gif);
    const size_t tableBytes = size_t(3) << BitsForCount(c.entries);
    ASSERT_GT(file.size(), 23 + tableBytes);
    EXPECT_EQ(file[10], c.screenPacked);
    EXPECT_EQ(file[13 + 9], c.framePacked);
    // The table, padded with black.
    for (size_t i = 0; i < tableBytes / 3; ++i) {
      const RGBQuad q = i < table.size() ? table[i] : RGBQuad{};
      EXPECT_EQ(file[23 + 3 * i], q.red);
      EXPECT_EQ(file[23 + 3 * i + 1], q.green);
      EXPECT_EQ(file[23 + 3 * i + 2], q.blue);
    }
    EXPECT_EQ(file[23 + tableBytes], c.minimumCodeSize);
    EXPECT_EQ(file.back(), 0x3B);
  }
}

TEST(GifWriter, EmptyPictures) {
  // An empty raster makes one empty frame: header and trailer only.
  RasterImage empty;
  TGIFImage gif;
  gif.AssignRaster(empty);
  ASSERT_EQ(gif.Images.Count(), 1);
  EXPECT_EQ(bytesOf(gif), concat({ascii("GIF87a"), {0, 0, 0, 0, 0x77, 0, 0, 0x3B}}));

  // Without frames there is no version to write, and nothing is written.
  TGIFImage none;
  MemoryStream s;
  EXPECT_EQ(gifError([&] { none.SaveToStream(s); }), msg::GIFUnsupportedVersion);
  EXPECT_TRUE(s.bytes().empty());
  EXPECT_EQ(none.GifVersion(), gvUnknown);
}

TEST(GifWriter, VersionFollowsWhatTheFramesNeed) {
  struct Case {
    const char* name;
    std::function<void(TGIFImage&)> make;
    int version;
  };
  auto plain = [](TGIFImage& gif) { return &addFrame(gif, {0, 0, 2, 2, {GifRed, GifLime}}); };
  const Case cases[] = {
      {"plain frames",
       [&](TGIFImage& gif) {
         plain(gif);
         plain(gif);
       },
       gv87a},
      {"a comment on the second frame",
       [&](TGIFImage& gif) {
         plain(gif);
         addExtension<TGIFCommentExtension>(*plain(gif));
       },
       gv89a},
      {"a sorted local table",
       [&](TGIFImage& gif) { plain(gif)->ColorMap.Sorted = true; }, gv89a},
      {"a sorted global table",
       [&](TGIFImage& gif) {
         gif.Header.ColorMap.Add(GifRed);
         gif.Header.ColorMap.Add(GifLime);
         gif.Header.ColorMap.Sorted = true;
         addFrame(gif, {0, 0, 2, 2, {}});
       },
       gv89a},
      {"a graphic control on an empty frame", [&](TGIFImage& gif) {
         plain(gif);
         addFrame(gif, {0, 0, 0, 0, {}, nullptr, -1, 0, 5});
       },
       gv89a},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TGIFImage gif;
    c.make(gif);
    EXPECT_EQ(gif.GifVersion(), c.version);
    writeAndCheck(gif);
  }
}

TEST(GifWriter, ExtensionsGiveExactBytes) {
  struct Case {
    const char* name;
    std::function<void(TGIFSubImage&)> add;
    std::vector<uint8_t> bytes;  // from the introducer to the block terminator
    GiflibExtension read;        // as giflib sees it
  };
  const std::string longLine(300, 'x');
  const Case cases[] = {
      {"graphic control",
       [](TGIFSubImage& f) {
         auto& e = addExtension<TGIFGraphicControlExtension>(f);
         e.Disposal = 3;
         e.UserInput = true;
         e.Transparent = true;
         e.Delay = 0x0102;
         e.TransparentColorIndex = 1;
       },
       {0x21, 0xF9, 4, 0x0F, 0x02, 0x01, 1, 0},
       {0xF9, {{0x0F, 0x02, 0x01, 1}}}},
      {"comment of two lines",
       [](TGIFSubImage& f) { addExtension<TGIFCommentExtension>(f).Text = {"Pix", "keep"}; },
       concat({{0x21, 0xFE, 9}, ascii("Pix\r\nkeep"), {0}}),
       {0xFE, {ascii("Pix\r\nkeep")}}},
      {"comment longer than a sub-block",
       [&](TGIFSubImage& f) { addExtension<TGIFCommentExtension>(f).Text = {longLine}; },
       concat({{0x21, 0xFE, 255}, ascii(longLine.substr(0, 255)), {45}, ascii(longLine.substr(255)), {0}}),
       {0xFE, {ascii(longLine.substr(0, 255)), ascii(longLine.substr(255))}}},
      // Not written: an extension without data sub-blocks trips giflib.
      {"empty comment", [](TGIFSubImage& f) { addExtension<TGIFCommentExtension>(f).Text = {""}; }, {}, {}},
      {"plain text",
       [](TGIFSubImage& f) {
         auto& e = addExtension<TGIFTextExtension>(f);
         e.Left = 0x0201;
         e.Top = 3;
         e.GridWidth = 40;
         e.GridHeight = 8;
         e.CharWidth = 5;
         e.CharHeight = 8;
         e.ForegroundColorIndex = 1;
         e.BackgroundColorIndex = 0;
         e.Text = {"hi"};
       },
       concat({{0x21, 0x01, 12, 0x01, 0x02, 3, 0, 40, 0, 8, 0, 5, 8, 1, 0, 2}, ascii("hi"), {0}}),
       {0x01, {{0x01, 0x02, 3, 0, 40, 0, 8, 0, 5, 8, 1, 0}, ascii("hi")}}},
      {"looping",
       [](TGIFSubImage& f) { addExtension<TGIFAppExtNSLoop>(f).Loops = 0x0305; },
       concat({{0x21, 0xFF, 11}, ascii("NETSCAPE2.0"), {3, 1, 0x05, 0x03, 0}}),
       {0xFF, {ascii("NETSCAPE2.0"), {1, 0x05, 0x03}}}},
      {"looping with a buffer size",
       [](TGIFSubImage& f) {
         auto& e = addExtension<TGIFAppExtNSLoop>(f);
         e.BufferSize = 0x04030201;
       },
       concat({{0x21, 0xFF, 11}, ascii("NETSCAPE2.0"), {3, 1, 0, 0, 5, 2, 1, 2, 3, 4, 0}}),
       {0xFF, {ascii("NETSCAPE2.0"), {1, 0, 0}, {2, 1, 2, 3, 4}}}},
      {"unknown application",
       [](TGIFSubImage& f) {
         auto& e = addExtension<TGIFUnknownAppExtension>(f, "PIXKEEP1XYZ");
         e.Blocks = {{1, 2, 3}, {}, {9}};
       },
       concat({{0x21, 0xFF, 11}, ascii("PIXKEEP1XYZ"), {3, 1, 2, 3, 1, 9, 0}}),
       {0xFF, {ascii("PIXKEEP1XYZ"), {1, 2, 3}, {9}}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TGIFImage gif;
    TGIFSubImage& frame = addFrame(gif, {0, 0, 1, 1, {GifRed, GifLime}});
    c.add(frame);
    EXPECT_EQ(frame.GifVersion(), gv89a);
    const std::vector<uint8_t> file = writeAndCheck(gif);
    const std::vector<uint8_t> head = concat({ascii("GIF89a"), {1, 0, 1, 0, 0x00, 0, 0}});
    ASSERT_GT(file.size(), head.size() + c.bytes.size());
    EXPECT_EQ(std::vector<uint8_t>(file.begin(), file.begin() + long(head.size())), head);
    EXPECT_EQ(std::vector<uint8_t>(file.begin() + long(head.size()), file.begin() + long(head.size() + c.bytes.size())),
              c.bytes);
    EXPECT_EQ(file[head.size() + c.bytes.size()], 0x2C) << "the image descriptor follows";
    const GiflibPicture read = readWithGiflib(file);
    ASSERT_EQ(read.frames.size(), 1u);
    if (c.read.label == 0) {
      EXPECT_TRUE(read.frames[0].extensions.empty()) << "an extension without data blocks";
    } else {
      ASSERT_EQ(read.frames[0].extensions.size(), 1u);
      EXPECT_EQ(read.frames[0].extensions[0], c.read);
    }
  }
}

TEST(GifWriter, FramesOfEveryTableSizeDecodeExactly) {
  std::mt19937 random(7);
  int written = 0;
  for (int entries : {1, 2, 3, 4, 5, 8, 9, 16, 17, 31, 64, 100, 128, 129, 200, 255, 256}) {
    for (bool interlaced : {false, true}) {
      for (int codingMethod : {0, 1}) {
        SCOPED_TRACE(std::to_string(entries) + (interlaced ? " interlaced" : "") + " coding " +
                     std::to_string(codingMethod));
        TGIFImage gif;
        gif.codingMethod = codingMethod;
        std::vector<TGIFColor> table;
        for (int i = 0; i < entries; ++i) table.push_back(TGIFColor{uint8_t(i), uint8_t(i * 3), uint8_t(255 - i)});
        // Odd sizes; runs and noise, so that both coders meet both.
        const int width = 7 + entries % 13, height = 1 + (entries * 7) % 18;
        addFrame(gif, {0, 0, width, height, table, [&](int x, int) {
                         return uint8_t(x < width / 2 ? 0 : random() % uint32_t(entries));
                       }}).SetInterlaced(interlaced);
        writeAndCheck(gif);
        ++written;
      }
    }
  }
  EXPECT_EQ(written, 17 * 4);
}

TEST(GifWriter, GlobalTableAndScreen) {
  TGIFImage gif;
  gif.Header.ColorMap.Add(GifRed);
  gif.Header.ColorMap.Add(GifLime);
  gif.Header.ColorMap.Add(GifNavy);
  // A frame on the global table, placed away from the corner: the screen grows to hold it.
  addFrame(gif, {5, 3, 4, 2, {}, [](int x, int y) { return uint8_t((x + y) % 3); }});
  EXPECT_EQ(gif.Width(), 9);
  EXPECT_EQ(gif.Height(), 5);
  // A frame with a larger local table: the size field still describes the
  // global table, whose four entries follow the screen descriptor.
  std::vector<TGIFColor> big(256, GifGold);
  addFrame(gif, {0, 0, 3, 3, big, [](int x, int) { return uint8_t(200 + x); }});
  const std::vector<uint8_t> file = writeAndCheck(gif);
  EXPECT_EQ(file[10], 0x80 | 0x70 | 0x01);
  EXPECT_EQ(std::vector<uint8_t>(file.begin() + 13, file.begin() + 25),
            (std::vector<uint8_t>{255, 0, 0, 0, 255, 0, 0, 0, 255, 0, 0, 0}));

  // A frame on the global table may only use its entries.
  gif.Images[0].Data()[0] = 3;
  MemoryStream s;
  EXPECT_EQ(gifError([&] { gif.SaveToStream(s); }), msg::GifColorNotInTable);

  // The screen cannot be set smaller than its frames.
  EXPECT_EQ(gifError([&] { gif.Header.SetWidth(8); }), msg::GIFScreenWidthTooSmall);
  EXPECT_EQ(gifError([&] { gif.Header.SetHeight(4); }), msg::GIFScreenHeightTooSmall);
}

TEST(GifWriter, TheFrameListTakesOnlyFramesOfItsPicture) {
  TGIFImage gif, other;
  TGIFSubImage& frame = addFrame(gif, {0, 0, 2, 2, {GifRed}});
  std::vector<std::unique_ptr<TGIFItem>> strangers;
  strangers.push_back(std::make_unique<TGIFCommentExtension>(&frame));
  strangers.push_back(std::make_unique<TGIFTrailer>(&gif));
  strangers.push_back(std::make_unique<TGIFHeader>(&gif));
  strangers.push_back(std::make_unique<TGIFSubImage>(&other));
  strangers.push_back(nullptr);
  for (auto& item : strangers)
    EXPECT_EQ(gifError([&] { gif.Images.Add(std::move(item)); }), msg::GIFUnsupportedObjectType);
  EXPECT_EQ(gif.Images.Count(), 1);
  // The extension list takes extensions only.
  EXPECT_EQ(gifError([&] { frame.Extensions.Add(std::make_unique<TGIFSubImage>(&gif)); }),
            msg::GIFUnsupportedObjectType);

  // A raster becomes one more frame; the screen grows to hold it.
  RasterImage raster;
  solid24(raster, 3, 5, GifWhite);
  TGIFSubImage* added = gif.Add(raster);
  ASSERT_EQ(gif.Images.Count(), 2);
  EXPECT_EQ(&gif.Images[1], added);
  EXPECT_EQ(gif.Width(), 3);
  EXPECT_EQ(gif.Height(), 5);
  writeAndCheck(gif);
}

TEST(GifWriter, EveryWriteIsChecked) {
  // A picture with a bit of everything: global table, extensions, an empty
  // frame, two coded frames.
  TGIFImage gif;
  gif.Header.ColorMap.Add(GifRed);
  gif.Header.ColorMap.Add(GifLime);
  TGIFSubImage& first = addFrame(gif, {0, 0, 20, 20, {}, [](int x, int y) { return uint8_t((x * y) % 2); }});
  addExtension<TGIFAppExtNSLoop>(first);
  addExtension<TGIFCommentExtension>(first).Text = {"a comment"};
  addFrame(gif, {0, 0, 0, 0, {}, nullptr, 0, 2, 10});
  addFrame(gif, {2, 2, 5, 5, {GifNavy, GifGold, GifWhite}, [](int x, int) { return uint8_t(x % 3); }, 1});
  const std::vector<uint8_t> file = bytesOf(gif);
  for (size_t limit = 0; limit < file.size(); ++limit) {
    LimitedStream s(limit);
    try {
      gif.SaveToStream(s);
      ADD_FAILURE() << "a stream that took only " << limit << " bytes was reported as written";
    } catch (const EWriteError& e) {
      EXPECT_STREQ(e.what(), "Stream write error");
    }
  }
  expectShortWriteError([&](Stream& s) { gif.SaveToStream(s); });
  EXPECT_EQ(bytesOf(gif), file) << "failed writes leave the picture as it was";
}

// ------------------------------------------------------------- optimisation

TEST(GifOptimize, MergeFramesChangesNoByteOfAOneFramePicture) {
  RasterImage gradient;
  gradient.createBlank(37, 23, PixelFormat::Bits24);
  for (int y = 0; y < 23; ++y)
    for (int x = 0; x < 37; ++x) {
      uint8_t* p = gradient.scanline(y) + 3 * x;
      p[0] = uint8_t(x * 7), p[1] = uint8_t(y * 11), p[2] = uint8_t(x * y);
    }
  RasterImage indexed;
  indexed.createBlank(9, 4, PixelFormat::Bits8, {rgbQuad(1, 2, 3), rgbQuad(4, 5, 6), rgbQuad(7, 8, 9)});
  for (int y = 0; y < 4; ++y)
    for (int x = 0; x < 9; ++x) putRaw(indexed, x, y, uint32_t(x % 3));
  RasterImage transparent;
  solid24(transparent, 4, 4, GifWhite);
  putColor(transparent, 1, 1, pixkeep::test::Red);
  transparent.transparent = true;
  transparent.transparentColorValue = 0x0000FF;
  for (RasterImage* raster : {&gradient, &indexed, &transparent}) {
    TGIFImage gif;
    gif.DitherAlgorithm = daFloydSteinberg;
    gif.AssignRaster(*raster);
    const std::vector<uint8_t> before = bytesOf(gif);
    gif.OptimizeFrames(MergeFrames, pmNone, daFloydSteinberg, 0);
    EXPECT_EQ(bytesOf(gif), before);
    expectGiflibReadsOurPicture(before, gif);
  }
}

TEST(GifOptimize, InvalidReductionMethodIsRefusedBeforeAnythingChanges) {
  struct Case {
    TGIFOptimizeOptions options;
    uint8_t paletteMethod;
    bool refused;
  };
  const Case cases[] = {
      {ReduceFrameColors, pmCustom, true},
      {ReduceFrameColors | OptimizeColorMaps | MergeFrames | CropFrames, pmCustom, true},
      {ReduceFrameColors | CleanupFrames, pmCustom, false},
      {ReduceFrameColors, pmOptimized, false},
      {MergeFrames, pmCustom, false},
      {0x1F, pmCustom, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(int(c.options));
    TGIFImage gif;
    // Colour maps out of order and a comment: every option would change the bytes.
    addExtension<TGIFCommentExtension>(addFrame(gif, {0, 0, 3, 1, {GifRed, GifLime}, [](int x, int) {
                                                  return uint8_t(x > 0);
                                                }}))
        .Text = {"c"};
    const std::vector<uint8_t> before = bytesOf(gif);
    const std::string error = gifError([&] { gif.OptimizeFrames(c.options, c.paletteMethod, 0, 0); });
    EXPECT_EQ(error, c.refused ? msg::GIFInvalidReductionMethod : "no error");
    if (c.refused) {
      EXPECT_EQ(bytesOf(gif), before);
    }
  }
  // A picture without frames has nothing to optimise.
  TGIFImage none;
  EXPECT_EQ(gifError([&] { none.OptimizeFrames(ReduceFrameColors, pmCustom, 0, 0); }), "no error");
}

TEST(GifOptimize, PaintersAreStoppedAndLockedOut) {
  TGIFImage gif;
  addFrame(gif, {0, 0, 2, 2, {GifRed}});
  TGIFPainter painter;
  gif.Painters.Add(&painter);
  int checks = 0;
  gif.OnProgress = [&](TProgressStage, int, const std::string& message) {
    if (message != msg::GIFOptimizing) return;
    ++checks;
    EXPECT_TRUE(painter.Stopped());
    bool locked = false;
    std::thread([&] { locked = gif.Painters.TryLockList().owns_lock(); }).join();
    EXPECT_FALSE(locked) << "a painter got the list while the frames change";
  };
  gif.OptimizeFrames(MergeFrames, pmNone, 0, 0);
  EXPECT_GE(checks, 2);
  EXPECT_TRUE(gif.Painters.TryLockList().owns_lock()) << "released at the end";
  gif.Painters.Remove(&painter);
}

TEST(GifOptimize, ColorMapsAreSortedByUse) {
  struct Case {
    const char* name;
    std::vector<TGIFColor> table;
    std::vector<uint8_t> pixels;
    int transparent;
    std::vector<TGIFColor> sorted;
    std::vector<uint8_t> remapped;
    int newTransparent;
  };
  const Case cases[] = {
      {"unused entries go",
       {GifRed, GifLime, GifNavy, GifGold},
       {2, 2, 0, 2, 3, 2, 0, 2},
       -1,
       {GifNavy, GifRed, GifGold},
       {0, 0, 1, 0, 2, 0, 1, 0},
       -1},
      {"the transparent entry stays, after the used ones",
       {GifRed, GifLime, GifNavy, GifGold},
       {2, 2, 0, 2, 3, 2, 0, 2},
       1,
       {GifNavy, GifRed, GifGold, GifLime},
       {0, 0, 1, 0, 2, 0, 1, 0},
       3},
      {"already in order: nothing moves, nothing goes",
       {GifRed, GifLime, GifNavy},
       {0, 0, 0, 1, 0, 1, 0, 0},
       -1,
       {GifRed, GifLime, GifNavy},
       {0, 0, 0, 1, 0, 1, 0, 0},
       -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TGIFImage gif;
    TGIFSubImage& frame = addFrame(gif, {0, 0, 4, 2, c.table, [&](int x, int y) { return c.pixels[size_t(4 * y + x)]; },
                                         c.transparent});
    gif.OptimizeFrames(OptimizeColorMaps, pmNone, 0, 0);
    std::vector<TGIFColor> table;
    for (int i = 0; i < frame.ColorMap.Count(); ++i) table.push_back(frame.ColorMap[i]);
    EXPECT_EQ(table, c.sorted);
    EXPECT_TRUE(frame.ColorMap.Sorted);
    EXPECT_EQ(frame.Data(), c.remapped);
    if (c.newTransparent >= 0) {
      EXPECT_EQ(frame.GraphicControlExtension()->TransparentColorIndex, c.newTransparent);
    }
    const std::vector<uint8_t> file = writeAndCheck(gif);
    EXPECT_EQ(descriptorPackedBytes(file), std::vector<uint8_t>{uint8_t(0xA0 | (BitsForCount(int(c.sorted.size())) - 1))})
        << "the sort flag";
    EXPECT_EQ(readWithGiflib(file).signature, "GIF89a");
  }
  // A table of one entry is left alone.
  TGIFImage gif;
  TGIFSubImage& frame = addFrame(gif, {0, 0, 2, 2, {GifRed}});
  gif.OptimizeFrames(OptimizeColorMaps, pmNone, 0, 0);
  EXPECT_FALSE(frame.ColorMap.Sorted);
  EXPECT_EQ(gif.GifVersion(), gv87a);
}

// ---------------------------------------------- what an animation shows

using Canvas = std::vector<GiflibColor>;
const GiflibColor Background{7, 7, 7};  // nothing drawn there (and no table here holds it)

// The pictures an animation shows, as giflib decodes it, drawn the way
// browsers draw GIF89a: each frame's opaque pixels over what is there, then
// its disposal. Consecutive equal pictures are one, shown for the sum of
// their delays.
std::vector<std::pair<Canvas, int>> showing(const std::vector<uint8_t>& file) {
  const GiflibPicture gif = readWithGiflib(file);
  EXPECT_TRUE(gif.ok) << gif.error;
  std::vector<std::pair<Canvas, int>> shown;
  Canvas canvas(size_t(gif.width) * size_t(gif.height), Background);
  for (const GiflibFrame& f : gif.frames) {
    const Canvas before = canvas;
    for (int y = 0; y < f.height; ++y)
      for (int x = 0; x < f.width; ++x) {
        const uint8_t index = f.pixels[size_t(y * f.width + x)];
        if (index == f.transparent) continue;
        canvas[size_t((f.top + y) * gif.width + f.left + x)] = gif.colorOf(f, index);
      }
    if (!shown.empty() && shown.back().first == canvas)
      shown.back().second += f.delay;
    else
      shown.emplace_back(canvas, f.delay);
    if (f.disposal == 2) {
      for (int y = 0; y < f.height; ++y)
        for (int x = 0; x < f.width; ++x) canvas[size_t((f.top + y) * gif.width + f.left + x)] = Background;
    } else if (f.disposal == 3) {
      canvas = before;
    }
  }
  return shown;
}

int transparentPixels(const TGIFSubImage& frame) {
  if (!frame.Transparent()) return 0;
  const auto& data = frame.Data();
  return int(std::count(data.begin(), data.end(), frame.GraphicControlExtension()->TransparentColorIndex));
}

// Eight frames on an 8 x 6 screen, each made for one of the options.
void makeAnimation(TGIFImage& gif) {
  for (TGIFColor c : {GifBlack, GifRed, GifLime, GifNavy}) gif.Header.ColorMap.Add(c);
  // 0: the global table, in the wrong order for its use; looping and a comment.
  TGIFSubImage& f0 = addFrame(gif, {0, 0, 8, 6, {}, [](int x, int y) { return uint8_t((x + 2 * y) % 4); }, -1, 1, 10});
  addExtension<TGIFAppExtNSLoop>(f0);
  addExtension<TGIFCommentExtension>(f0).Text = {"frame 0"};
  // 1: mostly what frame 0 shows (merged away), gold where it shows black
  // and in the last column; an unused white entry.
  addFrame(gif, {0, 0, 8, 6, {GifWhite, GifRed, GifLime, GifNavy, GifGold},
                 [](int x, int y) {
                   const int g = (x + 2 * y) % 4;
                   return uint8_t(g == 0 || x == 7 ? 4 : g);
                 },
                 -1, 0, 10});
  // 2: a transparent border around two gold pixels (cropped).
  addFrame(gif, {2, 1, 4, 3, {GifRed, GifGold, GifBlack}, [](int x, int y) { return uint8_t(y == 1 && x >= 1 && x <= 2 ? 1 : 2); },
                 2, 1, 5});
  // 3: nothing visible for 7 hundredths (its time goes to frame 2).
  addFrame(gif, {1, 1, 3, 3, {GifRed, GifLime}, [](int, int) { return uint8_t(1); }, 1, 0, 7});
  // 4: cleared to the background afterwards; frame 5 lies inside it and
  // does not cover it, so that clearing stays.
  addExtension<TGIFCommentExtension>(
      addFrame(gif, {0, 0, 6, 4, {GifLime, GifNavy}, [](int x, int) { return uint8_t(x % 2); }, -1, 2, 4}))
      .Text = {"four"};
  // 5: cleared afterwards, but frame 6 covers it wholly and opaquely.
  addFrame(gif, {1, 1, 2, 2, {GifGold, GifRed}, [](int x, int y) { return uint8_t((x + y) % 2); }, -1, 2, 4});
  // 6: the global table; a transparent index that no pixel uses.
  addFrame(gif, {0, 0, 8, 6, {}, [](int x, int y) { return uint8_t((x * y) % 3); }, 3, 0, 6});
  // 7: no pixels, only a comment.
  addExtension<TGIFCommentExtension>(addFrame(gif, {0, 0, 0, 0, {}})).Text = {"the end"};
}

TEST(GifOptimize, EachOptionKeepsWhatTheAnimationShows) {
  TGIFImage original;
  makeAnimation(original);
  const std::vector<uint8_t> originalFile = writeAndCheck(original);
  const auto originalShows = showing(originalFile);
  ASSERT_GE(originalShows.size(), 5u);

  struct Case {
    TGIFOptimizeOptions options;
    std::function<void(const TGIFImage&)> effect;  // what the option must have done
  };
  const Case cases[] = {
      {OptimizeColorMaps,
       [](const TGIFImage& gif) {
         EXPECT_TRUE(gif.Header.ColorMap.Sorted);
         EXPECT_EQ(gif.Images[1].ColorMap.Count(), 4) << "the unused white entry goes";
         EXPECT_EQ(gif.Images[1].ColorMap[0], GifGold) << "the most used colour first";
       }},
      {CleanupFrames,
       [](const TGIFImage& gif) {
         ASSERT_EQ(gif.Images.Count(), 7) << "the frame without pixels goes";
         EXPECT_EQ(gif.Images[0].Extensions.Count(), 2) << "the loop and the graphic control stay";
         EXPECT_EQ(gif.Images[4].Extensions.Count(), 1) << "the comment goes";
         EXPECT_EQ(gif.Images[4].GraphicControlExtension()->Disposal, 2) << "frame 5 does not cover frame 4";
         EXPECT_EQ(gif.Images[5].GraphicControlExtension()->Disposal, 0) << "frame 6 covers frame 5";
         EXPECT_FALSE(gif.Images[6].Transparent());
       }},
      {MergeFrames,
       [](const TGIFImage& gif) {
         EXPECT_EQ(transparentPixels(gif.Images[1]), 30) << "every pixel that frame 0 shows already";
         EXPECT_EQ(gif.Images[1].GraphicControlExtension()->TransparentColorIndex, 0) << "the unused entry";
         EXPECT_EQ(transparentPixels(gif.Images[0]), 0);
       }},
      {CropFrames,
       [](const TGIFImage& gif) {
         ASSERT_EQ(gif.Images.Count(), 7) << "the invisible frame goes";
         const TGIFSubImage& f2 = gif.Images[2];
         EXPECT_EQ(std::vector<int>({f2.Left(), f2.Top(), f2.Width(), f2.Height()}), std::vector<int>({3, 2, 2, 1}));
         EXPECT_EQ(f2.GraphicControlExtension()->Delay, 12);
       }},
      {ReduceFrameColors, [](const TGIFImage&) {}},
      {0x1F, [](const TGIFImage& gif) { EXPECT_EQ(gif.Images.Count(), 6); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(int(c.options));
    TGIFImage gif;
    makeAnimation(gif);
    gif.OptimizeFrames(c.options, pmNone, 0, 0);
    c.effect(gif);
    const std::vector<uint8_t> file = writeAndCheck(gif);
    EXPECT_EQ(showing(file), originalShows);
    if (c.options == ReduceFrameColors) {
      EXPECT_EQ(file, originalFile);
    }
    if (c.options != ReduceFrameColors) {
      EXPECT_LT(file.size(), originalFile.size());
    }
  }
}

TEST(GifOptimize, CroppingAndCleaningKeepAPictureWritable) {
  // A lone frame that shows nothing stays, and so does a lone empty one:
  // a picture without frames could not be written.
  TGIFImage invisible;
  addFrame(invisible, {0, 0, 3, 3, {GifRed, GifLime}, [](int, int) { return uint8_t(1); }, 1, 0, 5});
  TGIFImage empty;
  RasterImage nothing;
  empty.AssignRaster(nothing);
  for (TGIFImage* gif : {&invisible, &empty}) {
    gif->OptimizeFrames(0x1F, pmNone, 0, 0);
    EXPECT_EQ(gif->Images.Count(), 1);
    EXPECT_NO_THROW(bytesOf(*gif));
  }
}

}  // namespace
}  // namespace pixkeep::test
