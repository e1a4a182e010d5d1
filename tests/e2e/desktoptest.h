// The program on a Wayland desktop of the tests' own (desktop.h): its test
// programs copy with wl-copy, xclip (an X11 program through XWayland) and a
// native GTK 3 window, and look at both clipboards.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
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
