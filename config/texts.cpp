#include "config/texts.h"

#include <cctype>

#include "config/profile.h"

namespace pixkeep {

namespace {

constexpr std::array<TextEntry, TextCount> entries = {{
  {Text::MenuFile, "Menu", "File", "&File"},
  {Text::MenuHideWindow, "Menu", "HideWindow", "Hide &window"},
  {Text::MenuHelp, "Menu", "Help", "&Help"},
  {Text::MenuExit, "Menu", "Exit", "&Exit"},
  {Text::MenuLanguage, "Menu", "Language", "&Choose language"},
  {Text::MenuShowWindow, "Menu", "ShowWindow", "&Show window"},
  {Text::MenuBuiltInHelp, "Menu", "BuiltInHelp", "&Built-in help"},
  {Text::MenuHelpFile, "Menu", "HelpFileMnu", "Help &file"},
  {Text::MenuStartAtLogin, "Menu", "StartAtLogin", "Start hidden when I &log in"},
  {Text::MenuPause, "Menu", "Pause", "&Pause capturing"},
  {Text::MenuOpenFolder, "Menu", "OpenFolder", "&Open picture folder"},
  {Text::Quality, "Win", "Quality", "Quality %q (recommended %r)"},
  {Text::Compression, "Win", "Compression", "Compression level: %q"},
  {Text::Effort, "Win", "Effort", "Compression effort: %q"},
  {Text::HideWindow, "Win", "HideWindow", "Hide window"},
  {Text::Help, "Win", "Help", "Help"},
  {Text::LanguageDialog, "Win", "Dialog", "Choose language file"},
  {Text::ImageType, "Win", "ImageType", "Image type"},
  {Text::AdvancedOptions, "Win", "AdvOpt", "Advanced options"},
  {Text::OutputDirectory, "Win", "OutDir", "Output directory"},
  {Text::DefaultDirectory, "Win", "Default", "Default"},
  {Text::UserDirectory, "Win", "User", "User specified"},
  {Text::ChangeDirectory, "Win", "Change", "Change"},
  {Text::CurrentDirectory, "Win", "CurDir", "Current directory"},
  {Text::Other, "Win", "Other", "Other"},
  {Text::AddText, "Win", "AddText", "Add text to images"},
  {Text::UpRight, "Win", "UpRight", "Upper right corner"},
  {Text::UpLeft, "Win", "UpLeft", "Upper left corner"},
  {Text::UpCenter, "Win", "UpCenter", "Up center"},
  {Text::CurrentColor, "Win", "CurColor", "Current color"},
  {Text::ChooseColor, "Win", "ChooseColor", "Choose color"},
  {Text::TextSpace, "Win", "TextSpace", "Space between text and edges of the picture"},
  {Text::TextBackground, "Win", "TextBG", "Add white background to text"},
  {Text::Width, "Win", "Width", "233"},
  {Text::TypeLeft, "Win", "TypeLeft", "64"},
  {Text::HelpMessage, "Help", "HelpMsg", "Pixkeep saves every picture copied as a numbered file."},
  {Text::TranslatedBy, "Help", "TranslatedBy", "English texts by the Pixkeep developers"},
  {Text::ProgrammedBy, "Help", "ProgrammedBy", "Programmed by"},
  // The licence, below the help message.
  {Text::InfoText, "Help", "InfoText",
   "Pixkeep is free software: you can redistribute it and/or modify it under the terms of the GNU General Public License as published by the Free Software Foundation, either version 3 of the License, or (at your option) any later version. It comes with ABSOLUTELY NO WARRANTY."},
  {Text::Download, "Help", "Download", "Other languages: File > Choose language loads a language file."},
  {Text::HelpFile, "Help", "HelpFile", "pixkeep.hlp"},
  {Text::ChooseDirectory, "Dialog", "ChooseDir", "Choose Directory"},
  {Text::OK, "Dialog", "OK", "OK"},
  {Text::Cancel, "Dialog", "Cancel", "Cancel"},
  {Text::QuitWaiting, "Dialog", "QuitWaiting", "%n pictures could not be saved yet."},
  {Text::QuitWaitingInfo, "Dialog", "QuitWaitingInfo", "Save them in another folder, or discard them?"},
  {Text::SaveElsewhere, "Dialog", "SaveElsewhere", "Save elsewhere..."},
  {Text::Discard, "Dialog", "Discard", "Discard"},
  {Text::OpenFolderFailed, "Dialog", "OpenFolderFailed", "No file manager could be started to open %s"},
  {Text::Pictures, "Status", "Pictures", "%p pictures"},
  {Text::HidingText, "Status", "HidingText", "Hiding..."},
  {Text::WaitingOne, "Status", "WaitingOne", "1 picture waiting: %e"},
  {Text::Waiting, "Status", "Waiting", "%n pictures waiting: %e"},
  {Text::Paused, "Status", "Paused", "Paused"},
  // %w and %h are the picture's width and height, %t the type chosen, %f the file written.
  {Text::TooLarge, "Status", "TooLarge", "The picture is %w \u00d7 %h pixels, more than %t can hold; it was saved as %f"},
}};

// Each row stands at its own enumerator's place: a row added, dropped or
// moved without the enumeration is a compile error, not a wrong caption.
constexpr bool inEnumOrder() {
  for (size_t i = 0; i < TextCount; ++i)
    if (size_t(entries[i].id) != i) return false;
  return true;
}
static_assert(inEnumOrder(), "the texts table and enum class Text are out of step");

// Every row is whole (a row short of its default would otherwise build, with
// a warning, and fail only when the texts are reset), and no key stands twice
// in a section: names match without regard to case, so a language file could
// never reach the second one.
constexpr bool rowsWholeAndKeysUnique() {
  for (size_t i = 0; i < TextCount; ++i) {
    const TextEntry& e = entries[i];
    if (!e.section || !e.key || !e.defaultText) return false;
    for (size_t j = 0; j < i; ++j)
      if (equalProfileNames(entries[j].section, e.section) && equalProfileNames(entries[j].key, e.key)) return false;
  }
  return true;
}
static_assert(rowsWholeAndKeysUnique(), "a texts row lacks a column, or repeats a key of its section");

}  // namespace

const std::array<TextEntry, TextCount>& textEntries() { return entries; }

const TextEntry& textEntry(Text id) { return textEntries()[size_t(id)]; }

void Texts::resetToDefaults() {
  for (size_t i = 0; i < TextCount; ++i) values_[i] = textEntries()[i].defaultText;
}

std::string substitute(const std::string& templ, const std::string& placeholder, const std::string& value) {
  if (placeholder.empty()) return templ;
  std::string out;
  size_t i = 0;
  while (i < templ.size()) {
    bool match = i + placeholder.size() <= templ.size();
    for (size_t k = 0; match && k < placeholder.size(); ++k)
      match = std::tolower(static_cast<unsigned char>(templ[i + k])) ==
              std::tolower(static_cast<unsigned char>(placeholder[k]));
    if (match) {
      out += value;
      i += placeholder.size();
    } else {
      out += templ[i++];
    }
  }
  return out;
}

}  // namespace pixkeep
