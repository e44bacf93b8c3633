#include "panel/setup_progress.h"

#include <gtest/gtest.h>

namespace tessaron {
namespace {

TEST(SetupProgressEvent, LinesRoundTripEveryField) {
    SetupProgress onlyStage;
    onlyStage.stage = "linking";
    const std::string line = SetupProgressEvent::line(onlyStage);
    EXPECT_EQ(line, "TESSARON_SETUP_STATE {\"stage\":\"linking\"}");
    auto decoded = SetupProgressEvent::decode(line);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->toJson(), onlyStage.toJson());

    SetupProgress full;
    full.id = "setup_1";
    full.code = "ABCDEF012345";
    full.expiresAt = 1765000000.25;
    full.stage = "awaiting_account";
    full.machineId = "m-1";
    full.accountEmail = "me@example.com";
    full.profile = SetupProfile{"Line\nbreak \u201Cname\u201D", "Apple M2", 4, 7.5};
    full.updatedAt = 1765000001;
    const std::string fullLine = SetupProgressEvent::line(full);
    EXPECT_EQ(fullLine.find('\n'), std::string::npos);  // one line, even with a line feed in a value
    auto back = SetupProgressEvent::decode(fullLine + "\n");
    ASSERT_TRUE(back);
    EXPECT_EQ(back->toJson(), full.toJson());
    EXPECT_EQ(back->profile->name, "Line\nbreak \u201Cname\u201D");
}

TEST(SetupProgressEvent, OtherLinesAreNotProgress) {
    for (const char* text : {"tessaron_setup_state {\"stage\":\"linking\"}", "TESSARON_SETUP_STATE{\"stage\":\"linking\"}",
                             " TESSARON_SETUP_STATE {\"stage\":\"linking\"}", "TESSARON_SETUP_STATE {\"code\":\"X\"}",
                             "TESSARON_SETUP_STATE {\"stage\":\"linking\"", "TESSARON_SETUP_STATE [1]",
                             "TESSARON_SETUP_STATE ", "TESSARON_SETUP_STATE {\"stage\":\"x\"} trailing",
                             "Setup link: https://panel.example", ""})
        EXPECT_FALSE(SetupProgressEvent::decode(text)) << text;
}

TEST(SetupPresentation, EveryStageShowsItsRow) {
    struct Row {
        std::string stage;
        bool synchronized;
        std::string title;
        std::string detail;
        int step;
        bool working;
        bool showCode;
    };
    const std::string cantConfirm =
        "We can\u2019t confirm progress right now. Keep your Mac online; we\u2019ll check again automatically.";
    const std::string waiting = "Waiting for a confirmed update. If this continues, reopen Tessaron on your Mac.";
    const std::vector<Row> rows = {
        {"awaiting_account", true, "Connect your Mac",
         "Check that the code matches on both screens, then approve this Mac in the web panel.", 0, false, true},
        {"approved", true, "Mac approved",
         "Waiting for the Mac app to start preparing your server. No need to approve again.", 1, true, false},
        {"creating_vm", true, "Preparing your server",
         "This can take several minutes. Keep your Mac awake and online. There\u2019s nothing else to do right now.", 1,
         true, false},
        {"linking", true, "Connecting your Mac",
         "Your server is prepared. We\u2019re finishing its connection to your account.", 2, true, false},
        {"complete", true, "Your Mac is linked",
         "You\u2019re ready for the next step: let your AI assistant help, or set up your first app yourself.", 3, false,
         false},
        {"failed", true, "Setup needs attention",
         "Open Tessaron on this Mac to see what needs attention and resume setup. Your existing server and files are "
         "preserved.",
         -1, false, false},
        {"complete", false, "Checking setup status", cantConfirm, -1, false, false},
        {"awaiting_account", false, "Checking setup status", cantConfirm, -1, false, false},
        {"resume", true, "Checking setup status", waiting, -1, false, false},
        {"Complete", true, "Checking setup status", waiting, -1, false, false},
        {"", true, "Checking setup status", waiting, -1, false, false},
    };
    for (const auto& row : rows) {
        SetupPresentation shown(row.stage, row.synchronized);
        EXPECT_EQ(shown.title, row.title) << row.stage;
        EXPECT_EQ(shown.detail, row.detail) << row.stage;
        EXPECT_EQ(shown.step, row.step) << row.stage;
        EXPECT_EQ(shown.working, row.working) << row.stage;
        EXPECT_EQ(shown.showCode, row.showCode) << row.stage;
    }
    EXPECT_EQ(SetupPresentation::steps, (std::array<std::string, 4>{"Approve", "Prepare", "Connect", "Ready"}));
}

}  // namespace
}  // namespace tessaron
