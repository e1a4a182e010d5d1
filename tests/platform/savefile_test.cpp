#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>

#include "platform/errors.h"
#include "platform/savefile.h"

namespace pixkeep {
namespace {

namespace fs = std::filesystem;

class SaveFileTest : public testing::Test {
 protected:
  void SetUp() override {
    char templ[] = "/tmp/pixkeep-save-XXXXXX";
    dir = std::string(::mkdtemp(templ)) + "/";
  }
  void TearDown() override { fs::remove_all(dir); }

  std::string read(const std::string& name) {
    std::ifstream f(dir + name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
  }
  std::set<std::string> entries() {
    std::set<std::string> names;
    for (const auto& e : fs::directory_iterator(dir)) names.insert(e.path().filename().string());
    return names;
  }
  static std::function<void(Stream&)> writing(const std::string& text) {
    return [text](Stream& s) { s.writeBuffer(text.data(), text.size()); };
  }

  std::string dir;
};

using NewFileWay = bool (*)(const std::string&, const std::function<void(Stream&)>&);

TEST_F(SaveFileTest, NewFilesNeverReplaceOneThatExistsAndLeaveNothingBehind) {
  const std::pair<const char*, NewFileWay> ways[] = {
      {"anonymous file", saveNewFile},
      {"named temporary", detail::saveNewFileThroughNamedTemporary},
  };
  for (const auto& [label, save] : ways) {
    SCOPED_TRACE(label);
    fs::remove_all(dir);
    fs::create_directory(dir);
    EXPECT_TRUE(save(dir + "pxk1.png", writing("first")));
    EXPECT_EQ(read("pxk1.png"), "first");
    EXPECT_FALSE(save(dir + "pxk1.png", writing("second"))) << "an existing file is never replaced";
    EXPECT_EQ(read("pxk1.png"), "first");

    // A file that appears while the picture is written wins; ours is dropped.
    EXPECT_FALSE(save(dir + "pxk2.png", [this](Stream& s) {
      std::ofstream(dir + "pxk2.png") << "other program";
      s.writeBuffer("ours", 4);
    }));
    EXPECT_EQ(read("pxk2.png"), "other program");

    // A failing writer leaves no file and says which file failed.
    try {
      save(dir + "pxk3.png", [](Stream& s) {
        s.writeBuffer("half", 4);
        throw EWriteError(msg::StreamWriteError, "No space left on device");
      });
      ADD_FAILURE() << "the writer's error was swallowed";
    } catch (const EWriteError& e) {
      EXPECT_STREQ(e.what(), "Stream write error");
      EXPECT_EQ(e.detail(), "pxk3.png: No space left on device");
    }
    EXPECT_EQ(entries(), (std::set<std::string>{"pxk1.png", "pxk2.png"}));
  }
}

using NumberedWay = std::optional<int> (*)(const std::string&, int, int, const std::function<std::string(int)>&,
                                           const std::function<void(Stream&)>&);

TEST_F(SaveFileTest, NumberedFilesTakeTheFirstFreeNameAndAreWrittenOnce) {
  const std::pair<const char*, NumberedWay> ways[] = {
      {"anonymous file", saveNumberedFile},
      {"named temporary", detail::saveNumberedFileThroughNamedTemporary},
  };
  auto name = [](int n) { return "pxk" + std::to_string(n) + ".png"; };
  for (const auto& [label, save] : ways) {
    SCOPED_TRACE(label);
    fs::remove_all(dir);
    fs::create_directory(dir);
    int writes = 0;
    auto counted = [&](const std::string& text) {
      return [&writes, text](Stream& s) {
        ++writes;
        s.writeBuffer(text.data(), text.size());
      };
    };
    EXPECT_EQ(save(dir, 1, 9, name, counted("one")), 1);
    // Numbers whose files exist are passed over by a test, not by a write;
    // another extension or a dangling link counts as it is.
    for (const char* taken : {"pxk2.png", "pxk3.png"}) std::ofstream(dir + taken) << "x";
    fs::create_symlink(dir + "nowhere", dir + "pxk4.png");
    std::ofstream(dir + "pxk5.jpg") << "x";
    writes = 0;
    EXPECT_EQ(save(dir, 2, 9, name, counted("five")), 5);
    EXPECT_EQ(writes, 1);
    EXPECT_EQ(read("pxk5.png"), "five");
    EXPECT_FALSE(fs::exists(dir + "nowhere")) << "a link is never followed";

    // A file that appears while ours is written takes its number: the same
    // bytes go to the next free one, without writing again.
    writes = 0;
    std::ofstream(dir + "pxk7.png") << "x";
    EXPECT_EQ(save(dir, 6, 9, name,
                   [&](Stream& s) {
                     ++writes;
                     std::ofstream(dir + "pxk6.png") << "other program";
                     s.writeBuffer("eight", 5);
                   }),
              8);
    EXPECT_EQ(writes, 1);
    EXPECT_EQ(read("pxk6.png"), "other program");
    EXPECT_EQ(read("pxk8.png"), "eight");

    // Every name taken: nothing is written at all.
    writes = 0;
    std::ofstream(dir + "pxk9.png") << "x";
    EXPECT_EQ(save(dir, 9, 9, name, counted("none")), std::nullopt);
    EXPECT_EQ(save(dir, 10, 9, name, counted("none")), std::nullopt);
    EXPECT_EQ(writes, 0);

    // A failing writer leaves nothing behind and names the file it was for.
    const std::set<std::string> before = entries();
    try {
      save(dir, 1, 20, name, [](Stream& s) {
        s.writeBuffer("half", 4);
        throw EWriteError(msg::StreamWriteError, "No space left on device");
      });
      ADD_FAILURE() << "the writer's error was swallowed";
    } catch (const EWriteError& e) {
      EXPECT_EQ(e.detail(), "pxk10.png: No space left on device");
    }
    EXPECT_EQ(entries(), before);

    // A name that cannot be looked at is an error, not a number passed over.
    EXPECT_THROW(save(dir, 1, 99999, [](int) { return std::string(300, 'x'); }, counted("long")), EFCreateError);
  }
  try {
    saveNumberedFile(dir + "gone/", 1, 9, name, [](Stream&) {});
    ADD_FAILURE() << "a missing folder was not reported";
  } catch (const EFCreateError& e) {
    EXPECT_EQ(std::string(e.what()), "Cannot create file " + dir + "gone/pxk1.png");
    EXPECT_EQ(e.detail(), "pxk1.png: No such file or directory");
  }
}

TEST_F(SaveFileTest, ErrorsNameTheFileAndTheReason) {
  try {
    saveNewFile(dir + "gone/pxk1.png", writing("x"));
    ADD_FAILURE() << "a missing folder was not reported";
  } catch (const EFCreateError& e) {
    EXPECT_EQ(std::string(e.what()), "Cannot create file " + dir + "gone/pxk1.png");
    EXPECT_EQ(e.detail(), "pxk1.png: No such file or directory");
  }
  int fd = ::open("/dev/full", O_WRONLY);
  ASSERT_GE(fd, 0);
  FdStream full(fd);
  try {
    full.writeBuffer("x", 1);
    ADD_FAILURE() << "a full device accepted a byte";
  } catch (const EWriteError& e) {
    EXPECT_EQ(e.detail(), "No space left on device");
  }
  ::close(fd);
}

TEST_F(SaveFileTest, ReplacingSaveKeepsTheOldFileUntilTheNewOneIsComplete) {
  saveToFileAtomically(dir + "pixkeep.ini", writing("old"));
  EXPECT_THROW(saveToFileAtomically(dir + "pixkeep.ini",
                                    [](Stream& s) {
                                      s.writeBuffer("new", 3);
                                      throw EWriteError(msg::StreamWriteError);
                                    }),
               EWriteError);
  EXPECT_EQ(read("pixkeep.ini"), "old");
  saveToFileAtomically(dir + "pixkeep.ini", writing("new"));
  EXPECT_EQ(read("pixkeep.ini"), "new");
  EXPECT_EQ(entries(), std::set<std::string>{"pixkeep.ini"});
}

TEST_F(SaveFileTest, StaleTemporariesOfDeadProcessesAreRemoved) {
  pid_t child = ::fork();
  if (child == 0) ::_exit(0);
  ASSERT_GT(child, 0);
  ::waitpid(child, nullptr, 0);
  const std::string dead = std::to_string(child), mine = std::to_string(::getpid());
  const std::set<std::string> kept = {
      ".pxk2.png." + mine + "-0.part",  // ours, still being written
      ".pxk3.png.1-0.part",             // the process is alive (init)
      ".notes.part",                    // not our pattern
      "pxk4.png." + dead + "-0.part",   // not hidden
      "pxk5.png",
  };
  const std::set<std::string> stale = {".pxk1.png." + dead + "-0.part", ".pixkeep.ini." + dead + "-12.part"};
  for (const auto& n : kept) std::ofstream(dir + n) << "x";
  for (const auto& n : stale) std::ofstream(dir + n) << "x";
  EXPECT_EQ(removeStaleTemporaries(dir), 2);
  EXPECT_EQ(entries(), kept);
  EXPECT_EQ(removeStaleTemporaries(dir + "missing/"), 0);
}

}  // namespace
}  // namespace pixkeep
