#include "ui/form1.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QColorDialog>
#include <QComboBox>
#include <QDesktopServices>
#include <QFileInfo>
#include <QFileDialog>
#include <QFileSystemModel>
#include <QGroupBox>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QRadioButton>
#include <QScrollBar>
#include <QStatusBar>
#include <QTimer>
#include <QToolButton>
#include <QUrl>
#include <QWhatsThis>
#include <algorithm>

#include "config/autostart.h"
#include "config/errors.h"
#include "config/language.h"
#include "platform/fsutil.h"
#include "ui/about.h"
#include "ui/capturecontroller.h"
#include "ui/tray.h"
#include "ui/kataloog.h"
#include "ui/widgets.h"

namespace pixkeep {

namespace {

constexpr int ClientWidth = 225;
constexpr int FrameWidth = 233 - ClientWidth;  // the outer width less the client width
constexpr int CollapsedClientHeight = 80;      // the upper part: slider, links, image type
constexpr int FrameHeight = CollapsedHeight - CollapsedClientHeight;  // title, menu and status bars, borders
constexpr int StatusHeight = 19;
constexpr int StampTextLimit = 40;    // Edit2: what the user may type
// A white swatch caption up to this colour value (0x00BBGGRR read as one integer), black above.
constexpr int32_t WhiteCaptionLimit = 12000000;

// The controls sit at the pixel positions of the window's design, made for
// an 11-pixel font of narrow letters. Liberation Sans (metric-compatible with
// Arial) at 10 pixels fits every default caption into its control, also in
// the narrowest places (a radio button 89 pixels wide, the swatch 64).
QFont windowFont() {
  QFont font;
  font.setFamilies({"Liberation Sans", "Arimo", "Arial"});
  font.setStyleHint(QFont::SansSerif);
  font.setPixelSize(10);
  return font;
}

QLabel* label(const QString& text, QWidget* parent) {
  auto* l = new QLabel(text, parent);
  l->setTextFormat(Qt::PlainText);  // language texts are never markup
  return l;
}

// Check boxes, radio buttons and group boxes would take "&" as a shortcut
// mark and hide it; language texts are shown as they are written.
QString literal(const QString& text) {
  QString s = text;
  return s.replace('&', "&&");
}

template <typename W>
W* place(W* w, const char* name, int left, int top, int width = -1, int height = -1) {
  w->setObjectName(name);
  if (width < 0) {
    w->adjustSize();
    w->move(left, top);
  } else {
    w->setGeometry(left, top, width, height);
  }
  return w;
}

// The number of a control's topic in the help file, for context help.
template <typename W>
W* helpContext(W* w, int context) {
  w->setProperty("helpContext", context);
  return w;
}

// A read-only or stamp text field in the button-face colour.
void buttonFace(QLineEdit* edit) {
  QPalette p = edit->palette();
  for (QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled})
    p.setColor(group, QPalette::Base, p.color(group, QPalette::Button));
  edit->setPalette(p);
}

QAction* menuItem(QMenu* menu, const char* name) {
  QAction* a = menu->addAction(QString());
  a->setObjectName(name);
  return a;
}

QAction* separator(QMenu* menu, const char* name) {
  QAction* a = menu->addSeparator();
  a->setObjectName(name);
  return a;
}

// A colour value 0x00BBGGRR as a QColor and back.
QColor toQColor(uint32_t c) { return QColor(int(c & 0xFF), int((c >> 8) & 0xFF), int((c >> 16) & 0xFF)); }
uint32_t fromQColor(const QColor& c) { return uint32_t(c.red()) | (uint32_t(c.green()) << 8) | (uint32_t(c.blue()) << 16); }

}  // namespace

