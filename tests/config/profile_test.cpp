#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <sys/stat.h>

#include "config/errors.h"
#include "config/profile.h"
#include "tests/config/tempdir.h"

namespace pixkeep {
namespace {

using testing_support::readFile;
using testing_support::ReadOnlyDirectory;
using testing_support::TempDir;
using testing_support::writeFile;

const std::string Default = "<default>";

std::string repeat(const std::string& s, size_t n) {
  std::string out;
  for (size_t i = 0; i < n; ++i) out += s;
  return out;
}

TEST(IniRead, LookupsFollowTheProfileRules) {
  struct Case { std::string name, file, section, key, value; };
  const std::string longA = repeat("a", 3000), longUmlaut = repeat("\xC3\xA4", 3000);
  const Case cases[] = {
      {"names without regard to case", "[SETTINGS]\nOUTPUTDIR=/a\n", "Settings", "OutputDir", "/a"},
      {"blanks around names and value", "  [ Settings ]  \n \t key  =  two words \t\n", "settings", "KEY", "two words"},
      {"key with a blank inside", "[S]\nmy key=v\n", "S", "MY KEY", "v"},
      {"double quotes stripped, inner blanks kept", "[S]\nk=\"  v  \"\n", "S", "k", "  v  "},
      {"single quotes stripped", "[S]\nk='v'\n", "S", "k", "v"},
      {"quotes that do not match stay", "[S]\nk=\"v'\n", "S", "k", "\"v'"},
      {"a lone quote stays", "[S]\nk=\"\n", "S", "k", "\""},
      {"empty quotes give empty", "[S]\nk=\"\"\n", "S", "k", ""},
      {"missing section", "[T]\nk=v\n", "S", "k", Default},
      {"missing key", "[S]\nj=v\n", "S", "k", Default},
      {"empty file", "", "S", "k", Default},
      {"present and empty is not the default", "[S]\nk=\n", "S", "k", ""},
      {"present and blank is empty", "[S]\nk=   \n", "S", "k", ""},
      {"first of two keys", "[S]\nk=1\nK=2\n", "S", "k", "1"},
      {"key of a repeated section", "[S]\na=1\n[T]\nk=0\n[s]\nk=2\n", "S", "k", "2"},
      {"first key across repeated sections", "[S]\nk=1\n[S]\nk=2\n", "S", "k", "1"},
      {"line without '=' is no key", "[S]\nk\n", "S", "k", Default},
      {"comment line", "[S]\n;k=v\n", "S", "k", Default},
      {"indented comment line", "[S]\n  ; k=v\n", "S", "k", Default},
      {"a ';' later in a value is part of it", "[S]\nk=v ; not a comment\n", "S", "k", "v ; not a comment"},
      {"'=' inside the value", "[S]\nk=a=b\n", "S", "k", "a=b"},
      {"text after the header's bracket", "[S] ; the stamp\nk=v\n", "S", "k", "v"},
      {"an unclosed header is no header", "[S]\n[T\nk=v\n", "S", "k", "v"},
      {"keys before any section", "k=v\n[S]\n", "S", "k", Default},
      {"key of another section", "[S]\n[T]\nk=v\n", "S", "k", Default},
      {"2047 characters seen", "[S]\nk=" + longA + "\n", "S", "k", repeat("a", 2047)},
      {"2047 characters, not bytes", "[S]\nk=" + longUmlaut + "\n", "S", "k", repeat("\xC3\xA4", 2047)},
      {"quotes stripped before cutting", "[S]\nk=\"" + longA + "\"\n", "S", "k", repeat("a", 2047)},
      {"CRLF line ends", "[S]\r\nk=v\r\nj=w\r\n", "S", "j", "w"},
      {"CR line ends", "[S]\rk=v\rj=w\r", "S", "k", "v"},
      {"no line end at the end", "[S]\nk=v", "S", "k", "v"},
      {"not UTF-8: Windows-1252", "[S]\nk=Qualit\xE4t \x80 \x9C\n", "S", "k", "Qualit\xC3\xA4t \xE2\x82\xAC \xC5\x93"},
      {"Windows-1252 undefined byte", "[S]\nk=\x81\n", "S", "k", "\xC2\x81"},
      {"UTF-8 kept", "[S]\nk=Qualit\xC3\xA4t\n", "S", "k", "Qualit\xC3\xA4t"},
      {"UTF-8 byte-order mark", "\xEF\xBB\xBF[S]\nk=v\n", "S", "k", "v"},
      {"byte-order mark and Windows-1252", "\xEF\xBB\xBF[S]\nk=\xE4\n", "S", "k", "\xC3\xA4"},
      {"UTF-16 little-endian", std::string("\xFF\xFE[\0S\0]\0\n\0k\0=\0\xE4\0\n\0", 18), "S", "k", "\xC3\xA4"},
      {"UTF-16 big-endian", std::string("\xFE\xFF\0[\0S\0]\0\n\0k\0=\0v", 16), "S", "k", "v"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(IniText::fromBytes(c.file).readString(c.section, c.key, Default), c.value) << c.name;
}

TEST(IniRead, Integers) {
  struct Case { const char* value; int32_t result; };
  const int32_t d = -777;
  const Case cases[] = {
      {"255", 255}, {"-5", -5}, {"0", 0}, {"007", 7}, {"$FF0000", 16711680}, {"0x0000FF", 255},
      {"0X1f", 31}, {"$ffffffff", -1}, {"0x80000000", INT32_MIN}, {"2147483647", INT32_MAX},
      {"-2147483648", INT32_MIN}, {" 7 ", 7}, {"\"3\"", 3},
      {"", d}, {"yes", d}, {"12abc", d}, {"+5", d}, {"1.5", d}, {"0x", d}, {"$", d}, {"-", d},
      {"--1", d}, {"-$10", d}, {"2147483648", d}, {"-2147483649", d}, {"$100000000", d},
      {"99999999999999999999", d}, {"0xG", d}, {"1 2", d},
  };
  for (const Case& c : cases) {
    IniText ini = IniText::fromBytes(std::string("[S]\nk=") + c.value + "\n");
    EXPECT_EQ(ini.readInteger("S", "k", d), c.result) << c.value;
  }
  EXPECT_EQ(IniText().readInteger("S", "k", d), d);
}

TEST(IniWrite, ChangesOnlyItsKeyAndKeepsEverythingElse) {
  struct Case { std::string name, before, section, key, value, after; };
  const Case cases[] = {
      {"creates section and key", "", "S", "k", "v", "[S]\nk=v\n"},
      {"changes a value", "[S]\nk=old\n", "S", "k", "v", "[S]\nk=v\n"},
      {"keeps the key's spelling and blanks", "[s]\n  KEY = old ; x\n", "S", "key", "v", "[s]\n  KEY = v\n"},
      {"empty value", "[S]\nk=old\n", "S", "k", "", "[S]\nk=\n"},
      {"after the section's last key, before its trailing comment",
       "; settings\n[S]\na=1\n\n; next\n[T]\nb=2\n", "S", "c", "3",
       "; settings\n[S]\na=1\nc=3\n\n; next\n[T]\nb=2\n"},
      {"section without keys", "[S]\n[T]\n", "S", "k", "v", "[S]\nk=v\n[T]\n"},
      {"new section after a last line without line end", "[T]\nb=2", "S", "k", "v", "[T]\nb=2\n[S]\nk=v\n"},
      {"key after a last line without line end", "[S]\nb=2", "S", "k", "v", "[S]\nb=2\nk=v\n"},
      {"CRLF kept and used", "[S]\r\na=1\r\n", "S", "b", "2", "[S]\r\na=1\r\nb=2\r\n"},
      {"first of duplicate keys", "[S]\nk=1\nk=2\n", "S", "k", "v", "[S]\nk=v\nk=2\n"},
      {"key of a repeated section", "[S]\na=1\n[T]\n[S]\nk=1\n", "S", "k", "v", "[S]\na=1\n[T]\n[S]\nk=v\n"},
      {"new key in the first of repeated sections", "[S]\na=1\n[S]\nb=1\n", "S", "k", "v",
       "[S]\na=1\nk=v\n[S]\nb=1\n"},
      {"commented-out key is not the key", "[S]\n;k=1\n", "S", "k", "v", "[S]\nk=v\n;k=1\n"},
      {"blanks at the ends are quoted", "[S]\n", "S", "k", " v ", "[S]\nk=\" v \"\n"},
      {"matching quotes are quoted", "[S]\n", "S", "k", "'v'", "[S]\nk=\"'v'\"\n"},
      {"line breaks and NUL become blanks", "[S]\n", "S", "k", std::string("a\r\nb\0c", 6), "[S]\nk=a  b c\n"},
      {"a value that is not UTF-8", "[S]\n", "S", "k", "Qualit\xE4t", "[S]\nk=Qualit\xEF\xBF\xBDt\n"},
      {"a Windows-1252 file is written as UTF-8", "[S]\nk=Qualit\xE4t\n", "S", "x", "1",
       "[S]\nk=Qualit\xC3\xA4t\nx=1\n"},
      {"byte-order mark kept", "\xEF\xBB\xBF[S]\n", "S", "k", "v", "\xEF\xBB\xBF[S]\nk=v\n"},
  };
  for (const Case& c : cases) {
    IniText ini = IniText::fromBytes(c.before);
    ASSERT_TRUE(ini.setValue(c.section, c.key, c.value)) << c.name;
    EXPECT_EQ(ini.toBytes(), c.after) << c.name;
  }
}

TEST(IniWrite, EveryWrittenValueReadsBack) {
  const std::string values[] = {"", "v", " lead", "trail ", " both ", "\"q\"", "'q'", "\"", "\"\"", "'a\"",
                                "a=b", "; not a comment", "[not a section]", "\t", "Qualit\xC3\xA4t %q",
                                repeat("x", 2047)};
  for (const std::string& v : values) {
    IniText ini = IniText::fromBytes("[S]\nk=old\n");
    ASSERT_TRUE(ini.setValue("S", "k", v));
    EXPECT_EQ(IniText::fromBytes(ini.toBytes()).readString("S", "k", Default), v) << v;
  }
}

TEST(IniWrite, NamesThatCannotBeWrittenChangeNothing) {
  struct Case { const char* section; const char* key; };
  const Case cases[] = {{"", "k"}, {"S", ""}, {" S", "k"}, {"S", "k "}, {"S]", "k"}, {"S", "k=1"},
                        {"S", "[k"}, {"S", ";k"}, {"S\nk=1", "k"}, {"S", "k\r"}, {"S", "\xE4"}};
  for (const Case& c : cases) {
    IniText ini = IniText::fromBytes("[S]\nk=1\n");
    EXPECT_FALSE(ini.setValue(c.section, c.key, "v")) << c.section << "/" << c.key;
    EXPECT_EQ(ini.toBytes(), "[S]\nk=1\n");
  }
}

class IniFileTest : public testing::Test {
 protected:
  void expectUnableToWrite(IniFile& ini) {
    try {
      ini.writeString("S", "k", "v");
      ADD_FAILURE() << "no error";
    } catch (const EIniFileException& e) {
      EXPECT_EQ(std::string(e.what()), "Unable to write to " + ini.path());
    }
  }
  std::vector<std::string> names() {
    std::vector<std::string> out;
    for (const auto& e : std::filesystem::directory_iterator(dir.path())) out.push_back(e.path().filename());
    std::sort(out.begin(), out.end());
    return out;
  }
  TempDir dir;
};

TEST_F(IniFileTest, AMissingFileGivesDefaultsAndTheFirstWriteCreatesIt) {
  IniFile ini(dir / "pixkeep.ini");
  EXPECT_EQ(ini.readString("S", "k", Default), Default);
  EXPECT_EQ(ini.readInteger("S", "k", 5), 5);
  EXPECT_TRUE(names().empty()) << "reading creates nothing";
  ini.writeString("S", "k", "v");
  ini.writeInteger("S", "n", -12);
  EXPECT_EQ(readFile(ini.path()), "[S]\nk=v\nn=-12\n");
  EXPECT_EQ(ini.readInteger("S", "n", 0), -12);
  EXPECT_EQ(names(), std::vector<std::string>{"pixkeep.ini"}) << "no temporary file left";
}

TEST_F(IniFileTest, WritesKeepTheFilesModeAndGoThroughSymbolicLinks) {
  writeFile(dir / "real.ini", "[S]\nk=1\n");
  ::chmod((dir / "real.ini").c_str(), 0600);
  std::filesystem::create_symlink(dir / "real.ini", dir / "link.ini");
  IniFile ini(dir / "link.ini");
  ini.writeString("S", "k", "2");
  EXPECT_TRUE(std::filesystem::is_symlink(dir / "link.ini"));
  EXPECT_EQ(readFile(dir / "real.ini"), "[S]\nk=2\n");
  struct stat st {};
  ASSERT_EQ(::stat((dir / "real.ini").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
}

TEST_F(IniFileTest, FailedWritesRaiseAndLeaveTheFileAsItWas) {
  const std::string kept = "; mine\n[S]\nk=1\nother=2\n";
  writeFile(dir / "pixkeep.ini", kept);
  {
    ReadOnlyDirectory readOnly(dir.path());
    ASSERT_TRUE(readOnly.effective());
    IniFile ini(dir / "pixkeep.ini");
    expectUnableToWrite(ini);
    EXPECT_EQ(ini.readString("S", "other", Default), "2");
  }
  EXPECT_EQ(readFile(dir / "pixkeep.ini"), kept);
  EXPECT_EQ(names(), std::vector<std::string>{"pixkeep.ini"});

  IniFile inMissingDirectory(dir / "gone/pixkeep.ini");
  expectUnableToWrite(inMissingDirectory);
}

TEST_F(IniFileTest, WhatIsNotARegularFileOfSaneSizeReadsAsEmptyAndIsNotWritten) {
  std::filesystem::create_directory(dir / "directory.ini");
  ASSERT_EQ(::mkfifo((dir / "pipe.ini").c_str(), 0600), 0);
  writeFile(dir / "huge.ini", "[S]\nk=v\n");
  std::filesystem::resize_file(dir / "huge.ini", MaxProfileFileSize + 1);
  writeFile(dir / "limit.ini", "[S]\nk=v\n");
  std::filesystem::resize_file(dir / "limit.ini", MaxProfileFileSize);
  EXPECT_EQ(IniFile(dir / "limit.ini").readString("S", "k", Default), "v") << "the largest file that is read";

  for (const char* name : {"directory.ini", "pipe.ini", "huge.ini"}) {
    SCOPED_TRACE(name);
    IniFile ini(dir / name);
    EXPECT_EQ(ini.readString("S", "k", Default), Default);  // a pipe without writer must not block
    expectUnableToWrite(ini);
  }
  EXPECT_TRUE(std::filesystem::is_fifo(dir / "pipe.ini"));
  EXPECT_EQ(std::filesystem::file_size(dir / "huge.ini"), MaxProfileFileSize + 1);
}

}  // namespace
}  // namespace pixkeep
