// TessaronMenuBar: the menu-bar companion. launchd starts it at login from
// Tessaron.app/Contents/Library/LoginItems/TessaronMenuBar.app; it shows the server's
// state in the system tray and runs the bundle's `tessaron` for every read and action.
#include "app/menu_bar_tray.h"
#include "app/message_box_confirmer.h"
#include "platform/quit_signals.h"
#include "host/paths.h"
#include "model/menu_controller.h"
#include "platform/system_opener.h"

#include <QApplication>

using namespace tessaron;

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("TessaronMenuBar"));
    // Closing an alert must not end the program: it has no window of its own.
    QApplication::setQuitOnLastWindowClosed(false);
    // Made first, so that a second signal during the shutdown below cannot cut it short.
    desktop::QuitSignals quitSignals;

    const auto ownBundle = bundle::mainBundle();
    menubar::MenuController::Dependencies dependencies;
    dependencies.runner = std::make_shared<menubar::TessaronCommandRunner>(
        []() -> std::optional<std::filesystem::path> {
            const auto bundle = bundle::mainBundle();
            if (!bundle) return std::nullopt;
            return menubar::tessaronProgram(*bundle);
        });
    desktop::SystemOpener opener;
    menubar::MessageBoxConfirmer confirmer;
    dependencies.opener = &opener;
    dependencies.confirmer = &confirmer;
    dependencies.application = ownBundle ? menubar::enclosingApplication(*ownBundle) : std::filesystem::path();

    menubar::MenuController controller(std::move(dependencies));
    menubar::MenuBarTray tray(controller);
    tray.show();
    controller.start();
    const int status = QApplication::exec();
    // Runs under way are given up, which ends their programs; the controller's end waits for
    // that (about a second), not for their time-outs.
    controller.stop();
    return status;
}
