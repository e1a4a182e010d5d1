// pixkeep.ini: the user's choices kept between runs. Read once at start-up,
// written key by key when they change; the program never creates the file
// until its first write.
#pragma once

#include <cstdint>
#include <string>

#include "config/profile.h"

namespace pixkeep {

// [Settings] TextPos: the corner of the stamp.
enum class StampCorner : int32_t { UpRight = 1, UpLeft = 2, UpCenter = 3 };

// Where the program keeps its files and what the missing keys default to.
struct ProgramPlaces {
  std::string settingsFile;            // pixkeep.ini in the settings directory
  std::string defaultLanguageFile;     // english.ini
  std::string defaultOutputDirectory;  // ends in '/'
  // Where a help file not found in the current directory is looked for;
  // ends in '/', or empty for nowhere else.
  std::string dataDirectory{};
  // The desktop entry that starts the program at log-in; empty where the
  // program offers no start at log-in.
  std::string autostartFile{};
};
// The running program's places. A program that keeps its files beside
// itself has them all in its directory. Otherwise (an installed copy, or a
// directory it cannot write) the settings go to $XDG_CONFIG_HOME/pixkeep/,
// pictures to the user's pictures directory, and the language files and the
// help document come from the installed data directory.
ProgramPlaces programPlaces();

// The keys, their sections and their defaults.
namespace setting {
struct Key {
  const char* section;
  const char* name;
};
inline constexpr Key OutputDir{"Settings", "OutputDir"};     // default: the default output directory
inline constexpr Key TextColor{"Settings", "TextColor"};     // 0x00BBGGRR
inline constexpr Key TextPos{"Settings", "TextPos"};         // StampCorner
inline constexpr Key AddText{"Settings", "AddText"};         // 1 = stamp on
inline constexpr Key TextBG{"Settings", "TextBG"};           // 1 = white box behind the text
inline constexpr Key LastText{"Settings", "LastText"};       // the stamp text
inline constexpr Key LangFile{"Language", "LangFile"};       // default: the default language file
inline constexpr int32_t DefaultTextColor = 32768;          // green
inline constexpr int32_t DefaultTextPos = 1;
inline constexpr int32_t DefaultAddText = 0;
inline constexpr int32_t DefaultTextBG = 0;
}  // namespace setting

// The [Settings] values as start-up reads them.
struct StoredSettings {
  std::string outputDir;  // as stored: normaliseOutputDirectory makes it usable
  int32_t textColor = setting::DefaultTextColor;
  StampCorner textPos = StampCorner::UpRight;
  bool addText = false;
  bool textBG = false;
  std::string lastText;
};

// The stamp options written when the main window closes.
struct StampSettings {
  std::string lastText;
  StampCorner textPos = StampCorner::UpRight;
  bool addText = false;
  bool textBG = false;
};

class SettingsFile {
 public:
  static constexpr const char* FileName = "pixkeep.ini";

  explicit SettingsFile(const ProgramPlaces& places) : ini_(places.settingsFile), places_(places) {}
  const std::string& path() const { return ini_.path(); }

  // [Language] LangFile.
  std::string languageFile() const;
  // OutputDir, TextColor, TextPos, AddText, TextBG and LastText, in that
  // order. TextPos 1 (or anything that is not a number) is the upper right
  // corner, 2 the upper left, any other number up centre; only the value 1
  // ticks AddText and TextBG.
  StoredSettings read() const;

  // The writes; each raises "Unable to write to <path>" when it fails, with
  // the keys written before it kept.
  // On closing the window: LastText, TextPos, AddText, TextBG in that order.
  void writeOnClose(const StampSettings& stamp);
  void writeTextColor(int32_t color);
  void writeLanguageFile(const std::string& path);
  void writeOutputDir(const std::string& directory);

 private:
  IniFile ini_;
  ProgramPlaces places_;
};

// The output directory in use for a stored one: a '/' is appended when it
// has none, and an empty value or a name that is not an existing directory
// gives `fallback`.
std::string normaliseOutputDirectory(std::string directory, const std::string& fallback);

}  // namespace pixkeep
