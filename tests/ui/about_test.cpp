// The built-in help window and the help file: the texts of each showing,
// the help file's presence, its contents and its topics for context help.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QGroupBox>
#include <QHelpEvent>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTextBlock>
#include <QTextBrowser>
#include <QTextDocument>
#include <QToolButton>
#include <QtTest/QTest>
#include <set>

#include "codecs/imagetypes.h"
#include "platform/fakeclipboard.h"
#include "tests/config/tempdir.h"
#include "tests/ui/modal.h"
#include "ui/about.h"
#include "ui/form1.h"

namespace pixkeep {
namespace {

namespace fs = std::filesystem;
using testing_support::TempDir;
using testing_support::writeFile;

// Each topic says its number in its heading and its text.
const char* const TopicsHtml = R"(<html><head><title>Test help</title></head><body>
<h1>Contents</h1><p>Start here.</p>
<h2><a name="12"></a>Topic twelve</h2><p>Twelve text.</p><h3>Twelve detail</h3><p>Still twelve.</p>
<h2 id="14">Topic fourteen</h2><p>Fourteen text.</p>
<h2>Unnumbered</h2><p>Not a topic.</p>
<p><a name="15"></a>Topic fifteen in a paragraph.</p><p>Fifteen more.</p>
<h2><a name="17"></a>Topic seventeen</h2><p>Seventeen text.</p>
<h2><a name="20"></a>Topic twenty</h2><p>Twenty text.</p>
<h2><a name="10"></a>Topic ten</h2><p>Ten text.</p>
</body></html>)";

class HelpTest : public testing::Test {
 protected:
  void SetUp() override {
    fs::create_directory(dir / "out");
    fs::current_path(dir.path());
  }
  void TearDown() override {
    form.reset();
    fs::current_path(cwd);
  }
  void start(const std::string& languageFile = {}) {
    if (!languageFile.empty()) writeFile(dir / "pixkeep.ini", "[Language]\nLangFile=" + languageFile + "\n");
    form = std::make_unique<TForm1>(clipboard, imageTypes(), ProgramPlaces{dir / "pixkeep.ini", dir / "english.ini", dir / "out/"});
  }
  // What the built-in help shows, by control, when opened through `open`.
  std::map<std::string, QString> builtInHelp(const std::function<void()>& open) {
    std::map<std::string, QString> shown;
    EXPECT_TRUE(answerDialog<Tinfo>(open, [&](Tinfo& d) {
      shown["caption"] = d.windowTitle();
      shown["GB"] = d.findChild<QGroupBox*>("GB")->title();
      shown["hmsg"] = d.findChild<QPlainTextEdit*>("hmsg")->toPlainText();
      for (const char* l : {"mina", "t6lkija", "download", "Label3"}) shown[l] = d.findChild<QLabel*>(l)->text();
      shown["okei"] = d.findChild<QPushButton*>("okei")->text();
      QTest::mouseClick(d.findChild<QPushButton*>("okei"), Qt::LeftButton);
    }));
    return shown;
  }
  QString popupText() {
    QWidget* popup = form->help().popup();
    auto* text = popup ? popup->findChild<QTextBrowser*>("helpPopupText") : nullptr;
    return text && popup->isVisible() ? text->toPlainText() : QString();
  }

