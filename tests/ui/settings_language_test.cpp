// The main window's settings and language: what start-up reads into the
// controls, what closing and the user's choices store, and the captions and
// layout a language file gives. Qt offscreen, an in-memory clipboard, and the
// files in a temporary directory.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QColorDialog>
#include <QFileDialog>
#include <QFileSystemModel>
#include <QGroupBox>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QRadioButton>
#include <QScrollBar>
#include <QComboBox>
#include <QPushButton>
#include <QTimer>
#include <QtTest/QTest>

#include "codecs/imagetypes.h"
#include "config/profile.h"
#include "platform/fakeclipboard.h"
#include "tests/config/tempdir.h"
#include "tests/ui/dirlist.h"
#include "tests/ui/formfixture.h"
#include "tests/ui/modal.h"
#include "tests/ui/personclock.h"
#include "ui/capturecontroller.h"
#include "ui/form1.h"

namespace pixkeep {
namespace {

namespace fs = std::filesystem;
using testing_support::readFile;
using testing_support::ReadOnlyDirectory;
using testing_support::TempDir;
using testing_support::writeFile;

PlatformBitmap whiteBitmap() {
  PlatformBitmap b;
  b.width = 1;
  b.height = 1;
  b.bits = {255, 255, 255, 0};
  return b;
}

// What every control that the language file names shows, by object name.
// The dialogs it owns have their own controls, some of the same names.
std::map<QString, QString> captions(const QWidget& form) {
  std::map<QString, QString> out;
  const auto own = [](const QWidget* w) { return !qobject_cast<const QDialog*>(w->window()); };
  for (QLabel* l : form.findChildren<QLabel*>())
    if (own(l)) out[l->objectName()] = l->text();
  for (QAbstractButton* b : form.findChildren<QAbstractButton*>())
    if (own(b)) out[b->objectName()] = b->text();
  for (QGroupBox* g : form.findChildren<QGroupBox*>()) out[g->objectName()] = g->title();
  for (QMenu* m : form.findChildren<QMenu*>()) out[m->objectName()] = m->title();
  for (QAction* a : form.findChildren<QAction*>())
    if (!a->objectName().isEmpty()) out[a->objectName()] = a->text();
  return out;
}

// The control each text of the table is shown on, and how.
struct Shown { Text id; const char* control; const char* suffix; bool literal; };
const Shown shownTexts[] = {
    {Text::MenuFile, "Fail1", "", false},         {Text::MenuHelp, "Help2", "", false},
    {Text::MenuHelp, "Help1", "", false},         {Text::MenuHideWindow, "Peidaaken1", "", false},
    {Text::MenuExit, "Vlju1", "", false},         {Text::MenuExit, "Vlju2", "", false},
    {Text::MenuLanguage, "keel1", "", false},     {Text::MenuShowWindow, "Avapixkeep1", "", false},
    {Text::MenuBuiltInHelp, "Quickhelp1", "", false}, {Text::MenuHelpFile, "Helpfile1", "", false},
    {Text::MenuStartAtLogin, "Autostart1", "", false}, {Text::MenuPause, "Pause1", "", false},
    {Text::MenuOpenFolder, "Opendir1", "", false},
    {Text::HideWindow, "Label2", "", false},      {Text::Help, "Label3", "", false},
    {Text::ImageType, "tyyptekst", ":", false},   {Text::AdvancedOptions, "adv", "", false},
    {Text::OutputDirectory, "output", "", true},  {Text::DefaultDirectory, "default", "", true},
    {Text::UserDirectory, "user", "", true},      {Text::ChangeDirectory, "change", "", false},
    {Text::CurrentDirectory, "curdir", ":", false}, {Text::Other, "other", "", true},
    {Text::AddText, "addtext", "", true},         {Text::UpRight, "upright", "", true},
    {Text::UpLeft, "upleft", "", true},           {Text::UpCenter, "yleskeskel", "", true},
    {Text::CurrentColor, "V2rv", "", false},      {Text::ChooseColor, "pickcolor", "", false},
    {Text::TextSpace, "Label6", "", false},       {Text::TextBackground, "background", "", true},
};

class SettingsLanguageTest : public FormInTempDir {
 protected:
  void SetUp() override { fs::create_directory(dir / "out"); }
  void start() {
    startForm();
    copiesComeFromAPerson(form->controller().cycle());
  }
  QString shown(const char* name) { return captions(*form)[name]; }
  std::string stored(const char* section, const char* key) {
    return IniFile(dir / "pixkeep.ini").readString(section, key, "<none>");
  }
  QColor swatch(QPalette::ColorRole role) { return child<QLabel>("V2rv")->palette().color(role); }
  // Runs the event loop until `action` has ended it; false when it never ends.
  bool runUntilEnded(const std::function<void()>& action) {
    bool ended = false;
    QTimer::singleShot(0, form.get(), action);
    QTimer::singleShot(0, form.get(), [&] { QTimer::singleShot(2000, qApp, [] { QCoreApplication::exit(1); }); });
    ended = QApplication::exec() == 0;
    return ended;
  }

};

TEST_F(SettingsLanguageTest, WithoutFilesEveryDefaultAndNothingWritten) {
  start();
  for (const Shown& s : shownTexts)
    EXPECT_EQ(shown(s.control), QString(textEntry(s.id).defaultText) + s.suffix) << s.control;
  EXPECT_EQ(shown("background"), "Add white background to text") << "the layout's caption is always replaced";
  EXPECT_EQ(shown("Label1"), "Quality 90 (recommended 90)");
  EXPECT_EQ(form->statusText(), "0/99999 pictures");
  EXPECT_EQ(form->trayTip(), "Pixkeep - 0/99999 pictures");
  EXPECT_EQ(child<QLineEdit>("Edit1")->text().toStdString(), dir / "out/");
  EXPECT_EQ(form->controller().cycle().outputDirectory, dir / "out/");
  EXPECT_EQ(swatch(QPalette::Window), QColor(0, 128, 0));
  EXPECT_EQ(swatch(QPalette::WindowText), QColor(Qt::white)) << "32768 is at most 12000000";
  EXPECT_TRUE(child<QRadioButton>("upright")->isChecked());
  EXPECT_FALSE(child<QCheckBox>("addtext")->isChecked());
  EXPECT_FALSE(child<QCheckBox>("background")->isChecked());
  EXPECT_EQ(child<QLineEdit>("Edit2")->text(), "");
  EXPECT_EQ(form->helpFile(), "");
  EXPECT_FALSE(form->windowFlags().testFlag(Qt::WindowContextHelpButtonHint));
  form->layout()->activate();
  EXPECT_EQ(form->width(), 233 - 8) << "the client area of a 233-pixel window";
  EXPECT_EQ(child<QWidget>("output")->width(), 217);
  EXPECT_EQ(child<QWidget>("Edit1")->width(), 113);
  EXPECT_EQ(child<QWidget>("Edit2")->width(), 89);
  EXPECT_EQ(child<QWidget>("tyyp")->x(), 64);
  EXPECT_FALSE(fs::exists(dir / "pixkeep.ini"));
  // The texts that no language file changes.
  EXPECT_EQ(form->windowTitle(), "Pixkeep");
  EXPECT_EQ(shown("Label4"), "X:");
  EXPECT_EQ(shown("Label5"), "Y:");
}

TEST_F(SettingsLanguageTest, StoredSettingsFillTheControlsAndAreNotWrittenBack) {
  fs::create_directory(dir / "shots");
  writeFile(dir / "deutsch.ini", "[Win]\nAddText=Text einf\xC3\xBCgen\n");
  const std::string longText(60, 'w');
  const std::string file = "[Settings]\nOutputDir=" + dir / "shots" + "\nTextColor=0x0000FF\nTextPos=7\n"
                           "AddText=yes\nTextBG=1\nLastText=" + longText + "\n[Language]\nLangFile=" +
                           dir / "deutsch.ini" + "\n";
  writeFile(dir / "pixkeep.ini", file);
  start();
  EXPECT_EQ(shown("addtext"), "Text einf\xC3\xBCgen");
  EXPECT_EQ(child<QLineEdit>("Edit1")->text().toStdString(), dir / "shots/");
  EXPECT_EQ(form->controller().cycle().outputDirectory, dir / "shots/");
  EXPECT_EQ(swatch(QPalette::Window), QColor(255, 0, 0)) << "0x0000FF is pure red";
  EXPECT_EQ(form->readOptions().color, 255u);
  EXPECT_TRUE(child<QRadioButton>("yleskeskel")->isChecked());
  EXPECT_FALSE(child<QCheckBox>("addtext")->isChecked()) << "only 1 ticks";
  EXPECT_TRUE(child<QCheckBox>("background")->isChecked());
  EXPECT_EQ(child<QLineEdit>("Edit2")->text().toStdString(), longText) << "shown whole";
  EXPECT_EQ(form->readOptions().text, longText) << "used whole";
  EXPECT_EQ(readFile(dir / "pixkeep.ini"), file);

  // Typing cannot make it longer; once shortened to 40, the limit of 40 holds.
  auto* edit = child<QLineEdit>("Edit2");
  edit->end(false);
  edit->insert("x");
  EXPECT_EQ(edit->text().size(), 60);
  // Nor longer again after a deletion.
  edit->backspace();
  edit->insert("xy");
  EXPECT_EQ(edit->text().toStdString(), std::string(59, 'w'));
  edit->setText(QString(39, 'w'));
  edit->end(false);
  edit->insert("xyz");
  EXPECT_EQ(edit->text().size(), 40);

  // The next close writes the corner as 3.
  form->close();
  EXPECT_EQ(stored("Settings", "TextPos"), "3");
}

TEST_F(SettingsLanguageTest, OutputDirectoryNormalisation) {
  struct Case { std::string stored; std::string used; };
  fs::create_directory(dir / "shots");
  const Case cases[] = {{dir / "shots", dir / "shots/"}, {dir / "shots/", dir / "shots/"},
                        {dir / "removed", dir / "out/"}, {"", dir / "out/"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.stored);
    const std::string file = "[Settings]\nOutputDir=" + c.stored + "\n";
    writeFile(dir / "pixkeep.ini", file);
    start();
    EXPECT_EQ(child<QLineEdit>("Edit1")->text().toStdString(), c.used);
    EXPECT_EQ(form->controller().cycle().outputDirectory, c.used);
    clipboard.putBitmap(whiteBitmap());
    child<QComboBox>("tyyp")->setCurrentIndex(3);
    form->TimerTimer();
    settle();
    EXPECT_TRUE(fs::exists(c.used + "pxk1.bmp"));
    fs::remove(c.used + "pxk1.bmp");
    EXPECT_EQ(readFile(dir / "pixkeep.ini"), file) << "the stored value stays";
  }
}

TEST_F(SettingsLanguageTest, ColoursAndTheSwatchCaption) {
  struct Case { const char* stored; QColor background; QColor caption; };
  const Case cases[] = {{"$FF0000", QColor(0, 0, 255), Qt::black}, {"65535", QColor(255, 255, 0), Qt::white},
                        {"12000000", QColor(0, 0x1B, 0xB7), Qt::white}, {"12000001", QColor(1, 0x1B, 0xB7), Qt::black}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.stored);
    writeFile(dir / "pixkeep.ini", std::string("[Settings]\nTextColor=") + c.stored + "\n");
    start();
    EXPECT_EQ(swatch(QPalette::Window), c.background);
    EXPECT_EQ(swatch(QPalette::WindowText), c.caption);
  }
  // A confirmed colour is shown, then stored in decimal.
  ASSERT_TRUE(form->textColorChosen(16711680));
  EXPECT_EQ(swatch(QPalette::Window), QColor(0, 0, 255));
  EXPECT_EQ(swatch(QPalette::WindowText), QColor(Qt::black));
  EXPECT_EQ(stored("Settings", "TextColor"), "16711680");
}

TEST_F(SettingsLanguageTest, ClosingStoresTheStampAndTheTypeAndNothingElse) {
  writeFile(dir / "pixkeep.ini", "; mine\n[Settings]\nOutputDir=" + dir / "chosen/" + "\nTextColor=255\n");
  start();
  child<QComboBox>("tyyp")->setCurrentIndex(1);  // PNG
  child<QScrollBar>("Spin")->setValue(3);
  child<QLineEdit>("Edit2")->setText("stamp");
  child<QRadioButton>("upleft")->setChecked(true);
  child<QCheckBox>("addtext")->setChecked(true);
  // "Default": another directory for this run only.
  form->controller().cycle().outputDirectory = dir / "out/";
  form->show();
  EXPECT_TRUE(runUntilEnded([this] { form->close(); })) << "closing ends the program";
  EXPECT_FALSE(form->isVisible());
  EXPECT_EQ(readFile(dir / "pixkeep.ini"), "; mine\n[Settings]\nOutputDir=" + dir / "chosen/" +
                                               "\nTextColor=255\nLastText=stamp\nTextPos=2\nAddText=1\nTextBG=0\n"
                                               "ImageType=PNG\nSlider=3\n");
}

TEST_F(SettingsLanguageTest, TheStoredTypeAndSliderComeBackAndBadValuesGiveTheDefaults) {
  struct Case { const char* settings; const char* type; int position; const char* label; };
  const Case cases[] = {
      {"", "JPEG", 90, "Quality 90 (recommended 90)"},  // an older file without the keys
      {"ImageType=PNG\nSlider=3\n", "PNG", 3, "Compression level: 3"},
      {"ImageType=png\nSlider=0\n", "PNG", 0, "Compression level: 0"},
      {"ImageType=JPEG\nSlider=75\n", "JPEG", 75, "Quality 75 (recommended 90)"},
      {"ImageType=PNG\nSlider=75\n", "PNG", 9, "Compression level: 9"},  // not a PNG level: PNG's own
      {"ImageType=JPEG\nSlider=0\n", "JPEG", 90, "Quality 90 (recommended 90)"},
      {"ImageType=JPEG\nSlider=many\n", "JPEG", 90, "Quality 90 (recommended 90)"},
      {"ImageType=TIFF\nSlider=3\n", "JPEG", 90, "Quality 90 (recommended 90)"},  // no such type
      {"ImageType=\nSlider=3\n", "JPEG", 90, "Quality 90 (recommended 90)"},
      {"ImageType=GIF\nSlider=3\n", "GIF", 90, nullptr},  // no slider: it keeps JPEG's, disabled
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.settings);
    writeFile(dir / "pixkeep.ini", std::string("[Settings]\n") + c.settings);
    start();
    EXPECT_EQ(child<QComboBox>("tyyp")->currentText().toStdString(), c.type);
    EXPECT_EQ(child<QScrollBar>("Spin")->value(), c.position);
    EXPECT_EQ(form->readOptions().spinPosition, c.position) << "the capture takes what is shown";
    if (c.label) {
      EXPECT_EQ(child<QLabel>("Label1")->text().toStdString(), c.label);
    }
    EXPECT_EQ(child<QScrollBar>("Spin")->isEnabled(), c.label != nullptr);
    form.reset();
  }
}

