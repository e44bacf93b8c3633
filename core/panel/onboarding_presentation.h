#pragma once
// The texts of the desktop application's walk-through before a Mac is paired: having
// an account with the web panel, being signed in, and connecting this Mac.

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tessaron {

enum class OnboardingStep { account, createAccount, signIn, connect };

namespace onboarding_step {
// Every step, in walk-through order.
inline constexpr std::array<OnboardingStep, 4> allCases{OnboardingStep::account, OnboardingStep::createAccount,
                                                        OnboardingStep::signIn, OnboardingStep::connect};
// The raw value is the case name ("createAccount").
std::string_view rawValue(OnboardingStep step);
// Nothing for any text that is not exactly a case name.
std::optional<OnboardingStep> fromRawValue(std::string_view text);
}  // namespace onboarding_step

struct OnboardingPresentation {
    std::string title;
    std::string detail;
    int step = 1;  // 1 to stepCount
    std::vector<std::string> points;
    std::string primary;
    bool opensBrowser = false;
    std::optional<std::string> secondary;

    static constexpr int stepCount = 3;
    // The middle dots are U+00B7.
    inline static const std::string requirements = "Apple silicon \u00B7 macOS 13 or later \u00B7 10 GiB free";

    explicit OnboardingPresentation(OnboardingStep screen);
};

}  // namespace tessaron
