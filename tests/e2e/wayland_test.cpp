// End-to-end tests on a Wayland desktop: a headless sway of the tests' own
// (with XWayland, which Pixkeep's window uses), a native Wayland window
// (foot) holding the focus, pictures copied with wl-copy, the clipboard
// looked at with wl-paste, files checked with Qt's image readers.
//
// sway refuses to run as root: it runs as the unprivileged user "nobody"
// (or as the user running the tests), with a runtime directory made here
// (desktop.h); the tests' own programs reach its sockets as root. When sway
// cannot start, every test fails.
#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <fstream>

#include "tests/e2e/desktoptest.h"

namespace {

using namespace e2e;

// The app_id of the native Wayland window that holds the focus.
constexpr const char* FootId = "pixkeep-test-foot";

// The tests' sway, and its IPC socket once it started.
Desktop sway;
std::string swaysock;

// The node of sway's tree that has the focus: its app_id (or X11 class),
// shell ("xdg_shell" for a native Wayland window, "xwayland" for an X11
// one) and process.
struct Focus {
  std::string name, shell;
  pid_t pid = 0;
};
Focus focused() {
  const std::string out = sway.dir + "tree.json";
  fs::remove(out);
  if (run({"sh", "-c", "swaymsg -r -t get_tree > '" + out + "'"}) != 0) return {};
  std::vector<QJsonObject> nodes{QJsonDocument::fromJson(QByteArray::fromStdString(fileText(out))).object()};
  while (!nodes.empty()) {
    const QJsonObject node = nodes.back();
    nodes.pop_back();
    if (node["focused"].toBool()) {
      const QString appId = node["app_id"].toString();
      const QString name = appId.isEmpty() ? node["window_properties"].toObject()["class"].toString() : appId;
      return {name.toStdString(), node["shell"].toString().toStdString(), pid_t(node["pid"].toInt())};
    }
    for (const char* children : {"nodes", "floating_nodes"})
      for (const QJsonValue& child : node[children].toArray()) nodes.push_back(child.toObject());
  }
  return {};
}

class SwayEnvironment : public testing::Environment {
 public:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(sway.prepare("pixkeep-sway"));
    std::ofstream(sway.dir + "config") << "xwayland force\n"
                                       << "exec /bin/sh " << sway.readyScript({"SWAYSOCK"}) << "\n";
    const std::vector<std::string> told = sway.start(
        sway.asUser({"WLR_BACKENDS=headless", "WLR_RENDERER=pixman", "WLR_LIBINPUT_NO_DEVICES=1"},
                    {"sway", "-c", sway.dir + "config"}),
        "sway");
    if (!sway.failure.empty()) return;
    swaysock = told[0];
    setenv("SWAYSOCK", swaysock.c_str(), 1);
    // The native Wayland window that holds the focus while pictures are copied.
    // foot insists on a UTF-8 locale.
    Process& foot = sway.add(
        {"env", "LC_ALL=C.UTF-8", "foot", std::string("--app-id=") + FootId, "sleep", "100000"}, "foot.log");
    if (!waitFor([] { return run({"swaymsg", std::string("[app_id=") + FootId + "]", "focus"}) == 0; }))
      sway.failure = "foot's window did not appear: " + foot.describe() + "\n" + fileText(sway.dir + "foot.log");
  }
  void TearDown() override { sway.stop(); }
};

testing::Environment* const env = testing::AddGlobalTestEnvironment(new SwayEnvironment);

std::vector<std::string> clipboardTypes() { return sway.clipboardTypes(); }
bool clipboardEmpty() { return sway.clipboardEmpty(); }

class Wayland : public DesktopTest {
 protected:
  Wayland() : DesktopTest(sway) {}

  // Starts the program, chooses Bitmap, and gives the focus to the native
  // window: pictures are copied as from a browser or an image viewer.
  void startBehindNativeWindow() {
    ASSERT_NO_FATAL_FAILURE(start(Bitmap));
    ASSERT_TRUE(focusNativeWindow());
  }

  // Gives the focus to the native Wayland window.
  testing::AssertionResult focusNativeWindow() {
    return focus(std::string("[app_id=") + FootId + "]", [](const Focus& f) { return f.name == FootId; }, "xdg_shell");
  }

  // The program's window takes the clicks that choose the image type once
  // sway has given it the focus.
  void windowShown() override {
    const pid_t pid = program.process()->pid();
    ASSERT_TRUE(focus("[pid=" + std::to_string(pid) + "]", [pid](const Focus& f) { return f.pid == pid; }, "xwayland"));
  }