TEST_F(SettingsLanguageTest, ExitStoresNothing) {
  start();
  child<QLineEdit>("Edit2")->setText("not kept");
  child<QRadioButton>("yleskeskel")->setChecked(true);
  form->show();
  EXPECT_TRUE(runUntilEnded([this] { form->endProgram(); }));
  EXPECT_FALSE(fs::exists(dir / "pixkeep.ini"));
  // The same through the File menu's and the tray menu's Exit.
  for (const char* item : {"Vlju2", "Vlju1"}) {
    SCOPED_TRACE(item);
    writeFile(dir / "pixkeep.ini", "[Settings]\nLastText=kept\n");
    start();
    child<QLineEdit>("Edit2")->setText("not kept");
    child<QRadioButton>("upleft")->setChecked(true);
    form->show();
    EXPECT_TRUE(runUntilEnded([this, item] { child<QAction>(item)->trigger(); }));
    EXPECT_EQ(readFile(dir / "pixkeep.ini"), "[Settings]\nLastText=kept\n");
  }
}

TEST_F(SettingsLanguageTest, ExitDoesNotDropPicturesNotWrittenYet) {
  start();
  child<QComboBox>("tyyp")->setCurrentIndex(3);
  fs::remove_all(dir / "out");  // the pictures cannot be written yet: they wait
  for (int i = 0; i < 2; ++i) {
    clipboard.putBitmap(whiteBitmap());
    form->TimerTimer();
  }
  settle();
  ASSERT_TRUE(form->statusText().startsWith("2 pictures waiting")) << form->statusText().toStdString();
  for (QMessageBox* box : form->findChildren<QMessageBox*>("errorBox")) box->accept();
  QCoreApplication::processEvents();
  form->show();

  // Asked, and kept running.
  QString question;
  EXPECT_TRUE(answerDialog<QMessageBox>([this] { child<QAction>("Vlju2")->trigger(); }, [&](QMessageBox& box) {
    question = box.text();
    box.button(QMessageBox::Cancel)->click();
  }));
  EXPECT_EQ(question, "2 pictures could not be saved yet.");
  EXPECT_TRUE(form->isVisible());

  // Once they can be written, they are, before the program ends.
  fs::create_directory(dir / "out");
  EXPECT_TRUE(runUntilEnded([this] { child<QAction>("Vlju1")->trigger(); }));
  EXPECT_TRUE(fs::exists(dir / "out/pxk1.bmp"));
  EXPECT_TRUE(fs::exists(dir / "out/pxk2.bmp"));
  EXPECT_FALSE(fs::exists(dir / "pixkeep.ini")) << "still nothing stored";
}

