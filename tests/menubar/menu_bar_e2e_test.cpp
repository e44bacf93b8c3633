// The menu bar's logic against the real `tessaron`, the loopback panel and the stand-in
// limactl, as a user goes through the menu: keep public access off, reconnect it, turn
// the server off and on, and restart it. Each step changes the panel's or the VM's state
// and the rows follow.

#include "host/agent_configuration.h"
#include "host/device_credential_store.h"
#include "host/json.h"
#include "model/menu_controller.h"
#include "support/limactl_standin.h"
#include "support/panel_process.h"
#include "support/temp_dir.h"
#include "support/tessaron_process.h"

#include <gtest/gtest.h>

#include <QCoreApplication>

namespace tessaron::menubar {
namespace {

using namespace std::chrono_literals;

struct NoOpener final : desktop::Opener {
    void open(const QUrl&) override {}
};
struct Agreeing final : MenuConfirming {
    bool confirm(const MenuAlert&) override { return true; }
};

TEST(MenuBarEndToEnd, TheMenuChangesThePanelAndTheVM) {
    static int argc = 1;
    static char name[] = "menu_bar_e2e_test";
    static char* argv[] = {name, nullptr};
    QCoreApplication app(argc, argv);

    testing::TempHome home;
    testing::StandinLimaHome lima;
    testing::TempDir tools;
    testing::ScopedEnv processLister{"TESSARON_PS_PATH", testing::writeHomeFilteredProcessLister(tools.path()).string()};
    ASSERT_EQ(lima.create("tessaron").exitCode, 0);
    testing::PanelProcess panel;
    const auto mac = panel.createMachineWith({{"name", "Studio"}, {"vmState", "Running"}, {"bootId", "boot-1"}});
    testing::saveLink(mac, panel.base());

    NoOpener opener;
    Agreeing confirmer;
    MenuController controller({std::make_shared<TessaronCommandRunner>(
                                   [] { return std::optional<std::filesystem::path>(testing::tessaronPath()); }),
                               &opener, &confirmer, testing::bundleDir(), {}, 5000});
    // Waits until the action and the read after it are over. A read that outlasts its
    // bound on a loaded machine is made again, as the next poll would.
    const auto settle = [&] {
        const auto deadline = std::chrono::steady_clock::now() + 150s;
        const auto idle = [&] {
            while ((controller.busy() || controller.reading()) && std::chrono::steady_clock::now() < deadline)
                QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
            return !controller.busy() && !controller.reading();
        };
        ASSERT_TRUE(idle());
        for (int read = 0; read < 3 && !controller.state(); ++read) {
            controller.refreshStatus();
            ASSERT_TRUE(idle());
        }
        ASSERT_TRUE(controller.state()) << controller.rows().feedback.title;
    };
    const auto publicAccessState = [&] { return panel.machineState(mac.machineId)["publicAccess"]["state"]; };

    controller.start();
    settle();
    EXPECT_EQ(controller.rows().connection.title, "Connection helper stopped");
    EXPECT_EQ(controller.rows().server.title, "Linux server: Running");
    EXPECT_EQ(controller.rows().publicAccess.title, "Mac not connected");

    ASSERT_TRUE(controller.rows().keepOff.visible);
    controller.keepPublicAccessOff();
    settle();
    EXPECT_EQ(publicAccessState(), "paused");
    EXPECT_EQ(controller.rows().publicAccess.title, "Public access paused");
    EXPECT_EQ(controller.rows().access.title, "Reconnect public access");

    controller.togglePublicAccess();
    settle();
    EXPECT_EQ(publicAccessState(), "enabled");

    controller.togglePower();
    settle();
    EXPECT_EQ(lima.run({"list", "tessaron", "--format", "{{.Status}}"}).standardOutput, "Stopped\n");
    EXPECT_EQ(json::parse(testing::readFile(home.supportDir() / "power-intent.json"))["desired"], "stopped");
    EXPECT_EQ(controller.rows().feedback.title, "Linux is off and using none of your Mac. Your files are kept.");
    EXPECT_EQ(controller.rows().power.title, "Start server");

    controller.togglePower();
    settle();
    EXPECT_EQ(lima.run({"list", "tessaron", "--format", "{{.Status}}"}).standardOutput, "Running\n");
    EXPECT_EQ(controller.rows().server.title, "Linux server: Running");

    ASSERT_TRUE(controller.rows().restart.enabled) << controller.rows().feedback.title;
    controller.confirmRestart();
    settle();
    const json::Json commands = panel.machineState(mac.machineId)["commands"];
    ASSERT_FALSE(commands.empty());
    EXPECT_EQ(commands.back()["kind"], "restart");
    EXPECT_EQ(controller.rows().restart.title, "Restart pending\u2026");
    EXPECT_EQ(controller.rows().feedback.title, "Restart queued. Waiting for your Mac.");
    controller.stop();
}

}  // namespace
}  // namespace tessaron::menubar
