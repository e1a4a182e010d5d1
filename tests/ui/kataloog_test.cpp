// The directory chooser in a temporary directory tree: what the list shows,
// what opening a line does, and what confirming and cancelling leave behind.
#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QtTest/QTest>
#include <fcntl.h>
#include <sys/stat.h>

#include "codecs/imagetypes.h"
#include "config/profile.h"
#include "platform/fakeclipboard.h"
#include "tests/config/tempdir.h"
#include "tests/ui/dirlist.h"
#include "tests/ui/formfixture.h"
#include "tests/ui/modal.h"
#include "ui/capturecontroller.h"
#include "ui/form1.h"
#include "ui/kataloog.h"

namespace pixkeep {
namespace {

namespace fs = std::filesystem;
using testing_support::readFile;
using testing_support::ReadOnlyDirectory;
using testing_support::writeFile;

// For its lifetime the process acts as the unprivileged user "nobody", so
// that permissions hold also when the tests run as root.
class ActingAsNobody {
 public:
  ActingAsNobody() {
    if (::geteuid() == 0) dropped_ = ::seteuid(65534) == 0;
  }
  ~ActingAsNobody() {
    if (dropped_ && ::seteuid(0) != 0) std::abort();
  }
  ActingAsNobody(const ActingAsNobody&) = delete;
  ActingAsNobody& operator=(const ActingAsNobody&) = delete;

 private:
  bool dropped_ = false;
};

class ChooserTest : public FormInTempDir {
 protected:
  // data/ with the subdirectories shots/ and other/; the process starts in data/.
  void SetUp() override {
    for (const char* d : {"out", "data", "data/shots", "data/other"}) fs::create_directory(dir / d);
    fs::current_path(dir / "data");
    startForm();
  }

  // Opens the chooser through "Change" and runs `answer` on it; false when it did not come up.
  bool withChooser(const std::function<void(Tdirform&, DirectoryListBox&)>& answer) {
    return answerDialog<Tdirform>([this] { form->changeClick(); }, [&](Tdirform& d) {
      answer(d, *d.findChild<DirectoryListBox*>("dirlist"));
    });
  }
  static void click(Tdirform& d, const char* button) { QTest::mouseClick(d.findChild<QPushButton*>(button), Qt::LeftButton); }