TEST_F(SettingsLanguageTest, AFailedWriteOnCloseKeepsTheWindowOpenAndTheFile) {
  const std::string file = "[Settings]\nLastText=old\nTextColor=255\n";
  writeFile(dir / "pixkeep.ini", file);
  start();
  child<QLineEdit>("Edit2")->setText("new");
  form->show();
  {
    ReadOnlyDirectory readOnly(dir.path());
    ASSERT_TRUE(readOnly.effective());
    EXPECT_FALSE(form->close());
  }
  EXPECT_TRUE(form->isVisible());
  auto boxes = form->findChildren<QMessageBox*>("errorBox");
  ASSERT_EQ(boxes.size(), 1);
  EXPECT_EQ(boxes[0]->text().toStdString(), "Unable to write to " + dir / "pixkeep.ini" + ".");
  EXPECT_EQ(readFile(dir / "pixkeep.ini"), file);
  boxes[0]->accept();
}

TEST_F(SettingsLanguageTest, ChoicesStoreTheirKeys) {
  writeFile(dir / "deutsch.ini", "[Status]\nPictures=%p Bilder\n");
  start();
  ASSERT_TRUE(form->languageChosen(dir / "deutsch.ini"));
  EXPECT_EQ(form->statusText(), "0/99999 Bilder");
  EXPECT_EQ(stored("Language", "LangFile"), dir / "deutsch.ini");

  fs::create_directory(dir / "shots");
  ASSERT_TRUE(form->outputDirectoryChosen(dir / "shots"));
  EXPECT_EQ(child<QLineEdit>("Edit1")->text().toStdString(), dir / "shots/");
  EXPECT_EQ(form->controller().cycle().outputDirectory, dir / "shots/");
  EXPECT_EQ(stored("Settings", "OutputDir"), dir / "shots/");

  // The next start finds them.
  start();
  EXPECT_EQ(form->statusText(), "0/99999 Bilder");
  EXPECT_EQ(child<QLineEdit>("Edit1")->text().toStdString(), dir / "shots/");
}

