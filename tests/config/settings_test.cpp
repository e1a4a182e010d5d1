#include <gtest/gtest.h>

#include "config/errors.h"
#include "config/settings.h"
#include "tests/config/tempdir.h"

namespace pixkeep {
namespace {

using testing_support::readFile;
using testing_support::ReadOnlyDirectory;
using testing_support::TempDir;
using testing_support::writeFile;

class SettingsTest : public testing::Test {
 protected:
  ProgramPlaces places() const { return {dir / "pixkeep.ini", dir / "english.ini", dir / "out/"}; }
  StoredSettings readWith(const std::string& settings) {
    writeFile(dir / "pixkeep.ini", "[Settings]\n" + settings + "\n");
    return SettingsFile(places()).read();
  }
  TempDir dir;
};

TEST_F(SettingsTest, NoFileGivesEveryDefaultAndCreatesNothing) {
  SettingsFile file(places());
  EXPECT_EQ(file.path(), dir / "pixkeep.ini");
  EXPECT_EQ(file.languageFile(), dir / "english.ini");
  StoredSettings s = file.read();
  EXPECT_EQ(s.outputDir, dir / "out/");
  EXPECT_EQ(s.textColor, 32768);
  EXPECT_EQ(s.textPos, StampCorner::UpRight);
  EXPECT_FALSE(s.addText);
  EXPECT_FALSE(s.textBG);
  EXPECT_EQ(s.lastText, "");
  EXPECT_FALSE(std::filesystem::exists(dir / "pixkeep.ini"));
}

TEST_F(SettingsTest, StoredValuesAsStartUpReadsThem) {
  struct Case { const char* line; StampCorner pos; };
  const Case corners[] = {{"TextPos=1", StampCorner::UpRight},  {"TextPos=2", StampCorner::UpLeft},
                          {"TextPos=3", StampCorner::UpCenter}, {"TextPos=7", StampCorner::UpCenter},
                          {"TextPos=0", StampCorner::UpCenter}, {"TextPos=-2", StampCorner::UpCenter},
                          {"TextPos=$2", StampCorner::UpLeft},  {"TextPos=left", StampCorner::UpRight},
                          {"TextPos=", StampCorner::UpRight},   {"", StampCorner::UpRight}};
  for (const Case& c : corners) EXPECT_EQ(readWith(c.line).textPos, c.pos) << c.line;

  struct Switch { const char* value; bool ticked; };
  const Switch switches[] = {{"1", true}, {"0x1", true}, {"0", false}, {"2", false}, {"yes", false}, {"", false}};
  for (const Switch& s : switches) {
    StoredSettings read = readWith(std::string("AddText=") + s.value + "\nTextBG=" + s.value);
    EXPECT_EQ(read.addText, s.ticked) << s.value;
    EXPECT_EQ(read.textBG, s.ticked) << s.value;
  }

  struct Colour { const char* value; int32_t color; };
  const Colour colours[] = {{"0x0000FF", 255}, {"$FF0000", 16711680}, {"16777215", 16777215}, {"green", 32768}};
  for (const Colour& c : colours) EXPECT_EQ(readWith(std::string("TextColor=") + c.value).textColor, c.color) << c.value;

  const std::string longText(60, 'w');
  StoredSettings s = readWith("OutputDir=/pictures\nLastText=" + longText);
  EXPECT_EQ(s.lastText, longText) << "the 40-character limit is for typing only";
  EXPECT_EQ(s.outputDir, "/pictures") << "as stored; normalised by the caller";
  EXPECT_EQ(readWith("OutputDir=").outputDir, "");
}

TEST_F(SettingsTest, OutputDirectoryNormalisation) {
  std::filesystem::create_directory(dir / "shots");
  const std::string fallback = dir / "fallback/";
  struct Case { std::string stored, used; };
  const Case cases[] = {
      {dir / "shots", dir / "shots/"}, {dir / "shots/", dir / "shots/"}, {dir / "removed", fallback},
      {dir / "removed/", fallback},    {"", fallback},                  {"/", "/"},
  };
  for (const Case& c : cases) EXPECT_EQ(normaliseOutputDirectory(c.stored, fallback), c.used) << c.stored;
}

TEST_F(SettingsTest, WritesGoToTheirKeysAndKeepTheRest) {
  writeFile(dir / "pixkeep.ini",
            "; hand-edited\n[Settings]\nOutputDir=/somewhere\nTextPos=7\n\n[Language]\nLangFile=/l/deutsch.ini\n");
  SettingsFile file(places());
  file.writeOnClose({"Stamp \"text\"", StampCorner::UpCenter, true, false});
  file.writeTextColor(255);
  EXPECT_EQ(readFile(file.path()),
            "; hand-edited\n[Settings]\nOutputDir=/somewhere\nTextPos=3\nLastText=Stamp \"text\"\nAddText=1\n"
            "TextBG=0\nTextColor=255\n\n[Language]\nLangFile=/l/deutsch.ini\n");
  file.writeLanguageFile("/l/english.ini");
  file.writeOutputDir("/pictures/");
  StoredSettings s = file.read();
  EXPECT_EQ(s.outputDir, "/pictures/");
  EXPECT_EQ(s.lastText, "Stamp \"text\"");
  EXPECT_EQ(s.textPos, StampCorner::UpCenter);
  EXPECT_TRUE(s.addText);
  EXPECT_EQ(s.textColor, 255);
  EXPECT_EQ(file.languageFile(), "/l/english.ini");
}

TEST_F(SettingsTest, AFailedWriteNamesTheFileAndLosesNoKey) {
  const std::string before = "[Settings]\nLastText=old\nTextColor=255\n";
  writeFile(dir / "pixkeep.ini", before);
  {
    ReadOnlyDirectory readOnly(dir.path());
    ASSERT_TRUE(readOnly.effective());
    SettingsFile file(places());
    try {
      file.writeOnClose({"new", StampCorner::UpLeft, true, true});
      ADD_FAILURE() << "no error";
    } catch (const EIniFileException& e) {
      EXPECT_EQ(std::string(e.what()), "Unable to write to " + dir / "pixkeep.ini");
    }
  }
  EXPECT_EQ(readFile(dir / "pixkeep.ini"), before);
}

}  // namespace
}  // namespace pixkeep
