// `tessaron serve`, the long-running connection helper, run from the built bundle as a
// child process the way launchd runs it: against the loopback panel, the loopback edge
// relay and the stand-in limactl, each test in its own HOME and LIMA_HOME. The helper is
// stopped with SIGTERM, as launchd stops it, or ends by itself.

#include "cli/vm_resource_lock.h"
#include "cli/wireguard_runner.h"
#include "host/agent_configuration.h"
#include "host/device_credential_store.h"
#include "host/json.h"
#include "host/lima_manager.h"
#include "panel/http_client.h"
#include "panel/receipt_store.h"
#include "support/edge_process.h"
#include "support/limactl_standin.h"
#include "support/panel_process.h"
#include "support/scripted_http_server.h"
#include "support/serve_process.h"
#include "support/temp_dir.h"
#include "support/tessaron_process.h"
#include "support/wireguard_guest_shims.h"

#include <gtest/gtest.h>

#include <csignal>
#include <ctime>

namespace tessaron {
namespace {

namespace fs = std::filesystem;
using json::Json;
using testing::EdgeProcess;
using testing::PanelProcess;
using testing::RunningProgram;

constexpr const char* alreadyRunning =
    "tessaron: A connection helper is already running for this Mac. No second helper was started.\n";

class ServeE2E : public ::testing::Test {
protected:
    // Writes agent.json and the device token as a pairing would.
    void pair(const std::optional<std::string>& transport, const std::optional<std::string>& vmName,
              const std::vector<std::string>& edgeURLs = {}, const std::string& localHost = "127.0.0.1") {
        testing::saveLink(mac, panel.base(), {transport, vmName, edgeURLs, localHost});
    }

    ServeE2E() { testing::writeHomeFilteredProcessLister(tools.path()); }

    testing::ProgramEnvironment environment() const { return testing::helperEnvironment(tools.path()); }
    std::unique_ptr<RunningProgram> startServe() {
        return std::make_unique<RunningProgram>(testing::tessaronPath(), std::vector<std::string>{"serve"},
                                                environment());
    }
    testing::ProgramRun runServe(const std::vector<std::string>& extra = {}) {
        std::vector<std::string> arguments{"serve"};
        arguments.insert(arguments.end(), extra.begin(), extra.end());
        return testing::runTessaron(arguments, environment(), 30);
    }
    // SIGTERM, as launchd stops the helper: it must end by itself with status 0.
    static void expectStopsOnSIGTERM(RunningProgram& serve) {
        serve.signal(SIGTERM);
        const auto status = serve.waitForExit(30);
        ASSERT_TRUE(status.has_value()) << "serve did not end after SIGTERM\n" << serve.standardOutput();
        EXPECT_EQ(*status, 0) << serve.standardError();
    }

    std::string vmStatus() const { return lima.run({"list", "tessaron", "--format", "{{.Status}}"}).standardOutput; }
    std::string bootId() const {
        return lima_text::trimmed(
            lima.run({"shell", "tessaron", "--", "cat", "/proc/sys/kernel/random/boot_id"}).standardOutput);
    }
    bool limactlWasAskedTo(const std::string& subcommand) const {
        for (const auto& call : lima.calls())
            if (!call.empty() && call.front() == subcommand) return true;
        return false;
    }

    Json machine() { return panel.machineState(mac.machineId); }
    std::int64_t counter(const std::string& key) { return machine().value(key, std::int64_t{0}); }
    std::int64_t registrations() { return machine()["network"].value("registrations", std::int64_t{0}); }
    Json commandRecord(const std::string& id) {
        const Json commands = machine()["commands"];
        for (const Json& command : commands)
            if (command["id"] == id) return command;
        return nullptr;
    }

