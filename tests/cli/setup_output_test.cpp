#include "cli/setup_output.h"

#include "panel/setup_progress.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace tessaron::cli {
namespace {
namespace out = setup_output;

TEST(SetupOutput, HumanLinesHaveTheirExactTexts) {
    const Url link = *Url::parse("https://panel.example/console/connect?setup=setup_1");
    const std::vector<std::pair<std::string, std::string>> lines = {
        {out::resuming(), "Resuming your saved setup. Existing Linux files will be preserved."},
        {out::approvalCode("ABCDEF012345"), "Approve this Mac in the web panel with code: ABCDEF012345"},
        {out::setupLink(link), "Setup link: https://panel.example/console/connect?setup=setup_1"},
        {out::waitingForApproval(), "Waiting for account approval before creating Linux\u2026"},
        {out::accountApproved(), "Account approved. Preparing your Linux server\u2026"},
        {out::keepingExistingVM(), "Keeping your existing Linux VM, files and resources."},
        {*out::removedDownloads(1), "Removed 0 MB of interrupted downloads from an earlier attempt."},
        {*out::removedDownloads(2'999'999), "Removed 2 MB of interrupted downloads from an earlier attempt."},
        {*out::removedDownloads(5'000'000'000ULL), "Removed 5000 MB of interrupted downloads from an earlier attempt."},
        {out::creatingVM(), "Creating the single Tessaron Linux VM\u2026"},
        {out::restartingInterruptedSetup(),
         "The last setup stopped before your Linux server was downloaded. Starting it again \u2014 nothing was created, "
         "so nothing is lost."},
        {out::paired(), "Paired. Your Mac is linked; background hosting can now connect."},
        {out::legacyCode("K7Q2MX"), "\nPair this Mac in the Tessaron dashboard with code: K7Q2MX"},
        {out::legacyWaiting(), "Waiting for approval\u2026"},
        {out::legacyPaired(),
         "Paired. Your connection is saved privately on this Mac; run `tessaron serve` to connect. No Keychain "
         "permission is needed."},
    };
    for (const auto& [actual, expected] : lines) {
        EXPECT_EQ(actual, expected);
        // The setup flow never says what belongs to the connection helper.
        for (const char* foreign : {"WireGuard connected.", "Network reconnect pending:", "Guest networking configured."})
            EXPECT_EQ(actual.find(foreign), std::string::npos);
    }
    EXPECT_FALSE(out::removedDownloads(0));
}

TEST(SetupOutput, ProgressLinesAreWrittenWholeAndReadBack) {
    SetupProgress progress;
    progress.stage = "awaiting_account";
    progress.code = "ABCDEF012345";
    progress.accountEmail = "line\nfeed@example.com";

    int pipeFds[2];
    ASSERT_EQ(::pipe(pipeFds), 0);
    out::publish(progress, pipeFds[1]);
    ::close(pipeFds[1]);
    std::string written;
    char buffer[4096];
    for (ssize_t n; (n = ::read(pipeFds[0], buffer, sizeof buffer)) > 0;) written.append(buffer, static_cast<std::size_t>(n));
    ::close(pipeFds[0]);

    ASSERT_FALSE(written.empty());
    EXPECT_EQ(written.rfind("TESSARON_SETUP_STATE ", 0), 0u);
    EXPECT_EQ(written.find('\n'), written.size() - 1);  // exactly one line feed, at the end
    auto back = SetupProgressEvent::decode(written);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->toJson(), progress.toJson());

    // As long as a panel's answer may be, a progress goes out; longer than a reader takes, it does not.
    progress.accountEmail = std::string(64 * 1024, 'e');
    EXPECT_LE(out::progressLine(progress).size(), SetupProgressEvent::maximumLineBytes);
    progress.accountEmail = std::string(SetupProgressEvent::maximumLineBytes, 'e');
    EXPECT_THROW(out::progressLine(progress), Error);
}

TEST(SetupOutput, PublishingToAClosedOutputFails) {
    std::signal(SIGPIPE, SIG_IGN);
    int pipeFds[2];
    ASSERT_EQ(::pipe(pipeFds), 0);
    ::close(pipeFds[0]);
    SetupProgress progress;
    progress.stage = "linking";
    EXPECT_THROW(out::publish(progress, pipeFds[1]), Error);
    ::close(pipeFds[1]);
}

}  // namespace
}  // namespace tessaron::cli
