#include "panel/resource_commands.h"

#include "support/scripted_http_server.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace tessaron {
namespace {

using json::Json;

const std::string bootA = "0F8FAD5B-D9CB-469F-A165-70867728950E";
const std::string bootB = "7C9E6679-7425-40DE-944B-E07FC1F90AE7";

ResourceObservation observation(std::int64_t cpu, std::int64_t memoryMiB, std::string state,
                                std::optional<std::string> bootId = std::nullopt) {
    return {cpu, memoryMiB, std::move(state), std::move(bootId)};
}

ResourceCommand command(ResourceObservation before, std::int64_t cpu = 4, std::int64_t memoryMiB = 8192) {
    return {"cmd-1", "queued", cpu, memoryMiB, std::move(before)};
}

TEST(ResourceCommands, MatchesOnlyWhenTheRequestWasCarriedOut) {
    struct Case {
        const char* name;
        ResourceObservation before;
        ResourceObservation observed;
        bool expected;
    };
    const Case cases[] = {
        {"stopped, size reached", observation(2, 4096, "Stopped"), observation(4, 8192, "Stopped"), true},
        {"stopped, boot id ignored", observation(2, 4096, "Stopped"), observation(4, 8192, "Stopped", bootA), true},
        {"stopped, now running", observation(2, 4096, "Stopped"), observation(4, 8192, "Running", bootA), false},
        {"cpu differs", observation(2, 4096, "Stopped"), observation(3, 8192, "Stopped"), false},
        {"memory differs", observation(2, 4096, "Stopped"), observation(4, 8448, "Stopped"), false},
        {"state compared as exact text", observation(2, 4096, "Stopped"), observation(4, 8192, "stopped"), false},
        {"running, same boot", observation(2, 4096, "Running", bootA), observation(4, 8192, "Running", bootA), false},
        {"running, new boot", observation(2, 4096, "Running", bootA), observation(4, 8192, "Running", bootB), true},
        {"running, no boot id now", observation(2, 4096, "Running", bootA), observation(4, 8192, "Running"), false},
        {"running before without id, any id now", observation(2, 4096, "Running"),
         observation(4, 8192, "Running", bootA), true},
        {"running before without id, none now", observation(2, 4096, "Running"), observation(4, 8192, "Running"),
         false},
        {"running, now stopped", observation(2, 4096, "Running", bootA), observation(4, 8192, "Stopped"), false},
        {"unchanged running VM", observation(4, 8192, "Running", bootA), observation(4, 8192, "Running", bootA),
         false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(matches(command(c.before), c.observed), c.expected) << c.name;
}

TEST(ResourceCommands, ObservationWritesAllFourKeys) {
    Json stopped = toJson(observation(2, 4096, "Stopped"));
    EXPECT_EQ(json::encode(stopped), R"({"bootId":null,"cpu":2,"memoryMiB":4096,"vmState":"Stopped"})");

    ResourceObservation running = observation(8, 16384, "Running", bootA);
    EXPECT_EQ(resourceObservationFromJson(toJson(running)), running);
    EXPECT_EQ(resourceObservationFromJson(stopped), observation(2, 4096, "Stopped"));
}

TEST(ResourceCommands, ObservationDecoding) {
    // A missing or null boot id is absent.
    EXPECT_EQ(resourceObservationFromJson(json::parse(R"({"cpu":1,"memoryMiB":2048,"vmState":"Stopped"})")),
              observation(1, 2048, "Stopped"));
    for (const char* text : {
             R"({"memoryMiB":2048,"vmState":"Stopped"})",
             R"({"cpu":1,"vmState":"Stopped"})",
             R"({"cpu":1,"memoryMiB":2048})",
             R"({"cpu":"1","memoryMiB":2048,"vmState":"Stopped"})",
             R"({"cpu":1,"memoryMiB":2048,"vmState":"Stopped","bootId":7})",
             R"({"cpu":1.5,"memoryMiB":2048,"vmState":"Stopped"})",
             R"([1,2048,"Stopped"])",
         })
        EXPECT_THROW(resourceObservationFromJson(json::parse(text)), json::DecodingError) << text;
}

TEST(ResourceCommands, CommandRoundTripAndRequiredKeys) {
    ResourceCommand original = command(observation(2, 4096, "Running", bootA));
    Json encoded = toJson(original);
    EXPECT_EQ(json::encode(encoded),
              R"({"before":{"bootId":")" + bootA +
                  R"(","cpu":2,"memoryMiB":4096,"vmState":"Running"},"cpu":4,"id":"cmd-1","memoryMiB":8192,)"
                  R"("status":"queued"})");
    EXPECT_EQ(resourceCommandFromJson(encoded), original);

