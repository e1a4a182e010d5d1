// End-to-end tests: the real program under its own Xvfb, pictures copied with
// xclip, files checked with Qt's image readers.
//
// Nothing sleeps for a fixed time: every step waits, polling up to a generous
// deadline, for something it can see (a window, a file, the clipboard's owner,
// a request a clipboard owner of ours was sent). Where a test shows that
// something does not happen, a later picture that is saved is the sync point.
#include <gtest/gtest.h>

#include <QColor>
#include <QImage>
#include <QImageReader>
#include <QPainter>
#include <algorithm>
#include <chrono>
#include <csetjmp>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <random>
#include <set>
#include <sstream>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "capture/capturecycle.h"
#include "tests/codecs/giflib_reader.h"
#include "tests/e2e/programtest.h"

#include <jpeglib.h>
#include <zlib.h>

namespace {

namespace fs = std::filesystem;
using namespace e2e;

testing::Environment* const env = testing::AddGlobalTestEnvironment(new XvfbEnvironment);

bool clipboardEmpty() { return xserver.clipboardOwner() == 0; }

class Pixkeep : public ProgramTest {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(ProgramTest::SetUp());
    // Helpers of an earlier test that owned the clipboard are gone by now.
    ASSERT_TRUE(waitFor(clipboardEmpty)) << "the clipboard is still owned";
  }

  // Puts a file on the clipboard as `mime` and waits until xclip has taken
  // the clipboard (also when it has lost it again to a quick program).
  testing::AssertionResult copy(const std::string& file, const std::string& mime) override {
    const size_t before = xserver.clipboardChanges().size();
    Process& xclip = helper({"xclip", "-quiet", "-selection", "clipboard", "-t", mime, "-i", file}, "xclip.log");
    if (!waitFor([&] { return tookClipboardAfter(before) >= 0 || !xclip.running(); }))
      return testing::AssertionFailure() << "xclip did not take the clipboard";
    if (!xclip.running() && xclip.exitCode() != 0) return testing::AssertionFailure() << xclip.describe();
    return testing::AssertionSuccess();
  }

  // Starts clipboard_owner (clipboard_owner.c) and waits until it owns the clipboard.
  testing::AssertionResult ownClipboard(std::vector<std::string> args, const std::string& log) override {
    args.insert(args.begin(), CLIPBOARD_OWNER_BINARY);
    return startOwner(args, log);
  }

  // The number of the first change of the clipboard's owner, from number
  // `since` on, in which a program took the clipboard; -1 when there is none yet.
  long tookClipboardAfter(size_t since) {
    const std::vector<ClipboardChange>& changes = xserver.clipboardChanges();
    for (size_t i = since; i < changes.size(); ++i)
      if (changes[i].owner != 0) return long(i);
    return -1;
  }

  // Starts GPaste (gpaste_manager.sh), keeping pictures, and waits until it runs.
  testing::AssertionResult startGPaste() {
    fs::create_directories(root + "gpaste-home");
    Process& gpaste = helper({GPASTE_MANAGER_SCRIPT, root + "gpaste-home"}, "gpaste.log");
    if (!waitFor([&] { return hasLine(root + "gpaste.log", "ready") || !gpaste.running(); }) || !gpaste.running())
      return testing::AssertionFailure() << "GPaste did not start: " << gpaste.describe();
    return testing::AssertionSuccess();
  }

  bool clipboardIsEmpty() override { return clipboardEmpty(); }

  enum class Manager { Diodon, CopyQ };
  // Ten pictures copied beside a clipboard manager that keeps pictures.
  void besideAManager(Manager manager);
  void screenshotOfAProgramThatExits(bool besideGPaste);
};

// ImageMagick reads the same pixels from `file` as `expected` holds; its
// output goes to a file in `dir`.
void expectImageMagickReads(const std::string& file, const QImage& expected, const std::string& dir) {
  ASSERT_EQ(run({"convert", file, "-depth", "8", "rgb:" + dir + "im.rgb"}, dir + "convert.log"), 0);
  std::ifstream raw(dir + "im.rgb", std::ios::binary);
  std::vector<char> bytes((std::istreambuf_iterator<char>(raw)), {});
  const QImage rgb = expected.convertToFormat(QImage::Format_RGB888);
  const size_t row = size_t(rgb.width()) * 3;
  ASSERT_EQ(bytes.size(), row * size_t(rgb.height()));
  for (int y = 0; y < rgb.height(); ++y)
    ASSERT_EQ(0, memcmp(bytes.data() + size_t(y) * row, rgb.constScanLine(y), row)) << "row " << y;
}

TEST_F(Pixkeep, CapturesAsJpegByDefault) {
  ASSERT_NO_FATAL_FAILURE(start());
  // The one line at start that says which clipboard is read.
  const std::string log = root + "pixkeep.log";
  ASSERT_TRUE(waitFor([&] {
    const std::vector<std::string> said = lines(log);
    return std::count_if(said.begin(), said.end(),
                         [](const std::string& l) { return l.rfind("Pixkeep: reading the ", 0) == 0; }) == 1;
  })) << fileText(log);
  EXPECT_TRUE(hasLine(log, "Pixkeep: reading the X11 clipboard (no Wayland session)")) << fileText(log);
  QImage image(64, 32, QImage::Format_RGB32);
  image.fill(Qt::red);
  for (int y = 0; y < 32; ++y)
    for (int x = 32; x < 64; ++x) image.setPixel(x, y, qRgb(0, 0, 255));
  ASSERT_TRUE(copy(picture(image, "rb.png", "PNG"), "image/png"));
  ASSERT_TRUE(pictureSaved(1));
  QImage got(QString::fromStdString(file(1)));
  ASSERT_EQ(got.size(), image.size());
  QColor left = got.pixelColor(8, 16), right = got.pixelColor(56, 16);
  EXPECT_GT(left.red(), 240);
  EXPECT_LT(left.blue(), 16);
  EXPECT_GT(right.blue(), 240);
  EXPECT_LT(right.red(), 16);
}

TEST_F(Pixkeep, CapturesAsPngWithExactPixels) {
  ASSERT_NO_FATAL_FAILURE(start(Png));
  QImage corpus(CORPUS_DIR "/ui_640x480.png");
  ASSERT_FALSE(corpus.isNull());
  ASSERT_TRUE(copy(picture(corpus, "ui.png", "PNG"), "image/png"));
  ASSERT_TRUE(pictureSaved(1));
  expectSamePixels(file(1), corpus);
  expectImageMagickReads(file(1), corpus, root);
}

TEST_F(Pixkeep, CapturesEveryPictureTypeWithExactPixels) {
  ASSERT_NO_FATAL_FAILURE(start(Bitmap));
  QImage alpha(23, 17, QImage::Format_ARGB32);
  for (int y = 0; y < 17; ++y)
    for (int x = 0; x < 23; ++x) alpha.setPixel(x, y, qRgba(200, x * 10, y * 12, (x * 11) & 255));
  QImage corpus(CORPUS_DIR "/ui_640x480.png");
  ASSERT_FALSE(corpus.isNull());
  // Each is saved with the pixels its decoder gives: for the lossless ones
  // the picture itself, for the JPEG what it decodes to.
  struct Case { QImage image; const char* format; const char* mime; };
  const Case cases[] = {
      {gradient(47, 33, 1), "PNG", "image/png"},
      {gradient(3, 5, 2), "BMP", "image/bmp"},
      {alpha, "PNG", "image/png"},
      {corpus, "PNG", "image/png"},
      {gradient(31, 9, 5), "JPEG", "image/jpeg"},
      // WebP files made by cwebp from the PNG (lossless, the colour under
      // transparent pixels kept).
      {gradient(29, 13, 6), "WEBP", "image/webp"},
      {alpha.mirrored(true, false), "WEBP", "image/webp"},
  };
  int n = 0;
  for (const Case& c : cases) {
    ++n;
    SCOPED_TRACE(std::to_string(n) + ": " + c.mime);
    std::string source = picture(c.image, std::to_string(n) + ".png", "PNG");
    if (std::string(c.format) == "WEBP") {
      const std::string webp = src + std::to_string(n) + ".webp";
      ASSERT_EQ(run({"cwebp", "-quiet", "-lossless", "-exact", source, "-o", webp}, root + "cwebp.log"), 0);
      source = webp;
    } else if (std::string(c.format) != "PNG") {
      source = picture(c.image, std::to_string(n) + "." + c.format, c.format);
    }
    ASSERT_TRUE(copy(source, c.mime));
    ASSERT_TRUE(pictureSaved(n));
    expectSamePixels(file(n), std::string(c.format) == "JPEG" ? QImage(QString::fromStdString(source)) : c.image);
    EXPECT_TRUE(waitFor(clipboardEmpty)) << "the clipboard is emptied";
  }
  EXPECT_TRUE(program.running());
}

// WebP chosen in the window: a lossless file that libwebp's dwebp and
// ImageMagick both read pixel-exact.
TEST_F(Pixkeep, CapturesAsWebpWithExactPixels) {
  ASSERT_NO_FATAL_FAILURE(start(Webp));
  QImage corpus(CORPUS_DIR "/ui_640x480.png");
  ASSERT_FALSE(corpus.isNull());
  ASSERT_TRUE(copy(picture(corpus, "ui.png", "PNG"), "image/png"));
  ASSERT_TRUE(pictureSaved(1));
  ASSERT_EQ(run({"dwebp", "-quiet", file(1), "-ppm", "-o", root + "dwebp.ppm"}, root + "dwebp.log"), 0);
  expectSamePixels(root + "dwebp.ppm", corpus);
  expectImageMagickReads(file(1), corpus, root);
}

