#include <gtest/gtest.h>

#include <climits>
#include <filesystem>
#include <optional>
#include <utility>
#include <variant>
#include <vector>

#include "config/errors.h"
#include "config/settings.h"
#include "tests/config/tempdir.h"

namespace pixkeep {
namespace {

using testing_support::readFile;
using testing_support::ReadOnlyDirectory;
using testing_support::TempDir;
using testing_support::writeFile;

// What the tests hold true of each type of row, apart from the table: the
// values it writes with the text stored for each (the first one never a
// row's default), and what stored texts read as.
template <class T>
struct TypeCases {
  std::vector<std::pair<T, std::string>> written;
  struct Reading {
    std::string stored;
    std::optional<T> value;  // none: the row's default
  };
  std::vector<Reading> readings;
};

TypeCases<std::string> casesFor(const setting::TextValue&) {
  const std::string longText(60, 'w');
  return {{{"/pictures/", "/pictures/"},
           {"Stamp \"text\" \xC3\xA4", "Stamp \"text\" \xC3\xA4"},
           {" padded ", "\" padded \""},
           {"", ""}},
          {{"/pictures", "/pictures"},
           {"  blanks around  ", "blanks around"},
           {"'quoted'", "quoted"},
           {"", ""},  // present and empty is empty, not the default
           {longText, longText}}};
}

TypeCases<int32_t> casesFor(const setting::IntegerValue&) {
  return {{{255, "255"}, {16711680, "16711680"}, {-1, "-1"}, {INT32_MIN, "-2147483648"}},
          {{"0x0000FF", 255},
           {"$FF0000", 16711680},
           {"16777215", 16777215},
           {"-5", -5},
           {"green", std::nullopt},
           {"12.5", std::nullopt},
           {"2147483648", std::nullopt},
           {"", std::nullopt}}};
}

TypeCases<bool> casesFor(const setting::SwitchValue&) {
  return {{{true, "1"}, {false, "0"}},
          {{"1", true},
           {"0x1", true},
           {"$1", true},
           {"0", false},
           {"2", false},
           {"-1", false},
           {"yes", std::nullopt},
           {"", std::nullopt}}};
}

TypeCases<StampCorner> casesFor(const setting::CornerValue&) {
  return {{{StampCorner::UpLeft, "2"}, {StampCorner::UpRight, "1"}, {StampCorner::UpCenter, "3"}},
          {{"1", StampCorner::UpRight},
           {"2", StampCorner::UpLeft},
           {"3", StampCorner::UpCenter},
           {"7", StampCorner::UpCenter},
           {"0", StampCorner::UpCenter},
           {"-2", StampCorner::UpCenter},
           {"$2", StampCorner::UpLeft},
           {"0x3", StampCorner::UpCenter},
           {"left", std::nullopt},
           {"", std::nullopt}}};
}

std::string nameOf(const setting::Row& row) { return std::string(row.section) + "/" + row.key; }

class SettingsTest : public testing::Test {
 protected:
  ProgramPlaces places() const { return {dir / "pixkeep.ini", dir / "english.ini", dir / "out/"}; }
  StoredSettings readWith(const std::string& settings) {
    writeFile(dir / "pixkeep.ini", "[Settings]\n" + settings + "\n");
    return SettingsFile(places()).read();
  }
  // Stores the row's first written case in the file and in `expected`.
  void storeSample(const setting::Row& row, StoredSettings& expected) {
    std::visit(
        [&](const auto& type) {
          const auto cases = casesFor(type);
          const auto& [value, text] = cases.written.front();
          expected.*type.field = value;
          IniFile(dir / "pixkeep.ini").writeString(row.section, row.key, text);
        },
        row.value);
  }
  TempDir dir;
};

TEST_F(SettingsTest, NoFileGivesEveryDefaultAndCreatesNothing) {
  SettingsFile file(places());
  EXPECT_EQ(file.path(), dir / "pixkeep.ini");
  StoredSettings s = file.read();
  EXPECT_EQ(s.outputDir, dir / "out/");
  EXPECT_EQ(s.textColor, 32768);
  EXPECT_EQ(s.textPos, StampCorner::UpRight);
  EXPECT_FALSE(s.addText);
  EXPECT_FALSE(s.textBG);
  EXPECT_EQ(s.lastText, "");
  EXPECT_EQ(s.languageFile, dir / "english.ini");
  EXPECT_EQ(s, settingDefaults(places()));
  EXPECT_FALSE(std::filesystem::exists(dir / "pixkeep.ini"));
}

TEST_F(SettingsTest, EveryRowRoundTrips) {
  for (const setting::Row& row : settingRows) {
    std::visit(
        [&](const auto& type) {
          for (const auto& [value, text] : casesFor(type).written) {
            SCOPED_TRACE(nameOf(row) + "=" + text);
            std::filesystem::remove(dir / "pixkeep.ini");
            SettingsFile file(places());
            file.write(type.field, value);
            EXPECT_EQ(readFile(file.path()), "[" + std::string(row.section) + "]\n" + row.key + "=" + text + "\n");
            StoredSettings expected = settingDefaults(places());
            expected.*type.field = value;
            EXPECT_EQ(file.read(), expected);
          }
        },
        row.value);
  }
}

TEST_F(SettingsTest, EveryRowsDefaultAppliesWhenItsKeyIsMissing) {
  for (const setting::Row& missing : settingRows) {
    SCOPED_TRACE(nameOf(missing));
    std::filesystem::remove(dir / "pixkeep.ini");
    StoredSettings expected = settingDefaults(places());
    for (const setting::Row& row : settingRows)
      if (&row != &missing) storeSample(row, expected);
    // Its key in another section is not its key.
    StoredSettings elsewhere;
    storeSample({"Elsewhere", missing.key, missing.value, missing.written}, elsewhere);
    ASSERT_NE(elsewhere, expected) << "the sample is the default";
    EXPECT_EQ(SettingsFile(places()).read(), expected);
  }
}

TEST_F(SettingsTest, EveryRowReadsAsItsTypeSays) {
  for (const setting::Row& row : settingRows) {
    std::visit(
        [&](const auto& type) {
          for (const auto& reading : casesFor(type).readings) {
            SCOPED_TRACE(nameOf(row) + "=" + reading.stored);
            writeFile(dir / "pixkeep.ini", "[" + std::string(row.section) + "]\n" + row.key + "=" + reading.stored + "\n");
            StoredSettings expected = settingDefaults(places());
            if (reading.value) expected.*type.field = *reading.value;
            EXPECT_EQ(SettingsFile(places()).read(), expected);
          }
        },
        row.value);
  }
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

TEST_F(SettingsTest, ClosingWritesTheStampKeysInTheirOrderAndNothingElse) {
  StoredSettings shown;
  for (const setting::Row& row : settingRows) storeSample(row, shown);  // no field at its default
  shown.lastText = "the stamp";
  shown.imageType = "PNG";
  std::filesystem::remove(dir / "pixkeep.ini");
  SettingsFile file(places());
  file.writeOnClose(shown);
  EXPECT_EQ(readFile(file.path()),
            "[Settings]\nLastText=the stamp\nTextPos=2\nAddText=1\nTextBG=1\nImageType=PNG\nSlider=255\n");
}

TEST_F(SettingsTest, WritesGoToTheirKeysAndKeepTheRest) {
  writeFile(dir / "pixkeep.ini",
            "; hand-edited\n[Settings]\nOutputDir=/somewhere\nTextPos=7\n\n[Language]\nLangFile=/l/deutsch.ini\n");
  SettingsFile file(places());
  StoredSettings shown;
  shown.lastText = "Stamp \"text\"";
  shown.textPos = StampCorner::UpCenter;
  shown.addText = true;
  shown.textColor = 16711680;  // not written on closing
  shown.imageType = "GIF";
  shown.slider = 90;
  file.writeOnClose(shown);
  file.write(&StoredSettings::textColor, 255);
  EXPECT_EQ(readFile(file.path()),
            "; hand-edited\n[Settings]\nOutputDir=/somewhere\nTextPos=3\nLastText=Stamp \"text\"\nAddText=1\n"
            "TextBG=0\nImageType=GIF\nSlider=90\nTextColor=255\n\n[Language]\nLangFile=/l/deutsch.ini\n");
  file.write(&StoredSettings::languageFile, "/l/english.ini");
  file.write(&StoredSettings::outputDir, "/pictures/");
  EXPECT_EQ(readFile(file.path()),
            "; hand-edited\n[Settings]\nOutputDir=/pictures/\nTextPos=3\nLastText=Stamp \"text\"\nAddText=1\n"
            "TextBG=0\nImageType=GIF\nSlider=90\nTextColor=255\n\n[Language]\nLangFile=/l/english.ini\n");
  StoredSettings s = file.read();
  EXPECT_EQ(s.outputDir, "/pictures/");
  EXPECT_EQ(s.lastText, "Stamp \"text\"");
  EXPECT_EQ(s.textPos, StampCorner::UpCenter);
  EXPECT_TRUE(s.addText);
  EXPECT_FALSE(s.textBG);
  EXPECT_EQ(s.textColor, 255);
  EXPECT_EQ(s.imageType, "GIF");
  EXPECT_EQ(s.slider, 90);
  EXPECT_EQ(s.languageFile, "/l/english.ini");
}

TEST_F(SettingsTest, AFailedWriteNamesTheFileAndLosesNoKey) {
  const std::string before = "[Settings]\nLastText=old\nTextColor=255\n";
  writeFile(dir / "pixkeep.ini", before);
  const auto expectFailure = [&](const std::string& what, const std::function<void(SettingsFile&)>& write) {
    SCOPED_TRACE(what);
    SettingsFile file(places());
    try {
      write(file);
      ADD_FAILURE() << "no error";
    } catch (const EIniFileException& e) {
      EXPECT_EQ(std::string(e.what()), "Unable to write to " + dir / "pixkeep.ini");
    }
  };
  {
    ReadOnlyDirectory readOnly(dir.path());
    ASSERT_TRUE(readOnly.effective());
    StoredSettings shown;
    shown.lastText = "new";
    expectFailure("on closing", [&](SettingsFile& file) { file.writeOnClose(shown); });
    for (const setting::Row& row : settingRows) {
      std::visit(
          [&](const auto& type) {
            expectFailure(nameOf(row), [&](SettingsFile& file) { file.write(type.field, casesFor(type).written.front().first); });
          },
          row.value);
    }
  }
  EXPECT_EQ(readFile(dir / "pixkeep.ini"), before);
}

}  // namespace
}  // namespace pixkeep
