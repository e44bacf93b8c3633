// The WireGuard control-plane loop end to end: the loopback panel, the stand-in limactl
// with the bundled guest scripts, and the runner built exactly as `serve` builds it
// (only the pause between passes is shortened). Commands queued in the panel are each
// carried out once and completed; a removal ends the loop.

#include "cli/wireguard_runner.h"
#include "host/agent_configuration.h"
#include "host/device_credential_store.h"
#include "host/json.h"
#include "host/paths.h"
#include "panel/receipt_store.h"
#include "support/limactl_standin.h"
#include "support/panel_process.h"
#include "support/temp_dir.h"
#include "support/wireguard_guest_shims.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <mutex>
#include <thread>

namespace tessaron::cli {
namespace {
namespace fs = std::filesystem;
using json::Json;

constexpr std::uint64_t GiB = 1ULL << 30;

// Polls `condition` every 50 ms for at most `limit`.
bool waitFor(const std::function<bool()>& condition, std::chrono::seconds limit = std::chrono::seconds(30)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return condition();
}

// A command stops or starts the guest, or both, which a loaded machine makes slow.
constexpr std::chrono::seconds commandLimit{120};

// The loop on its own thread; stopped and joined on every path.
class LoopThread {
public:
    explicit LoopThread(WireGuardRunner runner)
        : thread_([this, runner = std::move(runner)] {
              runner.runForever(stop_.get_token());
              ended_ = true;
          }) {}
    ~LoopThread() {
        stop_.request_stop();
        thread_.join();
    }
    bool ended() const { return ended_; }

private:
    std::stop_source stop_;
    std::atomic<bool> ended_{false};
    std::thread thread_;
};

class WireGuardLoopE2E : public ::testing::Test {
protected:
    WireGuardLoopE2E() { bundle::overrideMainBundle(testing::bundleDir()); }
    ~WireGuardLoopE2E() override { bundle::clearMainBundleOverride(); }

    void SetUp() override {
        const CommandResult created = lima.create("tessaron");
        ASSERT_EQ(created.exitCode, 0) << created.standardError;
        // The guest's shims go into the instance's folder, so only after its creation.
        guest = std::make_unique<testing::WireGuardGuestShims>(lima.guestShimDir("tessaron"));
        guest->setHandshake(static_cast<long>(std::time(nullptr)));
        mac = panel.createMachine("Studio");
        testing::saveLink(mac, panel.base());
        configuration = AgentConfigurationStore::load();
    }

    WireGuardRunner runner() {
        WireGuardRunnerSettings settings;
        settings.passInterval = std::chrono::milliseconds(50);
        settings.printLine = [this](const std::string& line) {
            std::lock_guard lock(linesMutex);
            lines.push_back(line);
        };
        return WireGuardRunner(configuration, mac.deviceToken, settings);
    }

    Json machine() { return panel.machineState(mac.machineId); }
    // One member of the machine's record, by value (safe to iterate).
    Json field(const std::string& key) { return machine()[key]; }
    std::int64_t counter(const std::string& key) { return machine().value(key, std::int64_t{0}); }
    std::int64_t registrations() { return machine()["network"].value("registrations", std::int64_t{0}); }

    Json commandRecord(const std::string& id) {
        for (const Json& command : field("commands"))
            if (command["id"] == id) return command;
        return nullptr;
    }
    Json resourceRecord(const std::string& id) {
        for (const Json& command : field("resourceCommands"))
            if (command["id"] == id) return command;
        return nullptr;
    }
    // Waits until the command reached a final state and checks it ran exactly once.
    void expectCompletedOnce(const Json& record, const std::string& kind) {
        SCOPED_TRACE(kind);
        ASSERT_FALSE(record.is_null());
        EXPECT_EQ(record["status"], "succeeded") << record.dump();
        EXPECT_EQ(record["claims"].size(), 1u) << record.dump();
        EXPECT_EQ(record["completion"]["repeats"], 0) << record.dump();
    }
    bool finished(const Json& record) {
        return !record.is_null() && (record["status"] == "succeeded" || record["status"] == "failed");
    }
    std::string vmStatus() {
        return lima.run({"list", "tessaron", "--format", "{{.Status}}"}).standardOutput;
    }
    std::string bootId() { return lima.run({"shell", "tessaron", "--", "cat", "/proc/sys/kernel/random/boot_id"}).standardOutput; }
    std::vector<std::string> printed() {
        std::lock_guard lock(linesMutex);
        return lines;
    }
    // What the loop printed and what the panel recorded, for failure messages.
    std::string diagnostics() {
        std::string text = "lines:\n";
        for (const std::string& line : printed()) text += "  " + line + "\n";
        const Json state = machine();
        text += "commands: " + state["commands"].dump() + "\nresourceCommands: " + state["resourceCommands"].dump() +
                "\nsshRequests: " + state["sshRequests"].dump() + "\n";
        return text;
    }
    std::size_t timesPrinted(const std::string& line) {
        const auto all = printed();
        return static_cast<std::size_t>(std::count(all.begin(), all.end(), line));
    }

