// The menu bar's decoders on what the built `tessaron` prints (unpaired, paired with the
// loopback panel, after a restart request) and on broken or foreign lines.

#include "host/agent_configuration.h"
#include "host/device_credential_store.h"
#include "model/menu_payloads.h"
#include "support/limactl_standin.h"
#include "support/panel_process.h"
#include "support/temp_dir.h"
#include "support/tessaron_process.h"

#include <gtest/gtest.h>

namespace tessaron::menubar {
namespace {

TEST(MenuPayloads, DecodeWhatTessaronPrints) {
    testing::TempHome home;
    testing::StandinLimaHome lima;
    testing::TempDir tools;
    testing::ScopedEnv processLister{"TESSARON_PS_PATH", testing::writeHomeFilteredProcessLister(tools.path()).string()};

    testing::ProgramRun run = testing::runTessaron({"server", "status"});
    ASSERT_EQ(run.exitCode, 0) << run.standardError;
    std::optional<MenuConnection> connection = decodeConnection(run.standardOutput);
    ASSERT_TRUE(connection) << run.standardOutput;
    EXPECT_FALSE(connection->paired);
    EXPECT_FALSE(connection->publishingPaused || connection->publicAccess || connection->controlError);

    testing::PanelProcess panel;
    const auto mac = panel.createMachineWith({{"name", "Studio"}, {"vmState", "Running"}, {"bootId", "boot-1"}});
    testing::saveLink(mac, panel.base());

    run = testing::runTessaron({"server", "restart", "--confirm"});
    ASSERT_EQ(run.exitCode, 0) << run.standardError;
    const std::optional<MenuLifecycle> lifecycle = decodeLifecycle(run.standardOutput);
    ASSERT_TRUE(lifecycle) << run.standardOutput;
    ASSERT_TRUE(lifecycle->restart);
    EXPECT_EQ(lifecycle->restart->status, "queued");
    EXPECT_GT(lifecycle->restart->requestedAt, 1.6e12) << "milliseconds";
    EXPECT_EQ(lifecycle->effectiveWithinSeconds, 30);

    run = testing::runTessaron({"server", "status"});
    connection = decodeConnection(run.standardOutput);
    ASSERT_TRUE(connection) << run.standardOutput;
    EXPECT_TRUE(connection->paired);
    EXPECT_EQ(connection->publishingPaused, false);
    ASSERT_TRUE(connection->publicAccess);
    EXPECT_EQ(connection->publicAccess->state, "enabled");
    ASSERT_TRUE(connection->restart);
    EXPECT_EQ(connection->restart->status, "queued");
    EXPECT_FALSE(connection->controlError) << *connection->controlError;
}

TEST(MenuPayloads, BrokenLinesDecodeToNothing) {
    struct Case {
        const char* text;
        bool connection;
        bool lifecycle;
    };
    const std::vector<Case> cases = {
        {"", false, false},
        {"tessaron: not paired", false, false},
        {"[]", false, false},
        {R"({"paired":true,"vmState":"Running")", false, false},  // cut short
        {R"({"paired":true,"vmState":"Running","tunnelState":"connected"})", true, false},
        {R"({"paired":true,"vmState":"Running","tunnelState":"connected"} trailing)", false, false},
        {R"({"paired":true,"vmState":"Running"})", false, false},
        {R"({"paired":"true","vmState":"Running","tunnelState":"connected"})", false, false},
        {R"({"paired":true,"vmState":"Running","tunnelState":"connected","agentState":null,"publicAccess":null,)"
         R"("restart":null,"controlError":null})",
         true, false},
        {R"({"paired":true,"vmState":"Running","tunnelState":"connected","publicAccess":"enabled"})", false, false},
        {R"({"paired":true,"vmState":"Running","tunnelState":"connected","publicAccess":{"state":"paused"}})", false,
         false},
        {R"({"paired":true,"vmState":"Running","tunnelState":"connected","restart":{"status":"queued"}})", false, false},
        {R"({"paired":true,"vmState":"Running","tunnelState":"connected","canRestart":1})", false, false},
        {R"({"publishingPaused":true,"canRestart":false,"effectiveWithinSeconds":30,"extra":[1]})", false, true},
        {R"({"publishingPaused":true,"canRestart":false})", false, false},
        {R"({"publishingPaused":true,"canRestart":false,"effectiveWithinSeconds":"30"})", false, false},
        {R"({"publishingPaused":true,"canRestart":false,"effectiveWithinSeconds":30,)"
         R"("restart":{"id":"r1","status":"failed","requestedAt":1.7e12,"error":"Boot timed out."}})",
         false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(decodeConnection(c.text).has_value(), c.connection);
        EXPECT_EQ(decodeLifecycle(c.text).has_value(), c.lifecycle);
    }
}

}  // namespace
}  // namespace tessaron::menubar
