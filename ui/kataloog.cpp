#include "ui/kataloog.h"

#include <QDir>
#include <QFileInfo>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QLabel>
#include <QPushButton>
#include <QStyle>
#include <QStyledItemDelegate>
#include <fcntl.h>
#include <unistd.h>

#include "config/texts.h"
#include "ui/form1.h"

namespace pixkeep {

namespace {

constexpr int ItemHeight = 16;
constexpr int Indent = 8;  // per level of the path

// Indents each line by its level and keeps it 16 pixels high.
class DirectoryDelegate : public QStyledItemDelegate {
 public:
  using QStyledItemDelegate::QStyledItemDelegate;
  void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override {
    QStyleOptionViewItem o = option;
    o.rect.adjust(index.data(DirectoryListBox::LevelRole).toInt() * Indent, 0, 0, 0);
    QStyledItemDelegate::paint(painter, o, index);
  }
  QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
    const QSize s = QStyledItemDelegate::sizeHint(option, index);
    return {s.width() + index.data(DirectoryListBox::LevelRole).toInt() * Indent, ItemHeight};
  }
};

// Entering a directory takes the right to search it, listing it the right to read it.
bool canEnter(const QString& path) {
  return ::faccessat(AT_FDCWD, QFile::encodeName(path).constData(), R_OK | X_OK, AT_EACCESS) == 0;
}

QString childPath(const QString& parent, const QString& name) {
  return parent.endsWith('/') ? parent + name : parent + '/' + name;
}

}  // namespace

DirectoryListBox::DirectoryListBox(QWidget* parent) : QListWidget(parent), directory_(QDir::currentPath()) {
  setItemDelegate(new DirectoryDelegate(this));
  setUniformItemSizes(true);
  setIconSize(QSize(ItemHeight - 2, ItemHeight - 2));
  fill();
}

bool DirectoryListBox::openDirectory(const QString& path) {
  if (!canEnter(path) || !QDir::setCurrent(path)) {
    refresh();
    return false;
  }
  directory_ = QDir::cleanPath(path);
  fill();
  return true;
}

void DirectoryListBox::refresh() {
  QString dir = directory_;
  while (!QFileInfo(dir).isDir() && dir != "/") dir = QFileInfo(dir).path();
  if (dir != directory_) {
    directory_ = dir;
    QDir::setCurrent(dir);
  }
  fill();
}

void DirectoryListBox::fill() {
  clear();
  const QIcon open = style()->standardIcon(QStyle::SP_DirOpenIcon);
  const QIcon closed = style()->standardIcon(QStyle::SP_DirClosedIcon);
  const auto add = [this](const QIcon& icon, const QString& text, const QString& path, int level) {
    auto* item = new QListWidgetItem(icon, text, this);
    item->setData(PathRole, path);
    item->setData(LevelRole, level);
    if (!canEnter(path)) item->setForeground(palette().brush(QPalette::Disabled, QPalette::Text));
    return item;
  };

  QString path = "/";
  add(open, "/", path, 0);
  int level = 1;
  for (const QString& part : directory_.split('/', Qt::SkipEmptyParts)) {
    path = childPath(path, part);
    add(open, part, path, level++);
  }
  setCurrentRow(count() - 1);
  // Hidden directories (".config" and the like) are left out.
  const QStringList subdirectories =
      QDir(directory_).entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name | QDir::IgnoreCase);
  for (const QString& name : subdirectories) add(closed, name, childPath(directory_, name), level);
  scrollToItem(currentItem());
}

void DirectoryListBox::mouseDoubleClickEvent(QMouseEvent* event) {
  QListWidgetItem* item = event->button() == Qt::LeftButton ? itemAt(event->position().toPoint()) : nullptr;
  if (!item) return QListWidget::mouseDoubleClickEvent(event);
  openDirectory(item->data(PathRole).toString());
}

void DirectoryListBox::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
    // Taken here, so that it does not press the dialog's default button.
    if (QListWidgetItem* item = currentItem()) openDirectory(item->data(PathRole).toString());
    event->accept();
    return;
  }
  QListWidget::keyPressEvent(event);
}

Tdirform::Tdirform(TForm1& form)
    : QDialog(&form, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                         Qt::WindowCloseButtonHint),
      form_(form) {
  setObjectName("dirform");
  // The main window's font, as for any of its dialogs.
  setAttribute(Qt::WA_WindowPropagation);
  setFixedSize(251, 239);
  move(192, 103);

  choosedir = new QLabel("Choose directory", this);
  choosedir->setObjectName("choosedir");
  choosedir->setTextFormat(Qt::PlainText);
  choosedir->move(8, 8);
  dirlist = new DirectoryListBox(this);
  dirlist->setObjectName("dirlist");
  dirlist->setGeometry(8, 32, 233, 161);
  Button1 = new QPushButton("OK", this);
  Button1->setObjectName("Button1");
  Button1->setGeometry(88, 200, 75, 25);
  cancel = new QPushButton("Cancel", this);
  cancel->setObjectName("cancel");
  cancel->setGeometry(168, 200, 75, 25);

  connect(Button1, &QPushButton::clicked, this, &Tdirform::Button1Click);
  connect(cancel, &QPushButton::clicked, this, &Tdirform::cancelClick);
}

void Tdirform::FormShow() {
  const Texts& texts = form_.texts();
  const QString title = QString::fromStdString(texts[Text::ChooseDirectory]);
  setWindowTitle(title);
  choosedir->setText(title);
  choosedir->adjustSize();
  Button1->setText(QString::fromStdString(texts[Text::OK]));
  cancel->setText(QString::fromStdString(texts[Text::Cancel]));
  dirlist->refresh();
}

void Tdirform::Button1Click() {
  // The open directory, not a line that is only highlighted.
  if (form_.outputDirectoryChosen(dirlist->directory().toStdString())) accept();
}

void Tdirform::showEvent(QShowEvent* event) {
  FormShow();
  QDialog::showEvent(event);
}

}  // namespace pixkeep
