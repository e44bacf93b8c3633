// The light stand-in guest runs its commands on this machine; as root, without any
// shims, `tessaron network` and `tessaron serve` drive the real wg, wg-quick and ip in
// it. They must change nothing here: no /etc/wireguard files, no network links, no
// /run/wireguard sockets. What they do lands in the guest (its key in the instance's
// folder, its interface in the guest's own network namespace).

#include "host/agent_configuration.h"
#include "host/device_credential_store.h"
#include "host/json.h"
#include "host/lima_manager.h"
#include "support/limactl_standin.h"
#include "support/panel_process.h"
#include "support/serve_process.h"
#include "support/temp_dir.h"
#include "support/tessaron_process.h"
#include "standins/common/private_mounts.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace tessaron {
namespace {

namespace fs = std::filesystem;
using testing::PanelProcess;

// What guest commands could change on this machine: the files below the folders that
// WireGuard's tools write, and the network links.
std::string machineSnapshot() {
    std::string snapshot;
    for (const char* folder : {"/etc/wireguard", "/run/wireguard", "/etc/systemd/system/multi-user.target.wants"}) {
        std::error_code error;
        snapshot += std::string(folder) + (fs::exists(folder, error) ? ":\n" : " (none)\n");
        for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error))
            snapshot += "  " + it->path().filename().string() + "\n";
    }
    const auto links = testing::runProgram("/usr/sbin/ip", {"-o", "link", "show"}, {}, 30);
    for (std::size_t start = 0; start < links.standardOutput.size();) {
        const std::size_t end = links.standardOutput.find('\n', start);
        const std::string line = links.standardOutput.substr(start, end - start);
        // "N: NAME: <FLAGS> …": the name is what a guest command could add.
        const auto first = line.find(": ");
        const auto second = line.find(": ", first + 2);
        if (first != std::string::npos && second != std::string::npos)
            snapshot += "link " + line.substr(first + 2, second - first - 2) + "\n";
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return snapshot;
}

// The processes (pid and command) in the network namespace that `namespaceFd` holds open,
// one a line. Held open, the namespace keeps its inode, so no namespace made later (by
// another test's guest) can be taken for it.
std::string processesIn(int namespaceFd) {
    struct stat wanted {};
    if (::fstat(namespaceFd, &wanted) != 0) return "(the namespace cannot be read)";
    std::string found;
    std::error_code error;
    for (fs::directory_iterator it("/proc", error), end; !error && it != end; it.increment(error)) {
        struct stat other {};
        if (::stat((it->path() / "ns" / "net").c_str(), &other) != 0 || other.st_dev != wanted.st_dev ||
            other.st_ino != wanted.st_ino)
            continue;
        std::string command;
        try {
            command = testing::readFile(it->path() / "comm");
        } catch (const std::exception&) {
        }
        found += it->path().filename().string() + " " + command;
    }
    return found;
}

// A Mac paired with a panel, whose light guest `tessaron` runs as root, walled.
class LightGuestWalls : public ::testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0) GTEST_SKIP() << "Only root could change this machine's network or /etc.";
        testing::writeHomeFilteredProcessLister(tools.path());
        panel = std::make_unique<PanelProcess>();
        mac = panel->createMachine("Studio");
        before = machineSnapshot();
        ASSERT_EQ(lima.create("tessaron").exitCode, 0);
        testing::saveLink(mac, panel->base());
        environment.variables["TESSARON_PS_PATH"] = (tools.path() / "ps").string();
        environment.variables["TESSARON_PASS_INTERVAL_MS"] = "200";
    }

    testing::TempDir tools;
    testing::TempHome home;
    testing::StandinLimaHome lima;
    std::unique_ptr<PanelProcess> panel;
    PanelProcess::Machine mac;
    std::string before;  // this machine, before the guest was made
    testing::ProgramEnvironment environment;
};