  // Focuses the window that sway's `criteria` name (once sway knows it) and
  // waits until `is` says it has the focus.
  template <typename Is>
  testing::AssertionResult focus(const std::string& criteria, Is is, const std::string& shell) {
    if (!waitFor([&] { return run({"swaymsg", criteria, "focus"}) == 0 && is(focused()); }))
      return testing::AssertionFailure() << criteria << " did not get the focus; " << focused().name << " has it";
    const Focus f = focused();
    if (f.shell != shell) return testing::AssertionFailure() << criteria << " is a " << f.shell << " window";
    return testing::AssertionSuccess();
  }

  // Starts wayland_owner (wayland_owner.c) and waits until its picture is the selection.
  testing::AssertionResult ownClipboard(std::vector<std::string> args, const std::string& log) override {
    args.insert(args.begin(), WAYLAND_OWNER_BINARY);
    return startOwner(args, log);
  }
};

TEST_F(Wayland, PicturesCopiedWhileANativeWindowHasFocusAreAllSavedOnceWithExactPixels) {
  ASSERT_NO_FATAL_FAILURE(startBehindNativeWindow());
  EXPECT_TRUE(waitFor([&] {
    return hasLine(root + "pixkeep.log", "Pixkeep: reading the Wayland clipboard (zwlr_data_control_manager_v1) and "
                                         "the X11 clipboard (XWayland " + sway.display + ")");
  })) << fileText(root + "pixkeep.log");
  // Ten pictures half a second apart, as BMP and as PNG, one with alpha.
  std::vector<QImage> images;
  for (int i = 0; i < 10; ++i) images.push_back(gradient(20 + 3 * i, 9 + i % 4, i));
  QImage alpha(13, 7, QImage::Format_ARGB32);
  for (int y = 0; y < 7; ++y)
    for (int x = 0; x < 13; ++x) alpha.setPixel(x, y, qRgba(30 * y, 19 * x, 200, (x * 23) & 255));
  images[5] = alpha;  // as PNG
  auto next = Clock::now();
  for (int i = 0; i < 10; ++i) {
    SCOPED_TRACE("picture " + std::to_string(i + 1));
    const bool bmp = i % 3 == 1;
    std::this_thread::sleep_until(next);
    next = Clock::now() + 500ms;
    ASSERT_TRUE(copy(picture(images[size_t(i)], std::to_string(i) + (bmp ? ".bmp" : ".png"), bmp ? "BMP" : "PNG"),
                     bmp ? "image/bmp" : "image/png"));
  }
  for (int n = 1; n <= 10; ++n) ASSERT_TRUE(pictureSaved(n));
  for (int n = 1; n <= 10; ++n) expectSamePixels(file(n), images[size_t(n - 1)]);
  EXPECT_TRUE(waitFor(clipboardEmpty)) << "the clipboard is emptied";
  EXPECT_EQ(pictures().size(), 10u) << "each picture once";
  EXPECT_EQ(focused().name, FootId) << "the focus stayed with the native window";
}

TEST_F(Wayland, APictureOnTheClipboardAtStartIsNotSaved) {
  ASSERT_TRUE(copy(picture(gradient(10, 10, 3), "pre.png", "PNG"), "image/png"));
  ASSERT_NO_FATAL_FAILURE(startBehindNativeWindow());
  EXPECT_TRUE(waitFor(clipboardEmpty)) << "the program empties the clipboard as it starts";
  // The next picture is the first one saved: the one before was not.
  const QImage after = gradient(12, 10, 4);
  ASSERT_TRUE(copy(picture(after, "after.png", "PNG"), "image/png"));
  ASSERT_TRUE(pictureSaved(1));
  EXPECT_EQ(pictures(), std::vector<std::string>{"pxk1.bmp"});
  expectSamePixels(file(1), after);
}

TEST_F(Wayland, ALargePictureComesThroughThePipeWhole) {
  ASSERT_NO_FATAL_FAILURE(startBehindNativeWindow());
  // Some megabytes: read over several turns of the window's event loop.
  const QImage image = noise(1600, 1200, 11);
  const std::string source = picture(image, "large.png", "PNG");
  ASSERT_GT(fs::file_size(source), 5u << 20);
  ASSERT_TRUE(copy(source, "image/png"));
  ASSERT_TRUE(pictureSaved(1));
  expectSamePixels(file(1), image);
  EXPECT_TRUE(waitFor(clipboardEmpty));
}

