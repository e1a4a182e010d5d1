#include "ui/about.h"

#include <QAction>
#include <QApplication>
#include <QFile>
#include <QFileInfo>
#include <QFrame>
#include <QGroupBox>
#include <QHelpEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QScreen>
#include <QTextBlock>
#include <QTextBrowser>
#include <QTextDocument>
#include <QTextDocumentFragment>
#include <QVBoxLayout>
#include <QWhatsThis>
#include <algorithm>

#include "config/texts.h"
#include "ui/widgets.h"

namespace pixkeep {

namespace {

constexpr int PopupWidth = 320;
constexpr int PopupMaxHeight = 400;

QLabel* label(QWidget* parent, const char* name, int left, int top) {
  auto* l = new QLabel(parent);
  l->setObjectName(name);
  l->setTextFormat(Qt::PlainText);  // language texts are never markup
  l->move(left, top);
  return l;
}

void setCaption(QLabel* l, const QString& text) {
  l->setText(text);
  l->adjustSize();
}

QString fromStd(const std::string& s) { return QString::fromStdString(s); }

// The numbered anchors a block carries.
QStringList anchorsOf(const QTextBlock& block) {
  QStringList names;
  for (auto it = block.begin(); !it.atEnd(); ++it) names += it.fragment().charFormat().anchorNames();
  return names;
}

bool isTopicStart(const QTextBlock& block) {
  static const QRegularExpression number("^[0-9]+$");
  const QStringList names = anchorsOf(block);
  return std::any_of(names.begin(), names.end(), [](const QString& n) { return number.match(n).hasMatch(); });
}

}  // namespace

Tinfo::Tinfo(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint) {
  setObjectName("info");
  setWindowTitle("Info");
  // The main window's font, as for any of its dialogs.
  setAttribute(Qt::WA_WindowPropagation);
  setFixedSize(345, 169);

  GB = new GroupBox(QString(), this);
  GB->setObjectName("GB");
  GB->setGeometry(0, 0, 345, 137);
  hmsg = new QPlainTextEdit(GB);
  hmsg->setObjectName("hmsg");
  hmsg->setGeometry(8, 16, 329, 57);
  hmsg->setReadOnly(true);
  hmsg->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  QPalette p = hmsg->palette();
  for (QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled})
    p.setColor(group, QPalette::Base, p.color(group, QPalette::Button));
  hmsg->setPalette(p);
  mina = label(GB, "mina", 8, 80);
  t6lkija = label(GB, "t6lkija", 8, 96);
  download = label(GB, "download", 8, 112);
  download->setWordWrap(true);
  download->setFixedSize(329, 22);
  QFont small;
  small.setFamilies({"Tahoma", "DejaVu Sans", "Liberation Sans"});
  small.setPixelSize(9);
  download->setFont(small);

  Label3 = label(this, "Label3", 0, 152);
  Label3->setFixedSize(151, 13);
  Label3->setText(about::Notice);
  okei = new QPushButton(this);
  okei->setObjectName("okei");
  okei->setGeometry(240, 144, 105, 25);
  okei->setDefault(true);
  connect(okei, &QPushButton::clicked, this, &QDialog::accept);
}

void Tinfo::FormShow(const Texts& texts, const QString& helpCaption) {
  // The project has no web site and no mail address: none is named.
  hmsg->clear();
  hmsg->appendPlainText(fromStd(texts[Text::HelpMessage]));
  hmsg->appendPlainText(QString());
  hmsg->appendPlainText(fromStd(texts[Text::InfoText]));
  hmsg->moveCursor(QTextCursor::Start);
  download->setText(fromStd(texts[Text::Download]));
  setCaption(t6lkija, fromStd(texts[Text::TranslatedBy]));
  setCaption(mina, fromStd(texts[Text::ProgrammedBy]) + " " + about::AuthorName);
  // Group boxes would take "&" as a shortcut mark.
  GB->setTitle(QString(helpCaption).replace('&', "&&"));
  okei->setText(fromStd(texts[Text::OK]));
}

