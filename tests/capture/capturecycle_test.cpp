#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "capture/capturecycle.h"
#include "capture/errors.h"
#include "platform/fakeclipboard.h"
#include "tests/capture/test_helpers.h"

namespace pixkeep::test {
namespace {

namespace fs = std::filesystem;

// A 32-bit device-dependent clipboard bitmap of one colour (0x00BBGGRR).
PlatformBitmap solidBitmap(int w, int h, uint32_t colour) {
  PlatformBitmap b;
  b.width = w;
  b.height = h;
  b.bits.resize(size_t(w) * size_t(h) * 4);
  for (size_t i = 0; i < b.bits.size(); i += 4) {
    b.bits[i] = uint8_t(colour >> 16);
    b.bits[i + 1] = uint8_t(colour >> 8);
    b.bits[i + 2] = uint8_t(colour);
  }
  return b;
}

void touch(const std::string& path) { std::ofstream(path) << "x"; }

// The program's four rows, with only the BMP writer (which lives in the core).
std::vector<ImageType> coreImageTypes() {
  return {{"JPEG", ".jpg", std::nullopt, nullptr, {}},
          {"PNG", ".png", std::nullopt, nullptr, {}},
          {"GIF", ".gif", std::nullopt, nullptr, {}},
          {"Bitmap", ".bmp", std::nullopt, bmpEncoderFactory(), {}}};
}

class CaptureCycleTest : public testing::Test {
 protected:
  void SetUp() override {
    dir = tempDir();
    cycle.outputDirectory = dir;
    options.typeIndex = 3;
    // The same picture copied again by a person comes seconds later, not as
    // quickly as a clipboard manager puts its copy back.
    cycle.clock = [t = CaptureCycle::Clock::time_point()]() mutable { return t += CaptureCycle::RestoreInterval * 2; };
  }
  void TearDown() override { fs::remove_all(dir); }

  // Reads a written BMP back as a raster.
  void load(const std::string& name, RasterImage& r) {
    MemoryStream s(readFile(dir + name));
    r.loadFromStream(s);
  }

