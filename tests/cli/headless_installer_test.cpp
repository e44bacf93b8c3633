// The headless installer: the user half stages the daemon and hands it to the root
// half through the sudo stand-in; the root half checks and loads it with the launchctl
// stand-in.
//
// This test program also plays the `tessaron` executable: started (through sudo) as
// `<self> install-headless --plist P` it runs the root half, and started by launchd as
// `<self> serve` it stands for the helper (a long sleep).

#include "cli/headless_installer.h"
#include "host/agent_configuration.h"
#include "host/device_credential_store.h"
#include "host/json.h"
#include "host/launchd_services.h"
#include "host/user.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace tessaron::cli {
namespace {

namespace fs = std::filesystem;
using testing::readFile;
using testing::writeFile;

constexpr uid_t testUid = 501;

struct ActAsTessaron {
    ActAsTessaron() {
        std::ifstream in("/proc/self/cmdline", std::ios::binary);
        std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::vector<std::string> arguments;
        std::stringstream split(all);
        for (std::string part; std::getline(split, part, '\0');) arguments.push_back(part);
        if (arguments.size() >= 2 && arguments[1] == "serve") {
            ::execl("/bin/sleep", "sleep", "60", static_cast<char*>(nullptr));
            _exit(127);
        }
        if (arguments.size() == 4 && arguments[1] == "install-headless" && arguments[2] == "--plist") {
            try {
                // launchctl and the daemon folder come from the test's environment.
                HeadlessServiceInstaller::install(arguments[3]);
                _exit(0);
            } catch (const std::exception& error) {
                std::cerr << "tessaron: " << error.what() << "\n";
                std::cerr.flush();
                _exit(1);
            }
        }
    }
} actAsTessaron;

template <typename Action>
std::string cliError(Action action) {
    try {
        action();
    } catch (const CLIError& error) {
        EXPECT_EQ(error.kind(), CLIError::Kind::pairing);
        return error.what();
    }
    ADD_FAILURE() << "no CLIError was thrown";
    return "";
}

std::vector<std::vector<std::string>> callLog(const fs::path& path) {
    std::vector<std::vector<std::string>> out;
    std::error_code error;
    if (!fs::exists(path, error)) return out;
    std::stringstream lines(readFile(path));
    for (std::string line; std::getline(lines, line);) out.push_back(json::parse(line).get<std::vector<std::string>>());
    return out;
}

class HeadlessInstaller : public ::testing::Test {
protected:
    HeadlessInstaller()
        : launchctlState_("TESSARON_LAUNCHCTL_STATE", (state_ / "launchctl").string()),
          sudoState_("TESSARON_SUDO_STATE", (state_ / "sudo").string()),
          sudoUser_("TESSARON_SUDO_USER", "root"),
          launchctlPath_("TESSARON_LAUNCHCTL_PATH", (testing::standinBinDir() / "launchctl").string()),
          daemonsPath_("TESSARON_LAUNCH_DAEMONS_DIR", (state_ / "LaunchDaemons").string()) {
        fs::create_directories(state_ / "LaunchDaemons");
        environment_.sudo = (testing::standinBinDir() / "sudo").string();
        environment_.launchctl = (testing::standinBinDir() / "launchctl").string();
        environment_.launchDaemons = state_ / "LaunchDaemons";
        environment_.executable = fs::read_symlink("/proc/self/exe");
        environment_.userName = "root";  // the daemon runs as this user, which must exist here
        environment_.output = &output_;
    }

    ~HeadlessInstaller() override {
        ProcessCommandRunner runner;
        fs::remove(state_ / "launchctl" / "faults.json");
        runner.run((testing::standinBinDir() / "launchctl").string(),
                   {"bootout", std::string("system/") + HeadlessServiceInstaller::label});
    }

