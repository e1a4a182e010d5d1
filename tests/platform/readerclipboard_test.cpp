// The clipboard over a clipboard reader, with a reader whose protocol the
// test speaks: what a change offers, which type is fetched, and when a
// change that came during a fetch is told.
#include <gtest/gtest.h>

#include <deque>
#include <set>

#include "platform/readerclipboard.h"
#include "tests/platform/scriptedreader.h"

namespace pixkeep {
namespace {

using Change = ClipboardReader::Change;
using Fetched = ClipboardReader::Fetched;
using State = Clipboard::Picture::State;

// Tasks posted to "the window's thread" run when the test says so.
class TestClipboard : public ReaderClipboard {
 public:
  TestClipboard(std::unique_ptr<ScriptedReader> reader, std::vector<PictureType> types)
      : ReaderClipboard(std::move(reader), std::move(types)) {
    listen();
  }
  ~TestClipboard() override { stopReading(); }
  void runPosted() {
    while (!posted.empty()) {
      auto task = std::move(posted.front());
      posted.pop_front();
      task();
    }
  }
  std::deque<std::function<void()>> posted;
  std::set<std::string> platformReads{"image/gif", "image/tiff"};

 protected:
  void post(std::function<void()> task) override { posted.push_back(std::move(task)); }
  bool converts(const std::string& type) const override { return platformReads.count(type) > 0; }
  std::shared_ptr<const PlatformBitmap> convert(const std::vector<uint8_t>& bytes) override {
    if (bytes.empty() || bytes[0] != 'T') return nullptr;
    auto b = std::make_shared<PlatformBitmap>();
    b->width = b->height = 1;
    b->bits = {1, 2, 3, 0};
    return b;
  }
};

struct Fixture {
  ScriptedReader* reader;
  std::unique_ptr<TestClipboard> clipboard;
  int changes = 0;
  Fixture() {
    auto r = std::make_unique<ScriptedReader>();
    reader = r.get();
    // As the program's rows have them.
    clipboard = std::make_unique<TestClipboard>(
        std::move(r), std::vector<ReaderClipboard::PictureType>{{"image/jpeg", 2, false},
                                                                {"image/png", 0, false},
                                                                {"image/gif", 3, true},
                                                                {"image/bmp", 1, false}});
    clipboard->setChangeListener([this] { ++changes; });
  }
};

TEST(ReaderClipboard, TheTypeFetchedIsTheMostPreferredThenTheOwnersOrder) {
  struct Case {
    std::vector<std::string> offered;
    std::vector<std::string> tried;
    bool bitmap;
  };
  const Case cases[] = {
      {{"text/plain", "image/gif", "image/bmp", "image/png"}, {"image/png", "image/bmp", "image/gif"}, true},
      {{"image/tiff", "image/jpeg", "IMAGE/PNG"}, {"IMAGE/PNG", "image/tiff", "image/jpeg"}, true},
      // A GIF picture alone is the registered GIF format, no bitmap.
      {{"image/gif"}, {"image/gif"}, false},
      {{"image/x-unknown", "image/svg+xml", "text/plain"}, {}, false},
      {{"UTF8_STRING"}, {}, false},
  };
  for (const Case& c : cases) {
    Fixture f;
    f.reader->ownerCopies(c.offered);
    f.clipboard->runPosted();
    EXPECT_EQ(f.clipboard->bitmapTypes(), c.tried);
    EXPECT_EQ(f.clipboard->hasFormat(CF_BITMAP), c.bitmap);
  }
  Fixture f;
  f.reader->ownerCopies({"image/gif", "image/svg+xml", "text/plain"});
  f.clipboard->runPosted();
  EXPECT_EQ(f.clipboard->formats(),
            (std::vector<unsigned>{f.clipboard->registerFormat("GIF Image"), CF_ENHMETAFILE, CF_TEXT}))
      << "the formats in the owner's order; a GIF picture is the registered GIF format";
}

TEST(ReaderClipboard, APictureIsHandedOverOnceEncodedOrConvertedAndAFailureIsNamed) {
  Fixture f;
  const uint64_t png = f.reader->ownerCopies({"image/png"});
  f.clipboard->runPosted();
  EXPECT_EQ(f.clipboard->fetchPicture().state, State::OnItsWay);
  EXPECT_EQ(f.clipboard->fetchPicture().state, State::OnItsWay) << "asked once";
  ASSERT_EQ(f.reader->fetches.size(), 1u);
  f.reader->ownerHandsOver(png, "image/png", {'P', 'N', 'G'});
  const int before = f.changes;
  f.clipboard->runPosted();
  EXPECT_EQ(f.changes, before + 1) << "the arrival is told like a change";
  Clipboard::Picture p = f.clipboard->fetchPicture();
  ASSERT_EQ(p.state, State::Here);
  ASSERT_TRUE(p.bitmap->encoded);
  EXPECT_EQ(p.bitmap->encoded->type, "image/png");
  EXPECT_EQ(p.bitmap->encoded->size(), 3u) << "still encoded, for the image types to decode";
  EXPECT_EQ(f.clipboard->fetchPicture().state, State::NoPicture) << "handed over once";

  const uint64_t tiff = f.reader->ownerCopies({"image/tiff"});
  f.clipboard->runPosted();
  f.clipboard->fetchPicture();
  f.reader->ownerHandsOver(tiff, "image/tiff", {'T'});
  f.clipboard->runPosted();
  p = f.clipboard->fetchPicture();
  ASSERT_EQ(p.state, State::Here);
  EXPECT_FALSE(p.bitmap->encoded) << "converted by the platform";
  EXPECT_EQ(p.bitmap->width, 1);

  const uint64_t bad = f.reader->ownerCopies({"image/tiff"});
  f.clipboard->runPosted();
  f.clipboard->fetchPicture();
  f.reader->ownerHandsOver(bad, "image/tiff", {'x'});
  f.clipboard->runPosted();
  EXPECT_EQ(f.clipboard->fetchPicture().state, State::Unusable);
  EXPECT_FALSE(f.clipboard->hasFormat(CF_BITMAP)) << "reported once, not on every tick";

  const uint64_t silent = f.reader->ownerCopies({"image/png"});
  f.clipboard->runPosted();
  f.clipboard->fetchPicture();
  f.reader->ownerFails(silent, "the owner did not answer (3 tries in 5.1 s)");
  f.clipboard->runPosted();
  p = f.clipboard->fetchPicture();
  EXPECT_EQ(p.state, State::NotHandedOver);
  EXPECT_EQ(p.failure, "the owner did not answer (3 tries in 5.1 s)");

  f.clipboard->emptyContent(silent);
  EXPECT_EQ(f.reader->empties, std::vector<uint64_t>{silent});
}

TEST(ReaderClipboard, AChangeDuringAFetchIsToldOnceThePictureIsTaken) {
  enum class Then { Taken, Failed };
  for (Then then : {Then::Taken, Then::Failed}) {
    SCOPED_TRACE(then == Then::Taken ? "the picture came" : "the owner failed");
    Fixture f;
    const uint64_t first = f.reader->ownerCopies({"image/png"});
    f.clipboard->runPosted();
    f.clipboard->fetchPicture();
    // Two more copies while the first is being read: only the newest is told.
    f.reader->ownerCopies({"text/plain"});
    const uint64_t third = f.reader->ownerCopies({"image/bmp"});
    f.clipboard->runPosted();
    EXPECT_EQ(f.clipboard->generation(), first) << "the content being read is still the clipboard's";
    if (then == Then::Taken) {
      f.reader->ownerHandsOver(first, "image/png", {1});
      f.clipboard->runPosted();
      EXPECT_EQ(f.clipboard->generation(), first) << "until its picture is taken";
      EXPECT_EQ(f.clipboard->fetchPicture().state, State::Here);
      f.clipboard->runPosted();
    } else {
      f.reader->ownerFails(first, "refused");
      f.clipboard->runPosted();
      // A content that was replaced has no failure to report.
    }
    EXPECT_EQ(f.clipboard->generation(), third);
    EXPECT_EQ(f.clipboard->bitmapTypes(), std::vector<std::string>{"image/bmp"});
    // Without a fetch going on, changes are told at once.
    const uint64_t fourth = f.reader->ownerCopies({"text/plain"});
    f.clipboard->runPosted();
    EXPECT_EQ(f.clipboard->generation(), fourth);
  }
}

TEST(ClipboardReader, RetriesPauseLongerEachTimeUntilTheTimeIsUp) {
  using namespace std::chrono_literals;
  ClipboardReader::Timing timing;
  timing.total = 5000ms;
  timing.firstPause = 50ms;
  timing.longestPause = 1000ms;
  const auto start = ClipboardReader::Clock::time_point() + 1h;
  ClipboardReader::Attempts attempts(timing, start);
  std::vector<long long> pauses;
  std::string failure = "refused";
  auto now = start;
  while (auto pause = attempts.failed(failure, now)) {
    pauses.push_back(pause->count());
    now += *pause + 100ms;  // each attempt takes a while
  }
  EXPECT_EQ(pauses, (std::vector<long long>{50, 100, 200, 400, 800, 1000, 1000, 1000}));
  EXPECT_EQ(failure, "refused (9 tries in 5.3 s)");
  EXPECT_EQ(ClipboardReader::triesNote(1, 2000ms), " (1 try in 2 s)");
}

}  // namespace
}  // namespace pixkeep
