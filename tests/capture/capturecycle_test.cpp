#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <png.h>

#include "capture/capturecycle.h"
#include "codecs/imagetypes.h"
#include "raster/rasterstore.h"
#include "raster/errors.h"
#include "platform/fakeclipboard.h"
#include "tests/raster/test_helpers.h"

namespace pixkeep::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

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

const ImageType bitmapRow{"Bitmap", ".bmp", std::nullopt, bmpEncoderFactory(), {},
                          {{"image/bmp"}, 1, decodeBmpPicture}};

// The program's four rows, with only the BMP writer (which lives in the core).
std::vector<ImageType> coreImageTypes() {
  return {{"JPEG", ".jpg", std::nullopt, nullptr, {}, {}},
          {"PNG", ".png", std::nullopt, nullptr, {}, {}},
          {"GIF", ".gif", std::nullopt, nullptr, {}, {}},
          bitmapRow};
}

// The program's capture path without its window: the capture cycle ticks on
// this thread as the capture timer would, the queue's thread takes each
// picture the rest of the way, and its news comes back here.
struct CaptureRun {
  // What ticking until the cycle was idle came to.
  struct Outcome {
    bool captured = false;  // a picture was taken (and written unless the numbers ran out)
    int counter = 0;        // the picture counter after it
    bool stopTimer = false;
    std::string status;
    std::vector<std::string> failures;  // the queue's reports
  };

  explicit CaptureRun(std::vector<ImageType> types) {
    CaptureQueue::Events events;
    events.written = [this](const CaptureResult& r) {
      std::lock_guard lock(mutex);
      written.push_back(r);
      news.emplace_back(r.generation, true);
    };
    events.failed = [this](const std::string& message, const std::string& detail, bool kept, uint64_t generation) {
      std::lock_guard lock(mutex);
      failures.push_back(message + " | " + detail + " | " + (kept ? "kept" : "lost"));
      if (!kept) news.emplace_back(generation, false);
    };
    events.held = [this](uint64_t generation) {
      std::lock_guard lock(mutex);
      news.emplace_back(generation, true);
    };
    events.checked = [this](CaptureJob job, bool restore) {
      {
        std::lock_guard lock(mutex);
        checks.emplace_back(std::move(job), restore);
      }
      answered.notify_all();
    };
    cycle = std::make_unique<CaptureCycle>(clipboard, std::move(types), std::move(events));
    cycle->clock = [this] { return now; };
  }

  // Ticks until the cycle is idle (taking the queue's answer whenever a
  // picture is checked, as the window does), then waits for the queue.
  // The cycle's errors pass to the caller.
  Outcome tick(const CaptureOptions& options) {
    size_t writtenBefore, failedBefore;
    {
      std::lock_guard lock(mutex);
      writtenBefore = written.size();
      failedBefore = failures.size();
    }
    for (;;) {
      const CaptureCycle::Tick t = cycle->tick(options);
      if (t == CaptureCycle::Tick::Idle || (t == CaptureCycle::Tick::Checking && !answerCheck())) break;
    }
    cycle->queue().flush(60s);
    // As the window does with the queue's news: a safe picture's content is
    // emptied when its time comes (the clock moves on to it).
    std::vector<std::pair<uint64_t, bool>> told;
    {
      std::lock_guard lock(mutex);
      told.swap(news);
    }
    for (auto [generation, safe] : told) {
      if (safe)
        cycle->safe(generation);
      else
        cycle->lost(generation);
    }
    while (const auto due = cycle->emptyDue()) now = std::max(now, *due);
    Outcome o;
    std::lock_guard lock(mutex);
    if (written.size() > writtenBefore) {
      o.captured = true;
      o.counter = written.back().counter;
      o.stopTimer = written.back().stopTimer;
    }
    o.failures.assign(failures.begin() + std::ptrdiff_t(failedBefore), failures.end());
    if (o.captured) o.status = cycle->statusText();
    return o;
  }
  int counter() { return cycle->pipeline().pictureCounter; }
  // Waits for the queue's answer about the picture being checked and hands
  // it to the cycle; false when none came.
  bool answerCheck() {
    std::unique_lock lock(mutex);
    EXPECT_TRUE(answered.wait_for(lock, 60s, [&] { return !checks.empty(); }));
    if (checks.empty()) return false;
    auto [job, restore] = std::move(checks.front());
    checks.pop_front();
    lock.unlock();
    cycle->checked(std::move(job), restore);
    return true;
  }