// Context switches of all the threads of process `pid`: each is a wake-up.
long long wakeUps(pid_t pid) {
  long long total = 0;
  for (const auto& task : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task"))
    for (const std::string& line : lines(task.path() / "status"))
      for (const char* key : {"voluntary_ctxt_switches:", "nonvoluntary_ctxt_switches:"})
        if (line.rfind(key, 0) == 0) total += std::stoll(line.substr(std::strlen(key)));
  return total;
}

TEST_F(Wayland, AnIdleProgramDoesNotWakeUp) {
  ASSERT_NO_FATAL_FAILURE(startBehindNativeWindow());
  ASSERT_TRUE(copy(picture(gradient(16, 16, 5), "p.png", "PNG"), "image/png"));
  ASSERT_TRUE(pictureSaved(1));
  ASSERT_TRUE(waitFor(clipboardEmpty));
  // Once the capture's last echoes have died down (status bar, the emptied
  // clipboard's news) nothing wakes it: no timer, no polling.
  const pid_t pid = program.process()->pid();
  long long before = wakeUps(pid);
  ASSERT_TRUE(waitFor([&] {
    std::this_thread::sleep_for(1s);
    const long long now = wakeUps(pid);
    return std::exchange(before, now) == now;
  })) << "the program never went quiet";
  std::this_thread::sleep_for(3s);
  EXPECT_EQ(wakeUps(pid), before) << "woke up while idle";
  // And it still works after that.
  const QImage image = gradient(17, 11, 6);
  ASSERT_TRUE(copy(picture(image, "q.png", "PNG"), "image/png"));
  ASSERT_TRUE(pictureSaved(2));
  expectSamePixels(file(2), image);
}

// Both clipboards are read: sway hands a copy to the other side only while
// an X11 window has the focus, so an X11 program's picture copied while a
// native window has it stays on the X11 side; when sway does hand a copy
// over, the picture is saved once and both sides are emptied of it.
TEST_F(Wayland, PicturesOnEitherSideAreSavedOnceAndBothClipboardsAreEmptied) {
  ASSERT_NO_FATAL_FAILURE(startBehindNativeWindow());
  struct Case {
    const char* name;
    bool nativeFocus;
    bool x11Copies;  // xclip, else wl-copy
  };
  const Case cases[] = {{"xclip behind foot", true, true},
                        {"xclip behind an X11 window", false, true},
                        {"wl-copy behind an X11 window", false, false},
                        {"wl-copy behind foot", true, false}};
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.nativeFocus)
      ASSERT_TRUE(focusNativeWindow());
    else
      ASSERT_NO_FATAL_FAILURE(windowShown());
    const QImage image = gradient(17 + n, 11 + n, 40 + n);
    const std::string source = picture(image, "both" + std::to_string(n) + ".png", "PNG");
    if (c.x11Copies) {
      copyWithXclip(source);
    } else {
      ASSERT_TRUE(copy(source, "image/png"));
    }
    ASSERT_TRUE(pictureSaved(++n)) << fileText(root + "pixkeep.log");
    expectSamePixels(file(n), image);
    EXPECT_TRUE(waitFor([] { return xserver.clipboardOwner() == 0 && clipboardEmpty(); }))
        << "X11 owner " << xserver.clipboardOwner() << "; Wayland types: " << clipboardTypes().front();
  }
  // Past the two seconds in which a copy put back counts as the same picture.
  std::this_thread::sleep_for(2500ms);
  EXPECT_EQ(pictures().size(), std::size(cases));
}

TEST_F(Wayland, TheX11ClipboardCanBeChosen) {
  ASSERT_NO_FATAL_FAILURE(start(Bitmap, {"--clipboard=x11"}));
  // An X11 program copies; through XWayland, Pixkeep's own window has the focus.
  const QImage image = gradient(21, 14, 7);
  Process& xclip = helper({"xclip", "-quiet", "-selection", "clipboard", "-t", "image/png", "-i",
                           picture(image, "x.png", "PNG")},
                          "xclip.log");
  ASSERT_TRUE(pictureSaved(1)) << xclip.describe();
  expectSamePixels(file(1), image);
  EXPECT_TRUE(waitFor([] { return xserver.clipboardOwner() == 0; })) << "the X11 clipboard is emptied";
  EXPECT_EQ(pictures().size(), 1u);
}

// ---- Owners that are slow, refuse, never answer, or are replaced while
// they are read (tests/e2e/wayland_owner.c).

