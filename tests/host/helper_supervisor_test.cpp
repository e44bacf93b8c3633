#include "host/helper_supervisor.h"

#include "host/user.h"
#include "support/serve_process.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <grp.h>
#include <map>
#include <set>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace tessaron {
namespace {

namespace fs = std::filesystem;

const std::string inspectionMessage = "Could not inspect the connection helper. Your running server was not changed.";
const std::string moreThanOne =
    "More than one connection helper is running for this Mac. Close the extra copy before reconnecting.";
const std::string uncertain = "Could not identify an existing connection helper safely.";

AgentConfiguration pairing(const std::string& control, const std::string& machineID) {
    AgentConfiguration configuration;
    configuration.machineID = machineID;
    configuration.controlURL = Url::parse(control).value();
    configuration.localHost = "127.0.0.1";
    return configuration;
}

class ScriptedRunner : public CommandRunning {
public:
    std::optional<CommandResult> result;  // nothing: the program cannot be started
    std::vector<std::pair<std::string, std::vector<std::string>>> calls;
    std::chrono::milliseconds firstListingTakes{0};
    CommandResult run(const std::string& executable, const std::vector<std::string>& arguments) override {
        if (calls.empty()) std::this_thread::sleep_for(firstListingTakes);
        calls.emplace_back(executable, arguments);
        if (!result) throw LaunchError("The file \u201cps\u201d doesn\u2019t exist.", ENOENT);
        return *result;
    }
};

class ScriptedProcesses : public ProcessInspecting {
public:
    std::map<std::int32_t, AgentProcessIdentity> identities;
    std::set<std::int32_t> alive;
    std::vector<std::int32_t> probed;
    std::optional<AgentProcessIdentity> identity(std::int32_t pid) override {
        probed.push_back(pid);
        auto found = identities.find(pid);
        if (found == identities.end()) return std::nullopt;
        return found->second;
    }
    bool exists(std::int32_t pid) override { return alive.count(pid) || identities.count(pid); }
    std::set<std::int32_t> starting;  // alive, with no arguments yet
    bool withoutArguments(std::int32_t pid) override { return starting.count(pid) > 0; }
};

TEST(AgentSupervisor, CountsHelpersServingThePairing) {
    testing::TempHome home;
    testing::TempDir dir;
    const auto mac = pairing("https://panel.example.com", "machine-1");
    AgentConfigurationStore::save(mac, home.supportDir() / "agent.json");
    AgentConfigurationStore::save(mac, dir / "same.json");
    AgentConfigurationStore::save(pairing("https://panel.example.com", "machine-2"), dir / "other-machine.json");
    AgentConfigurationStore::save(pairing("https://panel.example.com/", "machine-1"), dir / "other-url.json");
    testing::writeFile(dir / "damaged.json", "{");
    // Helpers started with other home folders use the agent.json of their own home.
    AgentConfigurationStore::save(mac, dir / "home-same" / "Library" / "Application Support" / "Tessaron" / "agent.json");
    AgentConfigurationStore::save(pairing("https://panel.example.com", "machine-2"),
                                  dir / "home-other" / "Library" / "Application Support" / "Tessaron" / "agent.json");
    auto serveFrom = [&dir](const std::string& home) {
        return AgentProcessIdentity{{"tessaron", "serve"}, std::nullopt, (dir / home).string()};
    };
    const std::string same = (dir / "same.json").string();

    auto serve = [](std::optional<std::string> config) { return AgentProcessIdentity{{"tessaron", "serve"}, config}; };
    struct Row {
        std::string name;
        std::string listing;
        std::map<std::int32_t, AgentProcessIdentity> identities;
        std::set<std::int32_t> aliveWithoutIdentity;
        AgentSupervisorStatus expected;
        std::set<std::int32_t> starting = {};  // of those alive without identity
    };
    const AgentSupervisorStatus stopped{"stopped", std::nullopt};
    const AgentSupervisorStatus running{"running", std::nullopt};
    const std::string app = "/Applications/Tessaron.app/Contents/MacOS/tessaron";
    const std::vector<Row> table = {
        {"no processes", "", {}, {}, stopped},
        {"only blank lines", "\n\n", {}, {}, stopped},
        {"helper with the default configuration", "  200 " + app + "\n", {{200, serve(std::nullopt)}}, {}, running},
        {"helper with an absolute configuration", "200 " + app + "\n", {{200, serve(same)}}, {}, running},
        {"path with blanks", "  200 /Users/a b/My Apps/tessaron\n", {{200, serve(same)}}, {}, running},
        {"tab separated, no final line feed", "\t200\t" + app, {{200, serve(same)}}, {}, running},
        {"the caller itself", "  100 " + app + "\n", {{100, serve(same)}}, {}, stopped},
        {"pairing command", "  200 " + app + "\n", {{200, {{"tessaron", "pair"}, same}}}, {}, stopped},
        {"no arguments beyond the name", "  200 " + app + "\n", {{200, {{"tessaron"}, same}}}, {}, stopped},
        {"another machine", "  200 " + app + "\n", {{200, serve((dir / "other-machine.json").string())}}, {}, stopped},
        {"another panel address", "  200 " + app + "\n", {{200, serve((dir / "other-url.json").string())}}, {}, stopped},
        {"other program names", "  200 /usr/bin/tessaron-helper\n  201 /bin/zsh\n  202 tessaron.app\n",
         {{200, serve(same)}, {201, serve(same)}, {202, serve(same)}}, {}, stopped},
        {"malformed lines", "tessaron\n  \nabc /x/tessaron\n99999999999 /x/tessaron\n0 /x/tessaron\n-1 /x/tessaron\n300\n",
         {}, {0, -1, 300}, stopped},
        {"two helpers", "  200 " + app + "\n  201 " + app + "\n", {{200, serve(same)}, {201, serve(std::nullopt)}}, {},
         {"unknown", moreThanOne}},
        {"relative configuration", "  200 " + app + "\n", {{200, serve("agent.json")}}, {}, {"unknown", uncertain}},
        {"relative configuration and two helpers",
         "  200 " + app + "\n  201 " + app + "\n  202 " + app + "\n",
         {{200, serve(same)}, {201, serve("agent.json")}, {202, serve(same)}}, {}, {"unknown", moreThanOne}},
        {"damaged configuration", "  200 " + app + "\n", {{200, serve((dir / "damaged.json").string())}}, {},
         {"unknown", uncertain}},
        {"helper with another home serving this pairing", "  200 " + app + "\n", {{200, serveFrom("home-same")}}, {},
         running},
        {"helper with another home serving another pairing", "  200 " + app + "\n", {{200, serveFrom("home-other")}},
         {}, stopped},
        {"missing configuration", "  200 " + app + "\n", {{200, serve((dir / "missing.json").string())}}, {},
         {"unknown", uncertain}},
        {"unreadable but alive", "  200 " + app + "\n  201 " + app + "\n", {{201, serve(same)}}, {200},
         {"unknown", uncertain}},
        {"unreadable and gone", "  200 " + app + "\n  201 " + app + "\n", {{201, serve(same)}}, {}, running},
    };
    for (const auto& row : table) {
        ScriptedRunner runner;
        runner.result = CommandResult{0, row.listing, ""};
        ScriptedProcesses processes;
        processes.identities = row.identities;
        processes.alive = row.aliveWithoutIdentity;
        auto status = AgentSupervisor::status(mac, 100, {&runner, &processes, std::string("/bin/ps")});
        EXPECT_EQ(status, row.expected) << row.name << ": " << status.state << " " << status.error.value_or("");
        ASSERT_EQ(runner.calls.size(), 1u);
        EXPECT_EQ(runner.calls[0].first, "/bin/ps");
        EXPECT_EQ(runner.calls[0].second,
                  (std::vector<std::string>{"-U", std::to_string(::getuid()), "-o", "pid=,comm="}));
        for (std::int32_t pid : processes.probed) EXPECT_GT(pid, 0) << row.name;  // never kill(0) or kill(-1)
    }
}

// The helper holding the lease: helpers that share its lease file are starting or giving
// up at the same moment and do not count; one that cannot be read is looked at again.
TEST(AgentSupervisor, TheLeaseHolderCountsOnlyHelpersOutsideItsLease) {
    testing::TempHome home;
    testing::TempDir dir;
    const auto mac = pairing("https://panel.example.com", "machine-1");
    AgentConfigurationStore::save(mac, home.supportDir() / "agent.json");
    AgentConfigurationStore::save(mac, dir / "same.json");
    AgentConfigurationStore::save(mac, dir / "home-same" / "Library" / "Application Support" / "Tessaron" / "agent.json");
    const AgentSupervisorLease lease(mac);
    const std::string app = "/Applications/Tessaron.app/Contents/MacOS/tessaron";
    const auto serve = [](std::optional<std::string> config, std::optional<std::string> homePath = std::nullopt) {
        return AgentProcessIdentity{{"tessaron", "serve"}, std::move(config), std::move(homePath)};
    };
    // Unreadable while it is in the middle of exiting; gone after `probes` looks.
    struct Exiting : ScriptedProcesses {
        int looks = 0;
        std::map<std::int32_t, int> unreadableReads;  // reads of an identity that fail first
        bool exists(std::int32_t pid) override { return ScriptedProcesses::exists(pid) || (pid == 300 && looks++ < 2); }
        std::optional<AgentProcessIdentity> identity(std::int32_t pid) override {
            if (int& left = unreadableReads[pid]; left > 0) {
                --left;
                return std::nullopt;
            }
            return ScriptedProcesses::identity(pid);
        }
    };
    struct Row {
        std::string name;
        std::map<std::int32_t, AgentProcessIdentity> identities;
        std::set<std::int32_t> aliveWithoutIdentity;
        AgentSupervisorStatus expected;
        std::set<std::int32_t> starting = {};  // of those alive without identity
        std::map<std::int32_t, int> unreadableReads = {};
        std::chrono::milliseconds firstListingTakes{0};
    };
    const std::vector<Row> table = {
        {"helpers starting beside it in the same home",
         {{200, serve(std::nullopt)}, {201, serve((dir / "same.json").string(), home.path().string())}},
         {},
         {"stopped", std::nullopt}},
        {"a helper of this pairing with another home",
         {{200, serve(std::nullopt)}, {202, serve(std::nullopt, (dir / "home-same").string())}},
         {},
         {"running", std::nullopt}},
        {"a helper that exits while it is looked at", {{200, serve(std::nullopt)}}, {}, {"stopped", std::nullopt}},
        {"a process that stays unreadable", {}, {301}, {"unknown", uncertain}},
        {"a helper that stays in its start, however long", {{200, serve(std::nullopt)}}, {301}, {"stopped", std::nullopt},
         {301}},
        // Its arguments laid out between the read that failed and the check for none, in
        // a first look slower than the whole settle time, which still gets a second.
        {"a helper read as it starts", {{202, serve(std::nullopt, (dir / "home-same").string())}}, {},
         {"running", std::nullopt}, {}, {{202, 1}}, std::chrono::milliseconds(500)},
        {"a helper unreadable through a slow first look", {{200, serve(std::nullopt)}}, {}, {"stopped", std::nullopt},
         {}, {{200, 2}}, std::chrono::milliseconds(500)},
    };
    for (const auto& row : table) {
        ScriptedRunner runner;
        std::string listing;
        for (int pid : {200, 201, 202, 300, 301}) listing += std::to_string(pid) + " " + app + "\n";
        runner.result = CommandResult{0, listing, ""};
        runner.firstListingTakes = row.firstListingTakes;
        Exiting processes;
        processes.identities = row.identities;
        processes.alive = row.aliveWithoutIdentity;
        processes.starting = row.starting;
        processes.unreadableReads = row.unreadableReads;
        const auto status = AgentSupervisor::statusHoldingLease(
            lease, mac, 100, {&runner, &processes, std::string("/bin/ps")}, std::chrono::milliseconds(300));
        EXPECT_EQ(status, row.expected) << row.name << ": " << status.state << " " << status.error.value_or("");
    }
    // Without the lease the same helpers are counted.
    ScriptedRunner runner;
    runner.result = CommandResult{0, "200 " + app + "\n", ""};
    ScriptedProcesses processes;
    processes.identities = {{200, serve(std::nullopt)}};
    EXPECT_EQ(AgentSupervisor::status(mac, 100, {&runner, &processes, std::string("/bin/ps")}),
              (AgentSupervisorStatus{"running", std::nullopt}));
    // Nor is a starting process passed over without the lease.
    runner.result = CommandResult{0, "301 " + app + "\n", ""};
    processes.alive = {301};
    processes.starting = {301};
    EXPECT_EQ(AgentSupervisor::status(mac, 100, {&runner, &processes, std::string("/bin/ps")}),
              (AgentSupervisorStatus{"unknown", uncertain}));
}

TEST(AgentSupervisor, AFailedListingIsReportedNotThrown) {
    const auto mac = pairing("https://panel.example.com", "machine-1");
    ScriptedProcesses processes;
    ScriptedRunner cannotStart;
    EXPECT_EQ(AgentSupervisor::status(mac, 1, {&cannotStart, &processes, std::string("/bin/ps")}),
              (AgentSupervisorStatus{"unknown", inspectionMessage}));
    for (int exitCode : {1, 137}) {
        ScriptedRunner failing;
        failing.result = CommandResult{exitCode, "  200 /x/tessaron\n", ""};
        EXPECT_EQ(AgentSupervisor::status(mac, 1, {&failing, &processes, std::string("/bin/ps")}),
                  (AgentSupervisorStatus{"unknown", inspectionMessage}));
    }
    // The listing asks about the real user, also when that is not root.
    user::ScopedUserIdOverride otherUser(4242);
    ScriptedRunner runner;
    runner.result = CommandResult{0, "", ""};
    AgentSupervisor::status(mac, 1, {&runner, &processes, std::string("/bin/ps")});
    ASSERT_EQ(runner.calls.size(), 1u);
    EXPECT_EQ(runner.calls[0].second[1], "4242");
}

TEST(AgentSupervisor, ProcessListProgram) {
    {
        testing::ScopedEnv unset("TESSARON_PS_PATH", std::nullopt);
        EXPECT_EQ(AgentSupervisor::processListProgram(), "/bin/ps");
    }
    {
        testing::ScopedEnv empty("TESSARON_PS_PATH", std::string());
        EXPECT_EQ(AgentSupervisor::processListProgram(), "/bin/ps");
    }
    testing::ScopedEnv standin("TESSARON_PS_PATH", "/opt/ps");
    EXPECT_EQ(AgentSupervisor::processListProgram(), "/opt/ps");
}

// Runs in a child process as an otherwise unused user, so that no other program on this
// machine appears in the listing: starts fake helpers ("tessaron serve", a copy of the
// shell waiting on a pipe) and reports the status seen through the ps stand-in and /proc.
class RealProcessTable : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(fs::exists(testing::standinBinDir() / "ps")) << "build the tessaron_standin_ps target first";
        psPath_ = reachable_.add(testing::standinBinDir() / "ps");
        uid_ = static_cast<uid_t>(50000 + ::getpid() % 10000);
        fs::permissions(dir_.path(), fs::perms::all);
        ASSERT_EQ(::chown(dir_.path().c_str(), uid_, uid_), 0);
    }

    testing::TempDir dir_;
    testing::ReachableCopies reachable_;  // the user may not reach the build tree
    fs::path psPath_;
    uid_t uid_ = 0;
};

