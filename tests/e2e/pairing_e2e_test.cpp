// `tessaron onboard` and `tessaron pair` run as the built program, as the desktop
// application runs them, against the loopback panel and the stand-in limactl; the test
// acts as the panel's user (approve, refuse, expire, approve a pairing code). Each test
// has its own HOME and LIMA_HOME. The program waits 2 seconds between polls, so each
// run that waits for approval takes a few seconds.

#include "host/agent_configuration.h"
#include "host/device_credential_store.h"
#include "host/json.h"
#include "panel/receipt_store.h"
#include "panel/setup_progress.h"
#include "panel/setup_records.h"
#include "support/limactl_standin.h"
#include "support/panel_process.h"
#include "support/temp_dir.h"
#include "support/tessaron_process.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <future>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace tessaron {
namespace {

namespace fs = std::filesystem;
using testing::ProgramRun;
using Lines = std::vector<std::string>;

constexpr const char* paired = "Paired. Your Mac is linked; background hosting can now connect.";
constexpr const char* approved = "Account approved. Preparing your Linux server\u2026";

std::string hostName() {
    char buffer[256] = {};
    ::gethostname(buffer, sizeof buffer - 1);
    return buffer;
}

// Every line ends in a line feed; each progress line is exactly the program's encoding
// of the state it carries and is replaced by "STATE <stage>"; other lines stay as they are.
Lines streamLines(const std::string& output) {
    Lines lines;
    EXPECT_TRUE(output.empty() || output.back() == '\n') << "every line ends with a line feed";
    std::size_t start = 0;
    while (start < output.size()) {
        std::size_t end = output.find('\n', start);
        if (end == std::string::npos) end = output.size();
        const std::string line = output.substr(start, end - start);
        if (auto progress = SetupProgressEvent::decode(line)) {
            EXPECT_EQ(line, SetupProgressEvent::line(*progress));
            lines.push_back("STATE " + progress->stage);
        } else {
            lines.push_back(line);
        }
        start = end + 1;
    }
    return lines;
}

// Removes the run of "STATE awaiting_account" lines at `index` (how many there are
// depends on how fast the test approves) and returns how many there were.
std::size_t dropAwaiting(Lines& lines, std::size_t index) {
    std::size_t count = 0;
    while (index < lines.size() && lines[index] == "STATE awaiting_account") {
        lines.erase(lines.begin() + static_cast<std::ptrdiff_t>(index));
        ++count;
    }
    return count;
}

class PairingProgram : public ::testing::Test {
protected:
    testing::TempHome home;
    testing::StandinLimaHome lima;
    testing::StandinMacHardware hardware;
    testing::PanelProcess panel;

    std::future<ProgramRun> start(std::vector<std::string> words) {
        return std::async(std::launch::async, [words] { return testing::runTessaron(words, {}, 120); });
    }
    static ProgramRun finish(std::future<ProgramRun>& run) {
        if (run.wait_for(std::chrono::seconds(150)) != std::future_status::ready) {
            ADD_FAILURE() << "the program did not end";
            return {};
        }
        return run.get();
    }

    Lines approvalLines() {
        const json::Json setup = panel.setupState();
        return {"Approve this Mac in the web panel with code: " + std::string(setup["code"]),
                "Setup link: " + panel.base() + "/console/connect?setup=" + std::string(setup["id"]),
                "Waiting for account approval before creating Linux\u2026"};
    }
    fs::path pendingFile() const { return home.supportDir() / "pending-setup.json"; }

