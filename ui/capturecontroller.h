// Runs the capture for the whole program: owns the capture cycle, the 1 ms
// capture timer that runs only while the clipboard holds a bitmap, and the
// error report. The main window and the tray icon both show what it says.
#pragma once

#include <QObject>
#include <QString>
#include <functional>
#include <vector>

#include "capture/capturecycle.h"

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
  // `options` reads the capture options at every tick; error boxes are
  // children of `window`.
  CaptureController(Clipboard& clipboard, std::vector<ImageType> types, std::function<CaptureOptions()> options,
                    QWidget* window);
  ~CaptureController() override;

  CaptureCycle& cycle() { return cycle_; }
  QTimer* timer() const { return timer_; }
  // False for good once the last number was reached.
  bool timerEnabled() const { return timerEnabled_; }
  QString statusText() const;
  QString trayTip() const;
  void setPicturesTemplate(const std::string& templ);

  // Empties the clipboard: a picture there at start-up is never saved.
  void discardClipboard();
  // One tick of the capture timer.
  void tick();
  // The application's error report: one message box at a time, the
  // message with its full stop.
  void showError(const QString& message);

 signals:
  // After every capture and template change: the status text and the tray tip.
  void statusChanged(const QString& status, const QString& trayTip);

 private:
  void clipboardChanged();

  ClipboardAccess access_;
  TPicture picture_;
  CaptureCycle cycle_;
  std::function<CaptureOptions()> options_;
  QWidget* window_;
  QTimer* timer_;
  bool timerEnabled_ = true;
  bool errorShown_ = false;
};

}  // namespace pixkeep