  FakeClipboard clipboard;
  std::mutex mutex;
  std::condition_variable answered;
  std::vector<CaptureResult> written;
  std::vector<std::string> failures;
  std::deque<std::pair<CaptureJob, bool>> checks;
  std::vector<std::pair<uint64_t, bool>> news;  // content, safe (written or kept) or lost
  CaptureCycle::Clock::time_point now;          // the cycle's clock, moved by the test
  std::unique_ptr<CaptureCycle> cycle;
};

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
  CaptureRun run{coreImageTypes()};
  FakeClipboard& clipboard = run.clipboard;
  CaptureCycle& cycle = *run.cycle;
  CaptureOptions options;
};

TEST_F(CaptureCycleTest, NothingHappensWithoutABitmap) {
  for (std::vector<unsigned> offered : {std::vector<unsigned>{}, {CF_TEXT}}) {
    clipboard.offered = offered;
    CaptureRun::Outcome r = run.tick(options);
    EXPECT_FALSE(r.captured);
    EXPECT_TRUE(r.status.empty());
  }
  EXPECT_TRUE(fs::is_empty(dir));
  EXPECT_EQ(run.counter(), 0);
}

TEST_F(CaptureCycleTest, CapturesToTheNextNumberAndEmptiesTheClipboard) {
  clipboard.putBitmap(solidBitmap(3, 2, Red));
  CaptureRun::Outcome r = run.tick(options);
  EXPECT_TRUE(r.captured);
  EXPECT_EQ(r.status, "1/99999 pictures");
  EXPECT_FALSE(r.stopTimer);
  EXPECT_TRUE(clipboard.offered.empty());
  RasterImage saved;
  load("pxk1.bmp", saved);
  EXPECT_EQ(saved.header().biBitCount, 32);
  EXPECT_EQ(saved.width(), 3);
  EXPECT_EQ(saved.pixel(2, 1), Red);
  // The clipboard is empty now: the next tick does nothing.
  EXPECT_FALSE(run.tick(options).captured);
}

TEST_F(CaptureCycleTest, NumberingSkipsExistingFilesPerExtension) {
  touch(dir + "pxk1.bmp");
  touch(dir + "pxk3.bmp");
  touch(dir + "pxk2.jpg");  // another extension does not block number 2
  clipboard.putBitmap(solidBitmap(1, 1, Blue));
  EXPECT_EQ(run.tick(options).status, "2/99999 pictures");
  EXPECT_TRUE(fs::exists(dir + "pxk2.bmp"));
  fs::remove(dir + "pxk1.bmp");  // numbers below the counter are not tried again
  clipboard.putBitmap(solidBitmap(1, 1, Blue));
  EXPECT_EQ(run.tick(options).status, "4/99999 pictures");
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
  std::vector<ImageType> types = coreImageTypes();
  types[0].writer = [recorded](const RasterImage& picture, int spin) {
    EXPECT_EQ(picture.width(), 4);
    recorded->spin = spin;
    auto e = std::make_unique<FakeEncoder>();
    e->rec = recorded;
    return std::unique_ptr<PictureEncoder>(std::move(e));
  };
  CaptureRun recording(types);
  recording.cycle->outputDirectory = dir;
  touch(dir + "pxk1.bmp");
  options.typeIndex = 0;
  options.spinPosition = 77;
  recording.clipboard.putBitmap(solidBitmap(4, 4, Green));
  recording.tick(options);
  EXPECT_EQ(recorded->spin, 77);
  EXPECT_EQ(recorded->streams, 1);
  EXPECT_EQ(readFile(dir + "pxk1.jpg"), (std::vector<uint8_t>{'f', 'a', 'k', 'e'}));

  // A type without a writer is an error, and the picture stays on the clipboard.
  options.typeIndex = 1;
  recording.clipboard.putBitmap(solidBitmap(4, 4, Green));
  EXPECT_THROW(recording.tick(options), EInvalidGraphic);
  EXPECT_FALSE(recording.clipboard.offered.empty());
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
      run.tick(options);
      RasterImage saved;
      load("pxk" + std::to_string(run.counter()) + ".bmp", saved);

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
  run.tick(options);
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
  CaptureRun::Outcome r = run.tick(options);
  EXPECT_FALSE(r.captured);
  EXPECT_TRUE(clipboard.offered.empty());
  EXPECT_EQ(r.failures, std::vector<std::string>{"Cannot create file " + dir +
                                                 "pxk1.bmp | pxk1.bmp: No such file or directory | kept"});
  EXPECT_EQ(run.counter(), 0);
  EXPECT_EQ(cycle.queue().waiting(), 1u);
  // Once the folder is back the kept picture is written first, then the next one.
  fs::create_directory(dir);
  ASSERT_TRUE(cycle.queue().flush(60s));
  EXPECT_EQ(run.counter(), 1);
  RasterImage kept;
  load("pxk1.bmp", kept);
  EXPECT_EQ(kept.pixel(1, 1), Red);
  clipboard.putBitmap(solidBitmap(2, 2, Red));
  EXPECT_EQ(run.tick(options).status, "2/99999 pictures");
  std::vector<std::string> names;
  for (auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"pxk1.bmp", "pxk2.bmp"})) << "no temporary file is left";

  // A bitmap that came but is no picture: an error, and it stays on the clipboard.
  clipboard.putBitmap(solidBitmap(2, 2, Red));
  clipboard.bitmapData.reset();
  EXPECT_THROW(run.tick(options), EInvalidGraphic);
  EXPECT_FALSE(clipboard.offered.empty());
  EXPECT_EQ(run.counter(), 2);

  // A picture that cannot be decoded is reported by the queue and lost; the
  // next one is written.
  PlatformBitmap broken;
  broken.width = 4;
  broken.height = 4;  // no pixel bytes at all
  clipboard.putBitmap(broken);
  r = run.tick(options);
  EXPECT_FALSE(r.captured);
  EXPECT_EQ(r.failures, std::vector<std::string>{"Bitmap image is not valid |  | lost"});
  EXPECT_FALSE(clipboard.offered.empty()) << "a picture that cannot be saved stays on the clipboard";
  clipboard.putBitmap(solidBitmap(2, 2, Blue));
  EXPECT_EQ(run.tick(options).counter, 3);
}

