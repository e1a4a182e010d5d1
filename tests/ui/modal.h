// Answering the modal dialogs that the window's handlers open.
#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QDialog>
#include <QTimer>
#include <functional>

namespace pixkeep {

// Runs `open`, which is to show a modal dialog of type D; once the dialog is
// up, `answer` is run on it (it accepts or rejects it). Returns false when no
// such dialog came up; a dialog of another type is rejected.
template <typename D>
bool answerDialog(const std::function<void()>& open, const std::function<void(D&)>& answer) {
  bool answered = false;
  QTimer timer;  // gone with this call: nothing fires after it
  timer.setSingleShot(true);
  QObject::connect(&timer, &QTimer::timeout, [&] {
    QWidget* modal = QApplication::activeModalWidget();
    if (auto* dialog = qobject_cast<D*>(modal)) {
      answered = true;
      answer(*dialog);
    } else if (auto* other = qobject_cast<QDialog*>(modal)) {
      ADD_FAILURE() << "another dialog came up: " << other->metaObject()->className();
      other->reject();
    }
  });
  timer.start(0);
  open();
  return answered;
}

}  // namespace pixkeep
