// The stand-in limactl, driven as a program the way LimaManager drives Lima's.

#include "host/json.h"
#include "support/limactl_standin.h"
#include "support/serve_process.h"
#include "support/temp_dir.h"
#include "support/tessaron_process.h"

#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace tessaron::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr std::uint64_t GiB = 1ULL << 30;

// The first line a server sends on 127.0.0.1:port, or "" when nothing answers.
std::string bannerAt(int port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string line;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
        char c;
        pollfd polled{fd, POLLIN, 0};
        while (line.size() < 256 && ::poll(&polled, 1, 20000) == 1 && ::read(fd, &c, 1) == 1 && c != '\n')
            line += c;
    }
    ::close(fd);
    return line;
}

std::string trimmedText(std::string text) {
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.pop_back();
    return text;
}

class LimactlTest : public ::testing::Test {
protected:
    StandinLimaHome lima;

    std::string status(const std::string& name) {
        return trimmedText(lima.run({"list", name, "--format", "{{.Status}}"}).standardOutput);
    }
    int sshPort(const std::string& name) {
        return std::stoi(trimmedText(lima.run({"list", name, "--format", "{{.SSHLocalPort}}"}).standardOutput));
    }
    std::string bootId(const std::string& name) {
        auto result = lima.run({"shell", name, "--", "cat", "/proc/sys/kernel/random/boot_id"});
        EXPECT_EQ(result.exitCode, 0) << result.standardError;
        return result.standardOutput;
    }
    json::Json listing(const std::string& name) {
        auto result = lima.run({"list", name, "--json"});
        EXPECT_EQ(result.exitCode, 0) << result.standardError;
        return json::parseObject(result.standardOutput);
    }
};

TEST_F(LimactlTest, CreateListStopStartAndDeleteAnInstance) {
    auto created = lima.create("tessaron");
    ASSERT_EQ(created.exitCode, 0) << created.standardError;
    EXPECT_EQ(created.standardOutput, "");

    auto object = listing("tessaron");
    EXPECT_EQ(object["name"], "tessaron");
    EXPECT_EQ(object["status"], "Running");
    EXPECT_EQ(object["cpus"], 2);
    EXPECT_EQ(object["memory"], 4 * GiB);
    EXPECT_EQ(object["disk"], 20 * GiB);
    EXPECT_EQ(object["arch"], "aarch64");
    EXPECT_EQ(object["vmType"], "vz");
    EXPECT_EQ(object["hostname"], "lima-tessaron");
    EXPECT_EQ(object["dir"], lima.instanceDir("tessaron").string());
    EXPECT_EQ(fs::file_size(lima.instanceDir("tessaron") / "diffdisk"), 20 * GiB);

    const int port = sshPort("tessaron");
    EXPECT_EQ(object["sshLocalPort"], port);
    EXPECT_EQ(lima.run({"list", "tessaron", "--format", "{{.Status}}"}).standardOutput, "Running\n");
    EXPECT_EQ(bannerAt(port).rfind("SSH-2.0-", 0), 0u);

    auto stopped = lima.run({"stop", "tessaron"});
    ASSERT_EQ(stopped.exitCode, 0) << stopped.standardError;
    EXPECT_EQ(status("tessaron"), "Stopped");
    EXPECT_EQ(sshPort("tessaron"), 0);
    EXPECT_EQ(bannerAt(port), "");

    auto started = lima.run({"start", "--yes", "tessaron"});
    ASSERT_EQ(started.exitCode, 0) << started.standardError;
    EXPECT_EQ(status("tessaron"), "Running");
    EXPECT_EQ(bannerAt(sshPort("tessaron")).rfind("SSH-2.0-", 0), 0u);
    // Starting a running instance is a notice, not a failure.
    EXPECT_EQ(lima.run({"start", "tessaron"}).exitCode, 0);

    auto refused = lima.run({"delete", "tessaron"});
    EXPECT_NE(refused.exitCode, 0);
    EXPECT_NE(refused.standardError.find("--force"), std::string::npos);
    EXPECT_EQ(status("tessaron"), "Running");

    const int lastPort = sshPort("tessaron");
    ASSERT_EQ(lima.run({"delete", "-f", "tessaron"}).exitCode, 0);
    EXPECT_FALSE(fs::exists(lima.instanceDir("tessaron")));
    EXPECT_EQ(bannerAt(lastPort), "");
    auto missing = lima.run({"list", "tessaron", "--json"});
    EXPECT_NE(missing.exitCode, 0);
    EXPECT_EQ(missing.standardOutput, "");
    EXPECT_NE(missing.standardError.find("tessaron"), std::string::npos);
}

