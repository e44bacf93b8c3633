#include "app/single_instance.h"

#include <QCryptographicHash>
#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>

#include <unistd.h>

namespace tessaron::desktop {

namespace {

constexpr int kAnswerMilliseconds = 2000;
const QByteArray kActivate = "activate\n";

}  // namespace

SingleInstance::SingleInstance(QString name, QObject* parent) : QObject(parent), name_(std::move(name)) {}

QString SingleInstance::defaultName() {
    const QByteArray home = QDir::homePath().toUtf8();
    const QByteArray digest = QCryptographicHash::hash(home, QCryptographicHash::Sha256).toHex().left(16);
    return QStringLiteral("tessaron-desktop-%1-%2").arg(::getuid()).arg(QString::fromLatin1(digest));
}

bool SingleInstance::forwardToRunning() {
    QLocalSocket socket;
    socket.connectToServer(name_);
    if (socket.waitForConnected(kAnswerMilliseconds)) {
        socket.write(kActivate);
        socket.waitForBytesWritten(kAnswerMilliseconds);
        socket.disconnectFromServer();
        return true;
    }

    server_ = new QLocalServer(this);
    server_->setSocketOptions(QLocalServer::UserAccessOption);
    if (!server_->listen(name_)) {
        // A socket file left by an instance that crashed: nobody answered on it, so take it over.
        QLocalServer::removeServer(name_);
        server_->listen(name_);
    }
    connect(server_, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* peer = server_->nextPendingConnection()) {
            connect(peer, &QLocalSocket::readyRead, this, [this, peer] {
                if (peer->readAll().contains('\n')) emit activated();
                peer->disconnectFromServer();
            });
            connect(peer, &QLocalSocket::disconnected, peer, &QObject::deleteLater);
        }
    });
    return false;
}

}  // namespace tessaron::desktop
