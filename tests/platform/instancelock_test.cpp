#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <pwd.h>
#include <string>
#include <sys/socket.h>
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

// ---- Which directory holds the lock.

// One directory as a case prepares it, where the lock's directory is looked
// for: as $XDG_RUNTIME_DIR, as the cache directory's pixkeep/<host>/ and as
// /tmp/pixkeep-<uid>/ (under a scratch "/tmp" here).
struct DirectoryCase {
  const char* name;
  enum { Ours, Missing, SymlinkToOurs, Dangling, PlainFile, Others } kind;
  mode_t mode;
  // Whether it is taken in each role: runtime, cache, tmp. A missing one is
  // made where it is ours to make.
  bool taken[3];
  const char* reason;  // why it is refused
};

const DirectoryCase directoryCases[] = {
    {"ours, 0700", DirectoryCase::Ours, 0700, {true, true, true}, ""},
    {"ours, 0777", DirectoryCase::Ours, 0777, {false, false, false}, " is open to others (mode 0777)"},
    {"ours, 0750", DirectoryCase::Ours, 0750, {false, false, false}, " is open to others (mode 0750)"},
    {"ours, 1777", DirectoryCase::Ours, 01777, {false, false, false}, " is open to others (mode 1777)"},
    {"someone else's, 0700", DirectoryCase::Others, 0700, {false, false, false}, " belongs to user "},
    {"a link to a directory of ours", DirectoryCase::SymlinkToOurs, 0700, {false, false, false}, " is a symbolic link"},
    {"a dangling link", DirectoryCase::Dangling, 0700, {false, false, false}, " is a symbolic link"},
    {"a plain file", DirectoryCase::PlainFile, 0600, {false, false, false}, " is not a directory"},
    {"missing", DirectoryCase::Missing, 0, {false, true, true}, " cannot be looked at (No such file or directory)"},
};

class RuntimeDirectoryTest : public testing::Test {
 protected:
  // The user the case's directory is looked at for: someone else's directory
  // is one of ours looked at for another user (which needs no root).
  static uid_t lookingUser(const DirectoryCase& c) { return geteuid() + (c.kind == DirectoryCase::Others ? 4242 : 0); }

  // Prepares the case at `path` (its parent exists).
  static void prepare(const DirectoryCase& c, const std::string& path) {
    switch (c.kind) {
      case DirectoryCase::Ours:
      case DirectoryCase::Others:
        EXPECT_EQ(mkdir(path.c_str(), 0700), 0) << path;
        EXPECT_EQ(chmod(path.c_str(), c.mode), 0) << path;
        break;
      case DirectoryCase::SymlinkToOurs:
        EXPECT_EQ(mkdir((path + "-target").c_str(), 0700), 0);
        EXPECT_EQ(symlink((path + "-target").c_str(), path.c_str()), 0);
        break;
      case DirectoryCase::Dangling:
        EXPECT_EQ(symlink((path + "-target").c_str(), path.c_str()), 0);
        break;
      case DirectoryCase::PlainFile:
        testing_support::writeFile(path, "");
        break;
      case DirectoryCase::Missing:
        break;
    }
  }

  testing_support::TempDir temp;
  const std::string root = temp.path();
};

TEST_F(RuntimeDirectoryTest, ADirectoryIsTakenOnlyWhenItIsOursAlone) {
  for (const DirectoryCase& c : directoryCases) {
    for (int role = 0; role < 3; ++role) {
      const char* roles[] = {"as $XDG_RUNTIME_DIR", "as the cache's directory", "as /tmp/pixkeep-<uid>"};
      SCOPED_TRACE(std::string(c.name) + " " + roles[role]);
      const std::string scratch = root + std::to_string(&c - directoryCases) + "-" + std::to_string(role) + "/";
      ASSERT_EQ(mkdir(scratch.c_str(), 0700), 0);
      RuntimePlaces places;
      places.uid = lookingUser(c);
      places.host = "box";
      places.tmp = scratch + "tmp";
      ASSERT_EQ(mkdir(places.tmp.c_str(), 01777), 0);
      ASSERT_EQ(chmod(places.tmp.c_str(), 01777), 0);
      std::string subject;
      if (role == 0) {
        subject = scratch + "run";
        places.runtimeDir = subject;
        places.cacheHome = scratch + "cache";
      } else if (role == 1) {
        places.cacheHome = scratch + "cache";
        ASSERT_EQ(mkdir(places.cacheHome.c_str(), 0700), 0);
        ASSERT_EQ(mkdir((places.cacheHome + "/pixkeep").c_str(), 0700), 0);
        subject = places.cacheHome + "/pixkeep/box";
      } else {
        subject = places.tmp + "/pixkeep-" + std::to_string(places.uid);
      }
      ASSERT_NO_FATAL_FAILURE(prepare(c, subject));

      const RuntimeDirectory found = userRuntimeDirectory(places);
      if (c.taken[role]) {
        EXPECT_EQ(found.path, subject + "/");
        struct stat st {};
        ASSERT_EQ(lstat(subject.c_str(), &st), 0);
        EXPECT_TRUE(S_ISDIR(st.st_mode));
        EXPECT_EQ(st.st_mode & 07777, 0700u) << "made for the user alone";
      } else {
        EXPECT_NE(found.path, subject + "/");
        std::string reason = c.reason;
        if (c.kind == DirectoryCase::Others) reason += std::to_string(geteuid());
        EXPECT_NE(found.refused.find(subject + reason), std::string::npos) << found.refused;
      }
      if (c.kind == DirectoryCase::Dangling) {
        struct stat st {};
        EXPECT_NE(lstat((subject + "-target").c_str(), &st), 0) << "a link's target is never made";
      }
    }
  }
}