TForm1::TForm1(Clipboard& clipboard, const std::vector<ImageType>& types, ProgramPlaces places, QWidget* parent)
    : QMainWindow(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                              Qt::WindowCloseButtonHint),
      types_(types),
      places_(std::move(places)) {
  setObjectName("Form1");
  setWindowTitle("Pixkeep");
  setWindowIcon(applicationIcon());
  setFont(windowFont());
  move(240, 147);

  controller_ = new CaptureController(clipboard, types_, [this] { return readOptions(); }, texts_, this);

  createMenus();
  tray_ = new TTrayIcon(mnu, this);
  auto* client = client_ = new QWidget(this);
  client->setObjectName("client");
  client->setFixedSize(ClientWidth, CollapsedClientHeight);
  setCentralWidget(client);
  createUpperPart(client);
  createOutputGroup(client);
  createOtherGroup(client);
  createStatusBar();
  createDialogs();
  Image = place(label(QString(), client), "Image", 0, 456, 105, 105);
  Image->setVisible(false);

  connect(controller_, &CaptureController::statusChanged, this, &TForm1::showStatus);
  connect(tyyp, &QComboBox::currentIndexChanged, this, &TForm1::tyypChange);
  // A picture left on the clipboard because its type could not be written is tried again.
  connect(tyyp, &QComboBox::currentIndexChanged, controller_, &CaptureController::optionsChanged);
  connect(Spin, &QScrollBar::valueChanged, this, &TForm1::SpinChange);
  connect(Label2, &LinkLabel::clicked, this, &TForm1::Label2Click);
  connect(Label3, &LinkLabel::clicked, this, &TForm1::Label3Click);
  connect(adv, &LinkLabel::clicked, this, &TForm1::advClick);
  // A radio button's click is its becoming selected (by mouse or arrow keys).
  connect(default_, &QRadioButton::toggled, this, [this](bool on) { if (on) defaultClick(); });
  connect(user, &QRadioButton::toggled, this, [this](bool on) { if (on) userClick(); });
  connect(change, &LinkLabel::clicked, this, &TForm1::changeClick);
  connect(pickcolor, &LinkLabel::clicked, this, &TForm1::pickcolorClick);
  connect(keel1, &QAction::triggered, this, &TForm1::keel1Click);
  connect(Peidaaken1, &QAction::triggered, this, &TForm1::Peidaaken1Click);
  connect(Autostart1, &QAction::triggered, this, &TForm1::startAtLoginChosen);
  connect(Help1, &QAction::triggered, this, &TForm1::Help1Click);
  connect(Vlju2, &QAction::triggered, this, &TForm1::Vlju2Click);
  connect(Quickhelp1, &QAction::triggered, this, &TForm1::Label3Click);
  connect(Helpfile1, &QAction::triggered, this, &TForm1::Helpfile1Click);
  connect(Avapixkeep1, &QAction::triggered, this, &TForm1::Avapixkeep1Click);
  connect(Vlju1, &QAction::triggered, this, &TForm1::Vlju1Click);
  connect(Pause1, &QAction::toggled, this, &TForm1::Pause1Click);
  connect(Opendir1, &QAction::triggered, this, &TForm1::Opendir1Click);
  connect(PeidaTaimer, &QTimer::timeout, this, &TForm1::PeidaTaimerTimer);
  connect(tray_, &TTrayIcon::showRequested, this, &TForm1::Avapixkeep1Click);
  FormCreate();
  layout()->setSizeConstraint(QLayout::SetFixedSize);

  dirform = new Tdirform(*this);
  info = new Tinfo(this);
  help_ = new THelp(*this, [this] { return helpFile_; });
  help_->onError = [this](const Exception& e) {
    controller_->showError(QString::fromUtf8(e.what()), QString::fromStdString(e.detail()));
  };
  help_->watch(this);
}

TForm1::~TForm1() = default;