TEST_F(SettingsLanguageTest, EveryCaptionComesFromTheLanguageFileAsPlainText) {
  std::string file;
  std::string section;
  for (const TextEntry& e : textEntries()) {
    if (e.section != section) file += "[" + (section = e.section) + "]\n";
    const std::string key = e.key;
    if (key != "Width" && key != "TypeLeft" && key != "HelpFile" && key != "Quality")
      file += key + "=<b>" + key + "</b> & \xC3\xA4\n";
  }
  writeFile(dir / "all.ini", file);
  start();
  form->LoadLanguage(dir / "all.ini");
  for (const Shown& s : shownTexts) {
    const QString own = QString("<b>%1</b> & \u00e4").arg(textEntry(s.id).key) + s.suffix;
    EXPECT_EQ(shown(s.control), s.literal ? QString(own).replace("&", "&&") : own) << s.control;
  }
  // The window's own labels (the dialogs it owns are Qt's).
  for (QLabel* l : form->findChildren<QLabel*>()) {
    if (l->window() != form.get()) continue;
    EXPECT_EQ(l->textFormat(), Qt::PlainText) << l->objectName().toStdString();
  }
  EXPECT_EQ(form->statusText(), "<b>Pictures</b> & \u00e4");
  EXPECT_EQ(form->texts()[Text::OK], "<b>OK</b> & \xC3\xA4") << "kept for the windows made later";
  EXPECT_EQ(form->windowTitle(), "Pixkeep");
  auto* types = child<QComboBox>("tyyp");
  ASSERT_EQ(types->count(), 5);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(types->itemText(i), QStringList({"JPEG", "PNG", "GIF", "Bitmap", "WebP"})[i]);

  // A later file replaces every text; what it lacks is English again.
  writeFile(dir / "menu.ini", "[Menu]\nFile=&Datei\n");
  form->LoadLanguage(dir / "menu.ini");
  EXPECT_EQ(shown("Fail1"), "&Datei");
  for (const Shown& s : shownTexts)
    if (s.id != Text::MenuFile) {
      EXPECT_EQ(shown(s.control), QString(textEntry(s.id).defaultText) + s.suffix) << s.control;
    }
  EXPECT_EQ(form->statusText(), "0/99999 pictures");
}

