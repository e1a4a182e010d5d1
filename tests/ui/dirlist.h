// Working the directory chooser's list as the user does.
#pragma once

#include <gtest/gtest.h>

#include <QListWidget>
#include <QtTest/QTest>

#include "ui/kataloog.h"

namespace pixkeep {

// The lines of the list, as shown.
inline QStringList lines(const QListWidget& list) {
  QStringList out;
  for (int i = 0; i < list.count(); ++i) out << list.item(i)->text();
  return out;
}

// The last line showing `text` (a subdirectory comes after the path).
inline QListWidgetItem* line(const QListWidget& list, const QString& text) {
  for (int i = list.count() - 1; i >= 0; --i)
    if (list.item(i)->text() == text) return list.item(i);
  ADD_FAILURE() << "no line " << text.toStdString() << " in " << lines(list).join('|').toStdString();
  return nullptr;
}

// A double click on the line showing `text`.
inline void doubleClick(QListWidget& list, const QString& text) {
  QListWidgetItem* item = line(list, text);
  if (!item) return;
  list.doItemsLayout();
  list.scrollToItem(item);
  QTest::mouseDClick(list.viewport(), Qt::LeftButton, {}, list.visualItemRect(item).center());
}

}  // namespace pixkeep
