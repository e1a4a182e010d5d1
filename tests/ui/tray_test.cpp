// The tray icon's tip, the hidden start's argument and the hide and show
// actions, on Qt's offscreen platform (whose answer to "is there a tray?"
// the tests give themselves).
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QSystemTrayIcon>
#include <QTimer>
#include <filesystem>
#include <fstream>

#include "codecs/imagetypes.h"
#include "platform/fakeclipboard.h"
#include "tests/ui/personclock.h"
#include "ui/capturecontroller.h"
#include "ui/form1.h"
#include "ui/icon.h"
#include "ui/tray.h"

namespace pixkeep {
namespace {

namespace fs = std::filesystem;

TEST(TrayTip, FitsSixtyThreeBytesWithoutCuttingACharacter) {
  struct Case { QString tip; QString shown; };
  const Case cases[] = {
      {"Pixkeep - 17/99999 pictures", "Pixkeep - 17/99999 pictures"},
      {QString(63, 'x'), QString(63, 'x')},
      {QString(64, 'x'), QString(60, 'x') + "..."},
      {QString(200, 'x'), QString(60, 'x') + "..."},
      // 62 bytes + a 2-byte "ä" is 64: the "ä" makes room for the dots.
      {QString(62, 'x') + QString::fromUtf8("ä"), QString(60, 'x') + "..."},
      // 31 × "ä" = 62 bytes fits; 32 do not, and 30 of them fill the 60 bytes.
      {QString::fromUtf8("ä").repeated(31), QString::fromUtf8("ä").repeated(31)},
      {QString::fromUtf8("ä").repeated(32), QString::fromUtf8("ä").repeated(30) + "..."},
      // A "€" (3 bytes) that would end at byte 61 stays out.
      {QString(58, 'x') + QString::fromUtf8("€€"), QString(58, 'x') + "..."},
      // A character beyond the basic plane (4 bytes, a surrogate pair) is kept whole or left out whole.
      {QString(56, 'x') + QString::fromUtf8("😀😀"), QString(56, 'x') + QString::fromUtf8("😀") + "..."},
      {QString(57, 'x') + QString::fromUtf8("😀😀"), QString(57, 'x') + "..."},
      {"", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.tip.toStdString());
    const QString shown = fitTrayTip(c.tip);
    EXPECT_EQ(shown, c.shown);
    EXPECT_LE(shown.toUtf8().size(), TrayTipLimit);
    EXPECT_EQ(QString::fromUtf8(shown.toUtf8()), shown) << "whole characters only";
  }
}

TEST(HiddenStart, OnlyTheFirstArgumentExactly) {
  struct Case { QStringList arguments; bool hidden; };
  const Case cases[] = {
      {{"pixkeep", "-hide"}, true},
      {{"pixkeep", "/hide"}, true},
      {{"pixkeep", "-hide", "more"}, true},
      {{"pixkeep", "/HIDE"}, false},
      {{"pixkeep", "-Hide"}, false},
      {{"pixkeep", "hide"}, false},
      {{"pixkeep", "-hidden"}, false},
      {{"pixkeep", " -hide"}, false},
      {{"pixkeep", ""}, false},
      {{"pixkeep", "x", "-hide"}, false},
      {{"pixkeep"}, false},
      {{}, false},
  };
  for (const Case& c : cases) EXPECT_EQ(hiddenStartRequested(c.arguments), c.hidden) << c.arguments.join(' ').toStdString();
}

TEST(ApplicationIcon, DrawnAtEverySizeAndOpaqueInTheMiddle) {
  for (int size : IconSizes) {
    SCOPED_TRACE(size);
    const QImage icon = drawApplicationIcon(size);
    EXPECT_EQ(icon.size(), QSize(size, size));
    EXPECT_TRUE(icon.hasAlphaChannel());
    EXPECT_EQ(qAlpha(icon.pixel(0, size - 1)), 0) << "the corners are see-through";
    EXPECT_EQ(qAlpha(icon.pixel(size / 2, size / 2)), 255);
  }
  const QIcon icon = applicationIcon();
  EXPECT_EQ(icon.availableSizes().size(), qsizetype(std::size(IconSizes)));
}

class TrayForm : public testing::Test {
 protected:
  void SetUp() override {
    char templ[] = "/tmp/pixkeep-tray-XXXXXX";
    dir = std::string(mkdtemp(templ)) + "/";
    form = std::make_unique<TForm1>(clipboard, imageTypes(), ProgramPlaces{dir + "pixkeep.ini", dir + "english.ini", dir});
    form->controller().cycle().outputDirectory = dir;
    copiesComeFromAPerson(form->controller().cycle());
    form->controller().setOutputDirectory(dir);
    form->tray().setAvailability([this] { return trayThere; });
    form->show();
  }
  void TearDown() override {
    form.reset();
    fs::remove_all(dir);
  }
  void capture() {
    PlatformBitmap b;
    b.width = b.height = 1;
    b.bits = {0, 0, 255, 0};
    clipboard.putBitmap(b);
    form->TimerTimer();
    form->controller().queue().flush(std::chrono::seconds(10));
    QCoreApplication::processEvents();
  }
  QAction* action(const char* name) { return form->findChild<QAction*>(name); }
  QSystemTrayIcon* icon() { return form->tray().icon(); }

