// The program under test in the end-to-end tests: started from a copy in its
// output folder, its window found on the X server that `xserver` is
// connected to and driven as a user drives it; a test's own folders; and
// pictures to copy and compare. Each test program defines PIXKEEP_BINARY.
#pragma once

#include <gtest/gtest.h>

#include <QColor>
#include <QImage>
#include <QPainter>
#include <algorithm>
#include <filesystem>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "tests/e2e/harness.h"

namespace e2e {

// An image type in the window's drop-down list.
struct ImageType {
  const char* name;
  int index;  // in the list
  const char* extension;
};
constexpr ImageType Jpeg{"JPEG", 0, ".jpg"}, Png{"PNG", 1, ".png"}, Gif{"GIF", 2, ".gif"}, Bitmap{"Bitmap", 3, ".bmp"},
                    Webp{"WebP", 4, ".webp"};
constexpr const char* Extensions[] = {".jpg", ".png", ".gif", ".bmp", ".webp"};

// The program under test, run from a copy in its output directory: unless
// told otherwise, it saves into the directory it runs from. Ended when destroyed.
class Program {
 public:
  // Starts it and waits until its window is on the screen.
  // `environment` ("NAME=value") is added to the tests' own.
  void start(const std::string& dir, const std::string& log, const std::vector<std::string>& args = {},
             const std::vector<std::string>& environment = {}) {
    fs::copy_file(PIXKEEP_BINARY, dir + "pixkeep", fs::copy_options::overwrite_existing);
    std::vector<std::string> command{"env"};
    command.insert(command.end(), environment.begin(), environment.end());
    command.push_back(dir + "pixkeep");
    command.insert(command.end(), args.begin(), args.end());
    process_ = std::make_unique<Process>(command, log);
    ASSERT_TRUE(process_->started()) << process_->describe();
    ASSERT_TRUE(waitFor([&] { return !xserver.windowsOf(process_->pid()).empty() || !process_->running(); }))
        << "the window did not appear";
    ASSERT_TRUE(process_->running()) << process_->describe() << " before its window appeared";
    std::vector<TopWindow> windows = xserver.windowsOf(process_->pid());
    ASSERT_EQ(windows.size(), 1u) << "one window at start";
    window_ = windows[0];
    // The window starts collapsed: the client area is the 80 pixels high
    // upper part, between the menu bar and the 19 pixels high status bar.
    clientTop_ = window_.height - 19 - 80;
  }

