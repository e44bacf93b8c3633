// tessaron-desktop-screens DIR: draws the window in each of its states, as a person would see it,
// into DIR/<state>.png, each tall enough for the whole column (and two at the window's default and
// smallest sizes). The states are composed from the same fields the model publishes; the window,
// its cards and its rules are the program's own.
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
    QSize size = QSize();  // the window's size; by default as tall as the whole column
};

template <typename T>
void click(DesktopWindow& window, const char* name) {
    if (auto* button = window.findChild<T*>(QString::fromLatin1(name))) button->click();
}

QString titleOf(const QAbstractButton* button) { return button->text().replace(QStringLiteral("&&"), QStringLiteral("&")); }

void clickTitled(DesktopWindow& window, const char* title) {
    for (auto* button : window.findChildren<QAbstractButton*>())
        if (button->isVisible() && titleOf(button) == QString::fromUtf8(title)) return button->click();
}

void openDisclosure(DesktopWindow& window, const char* title) {
    for (auto* button : window.findChildren<QToolButton*>())
        if (titleOf(button) == QString::fromUtf8(title)) button->setChecked(true);
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

    ViewState moving = move;
    moving.movingApp = true;
    ViewState moveFailed = move;
    moveFailed.moveError =
        "Could not copy Tessaron into Applications. Drag Tessaron.app into Applications yourself, then open it from there.";
    ViewState duplicate = move;
    duplicate.installedCopy = "/Applications/Tessaron.app";
    ViewState translocated = move;
    translocated.isTranslocated = true;
    translocated.bundleFolder = "/private/var/folders/kq/7m24xd/T/AppTranslocation/5E1C0A2B/d";
    ViewState banners = move;
    banners.support = intel();
    banners.latestVersion = update.latestVersion;
    banners.latestDownloadURL = update.latestDownloadURL;
    ViewState emptyCode = setup("awaiting_account", true);
    emptyCode.pairingCode.clear();
    ViewState connecting = stopped();
    connecting.canConnect = false;
    connecting.connection = "Connecting\u2026";
    connecting.agentState = "running";
    connecting.resourceActionsBusy = true;
    connecting.canPowerServer = false;
    ViewState checking = stopped();
    checking.checkingConnection = true;
    checking.resourceActionsBusy = true;
    checking.canPowerServer = false;
    ViewState pending = running();
    pending.accessPresentation =
        PublicAccessPresentation::make(PublicAccessStatus{"enabled", false, 1.7e9}, true, true, std::string("disconnect"));
    pending.resourceActionsBusy = true;
    pending.canPowerServer = false;
    ViewState noControls = running();
    noControls.connection = "Connection unknown";
    noControls.tunnelState = "unknown";
    noControls.agentState = "unknown";
    noControls.serverState = "Unknown";
    noControls.publishingPaused.reset();
    noControls.canRestartServer = false;
    noControls.canPowerServer = false;
    noControls.lifecycleError = "Could not load server controls.";
    noControls.connectionDetail = "Could not open the VM resource-operation lock.";
    noControls.accessPresentation = PublicAccessPresentation::make(std::nullopt, false, false, {});
    ViewState loadFailed = running();
    loadFailed.showResources = true;
    loadFailed.resourceError = "Could not open the VM resource-operation lock.";
    ViewState applying = withResources(running(), "Running");
    applying.resizingResources = true;
    applying.resourceActionsBusy = true;
    applying.canPowerServer = false;
    ViewState applyFailed = withResources(running(), "Running");
    applyFailed.resourceError = "The VM did not stop cleanly. No resource edit was attempted.";
    ViewState formSettingUp = form;
    formSettingUp.settingUp = true;
    formSettingUp.running = true;
    ViewState detailed = running();
    detailed.connectionDetail = "The edge relay closed the tunnel; reconnecting in 5 seconds.";
    ViewState emptyLog = running();
    emptyLog.log.clear();
    ViewState longLog = setup("creating_vm", true);
    for (int line = 1; line <= 40; ++line)
        longLog.log += "limactl: [" + std::to_string(line) + "/40] downloading the Linux image\u2026\n";

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
        {"25-move-banner-moving", moving, {}},
        {"26-move-banner-error", moveFailed, {}},
        {"27-move-banner-installed-copy-exists", duplicate, {}},
        {"28-move-banner-temporary-copy-from-downloads", translocated, {}},
        {"29-update-move-and-unsupported-banners", banners, {}},
        {"30-setup-unknown-stage", setup("unknown", false), {}},
        {"31-setup-approved", setup("approved", true), {}},
        {"32-setup-linking", setup("linking", true), {}},
        {"33-setup-code-stage-without-code", emptyCode, {}},
        {"34-setup-code-copied", setup("awaiting_account", true), [](DesktopWindow& w) { clickTitled(w, "Copy code"); }},
        {"35-setup-help-open", setup("creating_vm", true),
         [](DesktopWindow& w) { openDisclosure(w, "About setup & background hosting"); }},
        {"36-dashboard-connecting", connecting, {}},
        {"37-dashboard-checking-connection", checking, {}},
        {"38-dashboard-public-access-pending", pending, {}},
        {"39-dashboard-server-controls-unreadable", noControls, {}},
        {"40-resource-sheet-load-failed", loadFailed, {}},
        {"41-resource-sheet-applying", applying, {}},
        {"42-resource-sheet-apply-failed", applyFailed, {}},
        {"43-onboarding-form-setting-up", formSettingUp, {}},
        {"44-connection-details-with-detail-line", detailed, [](DesktopWindow& w) { openDisclosure(w, "Connection details"); }},
        {"45-connection-details-empty-log", emptyLog, [](DesktopWindow& w) { openDisclosure(w, "Connection details"); }},
        {"46-connection-details-long-log", longLog, [](DesktopWindow& w) { openDisclosure(w, "Connection details"); }},
        {"47-window-default-size", running(), {}, QSize(640, 550)},
        {"48-window-minimum-size", running(), {}, QSize(590, 510)},
    };

    RecordingActions actions;
    int written = 0;
    for (const Screen& screen : screens) {
        DesktopWindow window(actions, QString::fromUtf8(TESSARON_LOGO_FILE));
        window.setState(screen.state);
        window.show();
        settle();
        if (screen.then) screen.then(window);
        settle();
        // Tall enough for the whole column, so that one picture shows the whole screen.
        const int height = std::clamp(window.scrollArea()->widget()->sizeHint().height(), 550, 2400);
        window.resize(screen.size.isValid() ? screen.size : QSize(640, height));
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
