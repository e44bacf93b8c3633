// tessaron-desktop-screens DIR: draws the window in each of its main states, as a person would
// see it, into DIR/<state>.png. The states are composed from the same fields the model publishes;
// the window, its cards and its rules are the program's own.
#include "app/desktop_window.h"
#include "app/overlays.h"
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

class NoActions final : public WindowActions {
public:
    void setCPU(int) override {}
    void setMemory(int) override {}
    void setControl(const std::string&) override {}
    void setOnboardingStep(OnboardingStep) override {}
    void skipOnboarding() override {}
    void setResourceCPU(int) override {}
    void setResourceMemory(int) override {}
    void closeResources() override {}
    void leaveSetupCard() override {}
    void setup() override {}
    void openConsole(bool) override {}
    void openConsolePage(const std::string&) override {}
    void openHelp() override {}
    void openURL(const std::string&) override {}
    void installToApplications() override {}
    void showAppInFolder() override {}
    void editResources() override {}
    void applyResources(bool) override {}
    void connect() override {}
    void openTerminal() override {}
    void changePublicAccess() override {}
    void restartServer() override {}
    void power(const std::string&) override {}
    void openConnectionDetails() override {}
    void keepPublicAccessOff() override {}
};

HardwareSnapshot appleSilicon() {
    return {"arm64", "Apple M2 Pro", "Mac14,12", 12, 32ull << 30, 14};
}

// A supported Mac in Applications, not paired, before any refresh.
ViewState fresh() {
    ViewState state;
    state.capacity = {12, 32ull << 30};
    state.support = HardwareSupport::evaluate(appleSilicon());
    state.cpu = 6;
    state.memory = 16;
    state.control = "https://panel.tessaron.invalid";
    state.vmStatus = "Not created yet";
    state.connection = "Not connected";
    state.tunnelState = "not-configured";
    state.hostName = "Studio Mac";
    state.appVersion = "0.1.0";
    return state;
}

SetupProgress progress(const std::string& stage) {
    SetupProgress snapshot;
    snapshot.stage = stage;
    snapshot.code = "KQ7M-24XD";
    snapshot.accountEmail = "ada@example.com";
    snapshot.profile = SetupProfile{"Studio Mac", "Apple M2 Pro", 6, 16};
    return snapshot;
}

ViewState pairing(const std::string& stage, bool withSnapshot) {
    ViewState state = fresh();
    state.showingSetup = true;
    state.settingUp = stage != "failed" && stage != "complete";
    state.running = state.settingUp;
    state.setupStage = stage;
    state.pairingCode = stage == "awaiting_account" ? "KQ7M-24XD" : "";
    if (withSnapshot) state.setupSnapshot = progress(stage);
    state.log = "Waiting for approval in the web panel\u2026\nTESSARON_SETUP_STATE {\"stage\":\"" + stage + "\"}\n";
    return state;
}

// A paired Mac whose server runs and whose public access is live.
ViewState paired() {
    ViewState state = fresh();
    state.paired = true;
    state.vmExists = true;
    state.vmStatus = "Running";
    state.allocation = "6 CPUs \u00B7 16 GiB RAM";
    state.allocatedCPU = 6;
    state.allocatedMemoryGiB = 16;
    state.connection = "Connected";
    state.tunnelState = "connected";
    state.agentState = "running";
    state.serverState = "Running";
    state.publishingPaused = false;
    state.canRestartServer = true;
    state.canPowerServer = true;
    state.powerLabel = "Turn off server";
    state.accessPresentation = PublicAccessPresentation::make(PublicAccessStatus{"enabled", false, 1.7e9}, true, true, {});
    state.log = "Connected over WireGuard.\nPublic access enabled.\n";
    return state;
}

ViewState stopped() {
    ViewState state = paired();
    state.vmStatus = "Stopped";
    state.serverState = "Stopped";
    state.powerLabel = "Start server";
    state.connection = "Offline";
    state.tunnelState = "offline";
    state.agentState = "stopped";
    state.canConnect = true;
    state.canRestartServer = false;
    state.accessPresentation = PublicAccessPresentation::make(std::nullopt, false, true, {});
    return state;
}

ViewState paused() {
    ViewState state = paired();
    state.publishingPaused = true;
    state.accessPresentation = PublicAccessPresentation::make(PublicAccessStatus{"paused", true, 1.7e9}, true, true, {});
    return state;
}

ViewState withResources(ViewState state) {
    state.showResources = true;
    state.resources = DesktopResources{6, 16, "Running", {1, 10, 2, 24}};
    state.resourceCPU = 8;
    state.resourceMemory = 16;
    state.resourcesChanged = true;
    return state;
}

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

    ViewState account = fresh();
    ViewState createAccount = fresh();
    createAccount.onboardingStep = OnboardingStep::createAccount;
    ViewState signIn = fresh();
    signIn.onboardingStep = OnboardingStep::signIn;
    ViewState connect = fresh();
    connect.onboardingStep = OnboardingStep::connect;
    ViewState connectBusy = connect;
    connectBusy.settingUp = true;
    connectBusy.running = true;
    ViewState form = fresh();
    form.onboardingSkipped = true;
    ViewState existing = form;
    existing.vmExists = true;
    existing.allocation = "4 CPUs \u00B7 8 GiB RAM";
    ViewState failed = pairing("failed", true);
    failed.error = "Setup could not finish. Review the activity log, then resume setup. Your existing server and files "
                   "are preserved.";
    ViewState update = paired();
    update.latestVersion = "0.2.0";
    update.latestDownloadURL = "https://panel.tessaron.invalid/download";
    ViewState move = fresh();
    move.durablyInstalled = false;
    move.bundleFolder = "/Users/ada/Downloads";
    ViewState unsupported = fresh();
    unsupported.support = HardwareSupport::evaluate({"x86_64", "Intel(R) Core(TM) i7-8700B CPU @ 3.20GHz", "Macmini8,1", 12,
                                                     8ull << 30, 13});
    ViewState loading = paired();
    loading.showResources = true;
    loading.loadingResources = true;
    ViewState custom = withResources(stopped());
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
        {"08-pairing-code-waiting", pairing("awaiting_account", false), {}},
        {"09-pairing-preparing", pairing("creating_vm", true), {}},
        {"10-pairing-failed", failed, {}},
        {"11-pairing-complete", pairing("complete", true), {}},
        {"12-dashboard-running", paired(), {}},
        {"13-dashboard-stopped", stopped(), {}},
        {"14-dashboard-public-access-paused", paused(), {}},
        {"15-dashboard-restart-confirmation", paired(), [](DesktopWindow& w) { click<QAbstractButton>(w, "restartServer"); }},
        {"16-dashboard-turn-off-confirmation", paired(), [](DesktopWindow& w) { click<QAbstractButton>(w, "powerServer"); }},
        {"17-resource-sheet", withResources(paired()), {}},
        {"18-resource-sheet-restart-confirmation", withResources(paired()),
         [](DesktopWindow& w) { click<QAbstractButton>(w, "applyResources"); }},
        {"19-resource-sheet-loading", loading, {}},
        {"20-resource-sheet-custom-memory-stopped", custom, {}},
        {"21-update-banner", update, {}},
        {"22-move-to-applications-banner", move, {}},
        {"23-unsupported-hardware-banner", unsupported, {}},
        {"24-connection-details", paired(), [](DesktopWindow& w) { openDisclosure(w, "Connection details"); }},
    };

    NoActions actions;
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