TEST_F(LightGuestWalls, NetworkAndServeChangeNothingOnThisMachine) {

    const auto network = testing::runTessaron({"network"}, environment, 120);
    EXPECT_EQ(network.exitCode, 0) << network.standardError;
    EXPECT_EQ(machineSnapshot(), before) << "after tessaron network";
    // It did its work in the guest.
    EXPECT_TRUE(fs::exists(lima.instanceDir("tessaron") / "guest" / "wireguard" / "tessaron.key"));
    EXPECT_TRUE(fs::exists(lima.instanceDir("tessaron") / "guest" / "wireguard" / "tessaron.conf"));
    EXPECT_EQ(lima.run({"shell", "tessaron", "--", "ip", "link", "show", "tessaron"}).exitCode, 0);

    {
        testing::RunningProgram serve(testing::tessaronPath(), {"serve"}, environment);
        ASSERT_TRUE(PanelProcess::waitFor(
            [&] { return panel->machineState(mac.machineId)["network"].value("registrations", 0) >= 3; }, 60))
            << serve.standardOutput() << serve.standardError();
        serve.signal(SIGTERM);
        EXPECT_EQ(serve.waitForExit(30).value_or(-1), 0) << serve.standardError();
    }
    EXPECT_EQ(machineSnapshot(), before) << "after tessaron serve";

    // Stopping the guest takes what ran in it along (wg-quick left a wireguard-go there).
    const std::string agent = lima_text::trimmed(testing::readFile(lima.instanceDir("tessaron") / "ha.pid"));
    const int guestNetwork = ::open(("/proc/" + agent + "/ns/net").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(guestNetwork, 0);
    ASSERT_EQ(lima.run({"stop", "tessaron"}).exitCode, 0);
    EXPECT_EQ(machineSnapshot(), before) << "after limactl stop";
    EXPECT_EQ(processesIn(guestNetwork), "") << "the guest's agent was " << agent;
    ::close(guestNetwork);
}

// A guest without systemd (a container's, a chroot's) brings its tunnel up all the same;
// enabling the interface at boot is left out there.
TEST_F(LightGuestWalls, WireGuardComesUpInAGuestWithoutSystemd) {
    // The guest scripts find every program of this machine but systemctl.
    const fs::path programs = tools.path() / "programs";
    fs::create_directories(programs);
    for (const char* folder : {"/usr/local/sbin", "/usr/local/bin", "/usr/sbin", "/usr/bin"}) {
        std::error_code error;
        for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
            const fs::path link = programs / it->path().filename();
            if (it->path().filename() != "systemctl" && !fs::exists(fs::symlink_status(link)))
                fs::create_symlink(it->path(), link);
        }
    }
    testing::StandinLimaHome::writeShim(lima.guestShimDir("tessaron"), "python3",
                                        "#!/bin/sh\nPATH='" + programs.string() + "' exec /usr/bin/python3 \"$@\"\n");

    const auto network = testing::runTessaron({"network"}, environment, 120);
    EXPECT_EQ(network.exitCode, 0) << network.standardError;
    EXPECT_TRUE(fs::exists(lima.instanceDir("tessaron") / "guest" / "wireguard" / "tessaron.conf"));
    EXPECT_EQ(lima.run({"shell", "tessaron", "--", "ip", "link", "show", "tessaron"}).exitCode, 0);
}

// Run as root inside a chroot, a guest command works on the chroot's files, never on the
// machine's outside it. The chroot here is this machine's root bound into a private mount
// namespace, with a folder that only the chroot's view fills (a tmpfs): a command that
// slipped out of the chroot would write into the empty folder outside instead.
TEST(LightGuestRoot, GuestCommandsStayInTheRootTheGuestStartedIn) {
    if (::geteuid() != 0) GTEST_SKIP() << "Only root has a chroot and namespaces.";
    testing::TempDir work;
    testing::StandinLimaHome lima;
    const fs::path root = work.path() / "root";
    const fs::path inner = work.path() / "inner";
    fs::create_directories(root);
    fs::create_directories(inner);
    const std::string limactl = testing::limactlPath().string();
    const std::string marker = (inner / "marker").string();
    const std::string script = "\"$0\" start --yes --name=vm --cpus=1 --memory=2 --disk=10 >/dev/null 2>&1 || exit 10\n"
                               "\"$0\" shell vm -- sh -c 'echo guest > \"$1\"' sh \"$1\" || status=11\n"
                               "[ -f \"$1\" ] || status=${status:-12}\n"
                               "\"$0\" delete -f vm >/dev/null 2>&1\n"
                               "exit ${status:-0}\n";
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (::unshare(CLONE_NEWNS) != 0 || !standin::makeMountsPrivate() ||
            ::mount("/", root.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0 ||
            ::mount("tmpfs", (root.string() + inner.string()).c_str(), "tmpfs", 0, "mode=0755") != 0 ||
            ::chroot(root.c_str()) != 0 || ::chdir("/") != 0)
            ::_exit(20);
        ::execl("/bin/sh", "sh", "-c", script.c_str(), limactl.c_str(), marker.c_str(), nullptr);
        ::_exit(21);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    EXPECT_FALSE(fs::exists(inner / "marker")) << "a guest command wrote outside the chroot";
}

}  // namespace
}  // namespace tessaron
