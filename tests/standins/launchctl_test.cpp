// The launchctl stand-in loads, runs, restarts and unloads jobs for real.

#include "host/process_runner.h"
#include "host/property_list.h"
#include "support/serve_process.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fstream>
#include <functional>
#include <fcntl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace tessaron::testing {
namespace {

namespace fs = std::filesystem;

bool processGone(pid_t pid) {
    if (::kill(pid, 0) != 0) return true;
    // The process may be reaped between the two looks: a read that fails means it is gone.
    const int fd = ::open(("/proc/" + std::to_string(pid) + "/stat").c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return true;
    char buffer[1024];
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    ::close(fd);
    if (n <= 0) return true;
    const std::string text(buffer, static_cast<std::size_t>(n));
    auto close = text.rfind(')');
    return close != std::string::npos && close + 2 < text.size() && text[close + 2] == 'Z';
}

bool waitUntil(const std::function<bool()>& condition, double seconds = 10) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < deadline) {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return condition();
}

std::string readOrEmpty(const fs::path& path) {
    std::error_code error;
    return fs::exists(path, error) ? readFile(path) : "";
}

class LaunchctlStandin : public ::testing::Test {
protected:
    LaunchctlStandin()
        : stateEnv_("TESSARON_LAUNCHCTL_STATE", (dir_ / "state").string()),
          throttleEnv_("TESSARON_LAUNCHCTL_THROTTLE", "0.1") {}

    ~LaunchctlStandin() override {
        for (const auto& target : loaded_) run({"bootout", target});
    }

    CommandResult run(const std::vector<std::string>& arguments) {
        return runner_.run((standinBinDir() / "launchctl").string(), arguments);
    }

    // Writes an executable job script and a property list running it; returns the list's path.
    fs::path writeJob(const std::string& label, const std::string& script, plist::Dictionary extra = {}) {
        const fs::path program = dir_ / (label + ".sh");
        writeFile(program, "#!/bin/sh\n" + script);
        fs::permissions(program, fs::perms::owner_all);
        plist::Dictionary list{
            {"Label", label},
            {"ProgramArguments", plist::Array{program.string(), "first argument"}},
            {"StandardOutPath", (dir_ / (label + ".out")).string()},
            {"StandardErrorPath", (dir_ / (label + ".err")).string()},
        };
        for (auto& [key, value] : extra) list[key] = value;
        const fs::path path = dir_ / (label + ".plist");
        writeFile(path, plist::serializeXML(plist::Value(list)));
        return path;
    }

    CommandResult bootstrap(const std::string& domain, const fs::path& plistPath, const std::string& label) {
        CommandResult result = run({"bootstrap", domain, plistPath.string()});
        if (result.exitCode == 0) loaded_.push_back(domain + "/" + label);
        return result;
    }

    // The "pid = N" of print, or nothing while the program is not running.
    std::optional<pid_t> jobPid(const std::string& target) {
        CommandResult result = run({"print", target});
        auto at = result.standardOutput.find("\tpid = ");
        if (result.exitCode != 0 || at == std::string::npos) return std::nullopt;
        return static_cast<pid_t>(std::stol(result.standardOutput.substr(at + 7)));
    }

    long runs(const std::string& target) {
        CommandResult result = run({"print", target});
        auto at = result.standardOutput.find("\truns = ");
        return at == std::string::npos ? -1 : std::stol(result.standardOutput.substr(at + 8));
    }

