// The two pairing flows run in-process against the loopback panel and the stand-in
// limactl, with the wait between polls replaced by a hook that acts as the panel's user
// (approves, injects an answer) so that every sequence is deterministic and fast.
// Standard output is captured around each run. The built program's runs are in
// tests/e2e/pairing_e2e_test.cpp.

#include "cli/cli_options.h"
#include "cli/legacy_pairing.h"
#include "cli/setup_pairing.h"
#include "cli/vm_resource_lock.h"
#include "host/agent_configuration.h"
#include "host/device_credential_store.h"
#include "host/hardware_support.h"
#include "host/json.h"
#include "panel/control_panel_client.h"
#include "panel/receipt_store.h"
#include "panel/setup_progress.h"
#include "panel/setup_records.h"
#include "support/limactl_standin.h"
#include "support/panel_process.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fcntl.h>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace tessaron {
namespace {

namespace fs = std::filesystem;
using cli::CLIOptions;
using testing::PanelProcess;

// An eligible Mac for the hardware check.
std::string eligibleMac() {
    return json::encode(HardwareSnapshot{"arm64", "Apple M2 Pro", "Mac14,12", 10, 16ull << 30, 14}.toJson());
}

// Redirects standard output (descriptor 1) into a file until finish().
class CapturedOutput {
public:
    CapturedOutput() {
        std::fflush(stdout);
        saved_ = ::dup(STDOUT_FILENO);
        const int fd = ::open((dir_.path() / "stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ::dup2(fd, STDOUT_FILENO);
        ::close(fd);
    }
    ~CapturedOutput() { restore(); }
    std::string finish() {
        restore();
        return testing::readFile(dir_.path() / "stdout");
    }

private:
    void restore() {
        if (saved_ < 0) return;
        std::fflush(stdout);
        ::dup2(saved_, STDOUT_FILENO);
        ::close(saved_);
        saved_ = -1;
    }
    testing::TempDir dir_;
    int saved_ = -1;
};

struct Outcome {
    std::string output;
    std::optional<std::string> error;  // the message of the error that ended the run
    // The output with each progress line replaced by "STATE <stage>".
    std::vector<std::string> lines() const {
        std::vector<std::string> result;
        std::istringstream stream(output);
        for (std::string line; std::getline(stream, line);) {
            if (auto progress = SetupProgressEvent::decode(line)) result.push_back("STATE " + progress->stage);
            else result.push_back(line);
        }
        return result;
    }
};

using Lines = std::vector<std::string>;

class PairingFlow : public ::testing::Test {
protected:
    testing::TempHome home;
    testing::StandinLimaHome lima;
    testing::ScopedEnv hardware{standinHardwareVariable, eligibleMac()};
    testing::PanelProcess panel;
    int pauses = 0;

    std::vector<std::string> arguments(std::vector<std::string> extra) const {
        std::vector<std::string> words = {"--control", panel.base(), "--limactl", testing::limactlPath().string()};
        words.insert(words.end(), extra.begin(), extra.end());
        return words;
    }

    // Runs pair() with `words` as they stand; `onPause` runs at each wait between polls.
    Outcome runRaw(const std::vector<std::string>& words, bool createVM, std::function<void(int)> onPause = {}) {
        Outcome outcome;
        pauses = 0;
        CapturedOutput capture;
        try {
            cli::pair(CLIOptions(words), createVM, [&] {
                ++pauses;
                if (pauses > 20) throw std::runtime_error("too many polls");
                if (onPause) onPause(pauses);
            });
        } catch (const std::exception& error) {
            outcome.error = error.what();
        }
        outcome.output = capture.finish();
        return outcome;
    }
    Outcome run(std::vector<std::string> extra, bool createVM, std::function<void(int)> onPause = {}) {
        return runRaw(arguments(std::move(extra)), createVM, std::move(onPause));
    }
    // Approves the latest setup at the first wait.
    std::function<void(int)> approveAtFirstPause() {
        return [this](int pause) {
            if (pause == 1) panel.approveSetup();
        };
    }

    fs::path pendingFile() const { return home.supportDir() / "pending-setup.json"; }
    json::Json reported() { return panel.setupState()["reported"]; }
    bool limactlRan(const std::string& subcommand) const {
        const auto calls = lima.calls();
        return std::any_of(calls.begin(), calls.end(), [&](const auto& call) { return call.at(0) == subcommand; });
    }
};

std::vector<std::string> approvalLines(const std::string& code, const std::string& link) {
    return {"Approve this Mac in the web panel with code: " + code, "Setup link: " + link,
            "Waiting for account approval before creating Linux\u2026"};
}

TEST_F(PairingFlow, RefusalsBeforeThePanelIsAskedLeaveNoTrace) {
    struct Case {
        std::string name;
        std::vector<std::string> words;
        std::string message;
        std::function<void()> prepare;
    };
    const std::string base = panel.base();
    const std::string limactl = testing::limactlPath().string();
    const std::string unsupported =
        HardwareSupport::evaluate(HardwareSnapshot{"x86_64", "Intel Core i7", "MacBookPro15,1", 8, 16ull << 30, 14})
            .explanation() +
        "\nYou can still use the web panel on this computer to manage a compatible Mac.";
    const std::vector<Case> cases = {
        {"bare control", {"--control", "--limactl", limactl}, "Missing required option --control.", {}},
        {"no control", {"--limactl", limactl}, "Missing required option --control.", {}},
        {"not a URL", {"--control", "panel.example", "--limactl", limactl}, "Enter your HTTPS panel address.", {}},
        {"plain http to a remote panel",
         {"--control", "http://panel.example", "--limactl", limactl},
         "Use an HTTPS Tessaron panel address without a path or password.",
         {}},
        {"a path", {"--control", base + "/sub", "--limactl", limactl},
         "Use an HTTPS Tessaron panel address without a path or password.", {}},
        {"a user and password", {"--control", "https://me:pw@panel.example", "--limactl", limactl},
         "Use an HTTPS Tessaron panel address without a path or password.", {}},
        {"profile", {"--control", base, "--limactl", limactl, "--profile", "turbo"},
         "Invalid --profile: use eco, balanced, or performance.", {}},
        // The approval would be used up by a pairing that cannot be saved.
        {"a Tessaron folder open to others",
         {"--control", base, "--limactl", limactl},
         DeviceCredentialError::description(DeviceCredentialError::Kind::unsafeFile),
         [] {
             const fs::path support = AgentConfigurationStore::defaultURL().parent_path();
             fs::create_directories(support);
             ::chmod(support.c_str(), 0755);
         }},
        {"unsupported hardware",
         {"--control", base, "--limactl", limactl},
         unsupported,
         [] {
             ::setenv(standinHardwareVariable,
                      json::encode(HardwareSnapshot{"x86_64", "Intel Core i7", "MacBookPro15,1", 8, 16ull << 30, 14}
                                       .toJson())
                          .c_str(),
                      1);
         }},
        {"already paired",
         {"--control", base, "--limactl", limactl},
         "This Mac is already linked. Use the web panel or reconnect public access; its existing server was preserved.",
         [] {
             AgentConfigurationStore::save(
                 AgentConfiguration{"mac-1", *Url::parse("https://panel.example"), {}, "127.0.0.1", "tessaron", "wireguard"});
         }},
        {"setup of another panel saved",
         {"--control", base, "--limactl", limactl},
         "A setup for another panel is saved. Finish it before starting another setup; your VM was not changed.",
         [] {
             SetupTicket ticket{"setup_" + std::string(36, 'a'), "ABCDEF012345", std::string(40, 's'), 1e9,
                                *Url::parse("https://other.example/console/connect?setup=x")};
             SetupSessionStore::save(PendingSetup(ticket, *Url::parse("https://other.example"), 2, 4));
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        testing::TempHome caseHome;
        testing::ScopedEnv caseHardware(standinHardwareVariable, eligibleMac());
        if (c.prepare) c.prepare();
        const bool hadPending = fs::exists(caseHome.supportDir() / "pending-setup.json");
        panel.admin("DELETE", "/_admin/requests");
        for (bool createVM : {true, false}) {
            const Outcome outcome = runRaw(c.words, createVM);
            EXPECT_EQ(outcome.error, c.message);
            EXPECT_EQ(outcome.output, "");
        }
        EXPECT_EQ(panel.requests().size(), 0u) << "nothing reaches the panel";
        EXPECT_EQ(fs::exists(caseHome.supportDir() / "pending-setup.json"), hadPending);
        EXPECT_FALSE(limactlRan("start"));
    }
    // A disk size that onboard could not use is told before the panel is asked.
    {
        testing::TempHome caseHome;
        panel.admin("DELETE", "/_admin/requests");
        const Outcome outcome = run({"--disk-gib", "9"}, true);
        EXPECT_EQ(outcome.error, "Invalid --disk-gib: enter a whole number of at least 10.");
        EXPECT_EQ(outcome.output, "");
        EXPECT_EQ(panel.requests().size(), 0u);
        EXPECT_FALSE(fs::exists(caseHome.supportDir() / "pending-setup.json"));
    }
    // Already paired is told before the VM lock is even taken: a held lock does not matter.
    {
        AgentConfigurationStore::save(
            AgentConfiguration{"mac-1", *Url::parse("https://panel.example"), {}, "127.0.0.1", "tessaron", "wireguard"});
        cli::VMResourceLockHold held(true, true);
        EXPECT_EQ(run({}, true).error,
                  "This Mac is already linked. Use the web panel or reconnect public access; its existing server was "
                  "preserved.");
        AgentConfigurationStore::forget();
        EXPECT_EQ(run({}, true).error,
                  "Another resource or connection operation is already running. Wait for it to finish.");
    }
    // A damaged configuration is not taken for an unpaired Mac.
    testing::writeFile(home.supportDir() / "agent.json", "{not json");
    ::chmod((home.supportDir() / "agent.json").c_str(), 0600);
    const Outcome damaged = run({}, true);
    ASSERT_TRUE(damaged.error);
    EXPECT_EQ(damaged.error->find("already linked"), std::string::npos);
    EXPECT_EQ(panel.requests().size(), 0u);
}

TEST_F(PairingFlow, OnboardKeepsAStoppedVMAndStartsIt) {
    ASSERT_EQ(lima.create("tessaron").exitCode, 0);
    ASSERT_EQ(lima.run({"stop", "tessaron"}).exitCode, 0);
    lima.clearCalls();

    // --cpus and --memory-gib are not read while a VM exists, --disk-gib not while it is kept.
    const Outcome outcome = run({"--cpus", "3", "--memory-gib", "3", "--disk-gib", "9", "--name", "Studio"}, true,
                                approveAtFirstPause());
    ASSERT_EQ(outcome.error, std::nullopt) << outcome.output;
    const json::Json setup = panel.setupState();
    Lines expected = approvalLines(setup["code"], panel.base() + "/console/connect?setup=" + std::string(setup["id"]));
    Lines tail = {"STATE awaiting_account",
                  "STATE approved",
                  "Account approved. Preparing your Linux server\u2026",
                  "STATE creating_vm",
                  "Keeping your existing Linux VM, files and resources.",
                  "STATE linking",
                  "STATE complete",
                  "Paired. Your Mac is linked; background hosting can now connect."};
    expected.insert(expected.end(), tail.begin(), tail.end());
    EXPECT_EQ(outcome.lines(), expected);
    EXPECT_EQ(pauses, 1);

    // The VM's own size went to the panel.
    EXPECT_EQ(setup["profile"], (json::Json{{"name", "Studio"},
                                            {"chip", "Apple M2 Pro"},
                                            {"modelIdentifier", "Mac14,12"},
                                            {"cpuCores", 10},
                                            {"memoryGiB", 16},
                                            {"allocatedCpu", 2},
                                            {"allocatedMemoryGiB", 4}}));
    EXPECT_EQ(setup["reported"], (json::Json{"creating_vm", "linking", "complete"}));
    EXPECT_EQ(lima.run({"list", "tessaron", "--format", "{{.Status}}"}).standardOutput, "Running\n");
    EXPECT_FALSE(limactlRan("edit"));
    const auto intent = VMPowerIntentFileStore::forThisMac().load();
    ASSERT_TRUE(intent);
    EXPECT_EQ(intent->desired, "running");

    const AgentConfiguration saved = AgentConfigurationStore::load();
    EXPECT_EQ(saved, (AgentConfiguration{setup["machineId"], *Url::parse(panel.base()), {}, "127.0.0.1", "tessaron",
                                         "wireguard"}));
    EXPECT_EQ(DeviceCredentialStore::tokenFromFile(DeviceCredentialStore::headlessURL()),
              std::string(setup["deviceToken"]));
    EXPECT_FALSE(fs::exists(pendingFile()));
    cli::VMResourceLockHold again(true, false);  // throws while the run still held it
    EXPECT_GE(again.descriptor(), 0);
}

TEST_F(PairingFlow, KeptVMInAnotherStateStopsTheRunAndTellsThePanel) {
    ASSERT_EQ(lima.create("tessaron").exitCode, 0);
    lima.writeFaults(R"([{"argv": ["list", "tessaron", "--format", "{{.Status}}"], "effect": "status", "status": "Starting"}])");
    const Outcome outcome = run({}, false, approveAtFirstPause());
    EXPECT_EQ(outcome.error, "Linux is Starting. Wait for its current operation to finish, then resume setup.");
    const Lines lines = outcome.lines();
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(Lines(lines.end() - 3, lines.end()),
              (Lines{"STATE creating_vm", "Keeping your existing Linux VM, files and resources.", "STATE failed"}));
    EXPECT_EQ(reported(), (json::Json{"creating_vm", "failed"}));
    EXPECT_TRUE(fs::exists(pendingFile())) << "the setup is kept for the next run";
    EXPECT_THROW(AgentConfigurationStore::load(), AgentConfigurationError);
}

TEST_F(PairingFlow, AnInterruptedDownloadFailsPairButOnboardStartsItAgain) {
    ASSERT_EQ(lima.create("tessaron").exitCode, 0);
    ASSERT_EQ(lima.run({"stop", "tessaron"}).exitCode, 0);
    fs::remove(lima.instanceDir("tessaron") / "diffdisk");
    lima.clearCalls();

    const Outcome paired = run({}, false, approveAtFirstPause());
    EXPECT_EQ(paired.error,
              "Your existing VM could not be found. Its setup was preserved; use Create your server to continue.");
    EXPECT_EQ(paired.lines().back(), "STATE failed");
    EXPECT_EQ(reported(), (json::Json{"creating_vm", "failed"}));
    EXPECT_FALSE(limactlRan("start"));

    // The same setup, resumed by onboard: the stage "failed" counts as approved.
    lima.clearCalls();
    const Outcome onboard = run({"--disk-gib", "abc"}, true);
    ASSERT_EQ(onboard.error, std::nullopt) << onboard.output;
    const json::Json setup = panel.setupState();
    Lines expected = {"Resuming your saved setup. Existing Linux files will be preserved."};
    for (const auto& line : approvalLines(setup["code"], panel.base() + "/console/connect?setup=" + std::string(setup["id"])))
        expected.push_back(line);
    for (const char* line :
         {"STATE failed", "Account approved. Preparing your Linux server\u2026", "STATE creating_vm",
          "The last setup stopped before your Linux server was downloaded. Starting it again \u2014 nothing was "
          "created, so nothing is lost.",
          "STATE linking", "STATE complete", "Paired. Your Mac is linked; background hosting can now connect."})
        expected.push_back(line);
    EXPECT_EQ(onboard.lines(), expected);
    EXPECT_EQ(pauses, 0) << "no wait when the panel has already approved";
    EXPECT_EQ(lima.calls().back(), (std::vector<std::string>{"start", "--yes", "tessaron"}));
}

TEST_F(PairingFlow, AnInterruptedSetupResumesAndCreatesTheVMWithTheSavedSize) {
    const Outcome first = run({"--cpus", "2", "--memory-gib", "2", "--disk-gib", "12", "--vm-template", "template://x"},
                              true, [](int) { throw std::runtime_error("interrupted"); });
    EXPECT_EQ(first.error, "interrupted");
    EXPECT_FALSE(limactlRan("start"));
    ASSERT_TRUE(fs::exists(pendingFile()));
    const PendingSetup saved = *SetupSessionStore::load();
    EXPECT_EQ(saved.requestedCPU(), 2);
    EXPECT_EQ(saved.requestedMemoryGiB(), 2);
    const json::Json profile = panel.setupState()["profile"];
    EXPECT_EQ(profile["allocatedCpu"], 2);
    EXPECT_EQ(profile["allocatedMemoryGiB"], 2);

    // The resuming run asks for more; the VM gets what the setup started with.
    const Outcome second = run({"--cpus", "3", "--memory-gib", "3", "--disk-gib", "+12"}, true, approveAtFirstPause());
    ASSERT_EQ(second.error, std::nullopt) << second.output;
    EXPECT_EQ(second.lines().front(), "Resuming your saved setup. Existing Linux files will be preserved.");
    const auto calls = lima.calls();
    const auto create = std::find_if(calls.begin(), calls.end(), [](const auto& call) {
        return call.size() > 2 && call[0] == "start" && call[2] == "--name=tessaron";
    });
    ASSERT_NE(create, calls.end());
    EXPECT_NE(std::find(create->begin(), create->end(), "--cpus=2"), create->end());
    EXPECT_NE(std::find(create->begin(), create->end(), "--memory=2"), create->end());
    EXPECT_NE(std::find(create->begin(), create->end(), "--disk=12"), create->end());
    EXPECT_EQ(panel.setupState()["reported"], (json::Json{"resume", "creating_vm", "linking", "complete"}));
    EXPECT_EQ(AgentConfigurationStore::load().machineID, std::string(panel.setupState()["machineId"]));
}

TEST_F(PairingFlow, ASetupFinishedAtThePanelButNotSavedLocallyFinishesWithoutTheVM) {
    ASSERT_EQ(lima.create("tessaron").exitCode, 0);
    {
        // The credential cannot be written: the panel has linked the Mac, this Mac has not.
        testing::TempDir shared;
        ::chmod(shared.path().c_str(), 0700);
        testing::ScopedEnv credential("TESSARON_CREDENTIAL_PATH", (shared.path() / "token").string());
        // The folder was fine when the run began and is opened to others while it waits.
        const Outcome failed = run({}, false, [&](int pause) {
            if (pause != 1) return;
            ::chmod(shared.path().c_str(), 0755);
            panel.approveSetup();
        });
        ASSERT_TRUE(failed.error);
        EXPECT_FALSE(fs::exists(shared.path() / "token"));
        EXPECT_EQ(failed.lines().back(), "STATE complete");
        EXPECT_EQ(reported(), (json::Json{"creating_vm", "linking", "complete"})) << "not reported as failed";
        EXPECT_TRUE(fs::exists(pendingFile()));
        EXPECT_FALSE(fs::exists(home.supportDir() / "agent.json"));
    }
    lima.clearCalls();
    const Outcome resumed = run({}, false);
    ASSERT_EQ(resumed.error, std::nullopt) << resumed.output;
    const json::Json setup = panel.setupState();
    Lines expected = {"Resuming your saved setup. Existing Linux files will be preserved."};
    for (const auto& line : approvalLines(setup["code"], panel.base() + "/console/connect?setup=" + std::string(setup["id"])))
        expected.push_back(line);
    expected.push_back("STATE complete");
    expected.push_back("Paired. Your Mac is linked; background hosting can now connect.");
    EXPECT_EQ(resumed.lines(), expected);
    EXPECT_EQ(pauses, 0);
    for (const auto& call : lima.calls()) EXPECT_EQ(call.at(0), "list") << "no VM step";
    EXPECT_EQ(DeviceCredentialStore::tokenFromFile(DeviceCredentialStore::headlessURL()),
              std::string(setup["deviceToken"]));
    EXPECT_EQ(AgentConfigurationStore::load().machineID, std::string(setup["machineId"]));
    EXPECT_FALSE(fs::exists(pendingFile()));
}

TEST_F(PairingFlow, AFinalAnswerWithoutAUsableMachineIsNotSaved) {
    ASSERT_EQ(lima.create("tessaron").exitCode, 0);
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"", "Setup is not yet linked. Return to the app and retry."},
        // It would be sent as a header of the tunnel's upgrade request.
        {"mac-1\r\nX-Injected: yes", "The panel returned an invalid machine ID."},
    };
    for (const auto& [machineId, message] : cases) {
        SCOPED_TRACE(machineId);
        testing::TempHome caseHome;
        const Outcome outcome = run({}, false, [this, machineId = machineId](int pause) {
            if (pause != 1) return;
            const std::string id = panel.waitForSetup();
            panel.injectFault({{"path", "/api/tessaron/agent/setup/" + id},
                               {"method", "GET"},
                               {"status", 200},
                               {"body", {{"stage", "complete"}, {"machineId", machineId}}}});
        });
        EXPECT_EQ(outcome.error, message);
        EXPECT_EQ(outcome.lines().back(), "STATE complete");
        EXPECT_TRUE(fs::exists(caseHome.supportDir() / "pending-setup.json"));
        EXPECT_FALSE(fs::exists(caseHome.supportDir() / "agent.json"));
        EXPECT_FALSE(fs::exists(caseHome.supportDir() / "headless-token"));
        EXPECT_EQ(reported(), json::Json::array()) << "neither the VM phase nor a failure was reported";
    }
}

TEST_F(PairingFlow, DiskSizeAndProfileOptions) {
    using cli::pairing_options::diskGiB;
    const std::vector<std::pair<std::vector<std::string>, std::optional<std::int64_t>>> disks = {
        {{}, 40},
        {{"--disk-gib"}, 40},
        {{"--disk-gib", "10"}, 10},
        {{"--disk-gib", "+12"}, 12},
        {{"--disk-gib", "0100"}, 100},
        {{"--disk-gib", "9"}, std::nullopt},
        {{"--disk-gib", "-12"}, std::nullopt},
        {{"--disk-gib", ""}, std::nullopt},
        {{"--disk-gib", "+"}, std::nullopt},
        {{"--disk-gib", "12.5"}, std::nullopt},
        {{"--disk-gib", " 12"}, std::nullopt},
        {{"--disk-gib", "99999999999999999999"}, std::nullopt},
    };
    for (const auto& [words, expected] : disks) {
        SCOPED_TRACE(::testing::PrintToString(words));
        if (expected) {
            EXPECT_EQ(diskGiB(CLIOptions(words)), *expected);
        } else {
            try {
                diskGiB(CLIOptions(words));
                ADD_FAILURE() << "accepted";
            } catch (const cli::CLIError& error) {
                EXPECT_STREQ(error.what(), "Invalid --disk-gib: enter a whole number of at least 10.");
            }
        }
    }
    using cli::pairing_options::profile;
    EXPECT_EQ(profile(CLIOptions()), ResourceProfile::balanced);
    EXPECT_EQ(profile(CLIOptions({"--profile"})), ResourceProfile::balanced);
    EXPECT_EQ(profile(CLIOptions({"--profile", "ECO"})), ResourceProfile::eco);
    EXPECT_EQ(profile(CLIOptions({"--profile", "Performance"})), ResourceProfile::performance);
    EXPECT_THROW(profile(CLIOptions({"--profile", " eco"})), cli::CLIError);
    EXPECT_THROW(profile(CLIOptions({"--profile", ""})), cli::CLIError);
}

// ---- the pairing-code flow ----

class LegacyFlow : public PairingFlow {
protected:
    Outcome legacy(std::vector<std::string> extra, bool createVM, std::function<void(int)> onPause = {}) {
        Outcome outcome;
        pauses = 0;
        CapturedOutput capture;
        try {
            cli::pair(CLIOptions(arguments(std::move(extra))), createVM, [&] {
                ++pauses;
                if (pauses > 20) throw std::runtime_error("too many polls");
                if (onPause) onPause(pauses);
            });
        } catch (const std::exception& error) {
            outcome.error = error.what();
        }
        outcome.output = capture.finish();
        return outcome;
    }
    std::function<void(int)> approveCodeAtFirstPause(std::vector<std::string> edges = {}) {
        return [this, edges](int pause) {
            if (pause == 1) panel.approvePairingCode("latest", edges);
        };
    }
    std::string expectedOutput() {
        const std::string code = panel.admin("GET", "/_admin/pairing-codes/latest").body["code"];
        return "\nPair this Mac in the Tessaron dashboard with code: " + code +
               "\nWaiting for approval\u2026\nPaired. Your connection is saved privately on this Mac; run `tessaron "
               "serve` to connect. No Keychain permission is needed.\n";
    }
};

TEST_F(LegacyFlow, RefusalsBeforeAnyCode) {
    ASSERT_EQ(lima.create("tessaron").exitCode, 0);
    struct Case {
        std::vector<std::string> words;
        bool createVM;
        std::string message;
    };
    const std::string limactl = testing::limactlPath().string();
    const std::vector<Case> cases = {
        {{"--transport", "legacy", "--cpus", "2"}, false,
         "Pairing preserves your existing VM. Change its allocation with `tessaron vm resize --cpus N --memory-gib N "
         "--restart`, then pair it."},
        {{"--legacy-pairing", "--memory-gib"}, false,
         "Pairing preserves your existing VM. Change its allocation with `tessaron vm resize --cpus N --memory-gib N "
         "--restart`, then pair it."},
        {{"--legacy-pairing", "--cpus"}, true, "Missing required option --cpus."},
        {{"--legacy-pairing", "yes", "--cpus", "2", "--memory-gib"}, true, "Missing required option --memory-gib."},
        {{"--legacy-pairing", "--profile", "max"}, false, "Invalid --profile: use eco, balanced, or performance."},
        {{"--legacy-pairing", "--transport", "udp"}, false,
         "Invalid --transport: use wireguard (default), or legacy for an existing operator installation."},
        {{"--legacy-pairing"}, true,
         "The Tessaron VM already exists. Use `tessaron vm resize` to change resources, or `tessaron pair` to connect "
         "it. Its files were not changed."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.words));
        const Outcome outcome = legacy(c.words, c.createVM);
        EXPECT_EQ(outcome.error, c.message);
        EXPECT_EQ(outcome.output, "");
    }
    // The control URL: http only to the loopback names; other schemes are not URLs here.
    const std::vector<std::pair<std::string, std::string>> urls = {
        {"ftp://127.0.0.1/", "Invalid URL: ftp://127.0.0.1/"},
        {"panel.example", "Invalid URL: panel.example"},
        {"http://panel.example", "Use HTTPS for a remote control server."},
        {"HTTP://panel.example", "Use HTTPS for a remote control server."},
        {"ws://127.0.0.1", "Invalid URL: ws://127.0.0.1"},
        // What the user typed is shown with its control characters escaped.
        {"ftp://x\x1B[2J\n", "Invalid URL: ftp://x\\x1B[2J\\n"},
        {"https://me:pw@panel.example", "Use a control server address without a user name or password."},
        {"https://me@panel.example", "Use a control server address without a user name or password."},
    };
    for (const auto& [url, message] : urls) {
        SCOPED_TRACE(url);
        const Outcome outcome =
            legacy({"--legacy-pairing", "--control", url, "--limactl", limactl}, false);  // later --control wins
        EXPECT_EQ(outcome.error, message);
    }
    EXPECT_EQ(panel.requests().size(), 0u);
    // Plain http to [::1] and localhost passes the check and fails only at the connection.
    for (const std::string url : {"http://[::1]:1", "http://localhost:1"}) {
        const Outcome outcome = legacy({"--legacy-pairing", "--control", url}, false);
        ASSERT_TRUE(outcome.error);
        EXPECT_EQ(outcome.error->find("HTTPS"), std::string::npos) << *outcome.error;
        EXPECT_EQ(outcome.error->find("Invalid"), std::string::npos) << *outcome.error;
    }
    // Pairing over WireGuard needs the VM.
    lima.run({"delete", "-f", "tessaron"});
    EXPECT_EQ(legacy({"--legacy-pairing"}, false).error, "Create the single Linux VM with tessaron onboard before pairing.");
}

TEST_F(LegacyFlow, EdgeURLsAndTheSavedConfiguration) {
    ASSERT_EQ(lima.create("tessaron").exitCode, 0);
    struct Case {
        std::string name;
        std::vector<std::string> words;
        std::vector<std::string> panelEdges;
        std::optional<std::string> error;
        std::vector<std::string> savedEdges;
        std::string localHost;
        std::optional<std::string> vmName;
    };
    const std::vector<Case> cases = {
        {"edges with an empty piece", {"--transport", "legacy", "--edges", "wss://a.example/t,,wss://b.example/t"},
         {"wss://panel.example/ignored"}, std::nullopt, {"wss://a.example/t", "wss://b.example/t"}, "127.0.0.1",
         std::nullopt},
        {"an https edge is refused", {"--transport", "legacy", "--edges", "wss://a.example/t,https://b.example/t"}, {},
         "The control plane did not return valid edge tunnel URLs.", {}, "", std::nullopt},
        {"the panel's edges", {"--transport", "legacy", "--local-host", "10.0.0.5"}, {"wss://edge.example/tunnel"},
         std::nullopt, {"wss://edge.example/tunnel"}, "10.0.0.5", std::nullopt},
        {"no edges over legacy", {"--transport", "legacy"}, {}, "The control plane did not return valid edge tunnel URLs.",
         {}, "", std::nullopt},
        {"one edge", {"--legacy-pairing", "--edge", "ws://127.0.0.1:9/t"}, {"wss://edge.example/tunnel"}, std::nullopt,
         {"ws://127.0.0.1:9/t"}, "127.0.0.1", "tessaron"},
        {"wireguard without edges", {"--legacy-pairing"}, {}, std::nullopt, {}, "127.0.0.1", "tessaron"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        testing::TempHome caseHome;
        const Outcome outcome = legacy(c.words, false, approveCodeAtFirstPause(c.panelEdges));
        EXPECT_EQ(outcome.error, c.error);
        if (c.error) {
            EXPECT_FALSE(fs::exists(caseHome.supportDir() / "agent.json"));
            EXPECT_FALSE(fs::exists(caseHome.supportDir() / "headless-token"));
            continue;
        }
        EXPECT_EQ(outcome.output, expectedOutput());
        const json::Json pairing = panel.admin("GET", "/_admin/pairing-codes/latest").body;
        const std::string machineId = pairing["machineId"];
        std::vector<Url> edges;
        for (const auto& text : c.savedEdges) edges.push_back(*Url::parse(text));
        const std::string transport = std::find(c.words.begin(), c.words.end(), "legacy") != c.words.end() ? "legacy" : "wireguard";
        EXPECT_EQ(AgentConfigurationStore::load(),
                  (AgentConfiguration{machineId, *Url::parse(panel.base()), edges, c.localHost, c.vmName, transport}));
        EXPECT_EQ(DeviceCredentialStore::load(machineId), std::string(panel.machineState(machineId)["deviceToken"]));
    }
}

TEST_F(LegacyFlow, ClaimAnswersThatAreNotUsableKeepPollingAndAClaimedCodeStops) {
    ASSERT_EQ(lima.create("tessaron").exitCode, 0);
    // A "paired" answer without a device token is polled again.
    const Outcome outcome = legacy({"--legacy-pairing", "--name", "Studio"}, false, [this](int pause) {
        if (pause != 1) return;
        const std::string code = panel.waitForPairingCode();
        panel.injectFault({{"path", "/api/tessaron/agent/pairing-codes/" + code},
                           {"status", 200},
                           {"body", {{"status", "paired"}, {"machineId", "mac-x"}}}});
    });
    ASSERT_EQ(outcome.error, std::optional<std::string>("too many polls")) << "the code was never approved";
    EXPECT_GE(pauses, 2);

    const Outcome approved = legacy({"--legacy-pairing", "--name", "Studio"}, false, [this](int pause) {
        if (pause == 1) {
            const std::string code = panel.waitForPairingCode();
            panel.injectFault({{"path", "/api/tessaron/agent/pairing-codes/" + code},
                               {"status", 200},
                               {"body", {{"status", "paired"}, {"deviceToken", std::string(40, 't')}}}});
        }
        if (pause == 2) panel.approvePairingCode();
    });
    ASSERT_EQ(approved.error, std::nullopt) << approved.output;
    EXPECT_EQ(pauses, 2);
    EXPECT_EQ(approved.output, expectedOutput());
    const json::Json pairing = panel.admin("GET", "/_admin/pairing-codes/latest").body;
    EXPECT_EQ(pairing["profile"]["name"], "Studio");
    EXPECT_EQ(pairing["profile"]["allocatedCpu"], 2) << "the VM's own size";
    EXPECT_EQ(pairing["profile"]["allocatedMemoryGiB"], 4);

    const Outcome claimed = legacy({"--legacy-pairing"}, false, [this](int pause) {
        if (pause != 1) return;
        const std::string code = panel.waitForPairingCode();
        panel.injectFault({{"path", "/api/tessaron/agent/pairing-codes/" + code},
                           {"status", 200},
                           {"body", {{"status", "claimed"}}}});
    });
    EXPECT_EQ(claimed.error, "This pairing credential was already claimed. Generate a new code.");
}

TEST_F(LegacyFlow, ValuesThatWouldBreakAHeaderAreRefusedBeforeTheyAreSavedOrSent) {
    ASSERT_EQ(lima.create("tessaron").exitCode, 0);
    const std::string injected = "x\r\nX-Injected: yes";
    struct Case {
        std::string name;
        json::Json fault;  // the answer that carries the value
        bool atCode;       // given with the code (else with the claim)
        std::string message;
    };
    const std::vector<Case> cases = {
        {"device secret",
         {{"method", "POST"}, {"status", 200}, {"body", {{"code", "ABC"}, {"expiresAt", "soon"}, {"deviceSecret", injected}}}},
         true, "The control plane returned an invalid device secret."},
        {"machine ID", {{"status", 200}, {"body", {{"status", "paired"}, {"machineId", injected}, {"deviceToken", "tok"}}}},
         false, "The control plane returned an invalid machine ID."},
        {"device token", {{"status", 200}, {"body", {{"status", "paired"}, {"machineId", "mac-9"}, {"deviceToken", injected}}}},
         false, "The control plane returned an invalid device token."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        testing::TempHome caseHome;
        panel.admin("DELETE", "/_admin/requests");
        json::Json fault = c.fault;
        if (c.atCode) {
            fault["path"] = "/api/tessaron/agent/pairing-codes";
            panel.injectFault(fault);
        }
        const Outcome outcome = legacy({"--legacy-pairing"}, false, [&](int pause) {
            if (pause != 1 || c.atCode) return;
            fault["path"] = "/api/tessaron/agent/pairing-codes/" + panel.waitForPairingCode();
            panel.injectFault(fault);
        });
        EXPECT_EQ(outcome.error, c.message);
        EXPECT_FALSE(fs::exists(caseHome.supportDir() / "agent.json"));
        EXPECT_FALSE(fs::exists(caseHome.supportDir() / "headless-token"));
        for (const json::Json& request : panel.requests())
            EXPECT_EQ(request.dump().find("X-Injected: yes"), std::string::npos) << request.dump();
    }
}

// However a token reaches this Mac (the pairing code's claim, the setup this Mac
// completes, a credential file written by hand), the white space around it is dropped
// before it is checked, and what is unsafe inside it is refused with the flow's sentence.
TEST_F(LegacyFlow, APaddedTokenPairsTrimmedAndOneUnsafeInsideIsRefused) {
    ASSERT_EQ(lima.create("tessaron").exitCode, 0);
    const std::string invalidFile = DeviceCredentialError::description(DeviceCredentialError::Kind::invalidFile);
    enum class Flow { legacyClaim, setupCompletion, storedFile };
    // Each flow gets `token` as given and returns the error that ended it.
    const auto pairWith = [&](Flow flow, const std::string& token,
                              const std::string& trimmed) -> std::optional<std::string> {
        switch (flow) {
        case Flow::legacyClaim:
            return legacy({"--legacy-pairing"}, false, [&](int pause) {
                if (pause != 1) return;
                const std::string id = panel.createMachine("Studio", "", trimmed).machineId;
                panel.injectFault({{"path", "/api/tessaron/agent/pairing-codes/" + panel.waitForPairingCode()},
                                   {"status", 200},
                                   {"body", {{"status", "paired"}, {"machineId", id}, {"deviceToken", token}}}});
            }).error;
        case Flow::setupCompletion: {
            // A saved setup whose token carries the padding, resumed and approved.
            const Outcome started = run({}, false, [](int) { throw std::runtime_error("stopped"); });
            if (started.error != "stopped") return started.error;
            json::Json saved = SetupSessionStore::load().value().toJson();
            saved["deviceToken"] = token;
            SetupSessionStore::save(PendingSetup::fromJson(saved));
            return run({}, false, approveAtFirstPause()).error;
        }
        case Flow::storedFile: {
            testing::saveLink({panel.createMachine("Studio", "", trimmed).machineId, "written-over"}, panel.base());
            testing::writeFile(DeviceCredentialStore::headlessURL(), token);
            return std::nullopt;
        }
        }
        return std::nullopt;
    };
    struct Case {
        std::string name;
        Flow flow;
        std::string before, after;  // around the token
        std::string inside;         // put in the middle of the token
        std::optional<std::string> error;
    };
    const std::string invalidClaim = "The control plane returned an invalid device token.";
    const std::vector<Case> cases = {
        {"claim, padded", Flow::legacyClaim, "  ", "\n", "", std::nullopt},
        {"claim, CR inside", Flow::legacyClaim, "", "\n", "\r", invalidClaim},
        {"claim, LF inside", Flow::legacyClaim, " ", "", "\nX-Injected: yes\n", invalidClaim},
        {"claim, control inside", Flow::legacyClaim, "", "", "\x01", invalidClaim},
        {"setup, padded", Flow::setupCompletion, "\t ", " \r\n", "", std::nullopt},
        {"setup, CR inside", Flow::setupCompletion, "", "", "\r", invalidFile},
        {"setup, control inside", Flow::setupCompletion, " ", "", "\x1b", invalidFile},
        {"file, trailing newline", Flow::storedFile, "", "\n", "", std::nullopt},
        {"file, LF inside", Flow::storedFile, "", "\n", "\n", invalidFile},
        {"file, control inside", Flow::storedFile, "", "", "\x7f", invalidFile},
    };
    int number = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        testing::TempHome caseHome;
        const std::string half = "tsr_" + std::to_string(++number) + std::string(20, 'a');
        const std::string trimmed = half + c.inside + std::string(20, 'b');
        const std::optional<std::string> error = pairWith(c.flow, c.before + trimmed + c.after, trimmed);
        const fs::path credential = caseHome.supportDir() / "headless-token";
        if (c.error) {
            if (c.flow == Flow::storedFile) {
                EXPECT_EQ(error, std::nullopt);
                try {
                    DeviceCredentialStore::load(AgentConfigurationStore::load().machineID);
                    ADD_FAILURE() << "the stored token was handed out";
                } catch (const DeviceCredentialError& refused) {
                    EXPECT_EQ(refused.what(), *c.error);
                }
            } else {
                EXPECT_EQ(error, c.error);
                // The panel was never handed a token that could not be used.
                if (c.flow == Flow::setupCompletion) {
                    EXPECT_EQ(reported().back(), "failed");
                }
                EXPECT_FALSE(fs::exists(credential));
                EXPECT_FALSE(fs::exists(caseHome.supportDir() / "agent.json"));
            }
            continue;
        }
        ASSERT_EQ(error, std::nullopt);
        if (c.flow != Flow::storedFile) {
            EXPECT_EQ(testing::readFile(credential), trimmed);
        }
        const AgentConfiguration configuration = AgentConfigurationStore::load();
        const std::string token = DeviceCredentialStore::load(configuration.machineID);
        EXPECT_EQ(token, trimmed);
        // The panel knows this Mac by the trimmed token.
        const std::string status = LifecycleClient(configuration, token).control("status", std::nullopt, false);
        EXPECT_EQ(json::parse(status)["machineId"], configuration.machineID);
    }
}

TEST_F(LegacyFlow, APairingThatCannotBeSavedIsRefusedBeforeACodeOrLeavesTheOldOne) {
    ASSERT_EQ(lima.create("tessaron").exitCode, 0);
    const fs::path configuration = home.supportDir() / "agent.json";
    const fs::path credential = home.supportDir() / "headless-token";

    // Told before a code is asked for.
    fs::create_directories(configuration);
    ::chmod(home.supportDir().c_str(), 0700);
    panel.admin("DELETE", "/_admin/requests");
    EXPECT_EQ(legacy({"--legacy-pairing"}, false).error, "Could not save " + configuration.string() + ": Is a directory.");
    EXPECT_EQ(panel.requests().size(), 0u);
    fs::remove(configuration);

    // Failing only once the panel approved: neither new file is kept, the old pairing stays whole.
    ASSERT_EQ(legacy({"--legacy-pairing"}, false, approveCodeAtFirstPause()).error, std::nullopt);
    const AgentConfiguration before = AgentConfigurationStore::load();
    const std::string tokenBefore = DeviceCredentialStore::load(before.machineID);
    const Outcome failed = legacy({"--legacy-pairing"}, false, [&](int pause) {
        if (pause != 1) return;
        panel.approvePairingCode();
        fs::rename(configuration, home.path() / "kept.json");
        fs::create_directories(configuration);
    });
    ASSERT_TRUE(failed.error);
    EXPECT_EQ(DeviceCredentialStore::tokenFromFile(credential), tokenBefore);
    EXPECT_EQ(AgentConfigurationStore::load(home.path() / "kept.json"), before);
}

TEST_F(LegacyFlow, OnboardCreatesTheVMAndIgnoresASavedSetup) {
    // A pending setup of another panel does not matter to the pairing-code flow.
    SetupTicket ticket{"setup_" + std::string(36, 'a'), "ABCDEF012345", std::string(40, 's'), 1e9,
                       *Url::parse("https://other.example/console/connect?setup=x")};
    SetupSessionStore::save(PendingSetup(ticket, *Url::parse("https://other.example"), 2, 4));

    const Outcome outcome = legacy({"--legacy-pairing", "--transport", "legacy", "--local-host", "10.0.0.5", "--cpus",
                                    "2", "--memory-gib", "2", "--disk-gib", "11", "--edges", "wss://edge.example/t"},
                                   true, approveCodeAtFirstPause());
    ASSERT_EQ(outcome.error, std::nullopt) << outcome.output;
    const std::string code = panel.admin("GET", "/_admin/pairing-codes/latest").body["code"];
    EXPECT_EQ(outcome.output,
              "Creating the single Tessaron Linux VM\u2026\n" + expectedOutput());
    const auto calls = lima.calls();
    ASSERT_FALSE(calls.empty());
    const auto create = std::find_if(calls.begin(), calls.end(), [](const auto& call) { return call.at(0) == "start"; });
    ASSERT_NE(create, calls.end());
    EXPECT_NE(std::find(create->begin(), create->end(), "--cpus=2"), create->end());
    EXPECT_NE(std::find(create->begin(), create->end(), "--memory=2"), create->end());
    EXPECT_NE(std::find(create->begin(), create->end(), "--disk=11"), create->end());
    const AgentConfiguration saved = AgentConfigurationStore::load();
    EXPECT_EQ(saved.vmName, "tessaron");
    EXPECT_EQ(saved.localHost, "127.0.0.1") << "onboard always forwards to this Mac";
    EXPECT_EQ(saved.transport, "legacy");
    EXPECT_EQ(VMPowerIntentFileStore::forThisMac().load()->desired, "running");
    EXPECT_TRUE(fs::exists(pendingFile()));
}

}  // namespace
}  // namespace tessaron