    testing::TempDir tools;
    testing::TempHome home;
    testing::StandinLimaHome lima;
    PanelProcess panel;
    PanelProcess::Machine mac = panel.createMachine("Studio");
};

// A running VM with the WireGuard shims in its guest.
class WireGuardServeE2E : public ServeE2E {
protected:
    void SetUp() override {
        const CommandResult created = lima.create("tessaron");
        ASSERT_EQ(created.exitCode, 0) << created.standardError;
        guest = std::make_unique<testing::WireGuardGuestShims>(lima.guestShimDir("tessaron"));
        guest->setHandshake(static_cast<long>(std::time(nullptr)));
        pair("wireguard", "tessaron");
    }
    std::unique_ptr<testing::WireGuardGuestShims> guest;
};

TEST_F(WireGuardServeE2E, QueuedRestartRunsOnceAndTheRemovalEndsServeAndForgetsThePairing) {
    const std::string firstBoot = bootId();
    ASSERT_FALSE(firstBoot.empty());
    const Json restart = panel.queueCommand(mac.machineId, "restart", firstBoot);

    auto serve = startServe();
    ASSERT_TRUE(PanelProcess::waitFor([&] {
        const Json record = commandRecord(restart["id"]);
        return !record.is_null() && (record["status"] == "succeeded" || record["status"] == "failed");
    }, 40)) << serve->standardOutput() << serve->standardError();
    EXPECT_NE(bootId(), firstBoot);
    EXPECT_TRUE(guest->interfaceUp());

    // Later passes keep polling but never run the restart again.
    const std::int64_t polls = counter("commandPolls");
    ASSERT_TRUE(PanelProcess::waitFor([&] { return counter("commandPolls") >= polls + 2; }, 30));
    const Json record = commandRecord(restart["id"]);
    EXPECT_EQ(record["status"], "succeeded") << record.dump();
    EXPECT_EQ(record["claims"].size(), 1u) << record.dump();
    EXPECT_EQ(record["completion"]["repeats"], 0) << record.dump();
    EXPECT_GE(registrations(), 1);

    // The panel removes the Mac: serve stops the VM, forgets the pairing and ends with 0.
    panel.removeMachine(mac.machineId, /*deleteServer=*/false);
    const auto status = serve->waitForExit(30);
    ASSERT_TRUE(status.has_value()) << serve->standardOutput();
    EXPECT_EQ(*status, 0) << serve->standardError();
    // (limactl's own progress, which `vm start` shows on the terminal, may be there)
    EXPECT_EQ(serve->standardError().find("tessaron: "), std::string::npos) << serve->standardError();
    const auto lines = serve->outputLines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2], cli::WireGuardRunner::removedAndKeptLine);
    EXPECT_EQ(lines.back(), cli::WireGuardRunner::backToPairingLine);
    EXPECT_FALSE(fs::exists(AgentConfigurationStore::defaultURL()));
    EXPECT_FALSE(fs::exists(DeviceCredentialStore::headlessURL()));
    EXPECT_EQ(vmStatus(), "Stopped\n");
    EXPECT_TRUE(fs::exists(lima.instanceDir("tessaron"))) << "kept, as the panel asked";
}

TEST_F(WireGuardServeE2E, SIGTERMEndsServeWithZeroAndReleasesTheLease) {
    auto first = startServe();
    ASSERT_TRUE(PanelProcess::waitFor([&] { return registrations() >= 1; }, 30))
        << first->standardOutput() << first->standardError();
    expectStopsOnSIGTERM(*first);
    EXPECT_TRUE(fs::exists(AgentConfigurationStore::defaultURL())) << "a stop is not an unpairing";
    EXPECT_TRUE(fs::exists(DeviceCredentialStore::headlessURL()));

    // The lease went with the first helper: the next one starts and serves.
    const std::int64_t before = registrations();
    auto second = startServe();
    ASSERT_TRUE(PanelProcess::waitFor([&] { return registrations() > before; }, 30))
        << second->standardOutput() << second->standardError();
    EXPECT_TRUE(second->running());
    expectStopsOnSIGTERM(*second);
}