  // Clicks `times` times at (x, y) of the client area (ui/form1.cpp has the
  // positions of the controls).
  void click(int x, int y, int times = 1) {
    ASSERT_EQ(run({"xdotool", "mousemove", "--window", std::to_string(window_.id), std::to_string(x),
                   std::to_string(clientTop_ + y), "click", "--repeat", std::to_string(times), "--delay", "50", "1"}),
              0);
  }
  // Keys and text to the window (or dialog) that has the focus.
  void keys(std::vector<std::string> names) {
    names.insert(names.begin(), {"xdotool", "key", "--delay", "20"});
    ASSERT_EQ(run(names), 0);
  }
  void type(const std::string& text) { ASSERT_EQ(run({"xdotool", "type", "--delay", "20", text}), 0); }
  // The main window's height as it is now.
  int height() {
    for (const TopWindow& w : xserver.windowsOf(process_->pid()))
      if (w.id == window_.id) return w.height;
    return 0;
  }
  // What a window manager's close button does.
  bool requestClose() { return xserver.requestClose(window_.id); }
  // A dialog of the program (a top-level window that is not a popup) besides the main window.
  bool dialogOpen() {
    auto windows = xserver.windowsOf(process_->pid());
    return std::any_of(windows.begin(), windows.end(), [&](const TopWindow& w) { return w.id != window_.id && !w.popup; });
  }
  bool menuOpen() { return listOpen(); }
  // The main window's title and whether it is on the screen.
  std::string title() { return xserver.title(window_.id); }
  bool shown() {
    auto windows = xserver.windowsOf(process_->pid());
    return std::any_of(windows.begin(), windows.end(), [&](const TopWindow& w) { return w.id == window_.id; });
  }
  // Its icons in the tray; the one icon when there is exactly one.
  size_t trayIcons() { return xserver.trayIconsOf(process_->pid()).size(); }
  // Clicks the tray icon with `button`, `times` times.
  void clickTrayIcon(int button, int times = 1) {
    const auto icons = xserver.trayIconsOf(process_->pid());
    ASSERT_EQ(icons.size(), 1u) << "one tray icon";
    ASSERT_EQ(run({"xdotool", "mousemove", "--window", std::to_string(icons[0].id), std::to_string(icons[0].width / 2),
                   std::to_string(icons[0].height / 2), "click", "--repeat", std::to_string(times), "--delay", "80",
                   std::to_string(button)}),
              0);
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
  int clientTop_ = 0;
};

inline QImage gradient(int w, int h, int seed) {
  QImage img(w, h, QImage::Format_RGB32);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) img.setPixel(x, y, qRgb((x * 7 + seed) & 255, (y * 5 + seed * 3) & 255, (x ^ y) & 255));
  return img;
}

// The picture with 16 bits a sample, each low byte 0xF0: saved as PNG it is
// a 16-bit one, which decoders that keep the high byte only (GdkPixbuf) see
// one step below those that round.
inline QImage deep(const QImage& image) {
  QImage out(image.size(), QImage::Format_RGBX64);
  for (int y = 0; y < image.height(); ++y)
    for (int x = 0; x < image.width(); ++x) {
      const QRgb c = image.pixel(x, y);
      out.setPixelColor(x, y, QColor::fromRgba64(quint16(qRed(c) * 256 + 0xF0), quint16(qGreen(c) * 256 + 0xF0),
                                                 quint16(qBlue(c) * 256 + 0xF0)));
    }
  return out;
}

// Noise, which does not compress: its PNG is about as large as its pixels.
inline QImage noise(int w, int h, uint32_t seed) {
  QImage img(w, h, QImage::Format_RGB32);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      seed = seed * 1664525u + 1013904223u;
      img.setPixel(x, y, qRgb(int(seed >> 24), int((seed >> 16) & 255), int((seed >> 8) & 255)));
    }
  return img;
}

