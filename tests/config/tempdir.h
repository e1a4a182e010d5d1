// A temporary directory per test, and a way to make one read-only that holds
// also when the tests run as root (who writes anywhere): for its lifetime the
// process acts as the unprivileged user "nobody".
#pragma once

#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdlib.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace pixkeep::testing_support {

class TempDir {
 public:
  TempDir() {
    char templ[] = "/tmp/pixkeep-config-XXXXXX";
    path_ = std::string(::mkdtemp(templ)) + "/";
  }
  ~TempDir() {
    ::chmod(path_.c_str(), 0700);
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + name; }

 private:
  std::string path_;
};

inline void writeFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

inline std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

class ReadOnlyDirectory {
 public:
  explicit ReadOnlyDirectory(const std::string& dir) : dir_(dir) {
    ::chmod(dir_.c_str(), 0555);
    if (::geteuid() == 0) dropped_ = ::seteuid(65534) == 0;
  }
  ~ReadOnlyDirectory() {
    if (dropped_ && ::seteuid(0) != 0) std::abort();
    ::chmod(dir_.c_str(), 0700);
  }
  ReadOnlyDirectory(const ReadOnlyDirectory&) = delete;
  ReadOnlyDirectory& operator=(const ReadOnlyDirectory&) = delete;
  // False when the directory is in fact writable, so the test cannot work.
  bool effective() const { return ::faccessat(AT_FDCWD, dir_.c_str(), W_OK, AT_EACCESS) != 0; }

 private:
  std::string dir_;
  bool dropped_ = false;
};

}  // namespace pixkeep::testing_support
