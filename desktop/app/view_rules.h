#pragma once
// The window's decisions as plain functions of the view state: which banners and which main card
// show, every conditional text, which buttons are enabled, and what each button of the welcome card
// does. The widgets only call these; tests reach them without a display.
#include "app/view_state.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tessaron::desktop::rules {

// --- Window ---------------------------------------------------------------------------------------

enum class MainCard { pairing, welcome, onboarding, dashboard, none };
MainCard mainCard(const ViewState& state);

bool showUpdateBanner(const ViewState& state);
std::string updateBannerText(const ViewState& state);

bool showMoveBanner(const ViewState& state);
std::string moveBannerExplanation(const ViewState& state);
std::string moveBannerNote(const ViewState& state);
std::string moveButtonTitle(const ViewState& state);

bool showUnsupportedBanner(const ViewState& state);

// The dashboard's connection action row.
struct ConnectionAction {
    bool show = false;
    bool busy = false;
    bool enabled = false;
    std::string title;
    std::string detail;
};
ConnectionAction connectionAction(const ViewState& state);

// A two-button confirmation: the cancel button comes first.
struct Confirmation {
    std::string title;
    std::string message;
    std::string confirm;
    std::string cancel = "Cancel";
};
Confirmation restartServerConfirmation();
Confirmation turnOffServerConfirmation();
Confirmation resourceRestartConfirmation(int cpu, int memoryGiB);

// --- Welcome card ---------------------------------------------------------------------------------

struct WelcomeCard {
    std::string stepLine;  // "STEP 1 OF 3"
    std::string markSymbol;
    bool showPoints = false;
    bool showRequirements = false;
    std::string mainLabel;
    bool mainSpinner = false;
    std::string mainSymbol;
    bool mainEnabled = false;
    std::optional<std::string> secondaryLabel;
    bool secondaryPrimary = false;
    bool secondaryEnabled = false;
    bool showBack = false;
};
WelcomeCard welcomeCard(OnboardingStep step, bool installed, bool busy, bool opened);

enum class WelcomeEffect { none, openSignup, openPanel, start };
struct WelcomeMove {
    OnboardingStep step;
    WelcomeEffect effect = WelcomeEffect::none;
    bool opened = false;  // the card's flag after the press
};
WelcomeMove welcomeMainPressed(OnboardingStep step, bool opened);
WelcomeMove welcomeSecondaryPressed(OnboardingStep step, bool opened);

// --- Onboarding form ------------------------------------------------------------------------------

// A stepper's inclusive range; the upper end is never below the lower one.
struct StepperRange {
    int minimum = 0;
    int maximum = 0;
    bool operator==(const StepperRange&) const = default;
};
StepperRange validRange(long long lower, long long upper);
StepperRange onboardingCPURange(const HostCapacity& capacity);
StepperRange onboardingMemoryRange(const HostCapacity& capacity);

struct OnboardingForm {
    std::string title;
    std::string subtitle;
    std::string chip;          // this Mac's chip, as shown
    std::string capacityText;  // "10 cores · 16 GiB"
    std::string allocationText;
    bool editEnabled = false;
    std::string nextTitle;
    std::string nextDetail;
    std::optional<std::string> diskNote;
    std::string setupLabel;
    bool setupSpinner = false;
    bool setupEnabled = false;
};
OnboardingForm onboardingForm(const ViewState& state);

// --- Pairing card ---------------------------------------------------------------------------------

enum class StepMark { done, current, waiting };
enum class PairingActions { openPanel, waiting, resume, complete };

struct PairingCard {
    std::string title;
    std::string detail;
    std::optional<std::string> accountEmail;
    bool complete = false;  // the badge shows a white checkmark on green
    std::string machineName;
    std::string machineSummary;  // "Apple M2 · 4 CPUs · 8 GiB RAM"
    std::string code;            // the pairing code as shown
    bool showCodeBox = false;
    bool working = false;
    std::vector<StepMark> steps;
    PairingActions actions = PairingActions::waiting;
    bool canResume = false;
    bool showHelp = true;
};
PairingCard pairingCard(const ViewState& state);
std::string pairingMemoryLabel(double gibibytes);
std::string stepAccessibilityText(const std::string& title, StepMark mark);

// --- Server dashboard -----------------------------------------------------------------------------

struct Dashboard {
    std::string subtitle;
    std::string pillText;
    std::string pillSymbol;
    bool pillLive = false;
    std::string cpuValue;
    std::string memoryValue;
    std::string serverValue;
    bool editEnabled = false;
    bool panelEmphasis = false;  // the AI and web-panel buttons in the dark look
    std::string panelTitle;
    bool terminalEnabled = false;
};
Dashboard dashboard(const ViewState& state);

struct LifecycleCard {
    std::string accessTitle;
    std::string accessSymbol;
    bool accessEnabled = false;
    std::string restartTitle;
    bool restartEnabled = false;
    std::string powerTitle;
    std::string powerSymbol;
    bool powerEnabled = false;
    bool powerAsks = true;  // false: starting a stopped server does not ask
    std::string explanation;
    int explanationLineSpacing = 2;
    bool showLinks = false;
    bool showKeepOff = false;
    bool keepOffEnabled = false;
};
LifecycleCard lifecycleCard(const ViewState& state);

// --- Resource editor ------------------------------------------------------------------------------

struct ResourceEditor {
    bool loading = false;
    bool showEditor = false;
    std::string summary;
    StepperRange cpuRange;
    StepperRange memoryRange;
    std::string limits;
    std::optional<std::string> customMemoryNote;
    std::string consequence;
    bool applyAsks = false;  // a running server is restarted: confirm first
    std::string applyLabel;
    bool applySpinner = false;
    bool applyEnabled = false;
    bool steppersEnabled = false;
    bool closeEnabled = false;
    bool showTryAgain = false;
    bool tryAgainEnabled = false;
};
ResourceEditor resourceEditor(const ViewState& state);

// --- Footer ---------------------------------------------------------------------------------------

std::string hostingNote(bool paired);
// The log box's text: the whole log, its lines kept and whole, everything else escaped like any
// text from outside.
std::string logText(std::string_view log);

// --- Texts from outside ---------------------------------------------------------------------------

// A failure text from a run or the panel (an error, a connection detail) as a label shows it:
// control and bidirectional characters escaped but line breaks kept, a few hundred characters at
// most. Every value from outside that the rules place in a text is escaped and cut the same way.
std::string failureText(const std::string& text);
// A message of the model that may carry outside text inside fixed sentences (the window's error
// line, the move banner's error), escaped as a failure text is. The model bounds each outside part
// where it puts the message together, so the fixed words are never cut here; only a text far
// longer than any such message (one that came from outside alone) is.
std::string messageText(const std::string& text);

}  // namespace tessaron::desktop::rules