TEST_F(WireGuardServeE2E, NetworkRunsOneProvisioningPassBesideARunningHelper) {
    auto serve = startServe();
    ASSERT_TRUE(PanelProcess::waitFor([&] { return registrations() >= 1; }, 30)) << serve->standardOutput();
    // `network` takes no lease: it runs next to the helper and prints the guest's answer.
    const std::int64_t before = registrations();
    const auto run = testing::runTessaron({"network"}, environment(), 30);
    EXPECT_EQ(run.exitCode, 0) << run.standardError;
    ASSERT_FALSE(run.standardOutput.empty());
    EXPECT_EQ(run.standardOutput.find('\n'), run.standardOutput.size() - 1) << run.standardOutput;
    EXPECT_GT(registrations(), before);
    EXPECT_TRUE(guest->interfaceUp());
    EXPECT_TRUE(serve->running());
    expectStopsOnSIGTERM(*serve);
}

// The local service behind the edge, on the configuration's local host.
class LocalService {
public:
    testing::ScriptedHttpServer server{[](const testing::ScriptedHttpServer::Request& request) {
        testing::ScriptedHttpServer::Response response;
        response.status = 201;
        response.headers = {{"X-Seen-Method", request.method}};
        response.body = "local answer to " + request.target + " with " + request.body;
        return response;
    }};
};

TEST_F(ServeE2E, EdgeTransportAnswersAPublicRequestFromTheLocalService) {
    LocalService local;
    EdgeProcess edge({"--token", mac.deviceToken, "--machine-id", mac.machineId, "--http-target",
                      std::to_string(local.server.port())});
    pair(std::nullopt, std::nullopt, {edge.wsURL()});

    auto serve = startServe();
    ASSERT_TRUE(EdgeProcess::waitFor([&] { return edge.connected(); }, 30))
        << serve->standardOutput() << serve->standardError();

    http::Request request;
    request.method = "POST";
    request.url = "http://127.0.0.1:" + std::to_string(edge.httpPort()) + "/orders?id=7";
    request.body = "payload";
    request.timeout = std::chrono::seconds(30);
    const http::Response response = http::perform(request);
    EXPECT_EQ(response.status, 201);
    EXPECT_EQ(response.body, "local answer to /orders?id=7 with payload");
    bool methodSeen = false;
    for (const auto& [name, value] : response.headers)
        if (strcasecmp(name.c_str(), "X-Seen-Method") == 0) methodSeen = value == "POST";
    EXPECT_TRUE(methodSeen);
    ASSERT_EQ(local.server.requests().size(), 1u);

    expectStopsOnSIGTERM(*serve);
    EXPECT_TRUE(EdgeProcess::waitFor([&] { return !edge.connected(); }, 20));
}

TEST_F(ServeE2E, ASecondServeIsRefusedAndLeavesTheVMAlone) {
    ASSERT_EQ(lima.create("tessaron").exitCode, 0);
    ASSERT_EQ(lima.run({"stop", "tessaron"}).exitCode, 0);
    EdgeProcess edge;
    pair(std::nullopt, "tessaron", {edge.wsURL()});

    // No power intent recorded: the first helper brings the VM up, then serves.
    auto first = startServe();
    ASSERT_TRUE(EdgeProcess::waitFor([&] { return edge.connected(); }, 30))
        << first->standardOutput() << first->standardError();
    EXPECT_EQ(vmStatus(), "Running\n");

    ASSERT_EQ(lima.run({"stop", "tessaron"}).exitCode, 0);
    lima.clearCalls();
    const auto second = runServe();
    EXPECT_EQ(second.exitCode, 1);
    EXPECT_EQ(second.standardOutput, "");
    EXPECT_EQ(second.standardError, alreadyRunning);
    EXPECT_TRUE(lima.calls().empty()) << "the refused helper must not touch the VM";
    EXPECT_EQ(vmStatus(), "Stopped\n");

    EXPECT_TRUE(first->running());
    expectStopsOnSIGTERM(*first);
}