void TForm1::createMenus() {
  MainMenu1 = menuBar();
  MainMenu1->setObjectName("MainMenu1");
  Fail1 = MainMenu1->addMenu(QString());
  Fail1->setObjectName("Fail1");
  keel1 = menuItem(Fail1, "keel1");
  Peidaaken1 = menuItem(Fail1, "Peidaaken1");
  Autostart1 = menuItem(Fail1, "Autostart1");
  Autostart1->setCheckable(true);
  Autostart1->setVisible(!places_.autostartFile.empty());
  Autostart1->setChecked(startsAtLogin(places_.autostartFile));
  N5 = separator(Fail1, "N5");
  // One item each for both menus: the tick shows in both.
  Pause1 = menuItem(Fail1, "Pause1");
  Pause1->setCheckable(true);
  Opendir1 = menuItem(Fail1, "Opendir1");
  // The entry may have been removed or made elsewhere since: the tick shows what is there now.
  connect(Fail1, &QMenu::aboutToShow, this,
          [this] { Autostart1->setChecked(startsAtLogin(places_.autostartFile)); });
  N4 = separator(Fail1, "N4");
  Help1 = menuItem(Fail1, "Help1");
  N2 = separator(Fail1, "N2");
  Vlju2 = menuItem(Fail1, "Vlju2");
  Help2 = MainMenu1->addMenu(QString());
  Help2->setObjectName("Help2");
  Quickhelp1 = menuItem(Help2, "Quickhelp1");
  Helpfile1 = helpContext(menuItem(Help2, "Helpfile1"), 10);
  Helpfile1->setVisible(false);

  // Window managers seldom draw a title-bar help button: the menu bar has one.
  helpButton = new QToolButton(MainMenu1);
  helpButton->setObjectName("helpButton");
  helpButton->setText("?");
  helpButton->setAutoRaise(true);
  helpButton->setVisible(false);
  MainMenu1->setCornerWidget(helpButton);
  connect(helpButton, &QToolButton::clicked, this, [] { QWhatsThis::enterWhatsThisMode(); });

  // Popped up by the tray icon only.
  mnu = new QMenu(this);
  mnu->setObjectName("mnu");
  Avapixkeep1 = menuItem(mnu, "Avapixkeep1");
  mnu->setDefaultAction(Avapixkeep1);  // drawn bold
  N1 = separator(mnu, "N1");
  mnu->addAction(Pause1);
  mnu->addAction(Opendir1);
  N3 = separator(mnu, "N3");
  Vlju1 = menuItem(mnu, "Vlju1");
}

void TForm1::createUpperPart(QWidget* client) {
  Label1 = place(label(QString(), client), "Label1", 0, 0);
  Spin = helpContext(place(new QScrollBar(Qt::Horizontal, client), "Spin", 1, 16, 153, 16), 20);
  Spin->setSingleStep(1);
  Spin->setFocusPolicy(Qt::NoFocus);
  Label2 = helpContext(place(new LinkLabel(text(Text::HideWindow), client), "Label2", 160, 0), 14);
  Label3 = place(new LinkLabel(text(Text::Help), client), "Label3", 160, 16);
  tyyptekst = place(label(text(Text::ImageType) + ":", client), "tyyptekst", 0, 40);
  tyyp = helpContext(place(new QComboBox(client), "tyyp", 64, 40, 145, 21), 15);
  for (const ImageType& t : types_) tyyp->addItem(QString::fromStdString(t.name));
  tyyp->setFocusPolicy(Qt::NoFocus);
  adv = place(new LinkLabel(text(Text::AdvancedOptions), client), "adv", 0, 64);
  tyypChange();  // the first type's slider and label
}

void TForm1::createOutputGroup(QWidget* client) {
  output = place(new GroupBox(literal(text(Text::OutputDirectory)), client), "output", 0, 80, 217, 89);
  output->setEnabled(false);
  default_ = helpContext(place(new QRadioButton(literal(text(Text::DefaultDirectory)), output), "default", 8, 16, 89, 17), 12);
  default_->setChecked(true);
  user = helpContext(place(new QRadioButton(literal(text(Text::UserDirectory)), output), "user", 8, 40, 89, 17), 12);
  change = place(new LinkLabel(text(Text::ChangeDirectory), output), "change", 100, 40);
  change->setEnabled(false);
  curdir = place(label(text(Text::CurrentDirectory) + ":", output), "curdir", 8, 64);
  Edit1 = helpContext(place(new QLineEdit(output), "Edit1", 96, 56, 113, 21), 12);
  Edit1->setReadOnly(true);
  buttonFace(Edit1);
}

