// LimaManager driving the stand-in limactl for real: creation, the life cycle, the
// queries, the guarded restart, resizes of a running and of a stopped VM, and the
// recovery after injected failures.

#include "host/lima_manager.h"
#include "support/limactl_standin.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace tessaron {
namespace {
using Argv = std::vector<std::string>;

constexpr std::uint64_t GiB = 1ULL << 30;
constexpr std::uint64_t MiB = 1ULL << 20;
const HostCapacity host{10, 32 * GiB};  // up to 8 CPUs and 24 GiB

LimaManager standinManager() { return LimaManager("tessaron", testing::limactlPath().string()); }

bool called(const testing::StandinLimaHome& lima, const Argv& argv) {
    const auto calls = lima.calls();
    return std::find(calls.begin(), calls.end(), argv) != calls.end();
}

std::string failureText(const std::function<void()>& operation) {
    try {
        operation();
    } catch (const LimaManagerError& error) {
        return error.what();
    }
    ADD_FAILURE() << "no LimaManagerError was thrown";
    return "";
}

TEST(LimaManagerStandin, CreateQueryStopStartDelete) {
    testing::StandinLimaHome lima;
    LimaManager manager = standinManager();
    EXPECT_EQ(manager.statusIfPresent(), std::nullopt);
    EXPECT_TRUE(manager.isBuilt());  // nothing listed: nothing to tell

    manager.createAndStart({2, 4 * GiB + 512 * MiB}, 12);
    EXPECT_TRUE(called(lima, {"start", "--yes", "--name=tessaron", "--arch=aarch64", "--vm-type=vz", "--network=vzNAT",
                              "--rosetta=false", "--containerd=none", "--mount-none", "--cpus=2", "--memory=4",
                              "--disk=12"}));
    EXPECT_EQ(manager.status(), "Running");
    EXPECT_EQ(manager.statusIfPresent(), "Running");
    EXPECT_TRUE(manager.isBuilt());
    EXPECT_EQ(manager.resources(), (VMResourceState{"Running", {2, 4 * GiB}}));
    EXPECT_EQ(manager.allocation(), (ResourceAllocation{2, 4 * GiB}));
    const int port = manager.sshLocalPort();
    EXPECT_EQ(std::to_string(port) + "\n", lima.run({"list", "tessaron", "--format", "{{.SSHLocalPort}}"}).standardOutput);

    // The address pipeline reaches the guest's shell intact.
    testing::StandinLimaHome::writeShim(
        lima.guestShimDir("tessaron"), "ip",
        "#!/bin/sh\n[ \"$*\" = \"-4 -o addr show scope global\" ] || exit 3\n"
        "echo '2: eth0    inet 192.168.5.15/24 brd 192.168.5.255 scope global eth0\\       valid_lft forever'\n"
        "echo '3: wg0    inet 10.77.0.2/32 scope global wg0'\n");
    EXPECT_EQ(manager.guestIPv4Address(), "192.168.5.15");

    const std::string firstBoot = manager.bootID();
    EXPECT_TRUE(lima_text::isUUID(firstBoot));

    manager.stop();
    EXPECT_EQ(manager.status(), "Stopped");
    EXPECT_EQ(failureText([&] { manager.bootID(); }).empty(), false);  // the stopped guest cannot be asked
    manager.start();
    EXPECT_EQ(manager.status(), "Running");
    EXPECT_NE(manager.bootID(), firstBoot);

    // The remains of an interrupted creation: listed, but without a disk.
    std::filesystem::remove(lima.instanceDir("tessaron") / "diffdisk");
    EXPECT_FALSE(manager.isBuilt());

    manager.deleteInstance();
    EXPECT_EQ(manager.statusIfPresent(), std::nullopt);
    EXPECT_FALSE(failureText([&] { manager.status(); }).empty());
}

TEST(LimaManagerStandin, LimactlErrorsReachTheCaller) {
    testing::StandinLimaHome lima;
    LimaManager manager = standinManager();
    // Stopping a VM that does not exist: limactl's own message, trimmed.
    const std::string text = failureText([&] { manager.stop(); });
    EXPECT_NE(text.find("tessaron"), std::string::npos) << text;
    EXPECT_NE(text.back(), '\n');

    lima.writeFaults(R"([{"command": "delete", "effect": "fail", "exitCode": 4}])");
    EXPECT_EQ(failureText([&] { manager.deleteInstance(); }), "limactl exited with status 4.");
    EXPECT_EQ(failureText([&] { manager.createAndStart({2, 4 * GiB}, 9); }), "The Linux VM disk must be at least 10 GiB.");
    EXPECT_EQ(lima.calls().size(), 2u);
}

TEST(LimaManagerStandin, RestartComesBackWithANewBoot) {
    testing::StandinLimaHome lima;
    LimaManager manager = standinManager();
    ASSERT_EQ(lima.create("tessaron").exitCode, 0);

    const std::string before = manager.bootID();
    lima.clearCalls();
    const std::string after = manager.restart(before);
    EXPECT_NE(after, before);
    EXPECT_EQ(after, manager.bootID());
    EXPECT_EQ(manager.status(), "Running");
    EXPECT_TRUE(called(lima, {"stop", "--yes", "tessaron"}));
    EXPECT_TRUE(called(lima, {"start", "--yes", "tessaron"}));

    // A stale boot identity: nothing is stopped.
    lima.clearCalls();
    EXPECT_EQ(failureText([&] { manager.restart(before); }),
              "The server changed state since this restart was requested. It was not restarted again.");
    EXPECT_FALSE(called(lima, {"stop", "--yes", "tessaron"}));

    // The guest comes back in the same boot.
    lima.writeFaults(R"([{"command": "start", "effect": "keepBootId", "times": 1}])");
    EXPECT_EQ(failureText([&] { manager.restart(after); }), "A new Linux boot could not be verified.");
    EXPECT_EQ(manager.status(), "Running");

    // The start leaves it stopped; it stays stopped.
    lima.writeFaults(R"([{"command": "start", "effect": "stayStopped", "times": 1}])");
    EXPECT_EQ(failureText([&] { manager.restart(after); }), "The server has not reached its running state.");
    EXPECT_EQ(manager.status(), "Stopped");
}

TEST(LimaManagerStandin, ResizeRunningAndStoppedVMs) {
    testing::StandinLimaHome lima;
    LimaManager manager = standinManager();
    ASSERT_EQ(lima.create("tessaron").exitCode, 0);  // 2 CPUs, 4 GiB

    EXPECT_EQ(failureText([&] { manager.resize({4, 6 * GiB + 512 * MiB}, host, false); }),
              LimaManagerError::restartRequired().what());
    EXPECT_EQ(manager.resources(), (VMResourceState{"Running", {2, 4 * GiB}}));

    const std::string boot = manager.bootID();
    EXPECT_EQ(manager.resize({4, 6 * GiB + 512 * MiB}, host, true), (VMResourceState{"Running", {4, 6 * GiB + 512 * MiB}}));
    EXPECT_TRUE(called(lima, {"edit", "--yes", "--cpus", "4", "--memory", "6.5", "tessaron"}));
    EXPECT_EQ(manager.status(), "Running");
    EXPECT_NE(manager.bootID(), boot);

    manager.stop();
    lima.clearCalls();
    EXPECT_EQ(manager.resize({3, 3 * GiB + 256 * MiB}, host, false), (VMResourceState{"Stopped", {3, 3 * GiB + 256 * MiB}}));
    EXPECT_TRUE(called(lima, {"edit", "--yes", "--cpus", "3", "--memory", "3.25", "tessaron"}));
    EXPECT_FALSE(called(lima, {"start", "--yes", "tessaron"}));
    EXPECT_EQ(manager.status(), "Stopped");

    // Already at that size: nothing runs but the one listing.
    lima.clearCalls();
    EXPECT_EQ(manager.resize({3, 3 * GiB + 256 * MiB}, host, true), (VMResourceState{"Stopped", {3, 3 * GiB + 256 * MiB}}));
    EXPECT_EQ(lima.calls(), (std::vector<Argv>{{"list", "tessaron", "--json"}}));

    // An unsettled VM is left alone.
    lima.writeFaults(R"([{"argv": ["list", "tessaron", "--json"], "effect": "status", "status": "Starting", "times": 1}])");
    EXPECT_EQ(failureText([&] { manager.resize({2, 4 * GiB}, host, true); }),
              "The VM is Starting. Wait until it is running or stopped before changing resources.");
    EXPECT_EQ(manager.resources(), (VMResourceState{"Stopped", {3, 3 * GiB + 256 * MiB}}));
}

TEST(LimaManagerStandin, FailedResizeIsRolledBack) {
    testing::StandinLimaHome lima;
    LimaManager manager = standinManager();
    ASSERT_EQ(lima.create("tessaron").exitCode, 0);  // 2 CPUs, 4 GiB, running
    const VMResourceState original{"Running", {2, 4 * GiB}};
    const std::string restored = " The previous CPU/RAM and running state were restored.";

    lima.writeFaults(
        R"([{"command": "edit", "effect": "fail", "stderr": "level=fatal msg=\"edit refused\"\n", "exitCode": 1, "times": 1}])");
    lima.clearCalls();
    EXPECT_EQ(failureText([&] { manager.resize({4, 8 * GiB}, host, true); }),
              "Resource change failed: level=fatal msg=\"edit refused\"" + restored);
    EXPECT_EQ(manager.resources(), original);
    EXPECT_TRUE(called(lima, {"edit", "--yes", "--cpus", "2", "--memory", "4.0", "tessaron"}));

    lima.writeFaults(R"([{"command": "edit", "effect": "notRetained", "times": 1}])");
    EXPECT_EQ(failureText([&] { manager.resize({4, 8 * GiB}, host, true); }),
              "Resource change failed: The VM configuration did not retain the selected CPU and RAM." + restored);
    EXPECT_EQ(manager.resources(), original);

    lima.writeFaults(R"([{"command": "start", "effect": "stayStopped", "times": 1}])");
    EXPECT_EQ(failureText([&] { manager.resize({4, 8 * GiB}, host, true); }),
              "Resource change failed: The VM did not reach its expected state after changing resources." + restored);
    EXPECT_EQ(manager.resources(), original);

    // The edit back fails too: the VM is left stopped at its old size, never deleted.
    lima.writeFaults(R"([{"command": "edit", "effect": "fail", "stderr": "disk busy", "times": 2}])");
    EXPECT_EQ(failureText([&] { manager.resize({4, 8 * GiB}, host, true); }),
              "Resource change failed: disk busy Recovery also failed: disk busy Your VM was not deleted; inspect its "
              "state before retrying.");
    EXPECT_EQ(manager.resources(), (VMResourceState{"Stopped", {2, 4 * GiB}}));
    EXPECT_EQ(manager.statusIfPresent(), "Stopped");
}

}  // namespace
}  // namespace tessaron