    // The saved pairing is the setup's machine and the token the panel holds.
    void expectLinked() {
        const json::Json setup = panel.setupState();
        ASSERT_TRUE(setup["machineId"].is_string());
        EXPECT_EQ(AgentConfigurationStore::load(),
                  (AgentConfiguration{setup["machineId"], *Url::parse(panel.base()), {}, "127.0.0.1", "tessaron",
                                      "wireguard"}));
        const std::string token = DeviceCredentialStore::tokenFromFile(home.supportDir() / "headless-token");
        EXPECT_EQ(token, std::string(panel.machineState(setup["machineId"])["deviceToken"]));
        EXPECT_FALSE(fs::exists(pendingFile()));
    }
};

TEST_F(PairingProgram, OnboardCreatesTheVMOnceApproved) {
    auto run = start({"onboard", "--control", panel.base()});
    panel.waitForSetup();
    panel.approveSetup();
    const ProgramRun result = finish(run);
    ASSERT_EQ(result.exitCode, 0) << result.standardError;
    EXPECT_EQ(result.standardError.find("tessaron:"), std::string::npos);

    Lines lines = streamLines(result.standardOutput);
    dropAwaiting(lines, 3);
    Lines expected = approvalLines();
    for (const char* line : {"STATE approved", approved, "STATE creating_vm", "Creating the single Tessaron Linux VM\u2026",
                             "STATE linking", "STATE complete", paired})
        expected.push_back(line);
    EXPECT_EQ(lines, expected);

    const json::Json setup = panel.setupState();
    EXPECT_EQ(setup["reported"], (json::Json{"creating_vm", "linking", "complete"}));
    EXPECT_EQ(setup["profile"]["name"], hostName());
    EXPECT_EQ(setup["profile"]["chip"], "Apple M3");
    EXPECT_EQ(setup["profile"]["modelIdentifier"], "Mac15,3");
    EXPECT_EQ(setup["profile"]["memoryGiB"], 16);
    expectLinked();

    EXPECT_EQ(lima.run({"list", "tessaron", "--format", "{{.Status}}"}).standardOutput, "Running\n");
    const auto calls = lima.calls();
    const auto create = std::find_if(calls.begin(), calls.end(), [](const auto& call) { return call.at(0) == "start"; });
    ASSERT_NE(create, calls.end());
    EXPECT_NE(std::find(create->begin(), create->end(), "--disk=40"), create->end());
    EXPECT_NE(std::find(create->begin(), create->end(), "--cpus=" + std::to_string(int(setup["profile"]["allocatedCpu"]))),
              create->end());
    EXPECT_EQ(VMPowerIntentFileStore::forThisMac().load()->desired, "running");

    // Linked now: a second onboard stops before asking the panel.
    panel.admin("DELETE", "/_admin/requests");
    const ProgramRun again = testing::runTessaron({"onboard", "--control", panel.base()}, {}, 30);
    EXPECT_EQ(again.exitCode, 1);
    EXPECT_EQ(again.standardOutput, "");
    EXPECT_EQ(again.standardError,
              "tessaron: This Mac is already linked. Use the web panel or reconnect public access; its existing server "
              "was preserved.\n");
    EXPECT_EQ(panel.requests().size(), 0u);
}

TEST_F(PairingProgram, PairKeepsTheVMAndNeedsOne) {
    // No VM: after the approval the run stops, tells the panel and keeps the setup.
    auto first = start({"pair", "--control", panel.base()});
    panel.waitForSetup();
    panel.approveSetup();
    const ProgramRun missing = finish(first);
    EXPECT_EQ(missing.exitCode, 1);
    EXPECT_EQ(missing.standardError,
              "tessaron: Your existing VM could not be found. Its setup was preserved; use Create your server to "
              "continue.\n");
    Lines lines = streamLines(missing.standardOutput);
    dropAwaiting(lines, 3);
    Lines expected = approvalLines();
    for (const char* line : {"STATE approved", approved, "STATE creating_vm", "STATE failed"}) expected.push_back(line);
    EXPECT_EQ(lines, expected);
    EXPECT_TRUE(fs::exists(pendingFile()));

    // With a running VM the resumed setup keeps it as it is.
    ASSERT_EQ(lima.create("tessaron").exitCode, 0);
    lima.clearCalls();
    const ProgramRun kept = testing::runTessaron({"pair", "--control", panel.base(), "--cpus", "3"}, {}, 60);
    ASSERT_EQ(kept.exitCode, 0) << kept.standardError;
    EXPECT_EQ(kept.standardError, "");
    expected = {"Resuming your saved setup. Existing Linux files will be preserved."};
    for (const auto& line : approvalLines()) expected.push_back(line);
    for (const char* line : {"STATE failed", approved, "STATE creating_vm",
                             "Keeping your existing Linux VM, files and resources.", "STATE linking", "STATE complete",
                             paired})
        expected.push_back(line);
    EXPECT_EQ(streamLines(kept.standardOutput), expected);
    for (const auto& call : lima.calls()) EXPECT_EQ(call.at(0), "list") << "the running VM is only looked at";
    EXPECT_EQ(panel.setupState()["reported"],
              (json::Json{"creating_vm", "failed", "resume", "creating_vm", "linking", "complete"}));
    expectLinked();
}

TEST_F(PairingProgram, ExpiredAndRefusedSetupsEndTheWaitAndStaySaved) {
    struct Case {
        std::string name;
        std::function<void()> act;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"expired", [this] { panel.expireSetup(); }, "This setup has expired. Start again from the Mac app."},
        {"refused", [this] { panel.refuseSetup(); }, "This Mac was declined in the web panel."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        testing::TempHome caseHome;
        auto run = start({"onboard", "--control", panel.base()});
        panel.waitForSetup();
        // Wait for this run's own setup, not the previous case's (which waitForSetup already
        // finds in the second case, so this wait alone covers the start of a loaded program).
        ASSERT_TRUE(testing::PanelProcess::waitFor(
            [&] { return fs::exists(caseHome.supportDir() / "pending-setup.json"); }, 60));
        c.act();
        const ProgramRun result = finish(run);
        EXPECT_EQ(result.exitCode, 1);
        EXPECT_EQ(result.standardError, "tessaron: " + c.message + "\n");
        Lines lines = streamLines(result.standardOutput);
        dropAwaiting(lines, 3);
        EXPECT_EQ(lines, approvalLines()) << "no human line while waiting";
        EXPECT_TRUE(fs::exists(caseHome.supportDir() / "pending-setup.json"));
        EXPECT_FALSE(fs::exists(caseHome.supportDir() / "agent.json"));
        EXPECT_EQ(panel.setupState()["reported"], json::Json::array());
    }
    for (const auto& call : lima.calls()) EXPECT_EQ(call.at(0), "list");
}

TEST_F(PairingProgram, ASetupResumesAfterThePairingProcessWasKilled) {
    // The first run is killed while it waits for the approval.
    const fs::path output = home.path() / "first-run.txt";
    const std::string program = testing::tessaronPath().string();
    const std::string base = panel.base();
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        const int fd = ::open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ::dup2(fd, STDOUT_FILENO);
        ::dup2(fd, STDERR_FILENO);
        ::execl(program.c_str(), program.c_str(), "onboard", "--control", base.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    const bool waiting = testing::PanelProcess::waitFor(
        [&] { return fs::exists(output) && testing::readFile(output).find("TESSARON_SETUP_STATE ") != std::string::npos; }, 30);
    ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
    ASSERT_TRUE(waiting) << testing::readFile(output);
    ASSERT_TRUE(fs::exists(pendingFile()));
    const json::Json before = panel.setupState();

    // Another panel may not take the saved setup over.
    const std::string otherPanel = "http://localhost:" + std::to_string(panel.port());
    panel.admin("DELETE", "/_admin/requests");
    const ProgramRun other = testing::runTessaron({"onboard", "--control", otherPanel}, {}, 30);
    EXPECT_EQ(other.exitCode, 1);
    EXPECT_EQ(other.standardOutput, "");
    EXPECT_EQ(other.standardError,
              "tessaron: A setup for another panel is saved. Finish it before starting another setup; your VM was not "
              "changed.\n");
    EXPECT_EQ(panel.requests().size(), 0u);

    // The user approved while this Mac was away; the next run picks the setup up at once.
    panel.approveSetup();
    const ProgramRun resumed = testing::runTessaron({"onboard", "--control", base}, {}, 60);
    ASSERT_EQ(resumed.exitCode, 0) << resumed.standardError;
    const json::Json after = panel.setupState();
    EXPECT_EQ(after["id"], before["id"]);
    EXPECT_NE(after["code"], before["code"]) << "a resumed setup gets a new code";
    Lines expected = {"Resuming your saved setup. Existing Linux files will be preserved."};
    for (const auto& line : approvalLines()) expected.push_back(line);
    for (const char* line : {"STATE approved", approved, "STATE creating_vm", "Creating the single Tessaron Linux VM\u2026",
                             "STATE linking", "STATE complete", paired})
        expected.push_back(line);
    EXPECT_EQ(streamLines(resumed.standardOutput), expected);
    EXPECT_EQ(after["reported"], (json::Json{"resume", "creating_vm", "linking", "complete"}));
    expectLinked();
}

TEST_F(PairingProgram, LegacyPairingCodesWithEdgeURLs) {
    const std::string paired =
        "Paired. Your connection is saved privately on this Mac; run `tessaron serve` to connect. No Keychain "
        "permission is needed.\n";
    // pair over the legacy transport: the given edges replace the panel's; the VM is not looked at.
    auto run = start({"pair", "--control", panel.base(), "--transport", "legacy", "--local-host", "192.168.64.2",
                      "--edges", "wss://a.example/tunnel,,wss://b.example:8443/tunnel"});
    std::string code = panel.waitForPairingCode();
    auto machine = panel.approvePairingCode(code, {"wss://panel-edge.example/tunnel"});
    ProgramRun result = finish(run);
    ASSERT_EQ(result.exitCode, 0) << result.standardError;
    EXPECT_EQ(result.standardOutput, "\nPair this Mac in the Tessaron dashboard with code: " + code +
                                         "\nWaiting for approval\u2026\n" + paired);
    EXPECT_EQ(result.standardError, "");
    EXPECT_EQ(AgentConfigurationStore::load(),
              (AgentConfiguration{machine.machineId,
                                  *Url::parse(panel.base()),
                                  {*Url::parse("wss://a.example/tunnel"), *Url::parse("wss://b.example:8443/tunnel")},
                                  "192.168.64.2",
                                  std::nullopt,
                                  "legacy"}));
    EXPECT_EQ(DeviceCredentialStore::tokenFromFile(home.supportDir() / "headless-token"), machine.deviceToken);
    EXPECT_TRUE(lima.calls().empty());

    // onboard through the legacy flow replaces that pairing, creates the VM and keeps the panel's edges.
    run = start({"onboard", "--control", panel.base(), "--legacy-pairing", "--name", "Build Mac"});
    // The VM is created before the code is asked for, which on a loaded machine takes a while.
    const bool ended = !testing::PanelProcess::waitFor(
        [&] {
            return run.wait_for(std::chrono::seconds(0)) == std::future_status::ready ||
                   panel.admin("GET", "/_admin/pairing-codes/latest").body.value("code", "") != code;
        },
        60);
    ASSERT_FALSE(ended) << "no new code was asked for within 60 s";
    if (run.wait_for(std::chrono::seconds(0)) == std::future_status::ready) {
        const ProgramRun early = finish(run);
        FAIL() << "onboard ended before asking for a code: " << early.standardOutput << early.standardError;
    }
    code = panel.waitForPairingCode();
    machine = panel.approvePairingCode(code, {"wss://panel-edge.example/tunnel"});
    result = finish(run);
    ASSERT_EQ(result.exitCode, 0) << result.standardError;
    EXPECT_EQ(result.standardOutput, "Creating the single Tessaron Linux VM\u2026\n\nPair this Mac in the Tessaron "
                                     "dashboard with code: " +
                                         code + "\nWaiting for approval\u2026\n" + paired);
    EXPECT_EQ(AgentConfigurationStore::load(),
              (AgentConfiguration{machine.machineId,
                                  *Url::parse(panel.base()),
                                  {*Url::parse("wss://panel-edge.example/tunnel")},
                                  "127.0.0.1",
                                  "tessaron",
                                  "wireguard"}));
    EXPECT_EQ(DeviceCredentialStore::tokenFromFile(home.supportDir() / "headless-token"), machine.deviceToken);
    EXPECT_EQ(lima.run({"list", "tessaron", "--format", "{{.Status}}"}).standardOutput, "Running\n");
    const json::Json profile = panel.admin("GET", "/_admin/pairing-codes/latest").body["profile"];
    EXPECT_EQ(profile["name"], "Build Mac");
    EXPECT_EQ(profile["chip"], "Apple M3");

    // A second legacy onboard finds the VM and stops before asking for a code.
    const ProgramRun again =
        testing::runTessaron({"onboard", "--control", panel.base(), "--legacy-pairing"}, {}, 30);
    EXPECT_EQ(again.exitCode, 1);
    EXPECT_EQ(again.standardOutput, "");
    EXPECT_EQ(again.standardError,
              "tessaron: The Tessaron VM already exists. Use `tessaron vm resize` to change resources, or `tessaron "
              "pair` to connect it. Its files were not changed.\n");
}

}  // namespace
}  // namespace tessaron