std::vector<std::string> runAsOtherUser(uid_t uid, const fs::path& dir, const fs::path& psPath) {
    int results[2];
    if (::pipe(results) != 0) return {"pipe failed"};
    pid_t child = ::fork();
    if (child < 0) return {"fork failed"};
    if (child == 0) {
        ::close(results[0]);
        ::alarm(60);
        std::string out;
        auto report = [&](const std::string& line) { out += line + "\n"; };
        std::vector<pid_t> helpers;
        int hold[2] = {-1, -1};
        try {
            if (::setgroups(0, nullptr) != 0 || ::setgid(uid) != 0 || ::setuid(uid) != 0) throw std::runtime_error("setuid");
            ::setenv("HOME", (dir / "home").c_str(), 1);
            ::unsetenv("TESSARON_CONFIG_PATH");
            fs::create_directories(dir / "bin");
            fs::copy_file("/bin/sh", dir / "bin/tessaron");
            fs::permissions(dir / "bin/tessaron", fs::perms::owner_all);
            // The shell reads its script from the file named by its first argument.
            testing::writeFile(dir / "serve", "read line\n");
            const auto mac = pairing("https://panel.example.com", "machine-1");
            AgentConfigurationStore::save(mac, dir / "same.json");
            AgentConfigurationStore::save(pairing("https://panel.example.com", "machine-2"), dir / "other.json");
            if (::pipe(hold) != 0) throw std::runtime_error("pipe");

            auto startHelper = [&](const std::string& configPath) {
                pid_t pid = ::fork();
                if (pid == 0) {
                    ::dup2(hold[0], 0);
                    if (::chdir(dir.c_str()) != 0) ::_exit(127);
                    std::string env = "TESSARON_CONFIG_PATH=" + configPath;
                    std::string home = "HOME=" + (dir / "home").string();
                    const char* argv[] = {"tessaron", "serve", nullptr};
                    const char* envp[] = {env.c_str(), home.c_str(), nullptr};
                    ::execve((dir / "bin/tessaron").c_str(), const_cast<char* const*>(argv), const_cast<char* const*>(envp));
                    ::_exit(127);
                }
                helpers.push_back(pid);
                // Wait (bounded) until the helper has become the shell with its arguments.
                for (int i = 0; i < 400; ++i) {
                    auto identity = process_identity::identity(pid);
                    if (identity && identity->arguments.size() == 2 && identity->arguments[1] == "serve") break;
                    ::usleep(10000);
                }
                return pid;
            };
            auto stopHelpers = [&] {
                for (pid_t pid : helpers) {
                    ::kill(pid, SIGKILL);
                    ::waitpid(pid, nullptr, 0);
                }
                helpers.clear();
            };
            AgentSupervisor::Probes probes;
            probes.processLister = psPath.string();
            auto status = [&](std::int32_t excluding) {
                auto s = AgentSupervisor::status(mac, excluding, probes);
                return s.state + "|" + s.error.value_or("");
            };
            const std::int32_t self = static_cast<std::int32_t>(::getpid());

            report(status(self));                             // nothing running
            pid_t first = startHelper((dir / "same.json").string());
            {
                ProcessCommandRunner runner;
                auto listing = runner.run(psPath.string(), {"-U", std::to_string(uid), "-o", "pid=,comm="});
                char expected[64];
                std::snprintf(expected, sizeof expected, "%5d ", first);
                report(listing.standardOutput.find(expected + (dir / "bin/tessaron").string() + "\n") !=
                               std::string::npos
                           ? "listed"
                           : "not listed: " + listing.standardOutput);
            }
            report(status(self));                             // one helper
            report(status(first));                            // the helper asking about itself
            startHelper((dir / "same.json").string());
            report(status(self));                             // two helpers
            stopHelpers();
            startHelper((dir / "other.json").string());
            report(status(self));                             // another machine's helper
            startHelper("relative/agent.json");
            report(status(self));                             // cannot tell
            stopHelpers();
        } catch (const std::exception& error) {
            report(std::string("error: ") + error.what());
        }
        for (pid_t pid : helpers) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
        (void)::write(results[1], out.data(), out.size());
        ::_exit(0);
    }
    ::close(results[1]);
    std::string text;
    char chunk[1024];
    ssize_t got;
    while ((got = ::read(results[0], chunk, sizeof chunk)) > 0) text.append(chunk, static_cast<std::size_t>(got));
    ::close(results[0]);
    ::waitpid(child, nullptr, 0);
    std::vector<std::string> lines;
    for (std::size_t at = 0; at < text.size();) {
        std::size_t end = text.find('\n', at);
        lines.push_back(text.substr(at, end - at));
        at = end + 1;
    }
    return lines;
}