void TForm1::createOtherGroup(QWidget* client) {
  other = place(new GroupBox(literal(text(Text::Other)), client), "other", 0, 176, 217, 169);
  other->setEnabled(false);
  addtext = place(new QCheckBox(literal(text(Text::AddText)), other), "addtext", 8, 16, 110, 17);
  Edit2 = place(new QLineEdit(other), "Edit2", 120, 8, 89, 21);
  Edit2->setMaxLength(StampTextLimit);
  buttonFace(Edit2);
  // A longer stored text is shown whole. Typing never makes the text longer
  // than the limit or than it already is: the limit follows it down to 40.
  connect(Edit2, &QLineEdit::textChanged, this, [this](const QString& t) {
    if (Edit2->maxLength() > StampTextLimit) Edit2->setMaxLength(int(std::max<qsizetype>(t.size(), StampTextLimit)));
  });
  upright = place(new QRadioButton(literal(text(Text::UpRight)), other), "upright", 24, 32, 110, 17);
  upright->setChecked(true);
  upleft = place(new QRadioButton(literal(text(Text::UpLeft)), other), "upleft", 24, 50, 110, 17);
  yleskeskel = place(new QRadioButton(literal(text(Text::UpCenter)), other), "yleskeskel", 24, 68, 110, 17);
  V2rv = place(label(text(Text::CurrentColor), other), "V2rv", 136, 32, 64, 17);
  V2rv->setFrameStyle(QFrame::Panel | QFrame::Sunken);
  V2rv->setAutoFillBackground(true);
  QPalette p = V2rv->palette();
  p.setColor(QPalette::Window, toQColor(uint32_t(settingDefaults(places_).textColor)));
  p.setColor(QPalette::WindowText, p.color(QPalette::Base));
  V2rv->setPalette(p);
  pickcolor = place(new LinkLabel(text(Text::ChooseColor), other), "pickcolor", 136, 50);
  background = place(new QCheckBox(literal(text(Text::TextBackground)), other), "background", 40, 88, 161, 17);
  Label6 = place(label(text(Text::TextSpace), other), "Label6", 8, 106, 201, 26);
  Label6->setWordWrap(true);
  Label4 = place(label("X:", other), "Label4", 24, 144);
  X = place(new SpinEdit(other), "X", 40, 136, 41, 22);
  X->setValue(7);
  Label5 = place(label("Y:", other), "Label5", 136, 144);
  Y = place(new SpinEdit(other), "Y", 152, 136, 41, 22);
  Y->setValue(4);
}

void TForm1::createStatusBar() {
  // One simple text over the whole bar, and no size grip on a fixed window.
  SB = helpContext(new QStatusBar(this), 17);
  SB->setObjectName("SB");
  SB->setSizeGripEnabled(false);
  SB->setFixedHeight(StatusHeight);
  // The width comes from the language file alone: a long status is shortened.
  SBText = new ElidedLabel(SB, SB);
  SBText->setObjectName("SBText");
  SB->addWidget(SBText, 1);
  setStatusBar(SB);
}

void TForm1::createDialogs() {
  PeidaTaimer = new QTimer(this);
  PeidaTaimer->setObjectName("PeidaTaimer");
  PeidaTaimer->setInterval(1000);

  keel = new QFileDialog(this);
  keel->setObjectName("keel");
  keel->setNameFilter("INI (*.ini)");
  keel->setFileMode(QFileDialog::ExistingFile);
  keel->setAcceptMode(QFileDialog::AcceptOpen);
  keel->setOption(QFileDialog::ReadOnly);
  // Hidden, the dialog does not follow its folder: that is the program's
  // own folder, where the pictures go by default, and every new file there
  // would be read into the dialog's list (and the whole folder looked at
  // again), growing the program with every picture.
  watchLanguageFolder(false);
  // Where the language files shipped with the program are.
  keel->setDirectory(QFileInfo(QString::fromStdString(places_.defaultLanguageFile)).absolutePath());

  Colordialog = new QColorDialog(this);
  Colordialog->setObjectName("Colordialog");
  Colordialog->setCurrentColor(toQColor(uint32_t(settingDefaults(places_).textColor)));
}