TEST_F(CaptureCycleTest, StopsAtTheLastNumber) {
  cycle.pipeline().pictureCounter = 99998;
  clipboard.putBitmap(solidBitmap(1, 1, Red));
  CaptureRun::Outcome r = run.tick(options);
  EXPECT_TRUE(fs::exists(dir + "pxk99999.bmp"));
  EXPECT_EQ(r.status, "99999/99999 pictures");
  EXPECT_TRUE(r.stopTimer);

  // With the range used up a picture is taken from the clipboard but not written.
  clipboard.putBitmap(solidBitmap(1, 1, Red));
  r = run.tick(options);
  EXPECT_TRUE(r.stopTimer);
  EXPECT_EQ(r.status, "99999/99999 pictures");
  EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);
}

TEST_F(CaptureCycleTest, MetafileListedAheadOfTheBitmap) {
  clipboard.putBitmap(solidBitmap(2, 2, Red));
  clipboard.offered = {CF_ENHMETAFILE, CF_BITMAP};
  options.addText = true;
  options.text = "t";
  run.tick(options);
  EXPECT_TRUE(fs::exists(dir + "pxk1.bmp")) << "the bitmap itself is imported";
  EXPECT_TRUE(clipboard.offered.empty());
}

TEST(TPicture, ClipboardImportFollowsTheClipboardsOrder) {
  FakeClipboard clipboard;
  TPicture picture;
  clipboard.putBitmap(solidBitmap(2, 2, Red));
  picture.loadFromClipboard(clipboard);
  ASSERT_NE(picture.bitmap(), nullptr);
  RasterImage* first = picture.bitmap();
  EXPECT_EQ(first->pixelFormat(), PixelFormat::Device);

  // A metafile listed first yields a metafile picture without a drawing surface.
  clipboard.offered = {CF_TEXT, CF_ENHMETAFILE, CF_BITMAP};
  picture.loadFromClipboard(clipboard);
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
  picture.loadFromClipboard(clipboard);
  EXPECT_EQ(picture.graphic()->kindName(), "GIF Image");

  // No registered format: an error, and the held picture stays.
  Graphic* held = picture.graphic();
  clipboard.offered = {CF_TEXT};
  try {
    picture.loadFromClipboard(clipboard);
    FAIL();
  } catch (const EInvalidGraphic& e) {
    EXPECT_STREQ(e.what(), "Invalid clipboard format");
  }
  EXPECT_EQ(picture.graphic(), held);

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
    EXPECT_EQ(cycle.tick(options), CaptureCycle::Tick::Idle);
    EXPECT_TRUE(cycle.fetching());
    EXPECT_EQ(clipboard.emptyCalls, 0) << "nothing is emptied before the picture is held";
  }
  // It arrives: the clipboard tells of it like a change.
  const CaptureRun::Outcome r = run.tick(options);
  EXPECT_FALSE(cycle.fetching());
  EXPECT_TRUE(clipboard.offered.empty());
  EXPECT_EQ(r.counter, 1);
  RasterImage saved;
  load("pxk1.bmp", saved);
  EXPECT_EQ(saved.pixel(1, 1), Green);
}