TEST_F(SettingsLanguageTest, TemplatesWidthsAndTheHelpFile) {
  start();
  struct Case { const char* file; const char* control; QString expected; };
  const Case cases[] = {
      {"[Win]\nQuality=Qualit\xC3\xA4t %q", "Label1", "Qualit\u00e4t 90"},
      {"[Win]\nImageType=Bildtyp:", "tyyptekst", "Bildtyp::"},
  };
  for (const Case& c : cases) {
    writeFile(dir / "lang.ini", c.file);
    form->LoadLanguage(dir / "lang.ini");
    EXPECT_EQ(shown(c.control), c.expected) << c.file;
  }
  writeFile(dir / "lang.ini", "[Win]\nCompression=%Q/%q\n");
  form->LoadLanguage(dir / "lang.ini");
  child<QComboBox>("tyyp")->setCurrentIndex(1);
  child<QScrollBar>("Spin")->setValue(5);
  EXPECT_EQ(shown("Label1"), "5/5");
  // WebP's slider has a text of its own.
  writeFile(dir / "lang.ini", "[Win]\nCompression=x\nEffort=%q/%Q\n");
  form->LoadLanguage(dir / "lang.ini");
  child<QComboBox>("tyyp")->setCurrentIndex(4);
  child<QScrollBar>("Spin")->setValue(7);
  EXPECT_EQ(shown("Label1"), "7/7");
  form->LoadLanguage(fs::path(LANG_DIR) / "deutsch.ini");
  EXPECT_EQ(shown("Label1"), "Kompressionsaufwand: 7");

  writeFile(dir / "lang.ini", "[Win]\nWidth=300\nTypeLeft=$50\n");
  form->LoadLanguage(dir / "lang.ini");
  form->layout()->activate();
  EXPECT_EQ(form->width(), 300 - 8) << "the client area of a 300-pixel window";
  EXPECT_EQ(child<QWidget>("output")->width(), 284);
  EXPECT_EQ(child<QWidget>("other")->width(), 284);
  EXPECT_EQ(child<QWidget>("Edit1")->width(), 180);
  EXPECT_EQ(child<QWidget>("Edit2")->width(), 156);
  EXPECT_EQ(child<QWidget>("tyyp")->x(), 80);

  writeFile(dir / "lang.ini", "[Win]\nWidth=-2147483648\nTypeLeft=2147483647\n");
  form->LoadLanguage(dir / "lang.ini");
  EXPECT_EQ(child<QWidget>("output")->width(), 0);
  EXPECT_EQ(child<QWidget>("Edit2")->width(), 0);

  writeFile(dir / "help.md", "# Pixkeep\n");
  writeFile(dir / "lang.ini", "[Help]\nHelpFile=" + dir / "help.md");
  form->LoadLanguage(dir / "lang.ini");
  EXPECT_EQ(form->helpFile().toStdString(), dir / "help.md");
  EXPECT_TRUE(form->windowFlags().testFlag(Qt::WindowContextHelpButtonHint));
  writeFile(dir / "lang.ini", "[Help]\nHelpFile=" + dir / "gone.md");
  form->LoadLanguage(dir / "lang.ini");
  EXPECT_EQ(form->helpFile(), "");
  EXPECT_FALSE(form->windowFlags().testFlag(Qt::WindowContextHelpButtonHint));
}

