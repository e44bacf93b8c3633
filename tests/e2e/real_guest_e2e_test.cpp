// The whole system against a real Linux guest: the stand-in limactl boots the Debian
// image under QEMU, and the relay's WireGuard end is tessaron-wg-peer (wireguard-go in a
// network namespace of its own, linked to the guest's second NIC by a TAP device). One
// user's journey: onboard, serve over WireGuard, a public request answered in the guest,
// SSH preparation, the listener report, a resize and a restart.
//
// Needs root, QEMU, wireguard-go and the guest image (built once into the image cache by
// scripts/build-guest-image.sh); without them it is skipped with the reason. ctest label:
// guest.

#include "host/agent_configuration.h"
#include "host/json.h"
#include "host/lima_manager.h"
#include "support/limactl_standin.h"
#include "support/panel_process.h"
#include "support/serve_process.h"
#include "support/temp_dir.h"
#include "support/tessaron_process.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <thread>
#include <unistd.h>

namespace tessaron {
namespace {

namespace fs = std::filesystem;
using json::Json;
using testing::PanelProcess;
using testing::RunningProgram;

constexpr int webPort = 8080;
constexpr const char* webPage = "answered by the guest\n";

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// One plain HTTP GET on 127.0.0.1:port; the whole answer, or "" when nothing came.
std::string httpGet(int port, const std::string& path) {
    const auto result = testing::runProgram(
        "/usr/bin/curl", {"-s", "--max-time", "10", "http://127.0.0.1:" + std::to_string(port) + path}, {}, 20);
    return result.exitCode == 0 ? result.standardOutput : "";
}

// Why the real guest cannot run here, or "" when it can (the image is built if needed).
std::string unavailableReason() {
    if (::geteuid() != 0) return "it needs root (a network namespace and a TAP device for the WireGuard peer)";
    for (const char* tool : {"/usr/bin/qemu-system-x86_64", "/usr/bin/qemu-img", "/usr/bin/wireguard-go", "/usr/bin/curl"})
        if (::access(tool, X_OK) != 0) return std::string(tool) + " is not installed";
    if (::access("/dev/net/tun", R_OK | W_OK) != 0) return "/dev/net/tun is not available";
    const auto build = testing::runProgram("/bin/bash", {(testing::sourceDir() / "scripts" / "build-guest-image.sh").string()},
                                           {}, 900);
    if (build.exitCode != 0) {
        std::string why = build.standardError;
        while (!why.empty() && why.back() == '\n') why.pop_back();
        why = why.substr(why.find_last_of('\n') == std::string::npos ? 0 : why.find_last_of('\n') + 1);
        return "the guest image could not be built: " + why;
    }
    return "";
}

class RealGuestE2E : public ::testing::Test {
protected:
    void SetUp() override {
        const std::string reason = unavailableReason();
        if (!reason.empty()) GTEST_SKIP() << "The real-guest test did not run: " << reason << ".";
        testing::writeHomeFilteredProcessLister(tools.path());
        peer = std::make_unique<RunningProgram>(testing::standinBinDir() / "tessaron-wg-peer",
                                                std::vector<std::string>{"--dir", peerDir().string(), "--forward-port",
                                                                         std::to_string(webPort)});
        ASSERT_TRUE(peer->waitForOutput("WireGuard peer ready", 30)) << peer->standardError();
        peerSettings = json::parseObject(testing::readFile(peerDir() / "peer.json"));
        // The panel and every limactl (through tessaron) see these.
        guestKind = std::make_unique<testing::ScopedEnv>("TESSARON_STANDIN_GUEST", "qemu");
        peerLink = std::make_unique<testing::ScopedEnv>("TESSARON_STANDIN_WG_PEER", peerDir().string());
        panel = std::make_unique<PanelProcess>();
    }

    fs::path peerDir() const { return tools.path() / "peer"; }

    testing::ProgramEnvironment environment() const {
        testing::ProgramEnvironment environment;
        environment.variables["TESSARON_PS_PATH"] = (tools.path() / "ps").string();
        environment.variables["TESSARON_PASS_INTERVAL_MS"] = "1000";
        return environment;
    }