  std::string dir;
  FakeClipboard clipboard;
  ClipboardAccess access{clipboard};
  TPicture image;
  CaptureCycle cycle{access, image, coreImageTypes()};
  CaptureOptions options;
};

TEST_F(CaptureCycleTest, NothingHappensWithoutABitmap) {
  for (std::vector<unsigned> offered : {std::vector<unsigned>{}, {CF_TEXT}}) {
    clipboard.offered = offered;
    TickResult r = cycle.tick(options);
    EXPECT_FALSE(r.captured);
    EXPECT_TRUE(r.status.empty());
    EXPECT_EQ(clipboard.openCalls, 0) << "an idle tick never opens the clipboard";
  }
  EXPECT_TRUE(fs::is_empty(dir));
  EXPECT_EQ(cycle.pictureCounter, 0);
}

TEST_F(CaptureCycleTest, CapturesToTheNextNumberAndEmptiesTheClipboard) {
  clipboard.putBitmap(solidBitmap(3, 2, Red));
  TickResult r = cycle.tick(options);
  EXPECT_TRUE(r.captured);
  EXPECT_EQ(r.status, "1/99999 pictures");
  EXPECT_EQ(r.trayTip, "Pixkeep - 1/99999 pictures");
  EXPECT_FALSE(r.stopTimer);
  EXPECT_TRUE(clipboard.offered.empty());
  EXPECT_EQ(clipboard.openCalls, clipboard.closeCalls);
  EXPECT_FALSE(clipboard.touchedWhileClosed);
  RasterImage saved;
  load("pxk1.bmp", saved);
  EXPECT_EQ(saved.header().biBitCount, 32);
  EXPECT_EQ(saved.width(), 3);
  EXPECT_EQ(saved.pixel(2, 1), Red);
  // The clipboard is empty now: the next tick does nothing.
  EXPECT_FALSE(cycle.tick(options).captured);
}

TEST_F(CaptureCycleTest, NumberingSkipsExistingFilesPerExtension) {
  touch(dir + "pxk1.bmp");
  touch(dir + "pxk3.bmp");
  touch(dir + "pxk2.jpg");  // another extension does not block number 2
  clipboard.putBitmap(solidBitmap(1, 1, Blue));
  EXPECT_EQ(cycle.tick(options).status, "2/99999 pictures");
  EXPECT_TRUE(fs::exists(dir + "pxk2.bmp"));
  fs::remove(dir + "pxk1.bmp");  // numbers below the counter are not tried again
  clipboard.putBitmap(solidBitmap(1, 1, Blue));
  EXPECT_EQ(cycle.tick(options).status, "4/99999 pictures");
  EXPECT_TRUE(fs::exists(dir + "pxk4.bmp"));
  EXPECT_FALSE(fs::exists(dir + "pxk1.bmp"));

  // The template's placeholder is replaced at every occurrence, in any case.
  cycle.picturesTemplate = "%P of %p";
  EXPECT_EQ(cycle.statusText(), "4/99999 of 4/99999");
}

TEST_F(CaptureCycleTest, EncodersAreChosenByTypeAndGetTheSliderPosition) {
  struct Recorded { int spin = -1; int streams = 0; };
  auto recorded = std::make_shared<Recorded>();
  struct FakeEncoder : PictureEncoder {
    std::shared_ptr<Recorded> rec;
    void saveToStream(Stream& s) override {
      ++rec->streams;
      s.writeBuffer("fake", 4);
    }
    void saveToFile(const std::string&) override { ADD_FAILURE() << "the cycle writes through streams"; }
  };
  cycle.setWriter(0, [recorded](const RasterImage& picture, int spin) {
    EXPECT_EQ(picture.width(), 4);
    recorded->spin = spin;
    auto e = std::make_unique<FakeEncoder>();
    e->rec = recorded;
    return e;
  });
  touch(dir + "pxk1.bmp");
  options.typeIndex = 0;
  options.spinPosition = 77;
  clipboard.putBitmap(solidBitmap(4, 4, Green));
  cycle.tick(options);
  EXPECT_EQ(recorded->spin, 77);
  EXPECT_EQ(recorded->streams, 1);
  EXPECT_EQ(readFile(dir + "pxk1.jpg"), (std::vector<uint8_t>{'f', 'a', 'k', 'e'}));

  // A type without a writer is an error, and the picture stays on the clipboard.
  options.typeIndex = 1;
  clipboard.putBitmap(solidBitmap(4, 4, Green));
  EXPECT_THROW(cycle.tick(options), EInvalidGraphic);
  EXPECT_FALSE(clipboard.offered.empty());
}

// The stamp lands where the corner rules put it: compared with the same text
// drawn directly at the expected position.
TEST_F(CaptureCycleTest, StampCorners) {
  struct Case { const char* name; bool upLeft, upRight; int width; int x, y; };
  const Case cases[] = {
      {"upper left", true, false, 120, 7, 4},
      {"upper right", false, true, 200, 7, 4},
      {"up centre, even width", false, false, 100, 7, 3},
      {"up centre, odd width", false, false, 101, 0, 0},
      {"upper right, text wider than the picture", false, true, 20, 7, 4},
      {"negative distances", true, false, 60, -5, -3},
  };
  RasterImage probe;
  probe.canvas().font.style = fsBold;
  std::string text;
  for (const char* candidate : {"Stamp 1x", "Stamp 1", "Stamp", "Stamp 11", "Stamp x", "Stamp il", "Stamp !"})
    if (probe.canvas().textWidth(candidate) % 2 == 1) {
      text = candidate;
      break;
    }
  const int T = probe.canvas().textWidth(text);
  ASSERT_EQ(T % 2, 1) << "an odd text width shows the separate halving";
  for (const Case& c : cases) {
    for (bool background : {false, true}) {
      SCOPED_TRACE(testing::Message() << c.name << (background ? ", white background" : ""));
      options.addText = true;
      options.background = background;
      options.upLeft = c.upLeft;
      options.upRight = c.upRight;
      options.x = c.x;
      options.y = c.y;
      options.text = text;
      options.color = Red;
      clipboard.putBitmap(solidBitmap(c.width, 30, Blue));
      cycle.tick(options);
      RasterImage saved;
      load("pxk" + std::to_string(cycle.pictureCounter) + ".bmp", saved);

      const int expectedX = c.upLeft ? c.x : c.upRight ? c.width - T - c.x : c.width / 2 - T / 2;
      RasterImage reference;
      PlatformBitmap src = solidBitmap(c.width, 30, Blue);
      reference.loadFromClipboardBitmap(CF_BITMAP, &src, nullptr);
      StampCanvas& canvas = reference.canvas();
      if (!background) canvas.brush.setStyle(BrushStyle::bsClear);
      canvas.font.style = fsBold;
      canvas.font.color = Red;
      canvas.textOut(expectedX, c.y, text);
      int differences = 0, stamped = 0;
      for (int y = 0; y < 30; ++y)
        for (int x = 0; x < c.width; ++x) {
          differences += saved.pixel(x, y) != reference.pixel(x, y);
          stamped += saved.pixel(x, y) != Blue;
        }
      EXPECT_EQ(differences, 0) << "expected x " << expectedX;
      EXPECT_GT(stamped, 0);
      if (background && expectedX >= 0 && c.y >= 0) {
        EXPECT_EQ(saved.pixel(expectedX, c.y), White) << "the box starts at the text position";
        if (expectedX > 0) {
          EXPECT_EQ(saved.pixel(expectedX - 1, c.y), Blue);
        }
      }
    }
  }
}

TEST_F(CaptureCycleTest, WithoutTheStampThePictureIsUnchanged) {
  options.addText = false;
  options.text = "never drawn";
  clipboard.putBitmap(solidBitmap(50, 20, Green));
  cycle.tick(options);
  RasterImage saved;
  load("pxk1.bmp", saved);
  for (int y = 0; y < 20; ++y)
    for (int x = 0; x < 50; ++x) ASSERT_EQ(saved.pixel(x, y), Green);
}

TEST_F(CaptureCycleTest, FailureRules) {
  // Output directory gone: the picture is held with its file's bytes, the
  // clipboard is empty, no number is used up and nothing is left behind.
  fs::remove_all(dir);
  clipboard.putBitmap(solidBitmap(2, 2, Red));
  std::optional<CaptureJob> job = cycle.take(options);
  ASSERT_TRUE(job.has_value());
  EXPECT_TRUE(clipboard.offered.empty());
  try {
    cycle.process(*job);
    FAIL();
  } catch (const EFCreateError& e) {
    EXPECT_EQ(std::string(e.what()), "Cannot create file " + dir + "pxk1.bmp");
    EXPECT_EQ(e.detail(), "pxk1.bmp: No such file or directory");
  }
  EXPECT_EQ(cycle.pictureCounter, 0);
  EXPECT_FALSE(job->encoded.empty());
  // Once the folder is back the kept picture is written first, then the next one.
  fs::create_directory(dir);
  EXPECT_EQ(cycle.writeEncoded(*job).counter, 1);
  RasterImage kept;
  load("pxk1.bmp", kept);
  EXPECT_EQ(kept.pixel(1, 1), Red);
  clipboard.putBitmap(solidBitmap(2, 2, Red));
  EXPECT_EQ(cycle.tick(options).status, "2/99999 pictures");
  std::vector<std::string> names;
  for (auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"pxk1.bmp", "pxk2.bmp"})) << "no temporary file is left";

