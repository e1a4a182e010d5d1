#include "platform/savefile.h"

#include <atomic>
#include <optional>
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

// A file written once and not yet visible under any name: anonymous where
// the file system allows it (a crash leaves nothing behind), else a hidden
// named file beside the target. It can then be linked under a name, which
// never replaces a file that has that name.
class StagedFile {
 public:
  StagedFile(const std::string& dir, const std::string& firstName, const std::function<void(Stream&)>& writer,
             bool anonymous) {
    if (anonymous) {
      fd_ = ::open(dir.empty() ? "." : dir.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
      if (fd_ < 0 && errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) cannotCreate(firstName, errno);
    }
    if (fd_ < 0) {
      temp_ = writeTemporary(firstName, writer);
      return;
    }
    // The writer gets a second descriptor, so that this one still names the
    // file afterwards.
    const int writeFd = ::dup(fd_);
    if (writeFd < 0) {
      const int error = errno;
      ::close(fd_);
      cannotCreate(firstName, error);
    }
    try {
      fill(writeFd, firstName, writer);
    } catch (...) {
      ::close(fd_);
      throw;
    }
  }
  ~StagedFile() {
    if (fd_ >= 0) ::close(fd_);
    if (!temp_.empty()) ::unlink(temp_.c_str());
  }
  StagedFile(const StagedFile&) = delete;
  StagedFile& operator=(const StagedFile&) = delete;

  // Links the file under `name`; false when a file of that name exists.
  bool linkAs(const std::string& name) {
    const std::string self = "/proc/self/fd/" + std::to_string(fd_);
    const int rc = fd_ >= 0 ? ::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW)
                            : ::link(temp_.c_str(), name.c_str());
    if (rc != 0) {
      if (errno == EEXIST) return false;
      cannotCreate(name, errno);
    }
    syncDirectory(split(name).dir);
    return true;
  }

 private:
  int fd_ = -1;
  std::string temp_;
};

// Whether `dirFd` holds an entry `base` (a dangling link counts: it takes
// the name). A name that cannot be looked at is an error, never a name
// taken: passing over it would run through every number.
bool entryExists(int dirFd, const std::string& dir, const std::string& base) {
  struct stat st {};
  if (::fstatat(dirFd, base.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) return true;
  if (errno != ENOENT) cannotCreate(dir + base, errno);
  return false;
}

bool saveNew(const std::string& name, const std::function<void(Stream&)>& writer, bool anonymous) {
  if (::access(name.c_str(), F_OK) == 0) return false;  // taken: nothing to write
  StagedFile file(split(name).dir, name, writer, anonymous);
  return file.linkAs(name);
}

std::optional<int> saveNumbered(const std::string& directory, int first, int last,
                                const std::function<std::string(int)>& nameFor,
                                const std::function<void(Stream&)>& writer, bool anonymous) {
  const int dirFd = ::open(directory.empty() ? "." : directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirFd < 0) {
    if (first > last) return std::nullopt;
    cannotCreate(directory + nameFor(first), errno);
  }
  struct DirCloser {
    int fd;
    ~DirCloser() { ::close(fd); }
  } closer{dirFd};
  // The next number whose name no entry has, from n on.
  auto nextFree = [&](int n) -> std::optional<int> {
    for (; n <= last; ++n)
      if (!entryExists(dirFd, directory, nameFor(n))) return n;
    return std::nullopt;
  };
  std::optional<int> n = nextFree(first);
  if (!n) return std::nullopt;
  StagedFile file(directory, directory + nameFor(*n), writer, anonymous);
  // A name taken between the test and the link passes the same bytes on.
  while (n && !file.linkAs(directory + nameFor(*n))) n = nextFree(*n + 1);
  return n;
}

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
  return saveNew(name, writer, true);
}

std::optional<int> saveNumberedFile(const std::string& directory, int first, int last,
                                    const std::function<std::string(int)>& nameFor,
                                    const std::function<void(Stream&)>& writer) {
  return saveNumbered(directory, first, last, nameFor, writer, true);
}

bool detail::saveNewFileThroughNamedTemporary(const std::string& name, const std::function<void(Stream&)>& writer) {
  // Linked (never renamed, so that an existing file is not replaced) and
  // then removed; one left by a crash is removed at the next start by
  // removeStaleTemporaries.
  return saveNew(name, writer, false);
}

std::optional<int> detail::saveNumberedFileThroughNamedTemporary(const std::string& directory, int first, int last,
                                                                 const std::function<std::string(int)>& nameFor,
                                                                 const std::function<void(Stream&)>& writer) {
  return saveNumbered(directory, first, last, nameFor, writer, false);
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
