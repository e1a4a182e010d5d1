// The main window: every option of the capture as a control, the status bar
// with the picture count, and the capture timer.
#pragma once

#include <QMainWindow>
#include <memory>

#include "capture/capturecycle.h"
#include "capture/picture.h"

QT_BEGIN_NAMESPACE
class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QRadioButton;
class QScrollBar;
class QSpinBox;
class QStatusBar;
class QTimer;
QT_END_NAMESPACE

namespace pixkeep {

class QtClipboard;

// The application's error report appends a full stop when the message ends
// in a character above "." (letters, digits, "/", ":", "?"), but not after a
// blank, ")" or "!".
QString withFullStop(QString message);

class TForm1 : public QMainWindow {
  Q_OBJECT
 public:
  // `clipboard` is the platform clipboard; `changeSource` (may be null) tells
  // when it changes, which starts the capture timer.
  TForm1(Clipboard& clipboard, QtClipboard* changeSource, QWidget* parent = nullptr);
  ~TForm1() override;

  CaptureCycle& cycle() { return cycle_; }
  QString statusText() const;
  QString trayTip() const { return trayTip_; }
  bool captureTimerEnabled() const { return timerEnabled_; }
  // Reads the capture options from the controls, as a tick does.
  CaptureOptions readOptions() const;

 public slots:
  void TimerTimer();
  void tyypChange();
  void SpinChange();
  // The clipboard changed: let the capture timer tick until it has taken the bitmap.
  void clipboardChanged();

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  void FormCreate();
  void createUpperPart(QWidget* client);
  void createOutputGroup(QWidget* client);
  void createOtherGroup(QWidget* client);
  void showError(const QString& message);

  ClipboardAccess access_;
  TPicture picture_;
  CaptureCycle cycle_;
  bool timerEnabled_ = true;
  bool errorShown_ = false;
  QString trayTip_;
  QString qualityTemplate_ = "Quality %q (recommended %r)";
  QString compressionTemplate_ = "Compression level: %q";

 public:
  // Controls, by their component names.
  QTimer* Timer = nullptr;
  QLabel* Image = nullptr;  // the never-visible holder of the captured picture
  QLabel* Label1 = nullptr;
  QScrollBar* Spin = nullptr;
  QLabel* Label2 = nullptr;
  QLabel* Label3 = nullptr;
  QLabel* tyyptekst = nullptr;
  QComboBox* tyyp = nullptr;
  QLabel* adv = nullptr;
  QStatusBar* SB = nullptr;
  QLabel* SBText = nullptr;
  QGroupBox* output = nullptr;
  QRadioButton* default_ = nullptr;  // "default" is a keyword
  QRadioButton* user = nullptr;
  QLabel* change = nullptr;
  QLabel* curdir = nullptr;
  QLineEdit* Edit1 = nullptr;
  QGroupBox* other = nullptr;
  QCheckBox* addtext = nullptr;
  QLineEdit* Edit2 = nullptr;
  QRadioButton* upright = nullptr;
  QRadioButton* upleft = nullptr;
  QRadioButton* yleskeskel = nullptr;  // up centre
  QLabel* V2rv = nullptr;              // colour swatch
  QLabel* pickcolor = nullptr;
  QCheckBox* background = nullptr;
  QLabel* Label6 = nullptr;
  QLabel* Label4 = nullptr;
  QSpinBox* X = nullptr;
  QLabel* Label5 = nullptr;
  QSpinBox* Y = nullptr;
};

}  // namespace pixkeep