TEST_F(Pixkeep, CapturesAsGifOnTheWebSafeColours) {
  ASSERT_NO_FATAL_FAILURE(start(Gif));
  // Colours of the web-safe cube come through exactly.
  QImage cube(41, 23, QImage::Format_RGB32);
  for (int y = 0; y < 23; ++y)
    for (int x = 0; x < 41; ++x) cube.setPixel(x, y, qRgb(51 * (x / 7), 51 * (y / 4), 51 * ((x + y) % 6)));
  ASSERT_TRUE(copy(picture(cube, "cube.png", "PNG"), "image/png"));
  ASSERT_TRUE(pictureSaved(1));
  expectSamePixels(file(1), cube);
  // giflib reads the same single frame, with the capture's 256-entry table.
  std::ifstream in(file(1), std::ios::binary);
  const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), {});
  const pixkeep::test::GiflibPicture gif = pixkeep::test::readWithGiflib(bytes);
  ASSERT_TRUE(gif.ok) << gif.error;
  EXPECT_EQ(gif.signature, "GIF87a");
  ASSERT_EQ(gif.frames.size(), 1u);
  const pixkeep::test::GiflibFrame& frame = gif.frames[0];
  EXPECT_EQ(frame.localTable.size(), 256u);
  ASSERT_EQ(frame.pixels.size(), size_t(41 * 23));
  for (int y = 0; y < 23; ++y)
    for (int x = 0; x < 41; ++x) {
      const pixkeep::test::GiflibColor c = gif.colorOf(frame, frame.pixels[size_t(y * 41 + x)]);
      ASSERT_EQ(qRgb(c.red, c.green, c.blue), cube.pixel(x, y)) << x << "," << y;
    }

  // Other colours are dithered onto the cube: every pixel is a cube colour,
  // and each block of 8 x 8 pixels keeps its colour on average.
  QImage corpus(CORPUS_DIR "/ui_640x480.png");
  ASSERT_FALSE(corpus.isNull());
  ASSERT_TRUE(copy(picture(corpus, "ui.png", "PNG"), "image/png"));
  ASSERT_TRUE(pictureSaved(2));
  QImage got = QImage(QString::fromStdString(file(2))).convertToFormat(QImage::Format_RGB32);
  ASSERT_EQ(got.size(), corpus.size());
  const QImage source = corpus.convertToFormat(QImage::Format_RGB32);
  for (int by = 0; by < 480; by += 8)
    for (int bx = 0; bx < 640; bx += 8) {
      int sum[2][3] = {};
      for (int y = by; y < by + 8; ++y)
        for (int x = bx; x < bx + 8; ++x) {
          const QRgb g = got.pixel(x, y), s = source.pixel(x, y);
          ASSERT_TRUE(qRed(g) % 51 == 0 && qGreen(g) % 51 == 0 && qBlue(g) % 51 == 0) << x << "," << y;
          const int gc[3] = {qRed(g), qGreen(g), qBlue(g)}, sc[3] = {qRed(s), qGreen(s), qBlue(s)};
          for (int c = 0; c < 3; ++c) sum[0][c] += gc[c], sum[1][c] += sc[c];
        }
      for (int c = 0; c < 3; ++c) ASSERT_NEAR(sum[0][c] / 64, sum[1][c] / 64, 26) << "block " << bx << "," << by;
    }
  // ImageMagick reads the pixels Qt reads.
  ASSERT_EQ(run({"convert", file(2), "-depth", "8", "rgb:" + root + "im.rgb"}, root + "convert.log"), 0);
  std::ifstream raw(root + "im.rgb", std::ios::binary);
  std::vector<char> rgb((std::istreambuf_iterator<char>(raw)), {});
  ASSERT_EQ(rgb.size(), size_t(640 * 480 * 3));
  const QImage qtRgb = got.convertToFormat(QImage::Format_RGB888);
  for (int y = 0; y < 480; ++y)
    ASSERT_EQ(0, memcmp(rgb.data() + size_t(y) * 640 * 3, qtRgb.constScanLine(y), 640 * 3)) << "row " << y;
}

TEST_F(Pixkeep, APictureOnTheClipboardAtStartIsNotSaved) {
  ASSERT_TRUE(copy(picture(gradient(10, 10, 3), "pre.png", "PNG"), "image/png"));
  ASSERT_NO_FATAL_FAILURE(start(Bitmap));
  EXPECT_TRUE(waitFor(clipboardEmpty)) << "the program empties the clipboard as it starts";
  EXPECT_TRUE(pictures().empty());
  // The next picture is the first one saved: the one before was not.
  const QImage after = gradient(12, 10, 4);
  ASSERT_TRUE(copy(picture(after, "after.png", "PNG"), "image/png"));
  ASSERT_TRUE(pictureSaved(1));
  EXPECT_EQ(pictures(), std::vector<std::string>{"pxk1.bmp"});
  expectSamePixels(file(1), after);
}

TEST_F(Pixkeep, TextAndEmptyClipboardsAreIgnored) {
  ASSERT_NO_FATAL_FAILURE(start(Bitmap));
  // The program is seen to look at each (it asks which formats there are).
  const struct { const char* what; const char* text; } contents[] = {{"text", "hello\n"}, {"empty", ""}};
  for (const auto& c : contents) {
    SCOPED_TRACE(c.what);
    const std::string log = std::string("owner-") + c.what + ".log";
    ASSERT_TRUE(ownClipboard({"text", c.text, "60"}, log));
    EXPECT_TRUE(waitFor([&] { return hasLine(root + log, "request TARGETS"); })) << "the program looks at the clipboard";
  }
  EXPECT_TRUE(pictures().empty());
  // The next picture is the first one saved: nothing was saved before it.
  const QImage image = gradient(5, 5, 9);
  ASSERT_TRUE(copy(picture(image, "p.png", "PNG"), "image/png"));
  ASSERT_TRUE(pictureSaved(1));
  EXPECT_EQ(pictures(), std::vector<std::string>{"pxk1.bmp"});
  expectSamePixels(file(1), image);
}

TEST_F(Pixkeep, NumberingSkipsExistingFiles) {
  for (int i : {1, 3}) std::ofstream(out + "pxk" + std::to_string(i) + ".bmp") << "x";
  ASSERT_NO_FATAL_FAILURE(start(Bitmap));
  ASSERT_TRUE(copy(picture(gradient(6, 6, 1), "a.png", "PNG"), "image/png"));
  ASSERT_TRUE(pictureSaved(2));
  ASSERT_TRUE(copy(picture(gradient(6, 6, 2), "b.png", "PNG"), "image/png"));
  ASSERT_TRUE(pictureSaved(4));
  EXPECT_EQ(pictures(), (std::vector<std::string>{"pxk1.bmp", "pxk2.bmp", "pxk3.bmp", "pxk4.bmp"}));
}

TEST_F(Pixkeep, ThirtyPicturesInARowAreAllSavedInOrder) {
  ASSERT_NO_FATAL_FAILURE(start(Bitmap));
  std::vector<QImage> images;
  for (int i = 0; i < 30; ++i) {
    images.push_back(gradient(20 + i, 10 + i % 7, i));
    ASSERT_TRUE(copy(picture(images.back(), std::to_string(i) + ".png", "PNG"), "image/png")) << i;
    ASSERT_TRUE(pictureSaved(i + 1)) << i;
  }
  for (int i = 0; i < 30; ++i) expectSamePixels(file(i + 1), images[size_t(i)]);
  EXPECT_EQ(pictures().size(), 30u);
}

// A fault of the output folder, made and mended by the test.
struct FolderFault {
  const char* name;
  const char* make;    // shell commands, run with $OUT set to the output folder
  const char* mend;
};

// The fault's mounts, and the folder, go away with each case, whatever happened.
struct Unmount {
  std::string dir;
  ~Unmount() {
    while (run({"umount", dir}) == 0) {
    }
    fs::remove_all(dir);
  }
};

TEST_F(Pixkeep, PicturesCopiedWhileTheFolderFailsAreAllWrittenInOrderOnceItWorks) {
  const FolderFault faults[] = {
      {"removed", "rm -rf \"$OUT\"", "mkdir \"$OUT\""},
      {"read-only", "mount --bind \"$OUT\" \"$OUT\" && mount -o remount,bind,ro \"$OUT\"", "umount \"$OUT\""},
      {"full", "mount -t tmpfs -o size=256k tmpfs \"$OUT\" && (dd if=/dev/zero of=\"$OUT/filler\" bs=4k 2>/dev/null; true)",
       "rm \"$OUT/filler\""},
  };
  for (const FolderFault& f : faults) {
    SCOPED_TRACE(f.name);
    fs::create_directories(out);
    Unmount unmount{out};
    ASSERT_NO_FATAL_FAILURE(start(Bitmap));
    std::vector<QImage> images;
    std::vector<std::string> files;
    for (int i = 0; i < 3; ++i) {
      images.push_back(gradient(40 + i, 30, 10 * i + 1));
      files.push_back(picture(images.back(), std::string("f") + std::to_string(i) + ".png", "PNG"));
    }
    const std::string outVar = "OUT='" + out.substr(0, out.size() - 1) + "'; ";
    ASSERT_EQ(std::system((outVar + f.make).c_str()), 0) << f.make;
    ASSERT_TRUE(copy(files[0], "image/png"));
    EXPECT_TRUE(waitFor([&] { return program.windowCount() == 2; })) << "an error box appears";
    EXPECT_TRUE(waitFor(clipboardEmpty)) << "the picture is held, so the clipboard is emptied";
    ASSERT_TRUE(copy(files[1], "image/png"));
    EXPECT_TRUE(waitFor(clipboardEmpty)) << "capturing goes on while the box is open";
    EXPECT_TRUE(pictures().empty());

    ASSERT_EQ(std::system((outVar + f.mend).c_str()), 0) << f.mend;
    EXPECT_TRUE(pictureSaved(1)) << "the waiting pictures are written once the folder works";
    EXPECT_TRUE(pictureSaved(2));
    ASSERT_TRUE(copy(files[2], "image/png"));
    EXPECT_TRUE(pictureSaved(3));
    for (int i = 0; i < 3; ++i) expectSamePixels(file(i + 1), images[size_t(i)]);
    EXPECT_EQ(program.windowCount(), 2) << "one box for the failure, none for the pictures behind it";
    EXPECT_EQ(pictures().size(), 3u);
    program = Program();
  }
}

TEST_F(Pixkeep, ClosingWithAPictureWaitingAsksFirst) {
  // Pictures go to a folder of their own, so that the settings beside the
  // program can still be written when the program closes.
  const std::string pictures = root + "pictures/";
  fs::create_directories(pictures);
  std::ofstream(out + "pixkeep.ini") << "[Settings]\nOutputDir=" << pictures << "\n";
  ASSERT_NO_FATAL_FAILURE(start(Bitmap));
  out = pictures;
  const QImage image = gradient(12, 9, 5);
  fs::remove_all(pictures);
  ASSERT_TRUE(copy(picture(image, "w.png", "PNG"), "image/png"));
  ASSERT_TRUE(waitFor([&] { return program.windowCount() == 2; })) << "the error box";
  ASSERT_EQ(run({"xdotool", "key", "Escape"}), 0);
  ASSERT_TRUE(waitFor([&] { return program.windowCount() == 1; }));
  ASSERT_TRUE(program.requestClose());
  EXPECT_TRUE(waitFor([&] { return program.windowCount() == 2; })) << "a question instead of ending";
  EXPECT_TRUE(program.running());
  // Escape keeps the program running; the folder comes back and the picture is written.
  ASSERT_EQ(run({"xdotool", "key", "Escape"}), 0);
  EXPECT_TRUE(waitFor([&] { return program.windowCount() == 1; }));
  EXPECT_TRUE(program.running());
  fs::create_directories(pictures);
  EXPECT_TRUE(pictureSaved(1));
  expectSamePixels(file(1), image);
  // Nothing waits now: closing ends the program without a question.
  ASSERT_TRUE(program.requestClose());
  EXPECT_TRUE(waitFor([&] { return !program.running(); }));
  EXPECT_EQ(program.process()->exitCode(), 0);
  program = Program();  // it ended as asked
}

