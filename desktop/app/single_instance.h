#pragma once
// One window application per user and home folder: the first launch listens on a local socket;
// a later launch finds it, asks it to bring its window forward, and exits.
//
// The socket lives in a folder of the user's own (created with mode 0700), and a launch hands
// over only to a listener that runs as the same user: a folder or a socket that another local
// user made first is never trusted, so it cannot keep the window from opening.
#include <QObject>
#include <QString>

#include <sys/types.h>
#include <unistd.h>

class QLocalServer;

namespace tessaron::desktop {

class SingleInstance : public QObject {
    Q_OBJECT
public:
    // `folder`: the private folder that holds the socket, made when missing; used only while it
    // is a real folder (not a link) owned by `user` that nobody else may enter. `name`: the
    // socket's name in it; the same for every launch that should share one window.
    SingleInstance(QString folder, QString name, uid_t user = ::getuid(), QObject* parent = nullptr);

    // True when another instance of the same user answered and was asked to come forward; this
    // one should exit. Otherwise this instance listens (when the folder can be trusted), and
    // activated() fires when a later launch asks.
    bool forwardToRunning();

    // Stops listening and removes the socket, so that a launch from now on starts on its own
    // instead of handing over to this instance (used before this one starts its successor).
    void release();
    // Listens again after release(); false when the folder cannot be trusted or another
    // instance took the name meanwhile.
    bool listen();

    // <runtime folder, else the temporary folder>/tessaron-<uid>, and a name per home folder.
    static QString defaultFolder();
    static QString defaultName();

signals:
    void activated();

private:
    // The folder, made if missing, when it can be trusted.
    bool privateFolder() const;

    QString folder_;
    QString name_;
    uid_t user_;
    QLocalServer* server_ = nullptr;
};

}  // namespace tessaron::desktop
