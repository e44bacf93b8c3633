// One window per user and home: a second launch finds the first, asks it to come forward and
// exits; a socket left behind by a crashed launch does not keep the next one from starting.
#include "app/single_instance.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QUuid>

#include <functional>
#include <thread>

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

// Handles events for up to 10 s until `done`.
bool eventually(const std::function<bool()>& done) {
    QElapsedTimer clock;
    clock.start();
    while (!done() && clock.elapsed() < 10'000) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    return done();
}

TEST(SingleInstance, SecondLaunchBringsTheFirstForward) {
    application();
    const QString name = uniqueName();
    SingleInstance first(name);
    int activations = 0;
    QObject::connect(&first, &SingleInstance::activated, [&] { ++activations; });
    ASSERT_FALSE(first.forwardToRunning()) << "nobody runs yet: this one starts";

    // The second launch blocks while it asks, so the first answers from another thread's view:
    // run the ask on a worker and let this thread serve.
    bool forwarded = false;
    std::thread second([&] {
        SingleInstance again(name);
        forwarded = again.forwardToRunning();
    });
    EXPECT_TRUE(eventually([&] { return activations == 1; }));
    second.join();
    EXPECT_TRUE(forwarded);

    EXPECT_FALSE(SingleInstance(uniqueName()).forwardToRunning()) << "another name is another window";
}

TEST(SingleInstance, ASocketLeftByACrashDoesNotBlockTheNextLaunch) {
    application();
    const QString name = uniqueName();
    const QString leftover = QDir::temp().filePath(name);
    {
        QFile file(leftover);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    }
    SingleInstance next(name);
    EXPECT_FALSE(next.forwardToRunning());
    std::thread later([&] { EXPECT_TRUE(SingleInstance(name).forwardToRunning()); });
    int activations = 0;
    QObject::connect(&next, &SingleInstance::activated, [&] { ++activations; });
    EXPECT_TRUE(eventually([&] { return activations == 1; })) << "the new instance listens in its place";
    later.join();
}

}  // namespace
}  // namespace tessaron::desktop
