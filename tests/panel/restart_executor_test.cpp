#include "panel/restart_executor.h"

#include "panel/control_panel_client.h"
#include "support/fake_vm.h"
#include "support/panel_process.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <functional>
#include <tuple>

namespace tessaron {
namespace {
using testing::FakeVM;
using testing::TempDir;
using Completion = std::tuple<std::string, std::string, std::optional<std::string>>;  // id, status, boot
using Claim = std::pair<std::string, std::string>;                                    // id, boot

class FakeClient : public RestartCommandClient {
public:
    bool mayExecute = true;
    bool failClaim = false;
    int failCompletions = 0;  // how many completion calls throw before they get through
    std::vector<Claim> claims;
    std::vector<Completion> completions;  // those that got through
    int completionAttempts = 0;

    bool claim(const RestartCommand& command, const std::string& bootId) override {
        if (failClaim) throw LifecycleFailure("The panel could not be reached.");
        claims.emplace_back(command.id, bootId);
        return mayExecute;
    }
    void complete(const RestartCommand& command, const std::string& status,
                  const std::optional<std::string>& bootId) override {
        ++completionAttempts;
        if (failCompletions > 0) {
            --failCompletions;
            throw LifecycleFailure("The panel could not be reached.");
        }
        completions.emplace_back(command.id, status, bootId);
    }
};

// The real file store, with a record of the phases saved and a phase whose save fails.
class RecordingStore : public RestartReceiptStore {
public:
    explicit RecordingStore(std::filesystem::path file) : disk(std::move(file)) {}
    DiskOperationReceiptStore<RestartReceipt> disk;
    std::vector<std::string> phases;
    std::optional<std::string> failingPhase;

    std::optional<RestartReceipt> load() override { return disk.load(); }
    void save(const RestartReceipt& receipt) override {
        if (receipt.phase == failingPhase) throw LifecycleFailure("Could not persist the restart receipt.");
        disk.save(receipt);
        phases.push_back(receipt.phase);
    }
};

const std::string bootA = "aaaaaaaa-1111-4222-8333-444444444444";
const std::string bootB = "bbbbbbbb-1111-4222-8333-444444444444";

struct Rig {
    TempDir dir;
    FakeVM vm{bootA};
    FakeClient client;
    RecordingStore receipts{dir / "lifecycle" / "key.json"};
    DiskOperationReceiptStore<VMPowerIntent> intent{dir / "power-intent.json"};
    RestartExecutor executor{client, receipts, vm, &intent};

