// End-to-end tests on GNOME's compositor: a headless mutter of the tests'
// own (with XWayland, which Pixkeep's window uses), run as an unprivileged
// user (desktop.h). mutter offers no data-control, so the program reads the
// X11 clipboard, to which mutter hands every Wayland selection, focus or
// not. Pictures come from a native GTK 3 window and from xclip; both
// clipboards are looked at afterwards. When mutter cannot start, every test
// fails.
#include <gtest/gtest.h>

#include "tests/e2e/desktoptest.h"

namespace {

using namespace e2e;

Desktop mutter;

class MutterEnvironment : public testing::Environment {
 public:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(mutter.prepare("pixkeep-mutter"));
    // mutter ends when the command it starts ends: the ready script stays
    // (and goes when mutter goes).
    const std::string ready = mutter.readyScript({}, "exec setpriv --pdeathsig TERM sleep 1000000");
    mutter.start(mutter.asUser({"GSETTINGS_BACKEND=memory"}, {"mutter", "--wayland", "--headless", "--virtual-monitor",
                                                              "1280x800", "--", "/bin/sh", ready}),
                 "mutter");
    if (!mutter.failure.empty()) return;
    // A headless mutter's seat has no keyboard, and without one no Wayland
    // client may take the clipboard: a remote-desktop session gives it one.
    const std::string seatScript = mutter.dir + "mutter_seat.py";
    fs::copy_file(MUTTER_SEAT_SCRIPT, seatScript);
    Process& seat = mutter.add(mutter.asUser({}, {"/usr/bin/python3", seatScript}), "seat.log");
    if (!waitFor([&] { return hasLine(mutter.dir + "seat.log", "keyboard") || !seat.running(); }) ||
        !hasLine(mutter.dir + "seat.log", "keyboard"))
      mutter.failure = "mutter's seat got no keyboard: " + seat.describe() + "\n" + fileText(mutter.dir + "seat.log") +
                       "mutter's log:\n" + fileText(mutter.dir + "mutter.log");
  }
  void TearDown() override { mutter.stop(); }
};

testing::Environment* const env = testing::AddGlobalTestEnvironment(new MutterEnvironment);

class Mutter : public DesktopTest {
 protected:
  Mutter() : DesktopTest(mutter) {}

  // The program reads the X11 clipboard here: an X11 program copies (xclip;
  // a native one's picture can be lost to mutter while an X11 owner is
  // still read), the tests' X11 owner (clipboard_owner.c), and the X11
  // clipboard's owner.
  testing::AssertionResult copy(const std::string& file, const std::string& mime) override {
    const std::string log = "xclip-" + std::to_string(++copies_) + ".log";
    Process& xclip = helper({"xclip", "-quiet", "-selection", "clipboard", "-t", mime, "-i", file}, log);
    if (!waitFor([&] {
          return hasLine(root + log, "Waiting for selection requests, Control-C to quit") || !xclip.running();
        }))
      return testing::AssertionFailure() << "xclip did not take the clipboard";
    if (!xclip.running() && xclip.exitCode() != 0) return testing::AssertionFailure() << xclip.describe();
    return testing::AssertionSuccess();
  }
  bool clipboardIsEmpty() override { return xserver.clipboardOwner() == 0; }
  testing::AssertionResult ownClipboard(std::vector<std::string> args, const std::string& log) override {
    args.insert(args.begin(), CLIPBOARD_OWNER_BINARY);
    return startOwner(args, log);
  }

 private:
  int copies_ = 0;
};

// A native window's picture reaches the X11 clipboard through mutter whoever
// has the focus, and an X11 program's whether a native window or the
// program's has it; each is saved once, with its pixels, and emptied.
TEST_F(Mutter, PicturesFromANativeWindowAndFromAnX11ProgramAreSavedOnceAndEmptied) {
  ASSERT_NO_FATAL_FAILURE(start(Bitmap));
  EXPECT_TRUE(waitFor([&] { return hasLine(root + "pixkeep.log", "Pixkeep: reading the X11 clipboard (no data-control)"); }))
      << fileText(root + "pixkeep.log");
  // The noise is larger than 256 KiB as PNG: it reaches X11 in INCR chunks.
  const Copy cases[] = {{"a GTK window", true, false, gradient(23, 14, 50)},
                        {"xclip behind the GTK window", false, false, gradient(19, 12, 51)},
                        {"a large picture from a GTK window", true, false, noise(400, 300, 52)},
                        {"xclip behind the program's window", false, true, gradient(21, 16, 53)}};
  // The program empties the X11 clipboard (its owner becomes None). mutter
  // empties the Wayland side with it when an X11 program owned the
  // picture, but keeps a native window's selection there (unless an X11
  // program owned the clipboard right before it).
  saveEachOnce(cases, [&](const Copy& c) { return c.native ? xserver.clipboardOwner() == 0 : bothEmpty(); });
  EXPECT_EQ(xserver.clipboardOwner(), 0u);
}

// Owners of the tests' own, through mutter's X server (mutter reads each
// picture as well): a picture copied while the one before is being read is
// saved after it; an owner that never hands its picture over is reported
// once, and the next picture is saved.
TEST_F(Mutter, APictureCopiedWhileTheOneBeforeIsReadIsSavedNext) {
  ASSERT_NO_FATAL_FAILURE(start(Bitmap));
  pictureCopiedWhileTheOneBeforeIsReadIsSavedNext();
}

TEST_F(Mutter, AnOwnerThatNeverHandsThePictureOverIsReportedOnceAndCapturingGoesOn) {
  ASSERT_NO_FATAL_FAILURE(start(Bitmap));
  silentOwnerIsReportedOnceAndCapturingGoesOn();
}

}  // namespace