    testing::TempHome home;
    testing::StandinLimaHome lima;
    std::unique_ptr<testing::WireGuardGuestShims> guest;
    testing::PanelProcess panel;
    testing::PanelProcess::Machine mac;
    AgentConfiguration configuration;
    std::mutex linesMutex;
    std::vector<std::string> lines;
};

TEST_F(WireGuardLoopE2E, QueuedCommandsRunOnceAndARemovalWithDeletionEndsTheLoop) {
    LoopThread loop(runner());

    // Provisioning and the listener report reach the panel.
    ASSERT_TRUE(waitFor([&] { return registrations() >= 1 && counter("listenerReports") >= 1; }));
    Json state = machine();
    EXPECT_EQ(state["network"]["allocation"], Json::parse(R"({"cpu":2,"memoryGiB":4.0})"));
    EXPECT_TRUE(guest->interfaceUp());
    const int sshPort = std::stoi(lima.run({"list", "tessaron", "--format", "{{.SSHLocalPort}}"}).standardOutput);
    ASSERT_TRUE(waitFor([&] {
        for (const Json& listener : machine()["listeners"].value("listeners", Json::array()))
            if (listener["protocol"] == "tcp" && listener["port"] == sshPort) return true;
        return false;
    }));
    ASSERT_TRUE(waitFor([&] {
        return timesPrinted("WireGuard connected. Published services use the relay; ordinary outbound traffic uses "
                            "your internet connection.") == 1;
    }));

    // A restart: a new boot.
    const std::string firstBoot = bootId();
    const Json restart = panel.queueCommand(mac.machineId, "restart", lima_text::trimmed(firstBoot));
    ASSERT_TRUE(waitFor([&] { return finished(commandRecord(restart["id"])); }, commandLimit)) << diagnostics();
    expectCompletedOnce(commandRecord(restart["id"]), "restart");
    EXPECT_NE(bootId(), firstBoot);

    // A stop: the VM stays off and passes only poll for commands.
    const Json stop = panel.queueCommand(mac.machineId, "stop");
    ASSERT_TRUE(waitFor([&] { return finished(commandRecord(stop["id"])); }, commandLimit)) << diagnostics();
    expectCompletedOnce(commandRecord(stop["id"]), "stop");
    EXPECT_EQ(vmStatus(), "Stopped\n");
    ASSERT_TRUE(waitFor([&] { return timesPrinted("Linux is turned off by request. Waiting for a start command.") == 1; }));
    const std::int64_t registrationsWhileOff = registrations();
    const std::int64_t reportsWhileOff = counter("listenerReports");
    const std::int64_t pollsWhileOff = counter("commandPolls");
    ASSERT_TRUE(waitFor([&] { return counter("commandPolls") >= pollsWhileOff + 3; }));
    EXPECT_EQ(registrations(), registrationsWhileOff);
    EXPECT_EQ(counter("listenerReports"), reportsWhileOff);
    EXPECT_EQ(vmStatus(), "Stopped\n");
    EXPECT_EQ(timesPrinted("Linux is turned off by request. Waiting for a start command."), 1u);

    // A start: provisioning resumes.
    const std::int64_t resourcePollsBeforeStart = counter("resourcePolls");
    const Json start = panel.queueCommand(mac.machineId, "start");
    ASSERT_TRUE(waitFor([&] { return finished(commandRecord(start["id"])); }, commandLimit)) << diagnostics();
    expectCompletedOnce(commandRecord(start["id"]), "start");
    EXPECT_EQ(vmStatus(), "Running\n");
    ASSERT_TRUE(waitFor([&] { return registrations() > registrationsWhileOff; }));

    // A resize, based on the latest observation the Mac reported.
    // (a resource poll after the start, so that the observation is of the new boot)
    ASSERT_TRUE(waitFor([&] { return counter("resourcePolls") > resourcePollsBeforeStart; }));
    ASSERT_EQ(machine()["resourceSnapshot"].value("vmState", ""), "Running");
    const Json resize = panel.queueResourceCommand(mac.machineId, 3, 3072);
    ASSERT_TRUE(waitFor([&] { return finished(resourceRecord(resize["id"])); }, commandLimit)) << diagnostics();
    expectCompletedOnce(resourceRecord(resize["id"]), "resize");
    const Json listed = Json::parse(lima.run({"list", "tessaron", "--json"}).standardOutput);
    EXPECT_EQ(listed["cpus"], 3);
    EXPECT_EQ(listed["memory"], 3 * GiB);
    EXPECT_EQ(vmStatus(), "Running\n");

    // An SSH request: the key lands in the guest account.
    std::string publicKey = testing::readFile(lima.instanceDir("tessaron") / "id_ed25519.pub");
    publicKey.erase(publicKey.find_last_not_of('\n') + 1);
    const Json ssh = panel.queueSSH(mac.machineId, {publicKey});
    ASSERT_TRUE(waitFor([&] {
        for (const Json& request : field("sshRequests"))
            if (request["id"] == ssh["id"] && request["status"] != "pending") return true;
        return false;
    }));
    for (const Json& request : field("sshRequests")) {
        if (request["id"] == ssh["id"]) { EXPECT_EQ(request["status"], "applied") << request.dump(); }
    }
    EXPECT_EQ(machine()["sshAcknowledgements"].size(), 1u);
    EXPECT_NE(testing::readFile(guest->home() / ".ssh" / "authorized_keys").find(publicKey), std::string::npos);

    // Removal with deletion: the loop ends by itself.
    panel.removeMachine(mac.machineId, true);
    ASSERT_TRUE(waitFor([&] { return loop.ended(); }));
    EXPECT_EQ(lima.run({"list", "--json"}).standardOutput, "");
    EXPECT_FALSE(fs::exists(AgentConfigurationStore::defaultURL()));
    EXPECT_FALSE(fs::exists(DeviceCredentialStore::headlessURL()));
    const auto all = printed();
    ASSERT_GE(all.size(), 2u);
    EXPECT_EQ(all[all.size() - 2], WireGuardRunner::removedAndDeletedLine);
    EXPECT_EQ(all.back(), WireGuardRunner::backToPairingLine);
    // Every command ran exactly once in all.
    for (const Json& command : field("commands")) EXPECT_EQ(command["claims"].size(), 1u) << command.dump();
    EXPECT_EQ(machine()["resourceCommands"].size(), 1u);
}

TEST_F(WireGuardLoopE2E, ARemovalWithoutDeletionStopsTheVMAndKeepsIt) {
    panel.removeMachine(mac.machineId, false);
    LoopThread loop(runner());
    ASSERT_TRUE(waitFor([&] { return loop.ended(); }));
    EXPECT_EQ(vmStatus(), "Stopped\n");
    EXPECT_TRUE(fs::exists(lima.instanceDir("tessaron") / "diffdisk"));
    EXPECT_FALSE(fs::exists(AgentConfigurationStore::defaultURL()));
    EXPECT_FALSE(fs::exists(DeviceCredentialStore::headlessURL()));
    const auto all = printed();
    ASSERT_GE(all.size(), 2u);
    EXPECT_EQ(all[all.size() - 2], WireGuardRunner::removedAndKeptLine);
    EXPECT_EQ(all.back(), WireGuardRunner::backToPairingLine);
}

}  // namespace
}  // namespace tessaron::cli
