#include "panel/resource_executor.h"

#include "host/error.h"
#include "panel/control_panel_client.h"
#include "support/fake_resource_vm.h"
#include "support/scripted_http_server.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <ostream>
#include <optional>
#include <string>
#include <vector>

namespace tessaron {
namespace {

using testing::FakeResourceVM;

}  // namespace

void PrintTo(const ResourceObservation& o, std::ostream* out) {
    *out << "{" << o.cpu << " CPU, " << o.memoryMiB << " MiB, " << o.vmState << ", boot " << o.bootId.value_or("none")
         << "}";
}

namespace {

// Stands for the death of the process: nothing in the executor may catch it.
struct Crash {};

const std::string bootA = "0f8fad5b-d9cb-469f-a165-70867728950e";

struct FakeClient : ResourceCommandClient {
    struct Completion {
        ResourceCommand command;
        bool success;
        ResourceObservation snapshot;
    };
    bool mayExecute = true;
    int failingClaims = 0;
    int failingCompletions = 0;
    std::vector<ResourceObservation> claims;
    std::vector<Completion> completions;  // accepted ones only
    int completionAttempts = 0;

    bool claimResource(const ResourceCommand&, const ResourceObservation& snapshot) override {
        claims.push_back(snapshot);
        if (failingClaims > 0 && failingClaims--) throw Error("claim failed");
        return mayExecute;
    }
    void completeResource(const ResourceCommand& command, bool success, const ResourceObservation& snapshot) override {
        ++completionAttempts;
        if (failingCompletions > 0 && failingCompletions--) throw Error("complete failed");
        completions.push_back({command, success, snapshot});
    }
};

struct MemoryStore : ResourceReceiptStore {
    std::optional<ResourceReceipt> stored;
    std::vector<std::string> savedPhases;
    int failingLoads = 0;
    std::string failSaving;   // the save of this phase throws and keeps the old receipt
    std::string crashAfter;   // the save of this phase is kept, then the process dies