    for (const char* key : {"id", "status", "cpu", "memoryMiB", "before"}) {
        Json missing = encoded;
        missing.erase(key);
        EXPECT_THROW(resourceCommandFromJson(missing), json::DecodingError) << key;
    }
    Json badBefore = encoded;
    badBefore["before"].erase("vmState");
    EXPECT_THROW(resourceCommandFromJson(badBefore), json::DecodingError);
}

TEST(ResourceCommands, ReceiptLeavesOutWhatItDoesNotKnow) {
    ResourceReceipt prepared(command(observation(2, 4096, "Stopped")), "prepared");
    EXPECT_FALSE(prepared.success);
    EXPECT_FALSE(prepared.actual);
    Json encoded = json::parse(prepared.encode());
    EXPECT_EQ(encoded.size(), 2u);
    EXPECT_TRUE(encoded.contains("command"));
    EXPECT_EQ(encoded["phase"], "prepared");
    EXPECT_EQ(ResourceReceipt::decode(prepared.encode()), prepared);

    ResourceReceipt finished = prepared;
    finished.phase = "finished";
    finished.success = false;
    finished.actual = observation(2, 4096, "Stopped");
    ResourceReceipt decoded = ResourceReceipt::decode(finished.encode());
    EXPECT_EQ(decoded, finished);
    EXPECT_EQ(decoded.success, std::optional<bool>(false));

    // null counts as absent; "command" and "phase" are required.
    Json nulls = prepared.toJson();
    nulls["success"] = nullptr;
    nulls["actual"] = nullptr;
    EXPECT_EQ(ResourceReceipt::fromJson(nulls), prepared);
    for (const char* key : {"command", "phase"}) {
        Json missing = prepared.toJson();
        missing.erase(key);
        EXPECT_THROW(ResourceReceipt::fromJson(missing), json::DecodingError) << key;
    }
    EXPECT_THROW(ResourceReceipt::decode(""), json::DecodingError);
    EXPECT_THROW(ResourceReceipt::decode(R"({"command":{},"phase":"prepared"})"), json::DecodingError);
}

// --- The panel's resource operations ---------------------------------------------------

using testing::ScriptedHttpServer;

ScriptedHttpServer::Response reply(int status, std::string body) { return {status, std::move(body), {}}; }

LifecycleResourceClient clientFor(const ScriptedHttpServer& server) {
    AgentConfiguration configuration{"mac-1", *Url::parse(server.base()), {}, "127.0.0.1", std::nullopt, std::nullopt};
    return LifecycleResourceClient(LifecycleClient(configuration, "token-1"));
}

