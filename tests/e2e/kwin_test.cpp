// End-to-end tests on KDE Plasma's compositor: a virtual KWin of the tests'
// own (with XWayland, which Pixkeep's window uses), run as an unprivileged
// user (desktop.h). KWin offers the wlroots data-control, so the program
// reads the Wayland clipboard and the X11 one; like sway, KWin hands an X11
// program's picture to the Wayland side only while an X11 window has the
// focus. A native GTK 3 window copies once KWin has given it the focus; the
// Wayland clipboard is looked at through data-control (wayland_owner.c:
// wl-paste never ends under KWin 5.27 when it is empty). When KWin cannot
// start, every test fails.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "tests/e2e/desktoptest.h"

namespace {

using namespace e2e;

Desktop kwin;

class KWinEnvironment : public testing::Environment {
 public:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(kwin.prepare("pixkeep-kwin"));
    // The installed binary carries a file capability (cap_sys_resource)
    // that a container may not grant; a plain copy carries none.
    const std::string binary = kwin.dir + "kwin_wayland";
    fs::copy_file("/usr/bin/kwin_wayland", binary);
    ::chmod(binary.c_str(), 0755);
    const std::string ready = kwin.readyScript({});
    kwin.start(kwin.asUser({"QT_QPA_PLATFORM=offscreen"}, {binary, "--virtual", "--xwayland", "--width", "1280",
                                                           "--height", "800", "/bin/sh " + ready}),
               "kwin");
    kwin.typesCommand = {WAYLAND_OWNER_BINARY, "types"};
  }
  void TearDown() override { kwin.stop(); }
};

testing::Environment* const env = testing::AddGlobalTestEnvironment(new KWinEnvironment);

class KWin : public DesktopTest {
 protected:
  KWin() : DesktopTest(kwin) {}

  testing::AssertionResult ownClipboard(std::vector<std::string> args, const std::string& log) override {
    args.insert(args.begin(), WAYLAND_OWNER_BINARY);
    return startOwner(args, log);
  }
};

// A native window's picture, an X11 program's copied while the native
// window has the focus (KWin leaves it on the X11 side), and one copied
// while an X11 window has it (KWin copies it to the Wayland side): each
// saved once, with its pixels, and both clipboards emptied.
TEST_F(KWin, PicturesOnEitherSideAreSavedOnceAndBothClipboardsAreEmptied) {
  ASSERT_NO_FATAL_FAILURE(start(Bitmap));
  EXPECT_TRUE(waitFor([&] {
    return hasLine(root + "pixkeep.log", "Pixkeep: reading the Wayland clipboard (zwlr_data_control_manager_v1) and "
                                         "the X11 clipboard (XWayland " + kwin.display + ")");
  })) << fileText(root + "pixkeep.log");
  // KWin gives a new window the focus; the GTK window copies once it has it.
  const Copy cases[] = {{"a native window", true, false, gradient(23, 14, 60)},
                        {"xclip behind the native window", false, false, gradient(19, 12, 61)},
                        {"a large picture from a native window", true, false, noise(400, 300, 62)},
                        {"xclip behind the program's window (KWin copies it over)", false, true, gradient(21, 16, 63)}};
  saveEachOnce(cases, [&](const Copy&) { return bothEmpty(); });
  EXPECT_TRUE(bothEmpty()) << bothClipboards();
}

// A native program (wl-copy) copies while the owner of the picture before
// takes a second and a half to hand it over: both are saved, in turn.
TEST_F(KWin, APictureCopiedWhileTheOneBeforeIsReadIsSavedNext) {
  ASSERT_NO_FATAL_FAILURE(start(Bitmap));
  pictureCopiedWhileTheOneBeforeIsReadIsSavedNext();
}

}  // namespace
