// The main window: every option of the capture as a control and the status
// bar with the picture count. The capture itself runs in the controller.
#pragma once

#include <QMainWindow>

#include "capture/capturecycle.h"
#include "config/texts.h"

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
QT_END_NAMESPACE

namespace pixkeep {

class CaptureController;

class TForm1 : public QMainWindow {
  Q_OBJECT
 public:
  // `types` are the rows of the image-type list, in its order.
  TForm1(Clipboard& clipboard, const std::vector<ImageType>& types, QWidget* parent = nullptr);
  ~TForm1() override;

  CaptureController& controller() { return *controller_; }
  const Texts& texts() const { return texts_; }
  QString statusText() const;
  QString trayTip() const { return trayTip_; }
  // Reads the capture options from the controls, as a tick does.
  CaptureOptions readOptions() const;

  // Handlers, by their component and event names.
  void TimerTimer();
  void tyypChange();
  void SpinChange();

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  void FormCreate();
  void createUpperPart(QWidget* client);
  void createOutputGroup(QWidget* client);
  void createOtherGroup(QWidget* client);
  void showStatus(const QString& status, const QString& trayTip);
  QString text(Text id) const { return QString::fromStdString(texts_[id]); }

  Texts texts_;
  std::vector<ImageType> types_;
  CaptureController* controller_ = nullptr;
  QString trayTip_;

  // Controls, by their component names (also their object names).
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
