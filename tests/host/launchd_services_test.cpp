// The login services against the launchctl stand-in: install, replace, the
// identical-and-loaded shortcut, the refusals, and every rollback path.

#include "host/device_credential_store.h"
#include "host/json.h"
#include "host/launchd_services.h"
#include "host/user.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

namespace tessaron {
namespace {

namespace fs = std::filesystem;
using testing::readFile;
using testing::writeFile;

constexpr uid_t testUid = 501;

const std::string replaceFailedText = "Could not replace the existing login service.";
const std::string startFailedText = "macOS could not start the background service.";
const std::string restoredText = " The previous launch configuration was restored.";

template <typename Action>
LoginServiceError loginServiceError(Action action) {
    try {
        action();
    } catch (const LoginServiceError& error) {
        return error;
    }
    ADD_FAILURE() << "no LoginServiceError was thrown";
    return LoginServiceError::operationFailed("");
}

mode_t modeOf(const fs::path& path) {
    struct stat st {};
    EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
    return st.st_mode & 07777;
}

void giveTo(const fs::path& path, uid_t uid) {
    if (::lchown(path.c_str(), uid, static_cast<gid_t>(-1)) != 0) ADD_FAILURE() << "chown " << path;
}

// Runs launchctl through a real runner but fails to start it for chosen subcommands.
class LaunchFailingRunner : public CommandRunning {
public:
    explicit LaunchFailingRunner(std::string failing) : failing_(std::move(failing)) {}
    CommandResult run(const std::string& executable, const std::vector<std::string>& arguments) override {
        if (!arguments.empty() && arguments[0] == failing_) throw LaunchError("The file \u201claunchctl\u201d doesn\u2019t exist.", 2);
        return real_.run(executable, arguments);
    }

private:
    std::string failing_;
    ProcessCommandRunner real_;
};

class LoginServices : public ::testing::Test {
protected:
    LoginServices()
        : stateEnv_("TESSARON_LAUNCHCTL_STATE", (state_ / "launchctl").string()),
          throttleEnv_("TESSARON_LAUNCHCTL_THROTTLE", "0.2"),
          uid_(testUid) {
        const fs::path bundle = home_.path() / "Applications" / "Tessaron.app";
        executable_ = bundle / "Contents" / "MacOS" / "tessaron";
        writeExecutable(executable_);
        writeExecutable(MenuBarLoginService::companionExecutable(executable_));

        fs::create_directories(home_.supportDir());
        fs::permissions(home_.supportDir(), fs::perms::owner_all);
        giveTo(home_.supportDir(), testUid);
        DeviceCredentialStore::exportForHeadlessService("device-token");
        configuration_.machineID = "mac-1";
        configuration_.controlURL = *Url::parse("https://panel.example.com");
        configuration_.localHost = "127.0.0.1";
        giveFilesToUser();

        environment_.launchctl = (testing::standinBinDir() / "launchctl").string();
        environment_.helperStatus = [this](const AgentConfiguration& configuration, std::int32_t excluding) {
            EXPECT_EQ(configuration, configuration_);
            EXPECT_EQ(excluding, static_cast<std::int32_t>(::getpid()));
            ++statusChecks_;
            return helper_;
        };
    }

    ~LoginServices() override {
        ProcessCommandRunner runner;
        fs::remove(state_ / "launchctl" / "faults.json");
        for (const char* label : {LoginService::label, MenuBarLoginService::label})
            runner.run(environment_.launchctl, {"bootout", "gui/501/" + std::string(label)});
    }

    static void writeExecutable(const fs::path& path) {
        writeFile(path, "#!/bin/sh\nexec sleep 60\n");
        fs::permissions(path, fs::perms::owner_all);
    }

    // The process really is root; the files a user would own are given to the test user.
    void giveFilesToUser() {
        std::error_code error;
        for (const fs::path& path : {home_.supportDir(), credential(), agentPlist(), menuBarPlist()}) {
            if (fs::exists(fs::symlink_status(path, error))) giveTo(path, testUid);
        }
    }

