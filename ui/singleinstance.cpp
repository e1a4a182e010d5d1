#include "ui/singleinstance.h"

#include <QElapsedTimer>
#include <QLocalServer>
#include <QLocalSocket>
#include <QThread>
#include <cstdlib>
#include <unistd.h>

namespace pixkeep {

namespace {

constexpr char ShowRequest[] = "show\n";
constexpr char ShownAnswer[] = "shown\n";

std::string placeName(const std::string& directory, const std::string& display, const char* suffix) {
  // Without a directory no name is made: there is then no lock and no socket.
  return directory.empty() ? std::string() : directory + "pixkeep-" + display + suffix;
}

}  // namespace

SingleInstance::SingleInstance(const RuntimeDirectory& place, const std::string& display, QObject* parent)
    : QObject(parent),
      place_(place),
      lockPath_(placeName(place.path, display, ".lock")),
      lock_(std::make_unique<InstanceLock>(lockPath_)),
      socket_(QString::fromStdString(placeName(place.path, display, ".socket"))) {
  if (lock_->state() == InstanceLock::State::Held) listen();
}

std::string SingleInstance::problem() const {
  if (lock_->state() != InstanceLock::State::Unavailable) return {};
  if (place_.path.empty()) return "no private directory for the lock (" + place_.refused + ")";
  return lockPath_ + " " + lock_->problem();
}

void SingleInstance::listen() {
  server_ = new QLocalServer(this);
  server_->setSocketOptions(QLocalServer::UserAccessOption);
  // Whoever listened there before us was killed: holding the lock (or,
  // without one, finding nobody who answers) means nobody listens any more.
  QLocalServer::removeServer(socket_);
  connect(server_, &QLocalServer::newConnection, this, &SingleInstance::answer);
  if (!server_->listen(socket_))
    qWarning("Pixkeep: cannot listen on %s: %s", qPrintable(socket_), qPrintable(server_->errorString()));
}

SingleInstance::~SingleInstance() {
  // The socket goes before the lock: a program started right after this one
  // must not lose its new socket to our closing.
  delete server_;
  lock_.reset();
}

bool SingleInstance::listening() const { return server_ && server_->isListening(); }

bool SingleInstance::anotherListens(int timeoutMs) {
  if (socket_.isEmpty()) return false;
  QLocalSocket socket;
  socket.connectToServer(socket_);
  return socket.waitForConnected(timeoutMs) && peerIsUser(int(socket.socketDescriptor()), ::geteuid());
}

void SingleInstance::listenWithoutLock() {
  if (!socket_.isEmpty() && !server_) listen();
}

void SingleInstance::answer() {
  while (QLocalSocket* client = server_->nextPendingConnection()) {
    connect(client, &QLocalSocket::disconnected, client, &QObject::deleteLater);
    connect(client, &QLocalSocket::readyRead, this, [this, client] {
      while (client->canReadLine()) {
        if (client->readLine() != ShowRequest) continue;
        emit showRequested();
        client->write(ShownAnswer);
        client->flush();
      }
    });
  }
}

bool SingleInstance::askToShow(int timeoutMs) {
  if (socket_.isEmpty()) return false;
  QElapsedTimer elapsed;
  elapsed.start();
  const auto left = [&] { return int(std::max<qint64>(0, timeoutMs - elapsed.elapsed())); };
  while (left() > 0) {
    QLocalSocket socket;
    socket.connectToServer(socket_);
    if (socket.waitForConnected(left())) {
      if (!peerIsUser(int(socket.socketDescriptor()), ::geteuid())) return false;
      socket.write(ShowRequest);
      socket.waitForBytesWritten(left());
      while (!socket.canReadLine() && socket.waitForReadyRead(left())) {
      }
      return socket.canReadLine() && socket.readLine() == ShownAnswer;
    }
    // Not listening yet: the running program is starting up itself.
    QThread::msleep(50);
  }
  return false;
}

std::unique_ptr<SingleInstance> singleInstanceForThisDisplay() {
  const char* x11 = std::getenv("DISPLAY");
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  const std::string display = x11 && *x11 ? x11 : wayland && *wayland ? wayland : "none";
  return std::make_unique<SingleInstance>(userRuntimeDirectory(), displayKey(display));
}

}  // namespace pixkeep
