#include "app/view_rules.h"

#include "model/desktop_model.h"
#include "panel/control_panel_client.h"
#include "panel/setup_progress.h"
#include "platform/shown_text.h"

#include <QString>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>

namespace tessaron::desktop::rules {

namespace {

constexpr std::uint64_t kGiB = 1ull << 30;

// Longer than any message the model puts together: the hardware explanation with every rejection
// (under 600 characters), or fixed words around two outside parts of shownTextLimit each.
constexpr qsizetype kMessageLimit = 1'000;

// A value from outside (a name, a state, a version) as the window shows it: escaped, bounded.
std::string shown(std::string_view text) { return shownText(text).toStdString(); }
// A failure text from outside, which may run over several lines.
std::string shownLines(std::string_view text) { return shownText(text, shownTextLimit, LineBreaks::kept).toStdString(); }

std::string lowered(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

}  // namespace

// --- Window ---------------------------------------------------------------------------------------

MainCard mainCard(const ViewState& state) {
    if (state.showingSetup || !state.pairingCode.empty()) return MainCard::pairing;
    if (state.paired) return MainCard::dashboard;
    const bool supported = state.support.isSupported();
    if (!state.onboardingSkipped && supported) return MainCard::welcome;
    if (state.durablyInstalled && supported) return MainCard::onboarding;
    return MainCard::none;
}

bool showUpdateBanner(const ViewState& state) {
    return state.latestVersion && LifecycleClient::isOutdated(state.appVersion, *state.latestVersion);
}

std::string updateBannerText(const ViewState& state) {
    return "Tessaron " + shown(state.latestVersion.value_or("")) + " is available. This Mac is running " +
           shown(state.appVersion) + ".";
}

bool showMoveBanner(const ViewState& state) { return !state.durablyInstalled; }

std::string moveBannerExplanation(const ViewState& state) {
    if (state.isTranslocated)
        return "macOS is running Tessaron from a temporary read-only copy, which it does when an app is opened "
               "straight from Downloads. Nothing set up here would survive.";
    return "Tessaron is running from " + shown(state.bundleFolder) +
           ", which is not a permanent location. Background hosting installs a service that points at the app, so it "
           "has to live in Applications.";
}

std::string moveBannerNote(const ViewState& state) {
    if (state.installedCopy) return "Tessaron is already installed in Applications. Open that copy \u2014 this one is a duplicate.";
    return "Setup is paused until then, so you do not build a server that cannot run.";
}

std::string moveButtonTitle(const ViewState& state) {
    if (state.movingApp) return "Moving\u2026";
    if (state.installedCopy) return "Open the installed copy";
    return "Move to Applications and reopen";
}

bool showUnsupportedBanner(const ViewState& state) { return !state.support.isSupported(); }

ConnectionAction connectionAction(const ViewState& state) {
    ConnectionAction action;
    action.busy = state.checkingConnection || state.running || state.agentState == "running";
    action.show = state.canConnect || state.checkingConnection || state.connection == "Connecting\u2026" ||
                  (state.running && state.connection != "Connected");
    action.enabled = !action.busy && !state.resourceActionsBusy;
    if (state.checkingConnection) {
        action.title = "Checking connection\u2026";
        action.detail = "Checking for a connection already running on this Mac.";
    } else if (action.busy) {
        action.title = "Connecting your Mac\u2026";
        action.detail = "Setting up access to your server.";
    } else if (state.tunnelState == "connected") {
        action.title = "Resume connection";
        action.detail = "Restore automatic reconnection for your server.";
    } else {
        action.title = "Connect your Mac";
        action.detail = "Make the apps you choose reachable online.";
    }
    return action;
}

Confirmation restartServerConfirmation() {
    return {"Restart your Linux server?",
            "Apps and SSH sessions will be interrupted while Linux restarts. Your files will be preserved.",
            "Restart server"};
}

Confirmation turnOffServerConfirmation() {
    return {"Turn off your Linux server?",
            "Linux shuts down and gives its CPU and memory back to macOS. Websites, apps and SSH sessions stop until "
            "you start it again. Your files, databases and installed software are kept.",
            "Turn off server"};
}

Confirmation resourceRestartConfirmation(int cpu, int memoryGiB) {
    return {"Restart your server?",
            "Your apps and SSH sessions will be interrupted while Linux restarts with " + std::to_string(cpu) +
                " CPUs and " + std::to_string(memoryGiB) + " GiB RAM. Your files will be preserved.",
            "Restart & apply"};
}

// --- Welcome card ---------------------------------------------------------------------------------

WelcomeCard welcomeCard(OnboardingStep step, bool installed, bool busy, bool opened) {
    const OnboardingPresentation presentation(step);
    const bool connect = step == OnboardingStep::connect;
    WelcomeCard card;
    card.stepLine = "STEP " + std::to_string(presentation.step) + " OF " +
                    std::to_string(OnboardingPresentation::stepCount);
    card.markSymbol = connect ? "bolt.fill" : "person.crop.circle";
    card.showPoints = !presentation.points.empty();
    card.showRequirements = step == OnboardingStep::account;
    card.mainSpinner = busy && connect;
    card.mainLabel = card.mainSpinner ? "Setting up your server\u2026" : presentation.primary;
    card.mainSymbol = presentation.opensBrowser ? "arrow.up.right" : "arrow.right";
    card.mainEnabled = !busy && !(connect && !installed);
    card.secondaryLabel = presentation.secondary;
    card.secondaryPrimary = opened;
    card.secondaryEnabled = !busy;
    card.showBack = step != OnboardingStep::account;
    return card;
}

WelcomeMove welcomeMainPressed(OnboardingStep step, bool opened) {
    switch (step) {
    case OnboardingStep::account: return {OnboardingStep::createAccount, WelcomeEffect::none, false};
    case OnboardingStep::createAccount: return {step, WelcomeEffect::openSignup, true};
    case OnboardingStep::signIn: return {step, WelcomeEffect::openPanel, true};
    case OnboardingStep::connect: return {step, WelcomeEffect::start, opened};
    }
    return {step, WelcomeEffect::none, opened};
}

WelcomeMove welcomeSecondaryPressed(OnboardingStep step, bool opened) {
    switch (step) {
    case OnboardingStep::account: return {OnboardingStep::signIn, WelcomeEffect::none, false};
    case OnboardingStep::createAccount:
    case OnboardingStep::signIn: return {OnboardingStep::connect, WelcomeEffect::none, false};
    case OnboardingStep::connect: break;
    }
    return {step, WelcomeEffect::none, opened};
}

// --- Onboarding form ------------------------------------------------------------------------------

StepperRange validRange(long long lower, long long upper) {
    const auto clampInt = [](long long value) {
        return static_cast<int>(std::clamp<long long>(value, 0, 1'000'000));
    };
    const int minimum = clampInt(lower);
    return {minimum, std::max(minimum, clampInt(upper))};
}

StepperRange onboardingCPURange(const HostCapacity& capacity) {
    try {
        return validRange(1, ResourcePolicy::bounds(capacity).maximum.virtualCPUCount);
    } catch (const std::exception&) {
        return {1, 1};
    }
}

StepperRange onboardingMemoryRange(const HostCapacity& capacity) {
    try {
        const auto maximum = static_cast<long long>(ResourcePolicy::bounds(capacity).maximum.memoryBytes / kGiB);
        return validRange(2, std::max(2LL, maximum));
    } catch (const std::exception&) {
        return {2, 2};
    }
}

OnboardingForm onboardingForm(const ViewState& state) {
    OnboardingForm form;
    const bool existing = state.vmExists;
    form.title = existing ? "Connect your server." : "Turn this Mac into a server.";
    form.subtitle = existing ? "Your existing server and files stay in place."
                             : "Choose the resources for your Linux server. We\u2019ll leave room for macOS.";
    form.chip = shown(state.support.snapshot.chipName);
    form.capacityText = std::to_string(state.capacity.logicalCPUCount) + " cores \u00B7 " +
                        std::to_string(state.capacity.memoryBytes / kGiB) + " GiB";
    form.allocationText = state.allocation.empty() ? "Checking\u2026" : shown(state.allocation);
    form.editEnabled = !state.resourceActionsBusy;
    form.nextTitle = existing ? "Next: connect in your browser" : "Next: download Linux, then connect";
    form.nextDetail = existing ? "Approve this Mac in the web panel. Your existing server and files won\u2019t be recreated."
                               : "First, approve this Mac in your web panel. Then Tessaron downloads and creates Linux "
                                 "with your chosen resources. This can take several minutes.";
    if (!existing)
        form.diskNote = "Linux runs separately from macOS, without sharing your Mac\u2019s folders. Its disk grows as "
                        "needed, up to 40 GiB. At least 10 GiB must be free to begin.";
    form.setupSpinner = state.settingUp;
    form.setupLabel = state.settingUp ? "Setting up your server\u2026"
                      : existing      ? "Connect your Mac"
                                      : "Create your server";
    form.setupEnabled =
        !state.running && !state.resourceActionsBusy && state.support.isSupported() && state.durablyInstalled;
    return form;
}

// --- Pairing card ---------------------------------------------------------------------------------

std::string pairingMemoryLabel(double gibibytes) {
    if (std::floor(gibibytes) == gibibytes && std::abs(gibibytes) < 1e15)
        return std::to_string(static_cast<long long>(gibibytes));
    char text[64];
    std::snprintf(text, sizeof text, "%.1f", gibibytes);
    return text;
}

std::string stepAccessibilityText(const std::string& title, StepMark mark) {
    switch (mark) {
    case StepMark::done: return title + ": complete";
    case StepMark::current: return title + ": current step";
    case StepMark::waiting: return title + ": waiting";
    }
    return title;
}

PairingCard pairingCard(const ViewState& state) {
    const SetupPresentation presentation(state.setupStage, true);
    const bool complete = state.setupStage == "complete";
    PairingCard card;
    card.title = presentation.title;
    card.detail = presentation.detail;
    card.complete = complete;
    card.working = presentation.working;
    if (state.setupSnapshot && state.setupSnapshot->accountEmail)
        card.accountEmail = shown(*state.setupSnapshot->accountEmail);

    // Without a profile from the panel yet, the card describes this Mac as the window knows it.
    const std::optional<SetupProfile> profile = state.setupSnapshot ? state.setupSnapshot->profile : std::nullopt;
    if (profile) {
        card.machineName = shown(profile->name);
        card.machineSummary = shown(profile->chip) + " \u00B7 " + std::to_string(profile->allocatedCpu) + " CPUs \u00B7 " +
                              pairingMemoryLabel(profile->allocatedMemoryGiB) + " GiB RAM";
    } else {
        card.machineName = state.hostName.empty() ? "This Mac" : shown(state.hostName);
        const int cpu = state.allocatedCPU.value_or(state.cpu);
        const double memory = state.allocatedMemoryGiB.value_or(static_cast<double>(state.memory));
        card.machineSummary = shown(state.support.snapshot.chipName) + " \u00B7 " + std::to_string(cpu) + " CPUs \u00B7 " +
                              pairingMemoryLabel(memory) + " GiB RAM";
    }

    card.code = shown(state.pairingCode);
    card.showCodeBox = presentation.showCode && !state.pairingCode.empty();
    for (int index = 0; index < static_cast<int>(SetupPresentation::steps.size()); ++index) {
        if (complete || index < presentation.step)
            card.steps.push_back(StepMark::done);
        else if (index == presentation.step)
            card.steps.push_back(StepMark::current);
        else
            card.steps.push_back(StepMark::waiting);
    }
    if (presentation.showCode)
        card.actions = PairingActions::openPanel;
    else if (state.setupStage == "failed")
        card.actions = PairingActions::resume;
    else if (complete)
        card.actions = PairingActions::complete;
    else
        card.actions = PairingActions::waiting;
    card.canResume = !state.settingUp && !state.running;
    card.showHelp = !complete;
    return card;
}

// --- Server dashboard -----------------------------------------------------------------------------

Dashboard dashboard(const ViewState& state) {
    Dashboard view;
    view.subtitle = shown(state.support.snapshot.chipName) + " \u00B7 Linux server";
    view.pillText = state.accessPresentation.label;
    view.pillSymbol = state.accessPresentation.symbol();
    view.pillLive = state.accessPresentation.isEnabled;
    view.cpuValue = state.allocatedCPU ? std::to_string(*state.allocatedCPU) : "\u2014";
    view.memoryValue = state.allocatedMemoryGiB ? DesktopModel::memoryLabel(*state.allocatedMemoryGiB).toStdString() + " GiB" : "\u2014";
    view.serverValue = shown(state.vmStatus);
    view.editEnabled = state.vmExists && !state.resourceActionsBusy;
    view.panelEmphasis = state.connection == "Connected";
    view.panelTitle = view.panelEmphasis ? "Continue in web panel" : "Open web panel";
    view.terminalEnabled = state.vmExists && !state.resizingResources;
    return view;
}

LifecycleCard lifecycleCard(const ViewState& state) {
    using Action = PublicAccessPresentation::Action;
    const PublicAccessPresentation& access = state.accessPresentation;
    const bool checking = state.refreshingAccess && access.action == Action::check;
    LifecycleCard card;
    card.accessTitle = checking ? "Checking connection\u2026" : access.actionLabel();
    card.accessSymbol = access.action == Action::disconnect ? "pause.circle" : "arrow.clockwise";
    card.accessEnabled = access.action != Action::wait && !state.resourceActionsBusy && !checking;
    card.restartTitle = state.restartPending ? "Restart pending\u2026" : "Restart server";
    card.restartEnabled = state.canRestartServer && !state.restartPending && !state.resourceActionsBusy;
    const bool stopped = state.serverState == "Stopped";
    card.powerTitle = state.powerLabel;
    card.powerSymbol = stopped ? "play.circle" : "power";
    card.powerEnabled = state.canPowerServer;
    card.powerAsks = !stopped;
    if (!state.publishingPaused && !state.lifecycleError.empty()) {
        card.explanation = shownLines(state.lifecycleError);
        card.explanationLineSpacing = 0;
    } else {
        for (const std::string* text : {&state.lifecycleError, &state.restartMessage, &state.lifecycleNote, &access.detail}) {
            if (!text->empty()) {
                card.explanation = shownLines(*text);
                break;
            }
        }
    }
    card.showLinks = access.action == Action::check;
    card.showKeepOff = card.showLinks && state.canKeepAccessOff;
    card.keepOffEnabled = !state.resourceActionsBusy;
    return card;
}

// --- Resource editor ------------------------------------------------------------------------------

ResourceEditor resourceEditor(const ViewState& state) {
    ResourceEditor editor;
    editor.loading = state.loadingResources;
    editor.closeEnabled = !state.resizingResources;
    editor.steppersEnabled = !state.resizingResources;
    editor.showTryAgain = !state.resourceError.empty() && !state.resources;
    editor.tryAgainEnabled = !state.resourceActionsBusy;
    if (editor.loading || !state.resources) return editor;

    const DesktopResources& reading = *state.resources;
    editor.showEditor = true;
    editor.summary = "Currently " + std::to_string(reading.cpu) + " CPUs \u00B7 " + DesktopModel::memoryLabel(reading.memoryGiB).toStdString() +
                     " GiB RAM \u00B7 " + shown(reading.state);
    editor.cpuRange = validRange(reading.bounds.minCPU, reading.bounds.maxCPU);
    editor.memoryRange = validRange(reading.bounds.minMemoryGiB, reading.bounds.maxMemoryGiB);
    editor.limits = "Up to " + std::to_string(editor.cpuRange.maximum) + " CPUs and " +
                    std::to_string(editor.memoryRange.maximum) + " GiB on this Mac. We leave room for macOS.";
    if (std::floor(reading.memoryGiB) != reading.memoryGiB)
        editor.customMemoryNote = "Your current memory allocation is custom. Changes use whole GiB.";
    editor.applyAsks = lowered(reading.state) == "running";
    editor.consequence = editor.applyAsks
                             ? "Changing resources restarts your Linux server. Apps and remote access will be briefly "
                               "unavailable. Your server and files stay in place."
                             : "Your server stays stopped. The new resources apply when it next starts. Your files stay "
                               "in place.";
    editor.applySpinner = state.resizingResources;
    editor.applyLabel = state.resizingResources ? "Applying changes\u2026" : "Apply changes";
    editor.applyEnabled = !state.resourceActionsBusy && state.resourcesChanged;
    return editor;
}

// --- Footer ---------------------------------------------------------------------------------------

std::string hostingNote(bool paired) {
    return paired ? "Hosting runs in the background. Keep this Mac awake and online."
                  : "An invitation is required to connect your Mac.";
}

std::string logText(std::string_view log) {
    if (log.empty()) return "No connection activity yet.";
    // Whole, as the model keeps it (it bounds the log's length): a user copies it for support.
    return shownText(log, uncut, LineBreaks::kept).toStdString();
}

std::string failureText(const std::string& text) { return shownLines(text); }

std::string messageText(const std::string& text) {
    return shownText(text, kMessageLimit, LineBreaks::kept).toStdString();
}

}  // namespace tessaron::desktop::rules
