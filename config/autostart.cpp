#include "config/autostart.h"

#include <filesystem>
#include <string_view>
#include <system_error>

#include "config/errors.h"
#include "platform/fsutil.h"
#include "platform/savefile.h"

namespace pixkeep {

namespace {

namespace fs = std::filesystem;

// Characters that make an Exec argument need quotes.
constexpr std::string_view Reserved = " \t\n\"'\\><~|&;$*?#()`";

// A desktop entry's string value: backslashes, tabs and line breaks escaped.
std::string entryValue(const std::string& value) {
  std::string out;
  for (char c : value) {
    if (c == '\\')
      out += "\\\\";
    else if (c == '\n')
      out += "\\n";
    else if (c == '\t')
      out += "\\t";
    else if (c == '\r')
      out += "\\r";
    else
      out += c;
  }
  return out;
}

}  // namespace

std::string autostartFile() { return userConfigHome() + "autostart/pixkeep.desktop"; }

std::string execArgument(const std::string& argument) {
  // A literal '%' is "%%", quoted or not: a lone one starts a field code.
  std::string percent;
  for (char c : argument) {
    percent += c;
    if (c == '%') percent += '%';
  }
  if (argument.find_first_of(Reserved) == std::string::npos) return percent;
  std::string out = "\"";
  for (char c : percent) {
    if (c == '"' || c == '`' || c == '$' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

std::string programCommand(const std::string& executable, const std::string& searchPath) {
  size_t start = 0;
  while (start <= searchPath.size()) {
    const size_t end = std::min(searchPath.find(':', start), searchPath.size());
    const std::string dir = searchPath.substr(start, end - start);
    start = end + 1;
    // An empty entry is the current directory, which is no place to start from at log-in.
    if (dir.empty()) continue;
    std::error_code ec;
    const fs::path candidate = fs::path(dir) / "pixkeep";
    if (!fs::exists(candidate, ec)) continue;
    if (fs::equivalent(candidate, executable, ec)) return "pixkeep";
    break;  // another program answers to the name
  }
  return execArgument(executable);
}

bool startsAtLogin(const std::string& file) { return fileExists(file); }

void setStartAtLogin(const std::string& file, bool on, const std::string& command) {
  const auto fail = [&] { return EIniFileException(formatMessage(msg::UnableToWrite, file)); };
  std::error_code ec;
  if (!on) {
    if (!fs::remove(file, ec) && ec) throw fail();
    return;
  }
  fs::create_directories(fs::path(file).parent_path(), ec);
  const std::string text =
      "[Desktop Entry]\n"
      "Type=Application\n"
      "Name=Pixkeep\n"
      "Comment=Saves every picture copied to the clipboard as a numbered file\n"
      "Exec=" + entryValue(command) + " -hide\n"
      "Icon=pixkeep\n"
      "Terminal=false\n"
      "X-GNOME-Autostart-enabled=true\n";
  try {
    saveToFileAtomically(file, [&](Stream& out) { out.writeBuffer(text.data(), text.size()); });
  } catch (const Exception&) {
    throw fail();
  }
}

}  // namespace pixkeep
