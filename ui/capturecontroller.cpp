#include "ui/capturecontroller.h"

#include <QApplication>
#include <QMessageBox>
#include <QTimer>

namespace pixkeep {

QString withFullStop(QString message) {
  if (!message.isEmpty() && message.back().unicode() > '.') message += '.';
  return message;
}

CaptureController::CaptureController(Clipboard& clipboard, std::vector<ImageType> types,
                                     std::function<CaptureOptions()> options, QWidget* window)
    : QObject(window),
      access_(clipboard),
      cycle_(access_, picture_, std::move(types)),
      options_(std::move(options)),
      window_(window),
      timer_(new QTimer(this)) {
  timer_->setObjectName("Timer");
  timer_->setInterval(1);
  timer_->setTimerType(Qt::PreciseTimer);
  connect(timer_, &QTimer::timeout, this, &CaptureController::tick);
  clipboard.setChangeListener([this] { clipboardChanged(); });
}

CaptureController::~CaptureController() { access_.platform().setChangeListener(nullptr); }

QString CaptureController::statusText() const { return QString::fromStdString(cycle_.statusText()); }

QString CaptureController::trayTip() const { return "Pixkeep - " + statusText(); }

void CaptureController::setPicturesTemplate(const std::string& templ) {
  cycle_.picturesTemplate = templ;
  emit statusChanged(statusText(), trayTip());
}

void CaptureController::discardClipboard() {
  try {
    access_.clear();
  } catch (const std::exception&) {
    // Nobody to tell yet; the picture simply stays.
  }
}

void CaptureController::clipboardChanged() {
  if (timerEnabled_ && !timer_->isActive()) timer_->start();
}

void CaptureController::tick() {
  // Nothing to take: stop until the clipboard changes again, so that an idle
  // program does no work at all.
  if (!access_.hasFormat(CF_BITMAP)) {
    timer_->stop();
    return;
  }
  try {
    TickResult r = cycle_.tick(options_());
    if (!r.captured) return;
    emit statusChanged(QString::fromStdString(r.status), QString::fromStdString(r.trayTip));
    if (r.stopTimer) {
      timerEnabled_ = false;
      timer_->stop();
    }
  } catch (const std::exception& e) {
    showError(QString::fromUtf8(e.what()));
  }
}

void CaptureController::showError(const QString& message) {
  // One report at a time: the capture goes on while it is open, and errors
  // that happen meanwhile do not pile up more boxes.
  if (errorShown_) return;
  errorShown_ = true;
  auto* box = new QMessageBox(QMessageBox::Critical, QApplication::applicationDisplayName(), withFullStop(message),
                              QMessageBox::Ok, window_);
  box->setObjectName("errorBox");
  box->setTextFormat(Qt::PlainText);
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->setWindowModality(Qt::ApplicationModal);
  connect(box, &QMessageBox::finished, this, [this] { errorShown_ = false; });
  box->show();
}

}  // namespace pixkeep
