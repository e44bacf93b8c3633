#include "panel/onboarding_presentation.h"

#include "host/agent_configuration.h"

#include <gtest/gtest.h>

namespace tessaron {
namespace {

TEST(OnboardingStep, RawValuesInWalkThroughOrder) {
    const std::vector<std::pair<OnboardingStep, std::string>> table = {
        {OnboardingStep::account, "account"},
        {OnboardingStep::createAccount, "createAccount"},
        {OnboardingStep::signIn, "signIn"},
        {OnboardingStep::connect, "connect"},
    };
    ASSERT_EQ(onboarding_step::allCases.size(), table.size());
    for (std::size_t i = 0; i < table.size(); ++i) {
        EXPECT_EQ(onboarding_step::allCases[i], table[i].first);
        EXPECT_EQ(onboarding_step::rawValue(table[i].first), table[i].second);
        EXPECT_EQ(onboarding_step::fromRawValue(table[i].second), table[i].first);
    }
    for (const char* text : {"signin", "SignIn", "", " signIn", "connect\n", "create_account"})
        EXPECT_FALSE(onboarding_step::fromRawValue(text)) << text;
}

TEST(OnboardingPresentation, EveryScreenHasItsTexts) {
    const std::string host = TessaronEndpoints::defaultControl().hostName();
    ASSERT_FALSE(host.empty());
    struct Row {
        OnboardingStep screen;
        std::string title, detail;
        int step;
        std::vector<std::string> points;
        std::string primary;
        bool opensBrowser;
        std::optional<std::string> secondary;
    };
    const std::vector<Row> table = {
        {OnboardingStep::account, "Turn this Mac into a server.",
         "Tessaron runs a Linux server on this Mac and gives it a public address, so your websites and apps can be "
         "reached from anywhere. Your files and macOS are left alone.",
         1, {}, "I need an account", false, "I already have one"},
        {OnboardingStep::createAccount, "Create your account",
         "Your account lives on " + host + ". It is what this Mac gets linked to, and it is free to create.", 1,
         {"We will open " + host + " in your browser.", "Sign up with your email address.",
          "Open the email we send and click the link. This Mac cannot be linked until that address is confirmed "
          "\u2014 it is the step people miss."},
         "Open sign-up", true, "I have confirmed my email"},
        {OnboardingStep::signIn, "Sign in to your account",
         "The web panel is where you approve this Mac. Signing in first means the approval is waiting for you when "
         "this Mac asks.",
         2, {"We will open the web panel in your browser.", "Sign in there, then come back to this window."},
         "Open the web panel", true, "I am signed in"},
        {OnboardingStep::connect, "Connect this Mac",
         "This is the last step. It takes a few minutes, most of which is downloading Linux.", 3,
         {"Tessaron downloads Linux and prepares a server on this Mac.",
          "A short code appears here. Approve the matching code in the web panel to link this Mac to your account.",
          "Keep this Mac awake and online until it finishes."},
         "Create my server", false, std::nullopt},
    };
    for (const auto& row : table) {
        const std::string name(onboarding_step::rawValue(row.screen));
        OnboardingPresentation p(row.screen);
        EXPECT_EQ(p.title, row.title) << name;
        EXPECT_EQ(p.detail, row.detail) << name;
        EXPECT_EQ(p.step, row.step) << name;
        EXPECT_GE(p.step, 1);
        EXPECT_LE(p.step, OnboardingPresentation::stepCount);
        EXPECT_EQ(p.points, row.points) << name;
        EXPECT_EQ(p.primary, row.primary) << name;
        EXPECT_EQ(p.opensBrowser, row.opensBrowser) << name;
        EXPECT_EQ(p.secondary, row.secondary) << name;
    }
}

TEST(OnboardingPresentation, RequirementsLine) {
    EXPECT_EQ(OnboardingPresentation::stepCount, 3);
    const std::string& line = OnboardingPresentation::requirements;
    EXPECT_EQ(line, "Apple silicon \u00B7 macOS 13 or later \u00B7 10 GiB free");
    EXPECT_EQ(line.size(), 49u);  // 47 characters, two of them two-byte middle dots
}

}  // namespace
}  // namespace tessaron
