// TessaronDesktop: the desktop application's one window over its one model.
#include "app/desktop_window.h"
#include "app/model_bridge.h"
#include "app/single_instance.h"
#include "app/style.h"
#include "model/desktop_model.h"
#include "platform/system_opener.h"

#include <QApplication>
#include <QDir>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

// A request to end the program (SIGTERM from the system or `kill`, SIGINT and SIGHUP from a
// terminal) quits it the normal way, so that the model's shutdown ends what it runs. The signal
// handler only writes a byte to a pipe that the event loop watches.
int terminationPipe[2] = {-1, -1};

void onTermination(int) {
    const int saved = errno;
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(terminationPipe[1], &byte, 1);
    errno = saved;
}

void quitOnTermination(QCoreApplication& application) {
    if (::pipe2(terminationPipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
    auto* notifier = new QSocketNotifier(terminationPipe[0], QSocketNotifier::Read, &application);
    QObject::connect(notifier, &QSocketNotifier::activated, &application, [] {
        char bytes[16];
        while (::read(terminationPipe[0], bytes, sizeof bytes) > 0) {
        }
        QCoreApplication::quit();
    });
    struct sigaction action {};
    action.sa_handler = onTermination;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int signal : {SIGTERM, SIGINT, SIGHUP}) ::sigaction(signal, &action, nullptr);
}

}  // namespace

int main(int argc, char** argv) {
    using namespace tessaron::desktop;
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Tessaron"));
    QApplication::setOrganizationName(QStringLiteral("Tessaron"));
    QApplication::setQuitOnLastWindowClosed(true);

    SingleInstance instance(SingleInstance::defaultFolder(), SingleInstance::defaultName());
    if (instance.forwardToRunning()) return 0;

    quitOnTermination(application);
    style::applyApplicationLook();
    const QDir macOS(QCoreApplication::applicationDirPath());
    SystemOpener opener;
    DesktopModelOptions options;
    options.releaseInstance = [&instance] { instance.release(); };
    options.reclaimInstance = [&instance] { instance.listen(); };
    DesktopModel model(macOS.filePath(QStringLiteral("tessaron")).toStdString(), opener, std::move(options));
    ModelBridge bridge(model);
    DesktopWindow window(bridge, macOS.filePath(QStringLiteral("../Resources/logo.png")));
    bridge.attach(window);
    QObject::connect(&instance, &SingleInstance::activated, &window, [&window] {
        window.showNormal();
        window.raise();
        window.activateWindow();
    });
    QObject::connect(&application, &QCoreApplication::aboutToQuit, &model, [&model] { model.shutdown(); });
    window.show();
    return application.exec();
}
