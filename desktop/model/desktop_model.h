#pragma once
// DesktopModel: everything the desktop window shows and every action the user can take in it.
// Views read its fields, bind the few editable ones through their setters, listen to the change
// signals and start work only through its actions; nothing here knows a widget.
//
// The model drives the sibling program `tessaron` (<bundle>/Contents/MacOS/tessaron): captured
// runs of the machine-readable commands on worker threads, whose results are applied on the
// model's (GUI) thread, and one streamed setup run (`onboard` or `pair`) read line by line.
// It reads the agent configuration, the VM's Lima status and size, the hardware report and the
// user default "tessaron.onboarding.skipped" directly. No action throws to its caller: every
// outcome lands in the fields.
//
// Every captured run is bounded: a time-out per kind of command (RunTimeouts), after which the
// run's process group is ended and the user is told, and at most 64 KiB of each output stream.
// Quitting (shutdown()) ends the runs in flight and the setup child.
//
// Files: desktop_model.cpp (state, construction, refresh loop, status read, shutdown),
// lifecycle_actions.cpp (public access, restart, power), console_links.cpp (panel pages, the
// Terminal launcher), setup_runner.cpp (the setup run and its output),
// resource_commands.cpp (background hosting and resources), update_check.cpp,
// move_to_applications.cpp.

#include "host/hardware_support.h"
#include "host/resource_policy.h"
#include "host/url.h"
#include "model/background_run.h"
#include "model/desktop_readers.h"
#include "model/opener.h"
#include "model/utf8_stream.h"
#include "panel/onboarding_presentation.h"
#include "panel/public_access_presentation.h"
#include "panel/setup_records.h"

#include <QObject>
#include <QString>
#include <QTimer>
#include <QUrl>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class QProcess;
class QSettings;

