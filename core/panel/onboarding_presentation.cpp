#include "panel/onboarding_presentation.h"

#include "host/agent_configuration.h"

namespace tessaron {

namespace onboarding_step {

std::string_view rawValue(OnboardingStep step) {
    switch (step) {
    case OnboardingStep::account: return "account";
    case OnboardingStep::createAccount: return "createAccount";
    case OnboardingStep::signIn: return "signIn";
    case OnboardingStep::connect: return "connect";
    }
    return "account";
}

std::optional<OnboardingStep> fromRawValue(std::string_view text) {
    for (OnboardingStep step : allCases)
        if (rawValue(step) == text) return step;
    return std::nullopt;
}

}  // namespace onboarding_step

OnboardingPresentation::OnboardingPresentation(OnboardingStep screen) {
    switch (screen) {
    case OnboardingStep::account:
        title = "Turn this Mac into a server.";
        detail = "Tessaron runs a Linux server on this Mac and gives it a public address, so your websites and apps "
                 "can be reached from anywhere. Your files and macOS are left alone.";
        step = 1;
        primary = "I need an account";
        opensBrowser = false;
        secondary = "I already have one";
        break;
    case OnboardingStep::createAccount: {
        // The built-in panel's host, not one the user may have entered.
        const std::string panelHost = TessaronEndpoints::defaultControl().hostName();
        title = "Create your account";
        detail = "Your account lives on " + panelHost +
                 ". It is what this Mac gets linked to, and it is free to create.";
        step = 1;
        points = {"We will open " + panelHost + " in your browser.", "Sign up with your email address.",
                  "Open the email we send and click the link. This Mac cannot be linked until that address is "
                  "confirmed \u2014 it is the step people miss."};
        primary = "Open sign-up";
        opensBrowser = true;
        secondary = "I have confirmed my email";
        break;
    }
    case OnboardingStep::signIn:
        title = "Sign in to your account";
        detail = "The web panel is where you approve this Mac. Signing in first means the approval is waiting for "
                 "you when this Mac asks.";
        step = 2;
        points = {"We will open the web panel in your browser.", "Sign in there, then come back to this window."};
        primary = "Open the web panel";
        opensBrowser = true;
        secondary = "I am signed in";
        break;
    case OnboardingStep::connect:
        title = "Connect this Mac";
        detail = "This is the last step. It takes a few minutes, most of which is downloading Linux.";
        step = 3;
        points = {"Tessaron downloads Linux and prepares a server on this Mac.",
                  "A short code appears here. Approve the matching code in the web panel to link this Mac to your "
                  "account.",
                  "Keep this Mac awake and online until it finishes."};
        primary = "Create my server";
        opensBrowser = false;
        secondary = std::nullopt;
        break;
    }
}

}  // namespace tessaron