void TForm1::FormCreate() {
  CaptureCycle& cycle = controller_->cycle();
  const StoredSettings stored = SettingsFile(places_).read();
  // The language first: the settings below are shown under its captions.
  LoadLanguage(stored.languageFile);

  cycle.outputDirectory = stored.outputDir;
  setSwatchColor(static_cast<uint32_t>(stored.textColor));
  Colordialog->setCurrentColor(toQColor(static_cast<uint32_t>(stored.textColor)));
  switch (stored.textPos) {
    case StampCorner::UpRight: upright->setChecked(true); break;
    case StampCorner::UpLeft: upleft->setChecked(true); break;
    case StampCorner::UpCenter: yleskeskel->setChecked(true); break;
  }
  if (stored.addText) addtext->setChecked(true);
  if (stored.textBG) background->setChecked(true);
  setStampText(QString::fromStdString(stored.lastText));
  restoreImageType(stored.imageType, stored.slider);

  // Used for this run only; the stored value is left as it is.
  controller_->setOutputDirectory(normaliseOutputDirectory(cycle.outputDirectory, places_.defaultOutputDirectory));
  Edit1->setText(QString::fromStdString(cycle.outputDirectory));
  controller_->setPicturesTemplate(texts_[Text::Pictures]);
  // A picture already on the clipboard is never saved.
  controller_->discardClipboard();

  // The hidden start: one second under the hiding caption, then to the tray.
  if (hiddenStartRequested(QCoreApplication::arguments())) {
    PeidaTaimer->start();
    QApplication::setApplicationDisplayName(text(Text::HidingText));
    setWindowTitle(text(Text::HidingText));
  }
}

void TForm1::LoadLanguage(const std::string& path) {
  texts_ = readLanguageFile(path);

  // [Menu]: menu captions keep "&" as the mark of their access key.
  Fail1->setTitle(text(Text::MenuFile));
  Peidaaken1->setText(text(Text::MenuHideWindow));
  Autostart1->setText(text(Text::MenuStartAtLogin));
  Pause1->setText(text(Text::MenuPause));
  Opendir1->setText(text(Text::MenuOpenFolder));
  Help1->setText(text(Text::MenuHelp));
  Help2->setTitle(text(Text::MenuHelp));
  Vlju1->setText(text(Text::MenuExit));
  Vlju2->setText(Vlju1->text());
  keel1->setText(text(Text::MenuLanguage));
  Avapixkeep1->setText(text(Text::MenuShowWindow));
  Quickhelp1->setText(text(Text::MenuBuiltInHelp));
  Helpfile1->setText(text(Text::MenuHelpFile));

  // [Win]
  const auto caption = [](QLabel* l, const QString& t) {
    l->setText(t);
    l->adjustSize();
  };
  caption(Label2, text(Text::HideWindow));
  caption(Label3, text(Text::Help));
  keel->setWindowTitle(text(Text::LanguageDialog));
  caption(tyyptekst, text(Text::ImageType) + ":");
  caption(adv, text(Text::AdvancedOptions));
  output->setTitle(literal(text(Text::OutputDirectory)));
  default_->setText(literal(text(Text::DefaultDirectory)));
  user->setText(literal(text(Text::UserDirectory)));
  caption(change, text(Text::ChangeDirectory));
  caption(curdir, text(Text::CurrentDirectory) + ":");
  other->setTitle(literal(text(Text::Other)));
  addtext->setText(literal(text(Text::AddText)));
  upright->setText(literal(text(Text::UpRight)));
  upleft->setText(literal(text(Text::UpLeft)));
  yleskeskel->setText(literal(text(Text::UpCenter)));
  V2rv->setText(text(Text::CurrentColor));
  caption(pickcolor, text(Text::ChooseColor));
  Label6->setText(text(Text::TextSpace));
  background->setText(literal(text(Text::TextBackground)));
  tyyp->move(std::clamp(textInteger(texts_, Text::TypeLeft), -QWIDGETSIZE_MAX, QWIDGETSIZE_MAX), tyyp->y());

  SpinChange();
  // The status bar and the tray tip, with the count reached so far.
  controller_->setPicturesTemplate(texts_[Text::Pictures]);
  tray_->fill(trayIcon(), trayTip_);
  applyHelpFile();
  applyWidth(textInteger(texts_, Text::Width));
}