TEST_F(RealProcessTable, FindsHelpersThroughPsAndProc) {
    if (::getuid() != 0) GTEST_SKIP() << "needs root to run the helpers as a user of their own";
    auto lines = runAsOtherUser(uid_, dir_.path(), psPath_);
    EXPECT_EQ(lines, (std::vector<std::string>{
                         "stopped|",
                         "listed",
                         "running|",
                         "stopped|",
                         "unknown|" + moreThanOne,
                         "stopped|",
                         "unknown|" + uncertain,
                     }));
}

TEST(PsStandin, RefusesWhatItDoesNotKnow) {
    ProcessCommandRunner runner;
    const std::string ps = (testing::standinBinDir() / "ps").string();
    for (const std::vector<std::string>& arguments :
         std::vector<std::vector<std::string>>{{"-U"}, {"-o", "pid=,rss="}, {"-x"}, {"-U", "no-such-user-xyz"}}) {
        auto result = runner.run(ps, arguments);
        EXPECT_EQ(result.exitCode, 1) << arguments[0];
        EXPECT_TRUE(result.standardOutput.empty());
    }
    auto all = runner.run(ps, {"-A", "-o", "pid,comm"});
    EXPECT_EQ(all.exitCode, 0);
    EXPECT_EQ(all.standardOutput.rfind("  PID COMM\n", 0), 0u) << all.standardOutput;
    char self[32];
    std::snprintf(self, sizeof self, "\n%5d ", ::getpid());
    EXPECT_NE(all.standardOutput.find(self), std::string::npos);
}

}  // namespace
}  // namespace tessaron

namespace tessaron {
namespace {

// A helper that has ended but is not yet reaped holds nothing and serves nothing: it
// must not make the check uncertain.
TEST(AgentSupervisor, AnUnreapedProcessDoesNotCountAsAlive) {
    const pid_t child = ::fork();
    if (child == 0) ::_exit(0);
    ASSERT_GT(child, 0);
    SystemProcessInspector processes;
    bool zombie = false;
    for (int i = 0; i < 500 && !zombie; ++i) {
        std::string text = testing::readFile("/proc/" + std::to_string(child) + "/stat");
        zombie = text.find(") Z ") != std::string::npos;
        if (!zombie) ::usleep(10'000);
    }
    ASSERT_TRUE(zombie);
    EXPECT_FALSE(processes.exists(child));
    EXPECT_TRUE(processes.exists(::getpid()));
    ::waitpid(child, nullptr, 0);
    EXPECT_FALSE(processes.exists(child));
}

}  // namespace
}  // namespace tessaron
