// `tessaron service enable`, `enable-headless` and `install-headless` run from the built
// program as child processes, with the stand-in launchctl, sudo and ps. Both set-ups
// refuse root, so their user side runs in a child that gave up root for a user ID of
// its own, with a HOME it owns; `service enable` runs from a real copy of the bundle in
// that HOME's Applications folder, the durable place it insists on. The helper job that
// the stand-in launchctl starts is a real `tessaron serve`, connected to a loopback edge.

#include "host/agent_configuration.h"
#include "host/device_credential_store.h"
#include "host/json.h"
#include "host/property_list.h"
#include "support/edge_process.h"
#include "support/panel_process.h"
#include "support/serve_process.h"
#include "support/temp_dir.h"
#include "support/tessaron_process.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace tessaron {
namespace {

namespace fs = std::filesystem;
using testing::ChildIdentity;
using testing::EdgeProcess;
using testing::PanelProcess;
using testing::ProgramRun;

constexpr const char* serviceUsage = "tessaron: Use `tessaron service enable` to keep hosting after the app closes.\n";
constexpr const char* notPaired = "tessaron: This Mac is not paired. Run `tessaron pair` first.\n";
constexpr const char* enabledLine =
    "Background hosting enabled. You can close the app; keep this Mac awake, online and signed in.\n";
constexpr const char* noCompanion =
    "tessaron: Background hosting is enabled, but this app bundle has no menu-bar companion. Install the current "
    "Tessaron app.\n";

std::string fileText(const fs::path& path) {
    std::error_code error;
    if (!fs::exists(path, error)) return "";
    return testing::readFile(path);
}

std::optional<pid_t> readPid(const fs::path& path) {
    const std::string text = fileText(path);
    if (text.empty()) return std::nullopt;
    return static_cast<pid_t>(std::stol(text));
}

std::vector<std::string> commandLine(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/cmdline", std::ios::binary);
    std::vector<std::string> words;
    std::string word;
    while (std::getline(in, word, '\0')) words.push_back(word);
    return words;
}

bool processExists(pid_t pid) { return ::kill(pid, 0) == 0 || errno == EPERM; }

class ServiceE2E : public ::testing::Test {
protected:
    ServiceE2E()
        : identity(testing::unusedIdentity()),
          user("tessa" + std::to_string(identity.uid)),
          launchctlCopy(reachable.add(testing::standinBinDir() / "launchctl")),
          psCopy(reachable.add(testing::standinBinDir() / "ps")) {}

    void SetUp() override {
        fs::create_directories(launchctlState());
        fs::create_directories(sudoState());
        // Made here, so that it is the user's even when root's side of the headless
        // set-up calls launchctl first.
        testing::writeFile(launchctlState() / "calls.log", "");
    }

    void TearDown() override {
        // Boot the jobs out the way their owner would, then make sure that no program
        // of theirs (supervisor or job, as the stand-in launchctl recorded them) is left.
        const auto pids = jobProcesses();
        for (const char* label : {"com.tessaron.agent", "com.tessaron.menubar"}) {
            runAsUser(launchctl(), {"bootout", domain() + "/" + label});
        }
        testing::runProgram(launchctl(), {"bootout", "system/com.tessaron.agent.headless"}, rootEnvironment(), 30);
        const bool gone = PanelProcess::waitFor([&] {
            for (pid_t pid : pids)
                if (isOurs(pid)) return false;
            return true;
        }, 25);
        EXPECT_TRUE(gone) << "a launchd job outlived its boot-out";
        for (pid_t pid : pids)
            if (isOurs(pid)) ::kill(pid, SIGKILL);
    }

    // Still running with this test's user as its real user (a recycled process ID is not).
    bool isOurs(pid_t pid) const {
        std::ifstream status("/proc/" + std::to_string(pid) + "/status");
        for (std::string line; std::getline(status, line);) {
            if (line.rfind("State:", 0) == 0 && line.find('Z') != std::string::npos) return false;  // ended
            if (line.rfind("Uid:", 0) == 0) return std::stoul(line.substr(4)) == identity.uid;
        }
        return false;
    }

