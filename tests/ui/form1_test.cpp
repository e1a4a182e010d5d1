// The main window with an in-memory clipboard, on Qt's offscreen platform.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QColorDialog>
#include <QComboBox>
#include <QFileDialog>
#include <QGroupBox>
#include <QImageReader>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QRadioButton>
#include <QScrollBar>
#include <QSpinBox>
#include <QStatusBar>
#include <QSignalSpy>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QtTest/QTest>
#include <climits>
#include <filesystem>
#include <fstream>

#include "codecs/imagetypes.h"
#include "platform/fakeclipboard.h"
#include "platform/fsutil.h"
#include "tests/config/tempdir.h"
#include "tests/ui/modal.h"
#include "tests/ui/personclock.h"
#include "ui/about.h"
#include "ui/capturecontroller.h"
#include "ui/form1.h"
#include "ui/tray.h"
#include "ui/widgets.h"

namespace pixkeep {
namespace {

namespace fs = std::filesystem;

bool hasLine(const std::string& path, const std::string& line) {
  std::ifstream f(path);
  for (std::string l; std::getline(f, l);)
    if (l == line) return true;
  return false;
}

std::vector<uint8_t> readAll(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), {});
}

PlatformBitmap redBitmap() {
  PlatformBitmap b;
  b.width = 2;
  b.height = 2;
  b.bits = {0, 0, 255, 0, 0, 0, 255, 0, 0, 0, 255, 0, 0, 0, 255, 0};
  return b;
}

class Form1Test : public testing::Test {
 protected:
  void SetUp() override {
    char templ[] = "/tmp/pixkeep-ui-XXXXXX";
    dir = std::string(mkdtemp(templ)) + "/";
    clipboard.putBitmap(redBitmap());  // on the clipboard before start: discarded
    form = std::make_unique<TForm1>(clipboard, imageTypes(), ProgramPlaces{dir + "pixkeep.ini", dir + "english.ini", dir});
    cycle().outputDirectory = dir;
    copiesComeFromAPerson(cycle());
  }
  void TearDown() override {
    form.reset();
    fs::remove_all(dir);
  }
  template <typename T>
  T* child(const char* name) {
    T* w = form->findChild<T*>(name);
    EXPECT_NE(w, nullptr) << name;
    return w;
  }

  CaptureCycle& cycle() { return form->controller().cycle(); }
  QTimer* timer() { return form->controller().timer(); }
  // Lets the writing thread finish (or fail once more) and delivers what it reported.
  void settle() {
    form->controller().queue().flush(std::chrono::seconds(10));
    QCoreApplication::processEvents();
  }

  std::string dir;
  FakeClipboard clipboard;
  std::unique_ptr<TForm1> form;
};

TEST_F(Form1Test, StartUpState) {
  EXPECT_EQ(form->windowTitle(), "Pixkeep");
  // The picture there at start is read and emptied by the first tick, never saved.
  EXPECT_TRUE(timer()->isActive());
  form->TimerTimer();
  settle();
  EXPECT_TRUE(clipboard.offered.empty()) << "the clipboard is emptied at start";
  // Our own emptying is a change of the clipboard too: a tick after it finds
  // nothing, and the timer stops until the next change.
  for (int ticks = 0; timer()->isActive() && ticks < 3; ++ticks) form->TimerTimer();
  EXPECT_FALSE(timer()->isActive());
  EXPECT_EQ(form->statusText(), "0/99999 pictures");
  EXPECT_EQ(form->trayTip(), "Pixkeep - 0/99999 pictures");
  EXPECT_EQ(timer()->interval(), 1);

  struct Control { const char* name; const char* parent; QRect geometry; bool enabled; };
  const Control controls[] = {
      {"Spin", "client", {1, 16, 153, 16}, true},   {"tyyp", "client", {64, 40, 145, 21}, true},
      {"output", "client", {0, 80, 217, 89}, false}, {"default", "output", {8, 16, 89, 17}, true},
      {"user", "output", {8, 40, 89, 17}, true},     {"Edit1", "output", {96, 56, 113, 21}, true},
      {"other", "client", {0, 176, 217, 169}, false}, {"addtext", "other", {8, 16, 110, 17}, true},
      {"Edit2", "other", {120, 8, 89, 21}, true},    {"upright", "other", {24, 32, 110, 17}, true},
      {"upleft", "other", {24, 50, 110, 17}, true},  {"yleskeskel", "other", {24, 68, 110, 17}, true},
      {"V2rv", "other", {136, 32, 64, 17}, true},    {"background", "other", {40, 88, 161, 17}, true},
      {"Label6", "other", {8, 106, 201, 26}, true},  {"X", "other", {40, 136, 41, 22}, true},
      {"Y", "other", {152, 136, 41, 22}, true},      {"Image", "client", {0, 456, 105, 105}, true},
  };
  for (const Control& c : controls) {
    SCOPED_TRACE(c.name);
    QWidget* w = child<QWidget>(c.name);
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(w->parentWidget()->objectName(), c.parent);
    EXPECT_EQ(w->geometry(), c.geometry);
    EXPECT_EQ(w->isEnabled(), c.enabled && w->parentWidget()->isEnabled());
  }
  // Labels take the size of their captions; their places are fixed.
  struct Placed { const char* name; const char* parent; QPoint at; };
  const Placed labels[] = {{"Label1", "client", {0, 0}},    {"Label2", "client", {160, 0}}, {"Label3", "client", {160, 16}},
                           {"tyyptekst", "client", {0, 40}}, {"adv", "client", {0, 64}},    {"change", "output", {100, 40}},
                           {"curdir", "output", {8, 64}},    {"pickcolor", "other", {136, 50}}, {"Label4", "other", {24, 144}},
                           {"Label5", "other", {136, 144}}};
  for (const Placed& l : labels) {
    SCOPED_TRACE(l.name);
    QLabel* w = child<QLabel>(l.name);
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(w->parentWidget()->objectName(), l.parent);
    EXPECT_EQ(w->pos(), l.at);
  }
  EXPECT_FALSE(child<QLabel>("Image")->isVisible());
  EXPECT_TRUE(child<QRadioButton>("default")->isChecked());
  EXPECT_TRUE(child<QRadioButton>("upright")->isChecked());
  EXPECT_FALSE(child<QCheckBox>("addtext")->isChecked());
  EXPECT_EQ(child<QSpinBox>("X")->value(), 7);
  EXPECT_EQ(child<QSpinBox>("Y")->value(), 4);
  EXPECT_EQ(child<QLineEdit>("Edit2")->maxLength(), 40);
  EXPECT_EQ(child<QLineEdit>("Edit1")->text().toStdString(), dir) << "Edit1 shows the directory in use";
  EXPECT_EQ(child<QLabel>("V2rv")->palette().color(QPalette::Window), QColor(0, 128, 0));
  CaptureOptions o = form->readOptions();
  EXPECT_EQ(o.color, 32768u);
  EXPECT_EQ(o.x, 7);
  EXPECT_EQ(o.y, 4);
  EXPECT_TRUE(o.upRight);
  EXPECT_FALSE(child<QStatusBar>("SB")->isSizeGripEnabled());
}

