#include "platform/instancelock.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/fsutil.h"

namespace pixkeep {

std::string userRuntimeDirectory() {
  const char* xdg = std::getenv("XDG_RUNTIME_DIR");
  if (xdg && *xdg && isWritableDirectory(xdg)) {
    std::string dir = xdg;
    return dir.back() == '/' ? dir : dir + "/";
  }
  const std::string dir = "/tmp/pixkeep-" + std::to_string(::getuid());
  ::mkdir(dir.c_str(), 0700);
  struct stat st {};
  // Someone else's directory under that name could let them take our lock.
  if (::lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::getuid() || (st.st_mode & 077) != 0)
    return {};
  return dir + "/";
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
  for (char& c : key) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                       c == '_' || c == '-';
    if (!plain) c = '_';
  }
  return key;
}

InstanceLock::InstanceLock(const std::string& path) {
  fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd_ < 0) return;
  if (::flock(fd_, LOCK_EX | LOCK_NB) == 0)
    state_ = State::Held;
  else if (errno == EWOULDBLOCK)
    state_ = State::HeldByAnother;
}

InstanceLock::~InstanceLock() {
  if (fd_ >= 0) ::close(fd_);  // lets go of the lock
}

}  // namespace pixkeep