void TForm1::applyHelpFile() {
  // A relative name is taken from the current directory now; opening other
  // directories in the chooser later does not lose the file.
  const auto usable = [](const std::string& name) { return !name.empty() && fileExists(name) && !isDirectory(name); };
  std::string name = texts_[Text::HelpFile];
  // An installed program's own help document lies in its data directory.
  if (!usable(name) && !name.empty() && name.front() != '/' && !places_.dataDirectory.empty())
    name = places_.dataDirectory + name;
  const bool present = usable(name);
  helpFile_ = present ? QFileInfo(QString::fromStdString(name)).absoluteFilePath() : QString();
  Helpfile1->setVisible(present);
  helpButton->setVisible(present);
  if (windowFlags().testFlag(Qt::WindowContextHelpButtonHint) != present) {
    const bool shown = isVisible();
    setWindowFlag(Qt::WindowContextHelpButtonHint, present);
    if (shown) show();  // new window flags hide a window
  }
}

void TForm1::applyWidth(int width) {
  const WidthLayout l = layoutForWidth(width);
  // Qt's sizes end at QWIDGETSIZE_MAX; beyond it they would overflow.
  client_->setFixedWidth(int(std::clamp<int64_t>(int64_t(l.window) - FrameWidth, 0, QWIDGETSIZE_MAX)));
  output->resize(std::min(l.groupBox, QWIDGETSIZE_MAX), output->height());
  other->resize(std::min(l.groupBox, QWIDGETSIZE_MAX), other->height());
  Edit1->resize(std::min(l.outputField, QWIDGETSIZE_MAX), Edit1->height());
  Edit2->resize(std::min(l.textField, QWIDGETSIZE_MAX), Edit2->height());
}

void TForm1::setSwatchColor(uint32_t color) {
  QPalette p = V2rv->palette();
  p.setColor(QPalette::Window, toQColor(color));
  p.setColor(QPalette::WindowText, static_cast<int32_t>(color) <= WhiteCaptionLimit ? Qt::white : Qt::black);
  V2rv->setPalette(p);
}

void TForm1::setStampText(const QString& stampText) {
  Edit2->setMaxLength(int(std::clamp<qsizetype>(stampText.size(), StampTextLimit, 32767)));
  Edit2->setText(stampText);
}

StoredSettings TForm1::closingSettings() const {
  StoredSettings s;
  s.lastText = Edit2->text().toStdString();
  s.textPos = upright->isChecked() ? StampCorner::UpRight : upleft->isChecked() ? StampCorner::UpLeft : StampCorner::UpCenter;
  s.addText = addtext->isChecked();
  s.textBG = background->isChecked();
  const int index = tyyp->currentIndex();
  if (index >= 0 && size_t(index) < types_.size()) s.imageType = types_[size_t(index)].name;
  s.slider = Spin->value();
  return s;
}

bool TForm1::store(const std::function<void(SettingsFile&)>& write) {
  try {
    SettingsFile settings(places_);
    write(settings);
    return true;
  } catch (const Exception& e) {
    controller_->showError(QString::fromUtf8(e.what()));
    return false;
  }
}

bool TForm1::languageChosen(const std::string& path) {
  LoadLanguage(path);
  return store([&](SettingsFile& s) { s.write(&StoredSettings::languageFile, path); });
}

bool TForm1::textColorChosen(uint32_t color) {
  setSwatchColor(color);
  return store([&](SettingsFile& s) { s.write(&StoredSettings::textColor, static_cast<int32_t>(color)); });
}

bool TForm1::outputDirectoryChosen(const std::string& directory) {
  // Pictures still waiting to be written go there too.
  const std::string chosen = directory + "/";
  controller_->setOutputDirectory(chosen);
  Edit1->setText(QString::fromStdString(chosen));
  return store([&](SettingsFile& s) { s.write(&StoredSettings::outputDir, chosen); });
}

bool TForm1::startAtLoginChosen(bool on) {
  bool done = true;
  try {
    const std::string program = QCoreApplication::applicationFilePath().toStdString();
    setStartAtLogin(places_.autostartFile, on, programCommand(program, qEnvironmentVariable("PATH").toStdString()));
  } catch (const Exception& e) {
    controller_->showError(QString::fromUtf8(e.what()));
    done = false;
  }
  Autostart1->setChecked(startsAtLogin(places_.autostartFile));
  return done;
}

