#include "ui/SingleInstance.h"

#include <unistd.h>

#include <QCryptographicHash>
#include <QDir>
#include <QLocalSocket>

namespace norva::ui {
namespace {
constexpr char kRequest[] = "show\n";
constexpr char kAnswer[] = "shown\n";
}  // namespace

QString InstanceName(const QString& folder) {
  const QByteArray path = QDir(folder).absolutePath().toUtf8();
  const QByteArray hash = QCryptographicHash::hash(path, QCryptographicHash::Sha256).toHex();
  return QString("norva-%1-%2").arg(::getuid()).arg(QString::fromLatin1(hash.left(24)));
}

bool AskRunningInstanceToShow(const QString& folder, int timeoutMs) {
  QLocalSocket socket;
  socket.connectToServer(InstanceName(folder));
  if (!socket.waitForConnected(timeoutMs)) return false;
  socket.write(kRequest);
  if (!socket.waitForBytesWritten(timeoutMs)) return false;
  while (!socket.canReadLine())
    if (!socket.waitForReadyRead(timeoutMs)) return false;
  return socket.readLine() == kAnswer;
}

SingleInstance::SingleInstance(const QString& folder, QObject* parent) : QObject(parent) {
  const QString name = InstanceName(folder);
  server_.setSocketOptions(QLocalServer::UserAccessOption);
  if (!server_.listen(name)) {
    QLocalServer::removeServer(name);  // left by a run that ended without closing it
    server_.listen(name);
  }
  connect(&server_, &QLocalServer::newConnection, this, [this] {
    while (QLocalSocket* socket = server_.nextPendingConnection()) {
      connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
      connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
        if (!socket->canReadLine()) {
          if (socket->bytesAvailable() > 64) socket->abort();  // not one of ours
          return;
        }
        if (socket->readLine() != kRequest) {
          socket->abort();
          return;
        }
        socket->write(kAnswer);
        socket->flush();
        emit ShowRequested();
      });
    }
  });
}

}  // namespace norva::ui
