// Crash safety of the two remote-command executors, for real: a child process runs one
// pass of the connection helper's own server-command or resource step (it polls the
// loopback panel and hands the command to the restart or the resource executor against
// the stand-in limactl, under the VM resource lock) and is killed with
// SIGKILL at random moments, then started again until the panel has the command's
// completion. After every run the receipts must decode, their phases may only move
// forwards, the panel may hold at most one granted claim and one completion, and the VM
// may have been stopped, started or edited no more often than the command allows; at the
// end the VM must be in the state that the completion reports.
//
// The child is this program itself, started again with TESSARON_CRASH_TEST_ROLE set. It
// runs in a process group of its own: the limactl it started outlives the kill (as it
// would when the helper dies) and is waited for before the next run, so that the next
// run sees a settled VM, as the VM lock would give it.
//
// TESSARON_CRASH_SEED=N replays the random choices of a run (the timing of the machine
// still varies).

#include "cli/vm_resource_lock.h"
#include "cli/wireguard_runner.h"
#include "host/agent_configuration.h"
#include "host/json.h"
#include "host/lima_manager.h"
#include "host/pairing_key.h"
#include "host/resource_policy.h"
#include "host/url.h"
#include "panel/control_panel_client.h"
#include "panel/lima_virtual_machine.h"
#include "panel/receipt_store.h"
#include "panel/resource_commands.h"
#include "panel/resource_executor.h"
#include "panel/restart_executor.h"
#include "support/limactl_standin.h"
#include "support/panel_process.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <optional>
#include <random>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace tessaron {

void PrintTo(const ResourceObservation& o, std::ostream* out) {
    *out << "{" << o.cpu << " CPU, " << o.memoryMiB << " MiB, " << o.vmState << ", boot " << o.bootId.value_or("none")
         << "}";
}

namespace {

namespace fs = std::filesystem;
using json::Json;
using testing::PanelProcess;
using Argv = std::vector<std::string>;
using Clock = std::chrono::steady_clock;

constexpr const char* roleVariable = "TESSARON_CRASH_TEST_ROLE";
constexpr const char* controlVariable = "TESSARON_CRASH_TEST_CONTROL_URL";
constexpr const char* machineVariable = "TESSARON_CRASH_TEST_MACHINE_ID";
constexpr const char* tokenVariable = "TESSARON_CRASH_TEST_TOKEN";
constexpr const char* seedVariable = "TESSARON_CRASH_SEED";

// Exit statuses of one pass of the child.
constexpr int passHandled = 0;  // the helper's step returned
constexpr int passFailed = 3;   // something threw (the message is on standard error)

constexpr const char* instance = LimaManager::defaultInstanceName;

// ---------------------------------------------------------------------------------------
// The child: one pass of the connection helper's own command step or resource step.

AgentConfiguration configurationFor(const std::string& control, const std::string& machineID) {
    AgentConfiguration configuration;
    configuration.machineID = machineID;
    const auto url = Url::parse(control);
    if (!url) throw std::runtime_error("bad control URL " + control);
    configuration.controlURL = *url;
    configuration.localHost = "127.0.0.1";
    configuration.vmName = instance;
    configuration.transport = "wireguard";
    return configuration;
}

std::string requiredVariable(const char* name) {
    const char* value = std::getenv(name);
    if (!value) throw std::runtime_error(std::string(name) + " is not set");
    return value;
}

int childPass(const std::string& role) {
    try {
        const AgentConfiguration configuration =
            configurationFor(requiredVariable(controlVariable), requiredVariable(machineVariable));
        cli::WireGuardRunnerSettings settings;
        settings.makeVM = [](const std::string& name) { return LimaManager(name, testing::limactlPath().string()); };
        const cli::WireGuardRunner helper(configuration, requiredVariable(tokenVariable), settings);
        if (role == "restart") {
            helper.processCommands();
            return passHandled;
        }
        if (role == "resource") {
            helper.processResources();
            return passHandled;
        }
        std::fprintf(stderr, "unknown role %s\n", role.c_str());
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s pass failed: %s\n", role.c_str(), error.what());
    }
    return passFailed;
}

// In the child, the pass runs instead of the tests, once main() has started (so that
// every static of the program is initialised) and before any test.
class ChildPass : public ::testing::Environment {
public:
    explicit ChildPass(std::string role) : role_(std::move(role)) {}
    void SetUp() override {
        const int status = childPass(role_);
        std::fflush(nullptr);
        std::exit(status);
    }

private:
    std::string role_;
};

[[maybe_unused]] const bool childRegistered = [] {
    const char* role = std::getenv(roleVariable);
    if (!role) return false;
    ::testing::AddGlobalTestEnvironment(new ChildPass(role));
    return true;
}();

// ---------------------------------------------------------------------------------------
// The parent: starting, killing and waiting for the child.

// Whether a process other than a zombie is left in process group `group`.
bool groupHasLiveMembers(pid_t group) {
    if (::kill(-group, 0) != 0 && errno == ESRCH) return false;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator("/proc", error)) {
        const std::string name = entry.path().filename().string();
        if (name.empty() || !std::all_of(name.begin(), name.end(), [](char c) { return c >= '0' && c <= '9'; }))
            continue;
        std::ifstream in(entry.path() / "stat");
        std::string stat;
        std::getline(in, stat);
        const auto close = stat.rfind(')');
        if (close == std::string::npos) continue;
        std::istringstream fields(stat.substr(close + 1));
        char state = 0;
        long parent = 0, processGroup = 0;
        if (!(fields >> state >> parent >> processGroup)) continue;
        if (processGroup == group && state != 'Z' && state != 'X') return true;
    }
    return false;
}

