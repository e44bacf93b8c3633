#include "app/single_instance.h"

#include <QCryptographicHash>
#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>

#include <optional>

#include <sys/socket.h>
#include <sys/stat.h>

namespace tessaron::desktop {

namespace {

constexpr int kAnswerMilliseconds = 2000;
const QByteArray kActivate = "activate\n";

enum class Answer { same, stranger, nobody };

// The user that the process at the other end of a connected local socket runs as.
std::optional<uid_t> peerUser(qintptr descriptor) {
    const int socket = static_cast<int>(descriptor);
#ifdef SO_PEERCRED
    struct ucred credentials {};
    socklen_t length = sizeof credentials;
    if (::getsockopt(socket, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0) return std::nullopt;
    return credentials.uid;
#else
    uid_t user = 0;
    gid_t group = 0;
    if (::getpeereid(socket, &user, &group) != 0) return std::nullopt;
    return user;
#endif
}

// Connects to the socket at `path`; a listener of `user` is asked to come forward.
Answer ask(const QString& path, uid_t user) {
    QLocalSocket socket;
    socket.connectToServer(path);
    if (!socket.waitForConnected(kAnswerMilliseconds)) return Answer::nobody;
    if (peerUser(socket.socketDescriptor()) != user) return Answer::stranger;
    socket.write(kActivate);
    socket.waitForBytesWritten(kAnswerMilliseconds);
    socket.disconnectFromServer();
    return Answer::same;
}

}  // namespace

SingleInstance::SingleInstance(QString folder, QString name, uid_t user, QObject* parent)
    : QObject(parent), folder_(std::move(folder)), name_(std::move(name)), user_(user) {}

QString SingleInstance::defaultFolder() {
    QString base = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!QDir::isAbsolutePath(base)) base = QDir::tempPath();
    return QDir(base).filePath(QStringLiteral("tessaron-%1").arg(::getuid()));
}

QString SingleInstance::defaultName() {
    const QByteArray home = QDir::homePath().toUtf8();
    const QByteArray digest = QCryptographicHash::hash(home, QCryptographicHash::Sha256).toHex().left(16);
    return QStringLiteral("desktop-%1").arg(QString::fromLatin1(digest));
}

bool SingleInstance::privateFolder() const {
    const QByteArray path = QFile::encodeName(folder_);
    ::mkdir(path.constData(), 0700);  // an existing folder is checked like a new one
    struct stat info {};
    return ::lstat(path.constData(), &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == user_ &&
           (info.st_mode & 077) == 0;
}

bool SingleInstance::forwardToRunning() {
    if (!privateFolder()) return false;  // the window opens, without the channel
    const QString socketPath = QDir(folder_).filePath(name_);
    bool taken = false;
    for (int attempt = 0; attempt < 3; ++attempt) {
        switch (ask(socketPath, user_)) {
        case Answer::same: return true;
        case Answer::stranger: return false;  // its socket stays; the window opens, without the channel
        case Answer::nobody: break;
        }
        // Nobody answered just now on a name that the last try found taken: a socket left by
        // an instance that ended. Only then is it removed.
        if (taken) QLocalServer::removeServer(socketPath);
        if (listen()) return false;
        taken = true;
    }
    return false;
}

bool SingleInstance::listen() {
    if (!privateFolder()) return false;
    if (!server_) {
        server_ = new QLocalServer(this);
        connect(server_, &QLocalServer::newConnection, this, [this] {
            while (QLocalSocket* peer = server_->nextPendingConnection()) {
                connect(peer, &QLocalSocket::readyRead, this, [this, peer] {
                    if (peer->readAll().contains('\n')) emit activated();
                    peer->disconnectFromServer();
                });
                connect(peer, &QLocalSocket::disconnected, peer, &QObject::deleteLater);
            }
        });
    }
    // No socket options: they make the server replace whatever has the name, a live socket included.
    return server_->isListening() || server_->listen(QDir(folder_).filePath(name_));
}

void SingleInstance::release() {
    if (server_) server_->close();  // closing removes the socket
}

}  // namespace tessaron::desktop
