#pragma once
// Resource-change commands of the control panel: the Mac's observation of its VM's
// size, state and boot, the panel's request for a new size, and the executor's
// on-disk record of how far it got with one request.
//
// JSON keys are the field names. Decoding is strict: a missing required key or a value
// of the wrong type is a json::DecodingError.

#include "host/json.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace tessaron {

// What this Mac reports about its VM.
struct ResourceObservation {
    std::int64_t cpu = 0;
    std::int64_t memoryMiB = 0;        // bytes >> 20
    std::string vmState;               // "Running" or "Stopped"
    std::optional<std::string> bootId; // the guest's boot identifier while it runs

    bool operator==(const ResourceObservation&) const = default;

    // All four keys; an absent boot id is written as null.
    json::Json toJson() const;
    // "cpu", "memoryMiB" and "vmState" are required; a missing or null "bootId" is absent.
    static ResourceObservation fromJson(const json::Json& object);
};

// One request of the panel. All five keys are required and always written.
struct ResourceCommand {
    std::string id;
    std::string status;  // the executor acts on "queued" and "running"
    std::int64_t cpu = 0;
    std::int64_t memoryMiB = 0;
    ResourceObservation before;  // the observation the request was based on

    bool operator==(const ResourceCommand&) const = default;

    // Whether `observed` shows this request carried out: the requested size, the state
    // of `before`, and for a VM that was running a boot id other than the one it had
    // then (any boot id when `before` had none).
    bool matches(const ResourceObservation& observed) const;

    json::Json toJson() const;
    static ResourceCommand fromJson(const json::Json& object);
};

// The executor's record of one command: "prepared", "attempted" or "finished".
struct ResourceReceipt {
    ResourceCommand command;  // as received; never changed after creation
    std::string phase;
    std::optional<bool> success;                // set with "finished"
    std::optional<ResourceObservation> actual;  // the observation recorded with "finished"

    ResourceReceipt() = default;
    ResourceReceipt(ResourceCommand command, std::string phase, std::optional<bool> success = std::nullopt,
                    std::optional<ResourceObservation> actual = std::nullopt)
        : command(std::move(command)), phase(std::move(phase)), success(success), actual(std::move(actual)) {}

    bool operator==(const ResourceReceipt&) const = default;

    // "success" and "actual" are left out when absent.
    json::Json toJson() const;
    static ResourceReceipt fromJson(const json::Json& object);
    // Compact JSON text and its inverse (json::DecodingError).
    std::string encode() const;
    static ResourceReceipt decode(std::string_view text);
};

// How the resource executor reaches the panel.
class ResourceCommandClient {
public:
    virtual ~ResourceCommandClient() = default;
    // Whether the panel allows this Mac to carry the command out now.
    virtual bool claimResource(const ResourceCommand& command, const ResourceObservation& snapshot) = 0;
    // Reports the outcome together with what the VM looks like now.
    virtual void completeResource(const ResourceCommand& command, bool success, const ResourceObservation& snapshot) = 0;
};

// Where the resource executor keeps its one receipt.
class ResourceReceiptStore {
public:
    virtual ~ResourceReceiptStore() = default;
    virtual std::optional<ResourceReceipt> load() = 0;
    virtual void save(const ResourceReceipt& receipt) = 0;
};

}  // namespace tessaron