TEST_F(CaptureCycleTest, AContentIsTakenOnceAndAnOwnerThatDoesNotHandItOverIsNamed) {
  // A picture left on the clipboard (here: emptying did not take, a newer
  // content came first) is not taken again.
  clipboard.putBitmap(solidBitmap(1, 1, Red));
  const uint64_t red = clipboard.generation();
  ASSERT_TRUE(run.tick(options).captured);
  clipboard.putBitmap(solidBitmap(1, 1, Blue));
  const uint64_t blue = clipboard.generation();
  clipboard.emptyContent(red);  // too late: the blue one is newer
  EXPECT_EQ(clipboard.generation(), blue) << "a newer content stays";
  EXPECT_EQ(run.tick(options).counter, 2);
  clipboard.changes = blue;  // suppose emptying did not take
  clipboard.putBitmap(solidBitmap(1, 1, Blue));
  clipboard.changes = blue;
  EXPECT_FALSE(run.tick(options).captured) << "the content taken already";

  // The owner never hands the picture over: its reason goes with the error.
  clipboard.putBitmap(solidBitmap(1, 1, Red));
  clipboard.bitmapData.reset();
  clipboard.fetchFailure = "the program that owns the clipboard did not answer (3 tries in 6.1 s)";
  try {
    run.tick(options);
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

// A 2 x 2 PNG with 16 bits a sample, written by libpng: each sample is the
// byte of `colours` (0x00BBGGRR) followed by 0xF0, so that rounding it to
// eight bits gives one more than its high byte (except at 0xFF); with an
// alpha sample of 0xFFFF when `alpha`.
PlatformBitmap deepPngBitmap(const uint32_t (&colours)[4], bool alpha = false) {
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
  png_set_IHDR(png, info, 2, 2, 16, alpha ? PNG_COLOR_TYPE_RGB_ALPHA : PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  for (int row = 1; row >= 0; --row) {  // top first, where bmpBitmap's files start at the bottom
    std::vector<uint8_t> samples;
    for (int x = 0; x < 2; ++x) {
      for (int shift : {0, 8, 16}) samples.insert(samples.end(), {uint8_t(colours[row * 2 + x] >> shift), 0xF0});
      if (alpha) samples.insert(samples.end(), {0xFF, 0xFF});
    }
    png_write_row(png, samples.data());
  }
  png_write_end(png, info);
  png_destroy_write_struct(&png, &info);
  PlatformBitmap b;
  b.encoded = EncodedPicture("image/png", std::move(file));
  return b;
}

// A cycle writing BMP files into a folder of its own from a fake clipboard,
// on a clock the test moves.
struct BitmapCycle {
  explicit BitmapCycle(ImageType row = bitmapRow) : BitmapCycle(std::vector<ImageType>{std::move(row)}, 0) {}
  BitmapCycle(std::vector<ImageType> rows, int typeIndex) : run(std::move(rows)) {
    cycle.outputDirectory = dir;
    options.typeIndex = typeIndex;
  }
  std::string dir = tempDir();
  CaptureRun run;
  FakeClipboard& clipboard = run.clipboard;
  CaptureCycle& cycle = *run.cycle;
  CaptureCycle::Clock::time_point& now = run.now;
  CaptureOptions options;
  ~BitmapCycle() { fs::remove_all(dir); }
  BitmapCycle(const BitmapCycle&) = delete;
  BitmapCycle& operator=(const BitmapCycle&) = delete;
};

TEST(CaptureCycleRestore, ACopyPutBackRightAfterEmptyingIsNotSavedAgain) {
  using namespace std::chrono_literals;
  const uint32_t four[4] = {Red, Green, Blue, White}, other[4] = {Red, Green, Blue, Black};
  // A 16-bit PNG's high bytes (as GdkPixbuf decodes it: GTK's clipboard
  // managers give such a picture back so), and pixels one step below those
  // in one sample: two below the PNG's rounded samples.
  const uint32_t high[4] = {0x102030, 0x405060, 0x708090, 0xA0B0FF}, lower[4] = {0x10202F, 0x405060, 0x708090, 0xA0B0FF};
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
      {"a 16-bit PNG given back with the high byte of each sample", deepPngBitmap(high), bmpBitmap(high, 24),
       justAfter, Between::Nothing, false},
      {"another device bitmap", solidBitmap(3, 2, Red), solidBitmap(3, 2, Blue), justAfter, Between::Nothing, true},
      {"pixels two steps off a 16-bit PNG's", deepPngBitmap(high), bmpBitmap(lower, 24), justAfter, Between::Nothing,
       true},
      {"pixels two steps off a 16-bit PNG's with alpha (colour and alpha cut)", deepPngBitmap(high, true),
       bmpBitmap(lower, 24), justAfter, Between::Nothing, false},
      {"pixels one step off an 8-bit picture", bmpBitmap(high, 24), bmpBitmap(lower, 24), justAfter, Between::Nothing,
       true},
      {"other pixels of the same size", bmpBitmap(four, 24), bmpBitmap(other, 32), justAfter, Between::Nothing, true},
      {"other pixels after a clear", bmpBitmap(four, 24), bmpBitmap(other, 24), justAfter, Between::Cleared, true},
      {"the same picture after the quiet interval", bmpBitmap(four, 32), bmpBitmap(four, 24), later, Between::Nothing,
       true},
      {"the same picture after a text", bmpBitmap(four, 24), bmpBitmap(four, 24), justAfter, Between::Text, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    BitmapCycle t(imageTypes(), 3);  // the program's rows (PNG read too), writing Bitmap files
    auto& [dir, run, clipboard, cycle, now, options] = t;

    clipboard.putBitmap(c.first);
    ASSERT_TRUE(run.tick(options).captured);
    now += c.after;
    if (c.between == Between::Cleared) {
      clipboard.offered.clear();
      clipboard.changedByOwner();
      EXPECT_FALSE(run.tick(options).captured);
    } else if (c.between == Between::Text) {
      clipboard.offered = {CF_TEXT};
      clipboard.changedByOwner();
      EXPECT_FALSE(run.tick(options).captured);
    }
    clipboard.putBitmap(c.second);
    const CaptureRun::Outcome r = run.tick(options);
    EXPECT_EQ(r.captured, c.saved);
    EXPECT_EQ(fs::exists(dir + "pxk2.bmp"), c.saved);
    EXPECT_EQ(clipboard.offered.empty(), c.saved) << "a copy put back stays on the clipboard";
    // Either way that content is done with.
    EXPECT_FALSE(run.tick(options).captured);
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
    auto& [dir, run, clipboard, cycle, now, options] = t;
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
      ASSERT_TRUE(run.tick(options).captured) << "a picture copied after start is saved";
      EXPECT_TRUE(fs::exists(dir + "pxk1.bmp"));
      continue;
    }
    for (int tick = 0; tick < 4; ++tick) EXPECT_FALSE(run.tick(options).captured) << "no error, nothing saved";
    EXPECT_TRUE(clipboard.offered.empty()) << "emptied";
    // A clipboard manager puts the picture back: not saved either.
    clipboard.fetchFailure.clear();
    now += 10ms;
    clipboard.putBitmap(bmpBitmap(four, 32));
    EXPECT_EQ(run.tick(options).captured, c.there != There::Picture && c.there != There::PictureOnItsWay)
        << "a copy of a picture that was read is known; any other picture is new";
    // The next picture copied is saved as the first.
    now += CaptureCycle::RestoreInterval * 2;
    clipboard.putBitmap(solidBitmap(2, 2, Blue));
    EXPECT_TRUE(run.tick(options).captured);
    EXPECT_EQ(run.counter(), c.there == There::Picture || c.there == There::PictureOnItsWay ? 1 : 2);
  }
}

TEST(CaptureCycleRestore, APictureBeingCheckedIsEmptiedOnlyWhileItIsStillThere) {
  const uint32_t four[4] = {Red, Green, Blue, White}, other[4] = {Red, Green, Blue, Black},
                 newer[4] = {Black, Green, Blue, Red};
  BitmapCycle t;
  auto& [dir, run, clipboard, cycle, now, options] = t;
  clipboard.putBitmap(bmpBitmap(four, 24));
  ASSERT_TRUE(run.tick(options).captured);
  // Other bytes right after emptying: they stay on the clipboard until decoded.
  clipboard.putBitmap(bmpBitmap(other, 24));
  ASSERT_EQ(cycle.tick(options), CaptureCycle::Tick::Checking);
  EXPECT_FALSE(clipboard.offered.empty());
  // Meanwhile another picture is copied; the checked one goes, the new one stays.
  clipboard.putBitmap(bmpBitmap(newer, 32));
  EXPECT_EQ(cycle.tick(options), CaptureCycle::Tick::Checking) << "the next picture waits for the check";
  ASSERT_TRUE(run.answerCheck());
  EXPECT_FALSE(clipboard.offered.empty()) << "the newer picture keeps the clipboard";
  EXPECT_EQ(run.tick(options).counter, 3) << "and is taken next";
  EXPECT_TRUE(clipboard.offered.empty());
  RasterImage second, third;
  MemoryStream s2(readFile(dir + "pxk2.bmp")), s3(readFile(dir + "pxk3.bmp"));
  second.loadFromStream(s2);
  third.loadFromStream(s3);
  EXPECT_EQ(second.pixel(1, 0), Black) << "in the order they were copied";
  EXPECT_EQ(third.pixel(1, 0), Red);
}

// Every picture is decoded once: the one a clipboard manager may have put
// back is decoded for its check and written from that, and the one before
// it is known by the digest taken when it was written.
std::atomic<int> bmpDecodes{0};
void countingBmpDecode(const EncodedPicture& picture, RasterImage& raster) {
  ++bmpDecodes;
  decodeBmpPicture(picture, raster);
}

TEST(CaptureCycleRestore, EveryPictureIsDecodedOnceAlsoWhenItIsChecked) {
  const uint32_t four[4] = {Red, Green, Blue, White}, other[4] = {Red, Green, Blue, Black};
  struct Case {
    const char* what;
    bool stamped;
    PlatformBitmap second;
    bool saved;
  };
  const Case cases[] = {
      {"other pixels", false, bmpBitmap(other, 24), true},
      {"other pixels, stamped", true, bmpBitmap(other, 24), true},
      {"the same pixels encoded otherwise", false, bmpBitmap(four, 32), false},
      {"the same pixels encoded otherwise, stamped", true, bmpBitmap(four, 32), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    BitmapCycle t{{"Bitmap", ".bmp", std::nullopt, bmpEncoderFactory(), {}, {{"image/bmp"}, 1, countingBmpDecode}}};
    auto& [dir, run, clipboard, cycle, now, options] = t;
    options.addText = c.stamped;
    options.text = "x";
    bmpDecodes = 0;
    clipboard.putBitmap(bmpBitmap(four, 24));
    ASSERT_TRUE(run.tick(options).captured);
    clipboard.putBitmap(c.second);  // right after: it is checked
    EXPECT_EQ(run.tick(options).captured, c.saved);
    EXPECT_EQ(bmpDecodes, 2) << "each picture decoded once";
    EXPECT_EQ(clipboard.offered.empty(), c.saved);
  }
}

// A manager that had no time to read the newest picture puts an older one
// of its history back: that is no new picture either.
TEST(CaptureCycleRestore, AnOlderPicturePutBackSoonIsNotSavedAgain) {
  using namespace std::chrono_literals;
  const uint32_t a[4] = {Red, Green, Blue, White}, b[4] = {Red, Green, Blue, Black}, c[4] = {Black, Green, Blue, Red};
  BitmapCycle t;
  auto& [dir, run, clipboard, cycle, now, options] = t;
  clipboard.putBitmap(bmpBitmap(a, 24));
  ASSERT_TRUE(run.tick(options).captured);
  now += CaptureCycle::RestoreInterval * 2;
  clipboard.putBitmap(bmpBitmap(b, 24));
  ASSERT_TRUE(run.tick(options).captured);
  now += 30ms;
  clipboard.putBitmap(bmpBitmap(a, 32));  // the first one, put back
  EXPECT_FALSE(run.tick(options).captured);
  EXPECT_FALSE(clipboard.offered.empty()) << "left on the clipboard";
  now += 30ms;
  clipboard.putBitmap(bmpBitmap(c, 24));  // a new one
  EXPECT_TRUE(run.tick(options).captured);
  EXPECT_EQ(run.counter(), 3);
}

// Pictures that claim far more pixels than they hold, or would cost far
// more to decode than their size suggests: each is refused by itself from
// its header (or early in its data), and an ordinary picture copied next is
// saved.
TEST(CaptureCycleHostile, BombsAreRefusedAndTheNextPictureIsSaved) {
  struct Case {
    const char* file;
    const char* type;
    const char* refusal;  // the start of the report
  };
  const std::string tooLarge = "The picture is too large to hold | ", invalid = "Invalid clipboard format | ";
  const std::string pixelBound = "are more than the 134 million pixels one picture may have";
  const Case cases[] = {
      {"png-20000x20000-1bit-zeros.png", "image/png", "20000 x 20000 pixels (400 million) "},
      {"png-65535-interlaced-truncated.png", "image/png", "65535 x 65535 pixels (4294 million) "},
      {"png-11000-truncated.png", "image/png", nullptr},  // within the bound, but its data ends
      {"jpeg-65500-progressive.jpg", "image/jpeg", "65500 x 65500 pixels (4290 million) "},
      {"jpeg-8192-190-scans.jpg", "image/jpeg", nullptr},  // a scan per coefficient of a 64-million-pixel picture
      {"webp-16383-canvas.webp", "image/webp", "16383 x 16383 pixels (268 million) "},
  };
  BitmapCycle t(imageTypes(), 3);  // the program's rows, writing Bitmap files
  auto& [dir, run, clipboard, cycle, now, options] = t;
  uint32_t colour = 1;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    PlatformBitmap bomb;
    bomb.encoded = EncodedPicture(c.type, readFile(std::string(CAPTURE_REGRESSIONS_DIR "/") + c.file));
    now += CaptureCycle::RestoreInterval * 2;
    clipboard.putBitmap(std::move(bomb));
    CaptureRun::Outcome r = run.tick(options);
    EXPECT_FALSE(r.captured);
    ASSERT_EQ(r.failures.size(), 1u);
    if (c.refusal)
      EXPECT_EQ(r.failures[0], tooLarge + c.refusal + pixelBound + " | lost");
    else
      EXPECT_EQ(r.failures[0].substr(0, invalid.size()), invalid) << r.failures[0];
    now += CaptureCycle::RestoreInterval * 2;
    clipboard.putBitmap(solidBitmap(4, 3, colour++));
    EXPECT_TRUE(run.tick(options).captured);
  }
  EXPECT_EQ(run.counter(), int(std::size(cases)));
}

// The raster may take at most a quarter of the memory available when the
// picture comes; unknown memory leaves the pixel bound alone.
TEST(CaptureCycleHostile, APictureBeyondAQuarterOfTheFreeMemoryIsRefused) {
  static uint64_t available = 0;
  const MemoryProbe before = setMemoryProbe([] { return available; });
  struct Restore {
    MemoryProbe probe;
    ~Restore() { setMemoryProbe(probe); }
  } restore{before};
  const uint32_t colours[4] = {Red, Green, Blue, White};
  for (uint64_t memory : {uint64_t(63), uint64_t(64), uint64_t(0)}) {
    SCOPED_TRACE(memory);
    available = memory;
    BitmapCycle t;
    t.clipboard.putBitmap(bmpBitmap(colours, 24));  // 2 x 2 pixels: 16 bytes of rows
    CaptureRun::Outcome r = t.run.tick(t.options);
    if (memory == 63) {
      EXPECT_FALSE(r.captured);
      EXPECT_EQ(r.failures, (std::vector<std::string>{"The picture is too large to hold | 2 x 2 pixels need 0 MB, "
                                                      "more than a quarter of the memory free now (0 MB) | lost"}));
    } else {
      EXPECT_TRUE(r.captured) << (r.failures.empty() ? "" : r.failures[0]);
    }
  }
}

}  // namespace
}  // namespace pixkeep::test