  // The clipboard cannot be opened: nothing is emptied or counted.
  clipboard.putBitmap(solidBitmap(2, 2, Red));
  clipboard.failOpen = true;
  try {
    cycle.tick(options);
    FAIL();
  } catch (const EClipboardException& e) {
    EXPECT_STREQ(e.what(), "Cannot open clipboard");
  }
  EXPECT_FALSE(clipboard.offered.empty());
  EXPECT_EQ(cycle.pictureCounter, 2);
  clipboard.failOpen = false;

  // A bitmap that cannot be had: the previous picture stays, every open is closed.
  RasterImage* before = image.bitmap();
  clipboard.bitmapData.reset();
  EXPECT_THROW(cycle.tick(options), EInvalidGraphic);
  EXPECT_EQ(image.bitmap(), before);
  EXPECT_EQ(access.openCount(), 0);
  EXPECT_EQ(clipboard.openCalls - 1, clipboard.closeCalls) << "every successful open was closed";
}

TEST_F(CaptureCycleTest, StopsAtTheLastNumber) {
  cycle.pictureCounter = 99998;
  clipboard.putBitmap(solidBitmap(1, 1, Red));
  TickResult r = cycle.tick(options);
  EXPECT_TRUE(fs::exists(dir + "pxk99999.bmp"));
  EXPECT_EQ(r.status, "99999/99999 pictures");
  EXPECT_TRUE(r.stopTimer);

  // With the range used up a picture is taken from the clipboard but not written.
  clipboard.putBitmap(solidBitmap(1, 1, Red));
  r = cycle.tick(options);
  EXPECT_TRUE(r.stopTimer);
  EXPECT_EQ(r.status, "99999/99999 pictures");
  EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);
}

