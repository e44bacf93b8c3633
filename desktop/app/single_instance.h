#pragma once
// One window application per user and home folder: the first launch listens on a local socket;
// a later launch finds it, asks it to bring its window forward, and exits.
#include <QObject>
#include <QString>

class QLocalServer;

namespace tessaron::desktop {

class SingleInstance : public QObject {
    Q_OBJECT
public:
    // `name`: the socket's name; the same for every launch that should share one window.
    explicit SingleInstance(QString name, QObject* parent = nullptr);

    // True when another instance answered and was asked to come forward; this one should exit.
    // Otherwise this instance now listens, and activated() fires when a later launch asks.
    bool forwardToRunning();

    // The name for the current user and home folder.
    static QString defaultName();

signals:
    void activated();

private:
    QString name_;
    QLocalServer* server_ = nullptr;
};

}  // namespace tessaron::desktop
