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
#include <fstream>

#include "codecs/imagetypes.h"
#include "platform/fakeclipboard.h"
#include "platform/fsutil.h"
#include "ui/capturecontroller.h"
#include "ui/form1.h"

namespace pixkeep {
namespace {

namespace fs = std::filesystem;

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
    // The same picture copied again by a person comes seconds later, not as
    // quickly as a clipboard manager puts its copy back.
    cycle().clock = [t = CaptureCycle::Clock::time_point()]() mutable { return t += CaptureCycle::RestoreInterval * 2; };
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
  EXPECT_TRUE(clipboard.offered.empty()) << "the clipboard is emptied at start";
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
  for (const char* name : {"Label1", "Label2", "Label3", "tyyptekst", "adv", "change", "curdir", "pickcolor",
                           "Label4", "Label5"})
    EXPECT_NE(form->findChild<QLabel*>(name), nullptr) << name;
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
  struct Step { int index; int min, max, pos; bool enabled; const char* label; };
  EXPECT_EQ(child<QComboBox>("tyyp")->currentIndex(), 0) << "JPEG at start";
  EXPECT_TRUE(child<QScrollBar>("Spin")->isEnabled());
  const Step steps[] = {
      {0, 1, 100, 90, true, "Quality 90 (recommended 90)"},
      {1, 0, 9, 9, true, "Compression level: 9"},
      {2, 0, 9, 9, false, "Compression level: 9"},
      {0, 1, 100, 90, true, "Quality 90 (recommended 90)"},
      {3, 1, 100, 90, false, "Quality 90 (recommended 90)"},
  };
  for (const Step& s : steps) {
    SCOPED_TRACE(s.index);
    child<QComboBox>("tyyp")->setCurrentIndex(s.index);
    EXPECT_EQ(child<QScrollBar>("Spin")->minimum(), s.min);
    EXPECT_EQ(child<QScrollBar>("Spin")->maximum(), s.max);
    EXPECT_EQ(child<QScrollBar>("Spin")->value(), s.pos);
    EXPECT_EQ(child<QScrollBar>("Spin")->isEnabled(), s.enabled);
    EXPECT_EQ(child<QLabel>("Label1")->text(), s.label);
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
  EXPECT_TRUE(clipboard.offered.empty()) << "taken at once";
  settle();
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
  cycle().pictureCounter = 99998;
  clipboard.putBitmap(redBitmap());
  form->TimerTimer();
  settle();
  EXPECT_EQ(form->statusText(), "99999/99999 pictures");
  EXPECT_FALSE(form->controller().timerEnabled());
  clipboard.changedByOwner();
  EXPECT_FALSE(timer()->isActive());
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
    EXPECT_TRUE(clipboard.offered.empty()) << "the picture is held, so the clipboard is emptied";
    settle();
  }
  auto boxes = form->findChildren<QMessageBox*>("errorBox");
  ASSERT_EQ(boxes.size(), 1);
  EXPECT_EQ(boxes[0]->text().toStdString(), "Cannot create file " + dir + "gone/pxk1.bmp.");
  EXPECT_EQ(boxes[0]->informativeText().toStdString(), "pxk1.bmp: No such file or directory");
  EXPECT_EQ(boxes[0]->windowTitle(), "Pixkeep");
  EXPECT_EQ(boxes[0]->icon(), QMessageBox::Critical);
  EXPECT_EQ(form->statusText(), "3 pictures waiting: pxk1.bmp: No such file or directory");
  EXPECT_EQ(form->trayTip(), "Pixkeep - 3 pictures waiting: pxk1.bmp: No such file or directory");
  EXPECT_EQ(cycle().pictureCounter, 0);
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

  // A type that cannot be written leaves the picture on the clipboard, with one box.
  child<QComboBox>("tyyp")->setCurrentIndex(2);
  clipboard.putBitmap(redBitmap());
  form->TimerTimer();
  form->TimerTimer();
  EXPECT_FALSE(clipboard.offered.empty());
  boxes = form->findChildren<QMessageBox*>("errorBox");
  ASSERT_EQ(boxes.size(), 1);
  EXPECT_EQ(boxes[0]->text().toStdString(), "This image type is not available.");
  EXPECT_FALSE(timer()->isActive()) << "not tried on every tick";
  // Choosing a type that can be written takes it.
  boxes[0]->accept();
  child<QComboBox>("tyyp")->setCurrentIndex(3);
  EXPECT_TRUE(timer()->isActive());
  form->TimerTimer();
  settle();
  EXPECT_EQ(form->statusText(), "4/99999 pictures");
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