    fs::path launchctl() const { return launchctlCopy; }
    fs::path launchctlState() const { return home.path() / "launchctl-state"; }
    fs::path sudoState() const { return home.path() / "sudo-state"; }
    std::string domain() const { return "gui/" + std::to_string(identity.uid); }
    fs::path jobDir(const std::string& domainKey, const std::string& label) const {
        return launchctlState() / "jobs" / domainKey / label;
    }
    fs::path agentsDir() const { return home.path() / "Library" / "LaunchAgents"; }
    fs::path durableBundle() const { return home.path() / "Applications" / "Tessaron.app"; }
    fs::path durableProgram() const { return durableBundle() / "Contents" / "MacOS" / "tessaron"; }
    fs::path companion() const {
        return durableBundle() / "Contents" / "Library" / "LoginItems" / "TessaronMenuBar.app" / "Contents" / "MacOS" /
               "TessaronMenuBar";
    }

    testing::ProgramEnvironment rootEnvironment() const {
        testing::ProgramEnvironment environment;
        environment.variables["TESSARON_LAUNCHCTL_PATH"] = launchctl().string();
        environment.variables["TESSARON_LAUNCHCTL_STATE"] = launchctlState().string();
        environment.variables["TESSARON_SUDO_STATE"] = sudoState().string();
        environment.variables["TESSARON_PS_PATH"] = psCopy.string();
        return environment;
    }
    // The user's own: HOME (this process's), its name, and the stand-ins, which also
    // reach the helper job that launchctl starts.
    testing::ProgramEnvironment userEnvironment() const {
        testing::ProgramEnvironment environment = rootEnvironment();
        environment.variables["USER"] = user;
        environment.variables["LOGNAME"] = user;
        environment.variables["TESSARON_LAUNCHCTL_THROTTLE"] = "0.5";
        // The companion draws its tray icon on Qt's screenless platform.
        environment.variables["QT_QPA_PLATFORM"] = "offscreen";
        environment.variables["TESSARON_LAUNCHCTL_PASS_ENV"] = "TESSARON_PS_PATH,QT_QPA_PLATFORM";
        return environment;
    }
    ProgramRun runAsUser(const fs::path& program, const std::vector<std::string>& arguments,
                         std::optional<testing::ProgramEnvironment> environment = std::nullopt) const {
        return testing::runProgramAs(program, arguments, environment.value_or(userEnvironment()), identity, 40);
    }

    // agent.json and the token as a pairing writes them.
    void pair(const std::string& controlURL, const std::string& machineID, const std::string& token,
              const std::vector<std::string>& edgeURLs = {}) {
        AgentConfiguration configuration;
        configuration.machineID = machineID;
        configuration.controlURL = *Url::parse(controlURL);
        for (const auto& url : edgeURLs) configuration.edgeURLs.push_back(*Url::parse(url));
        configuration.localHost = "127.0.0.1";
        AgentConfigurationStore::save(configuration);
        DeviceCredentialStore::save(token, machineID);
    }
    // The build tree's program, from a copy of its bundle that the user can reach (outside
    // the durable places, like the build tree itself).
    fs::path reachableProgram() {
        if (!reachableBundle) reachableBundle = reachable.add(testing::bundleDir());
        return *reachableBundle / "Contents" / "MacOS" / "tessaron";
    }
    // A real copy (the program finds its bundle through its own executable's path).
    void installBundleCopy() {
        fs::create_directories(durableBundle().parent_path());
        fs::copy(testing::bundleDir(), durableBundle(), fs::copy_options::recursive);
    }
    // Everything under HOME belongs to the user, as on a Mac.
    void handHomeToUser() { testing::chownTree(home.path(), identity); }

