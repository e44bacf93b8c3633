// The window's decisions over the model's state: which card and banners show, the connection
// action, the welcome walk-through, steppers, the setup card, the lifecycle row and the resource
// editor.
#include "app/sample_states.h"
#include "app/view_rules.h"

#include <gtest/gtest.h>

namespace tessaron::desktop {
namespace {

using rules::MainCard;
using Action = PublicAccessPresentation::Action;

using samples::intel;
HardwareSupportReport supported() { return samples::appleSilicon(); }
ViewState base() { return samples::unpaired(); }

TEST(WindowRules, OneMainCardChosenInOrder) {
    struct Row {
        const char* name;
        bool showingSetup;
        const char* code;
        bool paired;
        bool skipped;
        bool isSupported;
        bool installed;
        MainCard expected;
    };
    const Row rows[] = {
        {"setup run on screen", true, "", false, false, true, true, MainCard::pairing},
        {"a code shows the setup card even when paired", false, "AB12", true, false, true, true, MainCard::pairing},
        {"paired", false, "", true, false, true, true, MainCard::dashboard},
        {"paired on unsupported hardware", false, "", true, false, false, false, MainCard::dashboard},
        {"first run outside Applications", false, "", false, false, true, false, MainCard::welcome},
        {"skipped, in Applications", false, "", false, true, true, true, MainCard::onboarding},
        {"skipped, outside Applications", false, "", false, true, true, false, MainCard::none},
        {"unsupported and unpaired", false, "", false, false, false, true, MainCard::none},
    };
    for (const Row& row : rows) {
        ViewState state = base();
        state.showingSetup = row.showingSetup;
        state.pairingCode = row.code;
        state.paired = row.paired;
        state.onboardingSkipped = row.skipped;
        state.support = row.isSupported ? supported() : intel();
        state.durablyInstalled = row.installed;
        EXPECT_EQ(rules::mainCard(state), row.expected) << row.name;
    }
}

TEST(WindowRules, BannersFollowVersionInstallAndHardware) {
    ViewState state = base();
    state.appVersion = "1.4.0";
    EXPECT_FALSE(rules::showUpdateBanner(state)) << "no release known";
    state.latestVersion = "1.4.0";
    EXPECT_FALSE(rules::showUpdateBanner(state)) << "same version";
    state.latestVersion = "1.10.0";
    EXPECT_TRUE(rules::showUpdateBanner(state));
    EXPECT_EQ(rules::updateBannerText(state), "Tessaron 1.10.0 is available. This Mac is running 1.4.0.");

    state.durablyInstalled = false;
    state.bundleFolder = "/home/ada/Downloads";
    EXPECT_TRUE(rules::showMoveBanner(state));
    EXPECT_NE(rules::moveBannerExplanation(state).find("running from /home/ada/Downloads, which"), std::string::npos);
    EXPECT_EQ(rules::moveButtonTitle(state), "Move to Applications and reopen");
    state.installedCopy = "/home/ada/Applications/Tessaron.app";
    EXPECT_EQ(rules::moveButtonTitle(state), "Open the installed copy");
    state.movingApp = true;
    EXPECT_EQ(rules::moveButtonTitle(state), "Moving\u2026");

    state.support = intel();
    EXPECT_TRUE(rules::showUnsupportedBanner(state));

    // The error line and the move banner's error never cut fixed sentences: the hardware
    // explanation with three rejections (about 340 characters) shows whole, line breaks kept.
    const HardwareSupportReport old = HardwareSupport::evaluate({"arm64", "Apple A12Z", "ADP3,2", 8, 4ull << 30, 12});
    ASSERT_EQ(old.rejections.size(), 3u);
    EXPECT_EQ(rules::messageText(old.explanation()), old.explanation());
    EXPECT_GT(old.explanation().size(), 330u);
}

TEST(WindowRules, ConnectionActionRow) {
    struct Row {
        const char* name;
        bool canConnect, checking, running;
        const char* agent;
        const char* connection;
        const char* tunnel;
        bool busyElsewhere;
        bool show, busy, enabled;
        const char* title;
    };
    const Row rows[] = {
        {"helper stopped", true, false, false, "stopped", "Offline", "offline", false, true, false, true,
         "Connect your Mac"},
        {"helper stopped, tunnel up", true, false, false, "stopped", "Connected", "connected", false, true, false, true,
         "Resume connection"},
        {"checking", false, true, false, "unknown", "Offline", "offline", true, true, true, false,
         "Checking connection\u2026"},
        {"helper running while connecting", false, false, false, "running", "Connecting\u2026", "connecting", false, true,
         true, false, "Connecting your Mac\u2026"},
        {"child runs, not connected", false, false, true, "unknown", "Offline", "offline", true, true, true, false,
         "Connecting your Mac\u2026"},
        {"child runs, connected", false, false, true, "running", "Connected", "connected", true, false, true, false,
         "Connecting your Mac\u2026"},
        {"connected and idle", false, false, false, "running", "Connected", "connected", false, false, true, false,
         "Connecting your Mac\u2026"},
        {"another action runs", true, false, false, "stopped", "Offline", "offline", true, true, false, false,
         "Connect your Mac"},
    };
    for (const Row& row : rows) {
        ViewState state = base();
        state.canConnect = row.canConnect;
        state.checkingConnection = row.checking;
        state.running = row.running;
        state.agentState = row.agent;
        state.connection = row.connection;
        state.tunnelState = row.tunnel;
        state.resourceActionsBusy = row.busyElsewhere;
        const rules::ConnectionAction action = rules::connectionAction(state);
        EXPECT_EQ(action.show, row.show) << row.name;
        EXPECT_EQ(action.busy, row.busy) << row.name;
        EXPECT_EQ(action.enabled, row.enabled) << row.name;
        EXPECT_EQ(action.title, row.title) << row.name;
    }
}

TEST(WindowRules, WelcomeCardPerStep) {
    struct Row {
        OnboardingStep step;
        bool installed, busy, opened;
        const char* stepLine;
        const char* mainLabel;
        const char* mainSymbol;
        bool mainEnabled, hasSecondary, secondaryPrimary, secondaryEnabled, back, requirements;
        const char* mark;
    };
    const Row rows[] = {
        {OnboardingStep::account, true, false, false, "STEP 1 OF 3", "I need an account", "arrow.right", true, true, false,
         true, false, true, "person.crop.circle"},
        {OnboardingStep::createAccount, true, false, true, "STEP 1 OF 3", "Open sign-up", "arrow.up.right", true, true,
         true, true, true, false, "person.crop.circle"},
        {OnboardingStep::signIn, true, true, false, "STEP 2 OF 3", "Open the web panel", "arrow.up.right", false, true,
         false, false, true, false, "person.crop.circle"},
        {OnboardingStep::connect, false, false, false, "STEP 3 OF 3", "Create my server", "arrow.right", false, false,
         false, true, true, false, "bolt.fill"},
        {OnboardingStep::connect, true, true, false, "STEP 3 OF 3", "Setting up your server\u2026", "arrow.right", false,
         false, false, false, true, false, "bolt.fill"},
    };
    for (const Row& row : rows) {
        const auto name = std::string(onboarding_step::rawValue(row.step)) + (row.busy ? " busy" : "");
        const rules::WelcomeCard card = rules::welcomeCard(row.step, row.installed, row.busy, row.opened);
        EXPECT_EQ(card.stepLine, row.stepLine) << name;
        EXPECT_EQ(card.mainLabel, row.mainLabel) << name;
        EXPECT_EQ(card.mainSpinner, row.busy && row.step == OnboardingStep::connect) << name;
        EXPECT_EQ(card.mainSymbol, row.mainSymbol) << name;
        EXPECT_EQ(card.mainEnabled, row.mainEnabled) << name;
        EXPECT_EQ(card.secondaryLabel.has_value(), row.hasSecondary) << name;
        EXPECT_EQ(card.secondaryPrimary, row.secondaryPrimary) << name;
        EXPECT_EQ(card.secondaryEnabled, row.secondaryEnabled) << name;
        EXPECT_EQ(card.showBack, row.back) << name;
        EXPECT_EQ(card.showRequirements, row.requirements) << name;
        EXPECT_EQ(card.markSymbol, row.mark) << name;
    }
}

TEST(WindowRules, WelcomeButtonsWalkTheSteps) {
    using S = OnboardingStep;
    using E = rules::WelcomeEffect;
    struct Row {
        S from;
        bool secondary;
        bool opened;
        S to;
        E effect;
        bool openedAfter;
    };
    const Row rows[] = {
        {S::account, false, false, S::createAccount, E::none, false},
        {S::account, true, false, S::signIn, E::none, false},
        {S::createAccount, false, false, S::createAccount, E::openSignup, true},
        {S::createAccount, true, true, S::connect, E::none, false},
        {S::signIn, false, false, S::signIn, E::openPanel, true},
        {S::signIn, true, true, S::connect, E::none, false},
        {S::connect, false, false, S::connect, E::start, false},
    };
    for (const Row& row : rows) {
        const rules::WelcomeMove move = row.secondary ? rules::welcomeSecondaryPressed(row.from, row.opened)
                                                      : rules::welcomeMainPressed(row.from, row.opened);
        const auto name = std::string(onboarding_step::rawValue(row.from)) + (row.secondary ? " secondary" : " main");
        EXPECT_EQ(move.step, row.to) << name;
        EXPECT_EQ(move.effect, row.effect) << name;
        EXPECT_EQ(move.opened, row.openedAfter) << name;
    }
}

TEST(WindowRules, SteppersNeverOfferAnInvertedRange) {
    using R = rules::StepperRange;
    EXPECT_EQ(rules::validRange(1, 8), (R{1, 8}));
    EXPECT_EQ(rules::validRange(4, 2), (R{4, 4}));
    EXPECT_EQ(rules::validRange(2, -3), (R{2, 2}));

    // A host the policy cannot size at all: one CPU and 2 GiB, and nothing else to choose.
    EXPECT_EQ(rules::onboardingCPURange({0, 0}), (R{1, 1}));
    EXPECT_EQ(rules::onboardingMemoryRange({0, 0}), (R{2, 2}));
    const R cpu = rules::onboardingCPURange({10, 16ull << 30});
    const R memory = rules::onboardingMemoryRange({10, 16ull << 30});
    EXPECT_EQ(cpu.minimum, 1);
    EXPECT_GT(cpu.maximum, 1);
    EXPECT_LT(cpu.maximum, 10) << "room is left for macOS";
    EXPECT_EQ(memory.minimum, 2);
    EXPECT_LT(memory.maximum, 16);

    ViewState state = base();
    state.resources = DesktopResources{3, 4, "Stopped", {4, 2, 8, 6}};
    const rules::ResourceEditor editor = rules::resourceEditor(state);
    EXPECT_EQ(editor.cpuRange, (R{4, 4}));
    EXPECT_EQ(editor.memoryRange, (R{8, 8}));
    EXPECT_EQ(editor.limits, "Up to 4 CPUs and 8 GiB on this Mac. We leave room for macOS.");
}

TEST(WindowRules, OnboardingFormForNewAndExistingServer) {
    ViewState state = base();
    state.durablyInstalled = true;
    rules::OnboardingForm form = rules::onboardingForm(state);
    EXPECT_EQ(form.title, "Turn this Mac into a server.");
    EXPECT_EQ(form.setupLabel, "Create your server");
    EXPECT_TRUE(form.diskNote.has_value());
    EXPECT_TRUE(form.setupEnabled);
    EXPECT_EQ(form.capacityText, "12 cores \u00B7 32 GiB");

    state.vmExists = true;
    form = rules::onboardingForm(state);
    EXPECT_EQ(form.title, "Connect your server.");
    EXPECT_EQ(form.setupLabel, "Connect your Mac");
    EXPECT_FALSE(form.diskNote.has_value());
    EXPECT_EQ(form.allocationText, "Checking\u2026");

    struct Blocker {
        const char* name;
        void (*apply)(ViewState&);
    };
    const Blocker blockers[] = {
        {"a run in progress", [](ViewState& s) { s.running = true; }},
        {"another action", [](ViewState& s) { s.resourceActionsBusy = true; }},
        {"unsupported", [](ViewState& s) { s.support = intel(); }},
        {"outside Applications", [](ViewState& s) { s.durablyInstalled = false; }},
    };
    for (const Blocker& blocker : blockers) {
        ViewState blocked = base();
        blocked.durablyInstalled = true;
        blocker.apply(blocked);
        EXPECT_FALSE(rules::onboardingForm(blocked).setupEnabled) << blocker.name;
    }
    ViewState busy = base();
    busy.settingUp = true;
    EXPECT_EQ(rules::onboardingForm(busy).setupLabel, "Setting up your server\u2026");
}

TEST(WindowRules, SetupCardByStage) {
    using M = rules::StepMark;
    using A = rules::PairingActions;
    struct Row {
        const char* stage;
        const char* code;
        A actions;
        bool codeBox, help, complete;
        std::vector<M> marks;
    };
    const Row rows[] = {
        {"awaiting_account", "AB12", A::openPanel, true, true, false, {M::current, M::waiting, M::waiting, M::waiting}},
        {"awaiting_account", "", A::openPanel, false, true, false, {M::current, M::waiting, M::waiting, M::waiting}},
        {"creating_vm", "", A::waiting, false, true, false, {M::done, M::current, M::waiting, M::waiting}},
        {"unknown", "AB12", A::waiting, false, true, false, {M::waiting, M::waiting, M::waiting, M::waiting}},
        {"failed", "", A::resume, false, true, false, {M::waiting, M::waiting, M::waiting, M::waiting}},
        {"complete", "", A::complete, false, false, true, {M::done, M::done, M::done, M::done}},
    };
    for (const Row& row : rows) {
        ViewState state = base();
        state.setupStage = row.stage;
        state.pairingCode = row.code;
        const rules::PairingCard card = rules::pairingCard(state);
        const std::string name = std::string(row.stage) + (*row.code ? " with code" : "");
        EXPECT_EQ(card.actions, row.actions) << name;
        EXPECT_EQ(card.showCodeBox, row.codeBox) << name;
        EXPECT_EQ(card.showHelp, row.help) << name;
        EXPECT_EQ(card.complete, row.complete) << name;
        EXPECT_EQ(card.steps, row.marks) << name;
    }
    ViewState failed = base();
    failed.setupStage = "failed";
    EXPECT_TRUE(rules::pairingCard(failed).canResume);
    failed.running = true;
    EXPECT_FALSE(rules::pairingCard(failed).canResume);
}

TEST(WindowRules, SetupCardDescribesTheMac) {
    ViewState state = base();
    state.hostName = "";
    state.cpu = 3;
    state.memory = 6;
    rules::PairingCard card = rules::pairingCard(state);
    EXPECT_EQ(card.machineName, "This Mac") << "no profile yet and no host name";
    EXPECT_EQ(card.machineSummary, "Apple M2 Pro \u00B7 3 CPUs \u00B7 6 GiB RAM");

    state.hostName = "Ada\u2019s Mac";
    state.allocatedCPU = 4;
    state.allocatedMemoryGiB = 7.5;
    card = rules::pairingCard(state);
    EXPECT_EQ(card.machineName, "Ada\u2019s Mac");
    EXPECT_EQ(card.machineSummary, "Apple M2 Pro \u00B7 4 CPUs \u00B7 7.5 GiB RAM");

    SetupProgress progress;
    progress.stage = "linking";
    progress.accountEmail = "ada@example.com";
    progress.profile = SetupProfile{"Studio", "Apple M4", 6, 8.0};
    state.setupSnapshot = progress;
    card = rules::pairingCard(state);
    EXPECT_EQ(card.machineName, "Studio");
    EXPECT_EQ(card.machineSummary, "Apple M4 \u00B7 6 CPUs \u00B7 8 GiB RAM");
    EXPECT_EQ(card.accountEmail, "ada@example.com");

    EXPECT_EQ(rules::stepAccessibilityText("Prepare", rules::StepMark::current), "Prepare: current step");
}

TEST(WindowRules, LifecycleRow) {
    struct Row {
        const char* name;
        Action action;
        const char* label;
        bool refreshing, busy;
        const char* title;
        const char* symbol;
        bool enabled, links;
    };
    const Row rows[] = {
        {"live", Action::disconnect, "Public access enabled", false, false, "Disconnect public access", "pause.circle",
         true, false},
        {"paused", Action::connect, "Public access paused", false, false, "Reconnect public access", "arrow.clockwise", true,
         false},
        {"unconfirmed", Action::check, "x", false, false, "Check connection", "arrow.clockwise", true, true},
        {"checking", Action::check, "x", true, false, "Checking connection\u2026", "arrow.clockwise", false, true},
        {"refreshing, not a check", Action::disconnect, "x", true, false, "Disconnect public access", "pause.circle", true,
         false},
        {"pausing", Action::wait, "Pausing public access\u2026", false, false, "Pausing\u2026", "arrow.clockwise", false,
         false},
        {"reconnecting", Action::wait, "Reconnecting public access\u2026", false, false, "Reconnecting\u2026",
         "arrow.clockwise", false, false},
        {"another action runs", Action::connect, "x", false, true, "Reconnect public access", "arrow.clockwise", false,
         false},
    };
    for (const Row& row : rows) {
        ViewState state = base();
        state.accessPresentation = {row.label, "detail", row.action, false};
        state.refreshingAccess = row.refreshing;
        state.resourceActionsBusy = row.busy;
        const rules::LifecycleCard card = rules::lifecycleCard(state);
        EXPECT_EQ(card.accessTitle, row.title) << row.name;
        EXPECT_EQ(card.accessSymbol, row.symbol) << row.name;
        EXPECT_EQ(card.accessEnabled, row.enabled) << row.name;
        EXPECT_EQ(card.showLinks, row.links) << row.name;
    }

    ViewState state = base();
    state.canRestartServer = true;
    state.serverState = "Unknown";
    EXPECT_TRUE(rules::lifecycleCard(state).restartEnabled);
    EXPECT_TRUE(rules::lifecycleCard(state).powerAsks) << "only a stopped server starts without asking";
    state.restartPending = true;
    EXPECT_EQ(rules::lifecycleCard(state).restartTitle, "Restart pending\u2026");
    EXPECT_FALSE(rules::lifecycleCard(state).restartEnabled);
    state.serverState = "Stopped";
    EXPECT_FALSE(rules::lifecycleCard(state).powerAsks);
    EXPECT_EQ(rules::lifecycleCard(state).powerSymbol, "play.circle");
}

TEST(WindowRules, LifecycleExplanationPrecedence) {
    struct Row {
        const char* name;
        std::optional<bool> paused;
        const char* error;
        const char* restart;
        const char* note;
        const char* expected;
        int spacing;
    };
    const Row rows[] = {
        {"status unreadable", std::nullopt, "Could not load server controls.", "r", "n", "Could not load server controls.", 0},
        {"error with a status", false, "e", "r", "n", "e", 2},
        {"restart message", false, "", "r", "n", "r", 2},
        {"note", true, "", "", "n", "n", 2},
        {"detail", false, "", "", "", "detail", 2},
    };
    for (const Row& row : rows) {
        ViewState state = base();
        state.accessPresentation = {"x", "detail", Action::check, false};
        state.publishingPaused = row.paused;
        state.lifecycleError = row.error;
        state.restartMessage = row.restart;
        state.lifecycleNote = row.note;
        const rules::LifecycleCard card = rules::lifecycleCard(state);
        EXPECT_EQ(card.explanation, row.expected) << row.name;
        EXPECT_EQ(card.explanationLineSpacing, row.spacing) << row.name;
    }
}

TEST(WindowRules, ResourceEditor) {
    struct Row {
        const char* name;
        const char* vmState;
        double memory;
        bool changed, busy, resizing;
        bool asks, custom, applyEnabled;
    };
    const Row rows[] = {
        {"running asks", "Running", 8, true, false, false, true, false, true},
        {"any letter case", "RUNNING", 8, true, false, false, true, false, true},
        {"stopped applies at once", "Stopped", 8, true, false, false, false, false, true},
        {"custom memory", "Stopped", 7.5, true, false, false, false, true, true},
        {"nothing changed", "Running", 8, false, false, false, true, false, false},
        {"busy", "Running", 8, true, true, true, true, false, false},
    };
    for (const Row& row : rows) {
        ViewState state = base();
        state.resources = DesktopResources{4, row.memory, row.vmState, {1, 6, 2, 12}};
        state.resourcesChanged = row.changed;
        state.resourceActionsBusy = row.busy;
        state.resizingResources = row.resizing;
        const rules::ResourceEditor editor = rules::resourceEditor(state);
        EXPECT_TRUE(editor.showEditor) << row.name;
        EXPECT_EQ(editor.applyAsks, row.asks) << row.name;
        EXPECT_EQ(editor.consequence.rfind("Changing resources restarts", 0) == 0, row.asks) << row.name;
        EXPECT_EQ(editor.customMemoryNote.has_value(), row.custom) << row.name;
        EXPECT_EQ(editor.applyEnabled, row.applyEnabled) << row.name;
        EXPECT_EQ(editor.applyLabel, row.resizing ? "Applying changes\u2026" : "Apply changes") << row.name;
        EXPECT_EQ(editor.closeEnabled, !row.resizing) << row.name;
    }

    ViewState failed = base();
    failed.resourceError = "tessaron: no VM";
    EXPECT_TRUE(rules::resourceEditor(failed).showTryAgain);
    failed.resources = DesktopResources{4, 8, "Running", {1, 6, 2, 12}};
    EXPECT_FALSE(rules::resourceEditor(failed).showTryAgain) << "a failed apply keeps the editor";

    EXPECT_EQ(rules::resourceRestartConfirmation(6, 12).message,
              "Your apps and SSH sessions will be interrupted while Linux restarts with 6 CPUs and 12 GiB RAM. Your files "
              "will be preserved.");
}

}  // namespace
}  // namespace tessaron::desktop
