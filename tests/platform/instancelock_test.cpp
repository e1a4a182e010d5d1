#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/instancelock.h"
#include "tests/config/tempdir.h"

namespace pixkeep {
namespace {

using State = InstanceLock::State;

TEST(DisplayKey, EverySpellingOfOneServerGivesOneKey) {
  struct Case { const char* display; const char* key; };
  const Case cases[] = {
      {":0", "0"},          {":0.0", "0"},          {":0.1", "0"},       {"unix:0", "0"},
      {"localhost:0.0", "0"}, {"127.0.0.1:12", "12"}, {":99", "99"},      {"remote:10.2", "remote-10"},
      {"wayland-0", "wayland-0"}, {"a/b:3", "a_b-3"}, {"", ""},           {"[::1]:4", "___1_-4"},
  };
  for (const Case& c : cases) EXPECT_EQ(displayKey(c.display), c.key) << c.display;
  EXPECT_NE(displayKey(":0"), displayKey(":1"));
  EXPECT_NE(displayKey(":1"), displayKey("remote:1"));
}

class InstanceLockTest : public testing::Test {
 protected:
  testing_support::TempDir temp;
  const std::string dir = temp.path();
};

TEST_F(InstanceLockTest, OneHolderPerFileUntilItLetsGo) {
  {
    InstanceLock first(dir + "pixkeep-0.lock");
    EXPECT_EQ(first.state(), State::Held);
    InstanceLock second(dir + "pixkeep-0.lock");
    EXPECT_EQ(second.state(), State::HeldByAnother);
    InstanceLock otherDisplay(dir + "pixkeep-1.lock");
    EXPECT_EQ(otherDisplay.state(), State::Held);
  }
  InstanceLock next(dir + "pixkeep-0.lock");
  EXPECT_EQ(next.state(), State::Held) << "the file stays; the lock went with its holder";
  InstanceLock nowhere(dir + "missing/pixkeep-0.lock");
  EXPECT_EQ(nowhere.state(), State::Unavailable);
}

TEST_F(InstanceLockTest, AKilledHolderLetsGo) {
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    InstanceLock held(dir + "pixkeep-0.lock");
    const char state = held.state() == State::Held ? 'h' : 'x';
    if (write(ready[1], &state, 1) != 1) _exit(1);
    pause();  // until killed
    _exit(0);
  }
  close(ready[1]);
  char state = 0;
  ASSERT_EQ(read(ready[0], &state, 1), 1);
  close(ready[0]);
  EXPECT_EQ(state, 'h');
  EXPECT_EQ(InstanceLock(dir + "pixkeep-0.lock").state(), State::HeldByAnother);
  kill(child, SIGKILL);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_EQ(InstanceLock(dir + "pixkeep-0.lock").state(), State::Held);
}

TEST_F(InstanceLockTest, TheRuntimeDirectory) {
  const char* saved = std::getenv("XDG_RUNTIME_DIR");
  const std::string before = saved ? saved : "";
  setenv("XDG_RUNTIME_DIR", dir.substr(0, dir.size() - 1).c_str(), 1);
  EXPECT_EQ(userRuntimeDirectory(), dir);

  // Without one: a directory of the user's own in /tmp, which nobody else may enter.
  unsetenv("XDG_RUNTIME_DIR");
  const std::string own = "/tmp/pixkeep-" + std::to_string(getuid()) + "/";
  EXPECT_EQ(userRuntimeDirectory(), own);
  struct stat st {};
  ASSERT_EQ(lstat(own.c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(st.st_uid, getuid());
  EXPECT_EQ(st.st_mode & 077, 0u);
  // Opened up to others, it is refused.
  ASSERT_EQ(chmod(own.c_str(), 0777), 0);
  EXPECT_EQ(userRuntimeDirectory(), "");
  ASSERT_EQ(chmod(own.c_str(), 0700), 0);

  if (saved) setenv("XDG_RUNTIME_DIR", before.c_str(), 1);
}

}  // namespace
}  // namespace pixkeep