TEST_F(CaptureCycleTest, MetafileListedAheadOfTheBitmap) {
  clipboard.putBitmap(solidBitmap(2, 2, Red));
  clipboard.offered = {CF_ENHMETAFILE, CF_BITMAP};
  options.addText = true;
  options.text = "t";
  cycle.tick(options);
  EXPECT_TRUE(fs::exists(dir + "pxk1.bmp")) << "the bitmap itself is imported";
  EXPECT_TRUE(clipboard.offered.empty());
}

TEST(TPicture, ClipboardImportFollowsTheClipboardsOrder) {
  FakeClipboard clipboard;
  ClipboardAccess access(clipboard);
  TPicture picture;
  clipboard.putBitmap(solidBitmap(2, 2, Red));
  picture.loadFromClipboard(access);
  ASSERT_NE(picture.bitmap(), nullptr);
  RasterImage* first = picture.bitmap();
  EXPECT_EQ(first->pixelFormat(), PixelFormat::Device);

  // A metafile listed first yields a metafile picture without a drawing surface.
  clipboard.offered = {CF_TEXT, CF_ENHMETAFILE, CF_BITMAP};
  picture.loadFromClipboard(access);
  EXPECT_EQ(picture.graphic()->kindName(), "Metafile");
  EXPECT_EQ(picture.bitmap(), nullptr);
  try {
    picture.canvas();
    FAIL();
  } catch (const EInvalidOperation& e) {
    EXPECT_STREQ(e.what(), "Can only modify an image if it contains a bitmap");
  }
  // The registered GIF format.
  clipboard.offered = {clipboard.registerFormat("GIF Image"), CF_BITMAP};
  picture.loadFromClipboard(access);
  EXPECT_EQ(picture.graphic()->kindName(), "GIF Image");

  // No registered format: an error, and the held picture stays.
  Graphic* held = picture.graphic();
  clipboard.offered = {CF_TEXT};
  try {
    picture.loadFromClipboard(access);
    FAIL();
  } catch (const EInvalidGraphic& e) {
    EXPECT_STREQ(e.what(), "Invalid clipboard format");
  }
  EXPECT_EQ(picture.graphic(), held);
  EXPECT_EQ(clipboard.openCalls, clipboard.closeCalls);
  EXPECT_FALSE(clipboard.touchedWhileClosed);

  // Nested opens only count.
  access.open();
  access.open();
  access.close();
  EXPECT_EQ(clipboard.openNow, 1);
  access.close();
  EXPECT_EQ(clipboard.openNow, 0);
  EXPECT_EQ(clipboard.openCalls, clipboard.closeCalls);

  // Saving an empty holder does nothing.
  TPicture none;
  const std::string dir = tempDir();
  none.saveToFile(dir + "n.bmp");
  EXPECT_FALSE(fs::exists(dir + "n.bmp"));
  fs::remove_all(dir);
}

