// The Wayland reader (platform/wayland/waylandselection.h) through the
// clipboard the program puts over it (QtClipboard, with the image types'
// picture types), against the tests' own compositor (testcompositor.h) on
// a socket of its own: the standard ext_data_control_manager_v1 alone, both
// it and the wlroots manager (the reader must take the standard one), and
// the wlroots one alone. The reader works on the event loop, so the tests
// turn it while they wait, the way the window's loop does.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QTimer>
#include <chrono>
#include <functional>
#include <png.h>

#include "codecs/imagetypes.h"
#include "platform/memory.h"
#include "platform/qt/qtclipboard.h"
#include "platform/wayland/waylandselection.h"
#include "raster/rasterimage.h"
#include "tests/platform/wayland/testcompositor.h"

namespace pixkeep::test {

// How a case names the managers offered, also in gtest's messages.
const char* nameOf(TestCompositor::Managers m) {
  switch (m) {
    case TestCompositor::Managers::Ext: return "ext";
    case TestCompositor::Managers::Wlr: return "wlr";
    case TestCompositor::Managers::Both: return "both";
    case TestCompositor::Managers::None: return "none";
  }
  return "?";
}
void PrintTo(TestCompositor::Managers m, std::ostream* out) { *out << nameOf(m); }

namespace {

using namespace std::chrono_literals;
using Managers = TestCompositor::Managers;
using Answer = TestCompositor::Answer;
using State = Clipboard::Picture::State;
using Bytes = std::vector<uint8_t>;

// Turns the event loop until `done` holds; false when it still does not
// after a minute (Session's heartbeat wakes the loop to look).
bool until(const std::function<bool()>& done) {
  const auto limit = std::chrono::steady_clock::now() + 60s;
  while (!done()) {
    if (std::chrono::steady_clock::now() > limit) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
  }
  return true;
}

// Fetches times long enough that no owner here falls silent by accident;
// the owners that do have their own.
ClipboardReader::Timing patient() {
  ClipboardReader::Timing t;
  t.silence = 60s;
  t.total = 120s;
  return t;
}

// A compositor, and the program's clipboard over a reader connected to it.
struct Session {
  TestCompositor compositor;
  QTimer heartbeat;
  // For each receive request, whether the reader still had the pipe open
  // when the event loop next turned.
  std::vector<bool> readingOnTheLoop;
  std::unique_ptr<QtClipboard> clipboard;
  WaylandSelection* reader = nullptr;
  std::string why;
  // The clipboard's generation at each call of its listener (a change, or
  // a fetched picture's arrival).
  std::vector<uint64_t> told;

  explicit Session(Managers managers, bool seat = true) : compositor(managers, seat) {
    heartbeat.start(5);
    compositor.setOnReceive([this](size_t index) {
      QMetaObject::invokeMethod(
          &heartbeat, [this, index] {
            readingOnTheLoop.resize(std::max(readingOnTheLoop.size(), index + 1));
            readingOnTheLoop[index] = compositor.pipeOpen(index);
          },
          Qt::QueuedConnection);
    });
  }
  ~Session() {
    clipboard.reset();  // the client goes before its compositor
    compositor.setOnReceive({});
  }