TEST_F(Form1Test, ImageTypeSetsTheSlider) {
  // `moveTo`: where the user then drags the slider (0: left alone).
  struct Step { int index; int min, max, pos, largeChange; bool enabled; const char* label; int moveTo; };
  EXPECT_EQ(child<QComboBox>("tyyp")->currentIndex(), 0) << "JPEG at start";
  EXPECT_TRUE(child<QScrollBar>("Spin")->isEnabled());
  const Step steps[] = {
      {0, 1, 100, 90, 5, true, "Quality 90 (recommended 90)", 0},
      {1, 0, 9, 9, 2, true, "Compression level: 9", 0},
      {0, 1, 100, 90, 5, true, "Quality 90 (recommended 90)", 40},
      // The quality is not remembered: back at 90 from PNG.
      {1, 0, 9, 9, 2, true, "Compression level: 9", 4},
      {2, 0, 9, 4, 2, false, "Compression level: 4", 0},
      {0, 1, 100, 90, 5, true, "Quality 90 (recommended 90)", 0},
      {3, 1, 100, 90, 5, false, "Quality 90 (recommended 90)", 0},
      {1, 0, 9, 9, 2, true, "Compression level: 9", 0},
      {4, 0, 9, 6, 2, true, "Compression effort: 6", 2},
      // The effort is not remembered either, nor does it change PNG's level.
      {1, 0, 9, 9, 2, true, "Compression level: 9", 0},
      {4, 0, 9, 6, 2, true, "Compression effort: 6", 0},
  };
  for (const Step& s : steps) {
    SCOPED_TRACE(s.index);
    child<QComboBox>("tyyp")->setCurrentIndex(s.index);
    EXPECT_EQ(child<QScrollBar>("Spin")->minimum(), s.min);
    EXPECT_EQ(child<QScrollBar>("Spin")->maximum(), s.max);
    EXPECT_EQ(child<QScrollBar>("Spin")->value(), s.pos);
    EXPECT_EQ(child<QScrollBar>("Spin")->pageStep(), s.largeChange);
    EXPECT_EQ(child<QScrollBar>("Spin")->isEnabled(), s.enabled);
    EXPECT_EQ(child<QLabel>("Label1")->isEnabled(), s.enabled) << "the label greys out with the slider";
    EXPECT_EQ(child<QLabel>("Label1")->text(), s.label);
    EXPECT_EQ(form->readOptions().spinPosition, s.pos);
    if (s.moveTo) child<QScrollBar>("Spin")->setValue(s.moveTo);
  }
  child<QComboBox>("tyyp")->setCurrentIndex(0);
  child<QScrollBar>("Spin")->setValue(75);
  EXPECT_EQ(child<QLabel>("Label1")->text(), "Quality 75 (recommended 90)");
  child<QComboBox>("tyyp")->setCurrentIndex(1);
  child<QScrollBar>("Spin")->setValue(3);
  EXPECT_EQ(child<QLabel>("Label1")->text(), "Compression level: 3");
  EXPECT_EQ(form->readOptions().spinPosition, 3);
}

