// The model's state: construction, the refresh loop, the status read and the getters that
// decide whether an action may start.

#include "model/desktop_model.h"

#include "host/agent_configuration.h"
#include "host/launchd_services.h"
#include "host/lima_manager.h"
#include "host/paths.h"

#include <QCoreApplication>
#include <QLocale>
#include <QProcess>
#include <QSettings>

#include <cmath>

namespace tessaron::desktop {
namespace {

QString qText(const std::string& text) { return QString::fromStdString(text); }

// The VM's status and size as Lima reports them; each is none when its query failed.
struct LimaReading {
    std::optional<std::string> status;
    std::optional<ResourceAllocation> allocation;
};

QString connectionHeadline(const QString& tunnelState) {
    if (tunnelState == "connected") return "Connected";
    if (tunnelState == "connecting") return "Connecting\u2026";
    if (tunnelState == "offline") return "Offline";
    if (tunnelState == "not-configured") return "Not connected";
    return "Connection unknown";
}

}  // namespace

DesktopModel::DesktopModel(std::filesystem::path program, Opener& opener, DesktopModelOptions options,
                           QObject* parent)
    : QObject(parent), program_(std::move(program)), opener_(opener), options_(std::move(options)) {
    bundle_ = options_.bundle.empty() ? program_.parent_path().parent_path().parent_path() : options_.bundle;
    home_ = options_.home.empty() ? paths::home().value_or(std::filesystem::path()) : options_.home;
    settings_ = options_.settingsFile.isEmpty() ? std::make_unique<QSettings>()
                                                : std::make_unique<QSettings>(options_.settingsFile, QSettings::IniFormat);

    control_ = qText(TessaronEndpoints::defaultControlText());
    durablyInstalled_ = runsFromInstallCandidate();
    onboardingSkipped_ = settings_->value(onboardingSkippedKey, false).toBool();
    vmStatus_ = "Checking this Mac\u2026";
    connection_ = "Checking connection\u2026";
    tunnelState_ = "unknown";
    serverState_ = "Unknown";
    agentState_ = "unknown";
    setupStage_ = "unknown";
    capacity_ = options_.capacity ? *options_.capacity : HostCapacity::current();
    support_ = options_.support ? *options_.support : HardwareSupport::evaluate(HardwareSnapshot::current());

    try {
        const ResourceAllocation balanced = ResourcePolicy::allocation(ResourceProfile::balanced, capacity_);
        cpu_ = static_cast<int>(balanced.virtualCPUCount);
        memory_ = static_cast<int>(balanced.memoryBytes >> 30);
    } catch (const std::exception&) {
        // A host too small for any VM keeps the form's 2 CPUs and 4 GiB.
    }

    logTimer_.setSingleShot(true);
    QObject::connect(&logTimer_, &QTimer::timeout, this, &DesktopModel::flushLog);
    refreshTimer_.setSingleShot(true);
    QObject::connect(&refreshTimer_, &QTimer::timeout, this, &DesktopModel::runCycle);
    // The release is asked of the address the form starts with, before the first refresh cycle
    // puts the saved panel's address there.
    if (options_.checkForUpdates) checkForNewerRelease();
    if (options_.startRefreshLoop) {
        refreshLoopActive_ = true;
        runCycle();
    }
}

DesktopModel::~DesktopModel() { endRuns(); }

void DesktopModel::shutdown() {
    refreshLoopActive_ = false;
    refreshTimer_.stop();
    const bool hadChild = child_ != nullptr;
    endRuns();
    if (hadChild) {
        emit setupChildChanged();
        emit changed();
    }
}

void DesktopModel::endRuns() {
    endSetupChild();
    // A run notices the request at once and then takes at most its grace to end.
    runs_->stopAll(2 * options_.timeouts.grace + std::chrono::seconds(1));
}

// ---- Editable fields --------------------------------------------------------------------------

void DesktopModel::setCpu(int value) { set(cpu_, value, &DesktopModel::cpuChanged); }
void DesktopModel::setMemory(int value) { set(memory_, value, &DesktopModel::memoryChanged); }
void DesktopModel::setControl(const QString& value) { set(control_, value, &DesktopModel::controlChanged); }
void DesktopModel::setOnboardingStep(OnboardingStep value) {
    set(onboardingStep_, value, &DesktopModel::onboardingStepChanged);
}
void DesktopModel::setOnboardingSkipped(bool value) {
    settings_->setValue(onboardingSkippedKey, value);
    settings_->sync();
    set(onboardingSkipped_, value, &DesktopModel::onboardingSkippedChanged);
}
void DesktopModel::setShowResources(bool value) { set(showResources_, value, &DesktopModel::showResourcesChanged); }
void DesktopModel::setResourceCPU(int value) { set(resourceCPU_, value, &DesktopModel::resourceCPUChanged); }
void DesktopModel::setResourceMemory(int value) { set(resourceMemory_, value, &DesktopModel::resourceMemoryChanged); }
void DesktopModel::setShowingSetup(bool value) { set(showingSetup_, value, &DesktopModel::showingSetupChanged); }

// ---- Running tessaron -------------------------------------------------------------------------

void DesktopModel::runProgram(std::vector<std::string> arguments, std::chrono::milliseconds timeout,
                              const char* timedOutText, std::function<void(const ProgramOutcome&)> done) {
    runInBackground<ProgramOutcome>(
        this,
        [program = program_, arguments = std::move(arguments), runs = runs_,
         bound = RunBound{timeout, timedOutText, options_.timeouts.grace}] {
            const auto counted = runs->enter();
            return runCaptured(program, arguments, bound, runs->token());
        },
        [done = std::move(done)](const ProgramOutcome& outcome) {
            if (!outcome.stopped) done(outcome);  // stopped: the application quits
        });
}

// ---- The refresh loop -------------------------------------------------------------------------

void DesktopModel::runCycle() {
    if (!refreshLoopActive_) return;
    refreshThen([this] {
        if (refreshLoopActive_) refreshTimer_.start(options_.refreshInterval);
    });
}

void DesktopModel::refresh() {
    refreshThen([] {});
}

void DesktopModel::refreshThen(std::function<void()> done) {
    auto finish = [this, done = std::move(done)] {
        emit refreshCompleted();
        done();
    };
    if (resizingResources_) return finish();

    try {
        const AgentConfiguration configuration = AgentConfigurationStore::load();
        set(paired_, true, &DesktopModel::pairedChanged);
        set(control_, qText(configuration.controlURL.absoluteString()), &DesktopModel::controlChanged);
    } catch (const std::exception&) {
        set(paired_, false, &DesktopModel::pairedChanged);
    }

    const std::string limactl = options_.limactl;
    runInBackground<LimaReading>(
        this,
        [limactl, runs = runs_, timeout = options_.timeouts.vmRead] {
            const auto counted = runs->enter();
            LimaManager lima(instanceName, limactl.empty() ? LimaManager::defaultExecutable() : limactl,
                             std::make_shared<BoundedCommandRunner>(timeout, capturedOutputLimit, runs->token()));
            LimaReading reading;
            try {
                reading.status = lima.status();
            } catch (const std::exception&) {
            }
            try {
                reading.allocation = lima.allocation();
            } catch (const std::exception&) {
            }
            return reading;
        },
        [this, finish](LimaReading reading) {
            if (resizingResources_) return finish();
            set(vmExists_, reading.status.has_value(), &DesktopModel::vmExistsChanged);
            set(vmStatus_, reading.status ? qText(*reading.status) : QString("Not created yet"),
                &DesktopModel::vmStatusChanged);
            if (reading.allocation) {
                const int cpus = static_cast<int>(reading.allocation->virtualCPUCount);
                const double gib = static_cast<double>(reading.allocation->memoryBytes) * std::ldexp(1.0, -30);
                set(allocatedCPU_, std::optional<int>(cpus), &DesktopModel::allocatedCPUChanged);
                set(allocatedMemoryGiB_, std::optional<double>(gib), &DesktopModel::allocatedMemoryGiBChanged);
                set(allocation_, QString::number(cpus) + " CPUs \u00B7 " + memoryLabel(gib) + " GiB RAM",
                    &DesktopModel::allocationChanged);
            }
            refreshConnectionThen(finish);
        });
}

// ---- The status read --------------------------------------------------------------------------

void DesktopModel::refreshConnection() {
    refreshConnectionThen([] {});
}

void DesktopModel::refreshConnectionThen(std::function<void()> done) {
    auto finish = [this, done = std::move(done)] {
        emit statusReadCompleted();
        done();
    };
    if (lifecycleAction_ || refreshingAccess_) return finish();
    set(refreshingAccess_, true, &DesktopModel::refreshingAccessChanged);
    const int revision = controlRevision_;

    runProgram({"server", "status"}, options_.timeouts.status, "The connection check did not respond in time.",
               [this, revision, finish](const ProgramOutcome& outcome) {
        if (controlRevision_ != revision) {
            // A server action started meanwhile; its own read will follow.
            set(refreshingAccess_, false, &DesktopModel::refreshingAccessChanged);
            return finish();
        }
        std::optional<DesktopConnectionStatus> status;
        QString failure;
        if (!outcome.result) {
            failure = qText(outcome.failure);
        } else if (outcome.result->exitCode != 0) {
            failure = qText(ResourceCommandError::fromStandardError(outcome.result->standardError).what());
        } else {
            try {
                status = DesktopConnectionStatus::decode(outcome.result->standardOutput);
            } catch (const std::exception& error) {
                failure = qText(error.what());
            }
        }
        if (status)
            applyStatus(*status);
        else
            applyStatusFailure(failure);
        finish();
    });
}

void DesktopModel::applyStatus(const DesktopConnectionStatus& status) {
    const QString tunnel = qText(status.tunnelState);
    set(tunnelState_, tunnel, &DesktopModel::tunnelStateChanged);
    set(serverState_, qText(status.vmState.value_or("Unknown")), &DesktopModel::serverStateChanged);
    set(agentState_, qText(status.agentState.value_or("unknown")), &DesktopModel::agentStateChanged);
    set(connectionDetail_, qText(status.error.value_or("")), &DesktopModel::connectionDetailChanged);
    set(publishingPaused_, status.publishingPaused, &DesktopModel::publishingPausedChanged);
    replace(publicAccess_, status.publicAccess, &DesktopModel::publicAccessChanged);
    set(lifecycleNote_, QString(), &DesktopModel::lifecycleNoteChanged);
    set(canRestartServer_, status.canRestart.value_or(false), &DesktopModel::canRestartServerChanged);
    set(restartRequest_, status.restart, &DesktopModel::restartRequestChanged);
    set(lifecycleError_, qText(status.controlError.value_or("")), &DesktopModel::lifecycleErrorChanged);
    set(connection_, connectionHeadline(tunnel), &DesktopModel::connectionChanged);
    set(refreshingAccess_, false, &DesktopModel::refreshingAccessChanged);
}

void DesktopModel::applyStatusFailure(const QString& detail) {
    set(tunnelState_, QString("unknown"), &DesktopModel::tunnelStateChanged);
    set(serverState_, QString("Unknown"), &DesktopModel::serverStateChanged);
    set(agentState_, QString("unknown"), &DesktopModel::agentStateChanged);
    set(connection_, QString("Connection unknown"), &DesktopModel::connectionChanged);
    set(connectionDetail_, detail, &DesktopModel::connectionDetailChanged);
    set(publishingPaused_, std::optional<bool>(), &DesktopModel::publishingPausedChanged);
    replace(publicAccess_, std::optional<PublicAccessStatus>(), &DesktopModel::publicAccessChanged);
    set(canRestartServer_, false, &DesktopModel::canRestartServerChanged);
    set(lifecycleError_, QString("Could not load server controls."), &DesktopModel::lifecycleErrorChanged);
    set(refreshingAccess_, false, &DesktopModel::refreshingAccessChanged);
}

// ---- Derived values ---------------------------------------------------------------------------

QString DesktopModel::memoryLabel(double gib) {
    const QLocale locale;
    QString text = locale.toString(gib, 'f', 2);
    const QString point = locale.decimalPoint();
    if (text.contains(point)) {
        const QString zero = locale.zeroDigit();
        while (text.endsWith(zero)) text.chop(zero.size());
        if (text.endsWith(point)) text.chop(point.size());
    }
    return text;
}

bool DesktopModel::resourceActionsBusy() const {
    return powerAction_ || loadingResources_ || resizingResources_ || settingUp_ || checkingConnection_ || running_ ||
           lifecycleAction_;
}

bool DesktopModel::canConnect() const { return !running_ && !resourceActionsBusy() && agentState_ == "stopped"; }

}  // namespace tessaron::desktop
