#include "panel/resource_commands.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

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

}  // namespace
}  // namespace tessaron
