// The main window: every option of the capture as a control and the status
// bar with the picture count. The capture itself runs in the controller.
#pragma once

#include <QMainWindow>
#include <functional>

#include "capture/capturecycle.h"
#include "config/settings.h"
#include "config/texts.h"

QT_BEGIN_NAMESPACE
class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QMenu;
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
  // `types` are the rows of the image-type list, in its order; `places` say
  // where the settings and language files are.
  TForm1(Clipboard& clipboard, const std::vector<ImageType>& types, ProgramPlaces places,
         QWidget* parent = nullptr);
  ~TForm1() override;

  CaptureController& controller() { return *controller_; }
  const Texts& texts() const { return texts_; }
  QString statusText() const;
  QString trayTip() const { return trayTip_; }
  // Reads the capture options from the controls, as a tick does.
  CaptureOptions readOptions() const;
  // The help file named by the language file when it exists, else empty.
  QString helpFile() const { return helpFile_; }

  // Reads the language file at `path` (missing file, sections and keys give
  // the built-in texts), puts every caption in place, and applies what
  // depends on the texts: slider label, status and tray tip, help file, widths.
  void LoadLanguage(const std::string& path);

  // The settings side of the user's choices. Each makes the visible change,
  // then stores it; a failed write is shown in the error report and gives false.
  // A language file chosen in the language dialog: loaded, then stored as LangFile.
  bool languageChosen(const std::string& path);
  // A colour confirmed in the colour dialog: the swatch, then TextColor.
  bool textColorChosen(uint32_t color);
  // A directory confirmed in the directory chooser: OutputDirectory and
  // Edit1 become it with a '/' appended, then OutputDir.
  bool outputDirectoryChosen(const std::string& directory);
  // Ends the program at once without the close handler: nothing is stored.
  void endProgram();

  // Handlers, by their component and event names.
  void TimerTimer();
  void tyypChange();
  void SpinChange();

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  void FormCreate();
  void createMenus();
  void createUpperPart(QWidget* client);
  void createOutputGroup(QWidget* client);
  void createOtherGroup(QWidget* client);
  void showStatus(const QString& status, const QString& trayTip);
  void applyHelpFile();
  void applyWidth(int width);
  void setSwatchColor(uint32_t color);
  void setStampText(const QString& stampText);
  StampSettings stampSettings() const;
  bool store(const std::function<void(SettingsFile&)>& write);
  QString text(Text id) const { return QString::fromStdString(texts_[id]); }

  Texts texts_;
  std::vector<ImageType> types_;
  ProgramPlaces places_;
  CaptureController* controller_ = nullptr;
  QString trayTip_;
  QString helpFile_;

  QMenu* Fail1 = nullptr;  // File
  QMenu* Help2 = nullptr;  // Help
  QWidget* client_ = nullptr;

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
