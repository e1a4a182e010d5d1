// What the benchmarks of the real program need of the desktop: child
// processes and an Xvfb of their own.
#pragma once

#include <cstdlib>
#include <fcntl.h>
#include <spawn.h>
#include <string>
#include <sys/types.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace pixkeep::bench {

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

}  // namespace pixkeep::bench