TEST(ResourceCommands, RequestBodies) {
    ScriptedHttpServer server([](const auto& request) {
        Json body = json::parse(request.body);
        if (body["action"] == "poll") return reply(200, R"({"command":null})");
        if (body["action"] == "claim") return reply(200, R"({"mayExecute":true})");
        return reply(200, "not even JSON");
    });
    LifecycleResourceClient client = clientFor(server);
    ResourceObservation snapshot = observation(2, 4096, "Stopped");
    ResourceCommand cmd = command(snapshot);

    EXPECT_FALSE(client.pollResources(snapshot));
    EXPECT_TRUE(client.claimResource(cmd, snapshot));
    client.completeResource(cmd, false, snapshot);  // the answer is not read

    auto requests = server.requests();
    ASSERT_EQ(requests.size(), 3u);
    for (const auto& request : requests) {
        EXPECT_EQ(request.method, "POST");
        EXPECT_EQ(request.target, "/api/tessaron/agent/resources");
        EXPECT_EQ(request.header("authorization"), "Bearer token-1");
    }
    const std::string snapshotJson = R"("snapshot":{"bootId":null,"cpu":2,"memoryMiB":4096,"vmState":"Stopped"})";
    EXPECT_EQ(requests[0].body, R"({"action":"poll","machineId":"mac-1",)" + snapshotJson + R"(,"version":1})");
    EXPECT_EQ(requests[1].body,
              R"({"action":"claim","commandId":"cmd-1","machineId":"mac-1",)" + snapshotJson + R"(,"version":1})");
    EXPECT_EQ(requests[2].body, R"({"action":"complete","commandId":"cmd-1","machineId":"mac-1",)" + snapshotJson +
                                    R"(,"success":false,"version":1})");
}

TEST(ResourceCommands, PanelAnswers) {
    std::string answer;
    ScriptedHttpServer server([&](const auto&) { return reply(200, answer); });
    LifecycleResourceClient client = clientFor(server);
    ResourceObservation snapshot = observation(2, 4096, "Stopped");
    ResourceCommand expected = command(observation(2, 4096, "Running", bootA));

    for (const char* none : {"{}", R"({"command":null})", R"({"command":null,"other":1})"}) {
        answer = none;
        EXPECT_FALSE(client.pollResources(snapshot)) << none;
    }
    answer = json::encode(Json{{"command", toJson(expected)}, {"ignored", true}});
    EXPECT_EQ(client.pollResources(snapshot), expected);

    for (const char* bad : {"", "[]", R"({"command":"x"})", R"({"command":{"id":"x"}})"}) {
        answer = bad;
        EXPECT_THROW(client.pollResources(snapshot), json::DecodingError) << bad;
    }

    answer = R"({"mayExecute":false})";
    EXPECT_FALSE(client.claimResource(expected, snapshot));
    for (const char* bad : {"{}", R"({"mayExecute":null})", R"({"mayExecute":"true"})", R"({"mayExecute":1})"}) {
        answer = bad;
        EXPECT_THROW(client.claimResource(expected, snapshot), json::DecodingError) << bad;
    }
}

TEST(ResourceCommands, PanelRefusalPassesThrough) {
    ScriptedHttpServer server([](const auto&) { return reply(500, R"({"error":"busy"})"); });
    LifecycleResourceClient client = clientFor(server);
    ResourceObservation snapshot = observation(2, 4096, "Stopped");
    try {
        client.completeResource(command(snapshot), true, snapshot);
        ADD_FAILURE() << "no error";
    } catch (const LifecycleFailure& error) {
        EXPECT_STREQ(error.what(), "busy");
    }
}

// --- The VM manager's side ---------------------------------------------------------------

constexpr std::uint64_t MiB = 1'048'576;
constexpr std::uint64_t GiB = 1'073'741'824;

TEST(ResourceCommands, ObservingTheVM) {
    int bootReads = 0;
    auto bootID = [&] {
        ++bootReads;
        return bootA;
    };
    ResourceAllocation allocation{4, 8 * GiB + 512 * 1024};  // the remainder below 1 MiB is dropped

    EXPECT_EQ(ResourceChange::observation("RUNNING", allocation, bootID), observation(4, 8192, "Running", bootA));
    EXPECT_EQ(bootReads, 1);
    EXPECT_EQ(ResourceChange::observation("stopped", allocation, bootID), observation(4, 8192, "Stopped"));
    EXPECT_EQ(ResourceChange::observation("Stopped", allocation, bootID), observation(4, 8192, "Stopped"));
    EXPECT_EQ(bootReads, 1);

    for (const char* state : {"Starting", "Broken", "", " Running"}) {
        try {
            ResourceChange::observation(state, allocation, bootID);
            ADD_FAILURE() << state;
        } catch (const LifecycleFailure& error) {
            EXPECT_STREQ(error.what(), "Wait for Linux to finish starting or stopping.");
        }
    }
    EXPECT_EQ(bootReads, 1);

    auto failingBoot = []() -> std::string { throw Error("no boot id"); };
    EXPECT_THROW(ResourceChange::observation("Running", allocation, failingBoot), Error);
}