  std::string edit1() { return form->findChild<QLineEdit*>("Edit1")->text().toStdString(); }
  std::string outputDirectory() { return form->controller().cycle().outputDirectory; }
  std::string stored() { return IniFile(dir / "pixkeep.ini").readString("Settings", "OutputDir", "<none>"); }
  QStringList pathLines(const std::string& path) {
    QStringList out{"/"};
    out += QString::fromStdString(path).split('/', Qt::SkipEmptyParts);
    return out;
  }

};

TEST_F(ChooserTest, WindowAndList) {
  const std::string data = dir / "data";
  EXPECT_TRUE(withChooser([&](Tdirform& d, DirectoryListBox& list) {
    EXPECT_EQ(d.size(), QSize(251, 239));
    EXPECT_FALSE(d.windowFlags().testFlag(Qt::WindowMinimizeButtonHint));
    EXPECT_TRUE(d.windowFlags().testFlag(Qt::WindowSystemMenuHint));
    struct Control { const char* name; QRect geometry; };
    for (const Control& c : {Control{"dirlist", {8, 32, 233, 161}}, Control{"Button1", {88, 200, 75, 25}},
                             Control{"cancel", {168, 200, 75, 25}}})
      EXPECT_EQ(d.findChild<QWidget*>(c.name)->geometry(), c.geometry) << c.name;
    EXPECT_EQ(d.findChild<QLabel*>("choosedir")->pos(), QPoint(8, 8));
    EXPECT_EQ(d.findChild<QLabel*>("choosedir")->text(), "Choose Directory");
    EXPECT_EQ(d.findChild<QPushButton*>("Button1")->text(), "OK");
    EXPECT_EQ(d.findChild<QPushButton*>("cancel")->text(), "Cancel");

    // The path from the root, the open directory highlighted, then its subdirectories in order.
    EXPECT_EQ(lines(list), (pathLines(data) + QStringList{"other", "shots"}));
    EXPECT_EQ(list.currentItem()->text(), "data");
    EXPECT_EQ(list.visualItemRect(list.item(0)).height(), 16);
    click(d, "cancel");
  }));
}

TEST_F(ChooserTest, OpeningAndConfirming) {
  const std::string shots = dir / "data/shots";
  EXPECT_TRUE(withChooser([&](Tdirform& d, DirectoryListBox& list) {
    doubleClick(list, "shots");
    EXPECT_EQ(list.directory().toStdString(), shots);
    EXPECT_EQ(QDir::currentPath().toStdString(), shots) << "the process follows the list";
    EXPECT_EQ(lines(list), pathLines(shots));
    EXPECT_TRUE(d.isVisible()) << "opening does not confirm";
    click(d, "Button1");
    EXPECT_FALSE(d.isVisible());
  }));
  EXPECT_EQ(outputDirectory(), shots + "/");
  EXPECT_EQ(edit1(), shots + "/");
  EXPECT_EQ(stored(), shots + "/");

  // The next capture lands there.
  PlatformBitmap b;
  b.width = b.height = 1;
  b.bits = {0, 0, 255, 0};
  clipboard.putBitmap(b);
  form->findChild<QComboBox*>("tyyp")->setCurrentIndex(3);
  form->TimerTimer();
  form->controller().queue().flush(std::chrono::seconds(10));
  QCoreApplication::processEvents();
  EXPECT_TRUE(fs::exists(shots + "/pxk1.bmp"));

  // Up again by the path's lines; the chooser opens where it was left.
  EXPECT_TRUE(withChooser([&](Tdirform& d, DirectoryListBox& list) {
    EXPECT_EQ(list.directory().toStdString(), shots);
    doubleClick(list, QString::fromStdString(fs::path(dir.path()).parent_path().filename()));
    EXPECT_EQ(list.directory().toStdString(), fs::path(dir.path()).parent_path().string());
    EXPECT_EQ(lines(list).mid(0, 3), pathLines(list.directory().toStdString()).mid(0, 3));
    click(d, "cancel");
  }));
}

TEST_F(ChooserTest, OnlyAnOpenedLineIsTaken) {
  const std::string data = dir / "data";
  // Highlighted, not opened: the open directory is taken.
  EXPECT_TRUE(withChooser([&](Tdirform& d, DirectoryListBox& list) {
    list.setFocus();
    QTest::keyClick(&list, Qt::Key_Down);
    ASSERT_EQ(list.currentItem()->text(), "other");
    QTest::mouseClick(list.viewport(), Qt::LeftButton, {}, list.visualItemRect(line(list, "shots")).center());
    ASSERT_EQ(list.currentItem()->text(), "shots");
    click(d, "Button1");
  }));
  EXPECT_EQ(edit1(), data + "/");
  EXPECT_EQ(stored(), data + "/");

  // Enter opens the highlighted line and leaves the chooser open.
  EXPECT_TRUE(withChooser([&](Tdirform& d, DirectoryListBox& list) {
    list.setCurrentItem(line(list, "other"));
    QTest::keyClick(&list, Qt::Key_Return);
    EXPECT_EQ(list.directory().toStdString(), dir / "data/other");
    EXPECT_TRUE(d.isVisible());
    click(d, "Button1");
  }));
  EXPECT_EQ(edit1(), dir / "data/other/");
}

TEST_F(ChooserTest, CancelAndCloseChangeNothing) {
  writeFile(dir / "pixkeep.ini", "[Settings]\nOutputDir=" + dir / "out/" + "\n");
  const std::string before = readFile(dir / "pixkeep.ini");
  const std::string shownBefore = edit1();
  const std::function<void(Tdirform&)> ends[] = {[](Tdirform& d) { click(d, "cancel"); },
                                                 [](Tdirform& d) { d.close(); }};
  for (const auto& end : ends) {
    EXPECT_TRUE(withChooser([&](Tdirform& d, DirectoryListBox& list) {
      doubleClick(list, list.directory().endsWith("shots") ? "data" : "shots");
      end(d);
      EXPECT_FALSE(d.isVisible());
    }));
    EXPECT_EQ(edit1(), shownBefore);
    EXPECT_EQ(outputDirectory(), shownBefore);
    EXPECT_EQ(readFile(dir / "pixkeep.ini"), before);
  }
}

TEST_F(ChooserTest, TheRootGivesTwoSlashes) {
  EXPECT_TRUE(withChooser([&](Tdirform& d, DirectoryListBox& list) {
    doubleClick(list, "/");
    EXPECT_EQ(list.directory(), "/");
    EXPECT_EQ(lines(list).first(), "/");
    click(d, "Button1");
  }));
  EXPECT_EQ(edit1(), "//");
  EXPECT_EQ(outputDirectory(), "//");
  EXPECT_EQ(stored(), "//");
}

TEST_F(ChooserTest, TextsOfTheLanguageAtEachShowing) {
  writeFile(dir / "lang.ini", "[Dialog]\nChooseDir=Ordner w\xC3\xA4hlen\nOK=Jawohl\nCancel=Abbrechen\n");
  EXPECT_TRUE(withChooser([&](Tdirform& d, DirectoryListBox&) { click(d, "cancel"); }));
  ASSERT_TRUE(form->languageChosen(dir / "lang.ini"));
  EXPECT_TRUE(withChooser([&](Tdirform& d, DirectoryListBox&) {
    EXPECT_EQ(d.windowTitle(), "Ordner w\u00e4hlen");
    EXPECT_EQ(d.findChild<QLabel*>("choosedir")->text(), "Ordner w\u00e4hlen");
    EXPECT_EQ(d.findChild<QPushButton*>("Button1")->text(), "Jawohl");
    EXPECT_EQ(d.findChild<QPushButton*>("cancel")->text(), "Abbrechen");
    click(d, "cancel");
  }));
}

TEST_F(ChooserTest, AFailedWriteKeepsTheChooserOpen) {
  writeFile(dir / "pixkeep.ini", "[Settings]\nOutputDir=" + dir / "out/" + "\n");
  const std::string before = readFile(dir / "pixkeep.ini");
  const std::string shots = dir / "data/shots";
  EXPECT_TRUE(withChooser([&](Tdirform& d, DirectoryListBox& list) {
    doubleClick(list, "shots");
    {
      ReadOnlyDirectory readOnly(dir.path());
      ASSERT_TRUE(readOnly.effective());
      click(d, "Button1");
    }
    EXPECT_TRUE(d.isVisible()) << "the chooser stays open";
    auto boxes = form->findChildren<QMessageBox*>("errorBox");
    ASSERT_EQ(boxes.size(), 1);
    EXPECT_EQ(boxes[0]->text().toStdString(), "Unable to write to " + dir / "pixkeep.ini" + ".");
    boxes[0]->accept();
    click(d, "cancel");
  }));
  // Already in use and shown; not stored.
  EXPECT_EQ(outputDirectory(), shots + "/");
  EXPECT_EQ(edit1(), shots + "/");
  EXPECT_EQ(readFile(dir / "pixkeep.ini"), before);
}

TEST_F(ChooserTest, UnreadableAndRemovedDirectories) {
  const std::string data = dir / "data";
  fs::create_directory(dir / "data/locked");
  ::chmod((dir / "data/locked").c_str(), 0);
  ::chmod(dir.path().c_str(), 0755);  // the way down for "nobody"
  for (const char* d : {"data", "data/shots", "data/other"}) ::chmod((dir / d).c_str(), 0777);
  EXPECT_TRUE(withChooser([&](Tdirform& d, DirectoryListBox& list) {
    ActingAsNobody nobody;
    ASSERT_NE(::faccessat(AT_FDCWD, (dir / "data/locked").c_str(), X_OK, AT_EACCESS), 0);
    // Shown, but it does not open, and nothing is reported.
    EXPECT_EQ(lines(list), (pathLines(data) + QStringList{"locked", "other", "shots"}));
    doubleClick(list, "locked");
    EXPECT_EQ(list.directory().toStdString(), data);
    EXPECT_EQ(QDir::currentPath().toStdString(), data);
    EXPECT_TRUE(form->findChildren<QMessageBox*>().isEmpty());

    // A line whose directory has gone: the list is read again.
    fs::remove(dir / "data/other");
    doubleClick(list, "other");
    EXPECT_EQ(list.directory().toStdString(), data);
    EXPECT_EQ(lines(list), (pathLines(data) + QStringList{"locked", "shots"}));

    // The open directory itself gone: the next showing is at the nearest one above.
    doubleClick(list, "shots");
    fs::remove(dir / "data/shots");
    click(d, "cancel");
  }));
  EXPECT_TRUE(withChooser([&](Tdirform& d, DirectoryListBox& list) {
    EXPECT_EQ(list.directory().toStdString(), data);
    EXPECT_EQ(QDir::currentPath().toStdString(), data);
    EXPECT_EQ(lines(list), (pathLines(data) + QStringList{"locked"}));
    click(d, "Button1");
  }));
  EXPECT_EQ(edit1(), data + "/");
  ::chmod((dir / "data/locked").c_str(), 0700);
}

}  // namespace
}  // namespace pixkeep