  // Opens the reader as the program does (ui/main.cpp).
  bool open(ClipboardReader::Timing timing = patient()) {
    auto r = WaylandSelection::open(why, timing);
    if (!r) return false;
    reader = r.get();
    clipboard = std::make_unique<QtClipboard>(std::move(r), clipboardPictureTypes(imageTypes()));
    clipboard->setChangeListener([this] { told.push_back(clipboard->generation()); });
    return true;
  }
  bool at(uint64_t generation) {
    return until([&] { return clipboard->generation() == generation; });
  }
  // Asks for the current content's picture, as the capture timer does, and
  // turns the loop until it is there or has failed.
  Clipboard::Picture take() {
    Clipboard::Picture p = clipboard->fetchPicture();
    if (p.state == State::OnItsWay) until([&] { return (p = clipboard->fetchPicture()).state != State::OnItsWay; });
    return p;
  }
  size_t receives() const { return compositor.receives().size(); }
};

#define OPEN(session, ...)                                                  \
  ASSERT_EQ((session).compositor.failure(), "");                            \
  ASSERT_TRUE((session).open(__VA_ARGS__)) << (session).why

Bytes bytesOf(const Clipboard::Picture& p) {
  if (!p.bitmap || !p.bitmap->encoded) return {};
  return Bytes(p.bitmap->encoded->data(), p.bitmap->encoded->data() + p.bitmap->encoded->size());
}

// A picture's pixels by position, as 0x00BBGGRR (RasterImage::pixel).
using Pattern = std::function<uint32_t(int x, int y)>;
uint32_t bgr(unsigned r, unsigned g, unsigned b) { return (b & 255) << 16 | (g & 255) << 8 | (r & 255); }
const Pattern mixed = [](int x, int y) {
  return bgr(unsigned(x * 37 + y * 11), unsigned((y * 53) ^ x), unsigned(x * y * 7 + 3));
};

// The picture written by libpng: 8-bit RGB at compression level `level`.
Bytes pngOf(int width, int height, const Pattern& pattern, int level) {
  Bytes out;
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
        auto* o = static_cast<Bytes*>(png_get_io_ptr(p));
        o->insert(o->end(), d, d + n);
      },
      nullptr);
  png_set_compression_level(png, level);
  png_set_IHDR(png, info, png_uint_32(width), png_uint_32(height), 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  Bytes row(size_t(width) * 3);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const uint32_t c = pattern(x, y);
      row[size_t(x) * 3] = uint8_t(c), row[size_t(x) * 3 + 1] = uint8_t(c >> 8), row[size_t(x) * 3 + 2] = uint8_t(c >> 16);
    }
    png_write_row(png, row.data());
  }
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return out;
}

// A 24-bit BMP file, rows bottom-up, each padded to four bytes.
Bytes bmpOf(int width, int height, const Pattern& pattern) {
  const size_t stride = (size_t(width) * 3 + 3) / 4 * 4;
  const size_t size = 54 + stride * size_t(height);
  Bytes out(size, 0);
  auto put = [&](size_t at, uint32_t v, int n) {
    for (int i = 0; i < n; ++i) out[at + size_t(i)] = uint8_t(v >> (8 * i));
  };
  out[0] = 'B', out[1] = 'M';
  put(2, uint32_t(size), 4);
  put(10, 54, 4);
  put(14, 40, 4);
  put(18, uint32_t(width), 4);
  put(22, uint32_t(height), 4);
  put(26, 1, 2);
  put(28, 24, 2);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      const uint32_t c = pattern(x, y);
      const size_t at = 54 + stride * size_t(height - 1 - y) + size_t(x) * 3;
      out[at] = uint8_t(c >> 16), out[at + 1] = uint8_t(c >> 8), out[at + 2] = uint8_t(c);
    }
  return out;
}

// The picture decoded as the capture decodes it, against its pattern.
void expectPixels(const Clipboard::Picture& p, int width, int height, const Pattern& pattern) {
  ASSERT_TRUE(p.bitmap);
  RasterImage r;
  r.loadFromClipboardBitmap(CF_BITMAP, p.bitmap.get(), nullptr, clipboardDecoder(imageTypes()));
  ASSERT_EQ(r.width(), width);
  ASSERT_EQ(r.height(), height);
  int wrong = 0;
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x)
      if (r.pixel(x, y) != pattern(x, y) && ++wrong <= 3)
        ADD_FAILURE() << "pixel " << x << "," << y << ": " << std::hex << r.pixel(x, y) << " instead of "
                      << pattern(x, y);
  EXPECT_EQ(wrong, 0);
}

std::vector<std::string> typesAsked(const std::vector<TestCompositor::Receive>& receives, int selection) {
  std::vector<std::string> types;
  for (const auto& r : receives)
    if (r.selection == selection) types.push_back(r.mimeType);
  return types;
}

