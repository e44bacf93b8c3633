// The desktop's readers of tessaron's JSON lines, on what the real program prints and on output
// that must be refused as a whole.

#include "model/desktop_readers.h"

#include "support/limactl_standin.h"
#include "support/temp_dir.h"
#include "support/tessaron_process.h"

#include <gtest/gtest.h>

#include <functional>

namespace tessaron::desktop {
namespace {

TEST(DesktopReaders, ReadWhatTheProgramPrints) {
    testing::TempHome home;
    testing::StandinLimaHome lima;
    const auto status = testing::runTessaron({"server", "status"});
    ASSERT_EQ(status.exitCode, 0) << status.standardError;
    const DesktopConnectionStatus unpaired = DesktopConnectionStatus::decode(status.standardOutput);
    EXPECT_EQ(unpaired.tunnelState, "not-configured");
    EXPECT_EQ(unpaired.agentState, "stopped");
    EXPECT_FALSE(unpaired.restart);

    ASSERT_EQ(lima.create("tessaron").exitCode, 0);
    const auto resources = testing::runTessaron({"vm", "resources"});
    ASSERT_EQ(resources.exitCode, 0) << resources.standardError;
    const DesktopResources read = DesktopResources::decode(resources.standardOutput);
    EXPECT_EQ(read.cpu, 2);
    EXPECT_EQ(read.memoryGiB, 4.0);
    EXPECT_EQ(read.state, "Running");
    EXPECT_LE(read.bounds.minCPU, read.bounds.maxCPU);
}

TEST(DesktopReaders, DecodeOrRefuseTheWholeRecord) {
    struct Case {
        const char* name;
        std::function<void()> decode;
        bool decodes;
    };
    auto status = [](std::string text) { return [text] { DesktopConnectionStatus::decode(text); }; };
    auto lifecycle = [](std::string text) { return [text] { DesktopLifecycle::decode(text); }; };
    auto resources = [](std::string text) { return [text] { DesktopResources::decode(text); }; };
    const std::string bounds = R"("bounds":{"minCPU":2,"maxCPU":8,"minMemoryGiB":4,"maxMemoryGiB":16})";
    const Case cases[] = {
        {"status with unknown keys", status(R"({"tunnelState":"offline","paired":true,"lastHandshakeAt":null})"), true},
        {"status without tunnelState", status(R"({"vmState":"Running"})"), false},
        {"status with a null optional", status(R"({"tunnelState":"connected","publishingPaused":null})"), true},
        {"status with a wrongly typed optional", status(R"({"tunnelState":"connected","canRestart":"yes"})"), false},
        {"status with a restart lacking its id",
         status(R"({"tunnelState":"connected","restart":{"status":"queued","requestedAt":1}})"), false},
        {"status with broken public access",
         status(R"({"tunnelState":"connected","publicAccess":{"requestedPaused":false}})"), false},
        {"status that is not an object", status(R"(["tunnelState"])"), false},
        {"status followed by garbage", status(R"({"tunnelState":"offline"} x)"), false},
        {"empty output", status(""), false},
        {"lifecycle answer", lifecycle(R"({"publishingPaused":false,"effectiveWithinSeconds":30,"canRestart":true})"), true},
        {"lifecycle answer without effectiveWithinSeconds", lifecycle(R"({"publishingPaused":false,"canRestart":true})"), false},
        {"lifecycle answer without canRestart", lifecycle(R"({"publishingPaused":false,"effectiveWithinSeconds":30})"), false},
        {"resources", resources(R"({"cpu":4,"memoryGiB":7.5,"state":"Running",)" + bounds + "}"), true},
        {"resources with a fractional CPU count", resources(R"({"cpu":4.5,"memoryGiB":8,"state":"Running",)" + bounds + "}"), false},
        {"resources without bounds", resources(R"({"cpu":4,"memoryGiB":8,"state":"Running"})"), false},
        {"resources with incomplete bounds",
         resources(R"({"cpu":4,"memoryGiB":8,"state":"Running","bounds":{"minCPU":2,"maxCPU":8}})"), false},
    };
    for (const auto& c : cases) {
        if (c.decodes)
            EXPECT_NO_THROW(c.decode()) << c.name;
        else
            EXPECT_THROW(c.decode(), json::DecodingError) << c.name;
    }
}

TEST(DesktopReaders, KeepTheValuesTheyRead) {
    const auto status = DesktopConnectionStatus::decode(
        R"({"tunnelState":"connected","vmState":"Running","agentState":"running","error":"e","publishingPaused":true,)"
        R"("canRestart":false,"controlError":"x","publicAccess":{"state":"paused","requestedPaused":true},)"
        R"("restart":{"id":"r1","status":"failed","requestedAt":1700000000000,"error":"boom"}})");
    EXPECT_EQ(status.vmState, "Running");
    EXPECT_EQ(status.publishingPaused, true);
    EXPECT_EQ(status.canRestart, false);
    EXPECT_EQ(status.controlError, "x");
    ASSERT_TRUE(status.publicAccess);
    EXPECT_EQ(status.publicAccess->state, "paused");
    EXPECT_EQ(status.restart, (DesktopRestart{"r1", "failed", 1.7e12, "boom"}));

    const auto answer = DesktopLifecycle::decode(
        R"({"publishingPaused":true,"effectiveWithinSeconds":30,"canRestart":true,)"
        R"("restart":{"id":"r2","status":"queued","requestedAt":5}})");
    EXPECT_TRUE(answer.publishingPaused);
    EXPECT_EQ(answer.restart, (DesktopRestart{"r2", "queued", 5, std::nullopt}));
}

TEST(DesktopReaders, FailedRunsCarryTheirTrimmedStandardError) {
    struct Case {
        std::string standardError, fallback, message;
    };
    const Case cases[] = {
        {"  \n busy \n", "", "busy"},
        {"\n\t \n", "", ""},
        {"\n\t \n", "Try again.", "Try again."},
        {"tessaron: The VM is busy.\n", "Try again.", "tessaron: The VM is busy."},
    };
    for (const auto& c : cases)
        EXPECT_STREQ(ResourceCommandError::fromStandardError(c.standardError, c.fallback).what(), c.message.c_str());
}

}  // namespace
}  // namespace tessaron::desktop
