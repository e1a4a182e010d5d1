// A Wayland desktop of the tests' own for the end-to-end tests: a real
// compositor (sway, mutter, KWin) with XWayland, which Pixkeep's window uses.
//
// Compositors refuse to run as root, or should not: run by root, the
// compositor and what it starts run as the unprivileged user "nobody" (run by
// anybody else, as that user), with a clean environment, a runtime directory
// and a home made here and a session bus of their own; the tests' own
// programs have another bus and reach the compositor's sockets as root. Once
// XWayland takes clients, a script the compositor starts lets root's X
// clients in and tells the sockets.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "tests/e2e/harness.h"

namespace e2e {

class Desktop {
 public:
  // Makes the folders (under a new `name`-XXXXXX) and both session buses;
  // the tests' own bus becomes $DBUS_SESSION_BUS_ADDRESS. Fails the calling
  // SetUp (gtest assertions) when it cannot.
  void prepare(const std::string& name);

  // `args` run as the desktop's user in its clean environment (PATH, the
  // test markers, HOME, XDG_RUNTIME_DIR, its session bus), with `vars`
  // ("NAME=value") added.
  std::vector<std::string> asUser(const std::vector<std::string>& vars, const std::vector<std::string>& args) const;

  // A shell script for the compositor to run once XWayland is up: it lets
  // root's X clients in, tells $WAYLAND_DISPLAY, $DISPLAY and the variables
  // `more` names, and then runs `then` (a shell line; empty: it ends).
  std::string readyScript(const std::vector<std::string>& more, const std::string& then = "");

  // Starts the compositor (`command`, from asUser) and waits until its ready
  // script has told the sockets; then the tests' programs use them
  // ($WAYLAND_DISPLAY, $DISPLAY, their own $XDG_RUNTIME_DIR) and `xserver`
  // is connected to XWayland. Returns the values of the ready script's
  // `more` variables; on failure, `failure` says why.
  std::vector<std::string> start(const std::vector<std::string>& command, const std::string& name);

  // A process of the desktop's session (a window, a helper) ended with it.
  Process& add(const std::vector<std::string>& args, const std::string& log);

  // Ends everything it started, the compositor last, and removes the folders.
  void stop();

  // The types `typesCommand` lists for the Wayland clipboard ("No selection" when empty).
  std::vector<std::string> clipboardTypes();
  std::vector<std::string> typesCommand{"wl-paste", "--list-types"};
  bool clipboardEmpty() { return clipboardTypes() == std::vector<std::string>{"No selection"}; }

  std::string dir, runtime, home;        // its folders
  std::string waylandDisplay, display;   // its sockets, once started
  std::string failure;                   // why it did not start; empty when it did

 private:
  std::vector<std::string> user_;  // setpriv to the unprivileged user, or nothing
  std::string ready_, ownRuntime_;
  std::vector<std::string> more_;
  std::unique_ptr<SessionBus> desktopBus_, ownBus_;
  std::unique_ptr<Process> compositor_;
  std::vector<std::unique_ptr<Process>> session_;
};

}  // namespace e2e