    TempDir dir_;
    ScopedEnv stateEnv_;
    ScopedEnv throttleEnv_;
    ProcessCommandRunner runner_;
    std::vector<std::string> loaded_;
};

TEST_F(LaunchctlStandin, RunsTheJobWithItsArgumentsEnvironmentFolderAndLogs) {
    const fs::path work = dir_ / "work";
    fs::create_directory(work);
    const fs::path plistPath = writeJob("com.tessaron.test", "echo \"arg=$1 var=$TEST_VARIABLE pwd=$(pwd)\"\necho oops >&2\nexec sleep 60\n",
                                        {{"EnvironmentVariables", plist::Dictionary{{"TEST_VARIABLE", "a value"}}},
                                         {"WorkingDirectory", work.string()},
                                         {"RunAtLoad", true}});
    CommandResult loaded = bootstrap("gui/501", plistPath, "com.tessaron.test");
    ASSERT_EQ(loaded.exitCode, 0) << loaded.standardError;

    std::optional<pid_t> pid;
    ASSERT_TRUE(waitUntil([&] { return (pid = jobPid("gui/501/com.tessaron.test")).has_value(); }));
    EXPECT_TRUE(waitUntil([&] { return !readOrEmpty(dir_ / "com.tessaron.test.out").empty(); }));
    EXPECT_EQ(readOrEmpty(dir_ / "com.tessaron.test.out"), "arg=first argument var=a value pwd=" + work.string() + "\n");
    EXPECT_TRUE(waitUntil([&] { return readOrEmpty(dir_ / "com.tessaron.test.err") == "oops\n"; }));

    CommandResult printed = run({"print", "gui/501/com.tessaron.test"});
    EXPECT_NE(printed.standardOutput.find("\tpath = " + plistPath.string() + "\n"), std::string::npos);
    EXPECT_NE(printed.standardOutput.find("\tstate = running\n"), std::string::npos);

    // The same label in another domain is a different job.
    EXPECT_EQ(run({"print", "gui/502/com.tessaron.test"}).exitCode, 113);
    EXPECT_EQ(run({"print", "system/com.tessaron.test"}).exitCode, 113);

    CommandResult again = run({"bootstrap", "gui/501", plistPath.string()});
    EXPECT_EQ(again.exitCode, 5);
    EXPECT_EQ(again.standardError, "Bootstrap failed: 5: Input/output error\n");

    CommandResult out = run({"bootout", "gui/501/com.tessaron.test"});
    EXPECT_EQ(out.exitCode, 0) << out.standardError;
    loaded_.clear();
    EXPECT_TRUE(waitUntil([&] { return processGone(*pid); }, 5));
    CommandResult gone = run({"print", "gui/501/com.tessaron.test"});
    EXPECT_EQ(gone.exitCode, 113);
    EXPECT_EQ(gone.standardError, "Could not find service \"com.tessaron.test\" in domain for user gui: 501\n");
    CommandResult twice = run({"bootout", "gui/501/com.tessaron.test"});
    EXPECT_EQ(twice.exitCode, 3);
    EXPECT_EQ(twice.standardError, "Boot-out failed: 3: No such process\n");
}

TEST_F(LaunchctlStandin, KeepAliveRestartsTheProgramAndBootoutStopsIt) {
    const fs::path plistPath = writeJob("com.tessaron.flaky", "echo run\nsleep 0.2\nexit 3\n", {{"KeepAlive", true}});
    ASSERT_EQ(bootstrap("gui/501", plistPath, "com.tessaron.flaky").exitCode, 0);
    EXPECT_TRUE(waitUntil([&] { return runs("gui/501/com.tessaron.flaky") >= 3; }));
    EXPECT_NE(run({"print", "gui/501/com.tessaron.flaky"}).standardOutput.find("last exit code = 3"), std::string::npos);

    ASSERT_EQ(run({"bootout", "gui/501/com.tessaron.flaky"}).exitCode, 0);
    loaded_.clear();
    const std::string output = readOrEmpty(dir_ / "com.tessaron.flaky.out");
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_EQ(readOrEmpty(dir_ / "com.tessaron.flaky.out"), output) << "a booted-out job must not start again";
}

TEST_F(LaunchctlStandin, KeepAliveConditionsDecideAboutRestarts) {
    struct Case {
        std::string label;
        std::string script;
        plist::Dictionary keys;
        bool restarts;
    };
    const std::vector<Case> cases = {
        {"com.t.noKeepAlive", "exit 1\n", {{"RunAtLoad", true}}, false},
        {"com.t.keepAliveFalse", "exit 1\n", {{"RunAtLoad", true}, {"KeepAlive", false}}, false},
        {"com.t.successOnly", "exit 0\n", {{"KeepAlive", plist::Dictionary{{"SuccessfulExit", false}}}}, false},
        {"com.t.failureRestarts", "exit 2\n", {{"KeepAlive", plist::Dictionary{{"SuccessfulExit", false}}}}, true},
        {"com.t.networkState", "exit 0\n",
         {{"KeepAlive", plist::Dictionary{{"NetworkState", true}, {"SuccessfulExit", false}}}}, true},
    };
    for (const auto& c : cases) {
        ASSERT_EQ(bootstrap("system", writeJob(c.label, c.script, c.keys), c.label).exitCode, 0) << c.label;
    }
    for (const auto& c : cases) {
        const std::string target = "system/" + c.label;
        if (c.restarts) {
            EXPECT_TRUE(waitUntil([&] { return runs(target) >= 3; })) << c.label;
        } else {
            ASSERT_TRUE(waitUntil([&] { return run({"print", target}).standardOutput.find("last exit code = (never") ==
                                               std::string::npos; }))
                << c.label;
            std::this_thread::sleep_for(std::chrono::milliseconds(400));
            EXPECT_EQ(runs(target), 1) << c.label;
            // Loaded but not running.
            EXPECT_NE(run({"print", target}).standardOutput.find("state = not running"), std::string::npos) << c.label;
        }
    }
}

TEST_F(LaunchctlStandin, RefusesBadCallsLikeLaunchctl) {
    struct Case {
        std::vector<std::string> arguments;
        int status;
        std::string standardError;
    };
    writeFile(dir_ / "no-label.plist", plist::serializeXML(plist::Value(plist::Dictionary{{"Program", "/bin/true"}})));
    writeFile(dir_ / "garbage.plist", "not a property list");
    const std::vector<Case> cases = {
        {{"print", "gui/501/com.tessaron.missing"}, 113, "Could not find service \"com.tessaron.missing\" in domain for user gui: 501\n"},
        {{"print", "system/com.tessaron.missing"}, 113, "Could not find service \"com.tessaron.missing\" in domain for system\n"},
        {{"bootout", "system/com.tessaron.missing"}, 3, "Boot-out failed: 3: No such process\n"},
        {{"bootstrap", "gui/501", (dir_ / "absent.plist").string()}, 2, "Bootstrap failed: 2: No such file or directory\n"},
        {{"print", "gui/abc/com.x"}, 64, "Unrecognized target specifier: gui/abc/com.x\n"},
        {{"bootstrap", "gui/501/com.x", (dir_ / "no-label.plist").string()}, 64, "Unrecognized target specifier: gui/501/com.x\n"},
        {{"load", "x"}, 64, "Unrecognized subcommand: load\n"},
    };
    for (const auto& c : cases) {
        CommandResult result = run(c.arguments);
        EXPECT_EQ(result.exitCode, c.status) << c.arguments[0] << " " << c.arguments[1];
        EXPECT_EQ(result.standardError, c.standardError) << c.arguments[0] << " " << c.arguments[1];
    }
    for (const char* name : {"no-label.plist", "garbage.plist"}) {
        CommandResult result = run({"bootstrap", "gui/501", (dir_ / name).string()});
        EXPECT_EQ(result.exitCode, 5) << name;
    }
}

TEST_F(LaunchctlStandin, InjectedFaultsAndTheCallLog) {
    writeFile(dir_ / "state" / "faults.json",
              R"([{"command": "bootstrap", "stderr": "Bootstrap failed: 5: Input/output error\n", "exitCode": 5, "times": 1},
                  {"argv": ["print", "gui/501/com.t.fault"], "stdout": "printed", "exitCode": 0}])");
    const fs::path plistPath = writeJob("com.t.fault", "exec sleep 60\n", {{"RunAtLoad", true}});
    CommandResult failed = run({"bootstrap", "gui/501", plistPath.string()});
    EXPECT_EQ(failed.exitCode, 5);
    EXPECT_EQ(failed.standardError, "Bootstrap failed: 5: Input/output error\n");
    CommandResult printed = run({"print", "gui/501/com.t.fault"});
    EXPECT_EQ(printed.exitCode, 0);
    EXPECT_EQ(printed.standardOutput, "printed");
    ASSERT_EQ(bootstrap("gui/501", plistPath, "com.t.fault").exitCode, 0);

