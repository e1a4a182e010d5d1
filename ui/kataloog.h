// The directory chooser: the user picks the output directory in a list of
// directories that works through the process's current directory.
#pragma once

#include <QDialog>
#include <QListWidget>

QT_BEGIN_NAMESPACE
class QLabel;
class QPushButton;
QT_END_NAMESPACE

namespace pixkeep {

class TForm1;

// The path from the root down to the open directory, one line a directory,
// then the open directory's subdirectories. A line is opened by a double
// click or Enter; opening makes it the process's current directory. A line
// that is only highlighted changes nothing.
class DirectoryListBox : public QListWidget {
  Q_OBJECT
 public:
  static constexpr int PathRole = Qt::UserRole;       // the line's directory, absolute
  static constexpr int LevelRole = Qt::UserRole + 1;  // its indentation

  // Starts at the process's current directory.
  explicit DirectoryListBox(QWidget* parent = nullptr);

  // The open directory: absolute, without a final '/' except the root's.
  QString directory() const { return directory_; }
  // Opens `path`. A directory that cannot be entered (no permission, gone)
  // is not opened: the list is read again and false returned.
  bool openDirectory(const QString& path);
  // Reads the open directory again. When it has gone, the nearest directory
  // above it that is still there is opened instead.
  void refresh();

 protected:
  void keyPressEvent(QKeyEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;

 private:
  void fill();

  QString directory_;
};

class Tdirform : public QDialog {
  Q_OBJECT
 public:
  // Confirming makes the directory the output directory of `form`.
  explicit Tdirform(TForm1& form);

  // Every showing: the texts of the language in force, the list read again
  // where it was left.
  void FormShow();
  // The open directory becomes the output directory; the chooser closes
  // unless storing it failed (the error is shown, the chooser stays open).
  void Button1Click();
  void cancelClick() { reject(); }

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  TForm1& form_;
  QLabel* choosedir = nullptr;
  DirectoryListBox* dirlist = nullptr;
  QPushButton* Button1 = nullptr;  // OK
  QPushButton* cancel = nullptr;
};

}  // namespace pixkeep
