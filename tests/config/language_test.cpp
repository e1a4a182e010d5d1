#include <gtest/gtest.h>

#include <climits>
#include <filesystem>
#include <fstream>
#include <string>

#include "config/language.h"
#include "config/profile.h"
#include "tests/config/tempdir.h"

namespace pixkeep {
namespace {

using testing_support::TempDir;
using testing_support::writeFile;

TEST(LanguageFile, MissingFileSectionsAndKeysGiveTheDefaults) {
  TempDir dir;
  Texts none = readLanguageFile(dir / "missing.ini");
  for (size_t i = 0; i < TextCount; ++i) EXPECT_EQ(none[Text(i)], textEntries()[i].defaultText) << i;

  writeFile(dir / "menu.ini", "[Menu]\nFile=&Datei\nhelp=&Hilfe\n");
  Texts menu = readLanguageFile(dir / "menu.ini");
  for (size_t i = 0; i < TextCount; ++i) {
    const Text id = Text(i);
    const std::string expected = id == Text::MenuFile ? "&Datei" : id == Text::MenuHelp ? "&Hilfe" : textEntries()[i].defaultText;
    EXPECT_EQ(menu[id], expected) << textEntries()[i].section << "/" << textEntries()[i].key;
  }

  // Every key is read from its own section: a [Win] Help does not answer [Menu] Help.
  writeFile(dir / "win.ini", "[Win]\nHelp=Hilfe\nHideWindow=Verbergen\n[Help]\nHelpFile=hilfe.md\n");
  Texts win = readLanguageFile(dir / "win.ini");
  EXPECT_EQ(win[Text::Help], "Hilfe");
  EXPECT_EQ(win[Text::MenuHelp], "&Help");
  EXPECT_EQ(win[Text::HideWindow], "Verbergen");
  EXPECT_EQ(win[Text::MenuHideWindow], "Hide &window");
  EXPECT_EQ(win[Text::HelpFile], "hilfe.md");
}

TEST(LanguageFile, IntegerTexts) {
  struct Case { const char* value; int width; };
  const Case cases[] = {{"300", 300}, {"$100", 256}, {"-5", -5}, {"0", 0}, {"wide", 233}, {"", 233}};
  for (const Case& c : cases) {
    Texts t;
    t.set(Text::Width, c.value);
    t.set(Text::TypeLeft, c.value);
    EXPECT_EQ(textInteger(t, Text::Width), c.width) << c.value;
    EXPECT_EQ(textInteger(t, Text::TypeLeft), c.width == 233 ? 64 : c.width) << c.value;
  }
}

TEST(LanguageFile, WidthsFollowTheWindowsWidth) {
  struct Case { int width, box, outputField, textField; };
  const Case cases[] = {{233, 217, 113, 89}, {300, 284, 180, 156}, {130, 114, 10, 0},
                        {10, 0, 0, 0},       {INT_MIN, 0, 0, 0},   {INT_MAX, INT_MAX - 16, INT_MAX - 120, INT_MAX - 144}};
  for (const Case& c : cases) {
    WidthLayout l = layoutForWidth(c.width);
    EXPECT_EQ(l.window, c.width);
    EXPECT_EQ(l.groupBox, c.box) << c.width;
    EXPECT_EQ(l.outputField, c.outputField) << c.width;
    EXPECT_EQ(l.textField, c.textField) << c.width;
  }
}

// The language files shipped beside the program.
TEST(LanguageFile, EnglishIsTheTableAndTheSecondLanguageIsComplete) {
  const IniText english = IniFile(LANG_DIR "/english.ini").load();
  const IniText german = IniFile(LANG_DIR "/deutsch.ini").load();
  const std::string absent = "\x01";
  size_t translated = 0;
  for (const TextEntry& e : textEntries()) {
    EXPECT_EQ(english.readString(e.section, e.key, absent), e.defaultText) << e.section << "/" << e.key;
    const std::string own = german.readString(e.section, e.key, absent);
    EXPECT_NE(own, absent) << e.section << "/" << e.key;
    translated += own != e.defaultText;
  }
  EXPECT_GT(translated, TextCount * 3 / 4);
  Texts texts = readLanguageFile(LANG_DIR "/deutsch.ini");
  EXPECT_EQ(substitute(texts[Text::Quality], "%q", "75"), "Qualit\xC3\xA4t 75 (empfohlen %r)");
  EXPECT_EQ(texts[Text::ChooseColor], "Farbe w\xC3\xA4hlen");
}

// The project has neither a web site nor a mail address: no built-in text
// and no line of a shipped language file names one.
TEST(LanguageFile, NoTextNamesAWebOrMailAddress) {
  auto address = [](const std::string& s) {
    return s.find('@') != std::string::npos || s.find("://") != std::string::npos || s.find("www.") != std::string::npos;
  };
  for (const TextEntry& e : textEntries()) EXPECT_FALSE(address(e.defaultText)) << e.section << "/" << e.key;
  size_t files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(LANG_DIR)) {
    if (entry.path().extension() != ".ini") continue;
    ++files;
    std::ifstream in(entry.path());
    std::string line;
    for (int n = 1; std::getline(in, line); ++n) EXPECT_FALSE(address(line)) << entry.path() << ":" << n << ": " << line;
  }
  EXPECT_GE(files, 2u);
}

}  // namespace
}  // namespace pixkeep
