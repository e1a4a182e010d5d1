#include "ui/capturecontroller.h"

#include <QApplication>
#include <QFileDialog>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

#include "raster/errors.h"
#include "platform/savefile.h"

namespace pixkeep {

QString withFullStop(QString message) {
  if (!message.isEmpty() && message.back().unicode() > '.') message += '.';
  return message;
}

CaptureController::CaptureController(Clipboard& clipboard, std::vector<ImageType> types,
                                     std::function<CaptureOptions()> options, const Texts& texts, QWidget* window)
    : QObject(window),
      clipboard_(clipboard),
      options_(std::move(options)),
      texts_(texts),
      window_(window),
      timer_(new QTimer(this)),
      emptyTimer_(new QTimer(this)) {
  timer_->setObjectName("Timer");
  timer_->setInterval(1);
  timer_->setTimerType(Qt::PreciseTimer);
  connect(timer_, &QTimer::timeout, this, &CaptureController::tick);
  emptyTimer_->setSingleShot(true);
  emptyTimer_->setTimerType(Qt::PreciseTimer);
  connect(emptyTimer_, &QTimer::timeout, this, &CaptureController::emptyDue);
  clipboard.setChangeListener([this] { clipboardChanged(); });

  // The queue reports from its own thread; everything it says is handled
  // here on the window's thread, and dropped once this object is gone.
  CaptureQueue::Events events;
  events.written = [this](const CaptureResult& r) {
    QMetaObject::invokeMethod(this, [this, r] { written(r); }, Qt::QueuedConnection);
  };
  events.failed = [this](const std::string& message, const std::string& detail, bool kept, uint64_t generation) {
    QMetaObject::invokeMethod(
        this,
        [this, m = QString::fromStdString(message), d = QString::fromStdString(detail), kept, generation] {
          // A picture that is lost stays on the clipboard (one kept to be
          // written is told by Events::held).
          if (!kept) cycle_->lost(generation);
          showError(m, d);
        },
        Qt::QueuedConnection);
  };
  events.held = [this](uint64_t generation) {
    QMetaObject::invokeMethod(
        this,
        [this, generation] {
          cycle_->safe(generation);
          emptyDue();
        },
        Qt::QueuedConnection);
  };
  events.waitingChanged = [this](size_t n, const std::string& reason) {
    QMetaObject::invokeMethod(
        this, [this, n, r = QString::fromStdString(reason)] { waitingChanged(n, r); }, Qt::QueuedConnection);
  };
  events.checked = [this](CaptureJob job, bool restore) {
    QMetaObject::invokeMethod(
        this, [this, job = std::move(job), restore]() mutable { checked(std::move(job), restore); },
        Qt::QueuedConnection);
  };
  cycle_ = std::make_unique<CaptureCycle>(clipboard, std::move(types), std::move(events));
}

CaptureController::~CaptureController() {
  // Every picture is written: the clipboard is left as after its emptying
  // (a picture left there would be the next start's, never saved).
  if (cycle_->queue().pending() == 0) cycle_->emptyAll();
  cycle_.reset();  // the queue's thread ends before anything it uses
  clipboard_.setChangeListener(nullptr);
}

QString CaptureController::statusText() const {
  if (paused_) return QString::fromStdString(texts_[Text::Paused]);
  if (waiting_ > 0) {
    const std::string templ = waiting_ == 1 ? texts_[Text::WaitingOne] : texts_[Text::Waiting];
    return QString::fromStdString(
        substitute(substitute(templ, "%n", std::to_string(waiting_)), "%e", waitingReason_.toStdString()));
  }
  if (!notice_.isEmpty()) return notice_;
  return QString::fromStdString(cycle_->statusText());
}

QString CaptureController::trayTip() const { return "Pixkeep - " + statusText(); }

void CaptureController::announceStatus() { emit statusChanged(statusText(), trayTip()); }

void CaptureController::setPicturesTemplate(const std::string& templ) {
  cycle_->picturesTemplate = templ;
  announceStatus();
}

void CaptureController::setOutputDirectory(const std::string& directory) {
  cycle_->outputDirectory = directory;
  removeStaleTemporaries(directory);
  queue().setOutputDirectory(directory);
}

void CaptureController::discardClipboard() {
  // Read and emptied by the first ticks, as soon as the clipboard has told
  // what it holds; never saved.
  cycle_->discardAtStart();
  clipboardChanged();
}

void CaptureController::clipboardChanged() {
  if (timerEnabled_ && !paused_ && !timer_->isActive()) timer_->start();
}

void CaptureController::setPaused(bool paused) {
  if (paused == paused_) return;
  paused_ = paused;
  if (paused_) {
    timer_->stop();
  } else {
    cycle_->passOver();
    clipboardChanged();
  }
  announceStatus();
}

void CaptureController::optionsChanged() { clipboardChanged(); }

void CaptureController::tick() {
  // Nothing to take: stop until the clipboard changes again (a picture on
  // its way arrives like a change), so that an idle program does no work.
  if (paused_) {
    timer_->stop();
    return;
  }
  try {
    if (cycle_->tick(options_()) != CaptureCycle::Tick::Taken) timer_->stop();
    emptyDue();  // the picture there at start, once its time has come
  } catch (const Exception& e) {
    // The picture is still on the clipboard: try again after the next change
    // (or a change of the options), not on every tick.
    timer_->stop();
    showError(QString::fromUtf8(e.what()), QString::fromStdString(e.detail()));
  } catch (const std::exception& e) {
    timer_->stop();
    showError(QString::fromUtf8(e.what()), QString());
  }
}

void CaptureController::checked(CaptureJob job, bool restore) {
  cycle_->checked(std::move(job), restore);
  clipboardChanged();  // anything copied meanwhile
}

void CaptureController::emptyDue() {
  if (const auto next = cycle_->emptyDue()) {
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(*next - cycle_->clock());
    emptyTimer_->start(int(std::max<long long>(0, wait.count())));
  }
}

void CaptureController::written(const CaptureResult& result) {
  cycle_->safe(result.generation);
  emptyDue();
  if (result.stopTimer) {
    timerEnabled_ = false;
    timer_->stop();
  }
  notice_.clear();
  if (result.fallback) {
    // Said in plain words: the type's limit, and the file it went to.
    const TypeLimitFallback& f = *result.fallback;
    std::string text = texts_[Text::TooLarge];
    text = substitute(text, "%w", std::to_string(f.width));
    text = substitute(text, "%h", std::to_string(f.height));
    text = substitute(text, "%t", f.typeName);
    text = substitute(text, "%f", result.fileName);
    notice_ = QString::fromStdString(text);
    showNotice(notice_);
  }
  announceStatus();
}

void CaptureController::waitingChanged(size_t waiting, const QString& reason) {
  waiting_ = waiting;
  if (!reason.isEmpty()) waitingReason_ = reason;
  announceStatus();
}

void CaptureController::showError(const QString& message, const QString& detail) {
  showBox(QMessageBox::Critical, message, detail);
}

void CaptureController::showNotice(const QString& message) { showBox(QMessageBox::Information, message, QString()); }

void CaptureController::showBox(QMessageBox::Icon icon, const QString& message, const QString& detail) {
  // One report at a time: the capture goes on while it is open, and errors
  // that happen meanwhile do not pile up more boxes.
  if (errorShown_) return;
  errorShown_ = true;
  auto* box = new QMessageBox(icon, QApplication::applicationDisplayName(), withFullStop(message), QMessageBox::Ok,
                              window_);
  box->setObjectName("errorBox");
  box->setTextFormat(Qt::PlainText);
  if (!detail.isEmpty()) box->setInformativeText(detail);
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->setWindowModality(Qt::ApplicationModal);
  connect(box, &QMessageBox::finished, this, [this] { errorShown_ = false; });
  box->show();
}

bool CaptureController::confirmQuit() {
  // A picture being written gets a moment to finish.
  if (queue().flush(std::chrono::milliseconds(3000))) return true;
  const size_t n = queue().pending();
  auto text = [&](Text id) {
    return QString::fromStdString(substitute(texts_[id], "%n", std::to_string(n)));
  };
  QMessageBox box(QMessageBox::Warning, QApplication::applicationDisplayName(), text(Text::QuitWaiting),
                  QMessageBox::NoButton, window_);
  box.setObjectName("quitBox");
  box.setTextFormat(Qt::PlainText);
  box.setInformativeText(text(Text::QuitWaitingInfo));
  QPushButton* elsewhere = box.addButton(text(Text::SaveElsewhere), QMessageBox::AcceptRole);
  QPushButton* discard = box.addButton(text(Text::Discard), QMessageBox::DestructiveRole);
  box.addButton(QMessageBox::Cancel);
  box.setDefaultButton(elsewhere);
  box.exec();
  if (box.clickedButton() == discard) {
    queue().discard();
    return true;
  }
  if (box.clickedButton() != elsewhere) return false;
  const QString chosen = QFileDialog::getExistingDirectory(window_, QString::fromStdString(texts_[Text::ChooseDirectory]));
  if (chosen.isEmpty()) return false;
  std::string directory = chosen.toStdString();
  if (directory.back() != '/') directory += '/';
  setOutputDirectory(directory);
  if (queue().flush(std::chrono::milliseconds(60000))) return true;
  showError(QString::fromStdString(texts_[Text::QuitWaiting]).replace("%n", QString::number(queue().pending()),
                                                                       Qt::CaseInsensitive),
            waitingReason_);
  return false;
}

}  // namespace pixkeep
