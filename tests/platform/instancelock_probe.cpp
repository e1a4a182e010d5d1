// What one user's program does with the lock, run as that user by
// instancelock_users_test.cpp (through setpriv):
//
//   instancelock_probe lock KEY    the program's own way: the directory for
//                                  the display KEY's lock, then the lock;
//                                  prints "dir D", "refused R", "state S"
//                                  (held, another, unavailable), "problem P"
//   instancelock_probe hold PATH   a plain flock on PATH (made when missing,
//                                  readable and writable by all), as any
//                                  other program could hold it; prints "held"
//   instancelock_probe listen PATH a local socket at PATH; prints "listening"
//   instancelock_probe peer PATH   connects to PATH; prints "peer ours",
//                                  "peer other" or "peer none"
//
// Whatever it holds it keeps until its standard input closes.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "platform/instancelock.h"

namespace {

using pixkeep::InstanceLock;

void say(const std::string& line) {
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

// Until standard input closes, accepting and closing connections on `listener` meanwhile.
void keepUntilTold(int listener = -1) {
  for (;;) {
    pollfd fds[2] = {{0, POLLIN, 0}, {listener, POLLIN, 0}};
    if (::poll(fds, listener >= 0 ? 2 : 1, -1) < 0 && errno != EINTR) return;
    if (fds[0].revents) {
      char c;
      if (::read(0, &c, 1) <= 0) return;
    }
    if (listener >= 0 && (fds[1].revents & POLLIN)) {
      const int client = ::accept(listener, nullptr, nullptr);
      if (client >= 0) ::close(client);
    }
  }
}

sockaddr_un address(const std::string& path) {
  sockaddr_un a {};
  a.sun_family = AF_UNIX;
  std::snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
  return a;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s lock KEY | hold PATH | listen PATH | peer PATH\n", argv[0]);
    return 2;
  }
  const std::string what = argv[1], arg = argv[2];
  if (what == "lock") {
    const pixkeep::RuntimeDirectory dir = pixkeep::userRuntimeDirectory();
    say("dir " + dir.path);
    say("refused " + dir.refused);
    InstanceLock lock(dir.path.empty() ? std::string() : dir.path + "pixkeep-" + arg + ".lock");
    const InstanceLock::State state = lock.state();
    say(std::string("state ") + (state == InstanceLock::State::Held            ? "held"
                                 : state == InstanceLock::State::HeldByAnother ? "another"
                                                                               : "unavailable"));
    say("problem " + lock.problem());
    keepUntilTold();
    return 0;
  }
  if (what == "hold") {
    const int fd = ::open(arg.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0 || ::fchmod(fd, 0666) != 0 || ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
      say(std::string("failed ") + std::strerror(errno));
      return 1;
    }
    say("held");
    keepUntilTold();
    return 0;
  }
  if (what == "listen" || what == "peer") {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_un a = address(arg);
    const auto* sa = reinterpret_cast<const sockaddr*>(&a);
    if (what == "peer") {
      if (fd < 0 || ::connect(fd, sa, sizeof a) != 0) {
        say("peer none");
        return 0;
      }
      say(pixkeep::peerIsUser(fd, ::geteuid()) ? "peer ours" : "peer other");
      return 0;
    }
    if (fd < 0 || ::bind(fd, sa, sizeof a) != 0 || ::chmod(arg.c_str(), 0777) != 0 || ::listen(fd, 8) != 0) {
      say(std::string("failed ") + std::strerror(errno));
      return 1;
    }
    say("listening");
    keepUntilTold(fd);
    return 0;
  }
  std::fprintf(stderr, "%s: unknown command %s\n", argv[0], what.c_str());
  return 2;
}
