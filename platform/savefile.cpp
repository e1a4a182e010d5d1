#include "platform/savefile.h"

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

#include "platform/errors.h"

namespace pixkeep {

namespace {

std::string temporaryNameFor(const std::string& name, unsigned attempt) {
  static std::atomic<unsigned> serial{0};
  auto slash = name.rfind('/');
  std::string dir = slash == std::string::npos ? std::string() : name.substr(0, slash + 1);
  std::string base = slash == std::string::npos ? name : name.substr(slash + 1);
  return dir + "." + base + "." + std::to_string(::getpid()) + "-" +
         std::to_string(serial.fetch_add(1) + attempt) + ".part";
}

// Makes the rename itself durable. A directory we may write but not read
// cannot be opened, and file systems that cannot sync a directory answer
// EINVAL; there is nothing more to do on either.
void syncDirectoryOf(const std::string& name) {
  auto slash = name.rfind('/');
  std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : name.substr(0, slash);
  int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  const bool synced = ::fsync(fd) == 0 || errno == EINVAL;
  ::close(fd);
  if (!synced) throw EWriteError(msg::StreamWriteError);
}

}  // namespace

void saveToFileAtomically(const std::string& name, const std::function<void(Stream&)>& writer) {
  std::string temp;
  int fd = -1;
  for (unsigned attempt = 0; attempt < 100 && fd < 0; ++attempt) {
    temp = temporaryNameFor(name, attempt);
    fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0 && errno != EEXIST) break;
  }
  if (fd < 0) throw EFCreateError(formatMessage(msg::CannotCreateFile, name));

  try {
    FdStream stream(fd);
    writer(stream);
  } catch (...) {
    ::close(fd);
    ::unlink(temp.c_str());
    throw;
  }
  // The bytes reach the disk before the name does: after a crash the file
  // holds the old contents or the new ones, never an empty or partial file.
  const bool synced = ::fsync(fd) == 0;
  if (::close(fd) != 0 || !synced) {
    ::unlink(temp.c_str());
    throw EWriteError(msg::StreamWriteError);
  }
  if (::rename(temp.c_str(), name.c_str()) != 0) {
    ::unlink(temp.c_str());
    throw EFCreateError(formatMessage(msg::CannotCreateFile, name));
  }
  syncDirectoryOf(name);
}

}  // namespace pixkeep
