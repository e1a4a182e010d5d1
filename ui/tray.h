// The tray icon that stands for the program while its window is hidden: one
// icon with a tip, added, updated and removed as the window hides and shows.
#pragma once

#include <QIcon>
#include <QObject>
#include <QString>
#include <QStringList>
#include <functional>

QT_BEGIN_NAMESPACE
class QMenu;
class QSystemTrayIcon;
QT_END_NAMESPACE

namespace pixkeep {

// The tip holds at most this many bytes of UTF-8 (the shell's field of 64
// characters, one of them the terminating zero).
inline constexpr qsizetype TrayTipLimit = 63;

// `tip` as the icon shows it: unchanged when it fits TrayTipLimit bytes of
// UTF-8, else the longest run of whole characters from its start that leaves
// room for "..." behind it. A character is never cut, nor a surrogate pair split.
QString fitTrayTip(const QString& tip);

// True when the first argument after the program's name is exactly "-hide" or
// "/hide"; later arguments are never looked at.
bool hiddenStartRequested(const QStringList& arguments);

// The application's icon: the window's and the tray's.
QIcon applicationIcon();
// The tray's icon while capturing is paused: the same picture, greyed, with a pause sign.
QIcon pausedIcon();

class TTrayIcon : public QObject {
  Q_OBJECT
 public:
  // `menu` pops up at the pointer on a right click.
  TTrayIcon(QMenu* menu, QObject* parent);
  ~TTrayIcon() override;

  // Whether the desktop has a tray to put the icon in. Asked at every hide;
  // tests put their own answer in place of the desktop's.
  bool available() const { return available_(); }
  void setAvailability(std::function<bool()> available) { available_ = std::move(available); }

  // The record: the icon and its tip. Refilled at every language load.
  void fill(const QIcon& icon, const QString& tip);
  // Add the icon to the tray; no effect while it is there.
  void add();
  // A new tip; sent also while no icon is shown, without effect then.
  void modify(const QString& tip);
  // Take the icon away; no effect while there is none.
  void remove();

  bool shown() const;
  QString tip() const;
  QSystemTrayIcon* icon() const { return icon_; }

 signals:
  // A double click with the left button.
  void showRequested();

 private:
  QSystemTrayIcon* icon_;
  QMenu* menu_;
  std::function<bool()> available_;
};

}  // namespace pixkeep