    const std::string log = readFile(dir_ / "state" / "calls.log");
    EXPECT_EQ(log, "[\"bootstrap\",\"gui/501\",\"" + plistPath.string() + "\"]\n[\"print\",\"gui/501/com.t.fault\"]\n" +
                       "[\"bootstrap\",\"gui/501\",\"" + plistPath.string() + "\"]\n");

    writeFile(dir_ / "state" / "faults.json", "{");
    EXPECT_EQ(run({"bootout", "gui/501/com.t.fault"}).exitCode, 1);
    fs::remove(dir_ / "state" / "faults.json");
}

TEST_F(LaunchctlStandin, RemovingTheStateFolderStopsEverything) {
    ASSERT_EQ(bootstrap("gui/501", writeJob("com.t.orphan", "exec sleep 60\n", {{"KeepAlive", true}}), "com.t.orphan").exitCode, 0);
    std::optional<pid_t> pid;
    ASSERT_TRUE(waitUntil([&] { return (pid = jobPid("gui/501/com.t.orphan")).has_value(); }));
    const pid_t supervisor = std::stoi(readFile(dir_ / "state" / "jobs" / "gui-501" / "com.t.orphan" / "supervisor.pid"));
    const std::error_code error = removeFolderBesideItsOwners(dir_ / "state");
    ASSERT_FALSE(fs::exists(dir_ / "state")) << error.message();
    loaded_.clear();
    EXPECT_TRUE(waitUntil([&] { return processGone(*pid) && processGone(supervisor); }, 10));
}

// A test killed before its teardown (ctest's time-out is SIGKILL) leaves no job running.
TEST_F(LaunchctlStandin, TheEndOfTheWatchedProcessStopsTheJob) {
    RunningProgram owner("/bin/sleep", {"600"});
    {
        ScopedEnv watched("TESSARON_STANDIN_WATCH_PID", std::to_string(owner.pid()));
        ASSERT_EQ(bootstrap("gui/501", writeJob("com.t.owned", "exec sleep 60\n", {{"KeepAlive", true}}), "com.t.owned")
                      .exitCode,
                  0);
    }
    std::optional<pid_t> pid;
    ASSERT_TRUE(waitUntil([&] { return (pid = jobPid("gui/501/com.t.owned")).has_value(); }));
    const pid_t supervisor = std::stoi(readFile(dir_ / "state" / "jobs" / "gui-501" / "com.t.owned" / "supervisor.pid"));
    owner.signal(SIGKILL);
    ASSERT_TRUE(owner.waitForExit(20).has_value());
    loaded_.clear();
    EXPECT_TRUE(waitUntil([&] { return processGone(*pid) && processGone(supervisor); }, 10));
    EXPECT_NE(run({"print", "gui/501/com.t.owned"}).exitCode, 0);
}

}  // namespace
}  // namespace tessaron::testing