// The tries a failure names ("<why> (3 tries in 5.2 s)"); 0 when it is not
// `why` with its tries.
size_t triesNamed(const std::string& failure, const std::string& why) {
  const std::string head = why + " (";
  if (failure.rfind(head, 0) != 0) return 0;
  size_t count = 0, i = head.size();
  for (; i < failure.size() && failure[i] >= '0' && failure[i] <= '9'; ++i) count = count * 10 + size_t(failure[i] - '0');
  const std::string rest = failure.substr(i);
  const std::string in = count == 1 ? " try in " : " tries in ";
  if (rest.rfind(in, 0) != 0 || rest.size() < in.size() + 3 || rest.substr(rest.size() - 3) != " s)") return 0;
  return count;
}

TEST(WaylandReader, OpenTakesTheStandardManagerWhereOfferedAndSaysWhyItCannotRead) {
  struct Case {
    Managers managers;
    bool seat;
    const char* chosen;  // nullptr: no reader
    const char* why;
  };
  const Case cases[] = {
      {Managers::Both, true, TestCompositor::Ext, ""},
      {Managers::Ext, true, TestCompositor::Ext, ""},
      {Managers::Wlr, true, TestCompositor::Wlr, ""},
      {Managers::None, true, nullptr, "the Wayland compositor offers no data-control protocol"},
      {Managers::Both, false, nullptr, "the Wayland compositor has no seat"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(nameOf(c.managers)) + (c.seat ? " with a seat" : " without a seat"));
    Session s(c.managers, c.seat);
    ASSERT_EQ(s.compositor.failure(), "");
    const bool opened = s.open();
    if (!c.chosen) {
      EXPECT_FALSE(opened);
      EXPECT_EQ(s.why.rfind(c.why, 0), 0u) << s.why;
      continue;
    }
    ASSERT_TRUE(opened) << s.why;
    EXPECT_EQ(s.reader->protocol(), c.chosen);
    EXPECT_EQ(s.compositor.devices(c.chosen), 1) << "one device, on the manager chosen";
    EXPECT_EQ(s.compositor.devices(TestCompositor::Ext) + s.compositor.devices(TestCompositor::Wlr), 1);
  }
  // No compositor on the socket named.
  Session s(Managers::Ext);
  ScopedEnv elsewhere("WAYLAND_DISPLAY", "wayland-nobody-listens");
  EXPECT_FALSE(s.open());
  EXPECT_EQ(s.why.rfind("cannot connect to the Wayland compositor", 0), 0u) << s.why;
}

class WaylandReaderOn : public testing::TestWithParam<Managers> {};

TEST_P(WaylandReaderOn, EachSelectionIsANewContentWithItsTypesAndThePrimaryOneIsNone) {
  Session s(GetParam());
  OPEN(s);
  EXPECT_EQ(s.clipboard->generation(), 0u);
  const int first = s.compositor.setSelection({{"text/plain;charset=utf-8", Answer::Data, {'h', 'i'}},
                                               {"image/png", Answer::Data, pngOf(2, 2, mixed, 6)}});
  ASSERT_TRUE(s.at(1));
  EXPECT_EQ(s.clipboard->formats(), (std::vector<unsigned>{CF_TEXT, CF_BITMAP})) << "in the owner's order";
  EXPECT_EQ(s.clipboard->bitmapTypes(), std::vector<std::string>{"image/png"});

  // A primary selection (the standard protocol always tells it; the
  // wlroots one, bound at version 1, never) is no content of the clipboard.
  s.compositor.setPrimarySelection({"image/png", "text/plain"});
  s.compositor.setSelection({{"image/bmp", Answer::Data, bmpOf(1, 1, mixed)}});
  ASSERT_TRUE(until([&] { return s.clipboard->generation() != 1; }));
  EXPECT_EQ(s.clipboard->generation(), 2u);
  EXPECT_EQ(s.clipboard->bitmapTypes(), std::vector<std::string>{"image/bmp"});
  EXPECT_EQ(s.told, (std::vector<uint64_t>{1, 2}));
  // The reader lets go of the offers it no longer needs.
  ASSERT_TRUE(until([&] { return !s.compositor.destroyedOffers().empty(); }));
  EXPECT_EQ(s.compositor.destroyedOffers(), std::vector<int>{first});
  if (GetParam() != Managers::Wlr) {
    EXPECT_EQ(s.compositor.destroyedPrimaryOffers(), 1);
  }
  EXPECT_EQ(s.receives(), 0u) << "nothing is read before the capture asks";
}

