#include "config/texts.h"

#include <cctype>

namespace pixkeep {

const std::array<TextEntry, TextCount>& textEntries() {
  static const std::array<TextEntry, TextCount> entries = {{
      {"Menu", "File", "&File"},
      {"Menu", "HideWindow", "Hide &window"},
      {"Menu", "Help", "&Help"},
      {"Menu", "Exit", "&Exit"},
      {"Menu", "Language", "&Choose language"},
      {"Menu", "ShowWindow", "&Show window"},
      {"Menu", "BuiltInHelp", "&Built-in help"},
      {"Menu", "HelpFileMnu", "Help &file"},
      {"Menu", "StartAtLogin", "Start hidden when I &log in"},
      {"Win", "Quality", "Quality %q (recommended %r)"},
      {"Win", "Compression", "Compression level: %q"},
      {"Win", "HideWindow", "Hide window"},
      {"Win", "Help", "Help"},
      {"Win", "Dialog", "Choose language file"},
      {"Win", "ImageType", "Image type"},
      {"Win", "AdvOpt", "Advanced options"},
      {"Win", "OutDir", "Output directory"},
      {"Win", "Default", "Default"},
      {"Win", "User", "User specified"},
      {"Win", "Change", "Change"},
      {"Win", "CurDir", "Current directory"},
      {"Win", "Other", "Other"},
      {"Win", "AddText", "Add text to images"},
      {"Win", "UpRight", "Upper right corner"},
      {"Win", "UpLeft", "Upper left corner"},
      {"Win", "UpCenter", "Up center"},
      {"Win", "CurColor", "Current color"},
      {"Win", "ChooseColor", "Choose color"},
      {"Win", "TextSpace", "Space between text and edges of the picture"},
      {"Win", "TextBG", "Add white background to text"},
      {"Win", "Width", "233"},
      {"Win", "TypeLeft", "64"},
      {"Help", "HelpMsg", "Pixkeep saves every picture copied as a numbered file."},
      {"Help", "TranslatedBy", "English texts by the Pixkeep developers"},
      {"Help", "ProgrammedBy", "Programmed by"},
      // The licence, below the help message.
      {"Help", "InfoText",
       "Pixkeep is free software: you can redistribute it and/or modify it under the terms of the GNU General Public License as published by the Free Software Foundation, either version 3 of the License, or (at your option) any later version. It comes with ABSOLUTELY NO WARRANTY."},
      {"Help", "Download", "Other languages: File > Choose language loads a language file."},
      {"Help", "HelpFile", "pixkeep.hlp"},
      {"Dialog", "ChooseDir", "Choose Directory"},
      {"Dialog", "OK", "OK"},
      {"Dialog", "Cancel", "Cancel"},
      {"Dialog", "QuitWaiting", "%n pictures could not be saved yet."},
      {"Dialog", "QuitWaitingInfo", "Save them in another folder, or discard them?"},
      {"Dialog", "SaveElsewhere", "Save elsewhere..."},
      {"Dialog", "Discard", "Discard"},
      {"Status", "Pictures", "%p pictures"},
      {"Status", "HidingText", "Hiding..."},
      {"Status", "WaitingOne", "1 picture waiting: %e"},
      {"Status", "Waiting", "%n pictures waiting: %e"},
  }};
  return entries;
}

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
