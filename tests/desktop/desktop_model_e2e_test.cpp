// The desktop model driving the real system: the built `tessaron`, the loopback panel and the
// stand-in limactl, in a HOME and LIMA_HOME of the test's own. A user onboards this Mac (the
// panel's user approves the setup), the model refreshes into the paired state, the user asks
// for a restart that the connection helper carries out, and then reads and changes the VM's
// resources.

#include "desktop/model_harness.h"

#include "host/agent_configuration.h"
#include "host/lima_manager.h"
#include "support/limactl_standin.h"
#include "support/panel_process.h"
#include "support/serve_process.h"
#include "support/tessaron_process.h"
#include "support/wireguard_guest_shims.h"

#include <ctime>

namespace tessaron::desktop {
namespace {

using namespace testing;
using json::Json;
namespace fs = std::filesystem;

// Refresh cycles, one after the other, until `condition` holds. The test runs them itself
// instead of the model's loop so that no status read (which shares the VM's lock) overlaps the
// resize that needs the lock alone.
bool refreshUntil(DesktopModel& model, const std::function<bool()>& condition, double seconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        bool done = false;
        QObject context;
        QObject::connect(&model, &DesktopModel::refreshCompleted, &context, [&] { done = true; });
        model.refresh();
        if (!waitUntil([&] { return done; }, 60)) return false;
        settle(0.2);
    }
    return true;
}

TEST(DesktopModelEndToEnd, OnboardRestartAndResize) {
    application();
    TempHome home;
    tessaron::testing::StandinLimaHome lima;
    TempDir tools;
    ScopedEnv ps("TESSARON_PS_PATH", tessaron::testing::writeHomeFilteredProcessLister(tools.path()).string());
    tessaron::testing::StandinMacHardware hardware;
    tessaron::testing::PanelProcess panel;
    RecordingOpener opener;

    DesktopModelOptions options;
    options.home = home.path();
    options.bundle = home.path() / "Applications" / "Tessaron.app";  // as if installed
    options.limactl = tessaron::testing::limactlPath().string();
    options.capacity = HostCapacity{8, 16ull << 30};
    options.settingsFile = QString::fromStdString((home.path() / "settings.ini").string());
    options.freeSpace = [](const fs::path&) { return std::optional<std::uint64_t>(100ull << 30); };
    options.startRefreshLoop = false;
    options.checkForUpdates = false;
    DesktopModel model(tessaron::testing::tessaronPath(), opener, options);
    EXPECT_TRUE(model.support().isSupported()) << "the stand-in Mac's hardware is read";
    ASSERT_TRUE(refreshUntil(model, [&] { return model.connection() != "Checking connection\u2026"; }, 60));
    EXPECT_FALSE(model.paired());
    EXPECT_EQ(model.connection(), "Not connected");
    EXPECT_EQ(model.vmStatus(), "Not created yet");

    // Onboarding: a code and a link to approve it, then the VM and the pairing.
    model.setControl(QString::fromStdString(panel.base()));
    model.setCpu(3);
    model.setMemory(6);
    model.setup();
    ASSERT_TRUE(model.settingUp()) << model.error().toStdString();
    const std::string setupId = panel.waitForSetup(60);
    ASSERT_TRUE(waitUntil([&] { return model.setupURL() && !model.pairingCode().isEmpty(); }))
        << model.log().toStdString();
    EXPECT_EQ(model.pairingCode().toStdString(), std::string(panel.setupState()["code"]));
    EXPECT_EQ(model.setupURL()->toString().toStdString(), panel.base() + "/console/connect?setup=" + setupId);
    EXPECT_EQ(model.setupStage(), "awaiting_account");
    model.openConsole(false);
    EXPECT_EQ(opener.opened.back(), model.setupURL()->toString().toStdString());
    panel.approveSetup();
    // The run ends, the model refreshes, and the code goes once the Mac is paired.
    ASSERT_TRUE(waitUntil([&] { return !model.settingUp() && model.pairingCode().isEmpty(); }, 120))
        << model.log().toStdString();
    EXPECT_EQ(model.setupStage(), "complete") << model.error().toStdString();
    EXPECT_TRUE(model.paired());
    EXPECT_TRUE(model.vmExists());
    EXPECT_EQ(model.vmStatus(), "Running");
    EXPECT_EQ(model.allocation(), "3 CPUs \u00B7 6 GiB RAM");
    EXPECT_TRUE(model.log().contains("Paired."));
    // The Mac was linked; the connection helper of this build's bundle cannot be installed as a
    // login service from outside Applications, so connecting reports that.
    ASSERT_TRUE(waitUntil([&] { return !model.checkingConnection() && !model.running(); }));
    const AgentConfiguration saved = AgentConfigurationStore::load();
    EXPECT_EQ(saved.controlURL.absoluteString(), panel.base());

    // The connection helper runs as launchd would run it; the model sees it and the panel's
    // controls.
    tessaron::testing::WireGuardGuestShims guest(lima.guestShimDir("tessaron"));
    guest.setHandshake(static_cast<long>(std::time(nullptr)));
    tessaron::testing::ProgramEnvironment environment;
    environment.variables["TESSARON_CONFIG_PATH"] = AgentConfigurationStore::defaultURL().string();
    environment.variables["TESSARON_PASS_INTERVAL_MS"] = "200";
    tessaron::testing::RunningProgram serve(tessaron::testing::tessaronPath(), {"serve"}, environment);
    ASSERT_TRUE(refreshUntil(model, [&] { return model.canRestartServer() && model.agentState() == "running"; }, 90))
        << model.agentState().toStdString() << " " << model.canRestartServer() << " "
        << tessaron::testing::runTessaron({"server", "status"}).standardOutput << "\n"
        << serve.standardOutput() << serve.standardError();
    EXPECT_EQ(model.serverState(), "Running");
    EXPECT_EQ(model.publishingPaused(), false);
    EXPECT_EQ(model.lifecycleError(), "");

    // A restart through the panel, carried out by the helper.
    auto bootId = [&] {
        return lima_text::trimmed(
            lima.run({"shell", "tessaron", "--", "cat", "/proc/sys/kernel/random/boot_id"}).standardOutput);
    };
    const std::string firstBoot = bootId();
    model.performLifecycle("restart");
    EXPECT_EQ(model.lifecycleAction(), QString("restart"));
    ASSERT_TRUE(waitUntil([&] { return !model.lifecycleAction(); }));
    ASSERT_TRUE(model.restartRequest()) << model.lifecycleError().toStdString();
    ASSERT_TRUE(refreshUntil(
        model, [&] { return model.restartRequest() && model.restartRequest()->status == "succeeded"; }, 120))
        << serve.standardOutput() << serve.standardError();
    EXPECT_EQ(model.restartMessage(), "Linux restarted. Check that your apps are running.");
    EXPECT_NE(bootId(), firstBoot);

    // The helper holds the VM's lock while it serves; it stops, as when the user quits it.
    serve.signal(SIGTERM);
    EXPECT_EQ(serve.waitForExit(30), 0);

    // The VM's resources: read, then changed with a restart of the running VM.
    ASSERT_TRUE(waitUntil([&] { return !model.resourceActionsBusy(); }));
    model.editResources();
    ASSERT_TRUE(waitUntil([&] { return !model.loadingResources(); }, 60));
    ASSERT_TRUE(model.resources()) << model.resourceError().toStdString();
    EXPECT_EQ(model.resources()->cpu, 3);
    EXPECT_EQ(model.resources()->memoryGiB, 6.0);
    EXPECT_EQ(model.resourceCPU(), 3);
    model.setResourceCPU(4);
    model.setResourceMemory(8);
    model.applyResources(false);
    ASSERT_TRUE(waitUntil([&] { return !model.resizingResources(); }, 60));
    EXPECT_NE(model.resourceError().indexOf("restart"), -1) << model.resourceError().toStdString();
    EXPECT_TRUE(model.showResources());
    ASSERT_TRUE(waitUntil([&] { return !model.resourceActionsBusy(); }));
    model.applyResources(true);
    ASSERT_TRUE(waitUntil([&] { return !model.resizingResources(); }, 120));
    EXPECT_EQ(model.resourceError().toStdString(), "");
    EXPECT_FALSE(model.showResources());
    EXPECT_EQ(model.allocation(), "4 CPUs \u00B7 8 GiB RAM");
    EXPECT_EQ(LimaManager(DesktopModel::instanceName, tessaron::testing::limactlPath().string()).allocation(),
              (ResourceAllocation{4, 8ull << 30}));

    model.shutdown();
}

}  // namespace
}  // namespace tessaron::desktop