  bool trayThere = true;
  std::string dir;
  FakeClipboard clipboard;
  std::unique_ptr<TForm1> form;
};

TEST_F(TrayForm, HideAndShowMoveBetweenWindowAndIcon) {
  EXPECT_FALSE(form->tray().shown()) << "no icon while the window is shown";
  EXPECT_EQ(form->tray().tip(), "Pixkeep - 0/99999 pictures");
  EXPECT_FALSE(icon()->icon().isNull()) << "the application's icon";
  EXPECT_FALSE(form->windowIcon().isNull());

  // Every way of hiding, each followed by a way of showing.
  const std::function<void()> hides[] = {[&] { action("Peidaaken1")->trigger(); },
                                         [&] { form->Label2Click(); },
                                         [&] {
                                           form->showMinimized();
                                           QCoreApplication::processEvents();
                                         }};
  const std::function<void()> shows[] = {[&] { action("Avapixkeep1")->trigger(); },
                                         [&] { emit icon()->activated(QSystemTrayIcon::DoubleClick); },
                                         [&] { action("Avapixkeep1")->trigger(); }};
  for (size_t i = 0; i < std::size(hides); ++i) {
    SCOPED_TRACE(i);
    hides[i]();
    EXPECT_FALSE(form->isVisible());
    EXPECT_TRUE(form->tray().shown());
    // A capture while hidden: the tip follows at once.
    capture();
    EXPECT_EQ(form->tray().tip(), QString("Pixkeep - %1/99999 pictures").arg(i + 1));
    // Single clicks and the middle button leave everything as it is.
    for (auto reason : {QSystemTrayIcon::Trigger, QSystemTrayIcon::MiddleClick, QSystemTrayIcon::Unknown})
      emit icon()->activated(reason);
    EXPECT_FALSE(form->isVisible());
    EXPECT_FALSE(form->trayMenu()->isVisible());
    shows[i]();
    EXPECT_TRUE(form->isVisible());
    EXPECT_FALSE(form->isMinimized());
    EXPECT_FALSE(form->tray().shown());
  }
  // A capture while shown updates the tip too, for the next hide.
  capture();
  EXPECT_EQ(form->tray().tip(), "Pixkeep - 4/99999 pictures");
}

TEST_F(TrayForm, RightButtonPopsUpTheMenuAtThePointer) {
  action("Peidaaken1")->trigger();
  QCursor::setPos(300, 200);
  emit icon()->activated(QSystemTrayIcon::Context);
  ASSERT_TRUE(form->trayMenu()->isVisible());
  EXPECT_EQ(form->trayMenu()->pos(), QCursor::pos());
  form->trayMenu()->hide();
}

TEST_F(TrayForm, WithoutATrayHidingMinimises) {
  trayThere = false;
  for (const char* hide : {"Peidaaken1", "Peidaaken1"}) {
    action(hide)->trigger();
    EXPECT_TRUE(form->isMinimized());
    EXPECT_TRUE(form->isVisible()) << "on the task bar, not gone";
    EXPECT_FALSE(form->tray().shown());
    capture();
    action("Avapixkeep1")->trigger();
    EXPECT_FALSE(form->isMinimized());
  }
  EXPECT_EQ(form->statusText(), "2/99999 pictures") << "capturing goes on while minimised";
}

TEST_F(TrayForm, LanguageLoadRefillsTheTipShortened) {
  const std::string lang = dir + "long.ini";
  std::ofstream(lang) << "[Status]\nPictures=%p pictures saved in this session into the folder you chose\n";
  form->LoadLanguage(lang);
  const QString full = "Pixkeep - 0/99999 pictures saved in this session into the folder you chose";
  EXPECT_EQ(form->trayTip(), full);
  EXPECT_EQ(form->tray().tip(), full.left(60) + "...");
  action("Peidaaken1")->trigger();
  capture();
  EXPECT_EQ(form->tray().tip(), QString("Pixkeep - 1/99999 pictures saved in this session into the folder you chose").left(60) + "...");
  EXPECT_FALSE(icon()->icon().isNull());
}

TEST_F(TrayForm, ExitRemovesTheIcon) {
  action("Peidaaken1")->trigger();
  ASSERT_TRUE(form->tray().shown());
  // Exit ends the event loop that runs next; the icon is gone before.
  QTimer::singleShot(0, [&] { action("Vlju1")->trigger(); });
  EXPECT_EQ(QCoreApplication::exec(), 0);
  EXPECT_FALSE(form->tray().shown());
  EXPECT_FALSE(fs::exists(dir + "pixkeep.ini")) << "nothing stored";
}

}  // namespace
}  // namespace pixkeep