TEST_F(ServeE2E, HelpersStartedTogetherLeaveExactlyOneRunning) {
    EdgeProcess edge;
    pair(std::nullopt, std::nullopt, {edge.wsURL()});
    for (int round = 0; round < 4; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        std::vector<std::unique_ptr<RunningProgram>> helpers;
        for (int i = 0; i < 4; ++i) helpers.push_back(startServe());

        std::vector<RunningProgram*> refused;
        ASSERT_TRUE(PanelProcess::waitFor([&] {
            refused.clear();
            for (const auto& helper : helpers)
                if (!helper->running()) refused.push_back(helper.get());
            return refused.size() >= 3;
        }, 30));
        for (RunningProgram* helper : refused) {
            EXPECT_EQ(helper->waitForExit(0), 1);
            EXPECT_EQ(helper->standardError(), alreadyRunning);
        }
        ASSERT_EQ(refused.size(), 3u) << "no helper is left running";
        for (const auto& helper : helpers) {
            if (!helper->running()) continue;
            EXPECT_TRUE(EdgeProcess::waitFor([&] { return edge.connected(); }, 30)) << helper->standardError();
            expectStopsOnSIGTERM(*helper);
        }
        EXPECT_TRUE(EdgeProcess::waitFor([&] { return !edge.connected(); }, 20));
    }
}