    // A command in the guest, as its user; stdout trimmed, with the status checked.
    std::string inGuest(const std::vector<std::string>& command) const {
        std::vector<std::string> arguments{"shell", "tessaron", "--"};
        arguments.insert(arguments.end(), command.begin(), command.end());
        const CommandResult result = lima.run(arguments);
        EXPECT_EQ(result.exitCode, 0) << result.standardError;
        std::string out = result.standardOutput;
        while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
        return out;
    }
    long latestHandshake() const {
        const CommandResult shown = lima.run({"shell", "tessaron", "--", "sudo", "wg", "show", "tessaron", "latest-handshakes"});
        const auto tab = shown.standardOutput.find('\t');
        return shown.exitCode == 0 && tab != std::string::npos ? std::atol(shown.standardOutput.c_str() + tab + 1) : 0;
    }
    Json machine() const { return panel->machineState(mac.machineId); }
    Json record(const std::string& list, const Json& id) const {
        const Json state = machine();  // kept: the loop walks a member of it
        for (const Json& entry : state[list])
            if (entry["id"] == id) return entry;
        return nullptr;
    }
    // Settled: a command succeeded or failed, an SSH request was applied or failed.
    bool finished(const std::string& list, const Json& id) const {
        const Json entry = record(list, id);
        if (entry.is_null() || !entry.contains("status")) return false;
        const Json& status = entry["status"];
        return status == "succeeded" || status == "failed" || status == "applied";
    }