    // Pairs the Mac for the test user: agent.json and a credential the user owns.
    void pair() {
        AgentConfiguration configuration;
        configuration.machineID = "mac-1";
        configuration.controlURL = *Url::parse("https://panel.example.com");
        configuration.localHost = "127.0.0.1";
        AgentConfigurationStore::save(configuration);
        ::chown(home_.supportDir().c_str(), testUid, static_cast<gid_t>(-1));
        user::ScopedUserIdOverride user(testUid);
        DeviceCredentialStore::exportForHeadlessService("device-token");
        ::chown((home_.supportDir() / "headless-token").c_str(), testUid, static_cast<gid_t>(-1));
    }

    fs::path staged() const { return home_.supportDir() / "headless-service.plist"; }
    fs::path daemon() const { return state_ / "LaunchDaemons" / "com.tessaron.agent.headless.plist"; }
    fs::path agentPlist() const { return LoginService::plistPath(home_.path()); }
    fs::path disabledAgent() const { return agentPlist().string() + ".disabled-by-headless"; }
    std::vector<std::vector<std::string>> launchctlCalls() const { return callLog(state_ / "launchctl" / "calls.log"); }
    std::vector<std::vector<std::string>> sudoCalls() const { return callLog(state_ / "sudo" / "calls.log"); }

    void enableAsUser() {
        user::ScopedUserIdOverride user(testUid);
        HeadlessServiceInstaller::enable(environment_);
    }

    // Writes a staged list for the root half, with `change` applied to the real one.
    fs::path stage(const std::function<void(plist::Dictionary&)>& change) {
        plist::Dictionary list = HeadlessServiceInstaller::propertyList(*environment_.executable, "ada", home_.path(),
                                                                        home_.supportDir() / "agent.json",
                                                                        home_.supportDir() / "headless-token");
        change(list);
        const fs::path path = state_ / "staged.plist";
        writeFile(path, plist::serializeXML(plist::Value(list)));
        return path;
    }