TEST_F(Form1Test, TickUpdatesStatusAndTrayTip) {
  child<QComboBox>("tyyp")->setCurrentIndex(3);
  clipboard.putBitmap(redBitmap());
  form->TimerTimer();
  EXPECT_FALSE(clipboard.offered.empty()) << "left there until the picture is safe";
  settle();
  EXPECT_TRUE(clipboard.offered.empty()) << "emptied once its file is written";
  EXPECT_TRUE(fs::exists(dir + "pxk1.bmp"));
  EXPECT_EQ(form->statusText(), "1/99999 pictures");
  EXPECT_EQ(form->trayTip(), "Pixkeep - 1/99999 pictures");
  // Nothing on the clipboard: the timer stops until the next change.
  timer()->start();
  form->TimerTimer();
  EXPECT_FALSE(timer()->isActive());
  clipboard.changedByOwner();
  EXPECT_TRUE(timer()->isActive());

  // The last number stops the capture for good.
  cycle().pipeline().pictureCounter = 99998;
  clipboard.putBitmap(redBitmap());
  form->TimerTimer();
  settle();
  EXPECT_EQ(form->statusText(), "99999/99999 pictures");
  EXPECT_FALSE(form->controller().timerEnabled());
  clipboard.changedByOwner();
  EXPECT_FALSE(timer()->isActive());
}

TEST_F(Form1Test, TheSamePictureRightAgainIsSavedOnlyAfterATextCameBetween) {
  child<QComboBox>("tyyp")->setCurrentIndex(3);
  cycle().clock = [] { return CaptureCycle::Clock::time_point(); };  // all at once
  // Each change reaches the window as a clipboard manager's or a user's would.
  const auto copy = [&](auto put) {
    put();
    while (timer()->isActive()) form->TimerTimer();
    settle();
  };
  copy([&] { clipboard.putBitmap(redBitmap()); });
  ASSERT_TRUE(fs::exists(dir + "pxk1.bmp"));
  copy([&] { clipboard.putBitmap(redBitmap()); });
  EXPECT_FALSE(fs::exists(dir + "pxk2.bmp")) << "put back at once: a clipboard manager's copy";
  copy([&] {
    clipboard.offered = {CF_TEXT};
    clipboard.changedByOwner();
  });
  copy([&] { clipboard.putBitmap(redBitmap()); });
  EXPECT_TRUE(fs::exists(dir + "pxk2.bmp")) << "after a text, the same picture is a new copy";
}

TEST_F(Form1Test, FailedSavesKeepTheirPicturesAndAreReportedOnce) {
  child<QComboBox>("tyyp")->setCurrentIndex(3);
  form->controller().setOutputDirectory(dir + "gone/");
  const uint32_t colours[] = {0x0000FF, 0x00FF00, 0xFF0000};
  for (uint32_t c : colours) {
    PlatformBitmap b = redBitmap();
    for (size_t i = 0; i < b.bits.size(); i += 4) b.bits[i] = uint8_t(c >> 16), b.bits[i + 1] = uint8_t(c >> 8), b.bits[i + 2] = uint8_t(c);
    clipboard.putBitmap(b);
    form->TimerTimer();
    settle();
    EXPECT_TRUE(clipboard.offered.empty()) << "the picture is kept to be written, so the clipboard is emptied";
  }
  auto boxes = form->findChildren<QMessageBox*>("errorBox");
  ASSERT_EQ(boxes.size(), 1);
  EXPECT_EQ(boxes[0]->text().toStdString(), "Cannot create file " + dir + "gone/pxk1.bmp.");
  EXPECT_EQ(boxes[0]->informativeText().toStdString(), "pxk1.bmp: No such file or directory");
  EXPECT_EQ(boxes[0]->windowTitle(), "Pixkeep");
  EXPECT_EQ(boxes[0]->icon(), QMessageBox::Critical);
  EXPECT_EQ(form->statusText(), "3 pictures waiting: pxk1.bmp: No such file or directory");
  EXPECT_EQ(form->trayTip(), "Pixkeep - 3 pictures waiting: pxk1.bmp: No such file or directory");
  EXPECT_EQ(cycle().pipeline().pictureCounter, 0);
  boxes[0]->accept();
  QCoreApplication::processEvents();

  // The folder comes back: the pictures are written in the order they were copied.
  fs::create_directory(dir + "gone");
  form->controller().setOutputDirectory(dir + "gone/");
  settle();
  EXPECT_EQ(form->statusText(), "3/99999 pictures");
  for (int i = 0; i < 3; ++i) {
    const auto bytes = readAll(dir + "gone/pxk" + std::to_string(i + 1) + ".bmp");
    ASSERT_GT(bytes.size(), 57u);
    EXPECT_EQ(bytes[54] | (bytes[55] << 8) | (bytes[56] << 16), int(colours[i] >> 16 | (colours[i] & 0xFF00) | (colours[i] & 0xFF) << 16));
  }
  EXPECT_TRUE(form->findChildren<QMessageBox*>("errorBox").empty());
}

