// tessaron-desktop-screens DIR: draws the window in each of its main states, as a person would
// see it, into DIR/<state>.png. The states are composed from the same fields the model publishes;
// the window, its cards and its rules are the program's own.
#include "app/desktop_window.h"
#include "app/overlays.h"
#include "app/sample_states.h"
#include "app/style.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QScrollArea>
#include <QTimer>
#include <QToolButton>

#include <cstdio>
#include <functional>
#include <vector>

namespace {

using namespace tessaron;
using namespace tessaron::desktop;
using namespace tessaron::desktop::samples;

struct Screen {
    const char* name;
    ViewState state;
    std::function<void(DesktopWindow&)> then;
};

template <typename T>
void click(DesktopWindow& window, const char* name) {
    if (auto* button = window.findChild<T*>(QString::fromLatin1(name))) button->click();
}

void openDisclosure(DesktopWindow& window, const char* title) {
    for (auto* button : window.findChildren<QToolButton*>())
        if (button->text() == QString::fromUtf8(title)) button->setChecked(true);
}

void settle() {
    for (int turn = 0; turn < 5; ++turn) QApplication::processEvents();
}

}  // namespace

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: tessaron-desktop-screens DIR\n");
        return 2;
    }
    style::applyApplicationLook();
    const QDir folder(QString::fromLocal8Bit(argv[1]));
    if (!QDir().mkpath(folder.path())) {
        std::fprintf(stderr, "tessaron-desktop-screens: cannot create %s\n", argv[1]);
        return 1;
    }

    ViewState account = unpaired();
    ViewState createAccount = unpaired();
    createAccount.onboardingStep = OnboardingStep::createAccount;
    ViewState signIn = unpaired();
    signIn.onboardingStep = OnboardingStep::signIn;
    ViewState connect = unpaired();
    connect.onboardingStep = OnboardingStep::connect;
    ViewState connectBusy = connect;
    connectBusy.settingUp = true;
    connectBusy.running = true;
    ViewState form = unpaired();
    form.onboardingSkipped = true;
    ViewState existing = form;
    existing.vmExists = true;
    existing.allocation = "4 CPUs \u00B7 8 GiB RAM";
    ViewState failed = setup("failed", true);
    failed.error = "Setup could not finish. Review the activity log, then resume setup. Your existing server and files "
                   "are preserved.";
    ViewState update = running();
    update.latestVersion = "0.2.0";
    update.latestDownloadURL = "https://panel.tessaron.invalid/download";
    ViewState move = unpaired();
    move.durablyInstalled = false;
    move.bundleFolder = "/Users/ada/Downloads";
    ViewState unsupported = unpaired();
    unsupported.support = intel();
    ViewState loading = running();
    loading.showResources = true;
    loading.loadingResources = true;
    ViewState custom = withResources(stopped(), "Stopped");
    custom.resources = DesktopResources{4, 7.5, "Stopped", {1, 10, 2, 24}};
    custom.resourceCPU = 4;
    custom.resourceMemory = 7;

    const std::vector<Screen> screens{
        {"01-welcome-account", account, {}},
        {"02-welcome-create-account-opened", createAccount, [](DesktopWindow& w) { click<QAbstractButton>(w, "welcomeMain"); }},
        {"03-welcome-sign-in", signIn, {}},
        {"04-welcome-connect", connect, {}},
        {"05-welcome-connect-setting-up", connectBusy, {}},
        {"06-onboarding-form-advanced", form, [](DesktopWindow& w) { openDisclosure(w, "Advanced settings"); }},
        {"07-onboarding-form-existing-server", existing, {}},
        {"08-pairing-code-waiting", setup("awaiting_account", false), {}},
        {"09-pairing-preparing", setup("creating_vm", true), {}},
        {"10-pairing-failed", failed, {}},
        {"11-pairing-complete", setup("complete", true), {}},
        {"12-dashboard-running", running(), {}},
        {"13-dashboard-stopped", stopped(), {}},
        {"14-dashboard-public-access-paused", paused(), {}},
        {"15-dashboard-restart-confirmation", running(), [](DesktopWindow& w) { click<QAbstractButton>(w, "restartServer"); }},
        {"16-dashboard-turn-off-confirmation", running(), [](DesktopWindow& w) { click<QAbstractButton>(w, "powerServer"); }},
        {"17-resource-sheet", withResources(running(), "Running"), {}},
        {"18-resource-sheet-restart-confirmation", withResources(running(), "Running"),
         [](DesktopWindow& w) { click<QAbstractButton>(w, "applyResources"); }},
        {"19-resource-sheet-loading", loading, {}},
        {"20-resource-sheet-custom-memory-stopped", custom, {}},
        {"21-update-banner", update, {}},
        {"22-move-to-applications-banner", move, {}},
        {"23-unsupported-hardware-banner", unsupported, {}},
        {"24-connection-details", running(), [](DesktopWindow& w) { openDisclosure(w, "Connection details"); }},
    };

    RecordingActions actions;
    int written = 0;
    for (const Screen& screen : screens) {
        DesktopWindow window(actions);
        window.setState(screen.state);
        window.show();
        settle();
        if (screen.then) screen.then(window);
        settle();
        // Tall enough for the whole column, so that one picture shows the whole screen.
        const int height = std::clamp(window.scrollArea()->widget()->sizeHint().height(), 550, 2400);
        window.resize(640, height);
        settle();
        const QString path = folder.filePath(QString::fromLatin1(screen.name) + QStringLiteral(".png"));
        if (!window.grab().save(path)) {
            std::fprintf(stderr, "tessaron-desktop-screens: cannot write %s\n", qPrintable(path));
            return 1;
        }
        ++written;
    }
    std::printf("%d pictures in %s\n", written, qPrintable(folder.absolutePath()));
    return 0;
}