TEST_F(SettingsLanguageTest, ChoosingAColour) {
  start();
  auto* dialog = child<QColorDialog>("Colordialog");
  // The white caption ends at 12000000 (0xB71B00), read as one integer.
  struct Case { uint32_t chosen; QColor caption; };
  const Case cases[] = {{12000000, Qt::white}, {12000001, Qt::black}, {65535, Qt::white}, {16777215, Qt::black}};
  uint32_t previous = 32768;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.chosen);
    const QColor colour(int(c.chosen & 0xFF), int((c.chosen >> 8) & 0xFF), int(c.chosen >> 16));
    QColor startedAt;
    ASSERT_TRUE(answerDialog<QColorDialog>([this] { form->pickcolorClick(); }, [&](QColorDialog& d) {
      startedAt = d.currentColor();
      d.setCurrentColor(colour);
      d.accept();
    }));
    EXPECT_EQ(startedAt, QColor(int(previous & 0xFF), int((previous >> 8) & 0xFF), int(previous >> 16)))
        << "the dialog starts at the colour last chosen";
    EXPECT_EQ(swatch(QPalette::Window), colour);
    EXPECT_EQ(swatch(QPalette::WindowText), c.caption);
    EXPECT_EQ(form->readOptions().color, c.chosen);
    EXPECT_EQ(stored("Settings", "TextColor"), std::to_string(c.chosen));
    previous = c.chosen;
  }
  // Cancelled: nothing changes, nothing is written, and the next showing
  // starts again at the colour last chosen.
  const std::string file = readFile(dir / "pixkeep.ini");
  ASSERT_TRUE(answerDialog<QColorDialog>([this] { form->pickcolorClick(); }, [](QColorDialog& d) {
    d.setCurrentColor(Qt::red);
    d.reject();
  }));
  EXPECT_EQ(swatch(QPalette::Window), QColor(Qt::white));
  EXPECT_EQ(readFile(dir / "pixkeep.ini"), file);
  EXPECT_EQ(dialog, child<QColorDialog>("Colordialog"));
  QColor startedAt;
  ASSERT_TRUE(answerDialog<QColorDialog>([this] { form->pickcolorClick(); }, [&](QColorDialog& d) {
    startedAt = d.currentColor();
    d.reject();
  }));
  EXPECT_EQ(startedAt, QColor(Qt::white));

  // The stored colour is where the dialog starts after the next start.
  start();
  EXPECT_EQ(child<QColorDialog>("Colordialog")->currentColor(), QColor(Qt::white));
}