// A type that cannot be written leaves the picture on the clipboard, with
// one box. Every row of the program can be written: GIF's writer is taken
// away for this.
TEST_F(Form1Test, ATypeThatCannotBeWrittenLeavesThePictureWithOneBox) {
  std::vector<ImageType> types = imageTypes();
  types[2].writer = nullptr;
  form.reset();
  form = std::make_unique<TForm1>(clipboard, types, ProgramPlaces{dir + "pixkeep.ini", dir + "english.ini", dir});
  cycle().outputDirectory = dir;
  copiesComeFromAPerson(cycle());
  child<QComboBox>("tyyp")->setCurrentIndex(2);
  clipboard.putBitmap(redBitmap());
  form->TimerTimer();
  form->TimerTimer();
  EXPECT_FALSE(clipboard.offered.empty());
  auto boxes = form->findChildren<QMessageBox*>("errorBox");
  ASSERT_EQ(boxes.size(), 1);
  EXPECT_EQ(boxes[0]->text().toStdString(), "This image type is not available.");
  EXPECT_FALSE(timer()->isActive()) << "not tried on every tick";
  // Choosing a type that can be written takes it.
  boxes[0]->accept();
  child<QComboBox>("tyyp")->setCurrentIndex(3);
  EXPECT_TRUE(timer()->isActive());
  form->TimerTimer();
  settle();
  EXPECT_EQ(form->statusText(), "1/99999 pictures");
  EXPECT_TRUE(fs::exists(dir + "pxk1.bmp"));
}

TEST(ErrorReport, FullStopRule) {
  struct Case { const char* message; const char* shown; };
  const Case cases[] = {{"Stream write error", "Stream write error."}, {"Saved to /tmp/", "Saved to /tmp/."},
                        {"JPEG error #42", "JPEG error #42."},        {"Done:", "Done:."},
                        {"Why?", "Why?."},                            {"Ends with a blank ", "Ends with a blank "},
                        {"(bracket)", "(bracket)"},                   {"Stop!", "Stop!"},
                        {"Already.", "Already."},                     {"", ""}};
  for (const Case& c : cases) EXPECT_EQ(withFullStop(c.message), c.shown) << c.message;
}

TEST_F(Form1Test, WindowMenusAndComponents) {
  EXPECT_EQ(form->pos(), QPoint(240, 147));
  const Qt::WindowFlags flags = form->windowFlags();
  EXPECT_FALSE(flags.testFlag(Qt::WindowMinimizeButtonHint));
  EXPECT_FALSE(flags.testFlag(Qt::WindowMaximizeButtonHint));
  EXPECT_TRUE(flags.testFlag(Qt::WindowCloseButtonHint));
  EXPECT_TRUE(flags.testFlag(Qt::WindowSystemMenuHint));
  EXPECT_EQ(form->outerHeight(), CollapsedHeight);
  EXPECT_EQ(form->menuBar()->objectName(), "MainMenu1");

  // Each menu's items in order, by object name, with their captions ("-": a separator).
  struct Menu { const char* name; const char* title; std::vector<std::pair<const char*, const char*>> items; };
  const Menu menus[] = {
      {"Fail1", "&File", {{"keel1", "&Choose language"}, {"Peidaaken1", "Hide &window"},
                          {"Autostart1", "Start hidden when I &log in"}, {"N5", "-"},
                          {"Pause1", "&Pause capturing"}, {"Opendir1", "&Open picture folder"}, {"N4", "-"},
                          {"Help1", "&Help"}, {"N2", "-"}, {"Vlju2", "&Exit"}}},
      {"Help2", "&Help", {{"Quickhelp1", "&Built-in help"}, {"Helpfile1", "Help &file"}}},
      {"mnu", "", {{"Avapixkeep1", "&Show window"}, {"N1", "-"}, {"Pause1", "&Pause capturing"},
                   {"Opendir1", "&Open picture folder"}, {"N3", "-"}, {"Vlju1", "&Exit"}}},
  };
  for (const Menu& m : menus) {
    SCOPED_TRACE(m.name);
    QMenu* menu = child<QMenu>(m.name);
    ASSERT_NE(menu, nullptr);
    EXPECT_EQ(menu->title(), m.title);
    const QList<QAction*> actions = menu->actions();
    ASSERT_EQ(size_t(actions.size()), m.items.size());
    for (size_t i = 0; i < m.items.size(); ++i) {
      EXPECT_EQ(actions[qsizetype(i)]->objectName(), m.items[i].first);
      EXPECT_EQ(actions[qsizetype(i)]->isSeparator() ? "-" : actions[qsizetype(i)]->text(), m.items[i].second);
    }
  }
  EXPECT_EQ(form->menuBar()->actions().size(), 2) << "File and Help; the tray menu is not on the bar";
  EXPECT_EQ(form->trayMenu(), child<QMenu>("mnu"));
  EXPECT_EQ(child<QMenu>("mnu")->defaultAction(), child<QAction>("Avapixkeep1")) << "drawn bold";
  EXPECT_FALSE(child<QAction>("Helpfile1")->isVisible()) << "no help file";
  EXPECT_FALSE(child<QAction>("Autostart1")->isVisible()) << "no place for an autostart entry";
  EXPECT_TRUE(child<QAction>("Pause1")->isCheckable());
  EXPECT_FALSE(child<QAction>("Pause1")->isChecked()) << "capturing at every start";

  // Help context numbers, for the help file's pop-up topics.
  const std::pair<const char*, int> contexts[] = {{"default", 12}, {"user", 12}, {"Edit1", 12}, {"Label2", 14},
                                                  {"tyyp", 15},    {"SB", 17},   {"Spin", 20}};
  for (const auto& [name, number] : contexts) EXPECT_EQ(child<QWidget>(name)->property("helpContext"), number) << name;
  EXPECT_EQ(child<QAction>("Helpfile1")->property("helpContext"), 10);
  for (const char* name : {"Label1", "addtext", "X", "other"})
    EXPECT_FALSE(child<QWidget>(name)->property("helpContext").isValid()) << name;

  // The links: underlined, in the highlight colour, with a pointing hand.
  for (const char* name : {"Label2", "Label3", "adv", "change", "pickcolor"}) {
    SCOPED_TRACE(name);
    auto* link = form->findChild<LinkLabel*>(name);
    ASSERT_NE(link, nullptr);
    EXPECT_TRUE(link->font().underline());
    EXPECT_EQ(link->cursor().shape(), Qt::PointingHandCursor);
    EXPECT_EQ(link->palette().color(QPalette::Active, QPalette::WindowText),
              link->palette().color(QPalette::Active, QPalette::Highlight));
  }
  EXPECT_NE(child<QLabel>("change")->palette().color(QPalette::Disabled, QPalette::WindowText),
            child<QLabel>("change")->palette().color(QPalette::Active, QPalette::WindowText))
      << "a disabled link is greyed";

  auto* hideTimer = child<QTimer>("PeidaTaimer");
  EXPECT_EQ(hideTimer->interval(), 1000);
  EXPECT_FALSE(hideTimer->isActive());
  auto* keel = child<QFileDialog>("keel");
  EXPECT_EQ(keel->nameFilters(), QStringList{"INI (*.ini)"});
  EXPECT_EQ(keel->windowTitle(), "Choose language file");
  EXPECT_EQ(keel->fileMode(), QFileDialog::ExistingFile);
  EXPECT_EQ(child<QColorDialog>("Colordialog")->currentColor(), QColor(0, 128, 0));
  form->layout()->activate();
  EXPECT_GE(child<QWidget>("output")->y(), child<QWidget>("client")->height()) << "the lower part is out of sight";
}

