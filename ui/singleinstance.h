// One capturer per user and display: two would race for every picture. The
// first program started holds a lock in the user's runtime directory and
// listens on a local socket beside it; a later start finds the lock taken,
// asks the running program through the socket to show its window, and ends.
#pragma once

#include <QObject>
#include <QString>
#include <memory>

#include "platform/instancelock.h"

QT_BEGIN_NAMESPACE
class QLocalServer;
QT_END_NAMESPACE

namespace pixkeep {

class SingleInstance : public QObject {
  Q_OBJECT
 public:
  // The names in `directory` (ending in '/') made from `display`, a key from displayKey().
  SingleInstance(const std::string& directory, const std::string& display, QObject* parent = nullptr);
  ~SingleInstance() override;

  // Held: this is the running program, and it listens. HeldByAnother: another
  // program runs for the user and display. Unavailable: no lock could be made
  // (no runtime directory); the program runs without one.
  InstanceLock::State state() const { return lock_->state(); }
  // Whether the running program listens (Held only).
  bool listening() const;
  // HeldByAnother: asks the running program to show its window, waiting up
  // to `timeoutMs` (it may be starting up itself) for its answer; false
  // when none came. Runs the event loop meanwhile.
  bool askToShow(int timeoutMs);

  QString socketName() const { return socket_; }

 signals:
  // A later start asked for the window.
  void showRequested();

 private:
  void answer();

  std::unique_ptr<InstanceLock> lock_;
  QString socket_;
  QLocalServer* server_ = nullptr;
};

// The instance of this process for the display it runs on ($DISPLAY, else
// $WAYLAND_DISPLAY), in the user's runtime directory.
std::unique_ptr<SingleInstance> singleInstanceForThisDisplay();

}  // namespace pixkeep
