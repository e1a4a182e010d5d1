// What the end-to-end tests share: waiting for something they can see,
// child processes, scratch directories, a private session bus, and one Xvfb
// for the whole test program with the tests' own connection to it.
//
// Every process the tests start carries PIXKEEP_TEST_RUN=<the build
// directory> in its environment (set before main, inherited by children;
// programs started through `env -i` get it from markerVariables()), and
// PIXKEEP_TEST_CASE=<the test> once a test has begun: the check after the
// suite (leftover_processes.sh) names every marked process still running.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>

#include "tests/e2e/xserver.h"

namespace e2e {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Ms = std::chrono::milliseconds;

// Long enough for a machine busy with other work: a wait ends as soon as its
// condition holds, so only a failing test pays for it.
constexpr Ms Deadline = 30s;

extern XServer xserver;  // the tests' own connection to the Xvfb

template <typename Pred>
bool waitFor(Pred pred, Ms limit = Deadline) {
  const auto end = Clock::now() + limit;
  while (Clock::now() < end) {
    if (pred()) return true;
    std::this_thread::sleep_for(20ms);
  }
  return pred();
}

// "PIXKEEP_TEST_RUN=..." and "PIXKEEP_TEST_CASE=...", for the environment of
// a program started through `env -i`.
std::vector<std::string> markerVariables();
// Marks the processes started from now on as those of the running test.
void markTestCase();

// A new directory under $TMPDIR (or /tmp), with a trailing slash.
std::string makeTempDir(const std::string& prefix);
std::string fileText(const std::string& path);
bool hasLine(const std::string& path, const std::string& line);
// The lines of `path`, without their newlines.
std::vector<std::string> lines(const std::string& path);
// How many lines of `path` are exactly `line`.
inline int lineCount(const std::string& path, const std::string& line) {
  std::istringstream in(fileText(path));
  int n = 0;
  for (std::string l; std::getline(in, l);) n += l == line;
  return n;
}

// A child process with stdin from /dev/null and stdout and stderr appended to
// `log`; ended (SIGTERM, then SIGKILL) and reaped when destroyed. `inheritFd`
// stays open in the child.
class Process {
 public:
  explicit Process(const std::vector<std::string>& args, const std::string& log = "/dev/null", int inheritFd = -1);
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;
  ~Process() { stop(); }

  pid_t pid() const { return pid_; }
  bool started() const { return pid_ > 0; }
  bool running();
  bool waitForEnd(Ms limit) {
    return waitFor([this] { return !running(); }, limit);
  }
  // The exit code, or -1 while running or after a signal.
  int exitCode();
  void stop();
  std::string describe();

 private:
  pid_t pid_ = -1;
  int status_ = 0;
  bool ended_ = false;
  std::string description_;
};

// Runs a command to its end; returns its exit code (-1 when it did not end in time).
int run(const std::vector<std::string>& args, const std::string& log = "/dev/null");

// A session bus of the tests' own (dbus-daemon), so that no program they
// start looks for the desktop's bus or has one started for it (Qt and GLib
// start `dbus-launch --autolaunch`, whose daemon outlives them). Its socket
// is in `dir`; `prefix` runs the daemon as another user (through `setpriv`
// and `env -i`). Ended when destroyed; address() is empty when it did not come up.
class SessionBus {
 public:
  SessionBus(const std::string& dir, const std::string& log, const std::vector<std::string>& prefix = {});
  const std::string& address() const { return address_; }
  std::string describe() { return daemon_ ? daemon_->describe() : "dbus-daemon could not be started"; }

 private:
  std::unique_ptr<Process> daemon_;
  std::string address_;
};

// Starts an Xvfb of its own on a free display, its output appended to `log`;
// `display` becomes its name (":N"), empty when it did not come up. Null
// when no pipe could be made to hear from it.
std::unique_ptr<Process> startXvfb(const std::string& log, std::string& display);

// One Xvfb and one session bus ($DBUS_SESSION_BUS_ADDRESS) for all tests of
// the test program. The programs under test get a runtime directory of their
// own ($XDG_RUNTIME_DIR), where they meet other starts of themselves, and a
// configuration directory of their own ($XDG_CONFIG_HOME).
class XvfbEnvironment : public testing::Environment {
 public:
  void SetUp() override;
  void TearDown() override;
  const std::string& directory() const { return dir_; }

 private:
  std::string dir_;
  std::unique_ptr<SessionBus> bus_;
  std::unique_ptr<Process> xvfb_;
};

}  // namespace e2e
