// pixkeep.ini: the user's choices kept between runs, as one table of keys.
// Read once at start-up, written key by key when they change; the program
// never creates the file until its first write.
#pragma once

#include <array>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <variant>

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

// Everything pixkeep.ini keeps: one field per row of settingRows, which
// gives each its key, its default and how it is read and written.
struct StoredSettings {
  std::string outputDir;  // as stored: normaliseOutputDirectory makes it usable
  int32_t textColor{};    // 0x00BBGGRR
  StampCorner textPos{};
  bool addText{};         // stamp on
  bool textBG{};          // white box behind the text
  std::string lastText;   // the stamp text
  std::string languageFile;
  std::string imageType;  // the name of the type chosen in the list; empty or unknown: the first
  int32_t slider{};       // its slider position; outside the type's range: the type's own default
  bool operator==(const StoredSettings&) const = default;
};

namespace setting {

// The types of the rows. Each names the field it fills and its default;
// settings.cpp says how the key's text becomes the field's value and back.
// A missing key, and a text the type does not take, give the default.

// The text as stored; the default is empty, or one of the program's places.
struct TextValue {
  std::string StoredSettings::*field;
  std::string ProgramPlaces::*defaultPlace;  // nullptr: empty
};
// An integer (see parseProfileInteger), written in decimal.
struct IntegerValue {
  int32_t StoredSettings::*field;
  int32_t defaultValue;
};
// A tick: only the number 1 sets it; written as 1 or 0.
struct SwitchValue {
  bool StoredSettings::*field;
  bool defaultValue;
};
// A corner: the number 1 is the upper right, 2 the upper left, any other
// number up centre; written as its number.
struct CornerValue {
  StampCorner StoredSettings::*field;
  StampCorner defaultValue;
};
using Value = std::variant<TextValue, IntegerValue, SwitchValue, CornerValue>;

// When the program writes a key: as the main window closes, or as soon as
// the user chooses its value.
enum class Written { OnClose, WhenChosen };

// One key of the file: where it stands, the type that fills its field from
// it, and when it is written.
struct Row {
  const char* section;
  const char* key;
  Value value;
  Written written;
};

}  // namespace setting

// The keys of pixkeep.ini. Start-up reads every row; closing the window
// writes the OnClose rows in this order (LastText, TextPos, AddText, TextBG,
// ImageType, Slider).
inline constexpr auto settingRows = std::to_array<setting::Row>({
    {"Settings", "OutputDir", setting::TextValue{&StoredSettings::outputDir, &ProgramPlaces::defaultOutputDirectory},
     setting::Written::WhenChosen},
    {"Settings", "TextColor", setting::IntegerValue{&StoredSettings::textColor, 32768},  // green
     setting::Written::WhenChosen},
    {"Settings", "LastText", setting::TextValue{&StoredSettings::lastText, nullptr}, setting::Written::OnClose},
    {"Settings", "TextPos", setting::CornerValue{&StoredSettings::textPos, StampCorner::UpRight},
     setting::Written::OnClose},
    {"Settings", "AddText", setting::SwitchValue{&StoredSettings::addText, false}, setting::Written::OnClose},
    {"Settings", "TextBG", setting::SwitchValue{&StoredSettings::textBG, false}, setting::Written::OnClose},
    {"Settings", "ImageType", setting::TextValue{&StoredSettings::imageType, nullptr}, setting::Written::OnClose},
    {"Settings", "Slider", setting::IntegerValue{&StoredSettings::slider, 90}, setting::Written::OnClose},
    {"Language", "LangFile", setting::TextValue{&StoredSettings::languageFile, &ProgramPlaces::defaultLanguageFile},
     setting::Written::WhenChosen},
});

// Every field at its row's default: what a missing file reads as.
StoredSettings settingDefaults(const ProgramPlaces& places);

// The row that fills `field`.
template <class T>
constexpr const setting::Row& settingRow(T StoredSettings::*field) {
  for (const setting::Row& row : settingRows) {
    const bool fills = std::visit(
        [&](const auto& value) {
          if constexpr (std::is_same_v<decltype(value.field), T StoredSettings::*>)
            return value.field == field;
          else
            return false;
        },
        row.value);
    if (fills) return row;
  }
  // settings.cpp checks at compile time that every field has its row.
  throw std::logic_error("a StoredSettings field without a row");
}

class SettingsFile {
 public:
  static constexpr const char* FileName = "pixkeep.ini";

  explicit SettingsFile(const ProgramPlaces& places) : ini_(places.settingsFile), places_(places) {}
  const std::string& path() const { return ini_.path(); }

  // Every row, from one reading of the file.
  StoredSettings read() const;

  // The writes; each key reaches the file before the next is written, and a
  // failing one raises "Unable to write to <path>", the keys written before
  // it kept.
  // The key of `field`, with `value`.
  template <class T>
  void write(T StoredSettings::*field, const std::type_identity_t<T>& value) {
    StoredSettings values;
    values.*field = value;
    writeRow(settingRow(field), values);
  }
  // On closing the window: the OnClose rows, in table order, from `shown`
  // (its other fields are not looked at).
  void writeOnClose(const StoredSettings& shown);

 private:
  void writeRow(const setting::Row& row, const StoredSettings& values);

  IniFile ini_;
  ProgramPlaces places_;
};

// The output directory in use for a stored one: a '/' is appended when it
// has none, and an empty value or a name that is not an existing directory
// gives `fallback`.
std::string normaliseOutputDirectory(std::string directory, const std::string& fallback);

}  // namespace pixkeep