    fs::path credential() const { return home_.supportDir() / "headless-token"; }
    fs::path agentPlist() const { return LoginService::plistPath(home_.path()); }
    fs::path menuBarPlist() const { return MenuBarLoginService::plistPath(home_.path()); }
    fs::path configurationFile() const { return home_.supportDir() / "agent.json"; }

    plist::Dictionary agentList() const {
        return LoginService::propertyList(executable_, configurationFile(), credential(), home_.path());
    }
    plist::Dictionary menuBarList() const {
        return MenuBarLoginService::propertyList(executable_, configurationFile(), credential(), home_.path());
    }

    void enable(bool replaceExisting = false) {
        LoginService::enable(executable_, configuration_, replaceExisting, environment_);
        giveFilesToUser();
    }

    CommandResult launchctl(const std::vector<std::string>& arguments) {
        ProcessCommandRunner runner;
        return runner.run(environment_.launchctl, arguments);
    }
    bool loaded(const std::string& label) { return launchctl({"print", "gui/501/" + label}).exitCode == 0; }
    // The plist path the loaded job was bootstrapped from, and the bytes it was loaded with.
    std::string loadedBytes(const std::string& label) {
        return readFile(state_ / "launchctl" / "jobs" / "gui-501" / label / "plist");
    }

    // The launchctl calls since the last clearCalls().
    std::vector<std::vector<std::string>> calls() {
        std::vector<std::vector<std::string>> out;
        const fs::path log = state_ / "launchctl" / "calls.log";
        std::error_code error;
        if (!fs::exists(log, error)) return out;
        std::string text = readFile(log);
        std::size_t start = 0;
        while (start < text.size()) {
            auto end = text.find('\n', start);
            out.push_back(json::parse(text.substr(start, end - start)).get<std::vector<std::string>>());
            start = end + 1;
        }
        return out;
    }
    void clearCalls() { fs::remove(state_ / "launchctl" / "calls.log"); }
    void injectFaults(const std::string& faults) { writeFile(state_ / "launchctl" / "faults.json", faults); }

    // Installs an older, different agent plist and loads it.
    std::string installOlderAgent() {
        plist::Dictionary older = agentList();
        older["ThrottleInterval"] = 30;
        const std::string bytes = plist::serializeXML(plist::Value(older));
        writeFile(agentPlist(), bytes);
        giveFilesToUser();
        EXPECT_EQ(launchctl({"bootstrap", "gui/501", agentPlist().string()}).exitCode, 0);
        clearCalls();
        return bytes;
    }

