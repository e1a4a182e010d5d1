#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "config/autostart.h"
#include "config/errors.h"
#include "tests/config/tempdir.h"

namespace pixkeep {
namespace {

namespace fs = std::filesystem;
using namespace testing_support;

TEST(Autostart, ExecArgumentsAreQuotedOnlyWhenTheyMustBe) {
  struct Case { const char* argument; const char* quoted; };
  const Case cases[] = {
      {"/usr/bin/pixkeep", "/usr/bin/pixkeep"},
      {"/opt/pix-keep_2.0/pixkeep", "/opt/pix-keep_2.0/pixkeep"},
      {"/home/a b/pixkeep", "\"/home/a b/pixkeep\""},
      {"/x/it's", "\"/x/it's\""},
      {"/x/\"q\"", "\"/x/\\\"q\\\"\""},
      {"/x/$HOME`id`", "\"/x/\\$HOME\\`id\\`\""},
      {"/x/back\\slash", "\"/x/back\\\\slash\""},
      {"/x/a;b&c|d", "\"/x/a;b&c|d\""},
      {"/x/~(*?#)<>", "\"/x/~(*?#)<>\""},
      {"/apps/100%/pixkeep", "/apps/100%%/pixkeep"},
      {"/my apps/50%", "\"/my apps/50%%\""},
  };
  for (const Case& c : cases) EXPECT_EQ(execArgument(c.argument), c.quoted) << c.argument;
}

TEST(Autostart, TheProgramIsNamedByItsNameOnlyWhenThePathFindsIt) {
  TempDir dir;
  for (const char* d : {"bin", "other", "spaced dir"}) fs::create_directory(dir / d);
  for (const char* f : {"bin/pixkeep", "other/pixkeep", "spaced dir/pixkeep"}) writeFile(dir / f, "#!/bin/sh\n");
  const std::string bin = dir / "bin", other = dir / "other";
  struct Case { std::string executable; std::string path; std::string command; };
  const Case cases[] = {
      {dir / "bin/pixkeep", bin, "pixkeep"},
      {dir / "bin/pixkeep", "/nonexistent:" + bin + ":" + other, "pixkeep"},
      {dir / "bin/pixkeep", ":" + bin, "pixkeep"},
      // Another "pixkeep" comes first on the path: the full name is needed.
      {dir / "bin/pixkeep", other + ":" + bin, dir / "bin/pixkeep"},
      {dir / "bin/pixkeep", "", dir / "bin/pixkeep"},
      {dir / "bin/pixkeep", other, dir / "bin/pixkeep"},
      {dir / "spaced dir/pixkeep", bin, "\"" + dir / "spaced dir/pixkeep\""},
  };
  for (const Case& c : cases) EXPECT_EQ(programCommand(c.executable, c.path), c.command) << c.executable << " on " << c.path;
}

TEST(Autostart, TheEntryIsWrittenAndRemovedAndItsPresenceIsTheState) {
  TempDir dir;
  const std::string file = dir / "config/autostart/pixkeep.desktop";
  EXPECT_FALSE(startsAtLogin(file));
  setStartAtLogin(file, true, "pixkeep");
  EXPECT_TRUE(startsAtLogin(file));
  EXPECT_EQ(readFile(file),
            "[Desktop Entry]\nType=Application\nName=Pixkeep\n"
            "Comment=Saves every picture copied to the clipboard as a numbered file\n"
            "Exec=pixkeep -hide\nIcon=pixkeep\nTerminal=false\nX-GNOME-Autostart-enabled=true\n");
  // A quoted command keeps its backslashes through the entry's own escaping.
  setStartAtLogin(file, true, execArgument("/x/a\"b"));
  EXPECT_NE(readFile(file).find("\nExec=\"/x/a\\\\\"b\" -hide\n"), std::string::npos) << readFile(file);
  // Tabs and line breaks, which a value may not hold as they are, are escaped.
  setStartAtLogin(file, true, execArgument("/x/a\tb\rc\nd"));
  EXPECT_NE(readFile(file).find("\nExec=\"/x/a\\tb\\rc\\nd\" -hide\n"), std::string::npos) << readFile(file);
  setStartAtLogin(file, false, "pixkeep");
  EXPECT_FALSE(startsAtLogin(file));
  EXPECT_TRUE(fs::is_directory(dir / "config/autostart")) << "the directory is the user's";
  setStartAtLogin(file, false, "pixkeep");  // nothing to remove is no error
  EXPECT_FALSE(startsAtLogin(file));
  // Any file there counts, whatever it holds.
  writeFile(file, "");
  EXPECT_TRUE(startsAtLogin(file));
}

TEST(Autostart, AFailureIsReportedAndLeavesTheFileAsItWas) {
  TempDir dir;
  fs::create_directory(dir / "autostart");
  const std::string file = dir / "autostart/pixkeep.desktop";
  struct Case { bool present; bool on; };
  for (const Case c : {Case{false, true}, Case{true, false}, Case{true, true}}) {
    SCOPED_TRACE(std::string(c.present ? "present" : "absent") + ", to " + (c.on ? "write" : "remove"));
    if (c.present) writeFile(file, "mine\n");
    {
      ReadOnlyDirectory readOnly(dir / "autostart");
      ASSERT_TRUE(readOnly.effective());
      try {
        setStartAtLogin(file, c.on, "pixkeep");
        ADD_FAILURE() << "no error";
      } catch (const EIniFileException& e) {
        EXPECT_EQ(std::string(e.what()), "Unable to write to " + file);
      }
    }
    EXPECT_EQ(startsAtLogin(file), c.present);
    if (c.present) {
      EXPECT_EQ(readFile(file), "mine\n");
    }
    fs::remove(file);
  }
}

TEST(Autostart, TheFileIsInTheUsersConfigurationDirectory) {
  const char* saved = std::getenv("XDG_CONFIG_HOME");
  const std::string before = saved ? saved : "";
  setenv("XDG_CONFIG_HOME", "/somewhere/config", 1);
  EXPECT_EQ(autostartFile(), "/somewhere/config/autostart/pixkeep.desktop");
  unsetenv("XDG_CONFIG_HOME");
  EXPECT_EQ(autostartFile(), std::string(std::getenv("HOME")) + "/.config/autostart/pixkeep.desktop");
  if (saved) setenv("XDG_CONFIG_HOME", before.c_str(), 1);
}

}  // namespace
}  // namespace pixkeep