// The order: the session's runtime directory, then the cache directory of
// the user's home (made when missing), then /tmp/pixkeep-<uid>.
TEST_F(RuntimeDirectoryTest, TheFirstPlaceThatQualifiesIsTaken) {
  RuntimePlaces places;
  places.uid = geteuid();
  places.host = "box";
  places.tmp = root + "tmp";
  ASSERT_EQ(mkdir(places.tmp.c_str(), 01777), 0);
  const std::string run = root + "run", shared = root + "shared", cache = root + "home/.cache",
                    tmpOwn = places.tmp + "/pixkeep-" + std::to_string(places.uid);
  ASSERT_EQ(mkdir(run.c_str(), 0700), 0);
  ASSERT_EQ(mkdir(shared.c_str(), 0700), 0);
  ASSERT_EQ(chmod(shared.c_str(), 0777), 0);
  ASSERT_EQ(mkdir((root + "home").c_str(), 0700), 0);

  places.runtimeDir = run + "/";
  EXPECT_EQ(userRuntimeDirectory(places).path, run + "/");
  struct stat st {};
  EXPECT_NE(lstat(cache.c_str(), &st), 0) << "nothing made in the home when the runtime directory is taken";

  // A runtime directory open to others: the home's, made for the user alone.
  places.runtimeDir = shared;
  places.cacheHome = cache;
  RuntimeDirectory found = userRuntimeDirectory(places);
  EXPECT_EQ(found.path, cache + "/pixkeep/box/");
  EXPECT_EQ(found.refused, shared + " is open to others (mode 0777)");
  for (const std::string& made : {cache, cache + "/pixkeep", cache + "/pixkeep/box"}) {
    ASSERT_EQ(lstat(made.c_str(), &st), 0) << made;
    EXPECT_EQ(st.st_mode & 07777, 0700u) << made;
  }
  EXPECT_NE(lstat(tmpOwn.c_str(), &st), 0) << "nothing made in /tmp when the home's is taken";
  // The next start finds the same one.
  EXPECT_EQ(userRuntimeDirectory(places).path, cache + "/pixkeep/box/");
  // Another machine with the same home has its own.
  places.host = "other";
  EXPECT_EQ(userRuntimeDirectory(places).path, cache + "/pixkeep/other/");
  places.host = "box";

  // No runtime directory and no home to make one in: /tmp/pixkeep-<uid>.
  places.runtimeDir.clear();
  places.cacheHome = root + "nonexistent/.cache";
  found = userRuntimeDirectory(places);
  EXPECT_EQ(found.path, tmpOwn + "/");
  EXPECT_EQ(found.refused, "$XDG_RUNTIME_DIR is not set; " + places.cacheHome +
                               " cannot be made (No such file or directory)");

  // Nowhere at all: every place and its reason.
  ASSERT_EQ(chmod(tmpOwn.c_str(), 0755), 0);
  places.runtimeDir = "run";
  places.cacheHome.clear();
  found = userRuntimeDirectory(places);
  EXPECT_EQ(found.path, "");
  EXPECT_EQ(found.refused, "$XDG_RUNTIME_DIR run is not an absolute path; no home directory; " + tmpOwn +
                               " is open to others (mode 0755)");
}

