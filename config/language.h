// Language files: every text of the table, read from an INI file with the
// built-in English default for a missing file, section or key.
#pragma once

#include <string>

#include "config/texts.h"

namespace pixkeep {

// Reads every key of the table in its order, [Help] HelpFile last of all.
Texts readLanguageFile(const std::string& path);

// [Win] Width or TypeLeft as an integer; the default when it is not a number.
int textInteger(const Texts& texts, Text id);

// The widths that follow the window's width: the two group boxes get the
// width - 16, the output directory field the box's width - 104, the stamp
// text field the box's width - 128 (233 gives 217, 113 and 89). A width too
// small for a field gives it 0; the window keeps the width it was given.
struct WidthLayout {
  int window;
  int groupBox;
  int outputField;
  int textField;
};
WidthLayout layoutForWidth(int width);

}  // namespace pixkeep
