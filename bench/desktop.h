// What the benchmarks of the real program need of the desktop: child
// processes and an Xvfb of their own.
#pragma once

#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <string>
#include <sys/inotify.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace pixkeep::bench {

// Ends a child started by spawn() and waits for it.
inline void stop(pid_t pid) {
  if (pid <= 0) return;
  kill(pid, SIGTERM);
  waitpid(pid, nullptr, 0);
}

// Starts `args` with its output thrown away; -1 when it cannot be started.
inline pid_t spawn(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  if (posix_spawnp(&pid, argv[0], &fa, nullptr, argv.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&fa);
  return pid;
}

inline int run(const std::string& command) { return std::system(command.c_str()); }

// Starts Xvfb on a display it picks itself (written to `display`, ":N");
// -1 when it did not come up.
inline pid_t startXvfb(std::string& display) {
  int fds[2];
  if (pipe(fds) != 0) return -1;
  const pid_t pid =
      spawn({"Xvfb", "-displayfd", std::to_string(fds[1]), "-screen", "0", "1280x1024x24", "-nolisten", "tcp"});
  close(fds[1]);
  char buf[32] = {};
  const ssize_t n = read(fds[0], buf, sizeof buf - 1);
  close(fds[0]);
  if (pid < 0 || n <= 0) return -1;
  display = ":" + std::string(buf, size_t(n - (buf[n - 1] == '\n' ? 1 : 0)));
  return pid;
}

// Tells when a file appears in a folder. The program's pictures appear whole
// under their name (linked or renamed into place), so the name is enough.
class FolderWatch {
 public:
  explicit FolderWatch(const std::string& folder) : fd_(inotify_init1(IN_CLOEXEC)) {
    inotify_add_watch(fd_, folder.c_str(), IN_CREATE | IN_MOVED_TO);
  }
  ~FolderWatch() { close(fd_); }
  FolderWatch(const FolderWatch&) = delete;
  FolderWatch& operator=(const FolderWatch&) = delete;

  // Waits until a file named `name` appears; false when `limit` passed first.
  bool waitFor(const std::string& name, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
      pollfd p{fd_, POLLIN, 0};
      if (left.count() <= 0 || poll(&p, 1, int(left.count()) + 1) <= 0) return false;
      alignas(inotify_event) char buf[4096];
      const ssize_t n = read(fd_, buf, sizeof buf);
      for (ssize_t off = 0; off < n;) {
        const auto* ev = reinterpret_cast<const inotify_event*>(buf + off);
        if (ev->len && name == ev->name) return true;
        off += ssize_t(sizeof(inotify_event) + ev->len);
      }
    }
  }

 private:
  int fd_;
};

}  // namespace pixkeep::bench