TEST_F(Wayland, APictureCopiedWhileTheOneBeforeIsReadKeepsTheClipboard) {
  ASSERT_NO_FATAL_FAILURE(startBehindNativeWindow());
  pictureCopiedWhileTheOneBeforeIsReadIsSavedNext();
}

TEST_F(Wayland, RefusedFetchesAreTriedAgain) {
  ASSERT_NO_FATAL_FAILURE(startBehindNativeWindow());
  // Closes the pipe twice without a byte, then answers.
  const QImage image = gradient(30, 20, 4);
  ASSERT_TRUE(ownClipboard({"png", picture(image, "flaky.png", "PNG"), "0", "2", "60"}, "owner-flaky.log"));
  ASSERT_TRUE(pictureSaved(1));
  expectSamePixels(file(1), image);
  EXPECT_EQ(lineCount(root + "owner-flaky.log", "request image/png"), 3) << "two refusals were tried again";
  EXPECT_TRUE(waitFor(clipboardEmpty));
  EXPECT_EQ(program.windowCount(), 1) << "no error box";
}

TEST_F(Wayland, AnOwnerThatNeverHandsThePictureOverIsReportedOnceAndCapturingGoesOn) {
  ASSERT_NO_FATAL_FAILURE(startBehindNativeWindow());
  silentOwnerIsReportedOnceAndCapturingGoesOn();
}

TEST_F(Wayland, AClipboardManagersCopyOfThePictureJustSavedIsNotSavedAgain) {
  ASSERT_NO_FATAL_FAILURE(startBehindNativeWindow());
  const QImage image = gradient(40, 30, 1), next = gradient(41, 30, 2);
  const std::string log = root + "manager.log";
  ASSERT_TRUE(startOwner({WAYLAND_OWNER_BINARY, "manager", picture(image, "a.png", "PNG"), "60"}, "manager.log"));
  ASSERT_TRUE(pictureSaved(1));
  expectSamePixels(file(1), image);
  // The manager puts the picture back, and the program reads it (one
  // request for the picture, one for its copy) and leaves it there.
  ASSERT_TRUE(waitFor([&] { return lineCount(log, "restored") == 1; })) << fileText(log);
  ASSERT_TRUE(waitFor([&] { return lineCount(log, "request image/png") == 2; })) << fileText(log);
  EXPECT_EQ(clipboardTypes(), std::vector<std::string>{"image/png"}) << "the copy stays on the clipboard";
  // Without the manager the next picture is the sync point: had the copy
  // been saved, it would have taken number 2.
  helpers.back()->stop();
  ASSERT_TRUE(waitFor(clipboardEmpty)) << "the manager's copy went with it";
  ASSERT_TRUE(copy(picture(next, "b.png", "PNG"), "image/png"));
  ASSERT_TRUE(pictureSaved(2));
  expectSamePixels(file(2), next);
  EXPECT_EQ(pictures().size(), 2u);
  EXPECT_EQ(lineCount(log, "restored"), 1) << "nothing was emptied again";
}

TEST_F(Wayland, AClipboardThatCannotBeHadEndsTheProgramWithAReason) {
  struct Case {
    std::vector<std::string> args;
    int exitCode;
    std::string says;
  };
  const Case cases[] = {
      {{"--clipboard=wayland"}, 1, "Pixkeep: the Wayland clipboard cannot be read: cannot connect to the Wayland compositor"},
      {{"--clipboard=gtk"}, 2, "Pixkeep: --clipboard= takes x11 or wayland"},
      {{"-hide", "--clipboard="}, 2, "Pixkeep: --clipboard= takes x11 or wayland"},
  };
  fs::copy_file(PIXKEEP_BINARY, out + "pixkeep");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args.back());
    const std::string log = root + "pixkeep.log";
    fs::remove(log);
    // A compositor that is not there.
    std::vector<std::string> command{"env", "WAYLAND_DISPLAY=" + root + "no-compositor", out + "pixkeep"};
    command.insert(command.end(), c.args.begin(), c.args.end());
    EXPECT_EQ(run(command, log), c.exitCode) << fileText(log);
    const std::vector<std::string> said = lines(log);
    EXPECT_TRUE(std::any_of(said.begin(), said.end(), [&](const std::string& l) { return l.rfind(c.says, 0) == 0; }))
        << fileText(log);
  }
  EXPECT_TRUE(pictures().empty());
}

}  // namespace
