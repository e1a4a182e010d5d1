// The start at log-in: a desktop entry in the user's autostart directory
// that starts the program hidden. Whether the program starts at log-in is
// whether that file is there.
#pragma once

#include <string>

namespace pixkeep {

// $XDG_CONFIG_HOME/autostart/pixkeep.desktop (~/.config/autostart/ without it).
std::string autostartFile();

// An argument of a desktop entry's Exec key: as it is when it holds none of
// the characters the key reserves, else in double quotes with '"', '`', '$'
// and '\' escaped by a backslash.
std::string execArgument(const std::string& argument);

// How an autostart entry names the program at `executable`: "pixkeep" when
// the first "pixkeep" found along `searchPath` ($PATH) is that very file,
// else the executable's absolute name as an Exec argument.
std::string programCommand(const std::string& executable, const std::string& searchPath);

bool startsAtLogin(const std::string& file);

// Writes the entry `file` with "Exec=<command> -hide" (its directory made
// when missing, the file replaced atomically), or removes it. A failure
// raises "Unable to write to <file>" and leaves the file as it was.
void setStartAtLogin(const std::string& file, bool on, const std::string& command);

}  // namespace pixkeep
