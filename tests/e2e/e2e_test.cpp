// End-to-end tests: the real program under its own Xvfb, pictures copied with
// xclip, files checked with Qt's image readers.
#include <gtest/gtest.h>

#include <QColor>
#include <QImage>
#include <QPainter>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

std::string display;
pid_t xvfb = -1;

pid_t spawn(const std::vector<std::string>& args, const std::string& out = "/dev/null") {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

// Runs a shell command on the test display; returns its exit status.
int sh(const std::string& command) {
  std::string full = "DISPLAY=" + display + " " + command;
  int rc = std::system(full.c_str());
  return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

template <typename Pred>
bool waitFor(Pred pred, std::chrono::milliseconds limit) {
  auto end = Clock::now() + limit;
  while (Clock::now() < end) {
    if (pred()) return true;
    std::this_thread::sleep_for(20ms);
  }
  return pred();
}

class Environment : public testing::Environment {
 public:
  void SetUp() override {
    for (int n = 71; n < 200; ++n) {
      if (fs::exists("/tmp/.X" + std::to_string(n) + "-lock") ||
          fs::exists("/tmp/.X11-unix/X" + std::to_string(n)))
        continue;
      display = ":" + std::to_string(n);
      xvfb = spawn({"Xvfb", display, "-screen", "0", "1280x1024x24", "-nolisten", "tcp"});
      if (waitFor([n] { return fs::exists("/tmp/.X11-unix/X" + std::to_string(n)); }, 10s)) break;
      kill(xvfb, SIGKILL);
      waitpid(xvfb, nullptr, 0);
      xvfb = -1;
    }
    ASSERT_GT(xvfb, 0) << "could not start Xvfb";
    setenv("DISPLAY", display.c_str(), 1);
  }
  void TearDown() override {
    if (xvfb > 0) {
      kill(xvfb, SIGTERM);
      waitpid(xvfb, nullptr, 0);
    }
  }
};

testing::Environment* const env = testing::AddGlobalTestEnvironment(new Environment);

class Pixkeep : public testing::Test {
 protected:
  void SetUp() override {
    char templ[] = "/tmp/pixkeep-e2e-XXXXXX";
    dir = std::string(mkdtemp(templ)) + "/";
    fs::copy_file(PIXKEEP_BINARY, dir + "pixkeep");
    sh("xclip -selection clipboard -i /dev/null");  // start with a clipboard nobody else owns
  }
  void TearDown() override {
    stop();
    fs::remove_all(dir);
  }

  void start() {
    pid = spawn({dir + "pixkeep"}, "/tmp/pixkeep-e2e.log");
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(waitFor([] { return sh("xdotool search --name '^Pixkeep$' >/dev/null 2>&1") == 0; }, 15s))
        << "the window did not appear";
    std::this_thread::sleep_for(200ms);
  }
  // Chooses an image type in the drop-down list, as a user does with the mouse.
  void chooseType(const std::string& keys) {
    ASSERT_EQ(sh("xdotool search --name '^Pixkeep$' | head -1 | xargs -I{} xdotool mousemove --window {} 130 62 click 1"), 0);
    std::this_thread::sleep_for(300ms);
    ASSERT_EQ(sh("xdotool key " + keys + " Return"), 0);
    std::this_thread::sleep_for(200ms);
  }
  void startForBitmaps() {
    start();
    chooseType("End");
  }
  void stop() {
    if (pid > 0) {
      kill(pid, SIGTERM);
      waitpid(pid, nullptr, 0);
      pid = -1;
    }
  }
  bool running() { return pid > 0 && waitpid(pid, nullptr, WNOHANG) == 0; }

  // Puts a picture file on the clipboard as `mime`.
  void copy(const std::string& file, const std::string& mime) {
    ASSERT_EQ(sh("xclip -selection clipboard -t " + mime + " -i '" + file + "'"), 0);
  }
  bool clipboardEmpty() { return sh("xclip -selection clipboard -o -t TARGETS >/dev/null 2>&1") != 0; }
  bool waitForFile(const std::string& name, std::chrono::milliseconds limit = 10s) {
    // The file is written under a temporary name and renamed: once it exists it is complete.
    return waitFor([&] { return fs::exists(dir + name); }, limit);
  }
  int windowCount() {
    std::string command = "DISPLAY=" + display + " xdotool search --onlyvisible --name '^Pixkeep$' 2>/dev/null";
    FILE* p = popen(command.c_str(), "r");
    if (!p) return -1;
    int n = 0;
    char line[64];
    while (fgets(line, sizeof line, p)) ++n;
    pclose(p);
    return n;
  }
  std::vector<std::string> pictures() {
    std::vector<std::string> names;
    for (auto& e : fs::directory_iterator(dir))
      if (e.path().filename().string().rfind("pxk", 0) == 0) names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    return names;
  }

  // A picture written to the temporary directory as `format`.
  std::string picture(const QImage& image, const std::string& name, const char* format) {
    std::string path = dir + "src-" + name;
    EXPECT_TRUE(image.save(QString::fromStdString(path), format));
    return path;
  }

  std::string dir;
  pid_t pid = -1;
};

QImage gradient(int w, int h, int seed) {
  QImage img(w, h, QImage::Format_RGB32);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) img.setPixel(x, y, qRgb((x * 7 + seed) & 255, (y * 5 + seed * 3) & 255, (x ^ y) & 255));
  return img;
}

// The pixels of `file` must equal `expected` exactly (alpha composited onto white).
void expectSamePixels(const std::string& file, QImage expected) {
  if (expected.hasAlphaChannel()) {
    QImage white(expected.size(), QImage::Format_RGB32);
    white.fill(Qt::white);
    QPainter p(&white);
    p.drawImage(0, 0, expected);
    p.end();
    expected = white;
  }
  QImage got(QString::fromStdString(file));
  ASSERT_FALSE(got.isNull()) << file;
  ASSERT_EQ(got.size(), expected.size()) << file;
  got = got.convertToFormat(QImage::Format_RGB32);
  expected = expected.convertToFormat(QImage::Format_RGB32);
  for (int y = 0; y < got.height(); ++y)
    for (int x = 0; x < got.width(); ++x)
      ASSERT_EQ(qRgb(qRed(got.pixel(x, y)), qGreen(got.pixel(x, y)), qBlue(got.pixel(x, y))),
                qRgb(qRed(expected.pixel(x, y)), qGreen(expected.pixel(x, y)), qBlue(expected.pixel(x, y))))
          << file << " at " << x << "," << y;
}

TEST_F(Pixkeep, CapturesAsJpegByDefault) {
  start();
  QImage image(64, 32, QImage::Format_RGB32);
  image.fill(Qt::red);
  for (int y = 0; y < 32; ++y)
    for (int x = 32; x < 64; ++x) image.setPixel(x, y, qRgb(0, 0, 255));
  copy(picture(image, "rb.png", "PNG"), "image/png");
  ASSERT_TRUE(waitForFile("pxk1.jpg"));
  QImage got(QString::fromStdString(dir + "pxk1.jpg"));
  ASSERT_EQ(got.size(), image.size());
  QColor left = got.pixelColor(8, 16), right = got.pixelColor(56, 16);
  EXPECT_GT(left.red(), 240);
  EXPECT_LT(left.blue(), 16);
  EXPECT_GT(right.blue(), 240);
  EXPECT_LT(right.red(), 16);
}

TEST_F(Pixkeep, CapturesAsPngWithExactPixels) {
  start();
  chooseType("Down");
  QImage corpus(CORPUS_DIR "/ui_640x480.png");
  ASSERT_FALSE(corpus.isNull());
  copy(picture(corpus, "ui.png", "PNG"), "image/png");
  ASSERT_TRUE(waitForFile("pxk1.png"));
  expectSamePixels(dir + "pxk1.png", corpus);
  // ImageMagick reads the same pixels.
  ASSERT_EQ(sh("convert '" + dir + "pxk1.png' -depth 8 rgb:'" + dir + "im.rgb'"), 0);
  std::ifstream raw(dir + "im.rgb", std::ios::binary);
  std::vector<char> bytes((std::istreambuf_iterator<char>(raw)), {});
  ASSERT_EQ(bytes.size(), size_t(640 * 480 * 3));
  QImage expected = corpus.convertToFormat(QImage::Format_RGB888);
  for (int y = 0; y < 480; ++y)
    ASSERT_EQ(0, memcmp(bytes.data() + size_t(y) * 640 * 3, expected.constScanLine(y), 640 * 3)) << "row " << y;
}

TEST_F(Pixkeep, CapturesEveryPictureTypeWithExactPixels) {
  startForBitmaps();
  QImage alpha(23, 17, QImage::Format_ARGB32);
  for (int y = 0; y < 17; ++y)
    for (int x = 0; x < 23; ++x) alpha.setPixel(x, y, qRgba(200, x * 10, y * 12, (x * 11) & 255));
  QImage corpus(CORPUS_DIR "/ui_640x480.png");
  ASSERT_FALSE(corpus.isNull());
  struct Case { QImage image; const char* format; const char* mime; };
  const Case cases[] = {
      {gradient(47, 33, 1), "PNG", "image/png"},
      {gradient(3, 5, 2), "BMP", "image/bmp"},
      {alpha, "PNG", "image/png"},
      {corpus, "PNG", "image/png"},
  };
  int n = 0;
  for (const Case& c : cases) {
    ++n;
    SCOPED_TRACE(n);
    std::string src = picture(c.image, std::to_string(n) + "." + c.format, c.format);
    copy(src, c.mime);
    std::string name = "pxk" + std::to_string(n) + ".bmp";
    ASSERT_TRUE(waitForFile(name)) << name;
    expectSamePixels(dir + name, c.image);
    EXPECT_TRUE(waitFor([&] { return clipboardEmpty(); }, 2s)) << "the clipboard is emptied";
  }
  // A JPEG on the clipboard is saved with the pixels its decoder gives.
  std::string jpeg = picture(gradient(31, 9, 5), "5.jpg", "JPEG");
  copy(jpeg, "image/jpeg");
  ASSERT_TRUE(waitForFile("pxk5.bmp"));
  expectSamePixels(dir + "pxk5.bmp", QImage(QString::fromStdString(jpeg)));
  EXPECT_TRUE(running());
}

TEST_F(Pixkeep, APictureOnTheClipboardAtStartIsNotSaved) {
  copy(picture(gradient(10, 10, 3), "pre.png", "PNG"), "image/png");
  startForBitmaps();
  std::this_thread::sleep_for(1s);
  EXPECT_TRUE(pictures().empty());
  EXPECT_TRUE(clipboardEmpty());
  copy(picture(gradient(12, 10, 4), "after.png", "PNG"), "image/png");
  EXPECT_TRUE(waitForFile("pxk1.bmp"));
}

TEST_F(Pixkeep, TextAndEmptyClipboardsAreIgnored) {
  startForBitmaps();
  ASSERT_EQ(sh("echo hello | xclip -selection clipboard"), 0);
  std::this_thread::sleep_for(800ms);
  ASSERT_EQ(sh("xclip -selection clipboard -i /dev/null"), 0);
  std::this_thread::sleep_for(800ms);
  EXPECT_TRUE(pictures().empty());
  copy(picture(gradient(5, 5, 9), "p.png", "PNG"), "image/png");
  EXPECT_TRUE(waitForFile("pxk1.bmp"));
}

TEST_F(Pixkeep, NumberingSkipsExistingFiles) {
  for (int i : {1, 3}) std::ofstream(dir + "pxk" + std::to_string(i) + ".bmp") << "x";
  startForBitmaps();
  copy(picture(gradient(6, 6, 1), "a.png", "PNG"), "image/png");
  ASSERT_TRUE(waitForFile("pxk2.bmp"));
  copy(picture(gradient(6, 6, 2), "b.png", "PNG"), "image/png");
  ASSERT_TRUE(waitForFile("pxk4.bmp"));
  EXPECT_EQ(pictures(), (std::vector<std::string>{"pxk1.bmp", "pxk2.bmp", "pxk3.bmp", "pxk4.bmp"}));
}

TEST_F(Pixkeep, ThirtyPicturesInARowAreAllSavedInOrder) {
  startForBitmaps();
  std::vector<QImage> images;
  for (int i = 0; i < 30; ++i) {
    images.push_back(gradient(20 + i, 10 + i % 7, i));
    copy(picture(images.back(), std::to_string(i) + ".png", "PNG"), "image/png");
    ASSERT_TRUE(waitForFile("pxk" + std::to_string(i + 1) + ".bmp")) << i;
  }
  for (int i = 0; i < 30; ++i) expectSamePixels(dir + "pxk" + std::to_string(i + 1) + ".bmp", images[size_t(i)]);
  EXPECT_EQ(pictures().size(), 30u);
}

TEST_F(Pixkeep, ARemovedOutputDirectoryGivesOneErrorBox) {
  startForBitmaps();
  const std::string src = picture(gradient(8, 8, 1), "x.png", "PNG");
  const std::string src2 = picture(gradient(9, 8, 2), "y.png", "PNG");
  std::string keep = "/tmp/pixkeep-e2e-src.png", keep2 = "/tmp/pixkeep-e2e-src2.png";
  fs::copy_file(src, keep, fs::copy_options::overwrite_existing);
  fs::copy_file(src2, keep2, fs::copy_options::overwrite_existing);
  fs::remove_all(dir);
  copy(keep, "image/png");
  EXPECT_TRUE(waitFor([&] { return windowCount() == 2; }, 10s)) << "an error box appears";
  EXPECT_TRUE(waitFor([&] { return clipboardEmpty(); }, 2s));
  copy(keep2, "image/png");
  EXPECT_TRUE(waitFor([&] { return clipboardEmpty(); }, 5s)) << "capture goes on while the box is open";
  std::this_thread::sleep_for(500ms);
  EXPECT_EQ(windowCount(), 2) << "no second box";
  EXPECT_TRUE(running());
  // With the directory back, capturing goes on at the next number.
  fs::create_directories(dir);
  copy(keep, "image/png");
  EXPECT_TRUE(waitForFile("pxk3.bmp"));
  fs::remove(keep);
  fs::remove(keep2);
}

TEST_F(Pixkeep, AClipboardOwnerThatNeverAnswersDoesNotStopCapturing) {
  startForBitmaps();
  pid_t hang = spawn({HANG_OWNER_BINARY, "60"});
  ASSERT_GT(hang, 0);
  std::this_thread::sleep_for(500ms);
  auto began = Clock::now();
  copy(picture(gradient(7, 7, 7), "h.png", "PNG"), "image/png");
  EXPECT_TRUE(waitForFile("pxk1.bmp", 15s));
  auto seconds = std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - began).count();
  EXPECT_LE(seconds, 12);
  kill(hang, SIGKILL);
  waitpid(hang, nullptr, 0);
  EXPECT_TRUE(running());
}

}  // namespace