    std::optional<ResourceReceipt> load() override {
        if (failingLoads > 0 && failingLoads--) throw Error("load failed");
        return stored;
    }
    void save(const ResourceReceipt& receipt) override {
        if (!failSaving.empty() && receipt.phase == failSaving) {
            failSaving.clear();
            throw Error("save failed");
        }
        // A receipt survives the process only as what its JSON says.
        stored = ResourceReceipt::decode(receipt.encode());
        savedPhases.push_back(receipt.phase);
        if (!crashAfter.empty() && receipt.phase == crashAfter) {
            crashAfter.clear();
            throw Crash{};
        }
    }
};

ResourceObservation running(std::int64_t cpu = 2, std::int64_t memoryMiB = 4096, std::string boot = bootA) {
    return {cpu, memoryMiB, "Running", boot};
}
ResourceObservation stopped(std::int64_t cpu = 2, std::int64_t memoryMiB = 4096) {
    return {cpu, memoryMiB, "Stopped", std::nullopt};
}

ResourceCommand request(ResourceObservation before, std::string status = "queued", std::int64_t cpu = 4,
                        std::int64_t memoryMiB = 8192, std::string id = "res-1") {
    return {std::move(id), std::move(status), cpu, memoryMiB, std::move(before)};
}

struct Rig {
    explicit Rig(ResourceObservation initial) : vm(std::move(initial)) {}
    FakeResourceVM vm;
    FakeClient client;
    MemoryStore store;
    void handle(const ResourceCommand& command) { ResourceExecutor(client, store, vm).handle(command); }
    std::string failure(const ResourceCommand& command) {
        try {
            handle(command);
        } catch (const LifecycleFailure& error) {
            return error.what();
        }
        return "(no failure)";
    }
};

TEST(ResourceExecutor, RefusesMalformedCommandsWithoutTouchingAnything) {
    struct Case {
        const char* name;
        std::function<void(ResourceCommand&)> change;
        bool valid;
    };
    const Case cases[] = {
        {"as sent", [](ResourceCommand&) {}, true},
        {"memory 2304 MiB", [](ResourceCommand& c) { c.memoryMiB = 2304; }, true},
        {"largest memory", [](ResourceCommand& c) { c.memoryMiB = 16'777'216; }, true},
        {"1024 cpus", [](ResourceCommand& c) { c.cpu = 1024; }, true},
        {"running status", [](ResourceCommand& c) { c.status = "running"; }, true},
        {"id of 100 characters", [](ResourceCommand& c) { c.id = std::string(100, 'x'); }, true},
        {"100 non-ASCII characters", [](ResourceCommand& c) {
             c.id.clear();
             for (int i = 0; i < 100; ++i) c.id += "\u00e9";
         }, true},
        {"upper-case boot id", [](ResourceCommand& c) { c.before.bootId = "0F8FAD5B-D9CB-469F-A165-70867728950E"; }, true},
        {"stopped without boot id", [](ResourceCommand& c) { c.before = stopped(); }, true},
        {"id of 101 characters", [](ResourceCommand& c) { c.id = std::string(101, 'x'); }, false},
        {"finished status", [](ResourceCommand& c) { c.status = "completed"; }, false},
        {"status case", [](ResourceCommand& c) { c.status = "Queued"; }, false},
        {"memory not in 256 MiB steps", [](ResourceCommand& c) { c.memoryMiB = 2100; }, false},
        {"memory below 2 GiB", [](ResourceCommand& c) { c.memoryMiB = 1792; }, false},
        {"memory above 16 TiB", [](ResourceCommand& c) { c.memoryMiB = 16'777'472; }, false},
        {"negative memory", [](ResourceCommand& c) { c.memoryMiB = -2048; }, false},
        {"memory overflowing bytes", [](ResourceCommand& c) { c.memoryMiB = std::int64_t(1) << 52; }, false},
        {"no cpu", [](ResourceCommand& c) { c.cpu = 0; }, false},
        {"1025 cpus", [](ResourceCommand& c) { c.cpu = 1025; }, false},
        {"running without boot id", [](ResourceCommand& c) { c.before.bootId.reset(); }, false},
        {"running with a non-UUID boot id", [](ResourceCommand& c) { c.before.bootId = "boot-1"; }, false},
        {"boot id with braces", [](ResourceCommand& c) { c.before.bootId = "{" + bootA + "}"; }, false},
        {"stopped with a boot id", [](ResourceCommand& c) { c.before = stopped(); c.before.bootId = bootA; }, false},
        {"unknown before state", [](ResourceCommand& c) { c.before.vmState = "running"; }, false},
    };
    for (const Case& c : cases) {
        ResourceCommand command = request(running());
        c.change(command);
        Rig rig(command.before);
        rig.client.mayExecute = false;
        if (c.valid) {
            EXPECT_NO_THROW(rig.handle(command)) << c.name;
            EXPECT_EQ(rig.client.completions.size(), 1u) << c.name;
        } else {
            EXPECT_EQ(rig.failure(command), ResourceExecutor::invalidCommandMessage) << c.name;
            EXPECT_EQ(rig.vm.observationCalls + rig.vm.applyCalls, 0) << c.name;
            EXPECT_TRUE(rig.store.savedPhases.empty()) << c.name;
            EXPECT_TRUE(rig.client.claims.empty() && rig.client.completions.empty()) << c.name;
        }
    }
}

TEST(ResourceExecutor, CarriesOutAQueuedCommandOnce) {
    for (ResourceObservation before : {running(), stopped()}) {
        Rig rig(before);
        ResourceCommand command = request(before);
        rig.handle(command);

        EXPECT_EQ(rig.store.savedPhases, (std::vector<std::string>{"prepared", "attempted", "finished"}));
        EXPECT_EQ(rig.client.claims, std::vector<ResourceObservation>{before});
        EXPECT_EQ(rig.vm.resizes, 1);
        ASSERT_EQ(rig.client.completions.size(), 1u);
        const FakeClient::Completion completion = rig.client.completions[0];
        EXPECT_TRUE(completion.success);
        EXPECT_EQ(completion.snapshot, rig.vm.state);
        EXPECT_EQ(completion.command, command);
        EXPECT_EQ(rig.vm.state.cpu, 4);
        EXPECT_EQ(rig.vm.state.memoryMiB, 8192);
        EXPECT_EQ(rig.vm.state.bootId.has_value(), before.vmState == "Running");
        EXPECT_EQ(rig.store.stored->success, std::optional<bool>(true));
        EXPECT_EQ(rig.store.stored->actual, rig.vm.state);

        // The same command again only repeats the report.
        int observations = rig.vm.observationCalls;
        rig.handle(command);
        EXPECT_EQ(rig.vm.resizes, 1);
        EXPECT_EQ(rig.vm.observationCalls, observations);
        EXPECT_EQ(rig.client.claims.size(), 1u);
        ASSERT_EQ(rig.client.completions.size(), 2u);
        EXPECT_TRUE(rig.client.completions[1].success);
        EXPECT_EQ(rig.client.completions[1].snapshot, completion.snapshot);
    }
}

TEST(ResourceExecutor, ReceiptOfAnotherCommandIsReplaced) {
    Rig rig(stopped());
    ResourceReceipt old(request(running(8, 16384), "queued", 2, 4096, "res-0"), "finished", true, running());
    rig.store.stored = old;
    rig.handle(request(stopped()));
    EXPECT_EQ(rig.store.stored->command.id, "res-1");
    EXPECT_EQ(rig.store.savedPhases.front(), "prepared");
    EXPECT_EQ(rig.vm.resizes, 1);
}

TEST(ResourceExecutor, ReceiptOfTheSameIdMustAgree) {
    ResourceCommand command = request(running());
    const std::vector<std::function<void(ResourceCommand&)>> disagreements = {
        [](ResourceCommand& c) { c.cpu = 6; },
        [](ResourceCommand& c) { c.memoryMiB = 4096; },
        [](ResourceCommand& c) { c.before.cpu = 3; },
        [](ResourceCommand& c) { c.before.memoryMiB = 2048; },
        [](ResourceCommand& c) { c.before.bootId = "7c9e6679-7425-40de-944b-e07fc1f90ae7"; },
        [](ResourceCommand& c) { c.before = stopped(); },
    };
    for (std::size_t i = 0; i < disagreements.size(); ++i) {
        Rig rig(command.before);
        ResourceCommand stored = command;
        disagreements[i](stored);
        rig.store.stored = ResourceReceipt(stored, "attempted");
        EXPECT_EQ(rig.failure(command), ResourceExecutor::receiptMismatchMessage) << i;
        EXPECT_EQ(rig.vm.observationCalls + rig.vm.applyCalls, 0) << i;
        EXPECT_TRUE(rig.store.savedPhases.empty() && rig.client.completions.empty()) << i;
    }

    // The stored copy of the status is not compared.
    Rig rig(command.before);
    ResourceCommand stored = command;
    stored.status = "running";
    rig.store.stored = ResourceReceipt(stored, "prepared");
    rig.handle(command);
    EXPECT_EQ(rig.vm.resizes, 1);
    EXPECT_EQ(rig.store.stored->command.status, "running");
}

TEST(ResourceExecutor, RunningCommandWithoutReceiptIsReportedAsNotDone) {
    Rig rig(running());
    rig.handle(request(running(), "running"));
    EXPECT_TRUE(rig.client.claims.empty());
    EXPECT_TRUE(rig.store.savedPhases.empty());
    EXPECT_FALSE(rig.store.stored);
    EXPECT_EQ(rig.vm.applyCalls, 0);
    ASSERT_EQ(rig.client.completions.size(), 1u);
    EXPECT_FALSE(rig.client.completions[0].success);
    EXPECT_EQ(rig.client.completions[0].snapshot, running());
}

TEST(ResourceExecutor, RunningCommandWithPreparedReceiptFinishesUnchanged) {
    Rig rig(running());
    rig.store.stored = ResourceReceipt(request(running()), "prepared");
    rig.handle(request(running(), "running"));
    EXPECT_TRUE(rig.client.claims.empty());
    EXPECT_EQ(rig.vm.applyCalls, 0);
    EXPECT_EQ(rig.store.savedPhases, std::vector<std::string>{"finished"});
    ASSERT_EQ(rig.client.completions.size(), 1u);
    EXPECT_FALSE(rig.client.completions[0].success);
}

TEST(ResourceExecutor, RefusedClaimFinishesWithTheUnchangedVM) {
    Rig rig(running());
    rig.client.mayExecute = false;
    rig.handle(request(running()));
    EXPECT_EQ(rig.vm.applyCalls, 0);
    EXPECT_EQ(rig.store.savedPhases, (std::vector<std::string>{"prepared", "finished"}));
    EXPECT_EQ(rig.store.stored->success, std::optional<bool>(false));
    EXPECT_EQ(rig.store.stored->actual, running());
    ASSERT_EQ(rig.client.completions.size(), 1u);
    EXPECT_FALSE(rig.client.completions[0].success);
    EXPECT_EQ(rig.client.completions[0].snapshot, running());
}

TEST(ResourceExecutor, VMThatChangedIsNotTouched) {
    // No receipt yet: nothing is saved.
    Rig fresh(running(2, 4096, "7c9e6679-7425-40de-944b-e07fc1f90ae7"));
    EXPECT_EQ(fresh.failure(request(running())), ResourceExecutor::changedBeforePrepareMessage);
    EXPECT_TRUE(fresh.store.savedPhases.empty());
    EXPECT_TRUE(fresh.client.claims.empty() && fresh.client.completions.empty());

    // A prepared receipt stays prepared, and the claim is not made.
    Rig resumed(stopped(3));
    resumed.store.stored = ResourceReceipt(request(stopped()), "prepared");
    EXPECT_EQ(resumed.failure(request(stopped())), ResourceExecutor::changedBeforeClaimMessage);
    EXPECT_EQ(resumed.store.stored->phase, "prepared");
    EXPECT_TRUE(resumed.client.claims.empty() && resumed.client.completions.empty());
    EXPECT_EQ(resumed.vm.applyCalls, 0);
}

TEST(ResourceExecutor, FailedChangeIsReportedNotThrown) {
    struct Case {
        const char* name;
        FakeResourceVM::ApplyFault fault;
        bool resized;
    };
    for (const Case& c : {Case{"refused", FakeResourceVM::ApplyFault::beforeChange, false},
                          Case{"changed, then failed", FakeResourceVM::ApplyFault::afterChange, true},
                          Case{"left unchanged", FakeResourceVM::ApplyFault::ignoreRequest, false}}) {
        Rig rig(running());
        rig.vm.applyFault = c.fault;
        EXPECT_NO_THROW(rig.handle(request(running()))) << c.name;
        EXPECT_EQ(rig.vm.resizes, c.resized ? 1 : 0) << c.name;
        ASSERT_EQ(rig.client.completions.size(), 1u) << c.name;
        EXPECT_FALSE(rig.client.completions[0].success) << c.name;
        EXPECT_EQ(rig.client.completions[0].snapshot, rig.vm.state) << c.name;
        EXPECT_EQ(rig.store.stored->phase, "finished") << c.name;
        EXPECT_EQ(rig.store.stored->actual, rig.vm.state) << c.name;
    }
}

TEST(ResourceExecutor, CompletionWithoutAnyObservationIsUnconfirmed) {
    Rig rig(running());
    // The observation after the failed change and the one for the report both fail.
    ResourceCommand command = request(running());
    rig.vm.applyFault = FakeResourceVM::ApplyFault::afterChange;
    rig.vm.afterResize = [&] { rig.vm.failingObservations = 2; };
    EXPECT_EQ(rig.failure(command), ResourceExecutor::unconfirmedMessage);
    EXPECT_EQ(rig.store.stored->phase, "finished");
    EXPECT_EQ(rig.store.stored->success, std::optional<bool>(false));
    EXPECT_FALSE(rig.store.stored->actual);
    EXPECT_TRUE(rig.client.completions.empty());

    // Next pass: the report goes out with a fresh observation; the VM is left alone.
    rig.vm.afterResize = nullptr;
    rig.handle(command);
    EXPECT_EQ(rig.vm.applyCalls, 1);
    ASSERT_EQ(rig.client.completions.size(), 1u);
    EXPECT_FALSE(rig.client.completions[0].success);
    EXPECT_EQ(rig.client.completions[0].snapshot, rig.vm.state);
}

TEST(ResourceExecutor, ResumesFromEveryInterruptionWithoutChangingTheVMAgain) {
    // Each case interrupts the first run at one point; later runs with the same command
    // must end in exactly one accepted report, with the VM changed at most once.
    struct Case {
        const char* name;
        std::function<void(Rig&)> interrupt;
        bool changed;  // the VM took the new size
        bool success;  // what the panel is finally told
    };
    const Case cases[] = {
        {"crash after prepared", [](Rig& r) { r.store.crashAfter = "prepared"; }, true, true},
        {"crash after attempted, before the change", [](Rig& r) { r.store.crashAfter = "attempted"; }, false,
         false},
        {"crash during the change", [](Rig& r) { r.vm.afterResize = [] { throw Crash{}; }; }, true, true},
        {"crash after finished", [](Rig& r) { r.store.crashAfter = "finished"; }, true, true},
        {"prepared not saved", [](Rig& r) { r.store.failSaving = "prepared"; }, true, true},
        {"attempted not saved", [](Rig& r) { r.store.failSaving = "attempted"; }, true, true},
        {"finished not saved", [](Rig& r) { r.store.failSaving = "finished"; }, true, true},
        {"claim lost", [](Rig& r) { r.client.failingClaims = 1; }, true, true},
        {"completion lost", [](Rig& r) { r.client.failingCompletions = 1; }, true, true},
        {"completion lost twice", [](Rig& r) { r.client.failingCompletions = 2; }, true, true},
        {"receipt unreadable", [](Rig& r) { r.store.failingLoads = 1; }, true, true},
    };
    for (const Case& c : cases) {
        for (ResourceObservation before : {running(), stopped()}) {
            SCOPED_TRACE(std::string(c.name) + " / " + before.vmState);
            Rig rig(before);
            ResourceCommand command = request(before);
            c.interrupt(rig);
            bool interrupted = false;
            try {
                rig.handle(command);
            } catch (const Crash&) {
                interrupted = true;
                rig.vm.afterResize = nullptr;
            } catch (const Error&) {
                interrupted = true;
            }
            EXPECT_TRUE(interrupted);
            EXPECT_TRUE(rig.client.completions.empty());
            for (int pass = 0; pass < 3 && rig.client.completions.empty(); ++pass) {
                try {
                    rig.handle(command);
                } catch (const Error&) {
                }
            }
            EXPECT_LE(rig.vm.resizes, 1);
            EXPECT_EQ(rig.vm.resizes, c.changed ? 1 : 0);
            ASSERT_EQ(rig.client.completions.size(), 1u);
            EXPECT_EQ(rig.client.completions[0].success, c.success);
            EXPECT_EQ(rig.client.completions[0].snapshot, rig.vm.state);
            EXPECT_EQ(rig.store.stored->phase, "finished");
        }
    }
}

TEST(ResourceExecutor, AttemptedReceiptIsSettledByObservation) {
    // The VM shows the new size with a new boot: success without applying again.
    ResourceCommand command = request(running());
    Rig done(running(4, 8192, FakeResourceVM::bootId(7)));
    done.store.stored = ResourceReceipt(command, "attempted");
    done.handle(command);
    EXPECT_EQ(done.vm.applyCalls, 0);
    EXPECT_TRUE(done.client.claims.empty());
    ASSERT_EQ(done.client.completions.size(), 1u);
    EXPECT_TRUE(done.client.completions[0].success);

    // The new size in the old boot is not the restart that was asked for.
    Rig sameBoot(running(4, 8192));
    sameBoot.store.stored = ResourceReceipt(command, "attempted");
    sameBoot.handle(command);
    ASSERT_EQ(sameBoot.client.completions.size(), 1u);
    EXPECT_FALSE(sameBoot.client.completions[0].success);

    // An unknown phase is settled as not done.
    Rig odd(running(4, 8192, FakeResourceVM::bootId(7)));
    odd.store.stored = ResourceReceipt(command, "applying");
    odd.handle(command);
    EXPECT_EQ(odd.vm.applyCalls, 0);
    ASSERT_EQ(odd.client.completions.size(), 1u);
    EXPECT_FALSE(odd.client.completions[0].success);
}

TEST(ResourceExecutor, ErrorsElsewherePassThroughAndKeepTheReceipt) {
    Rig rig(running());
    rig.store.failSaving = "attempted";
    try {
        rig.handle(request(running()));
        ADD_FAILURE() << "no error";
    } catch (const Error& error) {
        EXPECT_STREQ(error.what(), "save failed");
    }
    EXPECT_EQ(rig.vm.applyCalls, 0);  // the VM is touched only once "attempted" is on disk
    EXPECT_EQ(rig.store.stored->phase, "prepared");

    Rig claim(running());
    claim.client.failingClaims = 1;
    EXPECT_THROW(claim.handle(request(running())), Error);
    EXPECT_EQ(claim.store.stored->phase, "prepared");
    EXPECT_EQ(claim.vm.applyCalls, 0);

    Rig observe(running());
    observe.vm.failingObservations = 1;
    try {
        observe.handle(request(running(), "running"));
        ADD_FAILURE() << "no error";
    } catch (const Error& error) {
        EXPECT_STREQ(error.what(), FakeResourceVM::observationFailure);
    }
    EXPECT_TRUE(observe.client.completions.empty());
}

// --- With the receipt file and the panel over HTTP -------------------------------------

// The disk store, with the process dying right after one phase reached the disk.
struct CrashingFileStore : ResourceReceiptStore {
    explicit CrashingFileStore(const std::filesystem::path& file, std::string crashAfter = "")
        : disk(file), crashAfter(std::move(crashAfter)) {}
    ResourceReceiptFileStore disk;
    std::string crashAfter;
    std::optional<ResourceReceipt> load() override { return disk.load(); }
    void save(const ResourceReceipt& receipt) override {
        disk.save(receipt);
        if (receipt.phase == crashAfter) throw Crash{};
    }
};

TEST(ResourceExecutor, ResumesFromTheReceiptFileAfterACrash) {
    testing::TempHome home;
    AgentConfiguration configuration{"mac-1", *Url::parse("https://panel.example"), {}, "127.0.0.1", std::nullopt,
                                     std::nullopt};
    const std::filesystem::path file = ResourceReceiptFileStore(configuration, std::nullopt, true).url();
    EXPECT_EQ(file.parent_path(), home.supportDir() / "resource-changes");

    for (const char* phase : {"prepared", "attempted", "finished"}) {
        SCOPED_TRACE(phase);
        std::filesystem::remove(file);
        FakeResourceVM vm(running());
        FakeClient client;
        ResourceCommand command = request(running());
        {
            CrashingFileStore store(file, phase);
            EXPECT_THROW(ResourceExecutor(client, store, vm).handle(command), Crash);
        }
        EXPECT_EQ(ResourceReceiptFileStore(file).load()->phase, phase);
        int resizes = vm.resizes;

        // A new process: fresh store and executor over the same file.
        ResourceReceiptFileStore store(file);
        ResourceExecutor(client, store, vm).handle(command);
        EXPECT_LE(vm.resizes, 1);
        if (std::string(phase) != "prepared") {
            EXPECT_EQ(vm.resizes, resizes);
        }
        ASSERT_EQ(client.completions.size(), 1u);
        EXPECT_EQ(client.completions[0].success, vm.resizes == 1);
        EXPECT_EQ(client.completions[0].snapshot, vm.state);
        ResourceReceipt saved = *store.load();
        EXPECT_EQ(saved.phase, "finished");
        EXPECT_EQ(saved.command, command);
        EXPECT_EQ(saved.actual, vm.state);
    }
}

TEST(ResourceExecutor, TalksToThePanel) {
    testing::TempHome home;
    ResourceObservation before = stopped();
    ResourceCommand command = request(before);
    int failCompletions = 1;
    testing::ScriptedHttpServer panel([&](const testing::ScriptedHttpServer::Request& http) {
        json::Json body = json::parse(http.body);
        if (body["action"] == "poll")
            return testing::ScriptedHttpServer::Response{200, json::encode({{"command", toJson(command)}}), {}};
        if (body["action"] == "claim") return testing::ScriptedHttpServer::Response{200, R"({"mayExecute":true})", {}};
        if (failCompletions > 0 && failCompletions--)
            return testing::ScriptedHttpServer::Response{503, R"({"error":"Try again later."})", {}};
        return testing::ScriptedHttpServer::Response{200, "{}", {}};
    });
    AgentConfiguration configuration{"mac-1", *Url::parse(panel.base()), {}, "127.0.0.1", std::nullopt, std::nullopt};
    LifecycleResourceClient client(LifecycleClient(configuration, "token-1"));
    ResourceReceiptFileStore store(configuration, std::nullopt, true);
    FakeResourceVM vm(before);

    std::optional<ResourceCommand> polled = client.pollResources(vm.resourceObservation());
    ASSERT_EQ(polled, command);
    ResourceExecutor executor(client, store, vm);
    try {
        executor.handle(*polled);
        ADD_FAILURE() << "no error";
    } catch (const LifecycleFailure& error) {
        EXPECT_STREQ(error.what(), "Try again later.");
    }
    executor.handle(*polled);
    EXPECT_EQ(vm.resizes, 1);

    std::vector<std::string> actions;
    for (const auto& http : panel.requests()) {
        json::Json body = json::parse(http.body);
        actions.push_back(body["action"]);
        if (body["action"] != "poll") {
            EXPECT_EQ(body["commandId"], "res-1");
        }
        if (body["action"] == "claim") {
            EXPECT_EQ(body["snapshot"], toJson(before));
        }
        if (body["action"] == "complete") {
            EXPECT_EQ(body["success"], true);
            EXPECT_EQ(body["snapshot"], toJson(vm.state));
        }
    }
    EXPECT_EQ(actions, (std::vector<std::string>{"poll", "claim", "complete", "complete"}));
}

}  // namespace
}  // namespace tessaron