    testing::TempHome home_;
    testing::TempDir state_;
    testing::ScopedEnv launchctlState_;
    testing::ScopedEnv sudoState_;
    testing::ScopedEnv sudoUser_;
    testing::ScopedEnv launchctlPath_;
    testing::ScopedEnv daemonsPath_;
    HeadlessInstallerEnvironment environment_;
    std::ostringstream output_;
};

const std::string successText =
    "Headless mode is enabled. Tessaron can start after reboot without a user login.\n"
    "The Mac must still have power, an Internet connection, and an open lid or desktop power configuration.\n";

TEST(HeadlessInstallerEnvironment, ProgramsAndDaemonFolderCanBePointedAtStandins) {
    {
        testing::ScopedEnv sudo("TESSARON_SUDO_PATH", std::nullopt);
        testing::ScopedEnv launchctl("TESSARON_LAUNCHCTL_PATH", "");
        testing::ScopedEnv daemons("TESSARON_LAUNCH_DAEMONS_DIR", std::nullopt);
        HeadlessInstallerEnvironment environment;
        EXPECT_EQ(environment.sudo, "/usr/bin/sudo");
        EXPECT_EQ(environment.launchctl, "/bin/launchctl");
        EXPECT_EQ(environment.launchDaemons, "/Library/LaunchDaemons");
    }
    testing::ScopedEnv sudo("TESSARON_SUDO_PATH", "/s/sudo");
    testing::ScopedEnv launchctl("TESSARON_LAUNCHCTL_PATH", "/s/launchctl");
    testing::ScopedEnv daemons("TESSARON_LAUNCH_DAEMONS_DIR", "/s/LaunchDaemons");
    HeadlessInstallerEnvironment environment;
    EXPECT_EQ(environment.sudo, "/s/sudo");
    EXPECT_EQ(environment.launchctl, "/s/launchctl");
    EXPECT_EQ(environment.launchDaemons, "/s/LaunchDaemons");
}

TEST_F(HeadlessInstaller, DaemonPropertyListHasElevenKeys) {
    const fs::path home = "/Users/ada";
    auto list = HeadlessServiceInstaller::propertyList("/Applications/Tessaron.app/Contents/MacOS/tessaron", "ada", home,
                                                       "/c/agent.json", "/c/headless-token");
    EXPECT_EQ(plist::Value(list),
              plist::Value(plist::Dictionary{
                  {"Label", "com.tessaron.agent.headless"},
                  {"ProgramArguments", plist::Array{"/Applications/Tessaron.app/Contents/MacOS/tessaron", "serve"}},
                  {"UserName", "ada"},
                  {"WorkingDirectory", "/Users/ada"},
                  {"EnvironmentVariables", plist::Dictionary{{"HOME", "/Users/ada"},
                                                             {"TESSARON_CONFIG_PATH", "/c/agent.json"},
                                                             {"TESSARON_CREDENTIAL_PATH", "/c/headless-token"}}},
                  {"RunAtLoad", true},
                  {"KeepAlive", plist::Dictionary{{"NetworkState", true}, {"SuccessfulExit", false}}},
                  {"ProcessType", "Background"},
                  {"ThrottleInterval", 5},
                  {"StandardOutPath", "/Users/ada/Library/Logs/Tessaron/agent.log"},
                  {"StandardErrorPath", "/Users/ada/Library/Logs/Tessaron/agent-error.log"},
              }));
}

TEST_F(HeadlessInstaller, EnableStagesInstallsLoadsAndRetiresTheLaunchAgent) {
    pair();
    writeFile(agentPlist(), "the per-user agent");
    enableAsUser();
    EXPECT_EQ(output_.str(), successText);

    // The staged list, beside agent.json.
    const std::string bytes = readFile(staged());
    EXPECT_EQ(bytes, plist::serializeXML(plist::Value(HeadlessServiceInstaller::propertyList(
                         *environment_.executable, "root", home_.path(), home_.supportDir() / "agent.json",
                         home_.supportDir() / "headless-token"))));
    struct stat st {};
    ASSERT_EQ(::stat(staged().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    ASSERT_EQ(::stat((home_.path() / "Library" / "Logs" / "Tessaron").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);

    // The root half ran through sudo and installed the very same bytes.
    EXPECT_EQ(sudoCalls(), (std::vector<std::vector<std::string>>{
                               {environment_.executable->string(), "install-headless", "--plist", staged().string()}}));
    EXPECT_EQ(readFile(daemon()), bytes);
    ASSERT_EQ(::stat(daemon().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
    EXPECT_EQ(st.st_uid, 0u);
    EXPECT_EQ(st.st_gid, 0u);
    EXPECT_EQ(launchctlCalls(), (std::vector<std::vector<std::string>>{
                                    {"bootout", "system/com.tessaron.agent.headless"},
                                    {"bootstrap", "system", daemon().string()},
                                    {"bootout", "gui/501/com.tessaron.agent"}}));

    // launchd runs `tessaron serve`.
    ProcessCommandRunner runner;
    bool running = false;
    for (int i = 0; i < 100 && !running; ++i) {
        running = runner.run(environment_.launchctl, {"print", "system/com.tessaron.agent.headless"})
                      .standardOutput.find("state = running") != std::string::npos;
        if (!running) ::usleep(50000);
    }
    EXPECT_TRUE(running);

    EXPECT_FALSE(fs::exists(agentPlist()));
    EXPECT_EQ(readFile(disabledAgent()), "the per-user agent");

    // Again: the daemon is re-installed and reloaded.
    pair();
    const std::size_t before = launchctlCalls().size();
    enableAsUser();
    const auto calls = launchctlCalls();
    ASSERT_EQ(calls.size(), before + 3);
    EXPECT_EQ(calls[before + 1], (std::vector<std::string>{"bootstrap", "system", daemon().string()}));
    EXPECT_EQ(sudoCalls().size(), 2u);
}

TEST_F(HeadlessInstaller, UserHalfLeavesTheLaunchAgentAloneUnlessItCanMoveIt) {
    pair();
    // No LaunchAgent at all, and launchctl that cannot even start: still a success.
    environment_.launchctl = (state_ / "no-launchctl").string();
    enableAsUser();
    EXPECT_EQ(output_.str(), successText);
    EXPECT_FALSE(fs::exists(disabledAgent()));

    // Both files present: neither is touched.
    environment_.launchctl = (testing::standinBinDir() / "launchctl").string();
    writeFile(agentPlist(), "current");
    writeFile(disabledAgent(), "older");
    pair();
    enableAsUser();
    EXPECT_EQ(readFile(agentPlist()), "current");
    EXPECT_EQ(readFile(disabledAgent()), "older");
}

TEST_F(HeadlessInstaller, UserHalfStopsWhenTheRootHalfFails) {
    pair();
    writeFile(agentPlist(), "the per-user agent");
    writeFile(state_ / "sudo" / "faults.json", R"([{"stderr": "Sorry, try again.\n", "exitCode": 1}])");
    EXPECT_EQ(cliError([&] { enableAsUser(); }), "The headless service installer exited with status 1.");
    EXPECT_TRUE(fs::exists(staged()));
    EXPECT_EQ(readFile(agentPlist()), "the per-user agent");
    EXPECT_TRUE(launchctlCalls().empty());
    EXPECT_EQ(output_.str(), "");

    // The root half's own refusal reaches the user as its exit status.
    fs::remove(state_ / "sudo" / "faults.json");
    writeFile(state_ / "launchctl" / "faults.json", R"([{"command": "bootstrap", "exitCode": 5}])");
    pair();
    EXPECT_EQ(cliError([&] { enableAsUser(); }), "The headless service installer exited with status 1.");
    EXPECT_EQ(readFile(agentPlist()), "the per-user agent");
}

TEST_F(HeadlessInstaller, UserHalfRefusals) {
    // Under sudo (effective uid 0): refused before anything is read or written.
    EXPECT_EQ(cliError([&] { HeadlessServiceInstaller::enable(environment_); }),
              "Run `tessaron enable-headless` as the paired Mac user, not as root.");
    EXPECT_FALSE(fs::exists(home_.path() / "Library"));

    // Not paired.
    try {
        enableAsUser();
        ADD_FAILURE() << "an unpaired Mac was accepted";
    } catch (const AgentConfigurationError& error) {
        EXPECT_EQ(error.kind(), AgentConfigurationError::Kind::notPaired);
    }
    EXPECT_TRUE(sudoCalls().empty());
}

TEST_F(HeadlessInstaller, RootHalfRefusals) {
    const fs::path path = stage([](plist::Dictionary&) {});
    {
        user::ScopedUserIdOverride user(testUid);
        EXPECT_EQ(cliError([&] { HeadlessServiceInstaller::install(path.string(), environment_); }),
                  "Installing the system service requires sudo.");
    }
    for (const std::optional<std::string>& value : {std::optional<std::string>(), std::optional<std::string>("")}) {
        testing::ScopedEnv sudoUser("SUDO_USER", value);
        EXPECT_EQ(cliError([&] { HeadlessServiceInstaller::install(path.string(), environment_); }),
                  "The service installer must be launched through sudo by the paired user.");
    }
    EXPECT_FALSE(fs::exists(daemon()));
    EXPECT_TRUE(launchctlCalls().empty());
}

TEST_F(HeadlessInstaller, RootHalfValidatesTheStagedList) {
    testing::ScopedEnv sudoUser("SUDO_USER", "ada");
    const fs::path notExecutable = state_ / "not-executable";
    writeFile(notExecutable, "data");
    struct Case {
        const char* name;
        std::function<void(plist::Dictionary&)> change;
    };
    const std::vector<Case> invalid = {
        {"wrong label", [](plist::Dictionary& l) { l["Label"] = "com.tessaron.agent"; }},
        {"label not a string", [](plist::Dictionary& l) { l["Label"] = 1; }},
        {"no label", [](plist::Dictionary& l) { l.erase("Label"); }},
        {"other user", [](plist::Dictionary& l) { l["UserName"] = "bob"; }},
        {"user in another case", [](plist::Dictionary& l) { l["UserName"] = "Ada"; }},
        {"no user", [](plist::Dictionary& l) { l.erase("UserName"); }},
        {"no arguments", [](plist::Dictionary& l) { l["ProgramArguments"] = plist::Array{}; }},
        {"arguments not strings", [](plist::Dictionary& l) { l["ProgramArguments"] = plist::Array{1}; }},
        {"arguments not an array", [](plist::Dictionary& l) { l["ProgramArguments"] = "/bin/sh"; }},
        {"relative program", [](plist::Dictionary& l) { l["ProgramArguments"] = plist::Array{"bin/sh", "serve"}; }},
        {"program not executable",
         [&](plist::Dictionary& l) { l["ProgramArguments"] = plist::Array{notExecutable.string(), "serve"}; }},
        {"program missing", [&](plist::Dictionary& l) { l["ProgramArguments"] = plist::Array{"/nonexistent/tessaron"}; }},
    };
    for (const auto& c : invalid) {
        const fs::path path = stage(c.change);
        EXPECT_EQ(cliError([&] { HeadlessServiceInstaller::install(path.string(), environment_); }),
                  "The staged headless service is invalid.")
            << c.name;
    }
    writeFile(state_ / "array.plist", plist::serializeXML(plist::Value(plist::Array{"x"})));
    EXPECT_EQ(cliError([&] { HeadlessServiceInstaller::install((state_ / "array.plist").string(), environment_); }),
              "The staged headless service is invalid.");
    // A FIFO at the path is refused instead of blocking the installer.
    ASSERT_EQ(::mkfifo((state_ / "fifo").c_str(), 0600), 0);
    EXPECT_EQ(cliError([&] { HeadlessServiceInstaller::install((state_ / "fifo").string(), environment_); }),
              "The staged headless service is invalid.");
    EXPECT_FALSE(fs::exists(daemon()));
    EXPECT_TRUE(launchctlCalls().empty());

    // Errors of reading and parsing pass through unchanged.
    EXPECT_THROW(HeadlessServiceInstaller::install((state_ / "absent.plist").string(), environment_), SystemError);
    writeFile(state_ / "garbage.plist", "garbage");
    EXPECT_THROW(HeadlessServiceInstaller::install((state_ / "garbage.plist").string(), environment_),
                 plist::PropertyListError);
}

TEST_F(HeadlessInstaller, RootHalfInstallsExtraKeysUnchangedAndReportsARefusedBootstrap) {
    testing::ScopedEnv sudoUser("SUDO_USER", "root");
    const fs::path path = stage([](plist::Dictionary& l) {
        l["UserName"] = "root";
        l["Nice"] = 5;
        l["StandardOutPath"] = "/dev/null";
    });
    HeadlessServiceInstaller::install(path.string(), environment_);
    EXPECT_EQ(readFile(daemon()), readFile(path));
    EXPECT_EQ(launchctlCalls(), (std::vector<std::vector<std::string>>{
                                    {"bootout", "system/com.tessaron.agent.headless"},
                                    {"bootstrap", "system", daemon().string()}}));

    // The earlier daemon is loaded, so the bootstrap would be refused without the bootout;
    // a failing bootout itself is ignored.
    HeadlessServiceInstaller::install(path.string(), environment_);
    writeFile(state_ / "launchctl" / "faults.json",
              R"([{"command": "bootout", "exitCode": 3}, {"command": "bootstrap", "exitCode": 5}])");
    EXPECT_EQ(cliError([&] { HeadlessServiceInstaller::install(path.string(), environment_); }),
              "launchd rejected the Tessaron headless service.");

    // launchctl that cannot start: the bootout is ignored, the bootstrap's failure thrown.
    environment_.launchctl = (state_ / "no-launchctl").string();
    EXPECT_THROW(HeadlessServiceInstaller::install(path.string(), environment_), LaunchError);
}

}  // namespace
}  // namespace tessaron::cli