TEST_F(Form1Test, StartHiddenAtLogInFollowsTheAutostartEntry) {
  const std::string entry = dir + "autostart/pixkeep.desktop";
  const auto start = [&] {
    form.reset();
    form = std::make_unique<TForm1>(clipboard, imageTypes(),
                                    ProgramPlaces{dir + "pixkeep.ini", dir + "english.ini", dir, "", entry});
  };
  start();
  auto* item = child<QAction>("Autostart1");
  EXPECT_TRUE(item->isVisible());
  EXPECT_TRUE(item->isCheckable());
  EXPECT_FALSE(item->isChecked());

  // The test program is not on the path as "pixkeep": the entry names it in full.
  item->trigger();
  EXPECT_TRUE(item->isChecked());
  EXPECT_TRUE(hasLine(entry, "Exec=" + QCoreApplication::applicationFilePath().toStdString() + " -hide"));
  item->trigger();
  EXPECT_FALSE(item->isChecked());
  EXPECT_FALSE(fs::exists(entry));

  // Made or removed elsewhere: the tick shows what is there at the next start
  // and whenever the File menu opens.
  std::ofstream(entry) << "[Desktop Entry]\n";
  start();
  item = child<QAction>("Autostart1");
  EXPECT_TRUE(item->isChecked());
  fs::remove(entry);
  QMenu* file = child<QMenu>("Fail1");
  file->popup(QPoint(0, 0));
  file->hide();
  EXPECT_FALSE(item->isChecked());

  // A directory that cannot be written: the error report, and the tick stays off.
  {
    testing_support::ReadOnlyDirectory readOnly(dir + "autostart");
    ASSERT_TRUE(readOnly.effective());
    item->trigger();
  }
  EXPECT_FALSE(item->isChecked());
  EXPECT_FALSE(fs::exists(entry));
  const auto boxes = form->findChildren<QMessageBox*>("errorBox");
  ASSERT_EQ(boxes.size(), 1);
  EXPECT_EQ(boxes[0]->text().toStdString(), "Unable to write to " + entry + ".");
}

TEST_F(Form1Test, ASecondStartBringsTheWindowToTheFront) {
  form->tray().setAvailability([] { return true; });
  form->show();
  // During the hidden start's second: it ends there, under the usual caption.
  auto* hiding = child<QTimer>("PeidaTaimer");
  hiding->start();
  form->setWindowTitle("Hiding...");
  form->bringToFront();
  EXPECT_FALSE(hiding->isActive());
  EXPECT_EQ(form->windowTitle(), "Pixkeep");
  EXPECT_TRUE(form->isVisible());
  // From the tray.
  form->Peidaaken1Click();
  ASSERT_FALSE(form->isVisible());
  ASSERT_TRUE(form->tray().shown());
  form->bringToFront();
  EXPECT_TRUE(form->isVisible());
  EXPECT_FALSE(form->tray().shown());
}