    std::vector<std::string> launchctlCalls() const {
        std::vector<std::string> calls;
        std::istringstream in(fileText(launchctlState() / "calls.log"));
        for (std::string line; std::getline(in, line);) calls.push_back(line);
        return calls;
    }
    std::size_t launchctlCallsOf(const std::string& subcommand) const {
        std::size_t count = 0;
        for (const auto& call : launchctlCalls())
            if (call.rfind("[\"" + subcommand + "\"", 0) == 0) ++count;
        return count;
    }
    // Every supervisor and job process ID the stand-in launchctl recorded.
    std::vector<pid_t> jobProcesses() const {
        std::vector<pid_t> pids;
        std::error_code error;
        for (const auto& domainDir : fs::directory_iterator(launchctlState() / "jobs", error)) {
            for (const auto& job : fs::directory_iterator(domainDir.path(), error)) {
                for (const char* file : {"supervisor.pid", "job.pid"})
                    if (auto pid = readPid(job.path() / file); pid && *pid > 0) pids.push_back(*pid);
            }
        }
        return pids;
    }

    testing::TempHome home;
    ChildIdentity identity;
    std::string user;
    // What the user runs from the build tree, where the user can reach it.
    testing::ReachableCopies reachable;
    fs::path launchctlCopy;
    fs::path psCopy;
    std::optional<fs::path> reachableBundle;
};

TEST_F(ServiceE2E, RefusalsChangeNothingInLaunchd) {
    installBundleCopy();
    handHomeToUser();

    // Anything but exactly "enable" is the usage message.
    for (const std::vector<std::string>& words :
         {std::vector<std::string>{"service"}, {"service", "disable"}, {"service", "Enable"}}) {
        const ProgramRun run = runAsUser(durableProgram(), words);
        EXPECT_EQ(run.exitCode, 1);
        EXPECT_EQ(run.standardOutput, "");
        EXPECT_EQ(run.standardError, serviceUsage);
    }
    // Not paired.
    ProgramRun run = runAsUser(durableProgram(), {"service", "enable"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.standardError, notPaired);

    pair("http://127.0.0.1:9", "mac-1", "token-1");
    handHomeToUser();
    // Root: refused before launchctl is asked anything.
    run = testing::runProgram(durableProgram(), {"service", "enable"}, rootEnvironment(), 30);
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.standardError, "tessaron: Enable background hosting as your signed-in Mac user, not as root.\n");
    // A program outside the durable places (here: a copy of the build tree's bundle)
    // cannot be the service.
    run = runAsUser(reachableProgram(), {"service", "enable"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.standardError,
              "tessaron: Tessaron is running from a temporary copy, so background hosting cannot be set up. macOS "
              "does this when an app is opened straight from Downloads. Quit Tessaron, drag Tessaron.app into your "
              "Applications folder, and open it from there.\n");

    EXPECT_TRUE(launchctlCalls().empty());
    EXPECT_FALSE(fs::exists(agentsDir()));
}

TEST_F(ServiceE2E, EnableStartsTheHelperJobAndThenTheCompanion) {
    PanelProcess panel;
    const auto mac = panel.createMachine("Studio");
    EdgeProcess edge({"--token", mac.deviceToken, "--machine-id", mac.machineId});
    installBundleCopy();
    pair(panel.base(), mac.machineId, mac.deviceToken, {edge.wsURL()});
    handHomeToUser();

    // A bundle without its menu-bar companion: the helper's service is enabled all the
    // same, and the command says what is missing.
    const fs::path builtCompanion = testing::bundleDir() / fs::relative(companion(), durableBundle());
    fs::remove_all(companion().parent_path().parent_path().parent_path());
    ProgramRun run = runAsUser(durableProgram(), {"service", "enable"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.standardOutput, "");
    EXPECT_EQ(run.standardError, noCompanion);
    EXPECT_FALSE(fs::exists(agentsDir() / "com.tessaron.menubar.plist"));

    const fs::path helperPlist = agentsDir() / "com.tessaron.agent.plist";
    ASSERT_TRUE(fs::exists(helperPlist));
    EXPECT_EQ(fs::status(helperPlist).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
    const plist::Value written = plist::parse(testing::readFile(helperPlist));
    const plist::Dictionary& keys = *written.dictionary();
    EXPECT_EQ(keys.at("Label"), plist::Value("com.tessaron.agent"));
    EXPECT_EQ(keys.at("ProgramArguments"), plist::Value(plist::Array{durableProgram().string(), "serve"}));

    // The job is loaded and its program is a `tessaron serve` from the durable bundle,
    // running as the user, connected to the edge with the pairing's credentials.
    ASSERT_TRUE(EdgeProcess::waitFor([&] { return edge.connected(); }, 30))
        << fileText(home.path() / "Library" / "Logs" / "Tessaron" / "agent-error.log");
    EXPECT_EQ(edge.connections(), 1);
    const auto helperPid = readPid(jobDir("gui-" + std::to_string(identity.uid), "com.tessaron.agent") / "job.pid");
    ASSERT_TRUE(helperPid.has_value());
    EXPECT_EQ(commandLine(*helperPid), (std::vector<std::string>{durableProgram().string(), "serve"}));
    struct stat st {};
    ASSERT_EQ(::stat(("/proc/" + std::to_string(*helperPid)).c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, identity.uid);
    EXPECT_EQ(runAsUser(launchctl(), {"print", domain() + "/com.tessaron.agent"}).exitCode, 0);

    // With the companion back in the bundle: the helper's identical, loaded job is left
    // alone, the companion's is added, and the confirmation line is printed. (A build
    // without the GUI has no companion; a stand-in program takes its place.)
    if (fs::exists(builtCompanion)) {
        fs::create_directories(companion().parent_path());
        fs::copy_file(builtCompanion, companion());
    } else {
        testing::writeFile(companion(), "#!/bin/sh\nexec sleep 120\n");
        fs::permissions(companion(), fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec);
    }
    handHomeToUser();
    const std::size_t bootstrapsBefore = launchctlCallsOf("bootstrap");
    run = runAsUser(durableProgram(), {"service", "enable"});
    EXPECT_EQ(run.exitCode, 0) << run.standardError;
    EXPECT_EQ(run.standardOutput, enabledLine);
    EXPECT_EQ(run.standardError, "");
    EXPECT_EQ(launchctlCallsOf("bootstrap"), bootstrapsBefore + 1) << "only the companion";
    EXPECT_EQ(launchctlCallsOf("bootout"), 0u);
    EXPECT_TRUE(fs::exists(agentsDir() / "com.tessaron.menubar.plist"));
    EXPECT_EQ(runAsUser(launchctl(), {"print", domain() + "/com.tessaron.menubar"}).exitCode, 0);
    EXPECT_EQ(readPid(jobDir("gui-" + std::to_string(identity.uid), "com.tessaron.agent") / "job.pid"), helperPid);
    EXPECT_TRUE(edge.connected());
    // The companion runs from the durable bundle and finds its `tessaron` there: its
    // status reads reach the panel.
    const auto companionPid = readPid(jobDir("gui-" + std::to_string(identity.uid), "com.tessaron.menubar") / "job.pid");
    ASSERT_TRUE(companionPid.has_value());
    EXPECT_EQ(commandLine(*companionPid), std::vector<std::string>{companion().string()});
    if (fs::exists(builtCompanion)) {
        EXPECT_TRUE(PanelProcess::waitFor([&] {
            for (const auto& request : panel.requests())
                if (request.value("path", "").ends_with("/control") &&
                    request.value("body", "").find("\"status\"") != std::string::npos)
                    return true;
            return false;
        }, 30)) << fileText(home.path() / "Library" / "Logs" / "Tessaron" / "menu-bar-error.log");
    }

    // Once more: both already loaded as written, nothing is reloaded.
    run = runAsUser(durableProgram(), {"service", "enable"});
    EXPECT_EQ(run.exitCode, 0) << run.standardError;
    EXPECT_EQ(run.standardOutput, enabledLine);
    EXPECT_EQ(launchctlCallsOf("bootstrap"), bootstrapsBefore + 1);

    // A helper definition that differs from this version's is replaced only with consent.
    plist::Dictionary older = keys;
    older["ThrottleInterval"] = plist::Value(30);
    testing::writeFile(helperPlist, plist::serializeXML(plist::Value(older)));
    fs::permissions(helperPlist, fs::perms::owner_read | fs::perms::owner_write);
    handHomeToUser();
    run = runAsUser(durableProgram(), {"service", "enable"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.standardError,
              "tessaron: An older login-service configuration exists. Review it, then use --replace-existing to "
              "migrate it.\n");
    EXPECT_EQ(plist::parse(testing::readFile(helperPlist)), plist::Value(older));
    EXPECT_EQ(launchctlCallsOf("bootout"), 0u);
    run = runAsUser(durableProgram(), {"service", "enable", "--replace-existing"});
    EXPECT_EQ(run.exitCode, 0) << run.standardError;
    EXPECT_EQ(run.standardOutput, enabledLine);
    EXPECT_EQ(plist::parse(testing::readFile(helperPlist)), written);
    EXPECT_EQ(launchctlCallsOf("bootout"), 1u) << "the helper only; the companion was current";
    // The replaced job runs a new `serve`, which takes the lease and reaches the edge again.
    std::optional<pid_t> replacedPid;
    ASSERT_TRUE(EdgeProcess::waitFor([&] {
        replacedPid = readPid(jobDir("gui-" + std::to_string(identity.uid), "com.tessaron.agent") / "job.pid");
        return replacedPid && *replacedPid != *helperPid && edge.connections() >= 2 && edge.connected();
    }, 30)) << fileText(home.path() / "Library" / "Logs" / "Tessaron" / "agent-error.log");
    EXPECT_FALSE(processExists(*helperPid));

    // Booting the helper out stops `serve` (SIGTERM), which leaves the edge.
    EXPECT_EQ(runAsUser(launchctl(), {"bootout", domain() + "/com.tessaron.agent"}).exitCode, 0);
    EXPECT_FALSE(processExists(*replacedPid));
    EXPECT_TRUE(EdgeProcess::waitFor([&] { return !edge.connected(); }, 20));
}

TEST_F(ServiceE2E, InstallHeadlessRequiresThePlistOption) {
    for (const std::vector<std::string>& words :
         {std::vector<std::string>{"install-headless"}, {"install-headless", "--plist"},
          {"install-headless", "--plist", "--other", "x"}, {"install-headless", "--plist", ""}}) {
        const ProgramRun run = testing::runTessaron(words, rootEnvironment(), 30);
        EXPECT_EQ(run.exitCode, 1);
        EXPECT_EQ(run.standardOutput, "");
        EXPECT_EQ(run.standardError, "tessaron: Missing required option --plist.\n");
    }
    EXPECT_TRUE(launchctlCalls().empty());
}

TEST_F(ServiceE2E, EnableHeadlessRefusesRootAndInstallsTheDaemonForTheUser) {
    pair("http://127.0.0.1:9", "mac-1", "token-1");
    const fs::path staged = home.supportDir() / "headless-service.plist";
    testing::TempDir launchDaemons;
    testing::ProgramEnvironment environment = userEnvironment();
    environment.variables["TESSARON_LAUNCH_DAEMONS_DIR"] = launchDaemons.path().string();
    environment.variables["TESSARON_SUDO_PATH"] = (testing::standinBinDir() / "sudo").string();
    environment.variables.erase("TESSARON_LAUNCHCTL_THROTTLE");

    // As root: refused before anything is read or written.
    ProgramRun run = testing::runTessaron({"enable-headless"}, environment, 30);
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.standardOutput, "");
    EXPECT_EQ(run.standardError, "tessaron: Run `tessaron enable-headless` as the paired Mac user, not as root.\n");
    EXPECT_FALSE(fs::exists(staged));
    EXPECT_FALSE(fs::exists(sudoState() / "calls.log"));
    EXPECT_TRUE(launchctlCalls().empty());

    // The user side needs a sudo that really makes the user root: a set-user-ID copy
    // of the stand-in, reachable only through the user's group.
    testing::TempDir sudoDir;
    const fs::path sudo = sudoDir.path() / "sudo";
    fs::copy_file(testing::standinBinDir() / "sudo", sudo);
    ASSERT_EQ(::chown(sudoDir.path().c_str(), 0, identity.gid), 0);
    ASSERT_EQ(::chmod(sudoDir.path().c_str(), 0750), 0);
    ASSERT_EQ(::chown(sudo.c_str(), 0, 0), 0);
    ASSERT_EQ(::chmod(sudo.c_str(), 04755), 0);
    environment.variables["TESSARON_SUDO_PATH"] = sudo.string();

    // The older per-user helper service, to be set aside.
    testing::writeFile(agentsDir() / "com.tessaron.agent.plist", "old agent");
    handHomeToUser();
    const ProgramRun probe = runAsUser(sudo, {"/usr/bin/id", "-u"}, environment);
    if (probe.standardOutput != "0\n") {
        GTEST_SKIP() << "a set-user-ID program does not gain root here, so sudo cannot be stood in for: "
                     << probe.standardOutput << probe.standardError;
    }

    const fs::path program = reachableProgram();
    run = runAsUser(program, {"enable-headless"}, environment);
    ASSERT_EQ(run.exitCode, 0) << run.standardError;
    EXPECT_EQ(run.standardOutput,
              "Headless mode is enabled. Tessaron can start after reboot without a user login.\n"
              "The Mac must still have power, an Internet connection, and an open lid or desktop power "
              "configuration.\n");

    // Staged by the user, installed unchanged by root.
    struct stat st {};
    ASSERT_EQ(::stat(staged.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, identity.uid);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    const fs::path daemon = launchDaemons.path() / "com.tessaron.agent.headless.plist";
    ASSERT_EQ(::stat(daemon.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 0u);
    EXPECT_EQ(st.st_gid, 0u);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
    EXPECT_EQ(testing::readFile(daemon), testing::readFile(staged));
    const plist::Dictionary keys = *plist::parse(testing::readFile(daemon)).dictionary();
    EXPECT_EQ(keys.at("UserName"), plist::Value(user));
    EXPECT_EQ(keys.at("ProgramArguments"), plist::Value(plist::Array{program.string(), "serve"}));

    // sudo ran this program's root side; the daemon is loaded in the system domain.
    const std::string sudoCalls = fileText(sudoState() / "calls.log");
    EXPECT_NE(sudoCalls.find(json::encode(json::Json::array(
                  {program.string(), "install-headless", "--plist", staged.string()}))),
              std::string::npos)
        << sudoCalls;
    EXPECT_EQ(testing::runProgram(launchctl(), {"print", "system/com.tessaron.agent.headless"}, rootEnvironment(), 30)
                  .exitCode,
              0);
    // The per-user helper is booted out and its definition set aside.
    EXPECT_EQ(launchctlCallsOf("bootout"), 2u) << "the earlier daemon, then the user's agent\n"
                                               << fileText(launchctlState() / "calls.log");
    EXPECT_FALSE(fs::exists(agentsDir() / "com.tessaron.agent.plist"));
    EXPECT_EQ(fileText(agentsDir() / "com.tessaron.agent.plist.disabled-by-headless"), "old agent");
}

}  // namespace
}  // namespace tessaron