TEST_F(LimactlTest, ListingAllInstancesGivesOneObjectPerLineInNameOrder) {
    EXPECT_EQ(lima.run({"list", "--json"}).standardOutput, "");
    ASSERT_EQ(lima.create("second").exitCode, 0);
    ASSERT_EQ(lima.create("first").exitCode, 0);
    ASSERT_EQ(lima.run({"stop", "second"}).exitCode, 0);

    auto result = lima.run({"list", "--json"});
    ASSERT_EQ(result.exitCode, 0);
    std::istringstream lines(result.standardOutput);
    std::vector<json::Json> objects;
    for (std::string line; std::getline(lines, line);) objects.push_back(json::parseObject(line));
    ASSERT_EQ(objects.size(), 2u);
    EXPECT_EQ(objects[0]["name"], "first");
    EXPECT_EQ(objects[0]["status"], "Running");
    EXPECT_EQ(objects[1]["name"], "second");
    EXPECT_EQ(objects[1]["status"], "Stopped");

    EXPECT_EQ(lima.run({"list", "--format", "{{.Name}}:{{.CPUs}}:{{.Memory}}"}).standardOutput,
              "first:2:4294967296\nsecond:2:4294967296\n");
    auto unknown = lima.run({"list", "first", "--format", "{{.Nope}}"});
    EXPECT_NE(unknown.exitCode, 0);
    EXPECT_NE(unknown.standardError.find("Nope"), std::string::npos);
}

TEST_F(LimactlTest, EveryStartGetsAFreshBootIdentity) {
    ASSERT_EQ(lima.create("vm").exitCode, 0);
    const std::string first = bootId("vm");
    ASSERT_EQ(first.size(), 37u) << first;
    for (std::size_t i = 0; i < 36; ++i) {
        if (i == 8 || i == 13 || i == 18 || i == 23) EXPECT_EQ(first[i], '-') << first;
        else EXPECT_TRUE(std::isxdigit(static_cast<unsigned char>(first[i])) && !std::isupper(first[i])) << first;
    }
    EXPECT_EQ(first.back(), '\n');
    EXPECT_EQ(bootId("vm"), first);
    ASSERT_EQ(lima.run({"stop", "--yes", "vm"}).exitCode, 0);
    ASSERT_EQ(lima.run({"start", "--yes", "vm"}).exitCode, 0);
    EXPECT_NE(bootId("vm"), first);
}

TEST_F(LimactlTest, EditChangesAStoppedInstanceOnly) {
    ASSERT_EQ(lima.create("vm").exitCode, 0);
    auto running = lima.run({"edit", "--yes", "--cpus", "3", "--memory", "3.25", "vm"});
    EXPECT_NE(running.exitCode, 0);
    EXPECT_NE(running.standardError.find("cannot edit a running instance"), std::string::npos);
    EXPECT_EQ(listing("vm")["cpus"], 2);

    ASSERT_EQ(lima.run({"stop", "vm"}).exitCode, 0);
    auto edited = lima.run({"edit", "--yes", "--cpus", "3", "--memory", "3.25", "vm"});
    ASSERT_EQ(edited.exitCode, 0) << edited.standardError;
    auto object = listing("vm");
    EXPECT_EQ(object["cpus"], 3);
    EXPECT_EQ(object["memory"], 3 * GiB + 256 * (1ULL << 20));
    EXPECT_EQ(object["status"], "Stopped");

    ASSERT_EQ(lima.run({"edit", "--yes", "--memory", "8.0", "vm"}).exitCode, 0);
    EXPECT_EQ(listing("vm")["memory"], 8 * GiB);
    EXPECT_EQ(listing("vm")["cpus"], 3);
}

