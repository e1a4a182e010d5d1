// The lock's directory as real users see it: two unprivileged users (nobody
// and a uid nobody has) run instancelock_probe through setpriv, the way the
// program takes its lock, on a /tmp of their own. Root bypasses the very
// permissions these cases are about, so the cases must run as other users.
//
// The test program makes a mount namespace of its own and mounts a fresh
// tmpfs on /tmp for each case: nothing it does reaches the machine's /tmp.
// It needs root for that (and for setpriv), as the tests have here; without
// it, it fails and says so.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <grp.h>
#include <iterator>
#include <memory>
#include <poll.h>
#include <pwd.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <string>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "platform/instancelock.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto Deadline = std::chrono::seconds(30);

uid_t userA = 65534;  // nobody
uid_t userB = 0;      // chosen: a uid without a user or a group

class PrivateMounts : public testing::Environment {
 public:
  void SetUp() override {
    if (::unshare(CLONE_NEWNS) != 0)
      FAIL() << "cannot make a mount namespace of its own (unshare: " << std::strerror(errno)
             << "): these tests need root, to mount a /tmp of their own and to run as two other users";
    ASSERT_EQ(::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0)
        << "cannot keep the namespace's mounts to itself: " << std::strerror(errno);
    for (uid_t uid = 4242; uid < 4342 && !userB; ++uid)
      if (!::getpwuid(uid) && !::getgrgid(gid_t(uid))) userB = uid;
    ASSERT_NE(userB, 0u) << "no free uid between 4242 and 4341";
  }
};

testing::Environment* const mounts = testing::AddGlobalTestEnvironment(new PrivateMounts);

// The probe is run from the fresh /tmp: the build tree may itself lie under
// /tmp (a clone there), which that mount hides.
constexpr const char* Probe = "/tmp/.probe/instancelock_probe";