    testing::TempHome home_;
    testing::TempDir state_;
    testing::ScopedEnv stateEnv_;
    testing::ScopedEnv throttleEnv_;
    user::ScopedUserIdOverride uid_;
    fs::path executable_;
    AgentConfiguration configuration_;
    LoginServiceEnvironment environment_;
    AgentSupervisorStatus helper_{"stopped", std::nullopt};
    int statusChecks_ = 0;
};

using Call = std::vector<std::string>;

TEST_F(LoginServices, PropertyListsHoldExactlyTheirKeys) {
    const std::string home = home_.path().string();
    const std::string logs = home + "/Library/Logs/Tessaron/";
    const plist::Dictionary environment{{"TESSARON_CONFIG_PATH", configurationFile().string()},
                                        {"TESSARON_CREDENTIAL_PATH", credential().string()}};
    EXPECT_EQ(plist::Value(agentList()),
              plist::Value(plist::Dictionary{
                  {"Label", "com.tessaron.agent"},
                  {"ProgramArguments", plist::Array{executable_.string(), "serve"}},
                  {"WorkingDirectory", home},
                  {"EnvironmentVariables", environment},
                  {"RunAtLoad", true},
                  {"KeepAlive", true},
                  {"ThrottleInterval", 5},
                  {"ProcessType", "Background"},
                  {"StandardOutPath", logs + "agent.log"},
                  {"StandardErrorPath", logs + "agent-error.log"},
              }));
    EXPECT_EQ(plist::Value(menuBarList()),
              plist::Value(plist::Dictionary{
                  {"Label", "com.tessaron.menubar"},
                  {"ProgramArguments",
                   plist::Array{home + "/Applications/Tessaron.app/Contents/Library/LoginItems/TessaronMenuBar.app/"
                                       "Contents/MacOS/TessaronMenuBar"}},
                  {"WorkingDirectory", home},
                  {"EnvironmentVariables", environment},
                  {"LimitLoadToSessionType", "Aqua"},
                  {"RunAtLoad", true},
                  {"KeepAlive", true},
                  {"ThrottleInterval", 10},
                  {"ProcessType", "Interactive"},
                  {"StandardOutPath", logs + "menu-bar.log"},
                  {"StandardErrorPath", logs + "menu-bar-error.log"},
              }));
    // A ".." that resolves into the bundle passes, and the program path stays as given.
    const fs::path roundabout = "/Applications/Tessaron.app/Contents/MacOS/../MacOS/tessaron";
    auto list = LoginService::propertyList(roundabout, "/c/agent.json", "/c/headless-token", "/Users/ada");
    EXPECT_EQ(list.at("ProgramArguments"), plist::Value(plist::Array{roundabout.string(), "serve"}));
}

TEST_F(LoginServices, DurableBundlePathsAndInstallChecks) {
    EXPECT_EQ(LoginService::durableBundlePaths("/Users/ada"),
              (std::vector<std::string>{"/Applications/Tessaron.app", "/Users/ada/Applications/Tessaron.app"}));
    EXPECT_TRUE(LoginService::isDurablyInstalled("/Applications/Tessaron.app/", "/Users/ada"));
    EXPECT_TRUE(LoginService::isDurablyInstalled("/Users/ada/Applications/./Tessaron.app", "/Users/ada"));
    EXPECT_FALSE(LoginService::isDurablyInstalled("/Users/ada/Downloads/Tessaron.app", "/Users/ada"));
    EXPECT_FALSE(LoginService::isDurablyInstalled("/Applications/Tessaron 2.app", "/Users/ada"));

    struct Case {
        const char* name;
        fs::path executable, configuration, credential, home;
    };
    const std::string good = "/Applications/Tessaron.app/Contents/MacOS/tessaron";
    const std::vector<Case> refused = {
        {"copy in Downloads", "/Users/ada/Downloads/Tessaron.app/Contents/MacOS/tessaron", "/c/agent.json", "/c/token", "/Users/ada"},
        {"another program", "/Applications/Tessaron.app/Contents/MacOS/TessaronDesktop", "/c/agent.json", "/c/token", "/Users/ada"},
        {"another user's Applications", "/Users/bob/Applications/Tessaron.app/Contents/MacOS/tessaron", "/c/agent.json", "/c/token", "/Users/ada"},
        {"relative configuration", good, "agent.json", "/c/token", "/Users/ada"},
        {"relative credential", good, "/c/agent.json", "token", "/Users/ada"},
        {"relative home", good, "/c/agent.json", "/c/token", "Users/ada"},
        {"same file", good, "/c/agent.json", "/c/agent.json", "/Users/ada"},
        {"same file spelled differently", good, "/c/agent.json", "/c/./x/../agent.json", "/Users/ada"},
    };
    for (const auto& c : refused) {
        auto error = loginServiceError([&] { LoginService::propertyList(c.executable, c.configuration, c.credential, c.home); });
        EXPECT_EQ(error.kind(), LoginServiceError::Kind::notInstalled) << c.name;
        error = loginServiceError([&] { MenuBarLoginService::propertyList(c.executable, c.configuration, c.credential, c.home); });
        EXPECT_EQ(error.kind(), LoginServiceError::Kind::notInstalled) << c.name;
    }
}

TEST(LoginServiceEnvironment, LaunchctlPathCanBePointedAtAStandin) {
    {
        testing::ScopedEnv unset("TESSARON_LAUNCHCTL_PATH", std::nullopt);
        EXPECT_EQ(LoginServiceEnvironment().launchctl, "/bin/launchctl");
    }
    testing::ScopedEnv set("TESSARON_LAUNCHCTL_PATH", "/opt/standins/launchctl");
    EXPECT_EQ(LoginServiceEnvironment().launchctl, "/opt/standins/launchctl");
    user::ScopedUserIdOverride uid(testUid);
    EXPECT_EQ(LaunchAgentPaths::domainTarget(), "gui/501");
}

TEST_F(LoginServices, RootIsRefusedBeforeAnythingRuns) {
    user::ScopedUserIdOverride root(0);
    auto error = loginServiceError([&] { LoginService::enable(executable_, configuration_, true, environment_); });
    EXPECT_EQ(error.kind(), LoginServiceError::Kind::runAsUser);
    EXPECT_STREQ(error.what(), "Enable background hosting as your signed-in Mac user, not as root.");
    error = loginServiceError([&] { MenuBarLoginService::enable(executable_, true, environment_); });
    EXPECT_EQ(error.kind(), LoginServiceError::Kind::runAsUser);
    EXPECT_TRUE(calls().empty());
    EXPECT_FALSE(fs::exists(agentPlist()));
}

TEST_F(LoginServices, FreshEnableWritesLoadsAndRunsTheHelper) {
    enable();
    EXPECT_EQ(calls(), (std::vector<Call>{{"print", "gui/501/com.tessaron.agent"},
                                          {"bootstrap", "gui/501", agentPlist().string()}}));
    const std::string bytes = readFile(agentPlist());
    EXPECT_EQ(bytes, plist::serializeXML(plist::Value(agentList())));
    EXPECT_EQ(modeOf(agentPlist()), 0600u);
    EXPECT_EQ(modeOf(home_.path() / "Library" / "Logs" / "Tessaron"), 0700u);
    EXPECT_EQ(DeviceCredentialStore::tokenFromFile(credential()), "device-token");
    EXPECT_EQ(loadedBytes(LoginService::label), bytes);
    EXPECT_EQ(statusChecks_, 1);

    // launchd really runs `tessaron serve`.
    bool running = false;
    for (int i = 0; i < 100 && !running; ++i) {
        running = launchctl({"print", "gui/501/com.tessaron.agent"}).standardOutput.find("state = running") != std::string::npos;
        if (!running) ::usleep(50000);
    }
    EXPECT_TRUE(running);
}

TEST_F(LoginServices, IdenticalAndLoadedChangesNothing) {
    enable();
    clearCalls();
    struct stat before {};
    ASSERT_EQ(::stat(credential().c_str(), &before), 0);
    ::usleep(20000);
    enable();
    EXPECT_EQ(calls(), (std::vector<Call>{{"print", "gui/501/com.tessaron.agent"}}));
    struct stat after {};
    ASSERT_EQ(::stat(credential().c_str(), &after), 0);
    EXPECT_EQ(before.st_ino, after.st_ino) << "the credential must not be rewritten";
    EXPECT_EQ(statusChecks_, 1);
}

// Another tool may write the same definition with other number elements (<real>5.0 for
// <integer>5, <integer>1 for <true/>); the platform reads them as equal, and so do we.
TEST_F(LoginServices, TheSameValuesWrittenWithOtherNumberElementsAreIdentical) {
    enable();
    plist::Dictionary rewritten = agentList();
    rewritten["ThrottleInterval"] = static_cast<double>(*rewritten.at("ThrottleInterval").integer());
    rewritten["KeepAlive"] = 1;
    rewritten["RunAtLoad"] = 1.0;
    writeFile(agentPlist(), plist::serializeXML(plist::Value(rewritten)));
    giveFilesToUser();
    clearCalls();
    enable(false);
    EXPECT_EQ(calls(), (std::vector<Call>{{"print", "gui/501/com.tessaron.agent"}}));
}

TEST_F(LoginServices, IdenticalButNotLoadedIsLoaded) {
    enable();
    ASSERT_EQ(launchctl({"bootout", "gui/501/com.tessaron.agent"}).exitCode, 0);
    clearCalls();
    enable();
    EXPECT_EQ(calls(), (std::vector<Call>{{"print", "gui/501/com.tessaron.agent"},
                                          {"bootstrap", "gui/501", agentPlist().string()}}));
    EXPECT_TRUE(loaded(LoginService::label));
}

TEST_F(LoginServices, ADifferentPlistNeedsConsentThenIsReplaced) {
    const std::string older = installOlderAgent();
    auto error = loginServiceError([&] { enable(false); });
    EXPECT_EQ(error.kind(), LoginServiceError::Kind::needsReplacementConsent);
    EXPECT_EQ(readFile(agentPlist()), older);
    EXPECT_EQ(calls(), (std::vector<Call>{{"print", "gui/501/com.tessaron.agent"}}));

    // A plist that does not even parse counts as different too.
    writeFile(agentPlist(), "garbage");
    giveFilesToUser();
    EXPECT_EQ(loginServiceError([&] { enable(false); }).kind(), LoginServiceError::Kind::needsReplacementConsent);
    writeFile(agentPlist(), older);
    giveFilesToUser();

    clearCalls();
    helper_ = {"running", std::nullopt};  // the loaded agent's own helper
    enable(true);
    EXPECT_EQ(calls(), (std::vector<Call>{{"print", "gui/501/com.tessaron.agent"},
                                          {"bootout", "gui/501/com.tessaron.agent"},
                                          {"bootstrap", "gui/501", agentPlist().string()}}));
    EXPECT_EQ(readFile(agentPlist()), plist::serializeXML(plist::Value(agentList())));
    EXPECT_EQ(loadedBytes(LoginService::label), readFile(agentPlist()));
}

TEST_F(LoginServices, UnsafeExistingPlistsAreRefused) {
    const fs::path elsewhere = home_.path() / "elsewhere.plist";
    writeFile(elsewhere, plist::serializeXML(plist::Value(agentList())));
    giveTo(elsewhere, testUid);
    fs::create_directories(agentPlist().parent_path());

    fs::create_symlink(elsewhere, agentPlist());
    giveFilesToUser();
    EXPECT_EQ(loginServiceError([&] { enable(true); }).kind(), LoginServiceError::Kind::unsafeFile);
    fs::remove(agentPlist());

    writeFile(agentPlist(), readFile(elsewhere));  // owned by root, not by the user
    auto error = loginServiceError([&] { LoginService::enable(executable_, configuration_, true, environment_); });
    EXPECT_EQ(error.kind(), LoginServiceError::Kind::unsafeFile);
    EXPECT_STREQ(error.what(),
                 "The existing Tessaron login service has unexpected ownership or file type. It was not replaced.");
    EXPECT_FALSE(loaded(LoginService::label));
    fs::remove(agentPlist());

    // A dangling link counts as no plist.
    fs::create_symlink(home_.path() / "missing.plist", agentPlist());
    enable(false);
    EXPECT_FALSE(fs::is_symlink(agentPlist()));
    EXPECT_TRUE(loaded(LoginService::label));
}

TEST_F(LoginServices, AnotherRunningHelperIsRefused) {
    helper_ = {"running", std::nullopt};
    auto error = loginServiceError([&] { enable(true); });
    EXPECT_EQ(error.kind(), LoginServiceError::Kind::existingHelper);
    EXPECT_STREQ(error.what(),
                 "A connection helper is already running outside this login service. Close the older app before "
                 "enabling background hosting.");
    helper_ = {"unknown", "Could not identify an existing connection helper safely."};
    error = loginServiceError([&] { enable(true); });
    EXPECT_STREQ(error.what(), "Could not identify an existing connection helper safely.");
    EXPECT_FALSE(fs::exists(agentPlist()));
    EXPECT_FALSE(fs::exists(home_.path() / "Library" / "Logs"));
}

TEST_F(LoginServices, MissingCredentialChangesNothing) {
    fs::remove(credential());
    EXPECT_THROW(enable(), DeviceCredentialError);
    EXPECT_FALSE(fs::exists(agentPlist()));
    EXPECT_FALSE(fs::exists(home_.path() / "Library" / "Logs"));
    EXPECT_FALSE(fs::exists(credential()));
}

TEST_F(LoginServices, FailingBootoutStopsBeforeAnyChange) {
    const std::string older = installOlderAgent();
    injectFaults(R"([{"command": "bootout", "stderr": "Boot-out failed: 5: Input/output error\n", "exitCode": 5}])");
    auto error = loginServiceError([&] { enable(true); });
    EXPECT_EQ(error.kind(), LoginServiceError::Kind::operationFailed);
    EXPECT_EQ(error.what(), replaceFailedText);
    EXPECT_EQ(readFile(agentPlist()), older);
    EXPECT_TRUE(loaded(LoginService::label));
}

TEST_F(LoginServices, FailingBootstrapRestoresTheOldAgent) {
    const std::string older = installOlderAgent();
    // Put a different token in place: the old credential bytes must come back.
    fs::remove(credential());
    writeFile(credential(), "  old-token\n");
    fs::permissions(credential(), fs::perms::owner_read | fs::perms::owner_write);
    giveFilesToUser();
    injectFaults(R"([{"command": "bootstrap", "exitCode": 5, "times": 1}])");

    auto error = loginServiceError([&] { enable(true); });
    EXPECT_EQ(error.what(), startFailedText + restoredText);
    EXPECT_EQ(readFile(agentPlist()), older);
    EXPECT_EQ(modeOf(agentPlist()), 0600u);
    EXPECT_EQ(readFile(credential()), "  old-token\n");
    EXPECT_EQ(calls(), (std::vector<Call>{{"print", "gui/501/com.tessaron.agent"},
                                          {"bootout", "gui/501/com.tessaron.agent"},
                                          {"bootstrap", "gui/501", agentPlist().string()},
                                          {"bootstrap", "gui/501", agentPlist().string()}}));
    EXPECT_EQ(loadedBytes(LoginService::label), older);
}

TEST_F(LoginServices, FailingRecoveryIsReported) {
    installOlderAgent();
    injectFaults(R"([{"command": "bootstrap", "exitCode": 5}])");
    auto error = loginServiceError([&] { enable(true); });
    EXPECT_EQ(error.what(), startFailedText +
                                " Recovery also failed: The previous background service could not be restarted. Your VM "
                                "and files were not removed.");
    EXPECT_FALSE(loaded(LoginService::label));
}

TEST_F(LoginServices, FailingFirstInstallRemovesTheNewPlist) {
    injectFaults(R"([{"command": "bootstrap", "exitCode": 5}])");
    auto error = loginServiceError([&] { enable(); });
    EXPECT_EQ(error.what(), startFailedText + restoredText);
    EXPECT_FALSE(fs::exists(agentPlist()));
    giveFilesToUser();
    EXPECT_EQ(DeviceCredentialStore::tokenFromFile(credential()), "device-token");
    // Only one bootstrap: nothing was loaded before, so nothing is restarted.
    EXPECT_EQ(calls().size(), 2u);
}

TEST_F(LoginServices, LaunchctlThatCannotRunGoesToRollbackOnlyAfterChanges) {
    environment_.launchctl = (home_.path() / "no-launchctl").string();
    EXPECT_THROW(enable(), LaunchError);  // print: before any change
    EXPECT_FALSE(fs::exists(agentPlist()));

    environment_.launchctl = (testing::standinBinDir() / "launchctl").string();
    LaunchFailingRunner runner("bootstrap");
    environment_.runner = &runner;
    auto error = loginServiceError([&] { enable(); });
    EXPECT_EQ(error.what(), std::string("The file \u201claunchctl\u201d doesn\u2019t exist.") + restoredText);
    EXPECT_FALSE(fs::exists(agentPlist()));
}

TEST_F(LoginServices, MenuBarCompanionInstallsAndReplaces) {
    MenuBarLoginService::enable(executable_, false, environment_);
    giveFilesToUser();
    EXPECT_EQ(calls(), (std::vector<Call>{{"print", "gui/501/com.tessaron.menubar"},
                                          {"bootstrap", "gui/501", menuBarPlist().string()}}));
    EXPECT_EQ(readFile(menuBarPlist()), plist::serializeXML(plist::Value(menuBarList())));
    EXPECT_EQ(modeOf(menuBarPlist()), 0600u);
    EXPECT_EQ(statusChecks_, 0);

    clearCalls();
    MenuBarLoginService::enable(executable_, false, environment_);
    EXPECT_EQ(calls(), (std::vector<Call>{{"print", "gui/501/com.tessaron.menubar"}}));

    plist::Dictionary older = menuBarList();
    older["ThrottleInterval"] = 30;
    writeFile(menuBarPlist(), plist::serializeXML(plist::Value(older)));
    giveFilesToUser();
    auto error = loginServiceError([&] { MenuBarLoginService::enable(executable_, false, environment_); });
    EXPECT_EQ(error.kind(), LoginServiceError::Kind::needsReplacementConsent);
    clearCalls();
    MenuBarLoginService::enable(executable_, true, environment_);
    EXPECT_EQ(calls(), (std::vector<Call>{{"print", "gui/501/com.tessaron.menubar"},
                                          {"bootout", "gui/501/com.tessaron.menubar"},
                                          {"bootstrap", "gui/501", menuBarPlist().string()}}));
}

TEST_F(LoginServices, MenuBarFailuresAndRollback) {
    // No companion in the bundle.
    const fs::path companion = MenuBarLoginService::companionExecutable(executable_);
    fs::permissions(companion, fs::perms::owner_read | fs::perms::owner_write);
    auto error = loginServiceError([&] { MenuBarLoginService::enable(executable_, true, environment_); });
    EXPECT_EQ(error.what(), std::string("Background hosting is enabled, but this app bundle has no menu-bar companion. "
                                        "Install the current Tessaron app."));
    EXPECT_TRUE(calls().empty());
    fs::permissions(companion, fs::perms::owner_all);

    // Loaded older companion; bootout refused.
    plist::Dictionary older = menuBarList();
    older["ThrottleInterval"] = 30;
    const std::string olderBytes = plist::serializeXML(plist::Value(older));
    writeFile(menuBarPlist(), olderBytes);
    giveFilesToUser();
    ASSERT_EQ(launchctl({"bootstrap", "gui/501", menuBarPlist().string()}).exitCode, 0);
    injectFaults(R"([{"command": "bootout", "exitCode": 5, "times": 1}])");
    error = loginServiceError([&] { MenuBarLoginService::enable(executable_, true, environment_); });
    EXPECT_EQ(error.what(), std::string("Could not update the menu-bar companion. Background hosting was not changed."));
    EXPECT_EQ(readFile(menuBarPlist()), olderBytes);

    // Bootstrap refused: the old plist comes back and is loaded again; the error is unchanged.
    injectFaults(R"([{"command": "bootstrap", "exitCode": 5, "times": 1}])");
    error = loginServiceError([&] { MenuBarLoginService::enable(executable_, true, environment_); });
    EXPECT_EQ(error.what(), std::string("macOS could not open the menu-bar companion. Background hosting is still enabled."));
    EXPECT_EQ(readFile(menuBarPlist()), olderBytes);
    EXPECT_EQ(loadedBytes(MenuBarLoginService::label), olderBytes);

    // Without an older plist, the new one is removed again.
    ASSERT_EQ(launchctl({"bootout", "gui/501/com.tessaron.menubar"}).exitCode, 0);
    fs::remove(menuBarPlist());
    injectFaults(R"([{"command": "bootstrap", "exitCode": 5, "times": 1}])");
    EXPECT_EQ(loginServiceError([&] { MenuBarLoginService::enable(executable_, true, environment_); }).kind(),
              LoginServiceError::Kind::operationFailed);
    EXPECT_FALSE(fs::exists(menuBarPlist()));
}

}  // namespace
}  // namespace tessaron