TEST_F(Pixkeep, KilledWhileWritingLeavesNoPartialFile) {
  // A 4K picture written as PNG takes long enough to be killed in the middle.
  QImage big(3840, 2160, QImage::Format_RGB32);
  for (int y = 0; y < big.height(); ++y) {
    auto* row = reinterpret_cast<QRgb*>(big.scanLine(y));
    for (int x = 0; x < big.width(); ++x) row[x] = qRgb((x * 13 + y * 7) & 255, (x ^ y) & 255, (x * y) & 255);
  }
  const std::string source = picture(big, "big.bmp", "BMP");
  std::srand(12345);
  for (int kill = 0; kill < 20; ++kill) {
    SCOPED_TRACE(kill);
    ASSERT_NO_FATAL_FAILURE(start(Png));
    ASSERT_TRUE(copy(source, "image/bmp"));
    ASSERT_TRUE(waitFor(clipboardEmpty)) << "the picture was taken";
    std::this_thread::sleep_for(Ms(std::rand() % 1500));
    ::kill(program.process()->pid(), SIGKILL);
    ASSERT_TRUE(waitFor([&] { return !program.running(); }));
    program = Program();
    for (const auto& e : fs::directory_iterator(out)) {
      const std::string name = e.path().filename().string();
      EXPECT_EQ(name.find(".part"), std::string::npos) << "a temporary file was left: " << name;
      if (name.rfind("pxk", 0) != 0) continue;
      const QImage saved(QString::fromStdString(e.path().string()));
      EXPECT_EQ(saved.size(), big.size()) << name << " is not a whole picture";
    }
  }
}

TEST_F(Pixkeep, LargePicturesAreSavedAndTooLargeOnesReported) {
  QImageReader::setAllocationLimit(1024);  // megabytes, for reading the saved file here
  ASSERT_NO_FATAL_FAILURE(start(Bitmap));
  QImage large(6000, 6000, QImage::Format_RGB32);
  large.fill(qRgb(10, 200, 30));
  for (int i = 0; i < 6000; ++i) large.setPixel(i, i, qRgb(255, 0, 0));
  ASSERT_TRUE(copy(picture(large, "large.png", "PNG"), "image/png"));
  ASSERT_TRUE(pictureSaved(1, 60s));
  expectSamePixels(file(1), large);

  // A PNG that claims 30000 x 30000 pixels: refused with a box, the program goes on.
  QImage small(2, 2, QImage::Format_RGB32);
  small.fill(Qt::blue);
  const std::string claim = picture(small, "claim.png", "PNG");
  {
    std::fstream f(claim, std::ios::in | std::ios::out | std::ios::binary);
    unsigned char ihdr[17];  // chunk type and data
    f.seekg(12);
    f.read(reinterpret_cast<char*>(ihdr), 17);
    const unsigned char size[8] = {0, 0, 0x75, 0x30, 0, 0, 0x75, 0x30};  // width and height
    std::memcpy(ihdr + 4, size, 8);
    const uLong crc = crc32(crc32(0, nullptr, 0), ihdr, 17);
    const unsigned char crcBytes[4] = {uint8_t(crc >> 24), uint8_t(crc >> 16), uint8_t(crc >> 8), uint8_t(crc)};
    f.seekp(12);
    f.write(reinterpret_cast<const char*>(ihdr), 17);
    f.write(reinterpret_cast<const char*>(crcBytes), 4);
  }
  ASSERT_TRUE(copy(claim, "image/png"));
  EXPECT_TRUE(waitFor([&] { return program.windowCount() == 2; })) << "an error box";
  EXPECT_TRUE(program.running());
  EXPECT_EQ(pictures().size(), 1u);
}

TEST_F(Pixkeep, AClipboardOwnerThatNeverAnswersDoesNotStopCapturing) {
  ASSERT_NO_FATAL_FAILURE(start(Bitmap));
  ASSERT_TRUE(ownClipboard({"hang", "60"}, "owner-hang.log"));
  ASSERT_TRUE(waitFor([&] { return hasLine(root + "owner-hang.log", "request TARGETS"); }))
      << "the program asks the owner that never answers";
  const auto began = Clock::now();
  ASSERT_TRUE(copy(picture(gradient(7, 7, 7), "h.png", "PNG"), "image/png"));
  EXPECT_TRUE(pictureSaved(1, 15s));
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - began).count();
  EXPECT_LE(seconds, 12);
  EXPECT_TRUE(program.running());
}

// Where the controls of the window are, in its client area: the point
// clicked on each (ui/form1.cpp places them; the lower groups start at 80
// and 176).
namespace at {
constexpr int SpinLeftArrow[] = {7, 24};
constexpr int Adv[] = {20, 70};
constexpr int AddText[] = {15, 176 + 24};
constexpr int Edit2[] = {160, 176 + 18};
constexpr int UpLeft[] = {31, 176 + 58};
constexpr int PickColor[] = {156, 176 + 56};
constexpr int X[] = {55, 176 + 147};
constexpr int Y[] = {167, 176 + 147};
}  // namespace at

// The zlib header of the first IDAT chunk of a PNG file: its FLEVEL field
// (0 for deflate levels 0 and 1, 3 for 7 to 9); -1 when there is none.
int pngDeflateLevelField(const std::string& file) {
  const std::string bytes = fileText(file);
  const size_t idat = bytes.find("IDAT");
  if (idat == std::string::npos || idat + 6 > bytes.size()) return -1;
  return (static_cast<unsigned char>(bytes[idat + 5]) >> 6) & 3;
}

TEST_F(Pixkeep, OptionsChosenInTheWindowReachTheNextPicture) {
  ASSERT_NO_FATAL_FAILURE(start(Png));
  const int collapsed = program.height();
  // Compression level 0: the slider's left arrow, more often than needed.
  ASSERT_NO_FATAL_FAILURE(program.click(at::SpinLeftArrow[0], at::SpinLeftArrow[1], 12));
  ASSERT_NO_FATAL_FAILURE(program.click(at::Adv[0], at::Adv[1]));
  ASSERT_TRUE(waitFor([&] { return program.height() == collapsed + 412 - 145; })) << "the advanced options open";
  // The stamp: on, its text, the upper left corner, 20 and 12 pixels from the edges.
  ASSERT_NO_FATAL_FAILURE(program.click(at::AddText[0], at::AddText[1]));
  ASSERT_NO_FATAL_FAILURE(program.click(at::Edit2[0], at::Edit2[1]));
  ASSERT_NO_FATAL_FAILURE(program.type("PIXKEEP"));
  ASSERT_NO_FATAL_FAILURE(program.click(at::UpLeft[0], at::UpLeft[1]));
  for (const auto& [field, value] : {std::pair{at::X, "20"}, std::pair{at::Y, "12"}}) {
    ASSERT_NO_FATAL_FAILURE(program.click(field[0], field[1]));
    ASSERT_NO_FATAL_FAILURE(program.keys({"ctrl+a"}));
    ASSERT_NO_FATAL_FAILURE(program.type(value));
  }
  // Blue, typed into the colour dialog's HTML field.
  ASSERT_NO_FATAL_FAILURE(program.click(at::PickColor[0], at::PickColor[1]));
  ASSERT_TRUE(waitFor([&] { return program.dialogOpen(); })) << "the colour dialog opens";
  ASSERT_NO_FATAL_FAILURE(program.keys({"alt+h", "ctrl+a"}));
  ASSERT_NO_FATAL_FAILURE(program.type("#0000ff"));
  ASSERT_NO_FATAL_FAILURE(program.keys({"Return"}));
  ASSERT_TRUE(waitFor([&] { return !program.dialogOpen(); })) << "the colour dialog closes";

  QImage white(200, 40, QImage::Format_RGB32);
  white.fill(Qt::white);
  ASSERT_TRUE(copy(picture(white, "white.png", "PNG"), "image/png"));
  ASSERT_TRUE(pictureSaved(1));
  EXPECT_EQ(pngDeflateLevelField(file(1)), 0) << "compression level 0, not the starting 9";
  QImage got(QString::fromStdString(file(1)));
  ASSERT_EQ(got.size(), white.size());
  got = got.convertToFormat(QImage::Format_RGB32);
  int stamped = 0, fullBlue = 0;
  for (int y = 0; y < got.height(); ++y)
    for (int x = 0; x < got.width(); ++x) {
      const QRgb p = got.pixel(x, y);
      if (p == qRgb(255, 255, 255)) continue;
      ++stamped;
      // Upper left, 20 and 12 pixels in: nothing above or left of that, nor on the right half.
      EXPECT_TRUE(x >= 20 && y >= 12 && x < 100) << x << "," << y;
      // Blue blended into white, without a box behind it.
      EXPECT_TRUE(qBlue(p) == 255 && qRed(p) == qGreen(p)) << x << "," << y << " is " << std::hex << p;
      if (p == qRgb(0, 0, 255)) ++fullBlue;
    }
  EXPECT_GT(stamped, 50) << "the text is drawn";
  EXPECT_GT(fullBlue, 10) << "in the chosen colour";

  // Closing the window stores the stamp; the colour was stored when chosen.
  ASSERT_TRUE(program.requestClose());
  ASSERT_TRUE(program.process()->waitForEnd(Deadline)) << "closing ends the program";
  EXPECT_EQ(program.process()->exitCode(), 0);
  program = Program();  // ended, as it should
  const std::string settings = out + "pixkeep.ini";
  for (const char* line : {"LastText=PIXKEEP", "TextPos=2", "AddText=1", "TextBG=0", "TextColor=16711680",
                           "ImageType=PNG", "Slider=0"})
    EXPECT_TRUE(hasLine(settings, line)) << line << " in\n" << fileText(settings);

  // The next start is PNG at level 0 again, without choosing.
  ASSERT_NO_FATAL_FAILURE(program.start(out, root + "pixkeep.log"));
  ASSERT_TRUE(copy(picture(white, "white2.png", "PNG"), "image/png"));
  ASSERT_TRUE(pictureSaved(2));
  EXPECT_EQ(pngDeflateLevelField(file(2)), 0) << "the remembered level, not PNG's 9";
}