  const fs::path cwd = fs::current_path();
  TempDir dir;
  FakeClipboard clipboard;
  std::unique_ptr<TForm1> form;
};

TEST_F(HelpTest, BuiltInHelpWithTheDefaultTexts) {
  start();
  auto* info = form->findChild<Tinfo*>("info");
  ASSERT_NE(info, nullptr);
  EXPECT_EQ(info->size(), QSize(345, 169));
  EXPECT_FALSE(info->windowFlags() & (Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint | Qt::WindowMinMaxButtonsHint));
  struct Control { const char* name; QRect geometry; };
  for (const Control& c : {Control{"GB", {0, 0, 345, 137}}, Control{"hmsg", {8, 16, 329, 57}},
                           Control{"download", {8, 112, 329, 22}}, Control{"Label3", {0, 152, 151, 13}},
                           Control{"okei", {240, 144, 105, 25}}})
    EXPECT_EQ(info->findChild<QWidget*>(c.name)->geometry(), c.geometry) << c.name;

  const auto shown = builtInHelp([this] { form->Label3Click(); });
  EXPECT_EQ(shown.at("caption"), "Info");
  EXPECT_EQ(shown.at("GB"), "Help");
  EXPECT_EQ(shown.at("okei"), "OK");
  EXPECT_EQ(shown.at("hmsg"), QString::fromStdString(Texts()[Text::HelpMessage] + "\n\n" + Texts()[Text::InfoText]));
  EXPECT_TRUE(shown.at("hmsg").contains("GNU General Public License")) << "the licence";
  EXPECT_TRUE(shown.at("hmsg").contains("version 3 of the License, or (at your option) any later version"));
  EXPECT_EQ(shown.at("mina"), "Programmed by Pixkeep team");
  EXPECT_EQ(shown.at("t6lkija"), "English texts by the Pixkeep developers");
  EXPECT_EQ(shown.at("download"), "Other languages: File > Choose language loads a language file.");
  EXPECT_EQ(shown.at("Label3"), "Free software: GPL-3.0-or-later");
  // The project has neither a web site nor a mail address: nothing names one.
  for (const auto& [control, text] : shown) {
    EXPECT_FALSE(text.contains('@')) << control;
    EXPECT_FALSE(text.contains("://")) << control;
    EXPECT_FALSE(text.contains("www.")) << control;
  }
  // The fixed texts fit their controls in the window's font.
  for (const char* name : {"Label3", "download"}) {
    auto* l = info->findChild<QLabel*>(name);
    const QRect needed = l->fontMetrics().boundingRect(QRect(0, 0, l->width(), 1000),
                                                       l->wordWrap() ? int(Qt::TextWordWrap) : 0, shown.at(name));
    EXPECT_LE(needed.width(), l->width()) << name;
    EXPECT_LE(needed.height(), l->height()) << name;
  }
}

TEST_F(HelpTest, BuiltInHelpTakesTheLanguageInForceAtEachShowing) {
  writeFile(dir / "one.ini",
            "[Win]\nHelp=Hilfe\n[Dialog]\nOK=Gut\n[Help]\nHelpMsg=Erste\nInfoText=Lizenz: GPL\n"
            "ProgrammedBy=Programmiert von\nTranslatedBy=\xC3\x9C" "bersetzt von Anna\nDownload=Mehr: Datei > Sprache\n");
  writeFile(dir / "two.ini", "[Win]\nHelp=Apua & ohje\n[Help]\nHelpMsg=Toinen\n");
  start(dir / "one.ini");
  // Every entry shows the same window with the texts of the language file.
  for (const std::function<void()>& open : {std::function<void()>([this] { form->Label3Click(); }),
                                            std::function<void()>([this] { form->findChild<QAction*>("Quickhelp1")->trigger(); }),
                                            std::function<void()>([this] { form->findChild<QAction*>("Help1")->trigger(); })}) {
    const auto shown = builtInHelp(open);
    EXPECT_EQ(shown.at("GB"), "Hilfe");
    EXPECT_EQ(shown.at("okei"), "Gut");
    EXPECT_EQ(shown.at("hmsg"), "Erste\n\nLizenz: GPL") << "three lines, not added to the last showing's";
    EXPECT_EQ(shown.at("mina"), "Programmiert von Pixkeep team");
    EXPECT_EQ(shown.at("t6lkija"), "\u00dcbersetzt von Anna");
    EXPECT_EQ(shown.at("download"), "Mehr: Datei > Sprache");
  }
  // Another language: the next showing has its texts, the rest English again.
  ASSERT_TRUE(form->languageChosen(dir / "two.ini"));
  const auto shown = builtInHelp([this] { form->Label3Click(); });
  EXPECT_EQ(shown.at("GB"), "Apua && ohje") << "shown as it is written, not as a shortcut mark";
  EXPECT_EQ(shown.at("okei"), "OK");
  EXPECT_EQ(shown.at("hmsg"), QString::fromStdString("Toinen\n\n" + Texts()[Text::InfoText]));
}

TEST_F(HelpTest, WithoutAHelpFileHelpRequestsDoNothing) {
  start();
  EXPECT_EQ(form->helpFile(), "");
  EXPECT_FALSE(form->findChild<QAction*>("Helpfile1")->isVisible());
  EXPECT_FALSE(form->findChild<QToolButton*>("helpButton")->isVisible());
  EXPECT_FALSE(form->windowFlags().testFlag(Qt::WindowContextHelpButtonHint));
  form->show();
  form->Helpfile1Click();
  EXPECT_EQ(form->help().viewer(), nullptr);
  QTest::keyClick(form->findChild<QWidget*>("Edit1"), Qt::Key_F1);
  EXPECT_EQ(form->help().popup(), nullptr);
}

TEST_F(HelpTest, AHelpFileGivesContentsAndContextHelp) {
  // A relative name, from the current directory at the language load.
  writeFile(dir / "test.hlp", TopicsHtml);
  writeFile(dir / "lang.ini", "[Help]\nHelpFile=test.hlp\n");
  start(dir / "lang.ini");
  EXPECT_EQ(form->helpFile().toStdString(), dir / "test.hlp");
  EXPECT_TRUE(form->findChild<QAction*>("Helpfile1")->isVisible());
  EXPECT_TRUE(form->windowFlags().testFlag(Qt::WindowContextHelpButtonHint));
  form->show();
  EXPECT_TRUE(form->findChild<QToolButton*>("helpButton")->isVisible());
  fs::current_path("/");  // later changes of the current directory do not lose it

  form->findChild<QAction*>("Helpfile1")->trigger();
  QWidget* viewer = form->help().viewer();
  ASSERT_NE(viewer, nullptr);
  EXPECT_TRUE(viewer->isVisible());
  EXPECT_EQ(viewer->windowTitle(), "Test help");
  EXPECT_TRUE(viewer->findChild<QTextBrowser*>("helpText")->toPlainText().contains("Start here."));

  form->advClick();
  // F1 on a control: its number, else its parents' outward; the pop-up at
  // the top-left corner of the one that has the number.
  struct Request { const char* control; const char* numbered; const char* topic; };
  const Request requests[] = {
      {"Edit1", "Edit1", "Topic twelve\nTwelve text.\nTwelve detail\nStill twelve."},
      {"default", "default", "Topic twelve"},
      {"Label2", "Label2", "Topic fourteen\nFourteen text."},
      {"tyyp", "tyyp", "Topic fifteen in a paragraph.\nFifteen more."},
      {"SBText", "SB", "Topic seventeen\nSeventeen text."},
      {"Spin", "Spin", "Topic twenty\nTwenty text."},
  };
  for (const Request& r : requests) {
    SCOPED_TRACE(r.control);
    QWidget* control = form->findChild<QWidget*>(r.control);
    QTest::keyClick(control, Qt::Key_F1);
    EXPECT_TRUE(popupText().startsWith(r.topic)) << popupText().toStdString();
    EXPECT_FALSE(popupText().contains("Unnumbered"));
    ASSERT_NE(form->help().popup(), nullptr);
    EXPECT_EQ(form->help().popup()->pos(), form->findChild<QWidget*>(r.numbered)->mapToGlobal(QPoint(0, 0)));
    form->help().popup()->close();
  }
  // The same through the "?" button's click on a control.
  QHelpEvent whatsThis(QEvent::WhatsThis, QPoint(1, 1), form->findChild<QWidget*>("user")->mapToGlobal(QPoint(1, 1)));
  QApplication::sendEvent(form->findChild<QWidget*>("user"), &whatsThis);
  EXPECT_TRUE(popupText().startsWith("Topic twelve"));
  form->help().popup()->close();
  // Nothing on the way out has a number: nothing happens.
  QTest::keyClick(form->findChild<QWidget*>("Label1"), Qt::Key_F1);
  EXPECT_EQ(popupText(), "");
  // A highlighted menu item: its own number, at the window's corner.
  auto* menu = form->findChild<QMenu*>("Help2");
  menu->popup(form->mapToGlobal(QPoint(0, 0)));
  menu->setActiveAction(form->findChild<QAction*>("Helpfile1"));
  QTest::keyClick(menu, Qt::Key_F1);
  EXPECT_TRUE(popupText().startsWith("Topic ten"));
  EXPECT_EQ(form->help().popup()->pos(), form->mapToGlobal(QPoint(0, 0)));
  menu->hide();

  // The file removed after the language load: still asked for, and the failure is reported.
  fs::remove(dir / "test.hlp");
  form->Helpfile1Click();
  auto boxes = form->findChildren<QMessageBox*>("errorBox");
  ASSERT_EQ(boxes.size(), 1);
  EXPECT_EQ(boxes[0]->text().toStdString(), "Cannot open the help file " + dir / "test.hlp" + ".");
  boxes[0]->accept();
}

TEST(HelpDocument, TopicsByNumberInEachKindOfDocument) {
  TempDir dir;
  struct Case { const char* name; std::string content; int context; const char* topic; };
  const Case cases[] = {
      {"html name", TopicsHtml, 20, "Topic twenty\nTwenty text."},
      {"html id", TopicsHtml, 14, "Topic fourteen\nFourteen text."},
      {"html missing", TopicsHtml, 99, ""},
      {"html sub-headings stay", TopicsHtml, 12, "Topic twelve\nTwelve text.\nTwelve detail\nStill twelve."},
      {"markdown has no topics", "# Help\n\n<a name=\"12\"></a>Twelve in markdown\n", 12, ""},
      {"plain text has no topics", "Just text, 12 of it.\n", 12, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    writeFile(dir / "help", c.content);
    QTextDocument document;
    readHelpDocument(QString::fromStdString(dir / "help"), document);
    QTextDocument topic;
    topic.setHtml(helpTopic(document, c.context));
    EXPECT_EQ(topic.toPlainText().trimmed(), c.topic);
  }
  // Told apart by content: a Markdown heading is a heading, "#" in plain text is not.
  struct Kind { const char* content; int headingLevel; };
  for (const Kind& k : {Kind{"## Image type\n\nJPEG or PNG.\n", 2}, Kind{"#define is not a heading\n", 0},
                        Kind{"<h3>Image type</h3>", 3}}) {
    writeFile(dir / "help", k.content);
    QTextDocument document;
    readHelpDocument(QString::fromStdString(dir / "help"), document);
    EXPECT_EQ(document.begin().blockFormat().headingLevel(), k.headingLevel) << k.content;
  }
  QTextDocument document;
  EXPECT_THROW(readHelpDocument(QString::fromStdString(dir / "none"), document), EHelpFileError);
}

TEST(HelpDocument, EveryHelpContextOfTheMainWindowHasATopic) {
  TempDir dir;
  FakeClipboard clipboard;
  TForm1 form(clipboard, imageTypes(), ProgramPlaces{dir / "pixkeep.ini", dir / "english.ini", dir.path()});
  QTextDocument document;
  readHelpDocument(DOCS_DIR "/pixkeep.hlp", document);
  std::set<int> numbers;
  for (QObject* o : form.findChildren<QObject*>())
    if (o->property("helpContext").isValid()) numbers.insert(o->property("helpContext").toInt());
  EXPECT_EQ(numbers, (std::set<int>{10, 12, 14, 15, 17, 20}));
  for (int n : numbers) {
    QTextDocument topic;
    topic.setHtml(helpTopic(document, n));
    EXPECT_GT(topic.toPlainText().trimmed().size(), 40) << n;
  }
}

}  // namespace
}  // namespace pixkeep