TEST_P(WaylandReaderOn, WhatIsThereAtStartIsContentZeroAndCanBeRead) {
  Session s(GetParam());
  const Bytes png = pngOf(3, 2, mixed, 6);
  ASSERT_EQ(s.compositor.failure(), "");
  const int there = s.compositor.setSelection({{"image/png", Answer::Data, png}});
  OPEN(s);
  ASSERT_TRUE(until([&] { return s.clipboard->hasFormat(CF_BITMAP); }));
  EXPECT_EQ(s.clipboard->generation(), 0u);
  const Clipboard::Picture p = s.take();
  ASSERT_EQ(p.state, State::Here) << p.failure;
  EXPECT_EQ(bytesOf(p), png);
  EXPECT_EQ(typesAsked(s.compositor.receives(), there), std::vector<std::string>{"image/png"});
}

TEST_P(WaylandReaderOn, ThePictureComesThroughByteForByte) {
  struct Case {
    const char* what;
    std::vector<TestCompositor::Type> offer;
    std::string type;  // that gives the picture
    int width, height;
    std::vector<std::string> asked;
  };
  const Bytes small = pngOf(3, 2, mixed, 6);
  // Larger than a pipe's buffer and than what the reader takes in one go.
  const Bytes large = pngOf(1400, 1100, mixed, 0);
  ASSERT_GT(large.size(), size_t(4) << 20);
  const Case cases[] = {
      {"a small PNG", {{"text/plain", Answer::Data, {'x'}}, {"image/png", Answer::Data, small}}, "image/png", 3, 2,
       {"image/png"}},
      {"a large PNG", {{"image/png", Answer::Data, large}}, "image/png", 1400, 1100, {"image/png"}},
      {"a PNG handed over as nothing, then BMP",
       {{"image/bmp", Answer::Data, bmpOf(5, 3, mixed)}, {"image/png", Answer::Nothing, small}}, "image/bmp", 5, 3,
       {"image/png", "image/bmp"}},
  };
  Session s(GetParam());
  OPEN(s);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const int selection = s.compositor.setSelection(c.offer);
    ASSERT_TRUE(s.at(uint64_t(selection)));
    const Clipboard::Picture p = s.take();
    ASSERT_EQ(p.state, State::Here) << p.failure;
    ASSERT_TRUE(p.bitmap->encoded);
    EXPECT_EQ(p.bitmap->encoded->type, c.type);
    for (const auto& t : c.offer)
      if (t.mimeType == c.type) {
        EXPECT_TRUE(bytesOf(p) == t.bytes) << "the bytes as the owner wrote them";
      }
    expectPixels(p, c.width, c.height, mixed);
    EXPECT_EQ(typesAsked(s.compositor.receives(), selection), c.asked);
  }
}

