// One capturer per user and display: two would race for every picture. The
// first program started holds a lock in a directory of the user's own
// (platform/instancelock.h says which) and listens on a local socket beside
// it; a later start finds the lock taken, asks the running program through
// the socket to show its window, and ends. A start trusts only a program
// of the same user at the other end of that socket.
//
// When the lock cannot be had (a symbolic link or another file at its name),
// a start still looks for a running program on the socket and hands over to
// it; finding none, it runs without a lock and listens on that socket
// itself, so that the next start finds it there. With no private directory
// at all there is neither a lock nor a socket.
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
  // The names in `place` made from `display`, a key from displayKey().
  SingleInstance(const RuntimeDirectory& place, const std::string& display, QObject* parent = nullptr);
  ~SingleInstance() override;

  // Held: this is the running program, and it listens. HeldByAnother: another
  // program runs for the user and display. Unavailable: no lock could be
  // had; problem() says why.
  InstanceLock::State state() const { return lock_->state(); }
  // Unavailable: one line naming the file or the directories refused and
  // why ("/run/user/1000/pixkeep-0.lock is a symbolic link").
  std::string problem() const;
  // Whether this program listens for later starts.
  bool listening() const;
  // Unavailable: whether a program of this user answers on the socket (one
  // that started while the lock could still be had, or one that runs
  // without a lock as well); askToShow() then asks it. Waits at most
  // `timeoutMs` for the connection.
  bool anotherListens(int timeoutMs);
  // Unavailable and nobody listening: listens on the socket all the same
  // (when there is a place for one), for the next start to find.
  void listenWithoutLock();
  // HeldByAnother, or Unavailable once anotherListens(): asks the running
  // program to show its window, waiting up to `timeoutMs` (it may be
  // starting up itself) for its answer; false when none came, or when what
  // listens there runs as another user. Runs the event loop meanwhile.
  bool askToShow(int timeoutMs);

  QString socketName() const { return socket_; }

 signals:
  // A later start asked for the window.
  void showRequested();

 private:
  void answer();
  void listen();

  RuntimeDirectory place_;
  std::string lockPath_;
  std::unique_ptr<InstanceLock> lock_;
  QString socket_;
  QLocalServer* server_ = nullptr;
};

// The instance of this process for the display it runs on ($DISPLAY, else
// $WAYLAND_DISPLAY), in the user's directory for it (userRuntimeDirectory()).
std::unique_ptr<SingleInstance> singleInstanceForThisDisplay();

}  // namespace pixkeep
