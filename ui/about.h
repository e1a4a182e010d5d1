// The built-in help window, and the help file: its contents in a viewer
// window and its topics as pop-ups for the main window's context help.
#pragma once

#include <QDialog>
#include <QPointer>
#include <functional>
#include <optional>

#include "config/texts.h"
#include "platform/errors.h"

QT_BEGIN_NAMESPACE
class QGroupBox;
class QLabel;
class QMenu;
class QPlainTextEdit;
class QPushButton;
class QTextBrowser;
class QTextDocument;
QT_END_NAMESPACE

namespace pixkeep {

namespace msg {
inline constexpr const char* CannotOpenHelpFile = "Cannot open the help file %s";
}  // namespace msg

PIXKEEP_ERROR_CLASS(EHelpFileError, Exception)

// The fixed texts of the built-in help.
namespace about {
inline constexpr const char* AuthorName = "Pixkeep team";
inline constexpr const char* Notice = "Free software: GPL-3.0-or-later";
}  // namespace about

// The built-in help: the language file's help message and the licence, the
// credits and where other languages come from. Modal, without
// title-bar buttons; "OK" closes it.
class Tinfo : public QDialog {
  Q_OBJECT
 public:
  explicit Tinfo(QWidget* parent = nullptr);

  // Sets every text from `texts`; the group is captioned `helpCaption` (the
  // main window's "Help" link). Called before each showing.
  void FormShow(const Texts& texts, const QString& helpCaption);

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  QGroupBox* GB = nullptr;
  QPlainTextEdit* hmsg = nullptr;  // help message and licence
  QLabel* mina = nullptr;          // programmer
  QLabel* t6lkija = nullptr;       // translator
  QLabel* download = nullptr;
  QLabel* Label3 = nullptr;  // the licence's name
  QPushButton* okei = nullptr;
};

// Reads a help document into `into`: HTML, Markdown or plain text, told
// apart by its content. Raises EHelpFileError when the file cannot be read.
void readHelpDocument(const QString& path, QTextDocument& into);
// The topic of `document` whose anchor is `context` (<a name="12"> or
// id="12" in an HTML document; Markdown and plain text have none), as HTML: its heading and what follows up to the next heading of
// the same or a higher level or the next topic; empty when there is none.
QString helpTopic(const QTextDocument& document, int context);

// The help context number of `object`: its own "helpContext" property, else
// its parents', outward; none when no one has a number.
std::optional<int> helpContextOf(const QObject* object);

// The help file of a window: its contents in a viewer window and its topics
// in pop-ups. Watches the window's controls and menus for help requests (F1,
// the "?" button's click) while `helpFile` names a file.
class THelp : public QObject {
  Q_OBJECT
 public:
  THelp(QWidget& window, std::function<QString()> helpFile);

  // The contents in the viewer window; raises EHelpFileError when the file
  // cannot be read.
  void contents(const QString& file);
  // The topic numbered `context` in a pop-up with its top-left corner at
  // `at` (screen coordinates); nothing when the file has no such topic. It
  // closes on any key, on a click inside or outside it, and when the program
  // loses the focus.
  void contextPopup(const QString& file, int context, QPoint at);
  // Closes the context pop-up, when one is open.
  void closePopup();
  // A help request from `control`: the first number outward through its
  // parents, shown at the top-left corner of the control that has it.
  void requestFrom(QWidget* control);
  // A help request from a highlighted menu item: the item's own number,
  // shown at the window's top-left corner.
  void requestFrom(QAction* item);
  // Help requests from `w` and its children; those from one of its menus
  // are for the highlighted item.
  void watch(QWidget* w);

  QWidget* viewer() const { return viewer_; }
  QWidget* popup() const { return popup_; }
  // Called with the message when a request fails; the window's error report.
  std::function<void(const Exception&)> onError;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  // The pop-up's own events: a key or a click closes it.
  bool popupEvent(QObject* watched, QEvent* event);

  QWidget& window_;
  std::function<QString()> helpFile_;
  QPointer<QWidget> viewer_;
  QTextBrowser* viewerText_ = nullptr;
  QPointer<QWidget> popup_;
};

}  // namespace pixkeep