TEST_P(WaylandReaderOn, EmptyingClearsTheSelectionOnlyWhileItHoldsTheContentRead) {
  enum class Newer { None, NotTakenIn, Told };
  struct Case {
    const char* what;
    Newer newer;
  };
  const Case cases[] = {
      {"nothing copied since", Newer::None},
      {"a newer selection on its way to the reader", Newer::NotTakenIn},
      {"a newer selection told", Newer::Told},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Session s(GetParam());
    OPEN(s);
    const int read = s.compositor.setSelection({{"image/png", Answer::Data, pngOf(2, 1, mixed, 6)}});
    ASSERT_TRUE(s.at(1));
    ASSERT_EQ(s.take().state, State::Here);
    if (c.newer == Newer::None) {
      s.clipboard->emptyContent(1);
      ASSERT_TRUE(until([&] { return s.compositor.clears() == 1; }));
      EXPECT_EQ(s.compositor.selection(), 0);
      ASSERT_TRUE(s.at(2)) << "the emptied clipboard is a change";
      EXPECT_TRUE(s.clipboard->formats().empty());
      continue;
    }
    // Another program copies after the picture was read.
    const Bytes bmp = bmpOf(2, 2, mixed);
    const int newer = s.compositor.setSelection({{"image/bmp", Answer::Data, bmp}});
    if (c.newer == Newer::Told) {
      ASSERT_TRUE(s.at(2));
    }
    // Its events are in the reader's socket now, but (NotTakenIn) the loop
    // has not turned since.
    s.clipboard->emptyContent(1);
    ASSERT_TRUE(s.at(2));
    const Clipboard::Picture p = s.take();
    ASSERT_EQ(p.state, State::Here) << p.failure;
    EXPECT_EQ(bytesOf(p), bmp);
    // The reader's requests are handled in order: a clear would have come
    // before the newer offer was asked for its picture.
    ASSERT_TRUE(until([&] { return !typesAsked(s.compositor.receives(), newer).empty(); }));
    EXPECT_EQ(s.compositor.clears(), 0);
    EXPECT_EQ(s.compositor.selection(), newer);
    // The newer content is ours to empty once it was read.
    s.clipboard->emptyContent(2);
    ASSERT_TRUE(until([&] { return s.compositor.clears() == 1; }));
    EXPECT_EQ(s.compositor.selection(), 0);
    EXPECT_NE(read, newer);
  }
}

TEST_P(WaylandReaderOn, SelectionsMadeDuringAFetchAreToldAfterItNewestOnly) {
  for (const bool handedOver : {true, false}) {
    SCOPED_TRACE(handedOver ? "the picture comes" : "the owner closes the pipe without a word");
    Session s(GetParam());
    OPEN(s);
    const Bytes png = pngOf(4, 3, mixed, 6), bmp = bmpOf(3, 3, mixed);
    const int first = s.compositor.setSelection({{"image/png", Answer::Hold, png}});
    ASSERT_TRUE(s.at(1));
    ASSERT_EQ(s.clipboard->fetchPicture().state, State::OnItsWay);
    ASSERT_TRUE(until([&] { return s.compositor.held() == 1; }));
    // Two programs copy while the picture is on its way.
    const int second = s.compositor.setSelection({{"text/plain", Answer::Data, {'x'}}});
    const int third = s.compositor.setSelection({{"image/bmp", Answer::Data, bmp}});
    // The reader has taken both in once it let go of their offers' predecessors.
    ASSERT_TRUE(until([&] { return s.compositor.destroyedOffers().size() == 2; }));
    EXPECT_EQ(s.compositor.destroyedOffers(), (std::vector<int>{first, second}));
    QCoreApplication::sendPostedEvents();
    EXPECT_EQ(s.clipboard->generation(), 1u) << "the content being read is still the clipboard's";
    EXPECT_EQ(s.told, std::vector<uint64_t>{1});

    s.compositor.answerHeld(handedOver);
    if (handedOver) {
      const Clipboard::Picture p = s.take();
      ASSERT_EQ(p.state, State::Here) << p.failure;
      EXPECT_EQ(bytesOf(p), png);
      EXPECT_EQ(s.clipboard->generation(), 1u) << "until its picture is taken";
    }
    ASSERT_TRUE(until([&] { return s.clipboard->generation() != 1; }));
    EXPECT_EQ(s.clipboard->generation(), 3u) << "the newest, the one between never told";
    const std::vector<uint64_t> told = handedOver ? std::vector<uint64_t>{1, 1, 3} : std::vector<uint64_t>{1, 3};
    EXPECT_EQ(s.told, told) << "the arrival of the picture, then the newest";
    EXPECT_EQ(s.clipboard->bitmapTypes(), std::vector<std::string>{"image/bmp"});
    const Clipboard::Picture p = s.take();
    ASSERT_EQ(p.state, State::Here) << p.failure;
    EXPECT_EQ(bytesOf(p), bmp);
    EXPECT_EQ(typesAsked(s.compositor.receives(), first), std::vector<std::string>{"image/png"})
        << "no new try for a content that was replaced";
    EXPECT_EQ(typesAsked(s.compositor.receives(), third), std::vector<std::string>{"image/bmp"});
  }
}

