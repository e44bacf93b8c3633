// The built `tessaron` program run as a child process, as the desktop application and
// the menu bar run it: the dispatcher, connection-status, the server controls against
// the loopback panel, and the vm commands against the stand-in limactl. Each test has
// its own HOME and LIMA_HOME.

#include "cli/usage.h"
#include "cli/vm_resource_lock.h"
#include "host/agent_configuration.h"
#include "host/device_credential_store.h"
#include "host/json.h"
#include "support/limactl_standin.h"
#include "support/panel_process.h"
#include "support/temp_dir.h"
#include "support/tessaron_process.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

namespace tessaron {
namespace {

using testing::ProgramRun;
using testing::runTessaron;

class TessaronProgram : public ::testing::Test {
protected:
    testing::TempHome home;
    testing::StandinLimaHome lima;
    testing::TempDir tools;
    // The helper check sees only this test's processes (other tests run side by side).
    testing::ScopedEnv processLister{"TESSARON_PS_PATH", testing::writeHomeFilteredProcessLister(tools.path()).string()};

    // Writes agent.json and the device token as a pairing would.
    void pair(const std::string& controlURL, const std::string& machineID, const std::string& token,
              std::optional<std::string> transport, std::optional<std::string> vmName = "tessaron") {
        AgentConfiguration configuration{machineID, *Url::parse(controlURL), {}, "127.0.0.1", vmName, transport};
        AgentConfigurationStore::save(configuration);
        DeviceCredentialStore::save(token, machineID);
    }

    json::Json jsonLine(const ProgramRun& run) {
        EXPECT_EQ(run.exitCode, 0) << run.standardError;
        EXPECT_EQ(run.standardError, "");
        if (run.standardOutput.empty()) {
            ADD_FAILURE() << "no output";
            return nullptr;
        }
        EXPECT_EQ(run.standardOutput.find('\n'), run.standardOutput.size() - 1) << "exactly one line";
        return json::parse(run.standardOutput);
    }

    static void expectFailure(const ProgramRun& run, const std::string& message) {
        EXPECT_EQ(run.exitCode, 1);
        EXPECT_EQ(run.standardOutput, "");
        EXPECT_EQ(run.standardError, "tessaron: " + message + "\n");
    }
};

TEST_F(TessaronProgram, UsageAndUnknownCommands) {
    const std::string usage = cli::usageText();
    EXPECT_EQ(usage.substr(0, 62), "Tessaron \u2014 one Linux VM, exposed through a self-hosted edge\n");
    EXPECT_NE(usage.find("\ntessaron onboard --control https://panel.tessaron.invalid\n"), std::string::npos);
    EXPECT_EQ(usage.substr(usage.size() - 60), "can start after reboot without waiting for a desktop login.\n");
    EXPECT_EQ(usage.find(" \n"), std::string::npos) << "no trailing blanks";
    for (const std::vector<std::string>& words :
         {std::vector<std::string>{}, {"help"}, {"--help"}, {"-h"}, {"help", "anything"}}) {
        const auto run = runTessaron(words);
        EXPECT_EQ(run.exitCode, 0);
        EXPECT_EQ(run.standardOutput, usage);
        EXPECT_EQ(run.standardError, "");
    }
    expectFailure(runTessaron({"HELP"}), "Unknown command `HELP`. Run `tessaron help`.");
    expectFailure(runTessaron({"Serve"}), "Unknown command `Serve`. Run `tessaron help`.");
    expectFailure(runTessaron({"--control", "http://x", "pair"}), "Unknown command `--control`. Run `tessaron help`.");
}

// A help word after the command prints the usage text and runs nothing: no limactl
// call, no file written, no panel asked. After `ssh` and `vm shell` the words from the
// second on are the guest's command and reach it unchanged.
TEST_F(TessaronProgram, HelpAfterACommandRunsNothing) {
    testing::PanelProcess panel;
    const auto mac = panel.createMachine("Studio");
    pair(panel.base(), mac.machineId, mac.deviceToken, "wireguard");
    ASSERT_EQ(lima.create("tessaron").exitCode, 0);
    lima.clearCalls();
    const auto supportFiles = [&] {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::recursive_directory_iterator(home.supportDir()))
            names.push_back(entry.path().string());
        return names;
    };
    const auto filesBefore = supportFiles();
    const json::Json panelBefore = panel.machineState(mac.machineId);
    const std::string usage = cli::usageText();
    for (const std::vector<std::string>& words : std::vector<std::vector<std::string>>{
             {"vm", "stop", "--help"},
             {"vm", "start", "-h"},
             {"vm", "resize", "--cpus", "2", "--memory-gib", "3", "--restart", "-h"},
             {"vm", "-h", "shell"},
             {"vm", "shell", "--help"},
             {"network", "--help"},
             {"serve", "-h"},
             {"server", "restart", "--confirm", "--help"},
             {"server", "disconnect", "-h"},
             {"pair", "--control", panel.base(), "--help"},
             {"onboard", "--control", "-h"},
             {"service", "enable", "--help"},
             {"enable-headless", "-h"},
             {"install-headless", "--plist", "/tmp/x.plist", "--help"},
             {"ssh", "-h"},
             {"connection-status", "--help"},
         }) {
        const std::string line = json::encode(json::Json(words));
        const auto run = runTessaron(words, {}, 30);
        EXPECT_EQ(run.exitCode, 0) << line << "\n" << run.standardError;
        EXPECT_EQ(run.standardOutput, usage) << line;
        EXPECT_EQ(run.standardError, "") << line;
    }
    EXPECT_TRUE(lima.calls().empty()) << json::encode(json::Json(lima.calls()));
    EXPECT_EQ(supportFiles(), filesBefore);
    EXPECT_EQ(panel.machineState(mac.machineId), panelBefore);
    EXPECT_EQ(runTessaron({"vm", "status"}).standardOutput, "Running\n");