TEST_F(Form1Test, AHelpFileMissingHereIsTakenFromTheDataDirectory) {
  const fs::path cwd = fs::current_path();
  fs::current_path(dir);
  fs::create_directory(dir + "data");
  std::ofstream(dir + "data/pixkeep.hlp") << "<p>installed</p>";
  struct Case { bool inCurrentDirectory; std::string dataDirectory; std::string found; };
  const Case cases[] = {
      {false, dir + "data/", dir + "data/pixkeep.hlp"},
      {true, dir + "data/", dir + "pixkeep.hlp"},
      {false, "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.dataDirectory + (c.inCurrentDirectory ? " and one here" : ""));
    if (c.inCurrentDirectory) std::ofstream(dir + "pixkeep.hlp") << "<p>here</p>";
    form.reset();
    form = std::make_unique<TForm1>(clipboard, imageTypes(),
                                    ProgramPlaces{dir + "pixkeep.ini", dir + "english.ini", dir, c.dataDirectory});
    EXPECT_EQ(form->helpFile().toStdString(), c.found);
    EXPECT_EQ(child<QAction>("Helpfile1")->isVisible(), !c.found.empty());
    fs::remove(dir + "pixkeep.hlp");
  }
  fs::current_path(cwd);
}

TEST_F(Form1Test, AdvancedOptionsOpenAndClose) {
  form->show();
  auto* adv = child<QLabel>("adv");
  const int bars = form->height() - child<QWidget>("client")->height();
  struct Step { int outer; bool groupsEnabled; };
  const Step steps[] = {{ExpandedHeight, true}, {CollapsedHeight, false}, {ExpandedHeight, true}};
  for (const Step& s : steps) {
    SCOPED_TRACE(s.outer);
    QTest::mouseClick(adv, Qt::LeftButton);
    form->layout()->activate();
    EXPECT_EQ(form->outerHeight(), s.outer);
    // The client area grows by the lower part: 80 pixels collapsed, 347 open.
    EXPECT_EQ(form->height() - bars, s.outer - (CollapsedHeight - 80));
    EXPECT_EQ(child<QGroupBox>("output")->isEnabled(), s.groupsEnabled);
    EXPECT_EQ(child<QGroupBox>("other")->isEnabled(), s.groupsEnabled);
    if (s.groupsEnabled) {
      EXPECT_TRUE(child<QWidget>("X")->isVisible());
    }
  }
  // A press that is released away from the link is no click.
  QTest::mousePress(adv, Qt::LeftButton);
  QTest::mouseRelease(adv, Qt::LeftButton, {}, QPoint(adv->width() + 5, 2));
  EXPECT_EQ(form->outerHeight(), ExpandedHeight);
}

TEST_F(Form1Test, LinksAndMenuItemsReachTheirActions) {
  form->show();
  // The built-in help, modal each time.
  const std::function<void()> helpEntries[] = {
      [&] { QTest::mouseClick(child<QLabel>("Label3"), Qt::LeftButton); },
      [&] { child<QAction>("Quickhelp1")->trigger(); },
      [&] { child<QAction>("Help1")->trigger(); },
  };
  int helpShown = 0;
  for (const auto& open : helpEntries) helpShown += answerDialog<Tinfo>(open, [](Tinfo& d) { d.accept(); });
  EXPECT_EQ(helpShown, 3) << "the Help link, Built-in help and File > Help";
  // Without a help file its item does nothing.
  form->Helpfile1Click();
  EXPECT_EQ(form->help().viewer(), nullptr);

  // Hiding (the link, the menu item, minimising) and showing again.
  QTest::mouseClick(child<QLabel>("Label2"), Qt::LeftButton);
  EXPECT_TRUE(form->isMinimized());
  child<QAction>("Avapixkeep1")->trigger();
  EXPECT_FALSE(form->isMinimized());
  EXPECT_TRUE(form->isVisible());
  child<QAction>("Peidaaken1")->trigger();
  EXPECT_TRUE(form->isMinimized());
  child<QAction>("Avapixkeep1")->trigger();
  form->showMinimized();
  EXPECT_TRUE(form->isMinimized());
  EXPECT_TRUE(form->isVisible()) << "minimised, not ended or closed";

  // The end of the hidden start: hidden, the caption back, the timer off.
  child<QAction>("Avapixkeep1")->trigger();
  form->setWindowTitle("Hiding...");
  child<QTimer>("PeidaTaimer")->start();
  form->PeidaTaimerTimer();
  EXPECT_TRUE(form->isMinimized());
  EXPECT_EQ(form->windowTitle(), "Pixkeep");
  EXPECT_FALSE(child<QTimer>("PeidaTaimer")->isActive());
}

TEST_F(Form1Test, SpinEditsReadWholeNumbersOrZero) {
  // `typed` goes into an emptied field key by key; keys that are not digits,
  // signs or the decimal point are refused.
  struct Case { const char* typed; const char* shown; int value; };
  const Case cases[] = {
      {"-3", "-3", -3},
      {"+5", "+5", 5},
      {"1234567", "1234567", 1234567},
      {"2147483647", "2147483647", INT_MAX},
      {"-2147483648", "-2147483648", INT_MIN},
      {"2147483648", "2147483648", 0},
      {"99999999999999999999", "99999999999999999999", 0},
      {"1.5", "1.5", 0},
      {"-", "-", 0},
      {"5-", "5-", 0},
      {"", "", 0},
      {"abc", "", 0},
      {"1a2 ", "12", 12},
  };
  form->advClick();  // the fields take keys only while the advanced options are open
  for (const char* name : {"X", "Y"}) {
    auto* edit = form->findChild<SpinEdit*>(name);
    ASSERT_NE(edit, nullptr) << name;
    EXPECT_EQ(edit->minimum(), INT_MIN) << "no lower limit";
    EXPECT_EQ(edit->maximum(), INT_MAX) << "no upper limit";
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(name) + " typed " + c.typed);
      edit->clear();
      QTest::keyClicks(edit, c.typed);
      EXPECT_EQ(edit->text(), c.shown);
      EXPECT_EQ(edit->Value(), c.value);
      const CaptureOptions o = form->readOptions();
      EXPECT_EQ(std::string(name) == "X" ? o.x : o.y, c.value);
    }
  }
  // The arrows step by 1 from what the field says and stop at the ends.
  auto* x = form->findChild<SpinEdit*>("X");
  const std::pair<const char*, int> steps[] = {{"41", 42}, {"1.5", 1}, {"2147483647", INT_MAX}, {"-2147483648", INT_MIN + 1}};
  for (const auto& [typed, stepped] : steps) {
    x->clear();
    QTest::keyClicks(x, typed);
    x->stepUp();
    EXPECT_EQ(x->Value(), stepped) << typed;
  }
}

