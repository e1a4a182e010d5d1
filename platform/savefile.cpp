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
  if (::close(fd) != 0) {
    ::unlink(temp.c_str());
    throw EWriteError(msg::StreamWriteError);
  }
  if (::rename(temp.c_str(), name.c_str()) != 0) {
    ::unlink(temp.c_str());
    throw EFCreateError(formatMessage(msg::CannotCreateFile, name));
  }
}

}  // namespace pixkeep
