#include "ui/form1.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QRadioButton>
#include <QScrollBar>
#include <QSpinBox>
#include <QStatusBar>
#include <QTimer>
#include <algorithm>
#include <climits>

#include "config/errors.h"
#include "config/language.h"
#include "platform/fsutil.h"
#include "ui/capturecontroller.h"

namespace pixkeep {

namespace {

constexpr int ClientWidth = 225;
constexpr int FrameWidth = 233 - ClientWidth;  // the outer width less the client width
constexpr int CollapsedHeight = 80;  // the upper part: slider, links, image type
constexpr int StatusHeight = 19;
constexpr int StampTextLimit = 40;    // Edit2: what the user may type
// A white swatch caption up to this colour value (0x00BBGGRR read as one integer), black above.
constexpr int32_t WhiteCaptionLimit = 12000000;

QLabel* label(const QString& text, QWidget* parent) {
  auto* l = new QLabel(text, parent);
  l->setTextFormat(Qt::PlainText);  // language texts are never markup
  return l;
}

QLabel* linkLabel(const QString& text, QWidget* parent) {
  auto* l = label(text, parent);
  QFont f = l->font();
  f.setUnderline(true);
  l->setFont(f);
  l->setCursor(Qt::PointingHandCursor);
  QPalette p = l->palette();
  p.setColor(QPalette::WindowText, p.color(QPalette::Highlight));
  l->setPalette(p);
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

// A colour value 0x00BBGGRR as a QColor and back.
QColor toQColor(uint32_t c) { return QColor(int(c & 0xFF), int((c >> 8) & 0xFF), int((c >> 16) & 0xFF)); }
uint32_t fromQColor(const QColor& c) { return uint32_t(c.red()) | (uint32_t(c.green()) << 8) | (uint32_t(c.blue()) << 16); }

}  // namespace

TForm1::TForm1(Clipboard& clipboard, const std::vector<ImageType>& types, ProgramPlaces places, QWidget* parent)
    : QMainWindow(parent), types_(types), places_(std::move(places)) {
  setObjectName("Form1");
  setWindowTitle("Pixkeep");
  QFont font("MS Sans Serif");
  font.setPixelSize(11);
  setFont(font);

  controller_ = new CaptureController(clipboard, types_, [this] { return readOptions(); }, texts_, this);
  connect(controller_, &CaptureController::statusChanged, this, &TForm1::showStatus);

  createMenus();
  auto* client = client_ = new QWidget(this);
  client->setObjectName("client");
  client->setFixedSize(ClientWidth, CollapsedHeight);
  setCentralWidget(client);
  createUpperPart(client);
  createOutputGroup(client);
  createOtherGroup(client);

  SB = new QStatusBar(this);
  SB->setObjectName("SB");
  SB->setSizeGripEnabled(false);
  SB->setFixedHeight(StatusHeight);
  SBText = label(QString(), SB);
  SBText->setObjectName("SBText");
  SB->addWidget(SBText, 1);
  setStatusBar(SB);

  Image = place(label(QString(), client), "Image", 0, 456, 105, 105);
  Image->setVisible(false);

  connect(tyyp, &QComboBox::currentIndexChanged, this, &TForm1::tyypChange);
  // A picture left on the clipboard because its type could not be written is tried again.
  connect(tyyp, &QComboBox::currentIndexChanged, controller_, &CaptureController::optionsChanged);
  connect(Spin, &QScrollBar::valueChanged, this, &TForm1::SpinChange);
  FormCreate();
  layout()->setSizeConstraint(QLayout::SetFixedSize);
}

TForm1::~TForm1() = default;

void TForm1::createMenus() {
  Fail1 = menuBar()->addMenu(text(Text::MenuFile));
  Fail1->setObjectName("Fail1");
  Help2 = menuBar()->addMenu(text(Text::MenuHelp));
  Help2->setObjectName("Help2");
}

void TForm1::createUpperPart(QWidget* client) {
  Label1 = place(label(QString(), client), "Label1", 0, 0);
  Spin = place(new QScrollBar(Qt::Horizontal, client), "Spin", 1, 16, 153, 16);
  Spin->setSingleStep(1);
  Spin->setFocusPolicy(Qt::NoFocus);
  Label2 = place(linkLabel(text(Text::HideWindow), client), "Label2", 160, 0);
  Label3 = place(linkLabel(text(Text::Help), client), "Label3", 160, 16);
  tyyptekst = place(label(text(Text::ImageType) + ":", client), "tyyptekst", 0, 40);
  tyyp = place(new QComboBox(client), "tyyp", 64, 40, 145, 21);
  for (const ImageType& t : types_) tyyp->addItem(QString::fromStdString(t.name));
  tyyp->setFocusPolicy(Qt::NoFocus);
  adv = place(linkLabel(text(Text::AdvancedOptions), client), "adv", 0, 64);
  tyypChange();  // the first type's slider and label
}

void TForm1::createOutputGroup(QWidget* client) {
  output = place(new QGroupBox(literal(text(Text::OutputDirectory)), client), "output", 0, 80, 217, 89);
  output->setEnabled(false);
  default_ = place(new QRadioButton(literal(text(Text::DefaultDirectory)), output), "default", 8, 16, 89, 17);
  default_->setChecked(true);
  user = place(new QRadioButton(literal(text(Text::UserDirectory)), output), "user", 8, 40, 89, 17);
  change = place(linkLabel(text(Text::ChangeDirectory), output), "change", 100, 40);
  change->setEnabled(false);
  curdir = place(label(text(Text::CurrentDirectory) + ":", output), "curdir", 8, 64);
  Edit1 = place(new QLineEdit(output), "Edit1", 96, 56, 113, 21);
  Edit1->setReadOnly(true);
  Edit1->setBackgroundRole(QPalette::Button);
}

void TForm1::createOtherGroup(QWidget* client) {
  other = place(new QGroupBox(literal(text(Text::Other)), client), "other", 0, 176, 217, 169);
  other->setEnabled(false);
  addtext = place(new QCheckBox(literal(text(Text::AddText)), other), "addtext", 8, 16, 110, 17);
  Edit2 = place(new QLineEdit(other), "Edit2", 120, 8, 89, 21);
  Edit2->setMaxLength(StampTextLimit);
  Edit2->setBackgroundRole(QPalette::Button);
  // A longer stored text is shown whole; once the user has shortened it to
  // the limit, the limit holds again.
  connect(Edit2, &QLineEdit::textChanged, this, [this](const QString& t) {
    if (Edit2->maxLength() > StampTextLimit && t.size() <= StampTextLimit) Edit2->setMaxLength(StampTextLimit);
  });
  upright = place(new QRadioButton(literal(text(Text::UpRight)), other), "upright", 24, 32, 110, 17);
  upright->setChecked(true);
  upleft = place(new QRadioButton(literal(text(Text::UpLeft)), other), "upleft", 24, 50, 110, 17);
  yleskeskel = place(new QRadioButton(literal(text(Text::UpCenter)), other), "yleskeskel", 24, 68, 110, 17);
  V2rv = place(label(text(Text::CurrentColor), other), "V2rv", 136, 32, 64, 17);
  V2rv->setFrameStyle(QFrame::Panel | QFrame::Sunken);
  V2rv->setAutoFillBackground(true);
  QPalette p = V2rv->palette();
  p.setColor(QPalette::Window, toQColor(32768));
  p.setColor(QPalette::WindowText, p.color(QPalette::Base));
  V2rv->setPalette(p);
  pickcolor = place(linkLabel(text(Text::ChooseColor), other), "pickcolor", 136, 50);
  background = place(new QCheckBox(literal(text(Text::TextBackground)), other), "background", 40, 88, 161, 17);
  Label6 = place(label(text(Text::TextSpace), other), "Label6", 8, 106, 201, 26);
  Label6->setWordWrap(true);
  Label4 = place(label("X:", other), "Label4", 24, 144);
  X = place(new QSpinBox(other), "X", 40, 136, 41, 22);
  X->setRange(INT_MIN, INT_MAX);
  X->setValue(7);
  Label5 = place(label("Y:", other), "Label5", 136, 144);
  Y = place(new QSpinBox(other), "Y", 152, 136, 41, 22);
  Y->setRange(INT_MIN, INT_MAX);
  Y->setValue(4);
}

void TForm1::FormCreate() {
  CaptureCycle& cycle = controller_->cycle();
  const SettingsFile settings(places_);
  // The language first: the settings below are shown under its captions.
  LoadLanguage(settings.languageFile());

  const StoredSettings stored = settings.read();
  cycle.outputDirectory = stored.outputDir;
  setSwatchColor(static_cast<uint32_t>(stored.textColor));
  switch (stored.textPos) {
    case StampCorner::UpRight: upright->setChecked(true); break;
    case StampCorner::UpLeft: upleft->setChecked(true); break;
    case StampCorner::UpCenter: yleskeskel->setChecked(true); break;
  }
  if (stored.addText) addtext->setChecked(true);
  if (stored.textBG) background->setChecked(true);
  setStampText(QString::fromStdString(stored.lastText));

  // Used for this run only; the stored value is left as it is.
  controller_->setOutputDirectory(normaliseOutputDirectory(cycle.outputDirectory, places_.defaultOutputDirectory));
  Edit1->setText(QString::fromStdString(cycle.outputDirectory));
  controller_->setPicturesTemplate(texts_[Text::Pictures]);
  // A picture already on the clipboard is never saved.
  controller_->discardClipboard();
}

void TForm1::LoadLanguage(const std::string& path) {
  texts_ = readLanguageFile(path);

  // [Menu]; the items of the menus take their texts from the table when they are made.
  Fail1->setTitle(text(Text::MenuFile));
  Help2->setTitle(text(Text::MenuHelp));

  // [Win]
  const auto caption = [](QLabel* l, const QString& t) {
    l->setText(t);
    l->adjustSize();
  };
  caption(Label2, text(Text::HideWindow));
  caption(Label3, text(Text::Help));
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
  applyHelpFile();
  applyWidth(textInteger(texts_, Text::Width));
}

void TForm1::applyHelpFile() {
  // A relative name is taken from the current directory, as at any other time.
  const std::string& name = texts_[Text::HelpFile];
  const bool present = !name.empty() && fileExists(name) && !isDirectory(name);
  helpFile_ = present ? QString::fromStdString(name) : QString();
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

StampSettings TForm1::stampSettings() const {
  StampSettings s;
  s.lastText = Edit2->text().toStdString();
  s.textPos = upright->isChecked() ? StampCorner::UpRight : upleft->isChecked() ? StampCorner::UpLeft : StampCorner::UpCenter;
  s.addText = addtext->isChecked();
  s.textBG = background->isChecked();
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
  return store([&](SettingsFile& s) { s.writeLanguageFile(path); });
}

bool TForm1::textColorChosen(uint32_t color) {
  setSwatchColor(color);
  return store([&](SettingsFile& s) { s.writeTextColor(static_cast<int32_t>(color)); });
}

bool TForm1::outputDirectoryChosen(const std::string& directory) {
  CaptureCycle& cycle = controller_->cycle();
  cycle.outputDirectory = directory + "/";
  Edit1->setText(QString::fromStdString(cycle.outputDirectory));
  return store([&](SettingsFile& s) { s.writeOutputDir(cycle.outputDirectory); });
}

void TForm1::endProgram() {
  // exit(), not quit(): quit() would close the windows and so store the settings.
  QCoreApplication::exit(0);
}

void TForm1::showStatus(const QString& status, const QString& trayTip) {
  SBText->setText(status);
  trayTip_ = trayTip;
}

QString TForm1::statusText() const { return SBText->text(); }

CaptureOptions TForm1::readOptions() const {
  CaptureOptions o;
  o.typeIndex = tyyp->currentIndex();
  o.spinPosition = Spin->value();
  o.addText = addtext->isChecked();
  o.background = background->isChecked();
  o.upLeft = upleft->isChecked();
  o.upRight = upright->isChecked();
  bool ok = false;
  o.x = X->text().toInt(&ok);
  if (!ok) o.x = 0;
  o.y = Y->text().toInt(&ok);
  if (!ok) o.y = 0;
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
  if (types_[size_t(index)].slider->label == SliderSetting::Label::Quality)
    caption = substitute(substitute(texts_[Text::Quality], "%q", position), "%r", "90");
  else
    caption = substitute(texts_[Text::Compression], "%q", position);
  Label1->setText(QString::fromStdString(caption));
  Label1->adjustSize();
}

void TForm1::closeEvent(QCloseEvent* event) {
  // A failed write keeps the window open; the keys written before it stay written.
  if (!store([this](SettingsFile& st) { st.writeOnClose(stampSettings()); })) {
    event->ignore();
    return;
  }
  // Pictures not written yet are saved elsewhere or discarded only when the user says so.
  if (!controller_->confirmQuit()) {
    event->ignore();
    return;
  }
  event->accept();
  QApplication::quit();
}

}  // namespace pixkeep