TEST_F(LimactlTest, RefusesWhatLimaRefusesWithoutChangingAnything) {
    ASSERT_EQ(lima.create("vm").exitCode, 0);
    ASSERT_EQ(lima.run({"stop", "vm"}).exitCode, 0);
    struct Case {
        std::vector<std::string> arguments;
        std::string message;
    };
    const std::vector<Case> cases = {
        {{"start", "--yes", "--name=other", "--gpus=2"}, "unknown flag: --gpus"},
        {{"start", "--yes", "--name=other", "--cpus=many"}, "invalid argument \\\"many\\\" for \\\"--cpus\\\""},
        {{"start", "--yes", "--name=other", "--rosetta=maybe"}, "strconv.ParseBool"},
        {{"start", "--yes", "--name=../escape"}, "is invalid"},
        {{"start", "--yes", "--name=vm"}, "already exists"},
        {{"start", "--yes", "--name=other", "missing-template.yaml"}, "no such file"},
        {{"edit", "--yes", "--cpus", "0", "vm"}, "cpus"},
        {{"edit", "--yes", "--memory", "lots", "vm"}, "strconv.ParseFloat"},
        {{"edit", "--yes", "--swap", "1", "vm"}, "unknown flag: --swap"},
        {{"stop", "vm"}, "expected status \\\"Running\\\", got \\\"Stopped\\\""},
        {{"stop", "ghost"}, "does not exist"},
        {{"shell", "vm", "--", "true"}, "instance \\\"vm\\\" is stopped, run `limactl start vm` to start the instance"},
        {{"shell", "ghost", "--", "true"}, "does not exist"},
        {{"frobnicate"}, "unknown command"},
    };
    for (const auto& c : cases) {
        auto result = lima.run(c.arguments);
        EXPECT_NE(result.exitCode, 0) << c.arguments[0] << " " << c.message;
        EXPECT_NE(result.standardError.find(c.message), std::string::npos) << result.standardError;
        EXPECT_EQ(result.standardError.rfind("level=fatal msg=", 0), 0u) << result.standardError;
    }
    EXPECT_FALSE(fs::exists(lima.instanceDir("other")));
    EXPECT_FALSE(fs::exists(lima.path().parent_path() / "escape"));
    auto object = listing("vm");
    EXPECT_EQ(object["cpus"], 2);
    EXPECT_EQ(object["status"], "Stopped");
}