TEST_F(Pixkeep, ExitFromTheFileMenuStoresNothing) {
  const std::string settings = out + "pixkeep.ini";
  const std::string before = "[Settings]\nLastText=before\nTextPos=3\n";
  std::ofstream(settings) << before;
  ASSERT_NO_FATAL_FAILURE(start());
  ASSERT_NO_FATAL_FAILURE(program.click(at::Adv[0], at::Adv[1]));
  ASSERT_TRUE(waitFor([&] { return program.height() > 300; })) << "the advanced options open";
  ASSERT_NO_FATAL_FAILURE(program.click(at::Edit2[0], at::Edit2[1]));
  ASSERT_NO_FATAL_FAILURE(program.keys({"ctrl+a"}));
  ASSERT_NO_FATAL_FAILURE(program.type("after"));
  ASSERT_NO_FATAL_FAILURE(program.click(at::UpLeft[0], at::UpLeft[1]));
  // File (the menu bar's first title, above the client area), then its Exit.
  ASSERT_NO_FATAL_FAILURE(program.click(12, -8));
  ASSERT_TRUE(waitFor([&] { return program.menuOpen(); })) << "the File menu opens";
  ASSERT_NO_FATAL_FAILURE(program.keys({"e"}));
  ASSERT_TRUE(program.process()->waitForEnd(Deadline)) << "Exit ends the program";
  EXPECT_EQ(program.process()->exitCode(), 0);
  program = Program();  // ended, as it should
  EXPECT_EQ(fileText(settings), before);
}

// With a tray (trayer) on the display.
class Tray : public Pixkeep {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(Pixkeep::SetUp());
    helper({"trayer", "--edge", "top", "--align", "right", "--widthtype", "request", "--height", "24",
            "--SetDockType", "false"},
           "trayer.log");
    ASSERT_TRUE(waitFor([] { return xserver.trayPresent(); })) << "trayer offers no tray";
  }
  void TearDown() override {
    Pixkeep::TearDown();
    ASSERT_TRUE(waitFor([] { return !xserver.trayPresent(); })) << "trayer did not end";
  }
  // After later starts: one capturer, every picture exactly one file, and
  // the window still in the tray.
  void expectOneCapturerInTray() {
    ASSERT_TRUE(copy(picture(gradient(9, 7, 1), "a.png", "PNG"), "image/png"));
    ASSERT_TRUE(pictureSaved(1));
    ASSERT_TRUE(copy(picture(gradient(9, 7, 2), "b.png", "PNG"), "image/png"));
    ASSERT_TRUE(pictureSaved(2));
    EXPECT_EQ(pictures(), (std::vector<std::string>{"pxk1.jpg", "pxk2.jpg"})) << "one capturer";
    EXPECT_TRUE(inTray()) << "the hidden start did not bring the window back";
  }
  // The window hidden behind one tray icon.
  testing::AssertionResult inTray() {
    if (!waitFor([&] { return !program.shown() && program.trayIcons() == 1; }))
      return testing::AssertionFailure() << "shown: " << program.shown() << ", tray icons: " << program.trayIcons();
    return testing::AssertionSuccess();
  }
  // The window on the screen and no tray icon.
  testing::AssertionResult onScreen() {
    if (!waitFor([&] { return program.shown() && program.trayIcons() == 0; }))
      return testing::AssertionFailure() << "shown: " << program.shown() << ", tray icons: " << program.trayIcons();
    return testing::AssertionSuccess();
  }
};

TEST_F(Tray, HiddenStartThenShowHideAndExitThroughTheIcon) {
  const std::string settings = out + "pixkeep.ini";
  const std::string before = "[Settings]\nLastText=before\n";
  std::ofstream(settings) << before;
  ASSERT_NO_FATAL_FAILURE(start(Jpeg, {"-hide"}));
  EXPECT_EQ(program.title(), "Hiding...") << "the window is shown first under the hiding caption";
  EXPECT_EQ(program.trayIcons(), 0u);
  ASSERT_TRUE(inTray()) << "a second later only the icon is left";
  EXPECT_EQ(program.title(), "Pixkeep") << "the caption is restored";

  // Capturing goes on while hidden.
  ASSERT_TRUE(copy(picture(gradient(7, 5, 1), "a.png", "PNG"), "image/png"));
  EXPECT_TRUE(pictureSaved(1));

  // The right button opens the tray menu; "Show window" brings the window back.
  ASSERT_NO_FATAL_FAILURE(program.clickTrayIcon(3));
  ASSERT_TRUE(waitFor([&] { return program.menuOpen(); })) << "the tray menu opens";
  ASSERT_NO_FATAL_FAILURE(program.keys({"s"}));
  ASSERT_TRUE(onScreen());

  // The "Hide window" link, then a double click on the icon.
  ASSERT_NO_FATAL_FAILURE(program.click(170, 5));
  ASSERT_TRUE(inTray());
  // A single click does nothing.
  ASSERT_NO_FATAL_FAILURE(program.clickTrayIcon(1));
  ASSERT_TRUE(copy(picture(gradient(7, 5, 2), "b.png", "PNG"), "image/png"));
  EXPECT_TRUE(pictureSaved(2));
  EXPECT_FALSE(program.shown());
  EXPECT_FALSE(program.menuOpen());
  ASSERT_NO_FATAL_FAILURE(program.clickTrayIcon(1, 2));
  ASSERT_TRUE(onScreen());

  // Hidden again, "Exit" from the tray menu ends the program and stores nothing.
  ASSERT_NO_FATAL_FAILURE(program.click(170, 5));
  ASSERT_TRUE(inTray());
  ASSERT_NO_FATAL_FAILURE(program.clickTrayIcon(3));
  ASSERT_TRUE(waitFor([&] { return program.menuOpen(); })) << "the tray menu opens";
  ASSERT_NO_FATAL_FAILURE(program.keys({"e"}));
  ASSERT_TRUE(program.process()->waitForEnd(Deadline)) << "Exit ends the program";
  EXPECT_EQ(program.process()->exitCode(), 0);
  program = Program();
  EXPECT_EQ(fileText(settings), before);
}

TEST_F(Tray, OnlyAnExactFirstArgumentStartsHidden) {
  const std::vector<std::string> visible[] = {{"/HIDE"}, {"x", "-hide"}, {"-hide2"}, {"hide"}};
  for (const auto& args : visible) {
    SCOPED_TRACE(args[0]);
    ASSERT_NO_FATAL_FAILURE(start(Jpeg, args));
    EXPECT_EQ(program.title(), "Pixkeep");
    // A program started later with "-hide" hides after its second; by then
    // this one would have hidden too. It runs as if in a session of its own
    // (another runtime directory): in the same one it would leave this
    // program alone and end.
    const std::string other = makeTempDir("pixkeep-e2e-hide");
    Program hiding;
    ASSERT_NO_FATAL_FAILURE(hiding.start(other, root + "hiding.log", {"/hide"}, {"XDG_RUNTIME_DIR=" + other}));
    EXPECT_TRUE(waitFor([&] { return !hiding.shown() && hiding.trayIcons() == 1; })) << "/hide starts hidden";
    EXPECT_TRUE(program.shown());
    EXPECT_EQ(program.trayIcons(), 0u);
    hiding = Program();
    program = Program();
    fs::remove_all(other);
  }
}

// ---- One Pixkeep per user and display, and the options that only answer.

TEST_F(Tray, ASecondStartShowsTheRunningWindowAndEnds) {
  ASSERT_NO_FATAL_FAILURE(start(Jpeg, {"-hide"}));
  ASSERT_TRUE(inTray());
  Process second({out + "pixkeep"}, root + "second.log");
  ASSERT_TRUE(second.waitForEnd(Deadline)) << "the second start goes on running";
  EXPECT_EQ(second.exitCode(), 0) << second.describe();
  EXPECT_TRUE(onScreen()) << "the running program's window comes back";

  // A hidden second start (as at log-in) leaves the running one as it is.
  ASSERT_NO_FATAL_FAILURE(program.click(170, 5));
  ASSERT_TRUE(inTray());
  Process hidden({out + "pixkeep", "-hide"}, root + "second.log");
  ASSERT_TRUE(hidden.waitForEnd(Deadline));
  EXPECT_EQ(hidden.exitCode(), 0) << hidden.describe();

  ASSERT_NO_FATAL_FAILURE(expectOneCapturerInTray());
  EXPECT_TRUE(program.running());
}

// A lock that cannot be taken (here a dangling link at its name, which is
// never followed) is named on the error output; the program runs without it
// but still listens, and a later start hands over to it as to one that holds
// the lock.
TEST_F(Tray, AStartThatCannotLockSaysWhyAndIsStillFound) {
  const std::string run = root + "run/", linkTarget = root + "made-by-the-link";
  ASSERT_EQ(mkdir(run.c_str(), 0700), 0);
  std::string display = std::getenv("DISPLAY");
  display = display.substr(display.find(':') + 1);
  const std::string lock = run + "pixkeep-" + display.substr(0, display.find('.')) + ".lock";
  ASSERT_EQ(symlink(linkTarget.c_str(), lock.c_str()), 0);
  const std::string said = "Pixkeep: no lock against a second Pixkeep on this display: " + lock + " is a symbolic link";

  ASSERT_NO_FATAL_FAILURE(program.start(out, root + "pixkeep.log", {"-hide"}, {"XDG_RUNTIME_DIR=" + run}));
  ASSERT_TRUE(inTray());
  EXPECT_TRUE(hasLine(root + "pixkeep.log", said)) << fileText(root + "pixkeep.log");

  Process second({"env", "XDG_RUNTIME_DIR=" + run, out + "pixkeep"}, root + "second.log");
  ASSERT_TRUE(second.waitForEnd(Deadline)) << "the second start goes on running";
  EXPECT_EQ(second.exitCode(), 0) << second.describe();
  EXPECT_TRUE(hasLine(root + "second.log", said)) << fileText(root + "second.log");
  EXPECT_TRUE(onScreen()) << "the running program's window comes back";
  ASSERT_NO_FATAL_FAILURE(program.click(170, 5));
  ASSERT_TRUE(inTray());
  Process hidden({"env", "XDG_RUNTIME_DIR=" + run, out + "pixkeep", "-hide"}, root + "second.log");
  ASSERT_TRUE(hidden.waitForEnd(Deadline));
  EXPECT_EQ(hidden.exitCode(), 0) << hidden.describe();

  ASSERT_NO_FATAL_FAILURE(expectOneCapturerInTray());
  struct stat st {};
  EXPECT_NE(lstat(linkTarget.c_str(), &st), 0) << "the link's target was made";
}