std::vector<char> probeBytes() {
  std::ifstream in(PROBE_BINARY, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A fresh /tmp for as long as it lives, with nothing in it but the probe.
class PrivateTmp {
 public:
  PrivateTmp() {
    static const std::vector<char> probe = probeBytes();  // read before any /tmp of ours hides it
    mounted_ = !probe.empty() && ::mount("pixkeep-test-tmp", "/tmp", "tmpfs", 0, "mode=1777,size=32m") == 0;
    if (!mounted_) return;
    ::mkdir("/tmp/.probe", 0755);
    std::ofstream(Probe, std::ios::binary).write(probe.data(), std::streamsize(probe.size()));
    mounted_ = ::chmod(Probe, 0755) == 0;
  }
  ~PrivateTmp() {
    if (mounted_) ::umount2("/tmp", MNT_DETACH);
  }
  PrivateTmp(const PrivateTmp&) = delete;
  PrivateTmp& operator=(const PrivateTmp&) = delete;
  bool mounted() const { return mounted_; }

 private:
  bool mounted_ = false;
};

// instancelock_probe run as `uid` (setpriv, with no groups, and `env -i` with
// `environment` only). Its standard input stays open until finish().
class AsUser {
 public:
  AsUser(uid_t uid, const std::vector<std::string>& environment, const std::vector<std::string>& args) {
    std::vector<std::string> command{"setpriv", "--reuid=" + std::to_string(uid), "--regid=" + std::to_string(uid),
                                     "--clear-groups", "env", "-i"};
    command.insert(command.end(), environment.begin(), environment.end());
    command.push_back(Probe);
    command.insert(command.end(), args.begin(), args.end());
    for (const std::string& a : command) description_ += a + " ";
    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0) return;
    if (::pipe2(out, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, out[1], 2);
    std::vector<char*> argv;
    for (const std::string& a : command) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    if (posix_spawnp(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    stdin_ = in[1];
    stdout_ = out[0];
  }
  ~AsUser() { finish(); }
  AsUser(const AsUser&) = delete;
  AsUser& operator=(const AsUser&) = delete;

  // The rest of the first line that starts with `prefix`, waiting for it;
  // false when the probe ended or said nothing of the kind in time.
  testing::AssertionResult said(const std::string& prefix, std::string* rest = nullptr) {
    const auto end = Clock::now() + Deadline;
    for (;;) {
      for (size_t at = 0, next; (next = output_.find('\n', at)) != std::string::npos; at = next + 1) {
        const std::string line = output_.substr(at, next - at);
        if (line.rfind(prefix, 0) != 0) continue;
        if (rest) *rest = line.substr(prefix.size());
        return testing::AssertionSuccess();
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
      pollfd p{stdout_, POLLIN, 0};
      char buffer[512];
      ssize_t n = 0;
      if (left <= 0 || stdout_ < 0 || ::poll(&p, 1, int(left)) <= 0 || (n = ::read(stdout_, buffer, sizeof buffer)) <= 0)
        return testing::AssertionFailure() << "no \"" << prefix << "\" from " << description_ << "; it said:\n" << output_;
      output_.append(buffer, size_t(n));
    }
  }
  std::string value(const std::string& key) {
    std::string rest;
    return said(key + " ", &rest) ? rest : "(nothing)";
  }

  // Closes its standard input: it lets go of what it holds and ends.
  void finish() {
    if (stdin_ >= 0) ::close(stdin_);
    stdin_ = -1;
    if (pid_ > 0) {
      const auto end = Clock::now() + Deadline;
      int status = 0;
      while (::waitpid(pid_, &status, WNOHANG) == 0) {
        if (Clock::now() > end) {
          ::kill(pid_, SIGKILL);
          ::waitpid(pid_, &status, 0);
          break;
        }
        ::usleep(10000);
      }
      pid_ = -1;
    }
    if (stdout_ >= 0) ::close(stdout_);
    stdout_ = -1;
  }

 private:
  pid_t pid_ = -1;
  int stdin_ = -1, stdout_ = -1;
  std::string output_, description_;
};

// Made by root for `uid`.
void directoryOf(const std::string& path, uid_t uid, mode_t mode) {
  ASSERT_EQ(::mkdir(path.c_str(), 0700), 0) << path << ": " << std::strerror(errno);
  ASSERT_EQ(::chown(path.c_str(), uid, gid_t(uid)), 0) << path;
  ASSERT_EQ(::chmod(path.c_str(), mode), 0) << path;
}
void linkOf(const std::string& target, const std::string& path, uid_t uid) {
  ASSERT_EQ(::symlink(target.c_str(), path.c_str()), 0) << path;
  ASSERT_EQ(::lchown(path.c_str(), uid, gid_t(uid)), 0) << path;
}
void fileOf(const std::string& path, uid_t uid, mode_t mode) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  ASSERT_GE(fd, 0) << path;
  ::close(fd);
  ASSERT_EQ(::chown(path.c_str(), uid, gid_t(uid)), 0) << path;
  ASSERT_EQ(::chmod(path.c_str(), mode), 0) << path;
}
bool exists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

std::string home(uid_t uid) { return "/tmp/home-" + std::to_string(uid); }
std::string cacheOf(uid_t uid) {
  return home(uid) + "/.cache/pixkeep/" + pixkeep::runtimePlacesFromEnvironment().host + "/";
}
std::string tmpOf(uid_t uid) { return "/tmp/pixkeep-" + std::to_string(uid); }
std::string inHome(uid_t uid) { return "HOME=" + home(uid); }
const std::string NoHome = "HOME=/nonexistent";
const std::vector<std::string> lockOf7{"lock", "7"};

class InstanceLockUsers : public testing::Test {
 protected:
  void SetUp() override { ASSERT_NE(userB, 0u) << "the namespace was not made"; }
};

// One situation user A meets at start, with what A must do.
struct Situation {
  std::string name;
  // Run as root on the fresh /tmp, after the users' homes are made; may start
  // holders of user B's, kept in `keep` for the situation's lifetime.
  std::function<void(std::vector<std::unique_ptr<AsUser>>& keep)> make;
  std::vector<std::string> environment;  // A's
  std::string dir;                       // the directory A takes; empty: none
  std::string state;                     // "held" or "unavailable"
  std::string says;                      // in what A says of the places refused, or of the lock
  std::string neverMade;                 // a path A must not make
};

TEST_F(InstanceLockUsers, EachSituationAUserMeets) {
  const std::string a = std::to_string(userA), b = std::to_string(userB);
  const std::vector<Situation> situations = {
      {"its own runtime directory",
       [](auto&) { directoryOf("/tmp/run-a", userA, 0700); },
       {"XDG_RUNTIME_DIR=/tmp/run-a", inHome(userA)}, "/tmp/run-a/", "held", "", ""},
      {"a runtime directory of mode 0777 whose lock file user B holds",
       [](auto& keep) {
         directoryOf("/tmp/shared", userA, 0777);
         keep.push_back(std::make_unique<AsUser>(userB, std::vector<std::string>{},
                                                 std::vector<std::string>{"hold", "/tmp/shared/pixkeep-7.lock"}));
         ASSERT_TRUE(keep.back()->said("held"));
       },
       {"XDG_RUNTIME_DIR=/tmp/shared", inHome(userA)}, cacheOf(userA), "held",
       "/tmp/shared is open to others (mode 0777)", ""},
      {"no runtime directory, and /tmp/pixkeep-<A> made first by user B with mode 0777",
       [](auto&) { directoryOf(tmpOf(userA), userB, 0777); },
       {inHome(userA)}, cacheOf(userA), "held", "$XDG_RUNTIME_DIR is not set", ""},
      {"the same without a home: nowhere to lock, and it says why",
       [](auto&) { directoryOf(tmpOf(userA), userB, 0777); },
       {NoHome}, "", "unavailable", tmpOf(userA) + " belongs to user " + b, ""},
      {"no runtime directory and no home: /tmp/pixkeep-<A> is made",
       [](auto&) {}, {NoHome}, tmpOf(userA) + "/", "held", "/nonexistent/.cache cannot be made", ""},
      {"no home, and /tmp/pixkeep-<A> a link of user B's to a directory of B's",
       [](auto&) {
         directoryOf("/tmp/b-own", userB, 0700);
         linkOf("/tmp/b-own", tmpOf(userA), userB);
       },
       {NoHome}, "", "unavailable", tmpOf(userA) + " is a symbolic link", ""},
      {"a cache directory opened to others: /tmp/pixkeep-<A>",
       [](auto&) {
         directoryOf(home(userA) + "/.cache", userA, 0700);
         directoryOf(home(userA) + "/.cache/pixkeep", userA, 0700);
         directoryOf(cacheOf(userA), userA, 0777);
       },
       {inHome(userA)}, tmpOf(userA) + "/", "held",
       cacheOf(userA).substr(0, cacheOf(userA).size() - 1) + " is open to others (mode 0777)", ""},
      {"a dangling link at the lock's name",
       [](auto&) {
         directoryOf("/tmp/run-a", userA, 0700);
         linkOf("/tmp/made-by-the-link", "/tmp/run-a/pixkeep-7.lock", userA);
       },
       {"XDG_RUNTIME_DIR=/tmp/run-a", inHome(userA)}, "/tmp/run-a/", "unavailable", "is a symbolic link",
       "/tmp/made-by-the-link"},
      {"a lock file of user B's in its own directory",
       [](auto&) {
         directoryOf("/tmp/run-a", userA, 0700);
         fileOf("/tmp/run-a/pixkeep-7.lock", userB, 0666);
       },
       {"XDG_RUNTIME_DIR=/tmp/run-a", inHome(userA)}, "/tmp/run-a/", "unavailable", "belongs to user " + b, ""},
  };
  for (const Situation& s : situations) {
    SCOPED_TRACE(s.name);
    PrivateTmp tmp;
    ASSERT_TRUE(tmp.mounted()) << "no tmpfs on /tmp: " << std::strerror(errno);
    ASSERT_NO_FATAL_FAILURE(directoryOf(home(userA), userA, 0700));
    ASSERT_NO_FATAL_FAILURE(directoryOf(home(userB), userB, 0700));
    std::vector<std::unique_ptr<AsUser>> keep;
    ASSERT_NO_FATAL_FAILURE(s.make(keep));

    AsUser first(userA, s.environment, lockOf7);
    ASSERT_TRUE(first.said("problem "));
    EXPECT_EQ(first.value("dir"), s.dir);
    EXPECT_EQ(first.value("state"), s.state);
    const std::string told = first.value("refused") + " | " + first.value("problem");
    EXPECT_NE(told.find(s.says), std::string::npos) << told;
    if (!s.neverMade.empty()) {
      EXPECT_FALSE(exists(s.neverMade)) << s.neverMade << " was made";
    }
    if (!s.dir.empty()) {
      struct stat st {};
      ASSERT_EQ(::lstat(s.dir.c_str(), &st), 0);
      EXPECT_EQ(st.st_uid, userA);
      EXPECT_EQ(st.st_mode & 077, 0u);
    }
    if (s.state != "held") continue;
    // A second start of the same user finds the same lock, held; once the
    // first has ended, the next start takes it.
    {
      AsUser second(userA, s.environment, lockOf7);
      EXPECT_EQ(second.value("dir"), s.dir);
      EXPECT_EQ(second.value("state"), "another");
    }
    first.finish();
    AsUser next(userA, s.environment, lockOf7);
    EXPECT_EQ(next.value("state"), "held");
  }
}

// Two users on one display never share a lock: each holds their own, also
// when both are given the same runtime directory open to all.
TEST_F(InstanceLockUsers, TwoUsersEachHoldTheirOwn) {
  struct Case {
    const char* name;
    std::vector<std::string> environmentA, environmentB;
    std::string dirA, dirB;
  };
  const Case cases[] = {
      {"no runtime directory, no home", {NoHome}, {NoHome}, tmpOf(userA) + "/", tmpOf(userB) + "/"},
      {"one runtime directory of mode 1777 for both",
       {"XDG_RUNTIME_DIR=/tmp/shared", inHome(userA)},
       {"XDG_RUNTIME_DIR=/tmp/shared", inHome(userB)},
       cacheOf(userA),
       cacheOf(userB)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PrivateTmp tmp;
    ASSERT_TRUE(tmp.mounted());
    ASSERT_NO_FATAL_FAILURE(directoryOf(home(userA), userA, 0700));
    ASSERT_NO_FATAL_FAILURE(directoryOf(home(userB), userB, 0700));
    ASSERT_NO_FATAL_FAILURE(directoryOf("/tmp/shared", 0, 01777));
    AsUser first(userA, c.environmentA, lockOf7), second(userB, c.environmentB, lockOf7);
    EXPECT_EQ(first.value("dir"), c.dirA);
    EXPECT_EQ(first.value("state"), "held");
    EXPECT_EQ(second.value("dir"), c.dirB);
    EXPECT_EQ(second.value("state"), "held");
  }
}

// What listens on a socket is known by its user: a start trusts only a
// program of its own user there.
TEST_F(InstanceLockUsers, ASocketTellsItsUser) {
  PrivateTmp tmp;
  ASSERT_TRUE(tmp.mounted());
  AsUser listenerA(userA, {}, {"listen", "/tmp/socket-a"}), listenerB(userB, {}, {"listen", "/tmp/socket-b"});
  ASSERT_TRUE(listenerA.said("listening"));
  ASSERT_TRUE(listenerB.said("listening"));
  struct Case {
    uid_t user;
    const char* socket;
    const char* answer;
  };
  const Case cases[] = {{userA, "/tmp/socket-a", "ours"},
                        {userA, "/tmp/socket-b", "other"},
                        {userB, "/tmp/socket-a", "other"},
                        {userB, "/tmp/socket-b", "ours"},
                        {userA, "/tmp/socket-none", "none"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.user) + " to " + c.socket);
    AsUser peer(c.user, {}, {"peer", c.socket});
    EXPECT_EQ(peer.value("peer"), c.answer);
  }
}

}  // namespace
