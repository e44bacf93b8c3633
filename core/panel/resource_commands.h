#pragma once
// Resource-change commands of the control panel: JSON for the Mac's observation of
// its VM and the panel's request for a new size, the test of whether a request was
// carried out, and the executor's on-disk record of how far it got with one request.
//
// JSON keys are the field names. Decoding is strict: a missing required key or a value
// of the wrong type is a json::DecodingError.

#include "host/json.h"
#include "panel/vm_protocols.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace tessaron {

// ResourceObservation and ResourceCommand are declared with the VM interfaces.

// Whether `observed` shows `command` carried out: the requested size, the state of
// `command.before`, and for a VM that was running a boot id other than the one it had
// then (any boot id when `before` had none).
bool matches(const ResourceCommand& command, const ResourceObservation& observed);

// An observation as JSON: all four keys, an absent boot id written as null. Decoding
// requires "cpu", "memoryMiB" and "vmState"; a missing or null "bootId" is absent.
json::Json toJson(const ResourceObservation& observation);
ResourceObservation resourceObservationFromJson(const json::Json& object);

// A command as JSON: all five keys, always written and all required.
json::Json toJson(const ResourceCommand& command);
ResourceCommand resourceCommandFromJson(const json::Json& object);

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
