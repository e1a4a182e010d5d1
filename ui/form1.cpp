#include "ui/form1.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QMenuBar>
#include <QMessageBox>
#include <QRadioButton>
#include <QScrollBar>
#include <QSpinBox>
#include <QStatusBar>
#include <QTimer>
#include <climits>

#include "platform/fsutil.h"
#include "codecs/jpeg/jpegimage.h"
#include "codecs/png/pngimage.h"
#include "platform/qt/qtclipboard.h"

namespace pixkeep {

namespace {

constexpr int ClientWidth = 225;
constexpr int CollapsedHeight = 80;  // the upper part: slider, links, image type
constexpr int StatusHeight = 19;

QLabel* linkLabel(const QString& text, QWidget* parent) {
  auto* l = new QLabel(text, parent);
  QFont f = l->font();
  f.setUnderline(true);
  l->setFont(f);
  l->setCursor(Qt::PointingHandCursor);
  QPalette p = l->palette();
  p.setColor(QPalette::WindowText, p.color(QPalette::Highlight));
  l->setPalette(p);
  return l;
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

QString withFullStop(QString message) {
  if (!message.isEmpty() && message.back().unicode() > '.') message += '.';
  return message;
}

TForm1::TForm1(Clipboard& clipboard, QtClipboard* changeSource, QWidget* parent)
    : QMainWindow(parent), access_(clipboard), cycle_(access_, picture_) {
  setObjectName("Form1");
  setWindowTitle("Pixkeep");
  QFont font("MS Sans Serif");
  font.setPixelSize(11);
  setFont(font);

  auto* fileMenu = menuBar()->addMenu("&File");
  fileMenu->setObjectName("Fail1");
  auto* helpMenu = menuBar()->addMenu("&Help");
  helpMenu->setObjectName("Help2");

  auto* client = new QWidget(this);
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
  SBText = new QLabel(SB);
  SBText->setObjectName("SBText");
  SB->addWidget(SBText, 1);
  setStatusBar(SB);

  Image = place(new QLabel(client), "Image", 0, 456, 105, 105);
  Image->setVisible(false);

  Timer = new QTimer(this);
  Timer->setObjectName("Timer");
  Timer->setInterval(1);
  Timer->setTimerType(Qt::PreciseTimer);
  connect(Timer, &QTimer::timeout, this, &TForm1::TimerTimer);
  connect(tyyp, &QComboBox::currentIndexChanged, this, &TForm1::tyypChange);
  connect(Spin, &QScrollBar::valueChanged, this, &TForm1::SpinChange);
  if (changeSource) connect(changeSource, &QtClipboard::changed, this, &TForm1::clipboardChanged);

  cycle_.setEncoder(0, jpegEncoderFactory());
  cycle_.setEncoder(1, pngEncoderFactory());
  FormCreate();
  layout()->setSizeConstraint(QLayout::SetFixedSize);
}

TForm1::~TForm1() = default;

void TForm1::createUpperPart(QWidget* client) {
  Label1 = place(new QLabel("Quality 90 (recommended 90)", client), "Label1", 0, 0);
  Spin = place(new QScrollBar(Qt::Horizontal, client), "Spin", 1, 16, 153, 16);
  Spin->setRange(1, 100);
  Spin->setValue(90);
  Spin->setPageStep(5);
  Spin->setSingleStep(1);
  Spin->setFocusPolicy(Qt::NoFocus);
  Label2 = place(linkLabel("Hide window", client), "Label2", 160, 0);
  Label3 = place(linkLabel("Help", client), "Label3", 160, 16);
  tyyptekst = place(new QLabel("Image type:", client), "tyyptekst", 0, 40);
  tyyp = place(new QComboBox(client), "tyyp", 64, 40, 145, 21);
  tyyp->addItems({"JPEG", "PNG", "GIF", "Bitmap"});
  tyyp->setFocusPolicy(Qt::NoFocus);
  adv = place(linkLabel("Advanced options", client), "adv", 0, 64);
}

void TForm1::createOutputGroup(QWidget* client) {
  output = place(new QGroupBox("Output directory", client), "output", 0, 80, 217, 89);
  output->setEnabled(false);
  default_ = place(new QRadioButton("Default", output), "default", 8, 16, 89, 17);
  default_->setChecked(true);
  user = place(new QRadioButton("User specified", output), "user", 8, 40, 89, 17);
  change = place(linkLabel("Change", output), "change", 100, 40);
  change->setEnabled(false);
  curdir = place(new QLabel("Current directory:", output), "curdir", 8, 64);
  Edit1 = place(new QLineEdit(output), "Edit1", 96, 56, 113, 21);
  Edit1->setReadOnly(true);
  Edit1->setBackgroundRole(QPalette::Button);
}

void TForm1::createOtherGroup(QWidget* client) {
  other = place(new QGroupBox("Other", client), "other", 0, 176, 217, 169);
  other->setEnabled(false);
  addtext = place(new QCheckBox("Add text to images", other), "addtext", 8, 16, 110, 17);
  Edit2 = place(new QLineEdit(other), "Edit2", 120, 8, 89, 21);
  Edit2->setMaxLength(40);
  Edit2->setBackgroundRole(QPalette::Button);
  upright = place(new QRadioButton("Upper right corner", other), "upright", 24, 32, 110, 17);
  upright->setChecked(true);
  upleft = place(new QRadioButton("Upper left corner", other), "upleft", 24, 50, 110, 17);
  yleskeskel = place(new QRadioButton("Up center", other), "yleskeskel", 24, 68, 110, 17);
  V2rv = place(new QLabel("Current color", other), "V2rv", 136, 32, 64, 17);
  V2rv->setFrameStyle(QFrame::Panel | QFrame::Sunken);
  V2rv->setAutoFillBackground(true);
  QPalette p = V2rv->palette();
  p.setColor(QPalette::Window, toQColor(32768));
  p.setColor(QPalette::WindowText, p.color(QPalette::Base));
  V2rv->setPalette(p);
  pickcolor = place(linkLabel("Choose color", other), "pickcolor", 136, 50);
  background = place(new QCheckBox("Text has white background", other), "background", 40, 88, 161, 17);
  Label6 = place(new QLabel("Space between text and edges of the picture", other), "Label6", 8, 106, 201, 26);
  Label6->setWordWrap(true);
  Label4 = place(new QLabel("X:", other), "Label4", 24, 144);
  X = place(new QSpinBox(other), "X", 40, 136, 41, 22);
  X->setRange(INT_MIN, INT_MAX);
  X->setValue(7);
  Label5 = place(new QLabel("Y:", other), "Label5", 136, 144);
  Y = place(new QSpinBox(other), "Y", 152, 136, 41, 22);
  Y->setRange(INT_MIN, INT_MAX);
  Y->setValue(4);
}

void TForm1::FormCreate() {
  cycle_.outputDirectory = defaultOutputDirectory();
  Edit1->setText(QString::fromStdString(cycle_.outputDirectory));
  trayTip_ = "Pixkeep - " + QString::fromStdString(cycle_.statusText());
  SBText->setText(QString::fromStdString(cycle_.statusText()));
  // A picture already on the clipboard is never saved.
  try {
    access_.clear();
  } catch (const std::exception&) {
  }
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

void TForm1::clipboardChanged() {
  if (timerEnabled_ && !Timer->isActive()) Timer->start();
}

void TForm1::TimerTimer() {
  // Nothing to take: stop until the clipboard changes again, so that an idle
  // program does no work at all.
  if (!access_.hasFormat(CF_BITMAP)) {
    Timer->stop();
    return;
  }
  try {
    TickResult r = cycle_.tick(readOptions());
    if (!r.captured) return;
    SBText->setText(QString::fromStdString(r.status));
    trayTip_ = QString::fromStdString(r.trayTip);
    if (r.stopTimer) {
      timerEnabled_ = false;
      Timer->stop();
    }
  } catch (const std::exception& e) {
    showError(QString::fromUtf8(e.what()));
  }
}

void TForm1::showError(const QString& message) {
  // One report at a time: the capture goes on while it is open, and errors
  // that happen meanwhile do not pile up more boxes.
  if (errorShown_) return;
  errorShown_ = true;
  auto* box = new QMessageBox(QMessageBox::Critical, QApplication::applicationDisplayName(),
                              withFullStop(message), QMessageBox::Ok, this);
  box->setObjectName("errorBox");
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->setWindowModality(Qt::ApplicationModal);
  connect(box, &QMessageBox::finished, this, [this] { errorShown_ = false; });
  box->show();
}

void TForm1::tyypChange() {
  const int index = tyyp->currentIndex();
  if (index == 0 || index == 1) {
    const int max = index == 0 ? 100 : 9, min = index == 0 ? 1 : 0, pos = index == 0 ? 90 : 9;
    QSignalBlocker block(Spin);
    // Maximum, minimum, position, in that order; Qt pulls the position into the range.
    Spin->setMaximum(max);
    Spin->setMinimum(min);
    Spin->setValue(pos);
    Spin->setPageStep(index == 0 ? 5 : 2);
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
  const std::string position = std::to_string(Spin->value());
  std::string text;
  if (index == 0)
    text = substitute(substitute(qualityTemplate_.toStdString(), "%q", position), "%r", "90");
  else if (index == 1)
    text = substitute(compressionTemplate_.toStdString(), "%q", position);
  else
    return;
  Label1->setText(QString::fromStdString(text));
  Label1->adjustSize();
}

void TForm1::closeEvent(QCloseEvent* event) {
  event->accept();
  QApplication::quit();
}

}  // namespace pixkeep
