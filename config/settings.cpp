#include "config/settings.h"

#include "config/autostart.h"
#include "platform/fsutil.h"

namespace pixkeep {

ProgramPlaces programPlaces() {
  const std::string config = configDirectory();
  ProgramPlaces places{config + SettingsFile::FileName, config + "english.ini", defaultOutputDirectory()};
  places.autostartFile = autostartFile();
  if (keepsFilesBesideItself()) {
    places.dataDirectory = config;
  } else if (const std::string data = installedDataDirectory(); !data.empty()) {
    places.defaultLanguageFile = data + "lang/english.ini";
    places.dataDirectory = data;
  }
  return places;
}

std::string SettingsFile::languageFile() const {
  return ini_.readString(setting::LangFile.section, setting::LangFile.name, places_.defaultLanguageFile);
}

StoredSettings SettingsFile::read() const {
  using namespace setting;
  StoredSettings s;
  s.outputDir = ini_.readString(OutputDir.section, OutputDir.name, places_.defaultOutputDirectory);
  s.textColor = ini_.readInteger(TextColor.section, TextColor.name, DefaultTextColor);
  if (ini_.readInteger(TextPos.section, TextPos.name, DefaultTextPos) == 1)
    s.textPos = StampCorner::UpRight;
  else if (ini_.readInteger(TextPos.section, TextPos.name, DefaultTextPos) == 2)
    s.textPos = StampCorner::UpLeft;
  else
    s.textPos = StampCorner::UpCenter;
  s.addText = ini_.readInteger(AddText.section, AddText.name, DefaultAddText) == 1;
  s.textBG = ini_.readInteger(TextBG.section, TextBG.name, DefaultTextBG) == 1;
  s.lastText = ini_.readString(LastText.section, LastText.name, std::string());
  return s;
}

void SettingsFile::writeOnClose(const StampSettings& stamp) {
  using namespace setting;
  ini_.writeString(LastText.section, LastText.name, stamp.lastText);
  ini_.writeInteger(TextPos.section, TextPos.name, static_cast<int32_t>(stamp.textPos));
  ini_.writeInteger(AddText.section, AddText.name, stamp.addText ? 1 : 0);
  ini_.writeInteger(TextBG.section, TextBG.name, stamp.textBG ? 1 : 0);
}

void SettingsFile::writeTextColor(int32_t color) {
  ini_.writeInteger(setting::TextColor.section, setting::TextColor.name, color);
}

void SettingsFile::writeLanguageFile(const std::string& path) {
  ini_.writeString(setting::LangFile.section, setting::LangFile.name, path);
}

void SettingsFile::writeOutputDir(const std::string& directory) {
  ini_.writeString(setting::OutputDir.section, setting::OutputDir.name, directory);
}

std::string normaliseOutputDirectory(std::string directory, const std::string& fallback) {
  // An empty value would name the root directory, where pictures do not belong.
  if (directory.empty()) return fallback;
  if (directory.back() != '/') directory += '/';
  return isDirectory(directory) ? directory : fallback;
}

}  // namespace pixkeep
