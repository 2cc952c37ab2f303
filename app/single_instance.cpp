#include "app/single_instance.h"

#include <unistd.h>

#include <QDeadlineTimer>
#include <QDir>
#include <QLocalSocket>
#include <QStandardPaths>
#include <QThread>

namespace orbanix::app {

namespace {
constexpr char kShowRequest[] = "show\n";
constexpr char kShowAnswer[] = "ok\n";
}  // namespace

SingleInstance::SingleInstance(const QString& name, QObject* parent) : QObject(parent), name_(name) {
  connect(&server_, &QLocalServer::newConnection, this, &SingleInstance::OnConnection);
}

SingleInstance::~SingleInstance() { server_.close(); }

QString SingleInstance::DefaultName() {
  return QStringLiteral("Corvane_Orbanix_2014_For_Linux_%1").arg(static_cast<qulonglong>(getuid()));
}

bool SingleInstance::Acquire() {
  QString folder = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
  if (folder.isEmpty()) folder = QDir::tempPath();
  lock_ = std::make_unique<QLockFile>(QDir(folder).filePath(name_ + QStringLiteral(".lock")));
  // A lock left by a crashed run names a dead process and is taken over.
  lock_->setStaleLockTime(0);
  if (!lock_->tryLock(0)) {
    lock_.reset();
    return false;
  }
  // The socket of a crashed run may still exist; we hold the lock, so it is stale.
  QLocalServer::removeServer(name_);
  server_.setSocketOptions(QLocalServer::UserAccessOption);
  server_.listen(name_);
  return true;
}

bool SingleInstance::AskRunningToShow(int timeoutMs) {
  QDeadlineTimer deadline(timeoutMs);
  // The first start may hold the lock a moment before it listens.
  while (!deadline.hasExpired()) {
    QLocalSocket socket;
    socket.connectToServer(name_);
    if (socket.waitForConnected(static_cast<int>(std::min<qint64>(500, deadline.remainingTime())))) {
      socket.write(kShowRequest);
      socket.flush();
      if (socket.waitForBytesWritten(static_cast<int>(deadline.remainingTime())) || socket.bytesToWrite() == 0) {
        while (!deadline.hasExpired() && !socket.canReadLine()) {
          if (!socket.waitForReadyRead(static_cast<int>(deadline.remainingTime()))) break;
        }
        if (socket.canReadLine() && socket.readLine() == kShowAnswer) return true;
      }
      return false;
    }
    QThread::msleep(50);
  }
  return false;
}

void SingleInstance::OnConnection() {
  while (QLocalSocket* socket = server_.nextPendingConnection()) {
    connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
    connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
      while (socket->canReadLine()) {
        if (socket->readLine() == kShowRequest) {
          emit showRequested();
          socket->write(kShowAnswer);
          socket->flush();
        }
      }
    });
  }
}

}  // namespace orbanix::app
