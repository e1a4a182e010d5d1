// File-system helpers of the platform layer.
#pragma once

#include <string>

namespace pixkeep {

bool fileExists(const std::string& path);
bool isDirectory(const std::string& path);
bool isWritableDirectory(const std::string& path);
// The directory of the running executable, ending in '/'.
std::string executableDirectory();
// Where settings and language files live: the executable's directory when it is
// writable, else $XDG_CONFIG_HOME/pixkeep/ (created when missing). Ends in '/'.
std::string configDirectory();
// The default output directory: the executable's directory when it is
// writable, else the user's pictures directory (created when missing). Ends in '/'.
std::string defaultOutputDirectory();

}  // namespace pixkeep
