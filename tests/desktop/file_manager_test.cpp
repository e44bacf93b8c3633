// "Show me the app" in the desktop's file manager: the bundle goes as a file URI to the freedesktop
// FileManager1 service on the session bus; with no file manager there, or one that answers with
// an error, the caller's fallback (opening the holding folder) runs instead.
#include "platform/system_opener.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <atomic>
#include <functional>
#include <mutex>
#include <vector>

namespace tessaron::desktop {
namespace {

QCoreApplication& application() {
    static int argc = 1;
    static char name[] = "file_manager_test";
    static char* argv[] = {name, nullptr};
    static auto* instance = new QCoreApplication(argc, argv);
    return *instance;
}

// Handles events for up to 30 s until `done`.
bool eventually(const std::function<bool()>& done) {
    QElapsedTimer clock;
    clock.start();
    while (!done() && clock.elapsed() < 30'000) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    return done();
}

// A session bus of the test's own that starts no services, ended with the test.
class PrivateBus {
public:
    PrivateBus() {
        const QString daemon = QStandardPaths::findExecutable(QStringLiteral("dbus-daemon"));
        QFile config(folder_.filePath(QStringLiteral("bus.conf")));
        if (daemon.isEmpty() || !config.open(QIODevice::WriteOnly)) return;
        config.write("<busconfig><type>session</type><listen>unix:tmpdir=/tmp</listen>"
                     "<policy context=\"default\"><allow send_destination=\"*\" eavesdrop=\"true\"/>"
                     "<allow eavesdrop=\"true\"/><allow own=\"*\"/></policy>"
                     "</busconfig>");
        config.close();
        process_.setStandardInputFile(QProcess::nullDevice());
        process_.start(daemon, {QStringLiteral("--config-file=") + config.fileName(), QStringLiteral("--nofork"),
                                QStringLiteral("--print-address=1")});
        if (process_.waitForReadyRead(10'000)) address_ = QString::fromUtf8(process_.readLine()).trimmed();
    }
    ~PrivateBus() {
        process_.terminate();
        if (!process_.waitForFinished(5'000)) process_.kill();
        process_.waitForFinished(5'000);
    }
    QString address() const { return address_; }

private:
    QTemporaryDir folder_;
    QProcess process_;
    QString address_;
};

// Records the calls it gets and answers each, with an error while `failing`.
class FakeFileManager final : public QDBusVirtualObject {
public:
    QString introspect(const QString&) const override { return {}; }
    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
        {
            const std::lock_guard lock(mutex_);
            calls_.push_back(message);
        }
        QDBusConnection(connection)
            .send(failing ? message.createErrorReply(QDBusError::Failed, QStringLiteral("no window")) : message.createReply());
        return true;
    }
    std::vector<QDBusMessage> calls() {
        const std::lock_guard lock(mutex_);
        return calls_;
    }
    std::atomic<bool> failing = false;

private:
    std::mutex mutex_;
    std::vector<QDBusMessage> calls_;
};

TEST(FileManager, ShowsTheItemSelectedOrFallsBack) {
    application();
    PrivateBus bus;
    if (bus.address().isEmpty()) GTEST_SKIP() << "no dbus-daemon to run a bus of the test's own";
    QDBusConnection client = QDBusConnection::connectToBus(bus.address(), QStringLiteral("client"));
    QDBusConnection manager = QDBusConnection::connectToBus(bus.address(), QStringLiteral("manager"));
    ASSERT_TRUE(client.isConnected());
    ASSERT_TRUE(manager.isConnected());
    const QUrl bundle = QUrl::fromLocalFile(QStringLiteral("/Users/ada/My Downloads/Tessaron.app"));
    int fallbacks = 0;
    const auto fallBack = [&] { ++fallbacks; };

    // No file manager on the bus, and no bus at all.
    showItemInFileManager(client, bundle, fallBack);
    EXPECT_TRUE(eventually([&] { return fallbacks == 1; }));
    showItemInFileManager(QDBusConnection(QStringLiteral("not connected")), bundle, fallBack);
    EXPECT_EQ(fallbacks, 2);

    FakeFileManager fake;
    ASSERT_TRUE(manager.registerVirtualObject(QStringLiteral("/org/freedesktop/FileManager1"), &fake));
    ASSERT_TRUE(manager.registerService(QStringLiteral("org.freedesktop.FileManager1")));
    showItemInFileManager(client, bundle, fallBack);
    ASSERT_TRUE(eventually([&] { return fake.calls().size() == 1; }));
    const QDBusMessage call = fake.calls()[0];
    EXPECT_EQ(call.interface(), QStringLiteral("org.freedesktop.FileManager1"));
    EXPECT_EQ(call.member(), QStringLiteral("ShowItems"));
    EXPECT_EQ(call.signature(), QStringLiteral("ass"));
    EXPECT_EQ(call.arguments().value(0).toStringList(),
              QStringList{QStringLiteral("file:///Users/ada/My%20Downloads/Tessaron.app")});

    // A file manager that fails falls back; the answered call before it did not (replies come
    // back in order, so the first has been handled once the second's fallback ran).
    fake.failing = true;
    showItemInFileManager(client, bundle, fallBack);
    EXPECT_TRUE(eventually([&] { return fallbacks == 3; }));
    EXPECT_EQ(fake.calls().size(), 2u);

    manager.unregisterObject(QStringLiteral("/org/freedesktop/FileManager1"));
}

}  // namespace
}  // namespace tessaron::desktop
