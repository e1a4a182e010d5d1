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
#include <QPainter>
#include <algorithm>
#include <chrono>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <poll.h>
#include <spawn.h>
#include <sstream>
#include <stdexcept>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "tests/e2e/xserver.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Ms = std::chrono::milliseconds;

// Long enough for a machine busy with other work: a wait ends as soon as its
// condition holds, so only a failing test pays for it.
constexpr Ms Deadline = 30s;

XServer xserver;  // the tests' own connection to the Xvfb

template <typename Pred>
bool waitFor(Pred pred, Ms limit = Deadline) {
  const auto end = Clock::now() + limit;
  while (Clock::now() < end) {
    if (pred()) return true;
    std::this_thread::sleep_for(20ms);
  }
  return pred();
}

// A new directory under $TMPDIR (or /tmp), with a trailing slash.
std::string makeTempDir(const std::string& prefix) {
  std::string templ = (fs::temp_directory_path() / (prefix + "-XXXXXX")).string();
  if (!mkdtemp(templ.data())) throw std::runtime_error("mkdtemp: " + std::string(std::strerror(errno)));
  return templ + "/";
}

std::string fileText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

bool hasLine(const std::string& path, const std::string& line) {
  std::istringstream in(fileText(path));
  for (std::string l; std::getline(in, l);)
    if (l == line) return true;
  return false;
}

// A child process with stdin from /dev/null and stdout and stderr appended to
// `log`; ended (SIGTERM, then SIGKILL) and reaped when destroyed. `inheritFd`
// stays open in the child.
class Process {
 public:
  explicit Process(const std::vector<std::string>& args, const std::string& log = "/dev/null", int inheritFd = -1) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    if (inheritFd >= 0) fcntl(inheritFd, F_SETFD, 0);
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    if (posix_spawnp(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    description_ = args[0];
  }
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;
  ~Process() { stop(); }

  pid_t pid() const { return pid_; }
  bool started() const { return pid_ > 0; }
  bool running() {
    if (pid_ <= 0 || ended_) return false;
    if (waitpid(pid_, &status_, WNOHANG) == pid_) ended_ = true;
    return !ended_;
  }
  bool waitForEnd(Ms limit) {
    return waitFor([this] { return !running(); }, limit);
  }
  // The exit code, or -1 while running or after a signal.
  int exitCode() { return !running() && ended_ && WIFEXITED(status_) ? WEXITSTATUS(status_) : -1; }
  void stop() {
    if (!running()) return;
    kill(pid_, SIGTERM);
    if (waitForEnd(5s)) return;
    kill(pid_, SIGKILL);
    waitpid(pid_, &status_, 0);
    ended_ = true;
  }
  std::string describe() {
    if (pid_ <= 0) return description_ + " could not be started";
    if (running()) return description_ + " is running";
    if (WIFEXITED(status_)) return description_ + " exited with status " + std::to_string(WEXITSTATUS(status_));
    return description_ + " ended by signal " + std::to_string(WTERMSIG(status_)) + " (" + strsignal(WTERMSIG(status_)) + ")";
  }

 private:
  pid_t pid_ = -1;
  int status_ = 0;
  bool ended_ = false;
  std::string description_;
};

// Runs a command to its end; returns its exit code (-1 when it did not end in time).
int run(const std::vector<std::string>& args, const std::string& log = "/dev/null") {
  Process p(args, log);
  if (!p.waitForEnd(Deadline)) return -1;
  return p.exitCode();
}

// One Xvfb for all tests. With -displayfd it picks a free display itself and
// writes its number to the pipe once it accepts clients.
class XvfbEnvironment : public testing::Environment {
 public:
  void SetUp() override {
    dir_ = makeTempDir("pixkeep-xvfb");
    int fds[2];
    ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
    xvfb_ = std::make_unique<Process>(std::vector<std::string>{"Xvfb", "-displayfd", std::to_string(fds[1]), "-screen",
                                                               "0", "1280x1024x24", "-nolisten", "tcp"},
                                      dir_ + "xvfb.log", fds[1]);
    close(fds[1]);
    std::string number = readLine(fds[0]);
    close(fds[0]);
    ASSERT_FALSE(number.empty()) << xvfb_->describe() << "; it gave no display number. Its output:\n"
                                 << fileText(dir_ + "xvfb.log");
    const std::string display = ":" + number;
    setenv("DISPLAY", display.c_str(), 1);
    setenv("QT_FORCE_STDERR_LOGGING", "1", 1);  // the program's messages go to its log
    ASSERT_TRUE(xserver.open(display)) << "cannot connect to Xvfb on " << display;
  }
  void TearDown() override {
    xserver.close();
    xvfb_.reset();
    fs::remove_all(dir_);
  }