void TForm1::endProgram() {
  // exit(), not quit(): quit() would close the windows and so store the settings.
  QCoreApplication::exit(0);
}

void TForm1::showStatus(const QString& status, const QString& trayTip) {
  SBText->setFullText(status);
  trayTip_ = trayTip;
  tray_->modify(trayTip);
}

QString TForm1::statusText() const { return SBText->fullText(); }

QString TForm1::statusShown() const { return SBText->text(); }

QIcon TForm1::trayIcon() const { return controller_->paused() ? pausedIcon() : windowIcon(); }

void TForm1::Pause1Click(bool paused) {
  // Not stored: a pause forgotten at the end of a day does not lose the next day's pictures.
  controller_->setPaused(paused);
  tray_->fill(trayIcon(), trayTip_);
}

void TForm1::Opendir1Click() {
  const QString folder = QString::fromStdString(controller_->cycle().outputDirectory);
  if (!QDesktopServices::openUrl(QUrl::fromLocalFile(folder)))
    controller_->showError(QString::fromStdString(substitute(texts_[Text::OpenFolderFailed], "%s", folder.toStdString())));
}

CaptureOptions TForm1::readOptions() const {
  CaptureOptions o;
  o.typeIndex = tyyp->currentIndex();
  o.spinPosition = Spin->value();
  o.addText = addtext->isChecked();
  o.background = background->isChecked();
  o.upLeft = upleft->isChecked();
  o.upRight = upright->isChecked();
  o.x = X->Value();
  o.y = Y->Value();
  o.text = Edit2->text().toStdString();
  o.color = fromQColor(V2rv->palette().color(QPalette::Window));
  return o;
}

void TForm1::TimerTimer() { controller_->tick(); }

void TForm1::tyypChange() {
  const int index = tyyp->currentIndex();
  const ImageType* type = index >= 0 && size_t(index) < types_.size() ? &types_[size_t(index)] : nullptr;
  if (type && type->slider) {
    const SliderSetting& s = *type->slider;
    QSignalBlocker block(Spin);
    // Maximum, minimum, position, in that order; Qt pulls the position into the range.
    Spin->setMaximum(s.maximum);
    Spin->setMinimum(s.minimum);
    Spin->setValue(s.position);
    Spin->setPageStep(s.largeChange);
    Spin->setEnabled(true);
    Label1->setEnabled(true);
    SpinChange();
  } else {
    Spin->setEnabled(false);
    Label1->setEnabled(false);
  }
}

void TForm1::SpinChange() {
  const int index = tyyp->currentIndex();
  if (index < 0 || size_t(index) >= types_.size() || !types_[size_t(index)].slider) return;
  const std::string position = std::to_string(Spin->value());
  std::string caption;
  switch (types_[size_t(index)].slider->label) {
    case SliderSetting::Label::Quality:
      caption = substitute(substitute(texts_[Text::Quality], "%q", position), "%r", "90");
      break;
    case SliderSetting::Label::Compression: caption = substitute(texts_[Text::Compression], "%q", position); break;
    case SliderSetting::Label::Effort: caption = substitute(texts_[Text::Effort], "%q", position); break;
  }
  Label1->setText(QString::fromStdString(caption));
  Label1->adjustSize();
}

int TForm1::outerHeight() const { return client_->minimumHeight() + FrameHeight; }

void TForm1::advClick() {
  // The groups are disabled while out of sight, so they cannot take the focus.
  const bool open = outerHeight() > 410;
  output->setEnabled(!open);
  other->setEnabled(!open);
  client_->setFixedHeight((open ? CollapsedHeight : ExpandedHeight) - FrameHeight);
}

void TForm1::defaultClick() {
  // For this run only: the stored OutputDir is used again at the next start.
  controller_->setOutputDirectory(places_.defaultOutputDirectory);
  Edit1->setText(QString::fromStdString(places_.defaultOutputDirectory));
  change->setEnabled(false);
}

void TForm1::userClick() {
  dirform->exec();
  change->setEnabled(true);  // confirmed or not
}