TEST_F(SettingsLanguageTest, ChoosingTheOutputDirectory) {
  fs::create_directory(dir / "shots");
  fs::create_directory(dir / "more");
  writeFile(dir / "pixkeep.ini", "[Settings]\nOutputDir=" + dir / "more/" + "\n");
  fs::current_path(dir.path());  // where the chooser's list starts
  start();
  form->advClick();
  auto* change = child<QLabel>("change");
  EXPECT_FALSE(change->isEnabled());
  const auto choose = [&](const std::function<void()>& open, const char* subdirectory) {
    QString title;
    const bool shown = answerDialog<Tdirform>(open, [&](Tdirform& d) {
      title = d.windowTitle();
      if (!subdirectory) return QTest::mouseClick(d.findChild<QPushButton*>("cancel"), Qt::LeftButton);
      doubleClick(*d.findChild<QListWidget*>("dirlist"), subdirectory);
      QTest::mouseClick(d.findChild<QPushButton*>("Button1"), Qt::LeftButton);
    });
    EXPECT_EQ(title, "Choose Directory");
    return shown;
  };

  // "User specified", cancelled: the directory stays, Change is enabled.
  EXPECT_TRUE(choose([&] { QTest::mouseClick(child<QRadioButton>("user"), Qt::LeftButton); }, nullptr));
  EXPECT_TRUE(child<QRadioButton>("user")->isChecked());
  EXPECT_TRUE(change->isEnabled());
  EXPECT_EQ(child<QLineEdit>("Edit1")->text().toStdString(), dir / "more/");
  EXPECT_EQ(stored("Settings", "OutputDir"), dir / "more/");

  // "Change", confirmed: used at once, shown and stored.
  EXPECT_TRUE(choose([&] { QTest::mouseClick(change, Qt::LeftButton); }, "shots"));
  EXPECT_EQ(child<QLineEdit>("Edit1")->text().toStdString(), dir / "shots/");
  EXPECT_EQ(form->controller().cycle().outputDirectory, dir / "shots/");
  EXPECT_EQ(stored("Settings", "OutputDir"), dir / "shots/");
  clipboard.putBitmap(whiteBitmap());
  child<QComboBox>("tyyp")->setCurrentIndex(3);
  form->TimerTimer();
  settle();
  EXPECT_TRUE(fs::exists(dir / "shots/pxk1.bmp"));

  // "Default": the program's directory for this run, nothing stored, Change disabled.
  QTest::mouseClick(child<QRadioButton>("default"), Qt::LeftButton);
  EXPECT_FALSE(change->isEnabled());
  EXPECT_EQ(child<QLineEdit>("Edit1")->text().toStdString(), dir / "out/");
  EXPECT_EQ(form->controller().cycle().outputDirectory, dir / "out/");
  EXPECT_EQ(stored("Settings", "OutputDir"), dir / "shots/");

  // "User specified" again, confirmed: the chooser opens where it was left.
  QString openedAt;
  EXPECT_TRUE(answerDialog<Tdirform>([&] { QTest::mouseClick(child<QRadioButton>("user"), Qt::LeftButton); },
                                     [&](Tdirform& d) {
                                       openedAt = d.findChild<DirectoryListBox*>("dirlist")->directory();
                                       d.Button1Click();
                                     }));
  EXPECT_EQ(openedAt.toStdString(), dir / "shots");
  EXPECT_TRUE(change->isEnabled());
  EXPECT_EQ(child<QLineEdit>("Edit1")->text().toStdString(), dir / "shots/");
}

TEST_F(SettingsLanguageTest, ChoosingALanguageFile) {
  writeFile(dir / "deutsch.ini", "[Win]\nAdvOpt=Weitere Einstellungen\nDialog=Sprachdatei\n[Status]\nPictures=%p Bilder\n");
  start();
  QString title;
  QStringList filters;
  // The dialog follows its folder (the program's own, where the pictures
  // go by default) only while it is shown.
  auto watching = [](QFileDialog& d) {
    auto* model = d.findChild<QFileSystemModel*>();
    return model && !model->testOption(QFileSystemModel::DontWatchForChanges);
  };
  bool watchedWhileShown = false;
  EXPECT_FALSE(watching(*child<QFileDialog>("keel")));
  // Cancelled: nothing changes.
  EXPECT_TRUE(answerDialog<QFileDialog>([this] { child<QAction>("keel1")->trigger(); }, [&](QFileDialog& d) {
    title = d.windowTitle();
    filters = d.nameFilters();
    watchedWhileShown = watching(d);
    d.reject();
  }));
  EXPECT_EQ(title, "Choose language file");
  EXPECT_EQ(filters, QStringList{"INI (*.ini)"});
  EXPECT_TRUE(watchedWhileShown);
  EXPECT_FALSE(watching(*child<QFileDialog>("keel")));
  EXPECT_EQ(shown("adv"), "Advanced options");
  EXPECT_FALSE(fs::exists(dir / "pixkeep.ini"));

  // Chosen: loaded at once, stored with its full path.
  EXPECT_TRUE(answerDialog<QFileDialog>([this] { child<QAction>("keel1")->trigger(); }, [&](QFileDialog& d) {
    // Typed into the dialog's file name field, as a user does.
    auto* name = d.findChild<QLineEdit*>("fileNameEdit");
    ASSERT_NE(name, nullptr);
    name->setText(QString::fromStdString(dir / "deutsch.ini"));
    static_cast<QDialog&>(d).accept();  // QFileDialog's own is protected
  }));
  EXPECT_EQ(shown("adv"), "Weitere Einstellungen");
  EXPECT_EQ(form->statusText(), "0/99999 Bilder");
  EXPECT_EQ(stored("Language", "LangFile"), dir / "deutsch.ini");
  EXPECT_TRUE(answerDialog<QFileDialog>([this] { child<QAction>("keel1")->trigger(); }, [&](QFileDialog& d) {
    title = d.windowTitle();
    d.reject();
  }));
  EXPECT_EQ(title, "Sprachdatei") << "the dialog's title comes from the language file";
}

