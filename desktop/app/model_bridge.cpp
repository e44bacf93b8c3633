#include "app/model_bridge.h"

#include "app/desktop_window.h"
#include "host/agent_configuration.h"
#include "panel/control_panel_client.h"

#include <QSysInfo>
#include <QTimer>

namespace tessaron::desktop {

namespace {

// The views show a few hundred characters of a text from outside, and the log as the model bounds
// it, so a field of any size is never copied whole on a redraw: texts keep their start, the log its end.
constexpr qsizetype kCopiedText = 32 * 1024;
constexpr qsizetype kCopiedLog = 256 * 1024;

std::string text(const QString& value) { return QStringView(value).left(kCopiedText).toString().toStdString(); }

std::optional<std::string> text(const std::optional<QString>& value) {
    if (!value) return std::nullopt;
    return text(*value);
}

}  // namespace

ViewState viewState(const DesktopModel& model, const QString& dismissedCode) {
    ViewState state;
    state.cpu = model.cpu();
    state.memory = model.memory();
    state.control = model.control().toStdString();  // edited in place: whole
    state.durablyInstalled = model.durablyInstalled();
    state.onboardingStep = model.onboardingStep();
    state.onboardingSkipped = model.onboardingSkipped();
    state.latestVersion = text(model.latestVersion());
    if (model.latestDownloadURL()) state.latestDownloadURL = model.latestDownloadURL()->toString().toStdString();
    state.appVersion = LifecycleClient::appVersion();
    state.movingApp = model.movingApp();
    state.moveError = text(model.moveError());
    if (const auto copy = model.installedCopy()) state.installedCopy = copy->string();
    state.isTranslocated = model.isTranslocated();
    state.bundleFolder = model.bundlePath().parent_path().string();

    state.vmStatus = text(model.vmStatus());
    state.allocation = text(model.allocation());
    state.allocatedCPU = model.allocatedCPU();
    state.allocatedMemoryGiB = model.allocatedMemoryGiB();
    state.paired = model.paired();
    state.vmExists = model.vmExists();
    state.running = model.running();
    state.settingUp = model.settingUp();

    state.showResources = model.showResources();
    state.loadingResources = model.loadingResources();
    state.resizingResources = model.resizingResources();
    state.resources = model.resources();
    state.resourceCPU = model.resourceCPU();
    state.resourceMemory = model.resourceMemory();
    state.resourceError = text(model.resourceError());
    state.resourcesChanged = model.resourcesChanged();

    state.connection = text(model.connection());
    state.tunnelState = text(model.tunnelState());
    state.serverState = text(model.serverState());
    state.agentState = text(model.agentState());
    state.checkingConnection = model.checkingConnection();
    state.connectionDetail = text(model.connectionDetail());
    state.publishingPaused = model.publishingPaused();
    state.accessPresentation = model.accessPresentation();
    state.canRestartServer = model.canRestartServer();
    state.refreshingAccess = model.refreshingAccess();
    state.lifecycleNote = text(model.lifecycleNote());
    state.lifecycleError = text(model.lifecycleError());
    state.restartPending = model.restartPending();
    state.restartMessage = text(model.restartMessage());
    state.powerLabel = text(model.powerLabel());
    state.canPowerServer = model.canPowerServer();
    state.canKeepAccessOff = model.canKeepAccessOff();
    state.resourceActionsBusy = model.resourceActionsBusy();
    state.canConnect = model.canConnect();

    const bool dismissed = !dismissedCode.isEmpty() && model.pairingCode() == dismissedCode;
    state.pairingCode = dismissed ? std::string() : text(model.pairingCode());
    state.setupStage = text(model.setupStage());
    state.setupSnapshot = model.setupSnapshot();
    state.showingSetup = model.showingSetup();
    state.log = QStringView(model.log()).right(kCopiedLog).toString().toStdString();
    state.error = text(model.error());
    state.capacity = model.capacity();
    state.support = model.support();
    state.hostName = QSysInfo::machineHostName().toStdString();
    return state;
}

ModelBridge::ModelBridge(DesktopModel& model, QObject* parent) : QObject(parent), model_(model) {
    QObject::connect(&model_, &DesktopModel::changed, this, [this] {
        if (pending_) return;
        pending_ = true;
        QTimer::singleShot(0, this, [this] {
            pending_ = false;
            redraw();
        });
    });
}

void ModelBridge::attach(DesktopWindow& window) {
    window_ = &window;
    redraw();
}

void ModelBridge::redraw() {
    if (model_.pairingCode().isEmpty()) dismissedCode_.clear();
    if (window_) window_->setState(viewState(model_, dismissedCode_));
}

void ModelBridge::setControl(const std::string& address) { model_.setControl(QString::fromStdString(address)); }

void ModelBridge::leaveSetupCard() {
    model_.setShowingSetup(false);
    dismissedCode_ = model_.pairingCode();
    redraw();
}

void ModelBridge::openConsolePage(const std::string& path) { model_.openConsolePage(QString::fromStdString(path)); }

void ModelBridge::openHelp() {
    model_.open(QUrl(QString::fromStdString(TessaronEndpoints::defaultControl().appendingPathComponent("docs").absoluteString())));
}

void ModelBridge::openURL(const std::string& url) { model_.open(QUrl(QString::fromStdString(url))); }

void ModelBridge::showAppInFolder() { model_.reveal(QUrl::fromLocalFile(QString::fromStdString(model_.bundlePath().string()))); }

void ModelBridge::power(const std::string& action) { model_.performPower(QString::fromStdString(action)); }

}  // namespace tessaron::desktop