TEST_F(Pixkeep, AStartAfterAKilledProgramRunsAndCaptures) {
  ASSERT_NO_FATAL_FAILURE(start());
  const std::string runtime = std::getenv("XDG_RUNTIME_DIR");
  const auto leftovers = [&] {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(runtime))
      if (e.path().filename().string().rfind("pixkeep-", 0) == 0) names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    return names;
  };
  ASSERT_EQ(leftovers().size(), 2u) << "a lock and a socket: " << testing::PrintToString(leftovers());
  kill(program.process()->pid(), SIGKILL);
  ASSERT_TRUE(program.process()->waitForEnd(Deadline));
  program = Program();
  const std::vector<std::string> stale = leftovers();
  EXPECT_EQ(stale.size(), 2u) << "a killed program leaves its socket behind";

  ASSERT_NO_FATAL_FAILURE(start());
  ASSERT_TRUE(copy(picture(gradient(5, 3, 1), "a.png", "PNG"), "image/png"));
  EXPECT_TRUE(pictureSaved(1));
  EXPECT_EQ(leftovers(), stale) << "the same names, taken over";
}

TEST_F(Pixkeep, OnePerDisplayHoweverItIsWritten) {
  ASSERT_NO_FATAL_FAILURE(start());
  const std::string display = std::getenv("DISPLAY");
  // The same display with a screen number, or through its "unix" name: the start hands over.
  for (const std::string& spelling : {display + ".0", "unix" + display}) {
    Process same({"env", "DISPLAY=" + spelling, out + "pixkeep"}, root + "same.log");
    ASSERT_TRUE(same.waitForEnd(Deadline)) << spelling;
    EXPECT_EQ(same.exitCode(), 0) << spelling << ": " << same.describe();
  }
  // Another X server has a clipboard of its own, and a Pixkeep of its own.
  std::string otherDisplay;
  const std::unique_ptr<Process> xvfb = startXvfb(root + "xvfb2.log", otherDisplay);
  ASSERT_TRUE(xvfb && !otherDisplay.empty()) << fileText(root + "xvfb2.log");
  XServer other;
  ASSERT_TRUE(other.open(otherDisplay));
  Process there({"env", "DISPLAY=" + otherDisplay, out + "pixkeep"}, root + "there.log");
  EXPECT_TRUE(waitFor([&] { return other.windowsOf(there.pid()).size() == 1 || !there.running(); }));
  EXPECT_TRUE(there.running()) << there.describe();
  EXPECT_TRUE(program.running());
  ASSERT_TRUE(copy(picture(gradient(5, 3, 1), "a.png", "PNG"), "image/png"));
  EXPECT_TRUE(pictureSaved(1));
  there.stop();
  other.close();
}

TEST_F(Pixkeep, VersionAndHelpAnswerWithoutADisplayAndLeaveTheClipboardAlone) {
  fs::copy_file(PIXKEEP_BINARY, out + "pixkeep");
  ASSERT_TRUE(copy(picture(gradient(5, 3, 1), "a.png", "PNG"), "image/png"));
  const unsigned long owner = xserver.clipboardOwner();
  struct Case { std::vector<std::string> args; std::vector<std::string> lines; };
  const Case cases[] = {
      {{"--version"}, {"Pixkeep " PIXKEEP_VERSION}},
      {{"--help"}, {"Usage: pixkeep [-hide | /hide | --version | --help] [--clipboard=x11|wayland]",
                    "  -hide, /hide  start hidden: the window goes to the tray after a second",
                    "  --version     print the version and exit", "  --help        print this help and exit"}},
  };
  for (const Case& c : cases) {
    for (bool display : {true, false}) {
      SCOPED_TRACE(c.args[0] + (display ? " on the display" : " without a display"));
      const std::string log = root + "answer.log";
      fs::remove(log);
      std::vector<std::string> command{"env"};
      if (!display) command.insert(command.end(), {"-u", "DISPLAY"});
      command.push_back(out + "pixkeep");
      command.insert(command.end(), c.args.begin(), c.args.end());
      EXPECT_EQ(run(command, log), 0);
      for (const std::string& line : c.lines) EXPECT_TRUE(hasLine(log, line)) << line << " in\n" << fileText(log);
    }
  }
  EXPECT_EQ(xserver.clipboardOwner(), owner) << "the picture is still on the clipboard";
  EXPECT_EQ(pictures(), std::vector<std::string>{});
  EXPECT_FALSE(fs::exists(out + "pixkeep.ini"));
}

// ---- Clipboards in the wild: owners that are slow, silent, large or replaced
// while they are read, and clipboard managers that put pictures back.

TEST_F(Pixkeep, APictureCopiedWhileTheOneBeforeIsReadKeepsTheClipboard) {
  ASSERT_NO_FATAL_FAILURE(start(Bitmap));
  pictureCopiedWhileTheOneBeforeIsReadIsSavedNext();
}

TEST_F(Pixkeep, TheWindowGoesOnWhileAnOwnerIsSlowAndAFailedFetchIsTriedAgain) {
  ASSERT_NO_FATAL_FAILURE(start(Bitmap));
  const QImage image = gradient(30, 20, 4);
  const std::string source = picture(image, "slow.png", "PNG");
  // Refuses twice, then answers after three seconds: while the program
  // waits for it, its window still answers the user.
  ASSERT_TRUE(ownClipboard({"png", source, "3000", "2", "60"}, "owner-flaky.log"));
  ASSERT_TRUE(waitFor([&] { return lineCount(root + "owner-flaky.log", "request image/png") == 3; }))
      << "two refusals are tried again";
  ASSERT_NO_FATAL_FAILURE(program.chooseType(Png));
  EXPECT_FALSE(hasLine(root + "owner-flaky.log", "answered image/png")) << "the type was chosen during the wait";
  type = Png;
  ASSERT_TRUE(pictureSaved(1));
  expectSamePixels(file(1), image);
  EXPECT_TRUE(waitFor(clipboardEmpty));
}

TEST_F(Pixkeep, AnOwnerThatNeverHandsThePictureOverIsReportedOnceAndCapturingGoesOn) {
  ASSERT_NO_FATAL_FAILURE(start(Bitmap));
  silentOwnerIsReportedOnceAndCapturingGoesOn();
}

TEST_F(Pixkeep, ALargePictureFromAGtkProgramArrivesInIncrChunks) {
  ASSERT_NO_FATAL_FAILURE(start(Bitmap));
  // Noise does not compress: its PNG is far larger than GTK's 256 KiB chunk.
  const QImage image = noise(700, 500, 7);
  const std::string source = picture(image, "large.png", "PNG");
  ASSERT_GT(fs::file_size(source), 4u * 262144u);
  Process& gtk = helper({GTK_OWNER_SCRIPT, source, "60"}, "gtk.log");
  ASSERT_TRUE(waitFor([&] { return hasLine(root + "gtk.log", "owner") || !gtk.running(); })) << gtk.describe();
  ASSERT_TRUE(pictureSaved(1)) << fileText(root + "gtk.log");
  expectSamePixels(file(1), image);
  EXPECT_TRUE(waitFor(clipboardEmpty));
}

TEST_F(Pixkeep, AClipboardManagersCopyOfThePictureJustSavedIsNotSavedAgain) {
  ASSERT_NO_FATAL_FAILURE(start(Bitmap));
  const QImage images[] = {gradient(40, 30, 1), gradient(41, 30, 2), gradient(42, 30, 3)};
  const std::string log = root + "manager.log";
  Process& manager = helper({CLIPBOARD_MANAGER_SCRIPT, "120", picture(images[0], "a.png", "PNG"),
                             picture(images[1], "b.png", "PNG"), picture(images[2], "c.png", "PNG")},
                            "manager.log");
  ASSERT_TRUE(waitFor([&] { return hasLine(log, "owner") || !manager.running(); })) << manager.describe();
  for (int n = 1; n <= 3; ++n) {
    SCOPED_TRACE("picture " + std::to_string(n));
    ASSERT_TRUE(pictureSaved(n));
    expectSamePixels(file(n), images[n - 1]);
    // The manager puts the picture back, and the program reads it (one
    // request for the picture, one for its copy) and leaves it there.
    ASSERT_TRUE(waitFor([&] { return lineCount(log, "restored") == n; })) << fileText(log);
    ASSERT_TRUE(waitFor([&] { return lineCount(log, "request image/png") == 2 * n; })) << fileText(log);
    // The next picture, picked in the manager's history, is the sync point:
    // had the copy been saved, it would have taken the next number.
    if (n < 3) kill(manager.pid(), SIGUSR1);
  }
  EXPECT_FALSE(clipboardEmpty()) << "the last copy stays on the clipboard";
  EXPECT_EQ(pictures().size(), 3u);
  EXPECT_EQ(lineCount(log, "restored"), 3) << "nothing was emptied again";
}

TEST_F(Pixkeep, TwentyPicturesFromAMixOfOwnersBesideGPasteAreEachSavedOnce) {
  ASSERT_NO_FATAL_FAILURE(start(Bitmap));
  ASSERT_TRUE(startGPaste());
  // Who copies each picture, in turn, and how long after the one before.
  enum Owner { Xclip, Gtk, Qt, Slow };
  const Owner owners[] = {Xclip, Gtk, Qt, Slow};
  const int gaps[] = {300, 1000, 450, 700, 550, 850, 350, 600, 950, 400};
  std::vector<QImage> images;
  for (int n = 1; n <= 20; ++n) {
    SCOPED_TRACE("picture " + std::to_string(n));
    images.push_back(gradient(30 + n, 20 + n % 7, n));
    const std::string name = "p" + std::to_string(n) + ".png", source = picture(images.back(), name, "PNG");
    const std::string log = "owner" + std::to_string(n) + ".log";
    switch (owners[n % 4]) {
      case Xclip: ASSERT_TRUE(copy(source, "image/png")); break;
      case Slow: ASSERT_TRUE(ownClipboard({"png", source, "150", "0", "30"}, log)); break;
      case Gtk:
      case Qt: {
        Process& owner = helper({owners[n % 4] == Gtk ? GTK_OWNER_SCRIPT : QT_OWNER_SCRIPT, source, "30"}, log);
        ASSERT_TRUE(waitFor([&] { return hasLine(root + log, "owner") || !owner.running(); })) << owner.describe();
        break;
      }
    }
    std::this_thread::sleep_for(Ms(gaps[n % 10]));
  }
  ASSERT_TRUE(pictureSaved(20));
  for (int n = 1; n <= 20; ++n) {
    SCOPED_TRACE("picture " + std::to_string(n));
    expectSamePixels(file(n), images[size_t(n - 1)]);
  }
  // GPaste puts the last one back at once: it is not saved again.
  std::this_thread::sleep_for(pixkeep::CaptureCycle::RestoreInterval + 500ms);
  EXPECT_EQ(pictures().size(), 20u);
  EXPECT_EQ(program.windowCount(), 1) << "no error box";
}