    // The guest's own options.
    for (const std::vector<std::string>& words :
         std::vector<std::vector<std::string>>{{"ssh", "echo", "x", "-h"}, {"vm", "shell", "echo", "x", "--help"}}) {
        const auto run = runTessaron(words, {}, 30);
        EXPECT_EQ(run.exitCode, 0) << run.standardError;
        EXPECT_EQ(run.standardOutput, "x " + words.back() + "\n");
    }
}

TEST_F(TessaronProgram, ConnectionStatusInEachPairingState) {
    // Not paired: the fixed line, no "error".
    auto status = jsonLine(runTessaron({"connection-status"}));
    EXPECT_EQ(json::encode(status),
              R"({"agentState":"stopped","lastHandshakeAt":null,"paired":false,"transport":null,)"
              R"("tunnelState":"not-configured","vmState":"Unknown"})");

    // A damaged agent.json: not paired, and the load error reported.
    testing::writeFile(home.supportDir() / "agent.json", "{\"machineID\": 7}");
    std::filesystem::permissions(home.supportDir(), std::filesystem::perms::owner_all);
    status = jsonLine(runTessaron({"connection-status"}));
    EXPECT_EQ(status["paired"], false);
    EXPECT_TRUE(status["error"].is_string());

    // Paired by the older flow, VM stopped.
    ASSERT_EQ(lima.create("tessaron").exitCode, 0);
    ASSERT_EQ(lima.run({"stop", "tessaron"}).exitCode, 0);
    pair("http://127.0.0.1:9", "mac-1", "token-1", std::nullopt);
    status = jsonLine(runTessaron({"connection-status"}));
    EXPECT_EQ(status["paired"], true);
    EXPECT_EQ(status["transport"], "legacy");
    EXPECT_EQ(status["vmState"], "Stopped");
    EXPECT_EQ(status["tunnelState"], "unknown");
    EXPECT_EQ(status["agentState"], "stopped");
    EXPECT_EQ(status["error"], "This pairing uses the older relay. Its tunnel status cannot be inspected by this version.");

    // Paired without a VM name.
    pair("http://127.0.0.1:9", "mac-1", "token-1", std::nullopt, std::nullopt);
    status = jsonLine(runTessaron({"connection-status"}));
    EXPECT_EQ(status["error"], "This pairing has no Linux server configured.");
    EXPECT_EQ(status["vmState"], "Unknown");

    // WireGuard pairing while another operation holds the VM lock exclusively: the
    // lock's message alone.
    pair("http://127.0.0.1:9", "mac-1", "token-1", "wireguard");
    {
        cli::VMResourceLockHold held(/*exclusive=*/true, /*create=*/true);
        status = jsonLine(runTessaron({"connection-status"}));
    }
    EXPECT_EQ(status["error"], "Another resource or connection operation is already running. Wait for it to finish.");
    EXPECT_EQ(status["vmState"], "Unknown");
    EXPECT_EQ(status["tunnelState"], "unknown");
    EXPECT_EQ(status["transport"], "wireguard");
}

TEST_F(TessaronProgram, ServerControlsGoThroughThePanel) {
    testing::PanelProcess panel;
    const auto mac = panel.createMachine("Studio");

    expectFailure(runTessaron({"server"}), "Use `tessaron server status`, `disconnect`, `connect`, or `restart --confirm`.");
    expectFailure(runTessaron({"server", "reboot"}),
                  "Use `tessaron server status`, `disconnect`, `connect`, or `restart --confirm`.");
    // Unpaired: status is the local report, no request; actions fail with not-paired.
    auto status = jsonLine(runTessaron({"server", "status"}));
    EXPECT_FALSE(status.contains("controlError"));
    expectFailure(runTessaron({"server", "connect"}), "This Mac is not paired. Run `tessaron pair` first.");

    pair(panel.base(), mac.machineId, mac.deviceToken, "wireguard", std::nullopt);
    const auto before = panel.requests().size();
    for (const std::vector<std::string>& words : {std::vector<std::string>{"server", "restart"},
                                                 {"server", "restart", "--confirm", "yes"}}) {
        expectFailure(runTessaron(words), "Restart interrupts every workload in this Linux server. Use --confirm to continue.");
    }
    EXPECT_EQ(panel.requests().size(), before) << "nothing sent without confirmation";

    // Actions print the panel's answer as received, each with a fresh request id.
    const auto disconnect = runTessaron({"server", "disconnect"});
    ASSERT_EQ(disconnect.exitCode, 0) << disconnect.standardError;
    EXPECT_EQ(json::parse(disconnect.standardOutput)["publishingPaused"], true);
    const auto connect = runTessaron({"server", "connect"});
    ASSERT_EQ(connect.exitCode, 0) << connect.standardError;
    EXPECT_EQ(json::parse(connect.standardOutput)["publishingPaused"], false);
    // The panel's refusal is the command's error, word for word.
    expectFailure(runTessaron({"server", "restart", "--confirm"}),
                  "Linux is not running on this Mac, so it cannot be restarted now.");

    std::vector<std::string> requestIds;
    for (const auto& request : panel.requests()) {
        if (!request.contains("body") || !request["body"].is_string()) continue;
        json::Json body;
        try {
            body = json::parse(request["body"].get<std::string>());
        } catch (const json::DecodingError&) {
            continue;
        }
        if (!body.is_object()) continue;
        if (body.contains("requestId") && body["requestId"].is_string()) requestIds.push_back(body["requestId"]);
    }
    ASSERT_EQ(requestIds.size(), 3u) << "connect, disconnect and the refused restart";
    EXPECT_NE(requestIds[0], requestIds[1]);
    EXPECT_EQ(requestIds[0].size(), 36u);

    // Status merges the panel's keys, keeping the local vmState.
    status = jsonLine(runTessaron({"server", "status"}));
    EXPECT_EQ(status["paired"], true);
    EXPECT_EQ(status["vmState"], "Unknown");
    EXPECT_FALSE(status.contains("controlError")) << status.dump();
    EXPECT_TRUE(status.contains("publishingPaused"));

    // A panel answering with an array, or not at all: still status 0, with controlError.
    panel.injectFault({{"path", "/api/tessaron/agent/control"}, {"status", 200}, {"body", json::Json::array({1})}, {"times", 1}});
    status = jsonLine(runTessaron({"server", "status"}));
    EXPECT_EQ(status["controlError"], "Invalid panel status.");
    panel.kill();
    status = jsonLine(runTessaron({"server", "status"}));
    EXPECT_TRUE(status["controlError"].is_string());
    EXPECT_EQ(runTessaron({"server", "connect"}).exitCode, 1);
}

TEST_F(TessaronProgram, VMCommandsDriveTheOneVM) {
    expectFailure(runTessaron({"vm"}), "Use `tessaron vm start`, `stop`, `status`, `shell`, `resources`, `listeners`, or `resize`.");
    expectFailure(runTessaron({"vm", "reboot"}), "Unknown VM action `reboot`. ");
    expectFailure(runTessaron({"vm", "resize", "--cpus", "2"}), "Missing required option --memory-gib.");
    expectFailure(runTessaron({"vm", "resize", "--cpus", "2", "--memory-gib", "3", "--restart", "now"}),
                  "Invalid --restart: is a flag, without a value.");

    ASSERT_EQ(lima.create("tessaron").exitCode, 0);
    lima.clearCalls();
    auto run = runTessaron({"vm", "status"});
    EXPECT_EQ(run.standardOutput, "Running\n");

    // A running VM is not resized without --restart, and is left untouched.
    run = runTessaron({"vm", "resize", "--cpus", "2", "--memory-gib", "3"});
    EXPECT_EQ(run.exitCode, 1);
    for (const auto& call : lima.calls()) EXPECT_NE(call.front(), "edit");

    auto report = jsonLine(runTessaron({"vm", "resize", "--cpus", "2", "--memory-gib", "3", "--restart"}));
    EXPECT_EQ(report["cpu"], 2);
    EXPECT_EQ(report["memoryGiB"], 3.0);
    EXPECT_EQ(report["state"], "Running");
    EXPECT_EQ(report["bounds"]["minCPU"], 1);
    EXPECT_EQ(report["bounds"]["minMemoryGiB"], 2);
    EXPECT_EQ(jsonLine(runTessaron({"vm", "resources"})), report);
    // The limits are those of the Mac the hardware check sees: a stand-in 8-CPU, 16 GiB
    // Mac keeps 2 CPUs and 4 GiB whatever this machine has.
    testing::ProgramEnvironment standinMac;
    standinMac.variables["TESSARON_STANDIN_HARDWARE"] =
        R"({"architecture":"arm64","chipName":"Apple M3","modelIdentifier":"Mac15,3","logicalCPUCount":8,)"
        R"("memoryBytes":17179869184,"operatingSystemMajorVersion":14})";
    EXPECT_EQ(jsonLine(runTessaron({"vm", "resources"}, standinMac))["bounds"],
              json::parse(R"({"maxCPU":6,"maxMemoryGiB":12,"minCPU":1,"minMemoryGiB":2})"));

    // stop records the wish before taking the lock; a held lock refuses it.
    {
        cli::VMResourceLockHold held(/*exclusive=*/true, /*create=*/true);
        expectFailure(runTessaron({"vm", "stop"}),
                      "Another resource or connection operation is already running. Wait for it to finish.");
    }
    const auto intent = json::parse(testing::readFile(home.supportDir() / "power-intent.json"));
    EXPECT_EQ(intent["desired"], "stopped");
    EXPECT_EQ(runTessaron({"vm", "status"}).standardOutput, "Running\n");
    EXPECT_EQ(runTessaron({"vm", "stop"}).exitCode, 0);
    EXPECT_EQ(runTessaron({"vm", "status"}).standardOutput, "Stopped\n");
    expectFailure(runTessaron({"vm", "listeners"}), "Your Linux server is not running. Start it to check its app list.");

    run = runTessaron({"vm", "start"});
    EXPECT_EQ(run.exitCode, 0) << run.standardError;
    EXPECT_EQ(json::parse(testing::readFile(home.supportDir() / "power-intent.json"))["desired"], "running");
    run = runTessaron({"vm", "listeners"});
    ASSERT_EQ(run.exitCode, 0) << run.standardError;
    EXPECT_EQ(json::parse(run.standardOutput)["available"], true);

    // The shell: a failing command is the program's failure.
    run = runTessaron({"vm", "shell", "sh", "-c", "exit 3"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.standardError, "tessaron: limactl exited with status 3.\n");
    run = runTessaron({"ssh", "true"});
    EXPECT_EQ(run.exitCode, 0) << run.standardError;
    EXPECT_EQ(lima.run({"delete", "-f", "tessaron"}).exitCode, 0);
}

}  // namespace
}  // namespace tessaron