 private:
  // The first line written to `fd`, without its newline; empty when nothing came in time.
  static std::string readLine(int fd) {
    std::string line;
    const auto end = Clock::now() + Deadline;
    for (;;) {
      const auto left = std::chrono::duration_cast<Ms>(end - Clock::now()).count();
      pollfd p{fd, POLLIN, 0};
      if (left <= 0 || poll(&p, 1, int(left)) <= 0) return {};
      char c;
      if (read(fd, &c, 1) != 1) return {};
      if (c == '\n') return line;
      line += c;
    }
  }

  std::string dir_;
  std::unique_ptr<Process> xvfb_;
};

testing::Environment* const env = testing::AddGlobalTestEnvironment(new XvfbEnvironment);

bool clipboardEmpty() { return xserver.clipboardOwner() == 0; }

// An image type in the window's drop-down list.
struct ImageType {
  const char* name;
  int index;  // in the list
  const char* extension;
};
constexpr ImageType Jpeg{"JPEG", 0, ".jpg"}, Png{"PNG", 1, ".png"}, Bitmap{"Bitmap", 3, ".bmp"};
constexpr const char* Extensions[] = {".jpg", ".png", ".gif", ".bmp"};

// The program under test, run from a copy in its output directory: unless
// told otherwise, it saves into the directory it runs from. Ended when destroyed.
class Program {
 public:
  // Starts it and waits until its window is on the screen.
  void start(const std::string& dir, const std::string& log) {
    fs::copy_file(PIXKEEP_BINARY, dir + "pixkeep", fs::copy_options::overwrite_existing);
    process_ = std::make_unique<Process>(std::vector<std::string>{dir + "pixkeep"}, log);
    ASSERT_TRUE(process_->started()) << process_->describe();
    ASSERT_TRUE(waitFor([&] { return !xserver.windowsOf(process_->pid()).empty() || !process_->running(); }))
        << "the window did not appear";
    ASSERT_TRUE(process_->running()) << process_->describe() << " before its window appeared";
    std::vector<TopWindow> windows = xserver.windowsOf(process_->pid());
    ASSERT_EQ(windows.size(), 1u) << "one window at start";
    window_ = windows[0];
  }

  // Chooses `type` in the image type list as a user does: a click opens the
  // list, Home and Down go to the entry, Return takes it. The form has a fixed
  // layout (ui/form1.cpp): the list (64, 40, 145 x 21) lies in the 80 pixels
  // high upper part right above the 19 pixels high status bar, whatever the
  // height of the menu bar. Whether the choice took is seen in the extension
  // of the first picture saved (Pixkeep::pictureSaved).
  void chooseType(const ImageType& type) {
    const int left = 64 + 145 / 2, top = window_.height - 19 - 80 + 40 + 21 / 2;
    ASSERT_EQ(run({"xdotool", "mousemove", "--window", std::to_string(window_.id), std::to_string(left),
                   std::to_string(top), "click", "1"}),
              0);
    ASSERT_TRUE(waitFor([&] { return listOpen(); })) << "the image type list did not open";
    std::vector<std::string> keys{"xdotool", "key", "Home"};
    for (int i = 0; i < type.index; ++i) keys.push_back("Down");
    keys.push_back("Return");
    ASSERT_EQ(run(keys), 0);
    ASSERT_TRUE(waitFor([&] { return !listOpen(); })) << "the image type list did not close";
  }

  // Its windows on the screen: the main window, and an error box when one is open.
  int windowCount() { return process_ ? int(xserver.windowsOf(process_->pid()).size()) : 0; }
  bool running() { return process_ && process_->running(); }
  Process* process() { return process_.get(); }

 private:
  bool listOpen() {
    auto windows = xserver.windowsOf(process_->pid());
    return std::any_of(windows.begin(), windows.end(), [](const TopWindow& w) { return w.popup; });
  }

  std::unique_ptr<Process> process_;
  TopWindow window_;
};

class Pixkeep : public testing::Test {
 protected:
  void SetUp() override {
    root = makeTempDir("pixkeep-e2e");
    out = root + "out/";
    src = root + "src/";
    fs::create_directories(out);
    fs::create_directories(src);
    // Helpers of an earlier test that owned the clipboard are gone by now.
    ASSERT_TRUE(waitFor(clipboardEmpty)) << "the clipboard is still owned";
  }

  void TearDown() override {
    if (program.process() && !program.running())
      ADD_FAILURE() << program.process()->describe() << " during the test";
    program = Program();
    helpers.clear();
    if (HasFailure()) {
      for (const auto& e : fs::directory_iterator(root)) {
        if (e.path().extension() != ".log") continue;
        std::cout << "---- " << e.path().filename().string() << " ----\n" << fileText(e.path()) << "---- end\n";
      }
    }
    fs::remove_all(root);
  }