void Tinfo::showEvent(QShowEvent* event) {
  // In the middle of the screen, not of the main window.
  if (QScreen* s = screen()) move(s->geometry().center() - rect().center());
  QDialog::showEvent(event);
}

void readHelpDocument(const QString& path, QTextDocument& into) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) {
    std::string message = msg::CannotOpenHelpFile;
    message.replace(message.find("%s"), 2, path.toStdString());
    throw EHelpFileError(message, file.errorString().toStdString());
  }
  const QString text = QString::fromUtf8(file.readAll());
  static const QRegularExpression markdown(R"(^(#{1,6} |[-*] |\d+\. |.*\]\(.+\)))", QRegularExpression::MultilineOption);
  if (Qt::mightBeRichText(text))
    into.setHtml(text);
  else if (markdown.match(text).hasMatch())
    into.setMarkdown(text);
  else
    into.setPlainText(text);
}

QString helpTopic(const QTextDocument& document, int context) {
  const QString name = QString::number(context);
  QTextBlock first = document.begin();
  while (first.isValid() && !anchorsOf(first).contains(name)) first = first.next();
  if (!first.isValid()) return {};
  // A heading's topic runs to the next heading of its level or above; a
  // paragraph's to the next heading. Another numbered topic ends it too.
  const int level = first.blockFormat().headingLevel();
  QTextBlock end = first.next();
  for (; end.isValid(); end = end.next()) {
    const int h = end.blockFormat().headingLevel();
    if (isTopicStart(end) || (h > 0 && (level == 0 || h <= level))) break;
  }
  QTextCursor cursor(const_cast<QTextDocument*>(&document));
  cursor.setPosition(first.position());
  cursor.setPosition(end.isValid() ? end.position() - 1 : document.characterCount() - 1, QTextCursor::KeepAnchor);
  return QTextDocumentFragment(cursor).toHtml();
}

std::optional<int> helpContextOf(const QObject* object) {
  for (const QObject* o = object; o; o = o->parent()) {
    const QVariant v = o->property("helpContext");
    if (v.isValid()) return v.toInt();
  }
  return std::nullopt;
}

THelp::THelp(QWidget& window, std::function<QString()> helpFile)
    : QObject(&window), window_(window), helpFile_(std::move(helpFile)) {
  setObjectName("help");
  // The program no longer has the focus: the context pop-up goes.
  connect(qApp, &QGuiApplication::applicationStateChanged, this, [this](Qt::ApplicationState state) {
    if (state != Qt::ApplicationActive) closePopup();
  });
}

void THelp::contents(const QString& file) {
  if (!viewer_) {
    viewer_ = new QWidget(&window_, Qt::Window);
    viewer_->setObjectName("helpViewer");
    viewer_->resize(520, 420);
    viewerText_ = new QTextBrowser(viewer_);
    viewerText_->setObjectName("helpText");
    viewerText_->setOpenExternalLinks(true);
    auto* layout = new QVBoxLayout(viewer_);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(viewerText_);
  }
  // Read anew each time: the file may have been changed or removed since.
  readHelpDocument(file, *viewerText_->document());
  const QString title = viewerText_->document()->metaInformation(QTextDocument::DocumentTitle);
  viewer_->setWindowTitle(title.isEmpty() ? QFileInfo(file).fileName() : title);
  viewer_->show();
  viewer_->raise();
  viewer_->activateWindow();
}

