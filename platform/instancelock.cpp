#include "platform/instancelock.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace pixkeep {

namespace {

std::string withSlash(std::string dir) { return !dir.empty() && dir.back() == '/' ? dir : dir + "/"; }
std::string withoutSlash(std::string dir) {
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  return dir;
}

std::string fileNamePart(std::string name) {
  for (char& c : name) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                       c == '_' || c == '-';
    if (!plain) c = '_';
  }
  return name;
}

std::string octal(mode_t mode) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", unsigned(mode & 07777));
  return text;
}

// Makes the directory `path` for the user alone unless it is there; empty,
// or why it could not be made.
std::string makeDirectory(const std::string& path) {
  if (::mkdir(path.c_str(), 0700) == 0 || errno == EEXIST) return {};
  return path + " cannot be made (" + std::strerror(errno) + ")";
}

}  // namespace

RuntimePlaces runtimePlacesFromEnvironment() {
  RuntimePlaces places;
  places.uid = ::geteuid();
  if (const char* dir = std::getenv("XDG_RUNTIME_DIR")) places.runtimeDir = dir;
  // Relative values of these are to be ignored.
  const char* cache = std::getenv("XDG_CACHE_HOME");
  const char* home = std::getenv("HOME");
  if (cache && cache[0] == '/') {
    places.cacheHome = cache;
  } else if (home && home[0] == '/') {
    places.cacheHome = withSlash(home) + ".cache";
  } else if (const passwd* pw = ::getpwuid(places.uid); pw && pw->pw_dir && pw->pw_dir[0] == '/') {
    places.cacheHome = withSlash(pw->pw_dir) + ".cache";
  }
  char host[256] = {};
  if (::gethostname(host, sizeof host - 1) == 0 && host[0]) places.host = fileNamePart(host);
  if (places.host.empty() || places.host == "." || places.host == "..") places.host = "localhost";
  return places;
}

std::string directoryProblem(const std::string& path, uid_t uid) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return path + " cannot be looked at (" + std::strerror(errno) + ")";
  if (S_ISLNK(st.st_mode)) return path + " is a symbolic link";
  if (!S_ISDIR(st.st_mode)) return path + " is not a directory";
  if (st.st_uid != uid) return path + " belongs to user " + std::to_string(st.st_uid);
  if ((st.st_mode & 077) != 0) return path + " is open to others (mode " + octal(st.st_mode) + ")";
  if (::faccessat(AT_FDCWD, path.c_str(), W_OK | X_OK, AT_EACCESS) != 0)
    return path + " is not writable (" + std::strerror(errno) + ")";
  return {};
}

RuntimeDirectory userRuntimeDirectory(const RuntimePlaces& places) {
  RuntimeDirectory found;
  const auto refuse = [&](const std::string& why) { found.refused += (found.refused.empty() ? "" : "; ") + why; };
  const auto take = [&](const std::string& dir) {
    const std::string problem = directoryProblem(dir, places.uid);
    if (problem.empty()) found.path = withSlash(dir);
    else refuse(problem);
    return problem.empty();
  };

  if (places.runtimeDir.empty()) refuse("$XDG_RUNTIME_DIR is not set");
  else if (places.runtimeDir[0] != '/') refuse("$XDG_RUNTIME_DIR " + places.runtimeDir + " is not an absolute path");
  else if (take(withoutSlash(places.runtimeDir))) return found;

  if (places.cacheHome.empty()) {
    refuse("no home directory");
  } else {
    const std::string cache = withoutSlash(places.cacheHome), own = cache + "/pixkeep",
                      dir = own + "/" + places.host;
    std::string problem = makeDirectory(cache);
    if (problem.empty()) problem = makeDirectory(own);
    if (problem.empty()) problem = makeDirectory(dir);
    if (!problem.empty()) refuse(problem);
    else if (take(dir)) return found;
  }

  const std::string tmp = withoutSlash(places.tmp) + "/pixkeep-" + std::to_string(places.uid);
  // Made first by someone else, or opened up to others, it is refused: they
  // could take or keep our lock.
  if (const std::string problem = makeDirectory(tmp); !problem.empty()) refuse(problem);
  else if (take(tmp)) return found;
  return found;
}

std::string displayKey(const std::string& display) {
  std::string key = display;
  if (const size_t colon = display.rfind(':'); colon != std::string::npos) {
    const std::string host = display.substr(0, colon);
    std::string number = display.substr(colon + 1);
    number = number.substr(0, number.find('.'));  // the screen belongs to the same server
    const bool local = host.empty() || host == "unix" || host == "localhost" || host == "127.0.0.1";
    key = local ? number : host + "-" + number;
  }
  return fileNamePart(key);
}

bool peerIsUser(int fd, uid_t uid) {
  ucred peer {};
  socklen_t size = sizeof peer;
  return ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0 && size == sizeof peer && peer.uid == uid;
}

InstanceLock::InstanceLock(const std::string& path) {
  if (path.empty()) {
    problem_ = "has no place";
    return;
  }
  // O_NOFOLLOW: a link there fails (ELOOP) instead of making its target;
  // O_NONBLOCK: a FIFO there does not hold the start up.
  fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600);
  if (fd_ < 0) {
    struct stat st {};
    problem_ = errno == ELOOP && ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)
                   ? "is a symbolic link"
                   : std::string("cannot be opened (") + std::strerror(errno) + ")";
    return;
  }
  struct stat st {};
  if (::fstat(fd_, &st) != 0) {
    problem_ = std::string("cannot be looked at (") + std::strerror(errno) + ")";
  } else if (!S_ISREG(st.st_mode)) {
    problem_ = "is not a regular file";
  } else if (st.st_uid != ::geteuid()) {
    problem_ = "belongs to user " + std::to_string(st.st_uid);
  } else if (::flock(fd_, LOCK_EX | LOCK_NB) == 0) {
    state_ = State::Held;
    return;
  } else if (errno == EWOULDBLOCK) {
    state_ = State::HeldByAnother;
    return;
  } else {
    problem_ = std::string("cannot be locked (") + std::strerror(errno) + ")";
  }
  ::close(fd_);
  fd_ = -1;
}

InstanceLock::~InstanceLock() {
  if (fd_ >= 0) ::close(fd_);  // lets go of the lock
}

}  // namespace pixkeep
