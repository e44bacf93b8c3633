// One window per user and home: a second launch finds the first, asks it to come forward and
// exits; a socket left behind by a crashed launch does not keep the next one from starting; a
// folder or socket that another user made first is never handed over to.
#include "app/single_instance.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QTemporaryDir>
#include <QUuid>

#include <functional>
#include <thread>

#include <sys/stat.h>
#include <unistd.h>

namespace tessaron::desktop {
namespace {

QCoreApplication& application() {
    static int argc = 1;
    static char name[] = "single_instance_test";
    static char* argv[] = {name, nullptr};
    static auto* instance = new QCoreApplication(argc, argv);
    return *instance;
}

QString uniqueName() { return QStringLiteral("tessaron-test-") + QUuid::createUuid().toString(QUuid::Id128).left(12); }

// Handles events for up to `milliseconds` until `done`.
bool eventually(const std::function<bool()>& done, int milliseconds = 10'000) {
    QElapsedTimer clock;
    clock.start();
    while (!done() && clock.elapsed() < milliseconds) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    return done();
}

TEST(SingleInstance, SecondLaunchBringsTheFirstForward) {
    application();
    QTemporaryDir folder;
    const QString name = uniqueName();
    SingleInstance first(folder.path(), name);
    int activations = 0;
    QObject::connect(&first, &SingleInstance::activated, [&] { ++activations; });
    ASSERT_FALSE(first.forwardToRunning()) << "nobody runs yet: this one starts";

    // The second launch blocks while it asks, so the first answers from another thread's view:
    // run the ask on a worker and let this thread serve.
    bool forwarded = false;
    std::thread second([&] {
        SingleInstance again(folder.path(), name);
        forwarded = again.forwardToRunning();
    });
    EXPECT_TRUE(eventually([&] { return activations == 1; }));
    second.join();
    EXPECT_TRUE(forwarded);

    EXPECT_FALSE(SingleInstance(folder.path(), uniqueName()).forwardToRunning()) << "another name is another window";

    // Given up (before a moved copy starts), the endpoint is the next launch's.
    first.release();
    SingleInstance successor(folder.path(), name);
    EXPECT_FALSE(successor.forwardToRunning()) << "the next launch starts on its own";
    EXPECT_FALSE(first.listen()) << "the name is the successor's now";
}

TEST(SingleInstance, ASocketLeftByACrashDoesNotBlockTheNextLaunch) {
    application();
    QTemporaryDir folder;
    const QString name = uniqueName();
    {
        QFile file(QDir(folder.path()).filePath(name));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    }
    SingleInstance next(folder.path(), name);
    EXPECT_FALSE(next.forwardToRunning());
    std::thread later([&] { EXPECT_TRUE(SingleInstance(folder.path(), name).forwardToRunning()); });
    int activations = 0;
    QObject::connect(&next, &SingleInstance::activated, [&] { ++activations; });
    EXPECT_TRUE(eventually([&] { return activations == 1; })) << "the new instance listens in its place";
    later.join();
}

// Another local user who made the folder, or a socket in it, before this user's first launch: the
// launch hands over to nobody (the window opens) and leaves the other socket in place.
TEST(SingleInstance, AnEndpointOfAnotherUserIsNeverUsed) {
    application();
    if (::geteuid() != 0) GTEST_SKIP() << "giving a folder to another user needs root";
    const uid_t user = 4242;  // the launching user; the socket's own (root) is another one
    struct Row {
        const char* name;
        uid_t launchedBy;
        uid_t owner;  // of the folder
        mode_t mode;
        bool throughLink;
    };
    for (const Row& row : {Row{"the user's own folder and socket", 0, 0, 0700, false},
                           Row{"the other user's folder", user, 0, 0700, false},
                           Row{"the user's folder, open to everyone", user, user, 0777, false},
                           Row{"a link to the user's folder", user, user, 0700, true},
                           Row{"the other user's socket in the user's folder", user, user, 0700, false}}) {
        const bool same = row.launchedBy == 0;
        QTemporaryDir base;
        const QString folder = QDir(base.path()).filePath(QStringLiteral("tessaron"));
        ASSERT_TRUE(QDir().mkdir(folder));
        const QString name = uniqueName();
        QLocalServer listener;  // runs as root
        ASSERT_TRUE(listener.listen(QDir(folder).filePath(name)));
        QByteArray received;
        QObject::connect(&listener, &QLocalServer::newConnection, [&] {
            QLocalSocket* peer = listener.nextPendingConnection();
            QObject::connect(peer, &QLocalSocket::readyRead, [&received, peer] { received += peer->readAll(); });
        });
        ASSERT_EQ(::chown(QFile::encodeName(folder).constData(), row.owner, 0), 0);
        ASSERT_EQ(::chmod(QFile::encodeName(folder).constData(), row.mode), 0);
        QString used = folder;
        if (row.throughLink) {
            used = QDir(base.path()).filePath(QStringLiteral("link"));
            ASSERT_TRUE(QFile::link(folder, used));
        }

        EXPECT_EQ(SingleInstance(used, name, row.launchedBy).forwardToRunning(), same) << row.name;
        eventually([&] { return !received.isEmpty(); }, same ? 10'000 : 300);
        EXPECT_EQ(received, same ? QByteArray("activate\n") : QByteArray()) << row.name;
        EXPECT_TRUE(QFileInfo::exists(QDir(folder).filePath(name))) << row.name << ": the listener's socket stays";
    }
}

}  // namespace
}  // namespace tessaron::desktop
