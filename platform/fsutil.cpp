#include "platform/fsutil.h"

#include <cstdio>
#include <cstdlib>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

namespace pixkeep {

namespace {

std::string withSlash(std::string s) {
  if (s.empty() || s.back() != '/') s += '/';
  return s;
}

std::string homeDirectory() {
  const char* home = std::getenv("HOME");
  return home && *home ? home : "/tmp";
}

void makeDirectories(const std::string& path) {
  for (size_t i = 1; i <= path.size(); ++i)
    if (i == path.size() || path[i] == '/') ::mkdir(path.substr(0, i).c_str(), 0755);
}

std::string picturesDirectory() {
  std::string result;
  if (FILE* p = ::popen("xdg-user-dir PICTURES 2>/dev/null", "r")) {
    char buf[PATH_MAX];
    if (std::fgets(buf, sizeof buf, p)) result = buf;
    ::pclose(p);
  }
  while (!result.empty() && (result.back() == '\n' || result.back() == '\r')) result.pop_back();
  // xdg-user-dir answers the home directory itself when PICTURES is not configured.
  if (result.empty() || withSlash(result) == withSlash(homeDirectory()))
    result = homeDirectory() + "/Pictures";
  return result;
}

}  // namespace

bool fileExists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

bool isDirectory(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool isWritableDirectory(const std::string& path) {
  return isDirectory(path) && ::access(path.c_str(), W_OK | X_OK) == 0;
}

std::string executableDirectory() {
  char buf[PATH_MAX];
  ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return "./";
  std::string path(buf, size_t(n));
  return path.substr(0, path.rfind('/') + 1);
}

std::string installedDataDirectory() {
  // The build says where the data lies as seen from the executable's
  // directory, so an installed tree works wherever it is unpacked.
  const std::string dir = withSlash(executableDirectory() + PIXKEEP_DATA_FROM_BINARY);
  return isDirectory(dir) ? dir : std::string();
}

bool keepsFilesBesideItself() {
  return isWritableDirectory(executableDirectory()) && installedDataDirectory().empty();
}

std::string userConfigHome() {
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  return withSlash(xdg && *xdg ? xdg : homeDirectory() + "/.config");
}

std::string configDirectory() {
  if (keepsFilesBesideItself()) return executableDirectory();
  std::string dir = userConfigHome() + "pixkeep/";
  makeDirectories(dir);
  return dir;
}

std::string defaultOutputDirectory() {
  if (keepsFilesBesideItself()) return executableDirectory();
  std::string dir = withSlash(picturesDirectory());
  makeDirectories(dir);
  return dir;
}

}  // namespace pixkeep
