#include "panel/machine_removal.h"

#include "host/error.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tessaron {
namespace {

TEST(MachineRemoval, RecognisesOnlyTheRemovalAnswer) {
    struct Case {
        long status;
        std::string body;
        std::string expected;
        std::optional<bool> deleteServer;  // nothing: not a notice
    };
    const std::vector<Case> cases = {
        {410, R"({"code":"machine_removed"})", "mac-1", false},
        {410, R"({"code":"machine_removed","deleteServer":true})", "mac-1", true},
        {410, R"({"code":"machine_removed","deleteServer":false,"extra":[1]})", "mac-1", false},
        {410, R"({"code":"machine_removed","deleteServer":null})", "mac-1", false},
        {410, R"({"code":"machine_removed","machineId":"other"})", "mac-1", false},
        {410, R"({"code":"machine_removed","deleteServer":"yes"})", "mac-1", std::nullopt},
        {410, R"({"code":"machine_gone"})", "mac-1", std::nullopt},
        {410, R"({"code":7})", "mac-1", std::nullopt},
        {410, R"({"error":"gone"})", "mac-1", std::nullopt},
        {410, "", "mac-1", std::nullopt},
        {410, "<html>gone</html>", "mac-1", std::nullopt},
        {410, R"(["machine_removed"])", "mac-1", std::nullopt},
        {404, R"({"code":"machine_removed"})", "mac-1", std::nullopt},
        {200, R"({"code":"machine_removed"})", "mac-1", std::nullopt},
        {410, R"({"code":"machine_removed","deleteServer":true})", "", std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.status) + " " + c.body + " expecting '" + c.expected + "'");
        auto notice = RemovalNotice::from(c.status, c.body, c.expected);
        ASSERT_EQ(notice.has_value(), c.deleteServer.has_value());
        if (notice) {
            EXPECT_EQ(notice->machineID, c.expected);
            EXPECT_EQ(notice->deleteServer, *c.deleteServer);
        }
    }
}

TEST(MachineRemoval, StrandedWatchKeepsTheStartOfTheOutage) {
    using namespace std::chrono;
    const StrandedWatch::Clock::time_point t0{seconds(1'700'000'000)};
    StrandedWatch watch;
    EXPECT_FALSE(watch.shouldOffer(t0 + hours(100), true));

    watch.record(false, t0);
    watch.record(false, t0 + hours(5));
    ASSERT_TRUE(watch.offlineSince);
    EXPECT_EQ(*watch.offlineSince, t0);
    EXPECT_FALSE(watch.shouldOffer(t0 + seconds(86399), true));
    EXPECT_TRUE(watch.shouldOffer(t0 + seconds(86400), true));
    EXPECT_FALSE(watch.shouldOffer(t0 + hours(48), false));

    watch.record(true, t0 + hours(25));
    EXPECT_FALSE(watch.offlineSince);
    EXPECT_FALSE(watch.shouldOffer(t0 + hours(48), true));

    StrandedWatch given(t0);
    EXPECT_EQ(given.offlineSince, t0);
}

TEST(MachineRemoval, TeardownRunsTheStepsInOrderAndStopsAtTheFirstFailure) {
    std::vector<std::string> calls;
    RemovalTeardown::Steps steps{[&] { calls.push_back("stop"); }, [&] { calls.push_back("delete"); },
                                 [&] { calls.push_back("forget"); }};

    auto kept = RemovalTeardown::perform(RemovalNotice{"mac-1", false}, steps);
    EXPECT_EQ(calls, (std::vector<std::string>{"stop", "forget"}));
    EXPECT_EQ(kept, (RemovalTeardown::Outcome{true, false, true}));

    calls.clear();
    auto deleted = RemovalTeardown::perform(RemovalNotice{"mac-1", true}, steps);
    EXPECT_EQ(calls, (std::vector<std::string>{"stop", "delete", "forget"}));
    EXPECT_EQ(deleted, (RemovalTeardown::Outcome{true, true, true}));

    calls.clear();
    steps.stopHosting = [&] {
        calls.push_back("stop");
        throw Error("Could not stop the VM.");
    };
    EXPECT_THROW(
        {
            try {
                RemovalTeardown::perform(RemovalNotice{"mac-1", true}, steps);
            } catch (const Error& error) {
                EXPECT_STREQ(error.what(), "Could not stop the VM.");
                throw;
            }
        },
        Error);
    EXPECT_EQ(calls, (std::vector<std::string>{"stop"}));
}

}  // namespace
}  // namespace tessaron