struct VMScript {
    explicit VMScript(std::vector<ResourceObservation> script) : observations(std::move(script)) {}
    std::vector<ResourceObservation> observations;  // returned in turn
    std::size_t observed = 0;
    struct Resize {
        ResourceAllocation allocation;
        HostCapacity host;
        bool allowRestart;
    };
    std::vector<Resize> resizes;
    int hostReads = 0;

    ResourceObservation apply(const ResourceCommand& cmd) {
        return ResourceChange::apply(
            cmd, [&] { return observations.at(std::min(observed++, observations.size() - 1)); },
            [&](const ResourceAllocation& a, const HostCapacity& h, bool restart) { resizes.push_back({a, h, restart}); },
            [&] {
                ++hostReads;
                return HostCapacity{10, 16 * GiB};
            });
    }
    std::string failure(const ResourceCommand& cmd) {
        try {
            apply(cmd);
        } catch (const Error& error) {
            return error.what();
        }
        return "(applied)";
    }
};

TEST(ResourceCommands, ApplyingACommand) {
    ResourceObservation before = observation(2, 4096, "Running", bootA);
    ResourceObservation after = observation(4, 8192, "Running", "7c9e6679-7425-40de-944b-e07fc1f90ae7");
    VMScript vm({before, after});
    EXPECT_EQ(vm.apply(command(before)), after);
    ASSERT_EQ(vm.resizes.size(), 1u);
    EXPECT_EQ(vm.resizes[0].allocation, (ResourceAllocation{4, 8 * GiB}));
    EXPECT_EQ(vm.resizes[0].host, (HostCapacity{10, 16 * GiB}));
    EXPECT_TRUE(vm.resizes[0].allowRestart);
    EXPECT_EQ(vm.hostReads, 2);  // read again for the resize
    EXPECT_EQ(vm.observed, 2u);

    VMScript stoppedVM({observation(2, 4096, "Stopped")});
    stoppedVM.apply(command(observation(2, 4096, "Stopped")));
    ASSERT_EQ(stoppedVM.resizes.size(), 1u);
    EXPECT_FALSE(stoppedVM.resizes[0].allowRestart);
}

TEST(ResourceCommands, ApplyingRefusesBeforeTouchingTheVM) {
    ResourceObservation before = observation(2, 4096, "Running", bootA);
    struct Case {
        const char* name;
        ResourceObservation current;
        std::int64_t cpu;
        std::int64_t memoryMiB;
        std::string message;
    };
    const std::string changed = "The VM changed since the request. No additional restart was authorized.";
    const std::string invalidMemory = "Invalid memory selection.";
    const Case cases[] = {
        {"zero memory", before, 4, 0, invalidMemory},
        {"negative memory", before, 4, -256, invalidMemory},
        {"byte count over 64 bits", before, 4, std::int64_t(1) << 44, invalidMemory},
        {"largest int64", before, 4, INT64_MAX, invalidMemory},
        {"changed VM is reported first", observation(3, 4096, "Running", bootA), 4, 0, changed},
        {"another boot", observation(2, 4096, "Running", "7c9e6679-7425-40de-944b-e07fc1f90ae7"), 4, 4096, changed},
        {"boot id lost", observation(2, 4096, "Running"), 4, 4096, changed},
        {"outside the policy", before, 4, (std::int64_t(1) << 44) - 256,
         "Choose between 2 and 12.0 GiB of RAM, in 256 MiB increments. Resources must remain available for macOS."},
        {"too many CPUs", before, 9, 4096, "Choose between 1 and 8 CPU cores on this Mac."},
    };
    for (const Case& c : cases) {
        VMScript vm({c.current});
        EXPECT_EQ(vm.failure(command(before, c.cpu, c.memoryMiB)), c.message) << c.name;
        EXPECT_TRUE(vm.resizes.empty()) << c.name;
    }
}

}  // namespace
}  // namespace tessaron