// A program that copies and exits hands its clipboard to the clipboard
// manager (ICCCM: CLIPBOARD_MANAGER, SAVE_TARGETS) and waits for its
// answer; xfce4-screenshooter -f -c owns the clipboard for a moment only.
// Without a manager Pixkeep holds the role; beside GPaste the screenshot
// is still saved once.
void Pixkeep::screenshotOfAProgramThatExits(bool besideGPaste) {
  ASSERT_NO_FATAL_FAILURE(start(Png));
  if (besideGPaste) {
    ASSERT_TRUE(startGPaste());
  }
  // On the tests' own X server, nobody but Pixkeep can hold it without GPaste.
  ASSERT_TRUE(waitFor([&] { return xserver.selectionOwner("CLIPBOARD_MANAGER") != 0; }))
      << "nobody holds CLIPBOARD_MANAGER";
  // The same screen, to a file first: the screenshot copied must be it.
  auto screenshooter = [&](std::vector<std::string> args, const std::string& log) {
    args.insert(args.begin(), {"dbus-run-session", "--", "xfce4-screenshooter", "-f"});
    return run(args, root + log);
  };
  ASSERT_EQ(screenshooter({"-s", root + "screen.png"}, "screen.log"), 0) << fileText(root + "screen.log");
  const QImage screen(QString::fromStdString(root + "screen.png"));
  ASSERT_FALSE(screen.isNull());
  ASSERT_EQ(screenshooter({"-c"}, "copy.log"), 0) << fileText(root + "copy.log");
  ASSERT_TRUE(pictureSaved(1)) << fileText(root + "pixkeep.log");
  expectSamePixels(file(1), screen);
  std::this_thread::sleep_for(pixkeep::CaptureCycle::RestoreInterval + 500ms);
  EXPECT_EQ(pictures().size(), 1u);
  EXPECT_EQ(program.windowCount(), 1) << "no error box";
}

TEST_F(Pixkeep, AScreenshotFromAProgramThatCopiesAndExitsIsSavedOnce) { screenshotOfAProgramThatExits(false); }
TEST_F(Pixkeep, AScreenshotFromAProgramThatCopiesAndExitsIsSavedOnceBesideGPaste) {
  screenshotOfAProgramThatExits(true);
}

TEST_F(Pixkeep, APictureThereAtStartThatGPastePutsBackIsNotSaved) {
  ASSERT_TRUE(startGPaste());
  // As at log-in: the picture last copied is on the clipboard (GPaste's by now).
  const QImage before = gradient(26, 18, 7);
  ASSERT_TRUE(copy(picture(before, "before.png", "PNG"), "image/png"));
  std::this_thread::sleep_for(500ms);  // GPaste has taken it over
  ASSERT_NO_FATAL_FAILURE(start(Bitmap));
  // The program empties the clipboard of it, GPaste puts it back at once.
  std::this_thread::sleep_for(pixkeep::CaptureCycle::RestoreInterval + 500ms);
  EXPECT_TRUE(pictures().empty()) << "the picture there at start was saved";
  const QImage after = gradient(27, 18, 8);
  ASSERT_TRUE(copy(picture(after, "after.png", "PNG"), "image/png"));
  ASSERT_TRUE(pictureSaved(1));
  expectSamePixels(file(1), after);
  std::this_thread::sleep_for(pixkeep::CaptureCycle::RestoreInterval + 500ms);
  EXPECT_EQ(pictures(), std::vector<std::string>{"pxk1.bmp"});
}

TEST_F(Pixkeep, ALargeGtkPictureAndASmallOneCopiedHalfASecondLaterAreBothSaved) {
  ASSERT_NO_FATAL_FAILURE(start(Bitmap));
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    // Another large picture each round: the same one again so soon would be
    // taken for a clipboard manager's copy.
    const QImage large = gradient(3840, 2160, 3 + round);
    const std::string largeSource = picture(large, "large" + std::to_string(round) + ".png", "PNG");
    const std::string log = "gtk" + std::to_string(round) + ".log";
    Process& gtk = helper({GTK_OWNER_SCRIPT, largeSource, "60"}, log);
    ASSERT_TRUE(waitFor([&] { return hasLine(root + log, "owner") || !gtk.running(); })) << gtk.describe();
    std::this_thread::sleep_for(500ms);
    const QImage small = gradient(25, 15, 10 + round);
    ASSERT_TRUE(copy(picture(small, "small" + std::to_string(round) + ".png", "PNG"), "image/png"));
    ASSERT_TRUE(pictureSaved(2 * round + 2));
    expectSamePixels(file(2 * round + 1), large);
    expectSamePixels(file(2 * round + 2), small);
    EXPECT_TRUE(waitFor(clipboardEmpty));
  }
  EXPECT_EQ(pictures().size(), 6u);
}

TEST_F(Pixkeep, APictureCopiedFromCopyQsHistoryIsSaved) {
  ASSERT_NO_FATAL_FAILURE(start(Bitmap));
  // CopyQ, a clipboard manager built on Qt 5, with a home of its own.
  const std::string home = root + "copyq-home";
  fs::create_directories(home);
  auto copyq = [&](const std::string& command) { return "HOME='" + home + "' copyq " + command; };
  Process& server = helper({"env", "HOME=" + home, "copyq"}, "copyq.log");
  ASSERT_TRUE(waitFor([&] { return run({"sh", "-c", copyq("count")}) == 0 || !server.running(); }))
      << "CopyQ did not start: " << server.describe() << "\n" << fileText(root + "copyq.log");
  // A picture put on the clipboard by CopyQ itself, as when it is picked in its history.
  const QImage image = gradient(33, 21, 8);
  const std::string source = picture(image, "copyq.png", "PNG");
  ASSERT_EQ(run({"sh", "-c", copyq("copy image/png - < '" + source + "'")}, root + "copyq.log"), 0);
  ASSERT_TRUE(pictureSaved(1));
  expectSamePixels(file(1), image);
  EXPECT_TRUE(waitFor(clipboardEmpty));
  // With CopyQ watching the clipboard, pictures of other programs are saved once each.
  const QImage next = gradient(34, 22, 9);
  ASSERT_TRUE(copy(picture(next, "next.png", "PNG"), "image/png"));
  ASSERT_TRUE(pictureSaved(2));
  expectSamePixels(file(2), next);
  EXPECT_TRUE(waitFor(clipboardEmpty));
  EXPECT_EQ(pictures().size(), 2u);
  EXPECT_TRUE(server.running()) << server.describe();
}

// Clipboard managers that keep pictures: each reads every new picture, and
// Diodon puts its last entry back whenever the clipboard is emptied. Beside
// either, ten pictures make ten files in order, the picture there at start
// is never saved, and the manager's history keeps every picture.
void Pixkeep::besideAManager(Manager manager) {
  Pixkeep& t = *this;
  const std::string name = manager == Manager::Diodon ? "diodon" : "copyq";
  const std::string home = t.root + name + "-home";
  fs::create_directories(home);
  auto copyq = [&](const std::string& command) { return "HOME='" + home + "' copyq " + command; };
  if (manager == Manager::Diodon) {
    Process& diodon = t.helper({DIODON_MANAGER_SCRIPT, home}, "diodon.log");
    ASSERT_TRUE(waitFor([&] { return hasLine(t.root + "diodon.log", "ready") || !diodon.running(); }) &&
                diodon.running())
        << "Diodon did not start: " << diodon.describe() << "\n" << fileText(t.root + "diodon.log");
  } else {
    Process& server = t.helper({"env", "HOME=" + home, "copyq"}, "copyq.log");
    ASSERT_TRUE(waitFor([&] { return run({"sh", "-c", copyq("count")}) == 0 || !server.running(); }))
        << "CopyQ did not start: " << server.describe() << "\n" << fileText(t.root + "copyq.log");
  }
  // Copies a picture with an owner of ours and waits until the manager has
  // asked for it (and Pixkeep too, once it runs).
  auto copyAndWait = [&](const QImage& image, const std::string& file, int readers) {
    const std::string log = file + ".log";
    return t.ownClipboard({"png", t.picture(image, file, "PNG"), "0", "0", "60"}, log) &&
           waitFor([&] { return lineCount(t.root + log, "request image/png") >= readers; });
  };
  auto copyqCount = [&] {
    if (run({"sh", "-c", copyq("count") + " > '" + t.root + "copyq-count'"}) != 0) return -1;
    return std::stoi(fileText(t.root + "copyq-count"));
  };
  // A manager watches the clipboard a moment after it started (CopyQ keeps
  // nothing of the first picture it sees): pictures are copied until it has
  // read one (Diodon) or keeps one (CopyQ).
  bool watching = false;
  for (int n = 0; n < 30 && !watching; ++n) {
    const std::string log = "warm-up" + std::to_string(n) + ".log";
    ASSERT_TRUE(t.ownClipboard({"png", t.picture(gradient(9, 9, n), "warm-up.png", "PNG"), "0", "0", "60"}, log));
    watching = manager == Manager::Diodon
                   ? waitFor([&] { return lineCount(t.root + log, "request image/png") >= 1; }, 1000ms)
                   : waitFor([&] { return copyqCount() >= 1; }, 1000ms);
  }
  ASSERT_TRUE(watching) << name << " never took a picture in";
  const int kept = manager == Manager::CopyQ ? copyqCount() : 0;
  // As at log-in: the picture last copied is on the clipboard, and in the history.
  ASSERT_TRUE(copyAndWait(gradient(29, 17, 40), "before.png", 1));
  if (manager == Manager::CopyQ) {
    ASSERT_TRUE(waitFor([&] { return copyqCount() == kept + 1; })) << copyqCount();
  }
  ASSERT_NO_FATAL_FAILURE(t.start(Bitmap));
  // A picture a second, as a person copies them.
  std::vector<QImage> images;
  auto next = Clock::now();
  for (int n = 1; n <= 10; ++n) {
    SCOPED_TRACE("picture " + std::to_string(n));
    std::this_thread::sleep_until(next);
    next += 1s;
    // Every other one a 16-bit PNG, which GTK managers give back with 8 bits.
    const QImage image = gradient(30 + n, 18 + n % 5, 40 + n);
    images.push_back(n % 2 ? image : deep(image));
    ASSERT_TRUE(copyAndWait(images.back(), "p" + std::to_string(n) + ".png", 2));
    ASSERT_TRUE(t.pictureSaved(n));
  }
  // Whatever the manager puts back meanwhile is not saved again.
  std::this_thread::sleep_for(pixkeep::CaptureCycle::RestoreInterval + 500ms);
  ASSERT_EQ(t.pictures().size(), 10u) << "one file per picture, none for the picture there at start";
  for (int n = 1; n <= 10; ++n) expectSamePixels(t.file(n), images[size_t(n - 1)]);
  if (manager == Manager::CopyQ) {
    EXPECT_EQ(copyqCount(), kept + 11) << "CopyQ's history keeps the picture there at start and all ten";
    // The newest ten entries are the ten pictures, newest first.
    for (int n = 1; n <= 10; ++n) {
      SCOPED_TRACE("history entry of picture " + std::to_string(n));
      const std::string entry = t.root + "copyq-" + std::to_string(n) + ".png";
      ASSERT_EQ(run({"sh", "-c", copyq("read image/png " + std::to_string(10 - n)) + " > '" + entry + "'"}), 0);
      expectSamePixels(entry, images[size_t(n - 1)]);
    }
  }
  EXPECT_EQ(t.program.windowCount(), 1) << "no error box";
}

