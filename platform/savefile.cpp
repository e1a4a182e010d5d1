#include "platform/savefile.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/errors.h"

namespace pixkeep {

namespace {

struct SplitName {
  std::string dir;   // with its trailing '/', or empty for the current directory
  std::string base;
};

SplitName split(const std::string& name) {
  auto slash = name.rfind('/');
  if (slash == std::string::npos) return {std::string(), name};
  return {name.substr(0, slash + 1), name.substr(slash + 1)};
}

std::string reason(int error) { return std::strerror(error); }

// "pxk15.png: No space left on device"
std::string detailFor(const std::string& name, const std::string& why) {
  const std::string base = split(name).base;
  return why.empty() ? base : base + ": " + why;
}

[[noreturn]] void cannotCreate(const std::string& name, int error) {
  throw EFCreateError(formatMessage(msg::CannotCreateFile, name), detailFor(name, reason(error)));
}

// Hidden temporary names: ".<name>.<pid>-<serial>.part" beside the target.
std::string temporaryNameFor(const std::string& name) {
  static std::atomic<unsigned> serial{0};
  const SplitName s = split(name);
  return s.dir + "." + s.base + "." + std::to_string(::getpid()) + "-" + std::to_string(serial.fetch_add(1)) + ".part";
}

int openTemporary(const std::string& name, std::string& temp) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    temp = temporaryNameFor(name);
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

// Flushes the directory entry of a file just linked or renamed into `dir`.
void syncDirectory(const std::string& dir) {
  int fd = ::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

// Runs the writer on `fd`, then flushes and closes it; on any failure the
// descriptor is closed and the error carries the file's name and the reason.
void fill(int fd, const std::string& name, const std::function<void(Stream&)>& writer) {
  try {
    FdStream stream(fd);
    writer(stream);
  } catch (Exception& e) {
    ::close(fd);
    e.setDetail(detailFor(name, e.detail()));
    throw;
  } catch (...) {
    ::close(fd);
    throw;
  }
  if (::fsync(fd) != 0 && errno != EINVAL) {
    const int error = errno;
    ::close(fd);
    throw EWriteError(msg::StreamWriteError, detailFor(name, reason(error)));
  }
  if (::close(fd) != 0) throw EWriteError(msg::StreamWriteError, detailFor(name, reason(errno)));
}

// Writes a hidden temporary file beside `name` and returns its path; nothing
// is left behind when writing fails.
std::string writeTemporary(const std::string& name, const std::function<void(Stream&)>& writer) {
  std::string temp;
  int fd = openTemporary(name, temp);
  if (fd < 0) cannotCreate(name, errno);
  try {
    fill(fd, name, writer);
  } catch (...) {
    ::unlink(temp.c_str());
    throw;
  }
  return temp;
}

bool processAlive(long pid) { return ::kill(pid_t(pid), 0) == 0 || errno == EPERM; }

}  // namespace

void saveToFileAtomically(const std::string& name, const std::function<void(Stream&)>& writer) {
  const std::string temp = writeTemporary(name, writer);
  if (::rename(temp.c_str(), name.c_str()) != 0) {
    const int error = errno;
    ::unlink(temp.c_str());
    cannotCreate(name, error);
  }
  syncDirectory(split(name).dir);
}

bool saveNewFile(const std::string& name, const std::function<void(Stream&)>& writer) {
  const SplitName s = split(name);
  const std::string dir = s.dir.empty() ? "." : s.dir;
  int fd = ::open(dir.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
  if (fd >= 0) {
    // Anonymous until linked: a crash leaves nothing behind. The writer gets
    // a second descriptor, so that this one still names the file afterwards.
    int writeFd = ::dup(fd);
    if (writeFd < 0) {
      const int error = errno;
      ::close(fd);
      cannotCreate(name, error);
    }
    try {
      fill(writeFd, name, writer);
    } catch (...) {
      ::close(fd);
      throw;
    }
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    int rc = ::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW);
    const int error = errno;
    ::close(fd);
    if (rc != 0) {
      if (error == EEXIST) return false;
      cannotCreate(name, error);
    }
    syncDirectory(s.dir);
    return true;
  }
  if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) cannotCreate(name, errno);
  return detail::saveNewFileThroughNamedTemporary(name, writer);
}

bool detail::saveNewFileThroughNamedTemporary(const std::string& name, const std::function<void(Stream&)>& writer) {
  // A hidden named file, linked (never renamed, so that an existing file is
  // not replaced) and then removed; one left by a crash is removed at the
  // next start by removeStaleTemporaries.
  if (::access(name.c_str(), F_OK) == 0) return false;
  const std::string temp = writeTemporary(name, writer);
  int rc = ::link(temp.c_str(), name.c_str());
  const int error = errno;
  ::unlink(temp.c_str());
  if (rc != 0) {
    if (error == EEXIST) return false;
    cannotCreate(name, error);
  }
  syncDirectory(split(name).dir);
  return true;
}

int removeStaleTemporaries(const std::string& directory) {
  DIR* d = ::opendir(directory.empty() ? "." : directory.c_str());
  if (!d) return 0;
  int removed = 0;
  const std::string dir = directory.empty() || directory.back() == '/' ? directory : directory + "/";
  while (dirent* e = ::readdir(d)) {
    const std::string n = e->d_name;
    // ".<name>.<pid>-<serial>.part"
    if (n.size() < 8 || n[0] != '.' || n.compare(n.size() - 5, 5, ".part") != 0) continue;
    const std::string stem = n.substr(0, n.size() - 5);
    const auto dash = stem.rfind('-');
    const auto dot = stem.rfind('.', dash == std::string::npos ? std::string::npos : dash);
    if (dash == std::string::npos || dot == std::string::npos || dot == 0 || dot + 1 >= dash) continue;
    const std::string pid = stem.substr(dot + 1, dash - dot - 1), serial = stem.substr(dash + 1);
    auto digits = [](const std::string& t) {
      return !t.empty() && t.size() < 11 && t.find_first_not_of("0123456789") == std::string::npos;
    };
    if (!digits(pid) || !digits(serial)) continue;
    const long p = std::stol(pid);
    if (p == long(::getpid()) || processAlive(p)) continue;
    struct stat st {};
    if (::lstat((dir + n).c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::getuid()) continue;
    if (::unlink((dir + n).c_str()) == 0) ++removed;
  }
  ::closedir(d);
  return removed;
}

}  // namespace pixkeep