namespace tessaron::desktop {

// How long each kind of run of `tessaron` may take. A run still going then is ended with the
// process group it leads: SIGTERM, and SIGKILL when it outlives `grace`.
struct RunTimeouts {
    std::chrono::milliseconds status{9'000};         // server status
    std::chrono::milliseconds serverAction{13'000};  // server connect | disconnect | restart --confirm
    std::chrono::milliseconds power{120'000};        // vm start | stop
    std::chrono::milliseconds resources{30'000};     // vm resources: a read of Lima's state
    std::chrono::milliseconds resize{300'000};       // vm resize: may stop and start the VM, and undo that
    std::chrono::milliseconds service{60'000};       // service enable
    std::chrono::milliseconds grace{1'000};
    std::chrono::milliseconds vmRead{20'000};        // each of limactl's reads of the VM's state and size
};

// The model's outside world. Every member has a default that is the real thing; tests replace
// what they need.
struct DesktopModelOptions {
    // The running Tessaron.app; empty: the folder three levels above the program
    // (<bundle>/Contents/MacOS/tessaron).
    std::filesystem::path bundle;
    // The user's home folder; empty: $HOME.
    std::filesystem::path home;
    // The limactl the model asks for the VM's status and size; empty:
    // LimaManager::defaultExecutable().
    std::string limactl;
    // This Mac's capacity and hardware report; none: read from this machine once.
    std::optional<HostCapacity> capacity;
    std::optional<HardwareSupportReport> support;
    // The settings file holding the user default; empty: the application's QSettings.
    QString settingsFile;
    // Free bytes of the volume holding `path`; none when unreadable. Null: std::filesystem::space.
    std::function<std::optional<std::uint64_t>(const std::filesystem::path& path)> freeSpace;
    // Starts the installed copy's TessaronDesktop as a new instance; returns the failure text,
    // or none when it started. Null: a detached start of <bundle>/Contents/MacOS/TessaronDesktop.
    std::function<std::optional<std::string>(const std::filesystem::path& bundle)> openApplication;
    // Ends this application after a successful move. Null: QCoreApplication::quit.
    std::function<void()> quit;
    // Give up and take back the endpoint through which a later launch hands over to this
    // instance: called before the installed copy is started, and after it could not be. Null:
    // nothing.
    std::function<void()> releaseInstance;
    std::function<void()> reclaimInstance;
    // Where a move to Applications may copy the bundle, in order, and where the application
    // counts as durably installed; none: the durable bundle paths of `home`.
    std::optional<std::vector<std::filesystem::path>> installCandidates;
    // The pause between the end of one refresh cycle and the start of the next.
    std::chrono::milliseconds refreshInterval{5000};
    // The constructor starts the refresh loop and the update check unless these are false.
    bool startRefreshLoop = true;
    bool checkForUpdates = true;
    RunTimeouts timeouts;
};

class DesktopModel : public QObject {
    Q_OBJECT

public:
    // The Lima instance of the server VM.
    static constexpr const char* instanceName = "tessaron";
    // The user default that remembers a skipped onboarding (a Bool).
    static constexpr const char* onboardingSkippedKey = "tessaron.onboarding.skipped";

    // `program` is the path of `tessaron`; `opener` receives every link, folder and launcher the
    // model opens and must outlive the model. Reads the capacity, the hardware report, the
    // durable-install test and the user default once, then starts the refresh loop (first cycle
    // at once) and the update check.
    DesktopModel(std::filesystem::path program, Opener& opener, DesktopModelOptions options = {},
                 QObject* parent = nullptr);
    ~DesktopModel() override;
    DesktopModel(const DesktopModel&) = delete;
    DesktopModel& operator=(const DesktopModel&) = delete;

    // ---- Fields, in declaration order -------------------------------------------------------
    int cpu() const { return cpu_; }                       // CPUs chosen for a new server
    int memory() const { return memory_; }                 // GiB chosen for a new server
    const QString& control() const { return control_; }    // the panel address of the form
    bool durablyInstalled() const { return durablyInstalled_; }
    OnboardingStep onboardingStep() const { return onboardingStep_; }
    bool onboardingSkipped() const { return onboardingSkipped_; }
    const std::optional<QString>& latestVersion() const { return latestVersion_; }
    const std::optional<QUrl>& latestDownloadURL() const { return latestDownloadURL_; }
    bool movingApp() const { return movingApp_; }
    const QString& moveError() const { return moveError_; }
    const QString& vmStatus() const { return vmStatus_; }
    const QString& allocation() const { return allocation_; }  // "4 CPUs · 8 GiB RAM"
    std::optional<int> allocatedCPU() const { return allocatedCPU_; }
    std::optional<double> allocatedMemoryGiB() const { return allocatedMemoryGiB_; }
    bool paired() const { return paired_; }
    bool vmExists() const { return vmExists_; }
    bool running() const { return running_; }
    bool settingUp() const { return settingUp_; }
    bool showResources() const { return showResources_; }
    bool loadingResources() const { return loadingResources_; }
    bool resizingResources() const { return resizingResources_; }
    const std::optional<DesktopResources>& resources() const { return resources_; }
    int resourceCPU() const { return resourceCPU_; }
    int resourceMemory() const { return resourceMemory_; }
    const QString& resourceError() const { return resourceError_; }
    const QString& connection() const { return connection_; }
    const QString& tunnelState() const { return tunnelState_; }
    const QString& serverState() const { return serverState_; }
    const std::optional<QString>& powerAction() const { return powerAction_; }
    const QString& agentState() const { return agentState_; }
    bool checkingConnection() const { return checkingConnection_; }
    const QString& connectionDetail() const { return connectionDetail_; }
    std::optional<bool> publishingPaused() const { return publishingPaused_; }
    const std::optional<PublicAccessStatus>& publicAccess() const { return publicAccess_; }
    bool canRestartServer() const { return canRestartServer_; }
    const std::optional<QString>& lifecycleAction() const { return lifecycleAction_; }
    bool refreshingAccess() const { return refreshingAccess_; }
    const QString& lifecycleNote() const { return lifecycleNote_; }
    const QString& lifecycleError() const { return lifecycleError_; }
    const std::optional<DesktopRestart>& restartRequest() const { return restartRequest_; }
    const QString& pairingCode() const { return pairingCode_; }
    const QString& log() const { return log_; }
    const QString& error() const { return error_; }
    const HostCapacity& capacity() const { return capacity_; }
    const HardwareSupportReport& support() const { return support_; }
    // A setup child runs (the model's `child`).
    bool hasSetupChild() const { return child_ != nullptr; }
    const QString& partialLine() const { return partialLine_; }
    const std::optional<QUrl>& setupURL() const { return setupURL_; }
    const QString& setupStage() const { return setupStage_; }
    const std::optional<SetupProgress>& setupSnapshot() const { return setupSnapshot_; }
    bool showingSetup() const { return showingSetup_; }
    bool receivedSetupEvent() const { return receivedSetupEvent_; }
    int controlRevision() const { return controlRevision_; }

    // ---- Fields the views edit ----------------------------------------------------------------
    void setCpu(int value);
    void setMemory(int value);
    void setControl(const QString& value);
    void setOnboardingStep(OnboardingStep value);
    // Also writes the user default.
    void setOnboardingSkipped(bool value);
    void setShowResources(bool value);
    void setResourceCPU(int value);
    void setResourceMemory(int value);
    void setShowingSetup(bool value);

    // ---- Derived values -------------------------------------------------------------------------
    const std::filesystem::path& programPath() const { return program_; }
    const std::filesystem::path& bundlePath() const { return bundle_; }
    // Any action of the model is running.
    bool resourceActionsBusy() const;
    // The connect action may start: nothing runs and the connection helper is "stopped".
    bool canConnect() const;
    bool restartPending() const;
    // The line about the latest restart request; `nowSeconds` is the time (seconds since 1970).
    QString restartMessage() const;
    QString restartMessage(double nowSeconds) const;
    PublicAccessPresentation accessPresentation() const;
    bool canKeepAccessOff() const;
    bool canPowerServer() const;
    QString powerLabel() const;
    // The saved pairing's panel, else the form's address when it parses, else the default panel.
    QUrl consoleURL() const;
    // The running bundle sits in a "/AppTranslocation/" folder (never on this build's own paths).
    bool isTranslocated() const;
    // The first durable bundle path that holds a real Tessaron.app in a folder that is where its
    // path says.
    std::optional<std::filesystem::path> installedCopy() const;
    // The editor's choice differs from the resources last read.
    bool resourcesChanged() const;
    // An amount in GiB in the current locale, 0 to 2 fraction digits, no unit: 8, 7.5.
    static QString memoryLabel(double gib);

    // ---- Actions ----------------------------------------------------------------------------------
    // One refresh cycle: the configuration, the VM's status and size, then the status read.
    // Emits refreshCompleted() when the cycle ends (also when it was skipped).
    void refresh();
    // One `tessaron server status` read; skipped while a server action runs or a read is in
    // flight. Emits statusReadCompleted() when it ends (also when skipped).
    void refreshConnection();
    // Server actions (public access, restart) and power.
    void changePublicAccess();
    void keepPublicAccessOff();
    void performLifecycle(const QString& action);  // "connect", "disconnect" or "restart"
    void performPower(const QString& action);      // "start" or "stop"
    // Panel pages, the Terminal launcher.
    void openConsole(bool billing);
    void openConnectionDetails();
    // consoleURL() with `path` appended ("console/ai-access", "signup", …).
    void openConsolePage(const QString& path);
    // Any address, through the opener.
    void open(const QUrl& url);
    // A file or folder shown selected in the file manager, through the opener.
    void reveal(const QUrl& item);
    void openTerminal();
    // Stops the refresh loop, ends the runs in flight (their results are dropped) and the setup
    // child with its process group; called when the application terminates. Returns within
    // about twice the grace of RunTimeouts. Captured runs asked for afterwards do not start.
    void shutdown();
    // Setup: `onboard` without a VM, `pair` with one.
    void setup();
    // Background hosting and resources.
    void connect();
    void editResources();
    void applyResources(bool restart);
    // The update check (once, from the constructor) and the move to Applications.
    void checkForNewerRelease();
    void installToApplications();

signals:
    // One signal per field (emitted after the field changed) and `changed` after any of them.
    void changed();
    void cpuChanged();
    void memoryChanged();
    void controlChanged();
    void onboardingStepChanged();
    void onboardingSkippedChanged();
    void latestVersionChanged();
    void latestDownloadURLChanged();
    void movingAppChanged();
    void moveErrorChanged();
    void vmStatusChanged();
    void allocationChanged();
    void allocatedCPUChanged();
    void allocatedMemoryGiBChanged();
    void pairedChanged();
    void vmExistsChanged();
    void runningChanged();
    void settingUpChanged();
    void showResourcesChanged();
    void loadingResourcesChanged();
    void resizingResourcesChanged();
    void resourcesChanged_();  // `resources` (resourcesChanged() is the editor's getter)
    void resourceCPUChanged();
    void resourceMemoryChanged();
    void resourceErrorChanged();
    void connectionChanged();
    void tunnelStateChanged();
    void serverStateChanged();
    void powerActionChanged();
    void agentStateChanged();
    void checkingConnectionChanged();
    void connectionDetailChanged();
    void publishingPausedChanged();
    void publicAccessChanged();
    void canRestartServerChanged();
    void lifecycleActionChanged();
    void refreshingAccessChanged();
    void lifecycleNoteChanged();
    void lifecycleErrorChanged();
    void restartRequestChanged();
    void pairingCodeChanged();
    void logChanged();
    void errorChanged();
    void setupChildChanged();
    void setupURLChanged();
    void setupStageChanged();
    void setupSnapshotChanged();
    void showingSetupChanged();
    // A refresh cycle, a status read, the update check ended.
    void refreshCompleted();
    void statusReadCompleted();
    void updateCheckCompleted();

private:
    using Signal = void (DesktopModel::*)();
    template <typename T>
    void set(T& field, T value, Signal signal) {
        if (field == value) return;
        field = std::move(value);
        emit(this->*signal)();
        emit changed();
    }
    // For values without an equality test: always notifies.
    template <typename T>
    void replace(T& field, T value, Signal signal) {
        field = std::move(value);
        emit(this->*signal)();
        emit changed();
    }

    // Runs `tessaron` with `arguments` within `timeout` on a worker thread and hands the outcome
    // to `done` on the model's thread; not at all once the model is gone or shut down. A run that
    // did not end in time fails with `timedOutText`.
    void runProgram(std::vector<std::string> arguments, std::chrono::milliseconds timeout, const char* timedOutText,
                    std::function<void(const ProgramOutcome&)> done);
    void refreshThen(std::function<void()> done);
    void refreshConnectionThen(std::function<void()> done);
    void scheduleNextCycle();
    void runCycle();
    void applyStatus(const DesktopConnectionStatus& status);
    void applyStatusFailure(const QString& detail);
    void applyResourcesRead(const DesktopResources& read);
    void resourceCommand(std::vector<std::string> arguments, std::chrono::milliseconds timeout,
                         std::function<void(const std::optional<DesktopResources>&, const QString&)> done);
    void enableBackgroundHosting();
    void start(const std::vector<std::string>& arguments, bool setup);
    void receive(const QString& text);
    void handleLine(const QString& line);
    void readChildOutput();
    // Lets the setup child go: no child, nothing running, no setup in progress.
    void releaseChild();
    void childFinished(int exitCode, bool setup, int run);
    // Ends the setup child and its process group (SIGTERM, SIGKILL after the grace); no signal.
    void endSetupChild();
    // Ends the setup child and every run in flight, and waits for them a bounded time.
    void endRuns();
    // The activity log: setup output is gathered and shown a few times a second at most.
    void queueLog(const QString& text);
    void flushLog();
    void appendToLog(const QString& text);
    void openPath(const std::string& path);
    std::vector<std::filesystem::path> installCandidates() const;
    // The running bundle is one of the install candidates.
    bool runsFromInstallCandidate() const;
    // The panel's base address as consoleURL() describes it.
    Url consoleBase() const;

    std::filesystem::path program_;
    Opener& opener_;
    DesktopModelOptions options_;
    std::filesystem::path bundle_;
    std::filesystem::path home_;
    std::unique_ptr<QSettings> settings_;

    int cpu_ = 2;
    int memory_ = 4;
    QString control_;
    bool durablyInstalled_ = false;
    OnboardingStep onboardingStep_ = OnboardingStep::account;
    bool onboardingSkipped_ = false;
    std::optional<QString> latestVersion_;
    std::optional<QUrl> latestDownloadURL_;
    bool movingApp_ = false;
    QString moveError_;
    QString vmStatus_;
    QString allocation_;
    std::optional<int> allocatedCPU_;
    std::optional<double> allocatedMemoryGiB_;
    bool paired_ = false;
    bool vmExists_ = false;
    bool running_ = false;
    bool settingUp_ = false;
    bool showResources_ = false;
    bool loadingResources_ = false;
    bool resizingResources_ = false;
    std::optional<DesktopResources> resources_;
    int resourceCPU_ = 2;
    int resourceMemory_ = 2;
    QString resourceError_;
    QString connection_;
    QString tunnelState_;
    QString serverState_;
    std::optional<QString> powerAction_;
    QString agentState_;
    bool checkingConnection_ = false;
    QString connectionDetail_;
    std::optional<bool> publishingPaused_;
    std::optional<PublicAccessStatus> publicAccess_;
    bool canRestartServer_ = false;
    std::optional<QString> lifecycleAction_;
    bool refreshingAccess_ = false;
    QString lifecycleNote_;
    QString lifecycleError_;
    std::optional<DesktopRestart> restartRequest_;
    QString pairingCode_;
    QString log_;
    QString error_;
    HostCapacity capacity_;
    HardwareSupportReport support_;
    QProcess* child_ = nullptr;               // the setup child; its pipe is the process's own
    int setupRun_ = 0;                        // counts setup runs: an exit belongs to its own
    Utf8Stream output_;                       // decodes the child's output across reads
    QString pendingLog_;                      // setup output not yet in `log_` (its tail)
    QTimer logTimer_;                         // when `pendingLog_` goes into `log_`
    std::shared_ptr<ProgramRuns> runs_ = std::make_shared<ProgramRuns>();
    QTimer refreshTimer_;                     // the refresh loop's pause
    bool refreshLoopActive_ = false;
    QString partialLine_;
    std::optional<QUrl> setupURL_;
    QString setupStage_;
    std::optional<SetupProgress> setupSnapshot_;
    bool showingSetup_ = false;
    bool receivedSetupEvent_ = false;
    int controlRevision_ = 0;
};

}  // namespace tessaron::desktop