struct RunOutcome {
    bool killed = false;
    int exitCode = -1;  // when not killed
    double seconds = 0;
};

class ChildLauncher {
public:
    ChildLauncher(const std::string& role, const fs::path& home, const std::string& control,
                  const PanelProcess::Machine& machine, fs::path log)
        : log_(std::move(log)) {
        program_ = fs::read_symlink("/proc/self/exe").string();
        const Argv dropped = {"HOME", "TESSARON_CONFIG_PATH", "TESSARON_CREDENTIAL_PATH", roleVariable};
        for (char** variable = environ; *variable; ++variable) {
            const std::string entry = *variable;
            const std::string name = entry.substr(0, entry.find('='));
            if (std::find(dropped.begin(), dropped.end(), name) == dropped.end()) environment_.push_back(entry);
        }
        environment_.push_back("HOME=" + home.string());
        environment_.push_back(std::string(roleVariable) + "=" + role);
        environment_.push_back(std::string(controlVariable) + "=" + control);
        environment_.push_back(std::string(machineVariable) + "=" + machine.machineId);
        environment_.push_back(std::string(tokenVariable) + "=" + machine.deviceToken);
    }

    // Runs one pass; kills it after `killAfter` seconds when it is still running then.
    // Waits until every process of the child's group (the limactl it started) is gone.
    RunOutcome run(std::optional<double> killAfter) {
        const int logFd = ::open(log_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
        if (logFd < 0) throw std::runtime_error("cannot open " + log_.string());
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_adddup2(&actions, logFd, STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, logFd, STDERR_FILENO);
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        sigset_t none;
        sigemptyset(&none);
        posix_spawnattr_setsigmask(&attributes, &none);
        posix_spawnattr_setpgroup(&attributes, 0);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK);
        std::vector<char*> argv = {program_.data(), nullptr};
        std::vector<char*> envp;
        for (auto& entry : environment_) envp.push_back(entry.data());
        envp.push_back(nullptr);
        pid_t pid = -1;
        const int spawned = ::posix_spawn(&pid, program_.c_str(), &actions, &attributes, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
        ::close(logFd);
        if (spawned != 0) throw std::runtime_error(std::string("cannot start the child: ") + std::strerror(spawned));

        RunOutcome outcome;
        const auto started = Clock::now();
        const auto elapsed = [&] { return std::chrono::duration<double>(Clock::now() - started).count(); };
        int status = 0;
        for (;;) {
            const pid_t reaped = ::waitpid(pid, &status, WNOHANG);
            if (reaped == pid) break;
            if (reaped < 0 && errno != EINTR) throw std::runtime_error("waitpid failed");
            if ((killAfter && elapsed() >= *killAfter) || elapsed() > hangSeconds) {
                ::kill(pid, SIGKILL);
                while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
                }
                outcome.killed = true;
                break;
            }
            std::this_thread::sleep_for(std::chrono::microseconds(500));
        }
        outcome.seconds = elapsed();
        if (!outcome.killed) outcome.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        if (outcome.killed && !killAfter) hung_ = true;

        // What the child started goes on by itself; the next pass waits for it.
        const auto deadline = Clock::now() + std::chrono::seconds(60);
        while (groupHasLiveMembers(pid)) {
            if (Clock::now() > deadline) {
                ::kill(-pid, SIGKILL);
                hung_ = true;
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return outcome;
    }

    // Whether a pass or what it left behind had to be killed for taking far too long.
    bool hung() const { return hung_; }

    // The last lines the children wrote.
    std::string logTail() const {
        std::error_code error;
        if (!fs::exists(log_, error)) return "";
        const std::string text = testing::readFile(log_);
        return text.size() > 4000 ? text.substr(text.size() - 4000) : text;
    }

    static constexpr double hangSeconds = 60;

private:
    std::string program_;
    std::vector<std::string> environment_;
    fs::path log_;
    bool hung_ = false;
};

// ---------------------------------------------------------------------------------------
// The rig: panel, stand-in VM, the child's home and the files the executors keep there.

std::uint64_t seedOfThisRun() {
    if (const char* given = std::getenv(seedVariable)) return std::strtoull(given, nullptr, 10);
    return (static_cast<std::uint64_t>(std::random_device{}()) << 32) ^ std::random_device{}();
}

struct Counts {
    int commands = 0;
    int runs = 0;
    int kills = 0;
    int midCommand = 0;  // kills after the command left a trace and before its completion
    int completions = 0;
    int succeeded = 0;
    std::map<std::string, int> byKind;

    int reruns() const { return runs - commands; }
    std::string line(const std::string& name) const {
        std::ostringstream out;
        out << name << " runs=" << runs << " kills=" << kills << " mid-command=" << midCommand
            << " completions=" << completions << " (succeeded " << succeeded << ", failed " << completions - succeeded
            << ") re-runs=" << reruns();
        if (byKind.size() > 1) {
            out << " commands:";
            for (const auto& [kind, count] : byKind) out << " " << kind << "=" << count;
        }
        return out.str();
    }
};

Counts restartTotals, resourceTotals;
bool restartRan = false, resourceRan = false;

class CombinedLine : public ::testing::Environment {
public:
    void TearDown() override {
        if (restartRan && resourceRan)
            std::cout << "crash-safety: restart runs=" << restartTotals.runs << " kills=" << restartTotals.kills
                      << " ; resource runs=" << resourceTotals.runs << " kills=" << resourceTotals.kills
                      << " ; kills in total=" << restartTotals.kills + resourceTotals.kills << std::endl;
    }
};
[[maybe_unused]] const bool combinedRegistered = [] {
    if (!std::getenv(roleVariable)) ::testing::AddGlobalTestEnvironment(new CombinedLine);
    return true;
}();

struct Rig {
    explicit Rig(const std::string& role)
        : mac(panel.createMachine("Crash")),
          configuration(configurationFor(panel.base(), mac.machineId)),
          vm(instance, testing::limactlPath().string()),
          launcher(role, home.path(), panel.base(), mac, logs / (role + ".log")) {
        const fs::path support = home.path() / "Library" / "Application Support" / "Tessaron";
        const std::string key = pairingKey(configuration);
        restartReceipt = support / "lifecycle" / (key + ".json");
        resourceReceipt = support / "resource-changes" / (key + ".json");
        powerIntent = support / "power-intent.json";
    }

    std::size_t callCount() const { return lima.calls().size(); }
    // How many of the limactl calls since `from` are `subcommand`.
    int callsSince(std::size_t from, const std::string& subcommand) const {
        const auto calls = lima.calls();
        int count = 0;
        for (std::size_t i = from; i < calls.size(); ++i)
            if (!calls[i].empty() && calls[i][0] == subcommand) ++count;
        return count;
    }
    std::string callsText(std::size_t from) const {
        const auto calls = lima.calls();
        std::string text;
        for (std::size_t i = from; i < calls.size(); ++i)
            if (!calls[i].empty() && calls[i][0] != "list" && calls[i][0] != "shell") text += json::encode(Json(calls[i])) + " ";
        return text;
    }

    // Temporary record files that a kill between their creation and the rename left
    // behind (a killed process cannot remove them; they are never read).
    int leftoverTemporaries() const {
        int count = 0;
        std::error_code error;
        const fs::path support = home.path() / "Library" / "Application Support" / "Tessaron";
        for (auto it = fs::recursive_directory_iterator(support, error); !error && it != fs::recursive_directory_iterator();
             it.increment(error))
            if (it->path().filename().string().rfind(".restart-", 0) == 0) ++count;
        return count;
    }

    bool running() { return lima_text::lowercased(vm.status()) == "running"; }
    std::optional<std::string> boot() { return running() ? std::optional<std::string>(vm.bootID()) : std::nullopt; }

    // The command's record at the panel.
    Json command(const std::string& list, const std::string& id) {
        const Json machine = panel.machineState(mac.machineId);
        for (const auto& entry : machine.at(list))
            if (entry.at("id") == id) return entry;
        throw std::runtime_error("the panel has no command " + id);
    }

    testing::TempDir home;
    testing::TempDir logs;
    testing::StandinLimaHome lima;
    testing::PanelProcess panel;
    PanelProcess::Machine mac;
    AgentConfiguration configuration;
    LimaManager vm;
    LimaVirtualMachine machine{vm};
    ChildLauncher launcher;
    fs::path restartReceipt, resourceReceipt, powerIntent;
};

int grantedClaims(const Json& command) {
    int granted = 0;
    for (const auto& claim : command.at("claims"))
        if (claim.value("mayExecute", false)) ++granted;
    return granted;
}

// Runs the child until the panel holds the command's completion, killing it after a
// random delay (within the span of one whole run of this kind of command) up to a
// random number of times. `started` tells whether the command left a trace yet (receipt
// or claim); `afterRun` checks the invariants after every run.
struct Drive {
    Rig& rig;
    std::mt19937_64& random;
    Counts& counts;
    std::map<std::string, double>& spans;  // seconds of one whole run, by kind (a moving average)

    void operator()(const std::string& kind, const std::string& list, const std::string& id,
                    const std::function<bool()>& started, const std::function<void()>& afterRun) {
        ++counts.commands;
        ++counts.byKind[kind];
        const bool calibrate = !spans.count(kind);
        int killsLeft = calibrate ? 0 : std::uniform_int_distribution<int>(1, 3)(random);
        for (int attempt = 0;; ++attempt) {
            SCOPED_TRACE("run " + std::to_string(attempt + 1) + " of " + kind + " " + id);
            ASSERT_LE(attempt, 8) << "the command was not completed; child log:\n" << rig.launcher.logTail();
            std::optional<double> killAfter;
            if (killsLeft > 0)
                killAfter = std::uniform_real_distribution<double>(0, spans.at(kind))(random);
            const RunOutcome outcome = rig.launcher.run(killAfter);
            ++counts.runs;
            ASSERT_FALSE(rig.launcher.hung()) << "a pass or its limactl hung; child log:\n" << rig.launcher.logTail();
            const bool completed = !rig.command(list, id).at("completion").is_null();
            if (outcome.killed) {
                ++counts.kills;
                --killsLeft;
                if (started() && !completed) ++counts.midCommand;
            }
            afterRun();
            if (::testing::Test::HasFatalFailure()) return;
            if (!outcome.killed) {
                // Runs slow down and speed up with the machine's load: the span follows them,
                // so that the kills keep landing within a run.
                const double span = std::max(outcome.seconds, 0.02);
                spans[kind] = spans.count(kind) ? 0.7 * spans[kind] + 0.3 * span : span;
                ASSERT_TRUE(completed && outcome.exitCode == passHandled)
                    << "an undisturbed pass did not complete the command (exit status " << outcome.exitCode
                    << "); child log:\n"
                    << rig.launcher.logTail();
            }
            if (completed) {
                ++counts.completions;
                return;
            }
        }
    }
};

int phaseRank(const std::string& phase) {
    if (phase == "prepared") return 1;
    if (phase == "attempted") return 2;
    if (phase == "finished") return 3;
    return 0;
}

constexpr int killTarget = 55;    // per test: the two tests kill at least 110 runs together
constexpr int commandLimit = 90;  // bounds a test whose kills rarely land

// ---------------------------------------------------------------------------------------

TEST(ExecutorCrashSafety, RestartStopAndStartSurviveKillsAtAnyPoint) {
    const std::uint64_t seed = seedOfThisRun();
    SCOPED_TRACE("seed " + std::to_string(seed) + " (replay with " + seedVariable + "=" + std::to_string(seed) + ")");
    std::cout << "crash-safety: restart executor, seed " << seed << std::endl;
    std::mt19937_64 random(seed);

    Rig rig("restart");
    ASSERT_EQ(rig.lima.create(instance).exitCode, 0);
    std::map<std::string, double> spans;
    Counts& counts = restartTotals;
    counts = Counts{};
    Drive drive{rig, random, counts, spans};

    while (counts.kills < killTarget && counts.commands < commandLimit) {
        SCOPED_TRACE("command " + std::to_string(counts.commands + 1));
        const std::optional<std::string> before = rig.boot();
        std::string kind = "start";
        if (before) kind = std::bernoulli_distribution(0.7)(random) ? "restart" : "stop";
        const Json queued = rig.panel.queueCommand(rig.mac.machineId, kind, before.value_or(""));
        const std::string id = queued.at("id");
        const std::size_t callsBefore = rig.callCount();
        std::optional<RestartReceipt> seen;  // this command's receipt as last read

        const auto started = [&] {
            return (seen && seen->commandID == id) || !rig.command("commands", id).at("claims").empty();
        };
        const auto afterRun = [&] {
            std::optional<RestartReceipt> receipt;
            ASSERT_NO_THROW(receipt = RestartReceiptFileStore(rig.restartReceipt).load()) << "a damaged receipt";
            ASSERT_NO_THROW(VMPowerIntentFileStore(rig.powerIntent).load()) << "a damaged power intent";
            if (receipt && receipt->commandID == id) {
                ASSERT_EQ(kind, "restart") << "a power command wrote a restart receipt";
                EXPECT_EQ(receipt->beforeBootID, *before);
                if (seen) {
                    EXPECT_GE(phaseRank(receipt->phase), phaseRank(seen->phase)) << "the receipt went backwards";
                    if (seen->phase == "finished") {
                        EXPECT_EQ(*receipt, *seen) << "a finished receipt was rewritten";
                    }
                }
                seen = receipt;
            } else {
                ASSERT_FALSE(seen) << "this command's receipt was replaced";
            }
            const int stops = rig.callsSince(callsBefore, "stop");
            const int starts = rig.callsSince(callsBefore, "start");
            const std::string calls = "limactl calls: " + rig.callsText(callsBefore);
            EXPECT_EQ(rig.callsSince(callsBefore, "edit"), 0) << calls;
            if (kind == "restart") {
                EXPECT_LE(stops, 1) << "restarted more than once; " << calls;
                EXPECT_LE(starts, stops) << calls;
            } else {
                EXPECT_LE(kind == "stop" ? stops : starts, 1) << calls;
                EXPECT_EQ(kind == "stop" ? starts : stops, 0) << calls;
            }
            const Json command = rig.command("commands", id);
            EXPECT_LE(grantedClaims(command), 1);
            if (!command.at("completion").is_null()) {
                EXPECT_EQ(command.at("completion").value("repeats", -1), 0) << "completed more than once";
            }
        };
        drive(kind, "commands", id, started, afterRun);
        if (HasFatalFailure()) return;

        // The VM is in the state the completion reports.
        const Json completion = rig.command("commands", id).at("completion");
        const std::string status = completion.at("status");
        const Json reportedBoot = completion.at("bootId");
        const std::optional<std::string> after = rig.boot();
        const std::string calls = "limactl calls: " + rig.callsText(callsBefore);
        ASSERT_TRUE(status == "succeeded" || status == "failed") << status;
        if (status == "succeeded") ++counts.succeeded;
        if (kind == "restart") {
            ASSERT_TRUE(seen) << "a restart was completed without a receipt";
            EXPECT_EQ(seen->phase, "finished");
            EXPECT_EQ(seen->outcome, status);
            EXPECT_EQ(reportedBoot, seen->afterBootID ? Json(*seen->afterBootID) : Json(nullptr));
            EXPECT_EQ(reportedBoot, after ? Json(*after) : Json(nullptr)) << calls;
            if (status == "succeeded") {
                ASSERT_TRUE(after) << calls;
                EXPECT_NE(*after, *before);
                EXPECT_EQ(rig.callsSince(callsBefore, "stop"), 1) << calls;
                EXPECT_EQ(rig.callsSince(callsBefore, "start"), 1) << calls;
            } else if (after) {
                EXPECT_EQ(*after, *before) << "the VM restarted but the panel was told it failed; " << calls;
            }
        } else if (kind == "stop") {
            EXPECT_EQ(status == "succeeded", !after) << calls;
        } else {
            EXPECT_EQ(status == "succeeded", after.has_value()) << calls;
            if (status == "succeeded") {
                EXPECT_EQ(reportedBoot, Json(*after));
            }
        }
    }
    restartRan = true;
    std::cout << "crash-safety: " << counts.line("restart") << " temporary files left=" << rig.leftoverTemporaries()
              << std::endl;
    EXPECT_GE(counts.kills, killTarget) << "too few kills within " << commandLimit << " commands";
    EXPECT_GT(counts.midCommand, 0);
}

TEST(ExecutorCrashSafety, ResizeSurvivesKillsAtAnyPoint) {
    const std::uint64_t seed = seedOfThisRun();
    SCOPED_TRACE("seed " + std::to_string(seed) + " (replay with " + seedVariable + "=" + std::to_string(seed) + ")");
    std::cout << "crash-safety: resource executor, seed " << seed << std::endl;
    std::mt19937_64 random(seed);

    ResourceBounds bounds;
    try {
        bounds = ResourcePolicy::bounds(HostCapacity::current());
    } catch (const std::exception& error) {
        GTEST_SKIP() << "this machine may not host a VM: " << error.what();
    }
    const std::int64_t maxCPUs = std::min<std::int64_t>(4, bounds.maximum.virtualCPUCount);
    const std::int64_t maxSteps = std::min<std::int64_t>(8, (bounds.maximum.memoryBytes >> 20) / 256 - 8);  // over 2 GiB
    if (maxCPUs < 2 && maxSteps < 1) GTEST_SKIP() << "this machine allows only one VM size";

    Rig rig("resource");
    ASSERT_EQ(rig.lima.create(instance).exitCode, 0);
    std::map<std::string, double> spans;
    Counts& counts = resourceTotals;
    counts = Counts{};
    Drive drive{rig, random, counts, spans};

    while (counts.kills < killTarget && counts.commands < commandLimit) {
        SCOPED_TRACE("command " + std::to_string(counts.commands + 1));
        // Mostly resize a running VM (stop, edit, start); now and then a stopped one.
        if (!rig.running() && std::bernoulli_distribution(0.6)(random)) {
            ASSERT_EQ(rig.lima.run({"start", "--yes", instance}).exitCode, 0);
        }
        const ResourceObservation before = rig.machine.resourceObservation();
        ResourceCommand wanted{"", "queued", before.cpu, before.memoryMiB, before};
        while (wanted.cpu == before.cpu && wanted.memoryMiB == before.memoryMiB) {
            wanted.cpu = std::uniform_int_distribution<std::int64_t>(1, std::max<std::int64_t>(1, maxCPUs))(random);
            wanted.memoryMiB =
                2048 + 256 * std::uniform_int_distribution<std::int64_t>(0, std::max<std::int64_t>(0, maxSteps))(random);
        }
        const std::string kind = before.vmState == "Running" ? "resize running" : "resize stopped";
        const Json queued =
            rig.panel.queueResourceCommand(rig.mac.machineId, wanted.cpu, wanted.memoryMiB, toJson(before));
        wanted.id = queued.at("id");
        const std::string id = wanted.id;
        const std::size_t callsBefore = rig.callCount();
        std::optional<ResourceReceipt> seen;

        const auto started = [&] {
            return (seen && seen->command.id == id) || !rig.command("resourceCommands", id).at("claims").empty();
        };
        const auto afterRun = [&] {
            std::optional<ResourceReceipt> receipt;
            ASSERT_NO_THROW(receipt = ResourceReceiptFileStore(rig.resourceReceipt).load()) << "a damaged receipt";
            if (receipt && receipt->command.id == id) {
                EXPECT_EQ(receipt->command.cpu, wanted.cpu);
                EXPECT_EQ(receipt->command.memoryMiB, wanted.memoryMiB);
                EXPECT_EQ(receipt->command.before, before);
                if (seen) {
                    EXPECT_GE(phaseRank(receipt->phase), phaseRank(seen->phase)) << "the receipt went backwards";
                    if (seen->phase == "finished") {
                        EXPECT_EQ(*receipt, *seen) << "a finished receipt was rewritten";
                    }
                }
                seen = receipt;
            } else {
                ASSERT_FALSE(seen) << "this command's receipt was replaced";
            }
            const std::string calls = "limactl calls: " + rig.callsText(callsBefore);
            EXPECT_LE(rig.callsSince(callsBefore, "edit"), 1) << "edited more than once; " << calls;
            EXPECT_LE(rig.callsSince(callsBefore, "stop"), before.vmState == "Running" ? 1 : 0) << calls;
            EXPECT_LE(rig.callsSince(callsBefore, "start"), rig.callsSince(callsBefore, "stop")) << calls;
            const Json command = rig.command("resourceCommands", id);
            EXPECT_LE(grantedClaims(command), 1);
            if (!command.at("completion").is_null()) {
                EXPECT_EQ(command.at("completion").value("repeats", -1), 0) << "completed more than once";
            }
        };
        drive(kind, "resourceCommands", id, started, afterRun);
        if (HasFatalFailure()) return;

        const Json completion = rig.command("resourceCommands", id).at("completion");
        const bool success = completion.at("success");
        const ResourceObservation reported = resourceObservationFromJson(completion.at("snapshot"));
        const ResourceObservation now = rig.machine.resourceObservation();
        const std::string calls = "limactl calls: " + rig.callsText(callsBefore);
        if (success) ++counts.succeeded;
        EXPECT_EQ(reported, now) << "the panel was told another VM than the one there is; " << calls;
        EXPECT_EQ(success, matches(wanted, now)) << calls;
        ASSERT_TRUE(seen) << "no receipt";
        EXPECT_EQ(seen->phase, "finished");
        EXPECT_EQ(seen->success, success);
        EXPECT_EQ(seen->actual, reported);
        if (success) {
            EXPECT_EQ(now.cpu, wanted.cpu);
            EXPECT_EQ(now.memoryMiB, wanted.memoryMiB);
            EXPECT_EQ(now.vmState, before.vmState);
            EXPECT_EQ(rig.callsSince(callsBefore, "edit"), 1) << calls;
        } else if (rig.callsSince(callsBefore, "edit") == 0) {
            EXPECT_EQ(now.cpu, before.cpu) << calls;
            EXPECT_EQ(now.memoryMiB, before.memoryMiB) << calls;
        }
    }
    resourceRan = true;
    std::cout << "crash-safety: " << counts.line("resource") << " temporary files left=" << rig.leftoverTemporaries()
              << std::endl;
    EXPECT_GE(counts.kills, killTarget) << "too few kills within " << commandLimit << " commands";
    EXPECT_GT(counts.midCommand, 0);
}

// The helper changes the VM only under the exclusive VM lock: while another process
// reads the VM (holding the lock shared), its pass refuses the waiting command without
// touching the VM or claiming the command, and carries it out once the lock is free.
TEST(ExecutorCrashSafety, TheHelperLeavesTheVMAloneWhileAnotherProcessHoldsTheLock) {
    struct Case {
        std::string role;
        std::string list;
    };
    for (const Case& c : {Case{"restart", "commands"}, Case{"resource", "resourceCommands"}}) {
        SCOPED_TRACE(c.role);
        Rig rig(c.role);
        ASSERT_EQ(rig.lima.create(instance).exitCode, 0);
        const ResourceObservation before = rig.machine.resourceObservation();
        ASSERT_EQ(before.vmState, "Running");
        std::string id;
        if (c.role == "restart") {
            id = rig.panel.queueCommand(rig.mac.machineId, "stop", *before.bootId).at("id").get<std::string>();
        } else {
            try {
                ResourcePolicy::validatedAllocation(before.cpu, 2304 * ResourcePolicy::mebibyte, HostCapacity::current());
            } catch (const std::exception& error) {
                GTEST_SKIP() << "this machine may not host a VM of 2.25 GiB: " << error.what();
            }
            const std::int64_t memoryMiB = before.memoryMiB == 2304 ? 2048 : 2304;
            id = rig.panel.queueResourceCommand(rig.mac.machineId, before.cpu, memoryMiB, toJson(before))
                     .at("id")
                     .get<std::string>();
        }
        const std::size_t callsBefore = rig.callCount();
        {
            testing::ScopedEnv home("HOME", rig.home.path().string());
            cli::VMResourceLockHold reader(false, true);
            const RunOutcome refused = rig.launcher.run(std::nullopt);
            EXPECT_EQ(refused.exitCode, passFailed) << rig.launcher.logTail();
            const std::string calls = "limactl calls: " + rig.callsText(callsBefore);
            for (const char* change : {"stop", "start", "edit"}) EXPECT_EQ(rig.callsSince(callsBefore, change), 0) << calls;
            const Json command = rig.command(c.list, id);
            EXPECT_TRUE(command.at("claims").empty());
            EXPECT_TRUE(command.at("completion").is_null());
        }
        const RunOutcome done = rig.launcher.run(std::nullopt);
        EXPECT_EQ(done.exitCode, passHandled) << rig.launcher.logTail();
        EXPECT_EQ(rig.callsSince(callsBefore, "stop"), 1) << "limactl calls: " << rig.callsText(callsBefore);
        EXPECT_FALSE(rig.command(c.list, id).at("completion").is_null());
    }
}

}  // namespace
}  // namespace tessaron