TEST_F(CaptureCycleTest, APictureOnItsWayIsTakenOnceItHasCome) {
  clipboard.putBitmap(solidBitmap(2, 2, Green));
  clipboard.fetchCalls = 2;
  for (int i = 0; i < 2; ++i) {
    EXPECT_FALSE(cycle.take(options).has_value());
    EXPECT_TRUE(cycle.fetching());
    EXPECT_EQ(clipboard.emptyCalls, 0) << "nothing is emptied before the picture is held";
  }
  std::optional<CaptureJob> job = cycle.take(options);
  ASSERT_TRUE(job.has_value());
  EXPECT_FALSE(cycle.fetching());
  EXPECT_TRUE(clipboard.offered.empty());
  EXPECT_EQ(cycle.process(*job).counter, 1);
  RasterImage saved;
  load("pxk1.bmp", saved);
  EXPECT_EQ(saved.pixel(1, 1), Green);
  EXPECT_EQ(clipboard.openCalls, clipboard.closeCalls);
  EXPECT_FALSE(clipboard.touchedWhileClosed);
}

TEST_F(CaptureCycleTest, AContentIsTakenOnceAndAnOwnerThatDoesNotHandItOverIsNamed) {
  // A picture left on the clipboard (here: emptying did not take) is not taken again.
  clipboard.putBitmap(solidBitmap(1, 1, Red));
  std::optional<CaptureJob> job = cycle.take(options);
  ASSERT_TRUE(job.has_value());
  clipboard.putBitmap(solidBitmap(1, 1, Blue));
  const uint64_t blue = clipboard.generation();
  clipboard.emptyContent(job->generation);  // too late: the blue one is newer
  EXPECT_EQ(clipboard.generation(), blue) << "a newer content stays";
  ASSERT_TRUE(cycle.take(options).has_value());
  EXPECT_FALSE(cycle.take(options).has_value());

  // The owner never hands the picture over: its reason goes with the error.
  clipboard.putBitmap(solidBitmap(1, 1, Red));
  clipboard.bitmapData.reset();
  clipboard.fetchFailure = "the program that owns the clipboard did not answer (3 tries in 6.1 s)";
  try {
    cycle.take(options);
    FAIL();
  } catch (const EClipboardException& e) {
    EXPECT_STREQ(e.what(), msg::PictureNotHandedOver);
    EXPECT_EQ(e.detail(), clipboard.fetchFailure);
  }
  EXPECT_FALSE(clipboard.offered.empty()) << "left as it was";
}

// A 2 x 2 BMP file of four colours (0x00BBGGRR), 24 or 32 bits per pixel.
PlatformBitmap bmpBitmap(const uint32_t (&colours)[4], uint16_t bits) {
  std::vector<uint8_t> pixels;
  for (int row = 0; row < 2; ++row) {
    for (int x = 0; x < 2; ++x) {
      const uint32_t c = colours[row * 2 + x];
      pixels.insert(pixels.end(), {uint8_t(c >> 16), uint8_t(c >> 8), uint8_t(c)});
      if (bits == 32) pixels.push_back(0);
    }
    if (bits == 24) pixels.insert(pixels.end(), {0, 0});
  }
  PlatformBitmap b;
  b.encoded = EncodedPicture("image/bmp", makeBmp(2, 2, bits, BI_RGB, {}, pixels));
  return b;
}

// A cycle writing BMP files into a folder of its own from a fake clipboard,
// on a clock the test moves.
struct BitmapCycle {
  std::string dir = tempDir();
  FakeClipboard clipboard;
  ClipboardAccess access{clipboard};
  TPicture image;
  CaptureCycle cycle{access, image, {{"Bitmap", ".bmp", std::nullopt, bmpEncoderFactory(), {}}}};
  CaptureCycle::Clock::time_point now;
  CaptureOptions options;
  BitmapCycle() {
    cycle.outputDirectory = dir;
    cycle.clock = [this] { return now; };
    options.typeIndex = 0;
  }
  ~BitmapCycle() { fs::remove_all(dir); }
  BitmapCycle(const BitmapCycle&) = delete;
  BitmapCycle& operator=(const BitmapCycle&) = delete;
};