TEST_F(LimactlTest, ShellRunsGuestCommandsWithTheGuestEnvironment) {
    ASSERT_EQ(lima.create("vm").exitCode, 0);
    StandinLimaHome::writeShim(lima.guestShimDir("vm"), "wg", "#!/bin/sh\necho \"instance wg $*\"\n");
    StandinLimaHome::writeShim(lima.sharedGuestShimDir(), "wg", "#!/bin/sh\necho shared wg\n");
    StandinLimaHome::writeShim(lima.sharedGuestShimDir(), "systemctl", "#!/bin/sh\necho \"shared systemctl $*\"\n");

    struct Case {
        std::vector<std::string> command;
        std::string output;
    };
    const std::vector<Case> cases = {
        {{"wg", "show"}, "instance wg show\n"},                       // per-instance shims come first
        {{"sudo", "-n", "systemctl", "start", "x"}, "shared systemctl start x\n"},
        {{"sudo", "sh", "-c", "wg genkey"}, "instance wg genkey\n"},
        {{"sh", "-lc", "wg up; echo \"$HOME\""}, "instance wg up\n" + (lima.instanceDir("vm") / "guest" / "home").string() + "\n"},
        {{"sh", "-c", "echo \"${LIMA_HOME:-unset}\""}, "unset\n"},  // the caller's environment stays outside
        {{"sudo", "-n", "python3", "-c", "import sys; print(sys.argv[1:])", "a b", "c"}, "['a b', 'c']\n"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> arguments = {"shell", "vm", "--"};
        arguments.insert(arguments.end(), c.command.begin(), c.command.end());
        auto result = lima.run(arguments);
        EXPECT_EQ(result.exitCode, 0) << result.standardError;
        EXPECT_EQ(result.standardOutput, c.output) << c.command.front();
    }

    auto failing = lima.run({"shell", "vm", "--", "sh", "-c", "echo oops >&2; exit 7"});
    EXPECT_EQ(failing.exitCode, 7);
    EXPECT_EQ(failing.standardError, "oops\n");
    EXPECT_EQ(lima.run({"shell", "vm", "--", "no-such-command-here"}).exitCode, 127);

    // Standard input reaches the guest command.
    auto piped = runProgram(limactlPath(), {"shell", "vm", "--", "sudo", "cat"},
                            ProgramEnvironment{{{"LIMA_HOME", lima.path().string()}}, std::nullopt, "from stdin"});
    EXPECT_EQ(piped.exitCode, 0);
    EXPECT_EQ(piped.standardOutput, "from stdin");
}

TEST_F(LimactlTest, TheInstanceSshServerAcceptsTheUserKey) {
    ASSERT_EQ(lima.create("vm").exitCode, 0);
    ProcessCommandRunner runner;
    auto result = runner.run("/usr/bin/ssh",
                             {"-i", (lima.instanceDir("vm") / "id_ed25519").string(), "-p",
                              std::to_string(sshPort("vm")), "-o", "BatchMode=yes", "-o", "StrictHostKeyChecking=no",
                              "-o", "UserKnownHostsFile=/dev/null", "-o", "ConnectTimeout=20", "-o", "LogLevel=ERROR",
                              "127.0.0.1", "echo logged-in"});
    EXPECT_EQ(result.exitCode, 0) << result.standardError;
    EXPECT_EQ(result.standardOutput, "logged-in\n");
}

TEST_F(LimactlTest, SshdGoesAwayWhenTheInstanceFolderIsRemoved) {
    ASSERT_EQ(lima.create("vm").exitCode, 0);
    const int port = sshPort("vm");
    const pid_t sshd = std::stoi(readFile(lima.instanceDir("vm") / "sshd.pid"));
    const std::error_code error = removeFolderBesideItsOwners(lima.instanceDir("vm"));
    ASSERT_FALSE(fs::exists(lima.instanceDir("vm"))) << error.message();
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    while (::kill(sshd, 0) == 0 && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(50ms);
    EXPECT_NE(::kill(sshd, 0), 0);
    EXPECT_EQ(bannerAt(port), "");
}

// A `start` that gives up kills its host agent, maybe before sshd wrote the pid file that
// `stop` finds it by: sshd ends with the agent.
TEST_F(LimactlTest, SshdEndsWithAKilledHostAgent) {
    ASSERT_EQ(lima.create("vm").exitCode, 0);
    const pid_t agent = std::stoi(readFile(lima.instanceDir("vm") / "ha.pid"));
    const pid_t sshd = std::stoi(readFile(lima.instanceDir("vm") / "sshd.pid"));
    ASSERT_EQ(::kill(agent, SIGKILL), 0);
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (::kill(sshd, 0) == 0 && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(50ms);
    EXPECT_NE(::kill(sshd, 0), 0);
}

// A test killed before its clean-up (ctest's time-out is SIGKILL) leaves no guest running:
// the host agent watches the process named when the instance started.
TEST_F(LimactlTest, TheInstanceStopsWhenTheProcessItBelongsToEnds) {
    RunningProgram owner("/bin/sleep", {"600"});
    {
        ScopedEnv watched("TESSARON_STANDIN_WATCH_PID", std::to_string(owner.pid()));
        ASSERT_EQ(lima.create("vm").exitCode, 0);
    }
    const pid_t sshd = std::stoi(readFile(lima.instanceDir("vm") / "sshd.pid"));
    EXPECT_EQ(status("vm"), "Running");
    owner.signal(SIGKILL);
    ASSERT_TRUE(owner.waitForExit(20).has_value());
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    while ((status("vm") != "Stopped" || ::kill(sshd, 0) == 0) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(50ms);
    EXPECT_EQ(status("vm"), "Stopped");
    EXPECT_NE(::kill(sshd, 0), 0);
}

TEST_F(LimactlTest, EveryCallIsLoggedWholeEvenWhenCallsOverlap) {
    ASSERT_EQ(lima.run({"list", "--json"}).exitCode, 0);
    ASSERT_NE(lima.run({"stop", "nothing"}).exitCode, 0);
    EXPECT_EQ(lima.calls(), (std::vector<std::vector<std::string>>{{"list", "--json"}, {"stop", "nothing"}}));

    lima.clearCalls();
    std::vector<std::thread> threads;
    for (int t = 0; t < 6; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 8; ++i) lima.run({"list", std::string(2000, static_cast<char>('a' + t)), "--json"});
        });
    for (auto& thread : threads) thread.join();
    auto calls = lima.calls();
    ASSERT_EQ(calls.size(), 48u);
    for (const auto& call : calls) {
        ASSERT_EQ(call.size(), 3u);
        EXPECT_EQ(call[1], std::string(2000, call[1][0]));
    }
}

TEST_F(LimactlTest, InjectedFailuresAreCountedAndMatchedExactly) {
    ASSERT_EQ(lima.create("vm").exitCode, 0);
    lima.writeFaults(R"([
        {"command": "stop", "effect": "fail", "stderr": "stop refused\n", "exitCode": 3, "times": 1},
        {"argv": ["list", "vm", "--format", "{{.Status}}"], "effect": "status", "status": "Starting"},
        {"argvPrefix": ["shell", "vm", "--", "id"], "effect": "fail", "stdout": "guest\n", "exitCode": 0}
    ])");
    auto refused = lima.run({"stop", "vm"});
    EXPECT_EQ(refused.exitCode, 3);
    EXPECT_EQ(refused.standardError, "stop refused\n");
    EXPECT_EQ(status("vm"), "Starting");
    EXPECT_EQ(listing("vm")["status"], "Running");  // only the exact argument vector
    EXPECT_EQ(lima.run({"shell", "vm", "--", "id", "-un"}).standardOutput, "guest\n");

    ASSERT_EQ(lima.run({"stop", "vm"}).exitCode, 0);  // the one failure is used up
    EXPECT_EQ(listing("vm")["status"], "Stopped");
    EXPECT_EQ(lima.calls().size(), 7u);  // injected failures are logged too

    lima.writeFaults(R"({"command": "stop"})");
    auto malformed = lima.run({"list", "--json"});
    EXPECT_EQ(malformed.exitCode, 2);
    EXPECT_NE(malformed.standardError.find("faults.json"), std::string::npos);
    lima.writeFaults(R"([{"command": "stop", "effect": "explode"}])");
    EXPECT_EQ(lima.run({"list", "--json"}).exitCode, 2);
}

TEST_F(LimactlTest, InjectedStartAndEditMisbehaviour) {
    ASSERT_EQ(lima.create("vm").exitCode, 0);
    const std::string firstBoot = bootId("vm");
    ASSERT_EQ(lima.run({"stop", "vm"}).exitCode, 0);

    lima.writeFaults(R"([
        {"command": "start", "effect": "stayStopped", "times": 1},
        {"command": "start", "effect": "keepBootId", "times": 2},
        {"command": "edit", "effect": "notRetained", "times": 1},
        {"command": "edit", "effect": "delay", "seconds": 0.05}
    ])");
    EXPECT_EQ(lima.run({"start", "--yes", "vm"}).exitCode, 0);
    EXPECT_EQ(status("vm"), "Stopped");
    EXPECT_EQ(lima.run({"start", "--yes", "vm"}).exitCode, 0);
    EXPECT_EQ(status("vm"), "Running");
    EXPECT_EQ(bootId("vm"), firstBoot);

    ASSERT_EQ(lima.run({"stop", "vm"}).exitCode, 0);
    EXPECT_EQ(lima.run({"edit", "--yes", "--cpus", "4", "--memory", "6.0", "vm"}).exitCode, 0);
    EXPECT_EQ(listing("vm")["cpus"], 2);
    EXPECT_EQ(lima.run({"edit", "--yes", "--cpus", "4", "--memory", "6.0", "vm"}).exitCode, 0);
    EXPECT_EQ(listing("vm")["cpus"], 4);
    EXPECT_EQ(listing("vm")["memory"], 6 * GiB);
}

}  // namespace
}  // namespace tessaron::testing