  // Starts the program, then chooses `type` unless it is the starting type.
  void start(const ImageType& t = Jpeg) {
    type = t;
    ASSERT_NO_FATAL_FAILURE(program.start(out, root + "pixkeep.log"));
    if (t.index != Jpeg.index) {
      ASSERT_NO_FATAL_FAILURE(program.chooseType(t));
    }
  }

  // Starts a helper that is ended with the test.
  Process& helper(const std::vector<std::string>& args, const std::string& log) {
    helpers.push_back(std::make_unique<Process>(args, root + log));
    return *helpers.back();
  }

  // Puts a file on the clipboard as `mime` and waits until xclip has taken
  // the clipboard (or has already lost it again to a quick program).
  testing::AssertionResult copy(const std::string& file, const std::string& mime) {
    const unsigned long before = xserver.clipboardOwner();
    Process& xclip = helper({"xclip", "-quiet", "-selection", "clipboard", "-t", mime, "-i", file}, "xclip.log");
    if (!waitFor([&] { return xserver.clipboardOwner() != before || !xclip.running(); }))
      return testing::AssertionFailure() << "xclip did not take the clipboard";
    if (!xclip.running() && xclip.exitCode() != 0) return testing::AssertionFailure() << xclip.describe();
    return testing::AssertionSuccess();
  }

  // Starts clipboard_owner (clipboard_owner.c) and waits until it owns the clipboard.
  testing::AssertionResult ownClipboard(std::vector<std::string> args, const std::string& log) {
    args.insert(args.begin(), CLIPBOARD_OWNER_BINARY);
    Process& owner = helper(args, log);
    if (!waitFor([&] { return hasLine(root + log, "owner") || !owner.running(); }) || !hasLine(root + log, "owner"))
      return testing::AssertionFailure() << "clipboard_owner did not take the clipboard: " << owner.describe();
    return testing::AssertionSuccess();
  }

  // The name of picture number n of the chosen image type.
  std::string file(int n) const { return out + "pxk" + std::to_string(n) + type.extension; }

  // Waits until picture number n is saved and can be read. It must be of the
  // image type chosen in the window: this shows that the choice took.
  testing::AssertionResult pictureSaved(int n, Ms limit = Deadline) {
    const std::string stem = "pxk" + std::to_string(n);
    std::string found;
    auto saved = [&] {
      for (const char* e : Extensions)
        if (fs::exists(out + stem + e)) found = stem + e;
      return !found.empty();
    };
    if (!waitFor(saved, limit))
      return testing::AssertionFailure() << stem << ".* was not saved within " << limit.count() << " ms";
    if (out + found != file(n))
      return testing::AssertionFailure() << found << " was saved instead of " << stem << type.extension
                                         << ": the image type " << type.name << " was not chosen in the window";
    // Pictures are written under a temporary name and renamed, so one that
    // exists is complete; reading it shows that as well.
    if (!waitFor([&] { return !QImage(QString::fromStdString(file(n))).isNull(); }, 5s))
      return testing::AssertionFailure() << found << " cannot be read as a picture";
    return testing::AssertionSuccess();
  }

  std::vector<std::string> pictures() {
    std::vector<std::string> names;
    for (auto& e : fs::directory_iterator(out))
      if (e.path().filename().string().rfind("pxk", 0) == 0) names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    return names;
  }

  // A picture written to the sources directory as `format`.
  std::string picture(const QImage& image, const std::string& name, const char* format) {
    std::string path = src + name;
    EXPECT_TRUE(image.save(QString::fromStdString(path), format));
    return path;
  }