TEST(CaptureCycleRestore, ACopyPutBackRightAfterEmptyingIsNotSavedAgain) {
  using namespace std::chrono_literals;
  const uint32_t four[4] = {Red, Green, Blue, White}, other[4] = {Red, Green, Blue, Black};
  const auto justAfter = 30ms, later = CaptureCycle::RestoreInterval + 1ms;
  // What happens between emptying the clipboard of the first picture and
  // the second one's arrival.
  enum class Between {
    Nothing,
    Cleared,   // another program empties the clipboard first, as some managers do
    Text,      // a text is copied (and looked at)
  };
  struct Case {
    const char* what;
    PlatformBitmap first, second;
    std::chrono::milliseconds after;  // from emptying the first to the second
    Between between;
    bool saved;
  };
  const Case cases[] = {
      {"the same device bitmap", solidBitmap(3, 2, Red), solidBitmap(3, 2, Red), justAfter, Between::Nothing, false},
      {"the same bytes", bmpBitmap(four, 24), bmpBitmap(four, 24), justAfter, Between::Nothing, false},
      {"the same pixels encoded otherwise", bmpBitmap(four, 32), bmpBitmap(four, 24), justAfter, Between::Nothing, false},
      {"the same picture put back after a clear", bmpBitmap(four, 24), bmpBitmap(four, 32), justAfter, Between::Cleared,
       false},
      {"another device bitmap", solidBitmap(3, 2, Red), solidBitmap(3, 2, Blue), justAfter, Between::Nothing, true},
      {"other pixels of the same size", bmpBitmap(four, 24), bmpBitmap(other, 32), justAfter, Between::Nothing, true},
      {"other pixels after a clear", bmpBitmap(four, 24), bmpBitmap(other, 24), justAfter, Between::Cleared, true},
      {"the same picture after the quiet interval", bmpBitmap(four, 32), bmpBitmap(four, 24), later, Between::Nothing,
       true},
      {"the same picture after a text", bmpBitmap(four, 24), bmpBitmap(four, 24), justAfter, Between::Text, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    BitmapCycle t;
    auto& [dir, clipboard, access, image, cycle, now, options] = t;

    clipboard.putBitmap(c.first);
    ASSERT_TRUE(cycle.tick(options).captured);
    now += c.after;
    if (c.between == Between::Cleared) {
      clipboard.offered.clear();
      clipboard.changedByOwner();
      EXPECT_FALSE(cycle.tick(options).captured);
    } else if (c.between == Between::Text) {
      clipboard.offered = {CF_TEXT};
      clipboard.changedByOwner();
      EXPECT_FALSE(cycle.tick(options).captured);
    }
    clipboard.putBitmap(c.second);
    const TickResult r = cycle.tick(options);
    EXPECT_EQ(r.captured, c.saved);
    EXPECT_EQ(fs::exists(dir + "pxk2.bmp"), c.saved);
    EXPECT_EQ(clipboard.offered.empty(), c.saved) << "a copy put back stays on the clipboard";
    // Either way that content is done with.
    EXPECT_FALSE(cycle.tick(options).captured);
    EXPECT_EQ(clipboard.openCalls, clipboard.closeCalls);
    EXPECT_FALSE(clipboard.touchedWhileClosed);
  }
}

TEST(CaptureCycleStart, WhatIsThereAtStartIsEmptiedNeverSavedAndKnownWhenPutBack) {
  using namespace std::chrono_literals;
  const uint32_t four[4] = {Red, Green, Blue, White};
  enum class There { Picture, PictureOnItsWay, Unreadable, Text, Nothing };
  struct Case {
    const char* what;
    There there;
    bool replacedFirst;  // another picture is copied before the first tick
  };
  const Case cases[] = {
      {"a picture", There::Picture, false},
      {"a picture still on its way", There::PictureOnItsWay, false},
      {"a picture its owner does not hand over", There::Unreadable, false},
      {"a text", There::Text, false},
      {"nothing", There::Nothing, false},
      {"a picture replaced before the first look", There::Picture, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    BitmapCycle t;
    auto& [dir, clipboard, access, image, cycle, now, options] = t;
    switch (c.there) {
      case There::Picture: clipboard.putBitmap(bmpBitmap(four, 24)); break;
      case There::PictureOnItsWay:
        clipboard.putBitmap(bmpBitmap(four, 24));
        clipboard.fetchCalls = 2;
        break;
      case There::Unreadable:
        clipboard.putBitmap(bmpBitmap(four, 24));
        clipboard.bitmapData.reset();
        clipboard.fetchFailure = "the program that owns the clipboard did not answer";
        break;
      case There::Text: clipboard.offered = {CF_TEXT}; break;
      case There::Nothing: break;
    }
    cycle.discardAtStart();
    if (c.replacedFirst) {
      clipboard.putBitmap(solidBitmap(2, 2, Blue));
      ASSERT_TRUE(cycle.tick(options).captured) << "a picture copied after start is saved";
      EXPECT_TRUE(fs::exists(dir + "pxk1.bmp"));
      continue;
    }
    for (int tick = 0; tick < 4; ++tick) EXPECT_FALSE(cycle.tick(options).captured) << "no error, nothing saved";
    EXPECT_TRUE(clipboard.offered.empty()) << "emptied";
    EXPECT_EQ(clipboard.openCalls, clipboard.closeCalls);
    // A clipboard manager puts the picture back: not saved either.
    clipboard.fetchFailure.clear();
    now += 10ms;
    clipboard.putBitmap(bmpBitmap(four, 32));
    EXPECT_EQ(cycle.tick(options).captured, c.there != There::Picture && c.there != There::PictureOnItsWay)
        << "a copy of a picture that was read is known; any other picture is new";
    // The next picture copied is saved as the first.
    now += CaptureCycle::RestoreInterval * 2;
    clipboard.putBitmap(solidBitmap(2, 2, Blue));
    EXPECT_TRUE(cycle.tick(options).captured);
    EXPECT_EQ(cycle.pictureCounter, c.there == There::Picture || c.there == There::PictureOnItsWay ? 1 : 2);
  }
}

TEST(CaptureCycleRestore, APictureBeingCheckedIsEmptiedOnlyWhileItIsStillThere) {
  const uint32_t four[4] = {Red, Green, Blue, White}, other[4] = {Red, Green, Blue, Black};
  const std::string dir = tempDir();
  FakeClipboard clipboard;
  ClipboardAccess access{clipboard};
  TPicture image;
  CaptureCycle cycle{access, image, {{"Bitmap", ".bmp", std::nullopt, bmpEncoderFactory(), {}}}};
  cycle.outputDirectory = dir;
  cycle.clock = [] { return CaptureCycle::Clock::time_point(); };
  CaptureOptions options;
  options.typeIndex = 0;
  clipboard.putBitmap(bmpBitmap(four, 24));
  ASSERT_TRUE(cycle.tick(options).captured);
  // Other bytes right after emptying: they stay on the clipboard until decoded.
  clipboard.putBitmap(bmpBitmap(other, 24));
  std::optional<CaptureJob> job = cycle.take(options);
  ASSERT_TRUE(job.has_value());
  EXPECT_TRUE(job->needsCheck);
  EXPECT_FALSE(clipboard.offered.empty());
  // Meanwhile another picture is copied; the checked one goes, the new one stays.
  clipboard.putBitmap(bmpBitmap(four, 32));
  EXPECT_FALSE(CaptureCycle::isRestore(*job));
  cycle.confirmTaken(*job);
  EXPECT_FALSE(clipboard.offered.empty()) << "the newer picture keeps the clipboard";
  EXPECT_EQ(cycle.process(*job).counter, 2);
  EXPECT_TRUE(cycle.tick(options).captured) << "and is taken next";
  EXPECT_TRUE(clipboard.offered.empty());
  fs::remove_all(dir);
}

}  // namespace
}  // namespace pixkeep::test