void TForm1::changeClick() { dirform->exec(); }

void TForm1::Label3Click() {
  info->FormShow(texts_, Label3->text());
  info->exec();
}

void TForm1::Helpfile1Click() {
  if (helpFile_.isEmpty()) return;
  try {
    help_->contents(helpFile_);
  } catch (const Exception& e) {
    help_->onError(e);
  }
}

void TForm1::pickcolorClick() {
  // The dialog starts at the colour last confirmed in it, which is the swatch's.
  Colordialog->setCurrentColor(V2rv->palette().color(QPalette::Window));
  if (Colordialog->exec() != QDialog::Accepted) return;
  textColorChosen(fromQColor(Colordialog->selectedColor()));
}

void TForm1::watchLanguageFolder(bool watch) {
  if (auto* model = keel->findChild<QFileSystemModel*>()) model->setOption(QFileSystemModel::DontWatchForChanges, !watch);
}

void TForm1::keel1Click() {
  // Shown, it follows its folder, read afresh.
  watchLanguageFolder(true);
  keel->setDirectory(keel->directory());
  const bool chosen = keel->exec() == QDialog::Accepted && !keel->selectedFiles().isEmpty();
  watchLanguageFolder(false);
  if (!chosen) return;
  languageChosen(keel->selectedFiles().first().toStdString());
}

void TForm1::Peidaaken1Click() {
  if (tray_->available()) {
    tray_->add();
    hide();
  } else if (!isMinimized()) {
    showMinimized();
  }
}

void TForm1::Avapixkeep1Click() {
  showNormal();
  raise();
  activateWindow();
  tray_->remove();
}

void TForm1::PeidaTaimerTimer() {
  endHiddenStart();
  Peidaaken1Click();
}

void TForm1::endHiddenStart() {
  // Before the tray icon is made: its window takes its title from the
  // application's name when it is made.
  QApplication::setApplicationDisplayName("Pixkeep");
  setWindowTitle("Pixkeep");
  PeidaTaimer->stop();
}

void TForm1::restoreImageType(const std::string& name, int slider) {
  // An unknown name (or none: an older file) leaves the first type at its own position.
  const auto row = std::find_if(types_.begin(), types_.end(),
                                [&](const ImageType& t) { return equalProfileNames(t.name, name); });
  if (row == types_.end()) return;
  tyyp->setCurrentIndex(int(row - types_.begin()));
  // A position the type's slider does not have keeps the type's own.
  if (row->slider && slider >= row->slider->minimum && slider <= row->slider->maximum) Spin->setValue(slider);
}

void TForm1::bringToFront() {
  if (PeidaTaimer->isActive()) endHiddenStart();
  Avapixkeep1Click();
}

void TForm1::Vlju1Click() { Vlju2Click(); }

void TForm1::Vlju2Click() {
  // Nothing is stored, but the pictures already taken are not dropped
  // unasked. The tray icon stays while the user keeps the program running:
  // a hidden program without it could not be reached.
  if (!controller_->confirmQuit()) return;
  tray_->remove();
  endProgram();
}

void TForm1::FormCloseQuery(bool& CanClose) {
  // A failed write keeps the window open; the keys written before it stay
  // written. Pictures not written yet are saved elsewhere or discarded only
  // when the user says so. The tray icon goes once the close goes ahead.
  CanClose = store([this](SettingsFile& st) { st.writeOnClose(closingSettings()); }) && controller_->confirmQuit();
}

void TForm1::closeEvent(QCloseEvent* event) {
  bool canClose = true;
  FormCloseQuery(canClose);
  if (!canClose) {
    event->ignore();
    return;
  }
  tray_->remove();
  event->accept();
  QApplication::quit();
}

void TForm1::changeEvent(QEvent* event) {
  QMainWindow::changeEvent(event);
  // Minimising the program (its task-bar button) is the hide action. It runs
  // once the minimising is done: showMinimized() shows the window after
  // changing its state, which would undo a hide made here.
  if (event->type() == QEvent::WindowStateChange && isMinimized())
    QTimer::singleShot(0, this, [this] { if (isMinimized()) Peidaaken1Click(); });
}

}  // namespace pixkeep