TEST_P(WaylandReaderOn, AnOwnerThatNeverAnswersOrRefusesFailsAfterTheRetriesWhileTheLoopTurns) {
  struct Case {
    Answer answer;
    const char* failure;
  };
  const Case cases[] = {
      {Answer::Hold, ClipboardReader::Failure::NoAnswer},
      {Answer::Nothing, ClipboardReader::Failure::Nothing},
  };
  ClipboardReader::Timing timing;
  timing.silence = 300ms;
  timing.total = 2000ms;
  timing.firstPause = 20ms;
  timing.longestPause = 100ms;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.failure);
    Session s(GetParam());
    OPEN(s, timing);
    const int selection = s.compositor.setSelection({{"image/png", c.answer, pngOf(2, 2, mixed, 6)}});
    ASSERT_TRUE(s.at(1));
    const Clipboard::Picture p = s.take();
    ASSERT_EQ(p.state, State::NotHandedOver);
    const size_t count = triesNamed(p.failure, c.failure);
    ASSERT_GT(count, 0u) << p.failure;
    EXPECT_GE(count, 2u) << "tried again";
    ASSERT_TRUE(until([&] { return s.readingOnTheLoop.size() >= count; }));
    EXPECT_EQ(typesAsked(s.compositor.receives(), selection), std::vector<std::string>(count, "image/png"))
        << "one request a try";
    if (c.answer == Answer::Hold) {
      // Each try waits for the owner on the event loop: the loop turned
      // while the reader still had the pipe open, and every pipe is closed now.
      EXPECT_EQ(s.readingOnTheLoop, std::vector<bool>(count, true));
      for (size_t i = 0; i < count; ++i) EXPECT_FALSE(s.compositor.pipeOpen(i)) << "try " << i + 1;
    }
    EXPECT_FALSE(s.clipboard->hasFormat(CF_BITMAP)) << "the failure is told once";
  }
}

// A picture's bytes may take no more than a picture may take now: a quarter
// of the memory free (here 12 MB, so 3 MB). Beyond that its transfer is
// given up and the next type is asked for.
TEST_P(WaylandReaderOn, ATransferBeyondAQuarterOfTheFreeMemoryIsGivenUpForTheNextType) {
  struct LittleMemory {
    MemoryProbe before = setMemoryProbe([] { return uint64_t(12) << 20; });
    ~LittleMemory() { setMemoryProbe(before); }
  } little;
  const Bytes large = pngOf(1400, 1100, mixed, 0);
  ASSERT_GT(large.size(), size_t(4) << 20);
  ClipboardReader::Timing timing = patient();
  timing.total = 300ms;
  timing.firstPause = 20ms;
  Session s(GetParam());
  OPEN(s, timing);
  const int alone = s.compositor.setSelection({{"image/png", Answer::Data, large}});
  ASSERT_TRUE(s.at(uint64_t(alone)));
  const Clipboard::Picture refused = s.take();
  ASSERT_EQ(refused.state, State::NotHandedOver);
  EXPECT_GT(triesNamed(refused.failure,
                       "the clipboard's content is larger than 3 MB, a quarter of the memory free now (12 MB)"),
            0u)
      << refused.failure;

  const int both = s.compositor.setSelection(
      {{"image/png", Answer::Data, large}, {"image/bmp", Answer::Data, bmpOf(5, 3, mixed)}});
  ASSERT_TRUE(s.at(uint64_t(both)));
  const Clipboard::Picture p = s.take();
  ASSERT_EQ(p.state, State::Here) << p.failure;
  EXPECT_EQ(p.bitmap->encoded->type, "image/bmp");
  expectPixels(p, 5, 3, mixed);
  EXPECT_EQ(typesAsked(s.compositor.receives(), both), (std::vector<std::string>{"image/png", "image/bmp"}));
}

INSTANTIATE_TEST_SUITE_P(Managers, WaylandReaderOn, testing::Values(Managers::Ext, Managers::Both, Managers::Wlr),
                         [](const testing::TestParamInfo<Managers>& param) { return nameOf(param.param); });

}  // namespace
}  // namespace pixkeep::test

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