TEST_F(ServeE2E, PowerIntentStoppedKeepsTheVMOffWhileTheTransportRuns) {
    ASSERT_EQ(lima.create("tessaron").exitCode, 0);
    ASSERT_EQ(lima.run({"stop", "tessaron"}).exitCode, 0);
    VMPowerIntentFileStore::forThisMac().save(VMPowerIntent{"stopped", 1'800'000'000});
    EdgeProcess edge({"--token", mac.deviceToken, "--machine-id", mac.machineId});
    pair(std::nullopt, "tessaron", {edge.wsURL()});
    lima.clearCalls();

    auto serve = startServe();
    ASSERT_TRUE(EdgeProcess::waitFor([&] { return edge.connected(); }, 30))
        << serve->standardOutput() << serve->standardError();
    EXPECT_FALSE(limactlWasAskedTo("start"));
    EXPECT_EQ(vmStatus(), "Stopped\n");
    expectStopsOnSIGTERM(*serve);
}

TEST_F(ServeE2E, AFailedVMStartStillServesThroughTheVMsLoopbackAddress) {
    // The VM's services are reached on 127.0.0.1 whatever local host was stored, and a
    // VM that does not start does not keep the helper from serving.
    ASSERT_EQ(lima.create("tessaron").exitCode, 0);
    ASSERT_EQ(lima.run({"stop", "tessaron"}).exitCode, 0);
    lima.writeFaults(R"([{"command": "start", "effect": "fail", "stderr": "start refused", "exitCode": 1}])");
    LocalService local;
    EdgeProcess edge({"--token", mac.deviceToken, "--machine-id", mac.machineId, "--http-target",
                      std::to_string(local.server.port())});
    pair(std::nullopt, "tessaron", {edge.wsURL()}, /*localHost=*/"192.0.2.1");

    auto serve = startServe();
    ASSERT_TRUE(EdgeProcess::waitFor([&] { return edge.connected(); }, 30))
        << serve->standardOutput() << serve->standardError();
    EXPECT_TRUE(limactlWasAskedTo("start"));
    http::Request request;
    request.url = "http://127.0.0.1:" + std::to_string(edge.httpPort()) + "/status";
    request.timeout = std::chrono::seconds(30);
    const http::Response response = http::perform(request);
    EXPECT_EQ(response.status, 201);
    EXPECT_EQ(response.body, "local answer to /status with ");
    expectStopsOnSIGTERM(*serve);
}

TEST_F(ServeE2E, StartUpOutcomesWithoutALongRunningTransport) {
    // Not paired.
    auto run = runServe();
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.standardError, "tessaron: This Mac is not paired. Run `tessaron pair` first.\n");
    run = testing::runTessaron({"network"}, environment(), 30);
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.standardError, "tessaron: This Mac is not paired. Run `tessaron pair` first.\n");

    // No WireGuard transport and no edge: nothing to serve, status 0 at once. Only the
    // exact transport word "wireguard" selects WireGuard; unread options are ignored.
    struct Case {
        std::optional<std::string> transport;
        std::vector<std::string> extra;
    };
    // Each start also sweeps what a writer killed mid-save left behind.
    const fs::path stray = home.supportDir() / "lifecycle" / ".restart-0F1E2D3C-4B5A-4968-8776-655443322110";
    for (const Case& c : {Case{std::nullopt, {}}, Case{"WireGuard", {}}, Case{"edge", {}},
                          Case{std::nullopt, {"--anything", "value", "--flag"}}}) {
        SCOPED_TRACE(c.transport.value_or("(none)"));
        pair(c.transport, std::nullopt);
        testing::writeFile(stray, "{\"commandID\":");
        fs::last_write_time(stray, fs::file_time_type::clock::now() - std::chrono::hours(1));
        run = runServe(c.extra);
        EXPECT_EQ(run.exitCode, 0) << run.standardError;
        EXPECT_EQ(run.standardError, "");
        EXPECT_FALSE(fs::exists(stray));
    }

    // Values saved before they were checked that would add header lines are never sent:
    // a token, and a machine ID (the edge tunnel's upgrade request carries it).
    pair(std::nullopt, std::nullopt, {"ws://127.0.0.1:9/tunnel"});
    testing::writeFile(DeviceCredentialStore::headlessURL(), mac.deviceToken + "\r\nX-Injected: yes");
    fs::permissions(DeviceCredentialStore::headlessURL(), fs::perms::owner_read | fs::perms::owner_write);
    run = runServe();
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.standardError, "tessaron: The Tessaron headless credential file is empty or invalid.\n");
    pair(std::nullopt, std::nullopt, {"ws://127.0.0.1:9/tunnel"});
    const fs::path configuration = AgentConfigurationStore::defaultURL();
    json::Json saved = json::parse(testing::readFile(configuration));
    saved["machineID"] = mac.machineId + "\r\nX-Injected: yes";
    testing::writeFile(configuration, saved.dump());
    run = runServe();
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.standardError.rfind("tessaron: The Tessaron configuration \u201c" + configuration.string() + "\u201d", 0),
              0u) << run.standardError;
    for (const Json& request : panel.requests()) EXPECT_EQ(request.dump().find("X-Injected"), std::string::npos);
    pair(std::nullopt, std::nullopt);

    // The device token missing or readable by others: refused with the credential's
    // message, and the lease is given back each time.
    fs::remove(DeviceCredentialStore::headlessURL());
    run = runServe();
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.standardError,
              "tessaron: Your saved Tessaron connection is missing. Reconnect this Mac to your account; keep your "
              "existing Linux server. No Keychain permission is needed.\n");
    testing::writeFile(DeviceCredentialStore::headlessURL(), mac.deviceToken);
    fs::permissions(DeviceCredentialStore::headlessURL(), fs::perms::owner_read | fs::perms::owner_write |
                                                              fs::perms::group_read | fs::perms::others_read);
    run = runServe();
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.standardError,
              "tessaron: The saved Tessaron connection has unsafe file permissions or ownership. Contact support; "
              "your Linux server and files have not been removed.\n");

    // A VM operation holding the resource lock: serve ends with the lock's message,
    // and gives its lease back (the next start is not refused as a second helper).
    ASSERT_EQ(lima.create("tessaron").exitCode, 0);
    pair(std::nullopt, "tessaron");
    {
        cli::VMResourceLockHold held(/*exclusive=*/true, /*create=*/true);
        run = runServe();
    }
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.standardError,
              "tessaron: Another resource or connection operation is already running. Wait for it to finish.\n");
    run = runServe();
    EXPECT_EQ(run.exitCode, 0) << run.standardError;
}

}  // namespace
}  // namespace tessaron