    std::optional<RestartReceipt> receipt() { return receipts.disk.load(); }
    std::optional<std::string> wish() {
        auto saved = intent.load();
        return saved ? std::optional<std::string>(saved->desired) : std::nullopt;
    }
};

std::string failureOf(const std::function<void()>& call) {
    try {
        call();
    } catch (const std::exception& error) {
        return error.what();
    }
    return "(nothing)";
}

RestartCommand restartCommand(const std::string& status = "queued", const std::string& boot = bootA,
                              const std::string& id = "cmd-1") {
    return RestartCommand{id, status, boot, "restart"};
}

TEST(RestartExecutor, AGrantedRestartIsRecordedBeforeAndAfter) {
    Rig rig;
    std::optional<RestartReceipt> duringRestart;
    rig.vm.onAction = [&](const std::string&) { duringRestart = rig.receipt(); };

    rig.executor.handle(restartCommand());

    ASSERT_TRUE(rig.vm.boot());
    const std::string after = *rig.vm.boot();
    EXPECT_NE(after, bootA);
    EXPECT_EQ(rig.vm.actions(), std::vector<std::string>{"restart " + bootA});
    ASSERT_TRUE(duringRestart);
    EXPECT_EQ(duringRestart->phase, "attempted");
    EXPECT_EQ(rig.receipts.phases, (std::vector<std::string>{"prepared", "attempted", "finished"}));
    EXPECT_EQ(rig.receipt(), (RestartReceipt{"cmd-1", bootA, "finished", "succeeded", after}));
    EXPECT_EQ(rig.client.claims, (std::vector<Claim>{{"cmd-1", bootA}}));
    EXPECT_EQ(rig.client.completions, (std::vector<Completion>{{"cmd-1", "succeeded", after}}));
}

TEST(RestartExecutor, ARefusedClaimRestartsNothing) {
    Rig rig;
    rig.client.mayExecute = false;
    rig.executor.handle(restartCommand());
    EXPECT_TRUE(rig.vm.actions().empty());
    EXPECT_EQ(rig.receipt(), (RestartReceipt{"cmd-1", bootA, "finished", "failed", bootA}));
    EXPECT_EQ(rig.client.completions, (std::vector<Completion>{{"cmd-1", "failed", bootA}}));
}

TEST(RestartExecutor, AFailedRestartIsReportedNotThrown) {
    struct Case {
        std::string name;
        std::function<void(FakeVM&)> arrange;
        std::string outcome;
        bool bootKnown;  // whether a boot ID is reported
    };
    const std::vector<Case> cases = {
        {"restart refused by the VM", [](FakeVM& vm) { vm.failRestart = true; }, "failed", true},
        {"restart failed and the VM is down",
         [](FakeVM& vm) {
             vm.failRestart = true;
             vm.onAction = [&vm](const std::string&) { vm.setBoot(std::nullopt); };
         },
         "failed", false},
        {"restart rebooted but reported an error", [](FakeVM& vm) { vm.restartThenFail = true; }, "failed", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig;
        c.arrange(rig.vm);
        EXPECT_NO_THROW(rig.executor.handle(restartCommand()));
        auto receipt = rig.receipt();
        ASSERT_TRUE(receipt);
        EXPECT_EQ(receipt->phase, "finished");
        EXPECT_EQ(receipt->outcome, c.outcome);
        EXPECT_EQ(receipt->afterBootID, rig.vm.boot());
        EXPECT_EQ(receipt->afterBootID.has_value(), c.bootKnown);
        EXPECT_EQ(rig.client.completions, (std::vector<Completion>{{"cmd-1", c.outcome, rig.vm.boot()}}));
    }
}

TEST(RestartExecutor, ResumesFromTheReceiptWithoutRestartingAgain) {
    struct Case {
        std::string name;
        std::string status;
        RestartReceipt saved;
        std::optional<std::string> vmBoot;  // the guest's boot now
        std::string reported;
    };
    const auto attempted = RestartReceipt{"cmd-1", bootA, "attempted", std::nullopt, std::nullopt};
    const auto prepared = RestartReceipt{"cmd-1", bootA, "prepared", std::nullopt, std::nullopt};
    const std::vector<Case> cases = {
        {"crash after attempted, VM restarted", "running", attempted, bootB, "succeeded"},
        {"crash after attempted, VM not restarted", "running", attempted, bootA, "failed"},
        {"crash after attempted, VM down", "running", attempted, std::nullopt, "failed"},
        {"attempted, offered as queued again", "queued", attempted, bootB, "succeeded"},
        {"prepared, no longer queued", "running", prepared, bootA, "failed"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig;
        rig.receipts.disk.save(c.saved);
        rig.vm.setBoot(c.vmBoot);
        rig.executor.handle(restartCommand(c.status));
        EXPECT_TRUE(rig.vm.actions().empty());
        EXPECT_TRUE(rig.client.claims.empty());
        EXPECT_EQ(rig.receipt(), (RestartReceipt{"cmd-1", bootA, "finished", c.reported, c.vmBoot}));
        EXPECT_EQ(rig.client.completions, (std::vector<Completion>{{"cmd-1", c.reported, c.vmBoot}}));
    }
}

TEST(RestartExecutor, AFinishedReceiptOnlyRepeatsTheCompletion) {
    Rig rig;
    rig.client.failCompletions = 1;
    EXPECT_EQ(failureOf([&] { rig.executor.handle(restartCommand()); }), "The panel could not be reached.");
    const auto finished = rig.receipt();
    ASSERT_TRUE(finished);
    EXPECT_EQ(finished->phase, "finished");
    rig.vm.clearCalls();

    for (const std::string status : {"queued", "running"}) {
        rig.executor.handle(restartCommand(status));
        EXPECT_TRUE(rig.vm.calls().empty());
    }
    EXPECT_EQ(rig.client.claims.size(), 1u);
    EXPECT_EQ(rig.client.completions, (std::vector<Completion>(2, {"cmd-1", "succeeded", finished->afterBootID})));
    EXPECT_EQ(rig.receipt(), finished);

    // A finished receipt without an outcome reports "failed".
    rig.receipts.disk.save(RestartReceipt{"cmd-2", bootA, "finished", std::nullopt, std::nullopt});
    rig.executor.handle(restartCommand("queued", bootA, "cmd-2"));
    EXPECT_EQ(rig.client.completions.back(), (Completion{"cmd-2", "failed", std::nullopt}));
}

TEST(RestartExecutor, ARunningCommandWithoutReceiptIsReportedFailed) {
    Rig rig;
    rig.executor.handle(restartCommand("running"));
    EXPECT_TRUE(rig.vm.calls().empty());
    EXPECT_FALSE(rig.receipt());
    EXPECT_EQ(rig.client.completions, (std::vector<Completion>{{"cmd-1", "failed", std::nullopt}}));
}

TEST(RestartExecutor, RefusesCommandsItCannotTrust) {
    struct Case {
        std::string name;
        RestartCommand command;
        std::optional<RestartReceipt> saved;
        std::string vmBoot;
        std::string message;
        bool reportedFailed = false;  // the panel is told it was not carried out
    };
    // The "finished" receipt, the largest, takes 164 bytes besides the ID; the file holds 4,096.
    const std::string longestID(4096 - 164, 'x');
    const std::vector<Case> cases = {
        {"finished status", restartCommand("succeeded"), std::nullopt, bootA, RestartExecutor::invalidRestartMessage},
        {"ID whose finished receipt would not fit", restartCommand("queued", bootA, longestID + "x"), std::nullopt,
         bootA, RestartExecutor::invalidRestartMessage, true},
        {"ID of 3,990 bytes, running", restartCommand("running", bootA, std::string(3990, 'x')), std::nullopt, bootA,
         RestartExecutor::invalidRestartMessage, true},
        {"ID that grows when saved", restartCommand("queued", bootA, std::string(700, '\x01')), std::nullopt, bootA,
         RestartExecutor::invalidRestartMessage, true},
        {"empty boot ID", restartCommand("queued", ""), std::nullopt, bootA, RestartExecutor::invalidRestartMessage},
        {"boot ID not a UUID", restartCommand("queued", "boot-1"), std::nullopt, bootA,
         RestartExecutor::invalidRestartMessage},
        {"boot ID with braces", restartCommand("queued", "{" + bootA.substr(1, 34) + "}"), std::nullopt, bootA,
         RestartExecutor::invalidRestartMessage},
        {"receipt for the command with another boot", restartCommand(),
         RestartReceipt{"cmd-1", bootB, "prepared", std::nullopt, std::nullopt}, bootA,
         RestartExecutor::receiptMismatchMessage},
        {"guest rebooted before the request was prepared", restartCommand(), std::nullopt, bootB,
         RestartExecutor::restartedBeforePrepareMessage},
        {"guest rebooted after the request was prepared", restartCommand(),
         RestartReceipt{"cmd-1", bootA, "prepared", std::nullopt, std::nullopt}, bootB,
         RestartExecutor::restartedBeforeClaimMessage},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig;
        if (c.saved) rig.receipts.disk.save(*c.saved);
        rig.vm.setBoot(c.vmBoot);
        EXPECT_EQ(failureOf([&] { rig.executor.handle(c.command); }), c.message);
        EXPECT_TRUE(rig.vm.actions().empty());
        EXPECT_TRUE(rig.client.claims.empty());
        if (c.reportedFailed) {
            EXPECT_EQ(rig.client.completions, (std::vector<Completion>{{c.command.id, "failed", std::nullopt}}));
        } else {
            EXPECT_EQ(rig.client.completionAttempts, 0);
        }
        EXPECT_EQ(rig.receipt(), c.saved);
    }
    // Upper-case hexadecimal is a UUID too.
    EXPECT_TRUE(RestartExecutor::isUUID("AAAAAAAA-1111-4222-8333-44444444444F"));
    // The longest ID whose receipts all fit is carried out and recorded to the end.
    Rig rig;
    rig.executor.handle(restartCommand("queued", bootA, longestID));
    EXPECT_EQ(rig.receipts.phases, (std::vector<std::string>{"prepared", "attempted", "finished"}));
    EXPECT_EQ(rig.client.completions, (std::vector<Completion>{{longestID, "succeeded", rig.vm.boot()}}));
}

TEST(RestartExecutor, AnotherCommandsReceiptIsReplaced) {
    Rig rig;
    rig.receipts.disk.save(RestartReceipt{"old", bootB, "finished", "succeeded", bootA});
    rig.executor.handle(restartCommand());
    auto receipt = rig.receipt();
    ASSERT_TRUE(receipt);
    EXPECT_EQ(receipt->commandID, "cmd-1");
    EXPECT_EQ(receipt->outcome, "succeeded");
}

TEST(RestartExecutor, AnUnknownKindIsARestart) {
    Rig rig;
    auto command = restartCommand();
    command.kind = "reboot-now";
    rig.executor.handle(command);
    EXPECT_EQ(rig.vm.actions(), std::vector<std::string>{"restart " + bootA});
}

TEST(RestartExecutor, FailuresBeforeTheRestartLeaveTheVMAlone) {
    {
        Rig rig;
        rig.receipts.failingPhase = "attempted";
        EXPECT_EQ(failureOf([&] { rig.executor.handle(restartCommand()); }), "Could not persist the restart receipt.");
        EXPECT_TRUE(rig.vm.actions().empty());
        EXPECT_EQ(rig.receipt()->phase, "prepared");
        EXPECT_TRUE(rig.client.completions.empty());
        // The next offer resumes: claims again and restarts once.
        rig.receipts.failingPhase.reset();
        rig.executor.handle(restartCommand());
        EXPECT_EQ(rig.vm.actions().size(), 1u);
        EXPECT_EQ(rig.client.claims.size(), 2u);
    }
    {
        Rig rig;
        rig.client.failClaim = true;
        EXPECT_EQ(failureOf([&] { rig.executor.handle(restartCommand()); }), "The panel could not be reached.");
        EXPECT_TRUE(rig.vm.actions().empty());
        EXPECT_EQ(rig.receipt()->phase, "prepared");
    }
    {
        Rig rig;
        rig.vm.setBoot(std::nullopt);  // no boot ID to check against
        EXPECT_EQ(failureOf([&] { rig.executor.handle(restartCommand()); }), "The Linux VM is not running.");
        EXPECT_FALSE(rig.receipt());
        EXPECT_EQ(rig.client.completionAttempts, 0);
    }
    {
        // Crash between the restart and the "finished" receipt: the next offer finishes it.
        Rig rig;
        rig.receipts.failingPhase = "finished";
        EXPECT_THROW(rig.executor.handle(restartCommand()), LifecycleFailure);
        EXPECT_EQ(rig.receipt()->phase, "attempted");
        rig.receipts.failingPhase.reset();
        const auto rebooted = rig.vm.boot();
        rig.executor.handle(restartCommand("running"));
        EXPECT_EQ(rig.vm.actions().size(), 1u);
        EXPECT_EQ(rig.client.completions, (std::vector<Completion>{{"cmd-1", "succeeded", rebooted}}));
    }
}

RestartCommand powerCommand(const std::string& kind, const std::string& status = "queued",
                            const std::string& boot = "") {
    return RestartCommand{"p-1", status, boot, kind};
}

TEST(RestartExecutor, StopAndStartRecordTheWishClaimActAndReport) {
    {
        Rig rig;
        std::optional<std::string> wishWhenStopping;
        rig.vm.onAction = [&](const std::string&) { wishWhenStopping = rig.wish(); };
        rig.executor.handle(powerCommand("stop", "queued", bootA));
        EXPECT_EQ(wishWhenStopping, "stopped");
        EXPECT_EQ(rig.vm.actions(), std::vector<std::string>{"stop"});
        EXPECT_EQ(rig.client.claims, (std::vector<Claim>{{"p-1", bootA}}));
        EXPECT_EQ(rig.client.completions, (std::vector<Completion>{{"p-1", "succeeded", std::nullopt}}));
        EXPECT_FALSE(rig.receipt());
    }
    {
        Rig rig;
        rig.vm.setBoot(std::nullopt);
        rig.intent.want("stopped");
        rig.executor.handle(powerCommand("start"));
        EXPECT_EQ(rig.wish(), "running");
        ASSERT_TRUE(rig.vm.boot());
        EXPECT_EQ(rig.client.claims, (std::vector<Claim>{{"p-1", ""}}));
        EXPECT_EQ(rig.client.completions, (std::vector<Completion>{{"p-1", "succeeded", rig.vm.boot()}}));
    }
}

TEST(RestartExecutor, AStopSucceedsOnlyWhenTheVMIsStopped) {
    // A guest that does not tell its boot ID is stopped only if the VM manager says so;
    // one that hangs while the VM runs is stopped like any other.
    struct Case {
        std::string name;
        std::function<void(FakeVM&)> arrange;
        bool mayExecute;
        std::vector<std::string> actions;
        std::string reported;
        std::optional<std::string> wish;
    };
    const auto stopped = [](FakeVM& vm) { vm.setBoot(std::nullopt); };
    const auto hangs = [](FakeVM& vm) { vm.failBootID = true; };
    const std::vector<Case> cases = {
        {"VM stopped, claim refused", stopped, false, {}, "succeeded", "stopped"},
        {"guest hangs", hangs, true, {"stop"}, "succeeded", "stopped"},
        {"guest hangs, claim refused", hangs, false, {}, "failed", std::nullopt},
        {"guest hangs, the stop fails",
         [](FakeVM& vm) {
             vm.failBootID = true;
             vm.failStop = true;
         },
         true, {"stop"}, "failed", "stopped"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig;
        rig.client.mayExecute = c.mayExecute;
        c.arrange(rig.vm);
        rig.executor.handle(powerCommand("stop", "queued", bootA));
        EXPECT_EQ(rig.wish(), c.wish);
        EXPECT_EQ(rig.vm.actions(), c.actions);
        EXPECT_EQ(rig.client.claims, (std::vector<Claim>{{"p-1", ""}}));
        EXPECT_EQ(rig.client.completions, (std::vector<Completion>{{"p-1", c.reported, std::nullopt}}));
    }
    // Whether the VM is stopped cannot be told: nothing is claimed, done or reported.
    Rig rig;
    rig.vm.setBoot(std::nullopt);
    rig.vm.failListing = true;
    EXPECT_EQ(failureOf([&] { rig.executor.handle(powerCommand("stop")); }), "Could not list the Linux VMs.");
    EXPECT_TRUE(rig.client.claims.empty());
    EXPECT_EQ(rig.client.completionAttempts, 0);
    EXPECT_FALSE(rig.wish());
}

TEST(RestartExecutor, PowerCommandsThatCannotActAreReconciled) {
    struct Case {
        std::string name;
        RestartCommand command;
        std::optional<std::string> vmBoot;
        bool mayExecute;
        Completion reported;
        bool claimed;
    };
    const std::vector<Case> cases = {
        {"queued stop, claim refused, VM runs", powerCommand("stop"), bootA, false, {"p-1", "failed", bootA}, true},
        {"running stop, VM runs", powerCommand("stop", "running"), bootA, true, {"p-1", "failed", bootA}, false},
        {"queued start, claim refused, VM stopped", powerCommand("start"), std::nullopt, false,
         {"p-1", "failed", std::nullopt}, true},
        {"queued start, claim refused, VM runs", powerCommand("start"), bootA, false, {"p-1", "succeeded", bootA},
         true},
        {"running start, VM runs", powerCommand("start", "running", bootA), bootA, true,
         {"p-1", "succeeded", bootA}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig;
        rig.vm.setBoot(c.vmBoot);
        rig.client.mayExecute = c.mayExecute;
        rig.executor.handle(c.command);
        EXPECT_TRUE(rig.vm.actions().empty());
        EXPECT_EQ(rig.client.claims.size(), c.claimed ? 1u : 0u);
        EXPECT_EQ(rig.client.completions, std::vector<Completion>{c.reported});
        EXPECT_FALSE(rig.wish());
    }
}

TEST(RestartExecutor, AFailedStopOrStartIsReportedNotThrown) {
    struct Case {
        std::string name;
        RestartCommand command;
        std::optional<std::string> vmBoot;
        std::function<void(FakeVM&)> arrange;
        bool reportsBoot;
    };
    const std::vector<Case> cases = {
        {"stop fails", powerCommand("stop"), bootA, [](FakeVM& vm) { vm.failStop = true; }, false},
        {"start fails", powerCommand("start"), std::nullopt, [](FakeVM& vm) { vm.failStart = true; }, false},
        {"start boots but fails", powerCommand("start"), std::nullopt, [](FakeVM& vm) { vm.startThenFail = true; },
         true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig;
        rig.vm.setBoot(c.vmBoot);
        c.arrange(rig.vm);
        EXPECT_NO_THROW(rig.executor.handle(c.command));
        ASSERT_EQ(rig.client.completions.size(), 1u);
        EXPECT_EQ(std::get<1>(rig.client.completions[0]), "failed");
        EXPECT_EQ(std::get<2>(rig.client.completions[0]).has_value(), c.reportsBoot);
        if (c.reportsBoot) { EXPECT_EQ(std::get<2>(rig.client.completions[0]), rig.vm.boot()); }
    }

    // The success report fails and the failure report gets through: returns normally.
    Rig rig;
    rig.client.failCompletions = 1;
    EXPECT_NO_THROW(rig.executor.handle(powerCommand("stop")));
    EXPECT_EQ(rig.client.completions, (std::vector<Completion>{{"p-1", "failed", std::nullopt}}));
    // Neither report gets through: the error of the last one is thrown.
    Rig unreachable;
    unreachable.client.failCompletions = 2;
    EXPECT_EQ(failureOf([&] { unreachable.executor.handle(powerCommand("stop")); }), "The panel could not be reached.");
    EXPECT_EQ(unreachable.client.completionAttempts, 2);
    Rig failedStop;
    failedStop.client.failCompletions = 1;
    failedStop.vm.failStop = true;
    EXPECT_EQ(failureOf([&] { failedStop.executor.handle(powerCommand("stop")); }), "The panel could not be reached.");
    EXPECT_EQ(failedStop.client.completionAttempts, 1);
}

TEST(RestartExecutor, RefusesPowerCommandsForAnotherBootOrState) {
    struct Case {
        RestartCommand command;
        std::string message;
    };
    const std::vector<Case> cases = {
        {powerCommand("stop", "succeeded"), RestartExecutor::invalidPowerMessage},
        {powerCommand("start", ""), RestartExecutor::invalidPowerMessage},
        {powerCommand("stop", "queued", bootB), RestartExecutor::powerChangedMessage},
        {powerCommand("start", "running", bootB), RestartExecutor::powerChangedMessage},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.command.kind + " " + c.command.status + " " + c.command.bootId);
        Rig rig;
        EXPECT_EQ(failureOf([&] { rig.executor.handle(c.command); }), c.message);
        EXPECT_TRUE(rig.vm.actions().empty());
        EXPECT_TRUE(rig.client.claims.empty());
        EXPECT_EQ(rig.client.completionAttempts, 0);
        EXPECT_FALSE(rig.wish());
    }
}

TEST(RestartExecutor, WithoutAnIntentStorePowerCommandsRecordNothing) {
    TempDir dir;
    FakeVM vm{bootA};
    FakeClient client;
    RecordingStore receipts{dir / "r.json"};
    RestartExecutor executor{client, receipts, vm, nullptr};
    executor.handle(powerCommand("stop"));
    executor.handle(powerCommand("start"));
    EXPECT_EQ(vm.actions(), (std::vector<std::string>{"stop", "start"}));
    EXPECT_EQ(client.completions.size(), 2u);
    EXPECT_FALSE(std::filesystem::exists(dir / "power-intent.json"));
}

// The whole path against the loopback panel: poll, claim, restart, complete, then a stop,
// then the removal answer.
TEST(RestartExecutor, CarriesOutCommandsOfTheLoopbackPanel) {
    testing::TempHome home;
    testing::PanelProcess panel;
    const auto mac = panel.createMachine("Studio");
    LifecycleClient client(AgentConfiguration{mac.machineId, *Url::parse(panel.base()), {}, "127.0.0.1", std::nullopt,
                                              std::nullopt},
                           mac.deviceToken);
    DiskOperationReceiptStore<RestartReceipt> receipts(client.configuration(), std::nullopt, false);
    auto intent = DiskOperationReceiptStore<VMPowerIntent>::forThisMac();
    FakeVM vm{bootA};
    RestartExecutor executor(client, receipts, vm, &intent);

    EXPECT_EQ(client.poll("Running", bootA), std::nullopt);
    const auto queued = panel.queueCommand(mac.machineId, "restart", bootA);
    auto command = client.poll("Running", bootA);
    ASSERT_TRUE(command);
    EXPECT_EQ(command->id, json::string(queued, "id"));
    EXPECT_EQ(command->kind, "restart");
    EXPECT_EQ(command->bootId, bootA);

    executor.handle(*command);
    ASSERT_TRUE(vm.boot());
    const std::string rebooted = *vm.boot();
    EXPECT_NE(rebooted, bootA);
    EXPECT_EQ(receipts.load()->outcome, "succeeded");

    auto state = panel.machineState(mac.machineId);
    ASSERT_EQ(state["commands"].size(), 1u);
    EXPECT_EQ(state["commands"][0]["status"], "succeeded");
    EXPECT_EQ(state["commands"][0]["completion"]["bootId"], rebooted);
    EXPECT_EQ(client.poll("Running", rebooted), std::nullopt);

    // The same command offered again (a lost completion answer) restarts nothing.
    command->status = "running";
    executor.handle(*command);
    EXPECT_EQ(vm.actions().size(), 1u);

    panel.queueCommand(mac.machineId, "stop");
    auto stop = client.poll("Running", rebooted);
    ASSERT_TRUE(stop);
    EXPECT_EQ(stop->kind, "stop");
    executor.handle(*stop);
    EXPECT_FALSE(vm.boot());
    EXPECT_TRUE(intent.wantsStopped());
    client.poll("Stopped", std::nullopt);
    state = panel.machineState(mac.machineId);
    EXPECT_EQ(state["commands"][1]["status"], "succeeded");
    EXPECT_EQ(state["powerIntent"], "stopped");

    panel.removeMachine(mac.machineId, true);
    try {
        client.poll("Stopped", std::nullopt);
        FAIL() << "no removal error";
    } catch (const MachineRemovedError& removed) {
        EXPECT_EQ(removed.notice(), (RemovalNotice{mac.machineId, true}));
    }
}

}  // namespace
}  // namespace tessaron