  std::string root;  // everything of the test, with the logs
  std::string out;   // the output directory, where the program runs from
  std::string src;   // pictures to copy
  ImageType type = Jpeg;
  Program program;
  std::vector<std::unique_ptr<Process>> helpers;
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
  ASSERT_NO_FATAL_FAILURE(start());
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
  // ImageMagick reads the same pixels.
  ASSERT_EQ(run({"convert", file(1), "-depth", "8", "rgb:" + root + "im.rgb"}, root + "convert.log"), 0);
  std::ifstream raw(root + "im.rgb", std::ios::binary);
  std::vector<char> bytes((std::istreambuf_iterator<char>(raw)), {});
  ASSERT_EQ(bytes.size(), size_t(640 * 480 * 3));
  QImage expected = corpus.convertToFormat(QImage::Format_RGB888);
  for (int y = 0; y < 480; ++y)
    ASSERT_EQ(0, memcmp(bytes.data() + size_t(y) * 640 * 3, expected.constScanLine(y), 640 * 3)) << "row " << y;
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
  };
  int n = 0;
  for (const Case& c : cases) {
    ++n;
    SCOPED_TRACE(std::to_string(n) + ": " + c.mime);
    const std::string source = picture(c.image, std::to_string(n) + "." + c.format, c.format);
    ASSERT_TRUE(copy(source, c.mime));
    ASSERT_TRUE(pictureSaved(n));
    expectSamePixels(file(n), std::string(c.format) == "JPEG" ? QImage(QString::fromStdString(source)) : c.image);
    EXPECT_TRUE(waitFor(clipboardEmpty)) << "the clipboard is emptied";
  }
  EXPECT_TRUE(program.running());
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

TEST_F(Pixkeep, ARemovedOutputDirectoryGivesOneErrorBox) {
  ASSERT_NO_FATAL_FAILURE(start(Bitmap));
  const std::string first = picture(gradient(8, 8, 1), "x.png", "PNG");
  const std::string second = picture(gradient(9, 8, 2), "y.png", "PNG");
  fs::remove_all(out);
  ASSERT_TRUE(copy(first, "image/png"));
  EXPECT_TRUE(waitFor([&] { return program.windowCount() == 2; })) << "an error box appears";
  EXPECT_TRUE(waitFor(clipboardEmpty));
  ASSERT_TRUE(copy(second, "image/png"));
  EXPECT_TRUE(waitFor(clipboardEmpty)) << "capture goes on while the box is open";
  EXPECT_TRUE(program.running());
  // With the directory back, capturing goes on at the next number.
  fs::create_directories(out);
  ASSERT_TRUE(copy(first, "image/png"));
  EXPECT_TRUE(pictureSaved(3));
  // The second failure, handled before this picture was, showed no box of its own.
  EXPECT_EQ(program.windowCount(), 2) << "no second box";
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

// ---- Clipboards in the wild: owners that are slow, silent, large or replaced
// while they are read, and clipboard managers that put pictures back.

// How many lines of `path` are exactly `line`.
int lineCount(const std::string& path, const std::string& line) {
  std::istringstream in(fileText(path));
  int n = 0;
  for (std::string l; std::getline(in, l);) n += l == line;
  return n;
}

QImage noise(int w, int h, uint32_t seed) {
  QImage img(w, h, QImage::Format_RGB32);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      seed = seed * 1664525u + 1013904223u;
      img.setPixel(x, y, qRgb(int(seed >> 24), int((seed >> 16) & 255), int((seed >> 8) & 255)));
    }
  return img;
}

TEST_F(Pixkeep, APictureCopiedWhileTheOneBeforeIsReadKeepsTheClipboard) {
  ASSERT_NO_FATAL_FAILURE(start(Bitmap));
  const QImage first = gradient(21, 13, 1), second = gradient(17, 19, 2);
  // The first owner takes a second and a half to hand its picture over.
  ASSERT_TRUE(ownClipboard({"png", picture(first, "first.png", "PNG"), "1500", "0", "60"}, "owner-slow.log"));
  ASSERT_TRUE(waitFor([&] { return hasLine(root + "owner-slow.log", "request image/png"); }));
  // Meanwhile the second picture is copied. Emptying the clipboard after the
  // first must not throw it away.
  ASSERT_TRUE(copy(picture(second, "second.png", "PNG"), "image/png"));
  ASSERT_TRUE(pictureSaved(1));
  ASSERT_TRUE(pictureSaved(2));
  expectSamePixels(file(1), first);
  expectSamePixels(file(2), second);
  EXPECT_TRUE(waitFor(clipboardEmpty));
  EXPECT_EQ(pictures().size(), 2u);
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
  ASSERT_TRUE(ownClipboard({"png", picture(gradient(9, 9, 5), "never.png", "PNG"), "-1", "0", "60"}, "owner-never.log"));
  EXPECT_TRUE(waitFor([&] { return program.windowCount() == 2; })) << "an error box appears";
  EXPECT_GE(lineCount(root + "owner-never.log", "request image/png"), 2) << "it was asked more than once";
  EXPECT_FALSE(clipboardEmpty()) << "what could not be read is not thrown away";
  const QImage after = gradient(11, 7, 6);
  ASSERT_TRUE(copy(picture(after, "after.png", "PNG"), "image/png"));
  ASSERT_TRUE(pictureSaved(1));
  expectSamePixels(file(1), after);
  EXPECT_EQ(program.windowCount(), 2) << "one box";
  EXPECT_TRUE(program.running());
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

TEST_F(Pixkeep, APictureCopiedFromCopyQsHistoryIsSaved) {
  ASSERT_NO_FATAL_FAILURE(start(Bitmap));
  // CopyQ, a clipboard manager built on Qt 5, with a home of its own.
  const std::string home = root + "copyq-home";
  fs::create_directories(home);
  auto copyq = [&](const std::string& command) { return "HOME='" + home + "' copyq " + command; };
  Process& server = helper({"sh", "-c", copyq("")}, "copyq.log");
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

}  // namespace
