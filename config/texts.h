// Every text the user sees that a language file can replace: its section,
// key and built-in English default, in the order a language file is read,
// and the texts currently in force.
#pragma once

#include <array>
#include <cstddef>
#include <string>

namespace pixkeep {

enum class Text : size_t {
  // [Menu]
  MenuFile, MenuHideWindow, MenuHelp, MenuExit, MenuLanguage, MenuShowWindow, MenuBuiltInHelp, MenuHelpFile,
  MenuStartAtLogin, MenuPause, MenuOpenFolder,
  // [Win]
  Quality, Compression, Effort, HideWindow, Help, LanguageDialog, ImageType, AdvancedOptions, OutputDirectory,
  DefaultDirectory, UserDirectory, ChangeDirectory, CurrentDirectory, Other, AddText, UpRight, UpLeft,
  UpCenter, CurrentColor, ChooseColor, TextSpace, TextBackground, Width, TypeLeft,
  // [Help]
  HelpMessage, TranslatedBy, ProgrammedBy, InfoText, Download, HelpFile,
  // [Dialog]; QuitWaiting to Discard are the question when quitting with
  // pictures not saved; OpenFolderFailed when no file manager could be started
  ChooseDirectory, OK, Cancel, QuitWaiting, QuitWaitingInfo, SaveElsewhere, Discard, OpenFolderFailed,
  // [Status]; WaitingOne and Waiting while pictures wait to be written, Paused
  // while capturing is paused, TooLarge for a picture saved as PNG because the
  // chosen type cannot hold it
  Pictures, HidingText, WaitingOne, Waiting, Paused, TooLarge,
  Count
};

struct TextEntry {
  Text id;
  const char* section;
  const char* key;
  const char* defaultText;
};

inline constexpr size_t TextCount = size_t(Text::Count);

// The table, indexed by Text.
const std::array<TextEntry, TextCount>& textEntries();
const TextEntry& textEntry(Text id);

// The texts in force: the defaults until a language file replaces them.
class Texts {
 public:
  Texts() { resetToDefaults(); }
  const std::string& operator[](Text id) const { return values_[size_t(id)]; }
  void set(Text id, std::string value) { values_[size_t(id)] = std::move(value); }
  void resetToDefaults();

 private:
  std::array<std::string, TextCount> values_;
};

// Replaces every occurrence of `placeholder`, compared without regard to
// case, by `value`, scanning left to right; inserted text is not scanned again.
std::string substitute(const std::string& templ, const std::string& placeholder, const std::string& value);

}  // namespace pixkeep
