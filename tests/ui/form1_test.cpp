// The main window with an in-memory clipboard, on Qt's offscreen platform.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QRadioButton>
#include <QScrollBar>
#include <QSpinBox>
#include <QStatusBar>
#include <QTimer>
#include <filesystem>

#include "platform/fakeclipboard.h"
#include "platform/fsutil.h"
#include "ui/form1.h"

namespace pixkeep {
namespace {

namespace fs = std::filesystem;

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
    form = std::make_unique<TForm1>(clipboard, nullptr);
    form->cycle().outputDirectory = dir;
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

  std::string dir;
  FakeClipboard clipboard;
  std::unique_ptr<TForm1> form;
};

TEST_F(Form1Test, StartUpState) {
  EXPECT_EQ(form->windowTitle(), "Pixkeep");
  EXPECT_TRUE(clipboard.offered.empty()) << "the clipboard is emptied at start";
  EXPECT_EQ(form->statusText(), "0/99999 pictures");
  EXPECT_EQ(form->trayTip(), "Pixkeep - 0/99999 pictures");
  EXPECT_EQ(form->Timer->interval(), 1);

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
  for (const char* name : {"Label1", "Label2", "Label3", "tyyptekst", "adv", "change", "curdir", "pickcolor",
                           "Label4", "Label5"})
    EXPECT_NE(form->findChild<QLabel*>(name), nullptr) << name;
  EXPECT_FALSE(form->Image->isVisible());
  EXPECT_TRUE(form->default_->isChecked());
  EXPECT_TRUE(form->upright->isChecked());
  EXPECT_FALSE(form->addtext->isChecked());
  EXPECT_EQ(form->X->value(), 7);
  EXPECT_EQ(form->Y->value(), 4);
  EXPECT_EQ(form->Edit2->maxLength(), 40);
  EXPECT_EQ(form->Edit1->text().toStdString(), defaultOutputDirectory()) << "Edit1 shows the directory in use";
  EXPECT_EQ(form->V2rv->palette().color(QPalette::Window), QColor(0, 128, 0));
  CaptureOptions o = form->readOptions();
  EXPECT_EQ(o.color, 32768u);
  EXPECT_EQ(o.x, 7);
  EXPECT_EQ(o.y, 4);
  EXPECT_TRUE(o.upRight);
  EXPECT_FALSE(form->SB->isSizeGripEnabled());
}

TEST_F(Form1Test, ImageTypeSetsTheSlider) {
  struct Step { int index; int min, max, pos; bool enabled; const char* label; };
  EXPECT_EQ(form->tyyp->currentIndex(), 0) << "JPEG at start";
  EXPECT_TRUE(form->Spin->isEnabled());
  const Step steps[] = {
      {0, 1, 100, 90, true, "Quality 90 (recommended 90)"},
      {1, 0, 9, 9, true, "Compression level: 9"},
      {2, 0, 9, 9, false, "Compression level: 9"},
      {0, 1, 100, 90, true, "Quality 90 (recommended 90)"},
      {3, 1, 100, 90, false, "Quality 90 (recommended 90)"},
  };
  for (const Step& s : steps) {
    SCOPED_TRACE(s.index);
    form->tyyp->setCurrentIndex(s.index);
    EXPECT_EQ(form->Spin->minimum(), s.min);
    EXPECT_EQ(form->Spin->maximum(), s.max);
    EXPECT_EQ(form->Spin->value(), s.pos);
    EXPECT_EQ(form->Spin->isEnabled(), s.enabled);
    EXPECT_EQ(form->Label1->text(), s.label);
  }
  form->tyyp->setCurrentIndex(0);
  form->Spin->setValue(75);
  EXPECT_EQ(form->Label1->text(), "Quality 75 (recommended 90)");
  form->tyyp->setCurrentIndex(1);
  form->Spin->setValue(3);
  EXPECT_EQ(form->Label1->text(), "Compression level: 3");
  EXPECT_EQ(form->readOptions().spinPosition, 3);
}

TEST_F(Form1Test, TickUpdatesStatusAndTrayTip) {
  form->tyyp->setCurrentIndex(3);
  clipboard.putBitmap(redBitmap());
  form->TimerTimer();
  EXPECT_TRUE(fs::exists(dir + "pxk1.bmp"));
  EXPECT_EQ(form->statusText(), "1/99999 pictures");
  EXPECT_EQ(form->trayTip(), "Pixkeep - 1/99999 pictures");
  // Nothing on the clipboard: the timer stops until the next change.
  form->Timer->start();
  form->TimerTimer();
  EXPECT_FALSE(form->Timer->isActive());
  form->clipboardChanged();
  EXPECT_TRUE(form->Timer->isActive());

  // The last number stops the capture for good.
  form->cycle().pictureCounter = 99998;
  clipboard.putBitmap(redBitmap());
  form->TimerTimer();
  EXPECT_EQ(form->statusText(), "99999/99999 pictures");
  EXPECT_FALSE(form->captureTimerEnabled());
  form->clipboardChanged();
  EXPECT_FALSE(form->Timer->isActive());
}

TEST_F(Form1Test, ErrorsAreReportedOneBoxAtATime) {
  form->tyyp->setCurrentIndex(3);
  form->cycle().outputDirectory = dir + "gone/";
  for (int i = 0; i < 3; ++i) {
    clipboard.putBitmap(redBitmap());
    form->TimerTimer();
    EXPECT_TRUE(clipboard.offered.empty());
  }
  auto boxes = form->findChildren<QMessageBox*>("errorBox");
  ASSERT_EQ(boxes.size(), 1);
  EXPECT_EQ(boxes[0]->text().toStdString(), "Cannot create file " + dir + "gone/pxk1.bmp.");
  EXPECT_EQ(boxes[0]->windowTitle(), "Pixkeep");
  EXPECT_EQ(boxes[0]->icon(), QMessageBox::Critical);
  EXPECT_EQ(form->statusText(), "0/99999 pictures") << "no status update after a failure";
  EXPECT_EQ(form->cycle().pictureCounter, 3);
  boxes[0]->accept();
  QCoreApplication::processEvents();
  clipboard.putBitmap(redBitmap());
  form->TimerTimer();
  EXPECT_EQ(form->findChildren<QMessageBox*>("errorBox").size(), 1) << "a new error, a new box";
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

TEST_F(Form1Test, OptionsAreReadFromTheControls) {
  form->X->setValue(-3);
  EXPECT_EQ(form->readOptions().x, -3);
  form->Y->setValue(1234567);
  EXPECT_EQ(form->readOptions().y, 1234567);
  form->Edit2->setText("stamp text");
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
