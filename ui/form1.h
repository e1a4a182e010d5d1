// The main window: every option of the capture as a control and the status
// bar with the picture count. The capture itself runs in the controller.
#pragma once

#include <QMainWindow>
#include <functional>

#include "capture/capturecycle.h"
#include "config/settings.h"
#include "config/texts.h"

QT_BEGIN_NAMESPACE
class QAction;
class QCheckBox;
class QColorDialog;
class QComboBox;
class QFileDialog;
class QGroupBox;
class QLabel;
class QLineEdit;
class QMenu;
class QMenuBar;
class QRadioButton;
class QScrollBar;
class QStatusBar;
class QTimer;
class QToolButton;
QT_END_NAMESPACE

namespace pixkeep {

class CaptureController;
class ElidedLabel;
class LinkLabel;
class SpinEdit;
class TTrayIcon;
class Tdirform;
class THelp;
class Tinfo;

// The outer height of the window, collapsed and with the advanced options
// open. The outer size counts the title bar and borders of the window's
// design (65 pixels of height, 8 of width, with the menu and status bars);
// the window manager draws its own frame around the client area.
inline constexpr int CollapsedHeight = 145;
inline constexpr int ExpandedHeight = 412;

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
  // The status as it stands, and as the bar shows it (shortened with "…"
  // when it is longer than the bar).
  QString statusText() const;
  QString statusShown() const;
  QString trayTip() const { return trayTip_; }
  // Reads the capture options from the controls, as a tick does.
  CaptureOptions readOptions() const;
  // The help file named by the language file when it existed at the
  // language load, as an absolute name; else empty.
  QString helpFile() const { return helpFile_; }
  // Its contents and context help.
  THelp& help() const { return *help_; }

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
  // The start at log-in ticked or unticked: the autostart entry written or
  // removed. The tick follows the file: it stays as it was when that fails
  // (shown in the error report, and false).
  bool startAtLoginChosen(bool on);
  // Ends the program at once without the close handler: nothing is stored.
  void endProgram();
  // Another start of the program asked for this one: the window on the
  // screen and in front, also during the hidden start's second.
  void bringToFront();

  // The outer height: CollapsedHeight, or ExpandedHeight with the advanced options open.
  int outerHeight() const;
  // The tray icon's menu: "Show window", "Pause capturing", "Open picture folder", "Exit".
  QMenu* trayMenu() const { return mnu; }
  // The icon that stands for the window while it is hidden.
  TTrayIcon& tray() { return *tray_; }

  // Handlers, by their component and event names.
  void TimerTimer();
  void tyypChange();
  void SpinChange();
  void advClick();
  void defaultClick();
  void userClick();
  void changeClick();
  void pickcolorClick();
  void keel1Click();
  // Whether the language file dialog follows changes of its folder.
  void watchLanguageFolder(bool watch);
  // The hide action: the tray icon added, then the window hidden. Where the
  // desktop has no tray the window is minimised instead, so that it can be
  // found on the task bar. The application's minimise event comes here too.
  void Peidaaken1Click();
  void Label2Click() { Peidaaken1Click(); }
  // The show action (also a double click on the tray icon): the window back
  // on the screen, then the tray icon removed.
  void Avapixkeep1Click();
  // Pause capturing ticked or unticked, in the File or the tray menu.
  void Pause1Click(bool paused);
  // The output folder in the desktop's file manager.
  void Opendir1Click();
  // The end of the hidden start: the caption back to "Pixkeep", then hide.
  void PeidaTaimerTimer();
  // The built-in help (the "Help" link, "Built-in help" and File > "Help").
  void Label3Click();
  void Help1Click() { Label3Click(); }
  // The help file's contents; nothing without a help file.
  void Helpfile1Click();
  // Exit from the tray menu and from the File menu: ends the program without
  // the close handler, once the pictures taken are written (or the user
  // gave them up).
  void Vlju1Click();
  void Vlju2Click();
  // Closing the window: the stamp settings are written; `CanClose` becomes
  // false when a write fails or the user keeps the program running for
  // pictures not written yet.
  void FormCloseQuery(bool& CanClose);

 protected:
  void closeEvent(QCloseEvent* event) override;
  void changeEvent(QEvent* event) override;

