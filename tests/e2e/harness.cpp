#include "tests/e2e/harness.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <spawn.h>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace e2e {

namespace fs = std::filesystem;

XServer xserver;

namespace {

constexpr const char* MarkerName = "PIXKEEP_TEST_RUN";

// Before main: everything the test program starts inherits the marker.
const bool marked = [] {
  setenv(MarkerName, PIXKEEP_TEST_RUN_MARKER, 0);
  return true;
}();

}  // namespace

std::vector<std::string> markerVariables() {
  std::vector<std::string> variables{std::string(MarkerName) + "=" + std::getenv(MarkerName)};
  if (const char* test = std::getenv("PIXKEEP_TEST_CASE")) variables.push_back(std::string("PIXKEEP_TEST_CASE=") + test);
  return variables;
}

void markTestCase() {
  const testing::TestInfo* test = testing::UnitTest::GetInstance()->current_test_info();
  if (test) setenv("PIXKEEP_TEST_CASE", (std::string(test->test_suite_name()) + "." + test->name()).c_str(), 1);
}

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

std::vector<std::string> lines(const std::string& path) {
  std::vector<std::string> found;
  std::istringstream in(fileText(path));
  for (std::string l; std::getline(in, l);) found.push_back(l);
  return found;
}

bool hasLine(const std::string& path, const std::string& line) {
  std::istringstream in(fileText(path));
  for (std::string l; std::getline(in, l);)
    if (l == line) return true;
  return false;
}

Process::Process(const std::vector<std::string>& args, const std::string& log, int inheritFd) {
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

bool Process::running() {
  if (pid_ <= 0 || ended_) return false;
  if (waitpid(pid_, &status_, WNOHANG) == pid_) ended_ = true;
  return !ended_;
}

int Process::exitCode() { return !running() && ended_ && WIFEXITED(status_) ? WEXITSTATUS(status_) : -1; }

void Process::stop() {
  if (!running()) return;
  kill(pid_, SIGTERM);
  if (waitForEnd(5s)) return;
  kill(pid_, SIGKILL);
  waitpid(pid_, &status_, 0);
  ended_ = true;
}

std::string Process::describe() {
  if (pid_ <= 0) return description_ + " could not be started";
  if (running()) return description_ + " is running";
  if (WIFEXITED(status_)) return description_ + " exited with status " + std::to_string(WEXITSTATUS(status_));
  return description_ + " ended by signal " + std::to_string(WTERMSIG(status_)) + " (" + strsignal(WTERMSIG(status_)) + ")";
}

int run(const std::vector<std::string>& args, const std::string& log) {
  Process p(args, log);
  if (!p.waitForEnd(Deadline)) return -1;
  return p.exitCode();
}

namespace {

// The first line written to `fd`, without its newline; empty when nothing came in time.
std::string readLine(int fd) {
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

}  // namespace

SessionBus::SessionBus(const std::string& dir, const std::string& log, const std::vector<std::string>& prefix) {
  // It writes its address to the pipe once it takes connections.
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return;
  std::vector<std::string> command = prefix;
  command.insert(command.end(), {"dbus-daemon", "--session", "--nofork", "--nopidfile", "--address=unix:dir=" + dir,
                                 "--print-address=" + std::to_string(fds[1])});
  daemon_ = std::make_unique<Process>(command, log, fds[1]);
  close(fds[1]);
  address_ = readLine(fds[0]);
  close(fds[0]);
}

std::unique_ptr<Process> startXvfb(const std::string& log, std::string& display) {
  // With -displayfd it picks a free display itself and writes its number to
  // the pipe once it accepts clients.
  int fds[2];
  display.clear();
  if (pipe2(fds, O_CLOEXEC) != 0) return nullptr;
  auto xvfb = std::make_unique<Process>(std::vector<std::string>{"Xvfb", "-displayfd", std::to_string(fds[1]), "-screen",
                                                                 "0", "1280x1024x24", "-nolisten", "tcp"},
                                        log, fds[1]);
  close(fds[1]);
  const std::string number = readLine(fds[0]);
  close(fds[0]);
  if (!number.empty()) display = ":" + number;
  return xvfb;
}

void XvfbEnvironment::SetUp() {
  dir_ = makeTempDir("pixkeep-xvfb");
  const std::string runtime = dir_ + "runtime";
  ASSERT_EQ(mkdir(runtime.c_str(), 0700), 0);
  bus_ = std::make_unique<SessionBus>(dir_, dir_ + "dbus.log");
  ASSERT_FALSE(bus_->address().empty()) << bus_->describe() << "; it gave no address. Its output:\n"
                                        << fileText(dir_ + "dbus.log");
  setenv("DBUS_SESSION_BUS_ADDRESS", bus_->address().c_str(), 1);
  setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
  // Nothing a test does reaches the user's own settings or log-in programs.
  setenv("XDG_CONFIG_HOME", (dir_ + "config").c_str(), 1);
  std::string display;
  xvfb_ = startXvfb(dir_ + "xvfb.log", display);
  ASSERT_TRUE(xvfb_) << "no pipe for Xvfb";
  ASSERT_FALSE(display.empty()) << xvfb_->describe() << "; it gave no display number. Its output:\n"
                                << fileText(dir_ + "xvfb.log");
  setenv("DISPLAY", display.c_str(), 1);
  unsetenv("WAYLAND_DISPLAY");  // the program reads this X server's clipboard, whatever session runs the tests
  setenv("QT_FORCE_STDERR_LOGGING", "1", 1);  // the program's messages go to its log
  ASSERT_TRUE(xserver.open(display)) << "cannot connect to Xvfb on " << display;
}

void XvfbEnvironment::TearDown() {
  xserver.close();
  xvfb_.reset();
  bus_.reset();
  fs::remove_all(dir_);
}

}  // namespace e2e