TEST(RuntimePlaces, TheEnvironmentNamesThem) {
  struct Saved {
    const char* name;
    std::string value;
    bool set;
  };
  std::vector<Saved> saved;
  for (const char* name : {"XDG_RUNTIME_DIR", "XDG_CACHE_HOME", "HOME"}) {
    const char* v = std::getenv(name);
    saved.push_back({name, v ? v : "", v != nullptr});
  }
  setenv("XDG_RUNTIME_DIR", "/run/user/7", 1);
  setenv("XDG_CACHE_HOME", "/c", 1);
  setenv("HOME", "/h", 1);
  RuntimePlaces places = runtimePlacesFromEnvironment();
  EXPECT_EQ(places.runtimeDir, "/run/user/7");
  EXPECT_EQ(places.cacheHome, "/c");
  EXPECT_EQ(places.uid, geteuid());
  EXPECT_EQ(places.tmp, "/tmp");
  EXPECT_FALSE(places.host.empty());
  EXPECT_EQ(places.host.find('/'), std::string::npos);
  // A relative $XDG_CACHE_HOME is ignored.
  setenv("XDG_CACHE_HOME", "c", 1);
  EXPECT_EQ(runtimePlacesFromEnvironment().cacheHome, "/h/.cache");
  unsetenv("XDG_CACHE_HOME");
  setenv("HOME", "/h/", 1);
  EXPECT_EQ(runtimePlacesFromEnvironment().cacheHome, "/h/.cache");
  unsetenv("HOME");
  unsetenv("XDG_RUNTIME_DIR");
  places = runtimePlacesFromEnvironment();
  EXPECT_EQ(places.runtimeDir, "");
  const passwd* pw = getpwuid(geteuid());
  ASSERT_NE(pw, nullptr);
  EXPECT_EQ(places.cacheHome, std::string(pw->pw_dir) + (std::string(pw->pw_dir).back() == '/' ? "" : "/") + ".cache")
      << "the password file's home";
  for (const Saved& s : saved) {
    if (s.set) setenv(s.name, s.value.c_str(), 1);
    else unsetenv(s.name);
  }
}

// ---- The lock file in a directory of the user's own.

TEST_F(InstanceLockTest, OnlyARegularFileOfOursIsLocked) {
  struct Case {
    const char* name;
    std::function<void(const std::string& lock)> make;
    State state;
    const char* problem;
  };
  const std::string target = dir + "target";
  const Case cases[] = {
      {"missing", [](const std::string&) {}, State::Held, ""},
      {"a file of ours", [](const std::string& lock) { testing_support::writeFile(lock, "x"); }, State::Held, ""},
      {"a link to a file of ours",
       [&](const std::string& lock) {
         testing_support::writeFile(target, "kept");
         ASSERT_EQ(symlink(target.c_str(), lock.c_str()), 0);
       },
       State::Unavailable, "is a symbolic link"},
      {"a dangling link", [&](const std::string& lock) { ASSERT_EQ(symlink(target.c_str(), lock.c_str()), 0); },
       State::Unavailable, "is a symbolic link"},
      {"a directory", [](const std::string& lock) { ASSERT_EQ(mkdir(lock.c_str(), 0700), 0); }, State::Unavailable,
       "cannot be opened (Is a directory)"},
      {"a FIFO", [](const std::string& lock) { ASSERT_EQ(mkfifo(lock.c_str(), 0600), 0); }, State::Unavailable,
       "is not a regular file"},
      {"in a missing directory", [](const std::string&) {}, State::Unavailable,
       "cannot be opened (No such file or directory)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string lock = dir + (std::string(c.name) == "in a missing directory" ? "missing/" : "") + "pixkeep-0.lock";
    ASSERT_NO_FATAL_FAILURE(c.make(lock));
    {
      InstanceLock taken(lock);
      EXPECT_EQ(taken.state(), c.state);
      EXPECT_EQ(taken.problem(), c.problem);
      if (c.state == State::Held) {
        struct stat st {};
        ASSERT_EQ(lstat(lock.c_str(), &st), 0);
        EXPECT_TRUE(S_ISREG(st.st_mode));
        if (std::string(c.name) == "missing") {
          EXPECT_EQ(st.st_mode & 077, 0u) << "made for the user alone";
        }
        EXPECT_EQ(InstanceLock(lock).state(), State::HeldByAnother);
      }
    }
    struct stat st {};
    if (std::string(c.name) == "a dangling link") {
      EXPECT_NE(lstat(target.c_str(), &st), 0) << "its target is never made";
    }
    if (std::string(c.name) == "a link to a file of ours") {
      EXPECT_EQ(testing_support::readFile(target), "kept");
    }
    std::error_code ec;
    std::filesystem::remove_all(lock, ec);
    std::filesystem::remove(target, ec);
  }
}

TEST(PeerIsUser, TellsTheUserAtTheOtherEnd) {
  int pair[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
  EXPECT_TRUE(peerIsUser(pair[0], geteuid()));
  EXPECT_FALSE(peerIsUser(pair[0], geteuid() + 1));
  close(pair[0]);
  close(pair[1]);
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  EXPECT_FALSE(peerIsUser(fds[0], geteuid())) << "not a socket";
  close(fds[0]);
  close(fds[1]);
  EXPECT_FALSE(peerIsUser(-1, geteuid()));
}

}  // namespace
}  // namespace pixkeep