TEST_F(Form1Test, OptionsAreReadFromTheControls) {
  child<QSpinBox>("X")->setValue(-3);
  EXPECT_EQ(form->readOptions().x, -3);
  child<QSpinBox>("Y")->setValue(1234567);
  EXPECT_EQ(form->readOptions().y, 1234567);
  child<QLineEdit>("Edit2")->setText("stamp text");
  EXPECT_EQ(form->readOptions().text, "stamp text");
}

}  // namespace
}  // namespace pixkeep

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  QApplication::setApplicationDisplayName("Pixkeep");
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}

namespace pixkeep {
namespace {

// A picture of `width` x `height` whose every pixel differs from its
// neighbours: a row or column out of place shows. Its rows are stored
// bottom-up, as a device bitmap's are.
PlatformBitmap patternBitmap(int width, int height) {
  PlatformBitmap b;
  b.width = width;
  b.height = height;
  b.bits.resize(size_t(width) * size_t(height) * 4);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      uint8_t* p = &b.bits[(size_t(y) * size_t(width) + size_t(x)) * 4];
      p[0] = uint8_t(x * 7 + y), p[1] = uint8_t(x >> 8), p[2] = uint8_t(y * 31 + (x & 15));
    }
  return b;
}

// The file's pixels, read by Qt's own reader, against the bitmap's.
void expectPixelsOf(const std::string& file, const PlatformBitmap& b) {
  QImageReader reader(QString::fromStdString(file));
  reader.setAllocationLimit(0);
  const QImage got = reader.read().convertToFormat(QImage::Format_RGB32);
  ASSERT_EQ(got.size(), QSize(b.width, b.height)) << file << ": " << reader.errorString().toStdString();
  for (int y = 0; y < b.height; ++y) {
    const auto* line = reinterpret_cast<const QRgb*>(got.constScanLine(y));
    for (int x = 0; x < b.width; ++x) {
      const uint8_t* p = &b.bits[(size_t(b.height - 1 - y) * size_t(b.width) + size_t(x)) * 4];
      ASSERT_EQ(line[x] & 0xFFFFFF, QRgb(p[2] << 16 | p[1] << 8 | p[0])) << file << " at " << x << "," << y;
    }
  }
}

TEST_F(Form1Test, APictureItsTypeCannotHoldIsSavedAsPngUnderTheNextNumber) {
  struct Case { int typeIndex; int width, height; const char* file; const char* notice; };
  const Case cases[] = {
      {0, 70000, 20, "pxk1.png", "The picture is 70000 \u00d7 20 pixels, more than JPEG can hold; it was saved as pxk1.png"},
      {0, 3, 65501, "pxk2.png", "The picture is 3 \u00d7 65501 pixels, more than JPEG can hold; it was saved as pxk2.png"},
      {0, 65500, 2, "pxk3.jpg", nullptr},  // JPEG's largest side
      {2, 65536, 2, "pxk4.png", "The picture is 65536 \u00d7 2 pixels, more than GIF can hold; it was saved as pxk4.png"},
      {2, 65535, 2, "pxk5.gif", nullptr},  // GIF's largest side
      {0, 5, 4, "pxk6.jpg", nullptr},
      {4, 16384, 2, "pxk7.png", "The picture is 16384 \u00d7 2 pixels, more than WebP can hold; it was saved as pxk7.png"},
      {4, 2, 16383, "pxk8.webp", nullptr},  // WebP's largest side
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    child<QComboBox>("tyyp")->setCurrentIndex(c.typeIndex);
    const PlatformBitmap picture = patternBitmap(c.width, c.height);
    clipboard.putBitmap(picture);
    form->TimerTimer();
    settle();
    EXPECT_TRUE(clipboard.offered.empty()) << "emptied once the file is written";
    ASSERT_TRUE(fs::exists(dir + c.file));
    EXPECT_EQ(cycle().pipeline().pictureCounter, std::stoi(std::string(c.file).substr(3)));
    auto boxes = form->findChildren<QMessageBox*>("errorBox");
    if (!c.notice) {
      EXPECT_TRUE(boxes.empty());
      EXPECT_EQ(form->statusText(), QString("%1/99999 pictures").arg(cycle().pipeline().pictureCounter));
      continue;
    }
    expectPixelsOf(dir + c.file, picture);
    ASSERT_EQ(boxes.size(), 1);
    EXPECT_EQ(boxes[0]->text(), QString(c.notice) + ".") << "plain words, no library error number";
    EXPECT_EQ(boxes[0]->informativeText(), "");
    EXPECT_EQ(boxes[0]->icon(), QMessageBox::Information);
    EXPECT_EQ(form->statusText(), c.notice) << "until the next picture";
    EXPECT_EQ(form->trayTip(), QString("Pixkeep - ") + c.notice);
    boxes[0]->accept();
    QCoreApplication::processEvents();
  }
}

TEST_F(Form1Test, WhilePausedPicturesStayOnTheClipboardAndNothingIsSaved) {
  child<QComboBox>("tyyp")->setCurrentIndex(3);
  const auto picture = [](int seed) {
    PlatformBitmap b = patternBitmap(3, 2);
    b.bits[0] = uint8_t(seed);
    return b;
  };
  clipboard.putBitmap(picture(1));
  form->TimerTimer();
  settle();
  ASSERT_TRUE(fs::exists(dir + "pxk1.bmp"));
  const QImage normal = form->tray().icon()->icon().pixmap(22).toImage();

  // From the tray menu; the File menu's item is the same one.
  QAction* pause = child<QAction>("Pause1");
  ASSERT_TRUE(form->trayMenu()->actions().contains(pause));
  pause->trigger();
  EXPECT_TRUE(pause->isChecked());
  EXPECT_TRUE(form->controller().paused());
  EXPECT_EQ(form->statusText(), "Paused");
  EXPECT_EQ(form->trayTip(), "Pixkeep - Paused");
  const QImage paused = form->tray().icon()->icon().pixmap(22).toImage();
  EXPECT_NE(paused, normal) << "the tray icon shows the pause";
  EXPECT_EQ(paused, pausedIcon().pixmap(22).toImage());
  for (int seed = 2; seed <= 4; ++seed) {
    clipboard.putBitmap(picture(seed));
    EXPECT_FALSE(timer()->isActive()) << "a change does not start the capture";
    form->TimerTimer();  // nor does a tick that comes all the same
    settle();
  }
  EXPECT_EQ(clipboard.offered, std::vector<unsigned>{CF_BITMAP}) << "the last picture is still on the clipboard";
  EXPECT_EQ(cycle().pipeline().pictureCounter, 1);
  EXPECT_FALSE(fs::exists(dir + "pxk2.bmp"));

  // Going on: the picture copied while paused stays; the next one is number 2.
  pause->trigger();
  EXPECT_FALSE(pause->isChecked());
  EXPECT_EQ(form->statusText(), "1/99999 pictures");
  EXPECT_EQ(form->tray().icon()->icon().pixmap(22).toImage(), normal);
  for (int i = 0; i < 3; ++i) form->TimerTimer();
  settle();
  EXPECT_EQ(clipboard.offered, std::vector<unsigned>{CF_BITMAP});
  EXPECT_FALSE(fs::exists(dir + "pxk2.bmp"));
  const PlatformBitmap next = picture(5);
  clipboard.putBitmap(next);
  EXPECT_TRUE(timer()->isActive());
  form->TimerTimer();
  settle();
  ASSERT_TRUE(fs::exists(dir + "pxk2.bmp"));
  expectPixelsOf(dir + "pxk2.bmp", next);
  EXPECT_TRUE(clipboard.offered.empty());
  EXPECT_EQ(form->statusText(), "2/99999 pictures");
}

TEST_F(Form1Test, ALongStatusIsShortenedAndTheWidthHolds) {
  form->show();
  form->layout()->activate();
  const int width = form->width();
  EXPECT_EQ(width, 233 - 8);
  const QString templ = QString(87, 'w') + " %p";  // 90 characters
  ASSERT_EQ(templ.size(), 90);
  std::ofstream(dir + "long.ini") << "[Status]\nPictures=" << templ.toStdString() << "\n";
  form->LoadLanguage(dir + "long.ini");
  form->layout()->activate();
  EXPECT_EQ(form->width(), width);
  EXPECT_EQ(form->statusText(), QString(87, 'w') + " 0/99999");
  EXPECT_TRUE(form->statusShown().endsWith(QChar(0x2026))) << form->statusShown().toStdString();
  EXPECT_LT(form->statusShown().size(), form->statusText().size());
  EXPECT_EQ(child<QStatusBar>("SB")->toolTip(), form->statusText()) << "the whole text";

  // A picture waiting, with the built-in texts.
  form->LoadLanguage(dir + "missing.ini");
  EXPECT_EQ(form->statusShown(), "0/99999 pictures");
  EXPECT_EQ(child<QStatusBar>("SB")->toolTip(), "") << "nothing shortened";
  child<QComboBox>("tyyp")->setCurrentIndex(3);
  form->controller().setOutputDirectory(dir + "gone/");
  clipboard.putBitmap(redBitmap());
  form->TimerTimer();
  settle();
  ASSERT_TRUE(form->statusText().startsWith("1 picture waiting: ")) << form->statusText().toStdString();
  form->layout()->activate();
  EXPECT_EQ(form->width(), width);
  EXPECT_TRUE(form->statusShown().endsWith(QChar(0x2026)));
  EXPECT_EQ(child<QStatusBar>("SB")->toolTip(), form->statusText());
  for (auto* box : form->findChildren<QMessageBox*>("errorBox")) box->accept();
}

}  // namespace
}  // namespace pixkeep