// Every caption of the window fits its control in the window's font, with
// the built-in texts and with each language file that comes with the program.
TEST_F(SettingsLanguageTest, EveryCaptionFitsItsControl) {
  for (const char* language : {"english.ini", "deutsch.ini"}) {
    SCOPED_TRACE(language);
    writeFile(dir / "pixkeep.ini", std::string("[Language]\nLangFile=") + LANG_DIR + "/" + language + "\n");
    start();
    form->advClick();
    form->layout()->activate();
    child<QScrollBar>("Spin")->setValue(100);  // the widest quality
    // Labels that take the width of their text end before the control to
    // their right (or the edge of what holds them).
    const std::pair<const char*, const char*> labels[] = {
        {"Label1", "Label2"}, {"Label2", nullptr},  {"Label3", nullptr}, {"tyyptekst", "tyyp"}, {"adv", nullptr},
        {"change", nullptr},  {"curdir", "Edit1"},  {"pickcolor", nullptr}, {"Label4", "X"},     {"Label5", "Y"},
    };
    for (const auto& [name, next] : labels) {
      auto* l = child<QLabel>(name);
      const int right = l->x() + l->fontMetrics().horizontalAdvance(l->text());
      const int limit = next ? child<QWidget>(next)->x() : l->parentWidget()->width();
      EXPECT_LE(right, limit) << name << ": " << l->text().toStdString();
    }
    child<QComboBox>("tyyp")->setCurrentIndex(1);
    EXPECT_LE(child<QLabel>("Label1")->sizeHint().width(), child<QWidget>("Label2")->x());
    // Check boxes and radio buttons have their size from the layout.
    for (QAbstractButton* b : form->findChildren<QAbstractButton*>()) {
      if (b->window() != form.get() || (!qobject_cast<QCheckBox*>(b) && !qobject_cast<QRadioButton*>(b))) continue;
      EXPECT_LE(b->sizeHint().width(), b->width()) << b->objectName().toStdString() << ": " << b->text().toStdString();
    }
    auto* swatch = child<QLabel>("V2rv");
    EXPECT_LE(swatch->fontMetrics().horizontalAdvance(swatch->text()) + 2 * swatch->frameWidth(), swatch->width());
    auto* space = child<QLabel>("Label6");
    EXPECT_LE(space->heightForWidth(space->width()), space->height()) << "the wrapped lines fit";
    for (const char* name : {"output", "other"}) {
      auto* g = child<QGroupBox>(name);
      EXPECT_LE(g->fontMetrics().horizontalAdvance(g->title()) + 12, g->width()) << name;
    }
    EXPECT_LE(child<QLabel>("SBText")->fontMetrics().horizontalAdvance("99999/99999 pictures"),
              child<QLabel>("SBText")->width());
  }
}

TEST_F(SettingsLanguageTest, ANewLanguageShowsTheCountReachedAtOnce) {
  start();
  child<QComboBox>("tyyp")->setCurrentIndex(3);
  for (int i = 0; i < 17; ++i) {
    clipboard.putBitmap(whiteBitmap());
    form->TimerTimer();
  }
  settle();
  ASSERT_EQ(form->statusText(), "17/99999 pictures");
  writeFile(dir / "deutsch.ini", "[Status]\nPictures=%p Bilder\n");
  form->LoadLanguage(dir / "deutsch.ini");
  EXPECT_EQ(form->statusText(), "17/99999 Bilder");
  EXPECT_EQ(form->trayTip(), "Pixkeep - 17/99999 Bilder");
}

}  // namespace
}  // namespace pixkeep