void THelp::contextPopup(const QString& file, int context, QPoint at) {
  QTextDocument document;
  readHelpDocument(file, document);
  const QString topic = helpTopic(document, context);
  if (topic.isEmpty()) return;
  closePopup();
  // A frame with the pop-up flag around the text: Qt gives a pop-up every
  // click and key while it is open, so it must close on each of them itself
  // (eventFilter), or it would hold the input for good.
  auto* popup = new QFrame(&window_, Qt::Popup);
  popup_ = popup;
  popup->setObjectName("helpPopup");
  popup->setAttribute(Qt::WA_DeleteOnClose);
  popup->setFrameStyle(QFrame::Box | QFrame::Plain);
  auto* text = new QTextBrowser(popup);
  text->setObjectName("helpPopupText");
  text->setFrameStyle(QFrame::NoFrame);
  text->setFocusPolicy(Qt::NoFocus);
  text->setHtml(topic);
  auto* layout = new QVBoxLayout(popup);
  layout->setContentsMargins(1, 1, 1, 1);
  layout->addWidget(text);
  text->document()->setTextWidth(PopupWidth - 2);
  const int height = int(text->document()->size().height()) + 4;
  popup->setGeometry(at.x(), at.y(), PopupWidth, std::min(height, PopupMaxHeight));
  for (QObject* o : {static_cast<QObject*>(popup), static_cast<QObject*>(text), static_cast<QObject*>(text->viewport())})
    o->installEventFilter(this);
  popup->show();
}

void THelp::closePopup() {
  if (popup_) popup_->close();
}

bool THelp::popupEvent(QObject* watched, QEvent* event) {
  switch (event->type()) {
    case QEvent::KeyPress:
    case QEvent::ShortcutOverride:
      // Any key, Escape and Alt+F4 among them.
      closePopup();
      return true;
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonDblClick:
      // A click inside (on the text) or outside: Qt hands a click outside to
      // the pop-up, and once it has closed, to the window under the pointer.
      if (watched == popup_.data() || watched == popup_->findChild<QTextBrowser*>()->viewport()) {
        closePopup();
        return watched != popup_.data();
      }
      return false;
    default:
      return false;
  }
}

void THelp::requestFrom(QWidget* control) {
  const QString file = helpFile_();
  if (file.isEmpty()) return;
  for (QWidget* w = control; w; w = w->parentWidget()) {
    const QVariant v = w->property("helpContext");
    if (!v.isValid()) continue;
    try {
      contextPopup(file, v.toInt(), w->mapToGlobal(QPoint(0, 0)));
    } catch (const Exception& e) {
      if (onError) onError(e);
    }
    return;
  }
}

void THelp::requestFrom(QAction* item) {
  const QString file = helpFile_();
  const QVariant v = item ? item->property("helpContext") : QVariant();
  if (file.isEmpty() || !v.isValid()) return;
  try {
    contextPopup(file, v.toInt(), window_.mapToGlobal(QPoint(0, 0)));
  } catch (const Exception& e) {
    if (onError) onError(e);
  }
}

void THelp::watch(QWidget* w) {
  w->installEventFilter(this);
  for (QWidget* child : w->findChildren<QWidget*>()) child->installEventFilter(this);
}

bool THelp::eventFilter(QObject* watched, QEvent* event) {
  if (popup_ && (watched == popup_.data() || popup_->isAncestorOf(qobject_cast<QWidget*>(watched))))
    return popupEvent(watched, event);
  // The main window no longer has the focus: the pop-up goes.
  if (watched == &window_ && event->type() == QEvent::WindowDeactivate) closePopup();
  // Without a help file, help requests go on as if nobody listened.
  if (helpFile_().isEmpty()) return false;
  auto* w = qobject_cast<QWidget*>(watched);
  if (!w) return false;
  switch (event->type()) {
    case QEvent::KeyPress:
      if (static_cast<QKeyEvent*>(event)->key() != Qt::Key_F1) return false;
      if (auto* menu = qobject_cast<QMenu*>(w))
        requestFrom(menu->activeAction());
      else
        requestFrom(w);
      return true;
    case QEvent::QueryWhatsThis:
      // The "?" cursor only over controls that have a topic.
      event->setAccepted(helpContextOf(w).has_value());
      return true;
    case QEvent::WhatsThis:
      // The "?" mode ends with this click; left on, it would take every
      // later click for another request.
      QWhatsThis::leaveWhatsThisMode();
      requestFrom(w);
      return true;
    default:
      return false;
  }
}

}  // namespace pixkeep