 private:
  void FormCreate();
  void createMenus();
  void createUpperPart(QWidget* client);
  void createOutputGroup(QWidget* client);
  void createOtherGroup(QWidget* client);
  void createStatusBar();
  void createDialogs();
  void showStatus(const QString& status, const QString& trayTip);
  // The icon for the tray: greyed while capturing is paused.
  QIcon trayIcon() const;
  void applyHelpFile();
  void applyWidth(int width);
  void setSwatchColor(uint32_t color);
  void setStampText(const QString& stampText);
  void endHiddenStart();
  // The type stored on closing, by its name, and its slider position.
  void restoreImageType(const std::string& name, int slider);
  // The controls' values that closing the window stores (the OnClose rows).
  StoredSettings closingSettings() const;
  bool store(const std::function<void(SettingsFile&)>& write);
  QString text(Text id) const { return QString::fromStdString(texts_[id]); }

  Texts texts_;
  std::vector<ImageType> types_;
  ProgramPlaces places_;
  CaptureController* controller_ = nullptr;
  TTrayIcon* tray_ = nullptr;
  QString trayTip_;
  QString helpFile_;

  // Menus and their items, by their component names (also their object names).
  QMenuBar* MainMenu1 = nullptr;
  QMenu* Fail1 = nullptr;  // File
  QAction* keel1 = nullptr;       // Choose language
  QAction* Peidaaken1 = nullptr;  // Hide window
  QAction* Autostart1 = nullptr;  // Start hidden when I log in: ticked while the autostart entry exists
  QAction* N5 = nullptr;
  QAction* Pause1 = nullptr;    // Pause capturing; the same item in the tray menu
  QAction* Opendir1 = nullptr;  // Open picture folder; the same item in the tray menu
  QAction* N4 = nullptr;
  QAction* Help1 = nullptr;
  QAction* N2 = nullptr;
  QAction* Vlju2 = nullptr;  // Exit
  QMenu* Help2 = nullptr;    // Help
  QAction* Quickhelp1 = nullptr;
  QAction* Helpfile1 = nullptr;
  QMenu* mnu = nullptr;  // the tray icon's menu
  QAction* Avapixkeep1 = nullptr;  // Show window
  QAction* N1 = nullptr;
  QAction* N3 = nullptr;
  QAction* Vlju1 = nullptr;  // Exit

  // Non-visual components.
  QTimer* PeidaTaimer = nullptr;  // the hidden start's one second
  QFileDialog* keel = nullptr;    // the language file dialog
  QColorDialog* Colordialog = nullptr;
  QToolButton* helpButton = nullptr;  // "?": context help by a click, with a help file

  // The other windows, created after this one.
  Tdirform* dirform = nullptr;  // the directory chooser
  Tinfo* info = nullptr;        // the built-in help
  THelp* help_ = nullptr;       // the help file

  QWidget* client_ = nullptr;

  // Controls, by their component names (also their object names).
  QLabel* Image = nullptr;  // the never-visible holder of the captured picture
  QLabel* Label1 = nullptr;
  QScrollBar* Spin = nullptr;
  LinkLabel* Label2 = nullptr;  // Hide window
  LinkLabel* Label3 = nullptr;  // Help
  QLabel* tyyptekst = nullptr;
  QComboBox* tyyp = nullptr;    // image type
  LinkLabel* adv = nullptr;     // Advanced options
  QStatusBar* SB = nullptr;
  ElidedLabel* SBText = nullptr;
  QGroupBox* output = nullptr;
  QRadioButton* default_ = nullptr;  // "default" is a keyword
  QRadioButton* user = nullptr;
  LinkLabel* change = nullptr;
  QLabel* curdir = nullptr;
  QLineEdit* Edit1 = nullptr;
  QGroupBox* other = nullptr;
  QCheckBox* addtext = nullptr;
  QLineEdit* Edit2 = nullptr;
  QRadioButton* upright = nullptr;
  QRadioButton* upleft = nullptr;
  QRadioButton* yleskeskel = nullptr;  // up centre
  QLabel* V2rv = nullptr;              // colour swatch
  LinkLabel* pickcolor = nullptr;
  QCheckBox* background = nullptr;
  QLabel* Label6 = nullptr;
  QLabel* Label4 = nullptr;
  SpinEdit* X = nullptr;
  QLabel* Label5 = nullptr;
  SpinEdit* Y = nullptr;
};

}  // namespace pixkeep
