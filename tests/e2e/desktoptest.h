// The program on a Wayland desktop of the tests' own (desktop.h): its test
// programs copy with wl-copy, xclip (an X11 program through XWayland) and a
// native GTK 3 window, and look at both clipboards.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/desktop.h"
#include "tests/e2e/programtest.h"

namespace e2e {

class DesktopTest : public ProgramTest {
 protected:
  explicit DesktopTest(Desktop& d) : desktop(d) {}

  void SetUp() override {
    ASSERT_TRUE(desktop.failure.empty()) << desktop.failure;
    ASSERT_NO_FATAL_FAILURE(ProgramTest::SetUp());
    // Owners of an earlier test are gone by now.
    ASSERT_TRUE(waitFor([&] { return bothEmpty(); }))
        << "the clipboard is not empty: " << bothClipboards();
  }

  // Puts a file on the clipboard as `mime` with wl-copy and waits until it
  // is there (or wl-copy has already lost it again to a quick program).
  testing::AssertionResult copy(const std::string& file, const std::string& mime) override {
    Process& wlcopy = helper({"sh", "-c", "exec wl-copy --foreground --type " + mime + " < '" + file + "'"},
                             "wl-copy.log");
    auto offered = [&] {
      const std::vector<std::string> types = desktop.clipboardTypes();
      return std::find(types.begin(), types.end(), mime) != types.end();
    };
    if (!waitFor([&] { return !wlcopy.running() || offered(); }))
      return testing::AssertionFailure() << "wl-copy did not take the clipboard";
    if (!wlcopy.running() && wlcopy.exitCode() != 0) return testing::AssertionFailure() << wlcopy.describe();
    return testing::AssertionSuccess();
  }

  // A native GTK 3 window opens, takes the focus and copies the picture in
  // `file` as GTK programs do (in several types); it stays open until the
  // test ends.
  testing::AssertionResult copyFromNativeWindow(const std::string& file, const std::string& log) {
    return startOwner({"env", "GDK_BACKEND=wayland", GTK_OWNER_SCRIPT, file, "120", "window"}, log);
  }

  // An X11 program (xclip, through XWayland) copies the PNG in `file`.
  void copyWithXclip(const std::string& file) {
    helper({"xclip", "-quiet", "-selection", "clipboard", "-t", "image/png", "-i", file}, "xclip.log");
  }

  // The program's window takes the clicks that choose the image type once
  // it has the focus.
  void windowShown() override { ASSERT_TRUE(focusProgramWindow()); }

  // Gives the program's window the focus (a window manager gives it to a
  // new window; asked again in case) and waits until it has it.
  testing::AssertionResult focusProgramWindow() {
    const std::vector<TopWindow> windows = xserver.windowsOf(program.process()->pid());
    if (windows.empty()) return testing::AssertionFailure() << "the program has no window";
    const unsigned long id = windows.front().id;
    if (!waitFor([&] {
          return xserver.activeWindow() == id || (run({"xdotool", "windowactivate", std::to_string(id)}) == 0 &&
                                                  xserver.activeWindow() == id);
        }))
      return testing::AssertionFailure() << "the program's window " << id << " did not get the focus; "
                                         << xserver.activeWindow() << " has it";
    return testing::AssertionSuccess();
  }

  // A picture of a table of cases: copied by a native GTK window (which
  // takes the focus) or by xclip, behind the program's window or a native one.
  struct Copy {
    const char* name;
    bool native;        // the GTK window copies, else xclip
    bool programFocus;  // xclip copies while the program's window has the focus
    QImage image;
  };
  // Copies `c`'s picture and waits until it is saved as picture number `n`,
  // with its pixels.
  void copyAndSave(const Copy& c, int n) {
    const std::string source = picture(c.image, "p" + std::to_string(n) + ".png", "PNG");
    if (c.native) {
      ASSERT_TRUE(copyFromNativeWindow(source, "gtk" + std::to_string(n) + ".log"));
      EXPECT_EQ(xserver.activeWindow(), 0u) << "an X11 window has the focus";
    } else {
      if (c.programFocus) {
        ASSERT_TRUE(focusProgramWindow());
      } else {
        ASSERT_EQ(xserver.activeWindow(), 0u) << "an X11 window has the focus";
      }
      copyWithXclip(source);
    }
    ASSERT_TRUE(pictureSaved(n)) << fileText(root + "pixkeep.log");
    expectSamePixels(file(n), c.image);
  }

  // Copies each case in turn: each is saved once with its pixels, and the
  // clipboards are then as `emptied` says. Past the two seconds in which a
  // copy put back counts as the same picture, there is no other file.
  template <size_t N, typename Emptied>
  void saveEachOnce(const Copy (&cases)[N], Emptied emptied) {
    int n = 0;
    for (const Copy& c : cases) {
      SCOPED_TRACE(c.name);
      ASSERT_NO_FATAL_FAILURE(copyAndSave(c, ++n));
      EXPECT_TRUE(waitFor([&] { return emptied(c); })) << bothClipboards();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    EXPECT_EQ(pictures().size(), N);
  }

  bool clipboardIsEmpty() override { return desktop.clipboardEmpty(); }
  // What both clipboards hold, for a failure's message.
  std::string bothClipboards() {
    std::string said = "X11 owner " + std::to_string(xserver.clipboardOwner()) + "; Wayland:";
    for (const std::string& t : desktop.clipboardTypes()) said += " " + t;
    return said;
  }
  // Nothing on the Wayland clipboard, and nobody owns the X11 one.
  bool bothEmpty() { return xserver.clipboardOwner() == 0 && desktop.clipboardEmpty(); }

  Desktop& desktop;
};

}  // namespace e2e
