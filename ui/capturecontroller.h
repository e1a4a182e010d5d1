// Runs the capture for the whole program: owns the capture cycle, the 1 ms
// capture timer that runs only while the clipboard holds a bitmap, the queue
// that writes pictures off the window's thread, and the error report. The
// main window and the tray icon both show what it says.
#pragma once

#include <QMessageBox>
#include <QObject>
#include <QString>
#include <functional>
#include <memory>
#include <vector>

#include "capture/capturecycle.h"
#include "config/texts.h"

QT_BEGIN_NAMESPACE
class QTimer;
class QWidget;
QT_END_NAMESPACE

namespace pixkeep {

// The application's error report appends a full stop when the message ends
// in a character above "." (letters, digits, "/", ":", "?"), but not after a
// blank, ")" or "!".
QString withFullStop(QString message);

class CaptureController : public QObject {
  Q_OBJECT
 public:
  // `options` reads the capture options at every tick; `texts` are the texts
  // in force; error boxes and questions are children of `window`.
  CaptureController(Clipboard& clipboard, std::vector<ImageType> types, std::function<CaptureOptions()> options,
                    const Texts& texts, QWidget* window);
  ~CaptureController() override;

  CaptureCycle& cycle() { return *cycle_; }
  CaptureQueue& queue() { return cycle_->queue(); }
  QTimer* timer() const { return timer_; }
  // False for good once the last number was reached.
  bool timerEnabled() const { return timerEnabled_; }
  // The count, or while pictures wait to be written, how many and why.
  QString statusText() const;
  QString trayTip() const;
  void setPicturesTemplate(const std::string& templ);
  // Where the next pictures go, and the waiting ones at once; stale
  // temporary files of ours there are removed.
  void setOutputDirectory(const std::string& directory);

  // Empties the clipboard: a picture there at start-up is never saved.
  void discardClipboard();
  // One tick of the capture timer.
  void tick();
  // The options changed: a picture left on the clipboard (its type could not
  // be written) is tried again.
  void optionsChanged();
  // Pausing: while paused the timer stays off, so that pictures copied stay
  // on the clipboard untouched and nothing is saved; the status says
  // "Paused". Going on leaves the picture on the clipboard then where it is:
  // it was copied while paused. The next one is saved under the next number.
  void setPaused(bool paused);
  bool paused() const { return paused_; }
  // Before the program ends: true when nothing is left unsaved, or the user
  // chose to save the waiting pictures elsewhere (and they were) or to
  // discard them; false to keep running.
  bool confirmQuit();
  // The application's error report: one message box at a time, the message
  // with its full stop and, below it, the detail (which file, and why).
  void showError(const QString& message, const QString& detail = QString());
  // The same box for news that is no error (a picture saved as PNG).
  void showNotice(const QString& message);

 signals:
  // After every capture, while pictures wait, on pausing and on template
  // changes: the status text and the tray tip.
  void statusChanged(const QString& status, const QString& trayTip);

 private:
  void clipboardChanged();
  void written(const CaptureResult& result);
  void waitingChanged(size_t waiting, const QString& reason);
  void checked(CaptureJob job, bool restore);
  // Empties the clipboard of the safe pictures whose time has come, and
  // waits for the next.
  void emptyDue();
  void announceStatus();
  void showBox(QMessageBox::Icon icon, const QString& message, const QString& detail);

  Clipboard& clipboard_;
  std::function<CaptureOptions()> options_;
  const Texts& texts_;
  QWidget* window_;
  QTimer* timer_;
  QTimer* emptyTimer_;
  std::unique_ptr<CaptureCycle> cycle_;
  bool timerEnabled_ = true;
  bool errorShown_ = false;
  bool paused_ = false;
  QString notice_;  // what the status says of the last picture, until the next one
  size_t waiting_ = 0;
  QString waitingReason_;
};

}  // namespace pixkeep