// The pixels of `file` must equal `expected` exactly (alpha composited onto white).
inline void expectSamePixels(const std::string& file, QImage expected) {
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

// The program in a test of its own: a fresh folder for its files, the
// pictures to copy and the logs (shown when the test fails), and helpers
// that end with the test.
class ProgramTest : public testing::Test {
 protected:
  void SetUp() override {
    markTestCase();
    root = makeTempDir("pixkeep-e2e");
    out = root + "out/";
    src = root + "src/";
    fs::create_directories(out);
    fs::create_directories(src);
  }

  void TearDown() override {
    if (root.empty()) return;  // set up no further than that
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
  void start(const ImageType& t = Jpeg, const std::vector<std::string>& args = {}) {
    type = t;
    ASSERT_NO_FATAL_FAILURE(program.start(out, root + "pixkeep.log", args));
    ASSERT_NO_FATAL_FAILURE(windowShown());
    if (t.index != Jpeg.index) {
      ASSERT_NO_FATAL_FAILURE(program.chooseType(t));
    }
  }

  // The program's window has just appeared; it takes clicks once this returns.
  virtual void windowShown() {}

  // Starts a helper that is ended with the test.
  Process& helper(const std::vector<std::string>& args, const std::string& log) {
    helpers.push_back(std::make_unique<Process>(args, root + log));
    return *helpers.back();
  }

  // How a test drives the desktop's clipboard: a file copied by the usual
  // tool as `mime`; a picture owned by the tests' own owner ("png FILE
  // DELAY REFUSALS SECONDS": it refuses the first REFUSALS requests and
  // answers each later one after DELAY milliseconds, -1 never, and tells
  // "request image/png" for each); whether the clipboard is empty.
  virtual testing::AssertionResult copy(const std::string& file, const std::string& mime) = 0;
  virtual testing::AssertionResult ownClipboard(std::vector<std::string> args, const std::string& log) = 0;
  virtual bool clipboardIsEmpty() = 0;

  // With the program started as Bitmap: a picture copied while the one
  // before is being read (its owner takes a second and a half) is saved
  // after it. Emptying the clipboard of the first must not throw it away.
  void pictureCopiedWhileTheOneBeforeIsReadIsSavedNext() {
    const QImage first = gradient(21, 13, 1), second = gradient(17, 19, 2);
    ASSERT_TRUE(ownClipboard({"png", picture(first, "first.png", "PNG"), "1500", "0", "60"}, "owner-slow.log"));
    ASSERT_TRUE(waitFor([&] { return hasLine(root + "owner-slow.log", "request image/png"); }));
    ASSERT_TRUE(copy(picture(second, "second.png", "PNG"), "image/png"));
    ASSERT_TRUE(pictureSaved(1));
    ASSERT_TRUE(pictureSaved(2));
    expectSamePixels(file(1), first);
    expectSamePixels(file(2), second);
    EXPECT_TRUE(waitFor([&] { return clipboardIsEmpty(); }));
    EXPECT_EQ(pictures().size(), 2u);
  }

  // With the program started as Bitmap: an owner that never hands its
  // picture over is asked again, then reported in one error box; its
  // picture stays on the clipboard, and the next picture is saved.
  void silentOwnerIsReportedOnceAndCapturingGoesOn() {
    ASSERT_TRUE(ownClipboard({"png", picture(gradient(9, 9, 5), "never.png", "PNG"), "-1", "0", "60"}, "owner-never.log"));
    EXPECT_TRUE(waitFor([&] { return program.windowCount() == 2; })) << "an error box appears";
    EXPECT_GE(lineCount(root + "owner-never.log", "request image/png"), 2) << "it was asked more than once";
    EXPECT_FALSE(clipboardIsEmpty()) << "what could not be read is not thrown away";
    const QImage after = gradient(11, 7, 6);
    ASSERT_TRUE(copy(picture(after, "after.png", "PNG"), "image/png"));
    ASSERT_TRUE(pictureSaved(1));
    expectSamePixels(file(1), after);
    EXPECT_EQ(program.windowCount(), 2) << "one box";
    EXPECT_TRUE(program.running());
  }

  // Starts a clipboard owner of the tests' own and waits until it says
  // "owner": the clipboard is its now.
  testing::AssertionResult startOwner(const std::vector<std::string>& command, const std::string& log) {
    Process& owner = helper(command, log);
    if (!waitFor([&] { return hasLine(root + log, "owner") || !owner.running(); }) || !hasLine(root + log, "owner"))
      return testing::AssertionFailure() << fs::path(command[0]).filename().string()
                                         << " did not take the clipboard: " << owner.describe();
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
    // exists is complete; reading it shows that as well (WebP with libwebp's
    // dwebp: Qt reads no WebP without a plugin).
    auto readable = [&] {
      if (std::string(type.extension) == ".webp")
        return run({"dwebp", "-quiet", file(n), "-ppm", "-o", "/dev/null"}, root + "dwebp-check.log") == 0;
      return !QImage(QString::fromStdString(file(n))).isNull();
    };
    if (!waitFor(readable, 5s))
      return testing::AssertionFailure() << found << " cannot be read as a picture";
    return testing::AssertionSuccess();
  }

  std::vector<std::string> pictures() {
    std::vector<std::string> names;
    if (!fs::is_directory(out)) return names;
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

}  // namespace e2e
