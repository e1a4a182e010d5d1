// File-system helpers of the platform layer.
#pragma once

#include <string>

namespace pixkeep {

bool fileExists(const std::string& path);
bool isDirectory(const std::string& path);
bool isWritableDirectory(const std::string& path);
// The directory of the running executable, ending in '/'.
std::string executableDirectory();
// The program's data of an installed copy (language files, help document):
// <prefix>/share/pixkeep/ beside the executable's <prefix>/bin/, ending in
// '/'; empty when that directory does not exist.
std::string installedDataDirectory();
// Whether the program keeps its files beside itself: its directory is
// writable and it is not an installed copy. An installed copy writes nothing
// under its prefix, also when run by a user who could.
bool keepsFilesBesideItself();
// $XDG_CONFIG_HOME, else ~/.config; ends in '/'.
std::string userConfigHome();
// Where settings and language files live: the executable's directory when
// the program keeps its files beside itself, else $XDG_CONFIG_HOME/pixkeep/
// (created when missing). Ends in '/'.
std::string configDirectory();
// The default output directory: the executable's directory when the program
// keeps its files beside itself, else the user's pictures directory (created
// when missing). Ends in '/'.
std::string defaultOutputDirectory();

}  // namespace pixkeep
