// TessaronDesktop: the desktop application's one window over its one model.
#include "app/desktop_window.h"
#include "app/model_bridge.h"
#include "app/single_instance.h"
#include "app/style.h"
#include "model/desktop_model.h"
#include "platform/quit_signals.h"
#include "platform/system_opener.h"

#include <QApplication>
#include <QDir>

int main(int argc, char** argv) {
    using namespace tessaron::desktop;
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Tessaron"));
    QApplication::setOrganizationName(QStringLiteral("Tessaron"));
    QApplication::setQuitOnLastWindowClosed(true);

    SingleInstance instance(SingleInstance::defaultFolder(), SingleInstance::defaultName());
    if (instance.forwardToRunning()) return 0;

    QuitSignals quitSignals;
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