TEST_F(Pixkeep, BesideDiodonEveryPictureIsSavedOnceInOrder) { besideAManager(Manager::Diodon); }

TEST_F(Pixkeep, BesideCopyQEveryPictureIsSavedOnceAndCopyQKeepsThemAll) { besideAManager(Manager::CopyQ); }

// The context help pop-up, opened by the "?" button at the right end of the
// menu bar and a click on the image type list (topic 15): every way of
// closing it closes it, and the main window answers the very next click (the
// "Advanced options" link opens and closes the lower part).
TEST_F(Pixkeep, TheContextHelpPopUpClosesEveryWayAndLeavesTheWindowFree) {
  fs::copy_file(DOCS_DIR "/pixkeep.hlp", out + "pixkeep.hlp");
  ASSERT_NO_FATAL_FAILURE(start());
  const int collapsed = program.height();
  Process& other = helper({"xmessage", "-geometry", "+600+500", "-title", "focus-taker", "another program"},
                          "xmessage.log");
  ASSERT_TRUE(other.started());
  enum class Close { Escape, AltF4, OtherKey, ClickInside, ClickOutside, FocusLost };
  const std::pair<Close, const char*> ways[] = {
      {Close::Escape, "Escape"},           {Close::AltF4, "Alt+F4"},
      {Close::OtherKey, "a letter"},       {Close::ClickInside, "a click inside"},
      {Close::ClickOutside, "a click outside"}, {Close::FocusLost, "the focus lost"},
  };
  bool open = false;  // the advanced options
  for (const auto& [way, name] : ways) {
    SCOPED_TRACE(name);
    // "?" at the right end of the menu bar, then the image type list.
    ASSERT_NO_FATAL_FAILURE(program.click(225 - 8, -8));
    ASSERT_NO_FATAL_FAILURE(program.click(64 + 20, 40 + 10));
    ASSERT_TRUE(waitFor([&] { return program.menuOpen(); })) << "the pop-up opens";
    switch (way) {
      case Close::Escape: ASSERT_NO_FATAL_FAILURE(program.keys({"Escape"})); break;
      case Close::AltF4: ASSERT_NO_FATAL_FAILURE(program.keys({"alt+F4"})); break;
      case Close::OtherKey: ASSERT_NO_FATAL_FAILURE(program.keys({"a"})); break;
      case Close::ClickInside: ASSERT_NO_FATAL_FAILURE(program.click(64 + 40, 40 + 12)); break;
      case Close::ClickOutside:
        ASSERT_EQ(run({"xdotool", "mousemove", "700", "20", "click", "1"}), 0);
        break;
      case Close::FocusLost:
        ASSERT_EQ(run({"xdotool", "search", "--sync", "--name", "^focus-taker$", "windowfocus", "--sync"}), 0);
        break;
    }
    ASSERT_TRUE(waitFor([&] { return !program.menuOpen(); })) << "the pop-up closes";
    ASSERT_NO_FATAL_FAILURE(program.click(at::Adv[0], at::Adv[1]));
    open = !open;
    ASSERT_TRUE(waitFor([&] { return program.height() == (open ? collapsed + 412 - 145 : collapsed); }))
        << "the window answers the next click";
    ASSERT_NO_FATAL_FAILURE(program.click(at::Adv[0], at::Adv[1]));
    open = !open;
    ASSERT_TRUE(waitFor([&] { return program.height() == collapsed; }));
  }
  // F1 on a control that has the focus opens it too (Edit1, topic 12), and Escape closes it.
  ASSERT_NO_FATAL_FAILURE(program.click(at::Adv[0], at::Adv[1]));
  ASSERT_TRUE(waitFor([&] { return program.height() > collapsed; }));
  ASSERT_NO_FATAL_FAILURE(program.click(96 + 50, 80 + 56 + 10));
  ASSERT_NO_FATAL_FAILURE(program.keys({"F1"}));
  ASSERT_TRUE(waitFor([&] { return program.menuOpen(); })) << "F1 opens the pop-up";
  ASSERT_NO_FATAL_FAILURE(program.keys({"Escape"}));
  ASSERT_TRUE(waitFor([&] { return !program.menuOpen(); }));
  ASSERT_NO_FATAL_FAILURE(program.click(at::Adv[0], at::Adv[1]));
  EXPECT_TRUE(waitFor([&] { return program.height() == collapsed; }));
}

// File > Pause capturing: pictures copied stay on the clipboard and none is
// saved; unticked, the next picture copied is saved under the next number.
TEST_F(Pixkeep, WhilePausedPicturesStayOnTheClipboard) {
  ASSERT_NO_FATAL_FAILURE(start(Bitmap));
  ASSERT_TRUE(copy(picture(gradient(7, 5, 1), "a.png", "PNG"), "image/png"));
  ASSERT_TRUE(pictureSaved(1));
  const auto pause = [&] {
    ASSERT_NO_FATAL_FAILURE(program.click(12, -8));
    ASSERT_TRUE(waitFor([&] { return program.menuOpen(); })) << "the File menu opens";
    ASSERT_NO_FATAL_FAILURE(program.keys({"p"}));
    ASSERT_TRUE(waitFor([&] { return !program.menuOpen(); }));
  };
  ASSERT_NO_FATAL_FAILURE(pause());
  for (int i = 2; i <= 4; ++i)
    ASSERT_TRUE(copy(picture(gradient(9, 4, i), "p" + std::to_string(i) + ".png", "PNG"), "image/png"));
  ASSERT_NO_FATAL_FAILURE(pause());  // on again
  EXPECT_FALSE(clipboardEmpty()) << "the last picture copied while paused is still there";
  const QImage next = gradient(6, 8, 9);
  ASSERT_TRUE(copy(picture(next, "next.png", "PNG"), "image/png"));
  ASSERT_TRUE(pictureSaved(2));
  expectSamePixels(file(2), next);
  EXPECT_EQ(pictures(), (std::vector<std::string>{"pxk1.bmp", "pxk2.bmp"})) << "nothing copied while paused";
}

// File > Open picture folder starts the desktop's opener with the folder.
TEST_F(Pixkeep, OpenPictureFolderStartsTheDesktopsOpener) {
  const std::string bin = root + "bin/";
  fs::create_directories(bin);
  std::ofstream(bin + "xdg-open") << "#!/bin/sh\nprintf '%s\\n' \"$@\" >> '" << root << "opened.log'\n";
  fs::permissions(bin + "xdg-open", fs::perms::owner_all);
  type = Jpeg;
  ASSERT_NO_FATAL_FAILURE(program.start(out, root + "pixkeep.log", {},
                                        {"PATH=" + bin + ":" + std::getenv("PATH"), "XDG_CURRENT_DESKTOP=", "DESKTOP_SESSION="}));
  ASSERT_NO_FATAL_FAILURE(program.click(12, -8));
  ASSERT_TRUE(waitFor([&] { return program.menuOpen(); })) << "the File menu opens";
  ASSERT_NO_FATAL_FAILURE(program.keys({"o"}));
  ASSERT_TRUE(waitFor([&] { return fs::exists(root + "opened.log"); })) << "the opener was started";
  const std::string opened = fileText(root + "opened.log");
  EXPECT_TRUE(opened == "file://" + out + "\n" || opened == "file://" + out.substr(0, out.size() - 1) + "\n" ||
              opened == out + "\n")
      << opened;
  EXPECT_TRUE(program.running());
}

// A picture wider than JPEG can hold, with JPEG chosen: saved as PNG,
// pixel for pixel, and one box says so.
TEST_F(Pixkeep, APictureJpegCannotHoldIsSavedAsPng) {
  ASSERT_NO_FATAL_FAILURE(start());
  const QImage wide = gradient(70000, 20, 4);
  ASSERT_TRUE(copy(picture(wide, "wide.png", "PNG"), "image/png"));
  type = Png;
  ASSERT_TRUE(pictureSaved(1));
  expectSamePixels(file(1), wide);
  EXPECT_TRUE(waitFor([&] { return program.windowCount() == 2; })) << "a box says so";
  // The next picture is a JPEG again, under the next number.
  ASSERT_TRUE(copy(picture(gradient(8, 8, 1), "small.png", "PNG"), "image/png"));
  type = Jpeg;
  EXPECT_TRUE(pictureSaved(2));
}

// ---- A kill at any moment of a 4K save loses no picture.