    testing::TempDir tools;
    testing::TempHome home;
    testing::StandinLimaHome lima;
    testing::StandinMacHardware hardware;
    std::unique_ptr<RunningProgram> peer;
    Json peerSettings;
    std::unique_ptr<testing::ScopedEnv> guestKind, peerLink;
    std::unique_ptr<PanelProcess> panel;
    PanelProcess::Machine mac;
};

TEST_F(RealGuestE2E, OnboardServePublishRestartResizeAndSSH) {
    const auto started = Clock::now();
    const auto wait = [](const std::function<bool()>& condition, double seconds) {
        return PanelProcess::waitFor(condition, seconds);
    };

    // Onboarding creates the real VM.
    RunningProgram onboard(testing::tessaronPath(), {"onboard", "--control", panel->base()}, environment());
    ASSERT_NO_THROW(panel->waitForSetup(60)) << onboard.standardOutput() << onboard.standardError();
    panel->approveSetup();
    const auto onboarded = onboard.waitForExit(300);
    ASSERT_TRUE(onboarded.has_value()) << onboard.standardOutput();
    ASSERT_EQ(*onboarded, 0) << onboard.standardOutput() << onboard.standardError();
    mac.machineId = AgentConfigurationStore::load().machineID;
    std::printf("real guest: onboarded with a booted VM after %.0f s\n", secondsSince(started));
    const std::string firstBoot = inGuest({"cat", "/proc/sys/kernel/random/boot_id"});
    EXPECT_EQ(inGuest({"uname", "-s"}), "Linux");
    EXPECT_EQ(inGuest({"sudo", "-n", "id", "-un"}), "root");

    // serve provisions WireGuard; the guest's tunnel to the peer shakes hands for real.
    RunningProgram serve(testing::tessaronPath(), {"serve"}, environment());
    ASSERT_TRUE(serve.waitForOutput("WireGuard connected", 120)) << serve.standardOutput() << serve.standardError();
    EXPECT_GT(latestHandshake(), 0);
    const auto status = testing::runTessaron({"connection-status"}, environment(), 60);
    ASSERT_EQ(status.exitCode, 0) << status.standardError;
    EXPECT_EQ(json::parseObject(status.standardOutput)["tunnelState"], "connected") << status.standardOutput;
    std::printf("real guest: WireGuard connected after %.0f s\n", secondsSince(started));

    // A web server in the guest answers a public request through the tunnel.
    inGuest({"sudo", "sh", "-c",
             "mkdir -p /srv/www && printf '" + std::string(webPage) + "' > /srv/www/page.txt && systemd-run --quiet "
             "--unit=tessaron-test-web python3 -m http.server " + std::to_string(webPort) + " --directory /srv/www"});
    const int publicPort = peerSettings["publicPort"].get<int>();
    std::string answer;
    ASSERT_TRUE(wait([&] { return (answer = httpGet(publicPort, "/page.txt")) == webPage; }, 60)) << answer;

    // The listener report lists it.
    ASSERT_TRUE(wait([&] {
        for (const Json& listener : machine()["listeners"].value("listeners", Json::array()))
            if (listener["protocol"] == "tcp" && listener["port"] == webPort) return listener["processName"] == "python3";
        return false;
    }, 90)) << machine()["listeners"].dump();

    // SSH preparation installs a key that the guest's sshd takes.
    const auto keygen = testing::runProgram("/usr/bin/ssh-keygen", {"-q", "-t", "ed25519", "-N", "", "-f",
                                                                     (tools.path() / "user_key").string()});
    ASSERT_EQ(keygen.exitCode, 0) << keygen.standardError;
    std::string userKey = testing::readFile(tools.path() / "user_key.pub");
    userKey.erase(userKey.find_last_not_of('\n') + 1);
    const Json ssh = panel->queueSSH(mac.machineId, {userKey});
    ASSERT_TRUE(wait([&] { return finished("sshRequests", ssh["id"]); }, 180))
        << machine()["sshRequests"].dump() << machine()["sshAcknowledgements"].dump() << serve.standardOutput();
    EXPECT_EQ(record("sshRequests", ssh["id"])["status"], "applied") << record("sshRequests", ssh["id"]).dump();
    const std::string account = inGuest({"id", "-un"});
    const std::string sshPort = lima.run({"list", "tessaron", "--format", "{{.SSHLocalPort}}"}).standardOutput;
    const auto login = testing::runProgram(
        "/usr/bin/ssh", {"-i", (tools.path() / "user_key").string(), "-p", lima_text::trimmed(sshPort), "-o",
                         "IdentitiesOnly=yes", "-o", "BatchMode=yes", "-o", "StrictHostKeyChecking=no", "-o",
                         "UserKnownHostsFile=/dev/null", account + "@127.0.0.1", "echo", "logged-in"},
        {}, 60);
    EXPECT_EQ(login.standardOutput, "logged-in\n") << login.standardError;

    // A resize: the guest sees its new CPUs and memory after the restart it needs.
    ASSERT_TRUE(wait([&] { return machine()["resourceSnapshot"].value("vmState", "") == "Running"; }, 60));
    const Json resize = panel->queueResourceCommand(mac.machineId, 2, 3072);
    ASSERT_TRUE(wait([&] { return finished("resourceCommands", resize["id"]); }, 240));
    EXPECT_EQ(record("resourceCommands", resize["id"])["status"], "succeeded")
        << record("resourceCommands", resize["id"]).dump();
    EXPECT_EQ(inGuest({"nproc"}), "2");
    const long memTotalKiB = std::atol(inGuest({"awk", "/MemTotal/ {print $2}", "/proc/meminfo"}).c_str());
    EXPECT_GT(memTotalKiB, 2560L * 1024);
    EXPECT_LE(memTotalKiB, 3072L * 1024);
    std::printf("real guest: resized after %.0f s\n", secondsSince(started));

    // A restart queued in the panel: a new boot of the guest's kernel.
    const std::string bootBefore = inGuest({"cat", "/proc/sys/kernel/random/boot_id"});
    EXPECT_NE(bootBefore, firstBoot);
    const Json restart = panel->queueCommand(mac.machineId, "restart", bootBefore);
    ASSERT_TRUE(wait([&] { return finished("commands", restart["id"]); }, 240));
    EXPECT_EQ(record("commands", restart["id"])["status"], "succeeded") << record("commands", restart["id"]).dump();
    const std::string bootAfter = inGuest({"cat", "/proc/sys/kernel/random/boot_id"});
    EXPECT_NE(bootAfter, bootBefore);
    EXPECT_EQ(bootAfter.size(), 36u);
    std::printf("real guest: restarted after %.0f s\n", secondsSince(started));

    serve.signal(SIGTERM);
    EXPECT_EQ(serve.waitForExit(120).value_or(-1), 0) << serve.standardError();
}

}  // namespace
}  // namespace tessaron