// libjpeg (not our decoder) reads all of `file` as a `width` x `height`
// picture without a warning: a JPEG cut short, or damaged, warns of it.
testing::AssertionResult wholeJpeg(const std::string& file, int width, int height) {
  struct Errors {
    jpeg_error_mgr manager;
    std::jmp_buf failed;
    int warnings = 0;
    char last[JMSG_LENGTH_MAX] = "";
  } errors;
  jpeg_decompress_struct jpeg {};
  jpeg.err = jpeg_std_error(&errors.manager);
  errors.manager.error_exit = [](j_common_ptr c) {
    auto* e = reinterpret_cast<Errors*>(c->err);
    c->err->format_message(c, e->last);
    std::longjmp(e->failed, 1);
  };
  errors.manager.emit_message = [](j_common_ptr c, int level) {
    auto* e = reinterpret_cast<Errors*>(c->err);
    if (level >= 0) return;  // traces, not warnings
    ++e->warnings;
    c->err->format_message(c, e->last);
  };
  const std::string bytes = fileText(file);
  std::vector<JSAMPLE> row;
  if (setjmp(errors.failed)) {
    jpeg_destroy_decompress(&jpeg);
    return testing::AssertionFailure() << file << ": libjpeg fails: " << errors.last;
  }
  jpeg_create_decompress(&jpeg);
  jpeg_mem_src(&jpeg, reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<unsigned long>(bytes.size()));
  jpeg_read_header(&jpeg, TRUE);
  jpeg_start_decompress(&jpeg);
  row.resize(size_t(jpeg.output_width) * size_t(jpeg.output_components));
  while (jpeg.output_scanline < jpeg.output_height) {
    JSAMPROW rows[] = {row.data()};
    jpeg_read_scanlines(&jpeg, rows, 1);
  }
  jpeg_finish_decompress(&jpeg);
  const int w = int(jpeg.output_width), h = int(jpeg.output_height);
  jpeg_destroy_decompress(&jpeg);
  if (errors.warnings > 0) return testing::AssertionFailure() << file << ": libjpeg warns: " << errors.last;
  if (w != width || h != height)
    return testing::AssertionFailure() << file << " is " << w << "x" << h << ", not " << width << "x" << height;
  return testing::AssertionSuccess();
}

// 3840 x 2160 of noise, which is slow to encode, and different for each seed.
QImage noise4k(uint32_t seed) {
  QImage image(3840, 2160, QImage::Format_RGB32);
  for (int y = 0; y < image.height(); ++y) {
    auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
    for (int x = 0; x < image.width(); ++x) {
      seed = seed * 1664525u + 1013904223u;
      line[x] = 0xff000000u | (seed >> 8);
    }
  }
  return image;
}

// The program is killed (SIGKILL) twenty times at a moment picked at random,
// between the copy of a 4K picture and a little after its file appears.
// Each time the picture is a whole file in the folder, or it is still on the
// clipboard, offered by its owner; and the next start in that folder does
// not save it as the picture there at start: the next picture saved (a
// small one) is the next number. The moments come from a seeded generator
// (PIXKEEP_KILL_SEED sets the seed); the pause before each kill is the one
// set time here, being what is tested, and everything asserted is waited for.
TEST_F(Pixkeep, AKillAtAnyMomentOfA4KSaveLosesNoPicture) {
  constexpr int Kills = 20;
  const char* seedText = std::getenv("PIXKEEP_KILL_SEED");
  const uint32_t seed = seedText ? uint32_t(std::strtoul(seedText, nullptr, 10)) : 20250611u;
  std::mt19937 random(seed);
  std::cout << "kill moments from seed " << seed << "\n";
  // How long from the copy to the file, per image type: learnt from a save
  // that is not killed, and from every kill that came after the file.
  Ms untilFile[2] = {};
  int savedOnly = 0, savedAndOffered = 0, offeredOnly = 0;

  const auto entries = [&] {
    std::set<std::string> names;
    for (const auto& e : fs::directory_iterator(out)) names.insert(e.path().filename().string());
    return names;
  };
  const auto rootChildren = [] {
    const std::vector<unsigned long> children = xserver.rootChildren();
    return std::set<unsigned long>(children.begin(), children.end());
  };

  for (int round = -2; round < Kills; ++round) {
    const bool calibrating = round < 0;
    const int kind = (round + 2) % 2;  // JPEG, PNG, JPEG, ...
    SCOPED_TRACE((calibrating ? "unkilled save " : "kill ") + std::to_string(round + 1) + (kind ? " (PNG)" : " (JPEG)"));
    type = kind ? Png : Jpeg;
    out = root + "out" + std::to_string(round + 2) + "/";
    fs::create_directories(out);
    std::ofstream(out + "pixkeep.ini") << "[Settings]\nImageType=" << type.name << "\n";
    const QImage image = noise4k(seed + uint32_t(round + 2));
    const std::string source = src + "4k.png";
    ASSERT_TRUE(image.save(QString::fromStdString(source), "PNG", 100));  // stored, quick to write and read

    const std::set<unsigned long> before = rootChildren();
    const std::string log = root + "pixkeep" + std::to_string(round + 2) + ".log";
    ASSERT_NO_FATAL_FAILURE(program.start(out, log));
    // The windows of the program's connections to the X server, its
    // clipboard reader's among them: once they are gone, the server has done
    // everything the program asked of it.
    std::set<unsigned long> programWindows;
    for (unsigned long w : rootChildren())
      if (!before.count(w)) programWindows.insert(w);
    const std::set<std::string> beforeCopy = entries();

    ASSERT_TRUE(ownClipboard({"png", source, "0", "0", "600"}, "owner" + std::to_string(round + 2) + ".log"));
    const unsigned long owner = xserver.clipboardOwner();
    const auto copied = Clock::now();
    if (calibrating) {
      ASSERT_TRUE(pictureSaved(1, Deadline));
      untilFile[kind] = std::chrono::duration_cast<Ms>(Clock::now() - copied);
      ASSERT_TRUE(waitFor(clipboardEmpty)) << "the clipboard is emptied once the picture is safe";
      if (kind) {
        expectSamePixels(file(1), image);
      } else {
        EXPECT_TRUE(wholeJpeg(file(1), image.width(), image.height()));
      }
      std::cout << type.name << ": the file " << untilFile[kind].count() << " ms after the copy\n";
      program = Program();
      helpers.clear();
      fs::remove_all(out);
      continue;
    }

    // The moment: up to half a second past the time the file took so far,
    // which covers the wait before the clipboard is emptied.
    const Ms latest = untilFile[kind] + 500ms;
    const Ms moment(std::uniform_int_distribution<long>(0, long(latest.count()))(random));
    Ms appeared(-1);
    while (Clock::now() < copied + moment) {
      if (appeared.count() < 0 && fs::exists(file(1)))
        appeared = std::chrono::duration_cast<Ms>(Clock::now() - copied);
      std::this_thread::sleep_for(2ms);
    }
    ASSERT_EQ(kill(program.process()->pid(), SIGKILL), 0);
    ASSERT_TRUE(program.process()->waitForEnd(Deadline));
    program = Program();
    ASSERT_TRUE(waitFor([&] {
      const std::set<unsigned long> now = rootChildren();
      return std::none_of(programWindows.begin(), programWindows.end(), [&](unsigned long w) { return now.count(w); });
    })) << "the X server did not close the killed program's connections";
    if (appeared.count() >= 0) untilFile[kind] = std::max(untilFile[kind], appeared);

    const bool saved = fs::exists(file(1));
    const bool offered = xserver.clipboardOwner() == owner;
    std::set<std::string> expected = beforeCopy;
    if (saved) expected.insert("pxk1" + std::string(type.extension));
    EXPECT_EQ(entries(), expected) << "only the whole picture is added, no temporary file";
    if (saved) {
      if (kind) {
        expectSamePixels(file(1), image);
      } else {
        EXPECT_TRUE(wholeJpeg(file(1), image.width(), image.height()));
      }
    }
    if (offered) {
      // Its owner still hands it over, byte for byte.
      const std::string pasted = root + "pasted.png";
      ASSERT_EQ(run({"sh", "-c", "exec xclip -o -selection clipboard -t image/png > '" + pasted + "'"},
                    root + "xclip-out.log"),
                0);
      EXPECT_TRUE(fileText(pasted) == fileText(source)) << "the clipboard no longer offers the picture";
      fs::remove(pasted);
    }
    EXPECT_TRUE(saved || offered) << "the picture is lost: no file and not on the clipboard (killed "
                                  << moment.count() << " ms after the copy)";
    if (saved && offered) ++savedAndOffered;
    else if (saved) ++savedOnly;
    else if (offered) ++offeredOnly;
    std::cout << "kill " << round + 1 << " (" << type.name << ") " << moment.count() << " ms after the copy"
              << (appeared.count() >= 0 ? ", " + std::to_string(appeared.count()) + " ms after it the file" : "")
              << ": " << (saved ? "saved" : "") << (saved && offered ? " and " : "") << (offered ? "still offered" : "")
              << (!saved && !offered ? "LOST" : "") << "\n";

    // The next start in the folder: a picture still on the clipboard is the
    // one there at start, which it empties without saving; the next picture
    // copied gets the next number.
    ASSERT_NO_FATAL_FAILURE(program.start(out, log));
    if (offered) {
      ASSERT_TRUE(waitFor(clipboardEmpty)) << "the next start leaves the picture there at start on the clipboard";
    }
    const QImage next = gradient(33, 21, round);
    ASSERT_TRUE(copy(picture(next, "next.png", "PNG"), "image/png"));
    const int number = saved ? 2 : 1;
    ASSERT_TRUE(pictureSaved(number));
    QImage got(QString::fromStdString(file(number)));
    EXPECT_EQ(got.size(), next.size()) << "the picture there at start was saved as pxk" << number;
    std::set<std::string> after = expected;
    after.insert("pxk" + std::to_string(number) + type.extension);
    EXPECT_EQ(entries(), after);
    program = Program();
    helpers.clear();
    ASSERT_TRUE(waitFor(clipboardEmpty));
    fs::remove_all(out);
  }
  std::cout << "of " << Kills << " kills: " << savedOnly << " saved, " << savedAndOffered
            << " saved and still on the clipboard, " << offeredOnly << " still on the clipboard only\n";
  EXPECT_EQ(savedOnly + savedAndOffered + offeredOnly, Kills);
}

// The tray icon's own window is titled "Pixkeep" once the hidden start is over.
TEST_F(Tray, TheTrayIconsWindowIsTitledPixkeepAfterTheHiddenStart) {
  ASSERT_NO_FATAL_FAILURE(start(Jpeg, {"-hide"}));
  ASSERT_TRUE(inTray());
  const auto icons = xserver.trayIconsOf(program.process()->pid());
  ASSERT_EQ(icons.size(), 1u);
  EXPECT_EQ(xserver.title(icons[0].id), "Pixkeep");
}

}  // namespace
