#pragma once
// Resource-change commands of the control panel: JSON for the Mac's observation of
// its VM and the panel's request for a new size, the test of whether a request was
// carried out, and the executor's on-disk record of how far it got with one request.
//
// JSON keys are the field names. Decoding is strict: a missing required key or a value
// of the wrong type is a json::DecodingError.

#include "host/json.h"
#include "host/resource_policy.h"
#include "panel/control_panel_client.h"
#include "panel/receipt_store.h"
#include "panel/vm_protocols.h"

#include <chrono>
#include <cstdint>
#include <functional>
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

// The receipt file store of the resource executor ("resource-changes/<pairing key>.json").
template <>
struct ReceiptStoreInterface<ResourceReceipt> {
    using type = ResourceReceiptStore;
};
using ResourceReceiptFileStore = DiskOperationReceiptStore<ResourceReceipt>;

// The panel's resource operations of LifecycleClient. Each is one POST to "resources"
// through LifecycleClient::post (which adds "machineId", the bearer token, the URL
// rules and all error handling), with a 15-second time-out; nothing is retried.
class LifecycleResourceClient : public ResourceCommandClient {
public:
    explicit LifecycleResourceClient(LifecycleClient client) : client_(std::move(client)) {}

    const LifecycleClient& client() const { return client_; }

    // Sends {"action", "version": 1, "snapshot", "commandId" when given, "success" when
    // given} and returns the answer body unparsed.
    std::string resourceOperation(const std::string& action, const ResourceObservation& snapshot,
                                  const std::optional<std::string>& commandId, std::optional<bool> success) const;

    // "poll": the waiting command, or nothing when the answer's "command" is missing or
    // null. An answer that is not such an object is a json::DecodingError.
    std::optional<ResourceCommand> pollResources(const ResourceObservation& snapshot) const;
    // "claim": the panel's required boolean "mayExecute" (json::DecodingError otherwise).
    bool claimResource(const ResourceCommand& command, const ResourceObservation& snapshot) override;
    // "complete": the answer is not read.
    void completeResource(const ResourceCommand& command, bool success, const ResourceObservation& snapshot) override;

    static constexpr std::chrono::milliseconds timeout{15'000};

private:
    LifecycleClient client_;
};

// The VM manager's side: how the VM is observed and how a command is applied through
// the guarded resize. The caller holds the VM resource lock (shared to observe,
// exclusive to apply).
namespace ResourceChange {

inline constexpr const char* transitionalStateMessage = "Wait for Linux to finish starting or stopping.";
inline constexpr const char* changedMessage =
    "The VM changed since the request. No additional restart was authorized.";
inline constexpr const char* invalidMemoryMessage = "Invalid memory selection.";

// The observation of a VM whose limactl status is `state` (any letter case) with
// `allocation`; `bootID` is asked only for a running VM and its error passes through.
// Any status but running or stopped is a LifecycleFailure(transitionalStateMessage).
ResourceObservation observation(const std::string& state, const ResourceAllocation& allocation,
                                const std::function<std::string()>& bootID);

// Applies `command`: the VM (`observe`) must equal `command.before` (else
// LifecycleFailure(changedMessage)); the memory must be positive and its byte count fit
// 64 bits (else LifecycleFailure(invalidMemoryMessage)); the request must pass
// ResourcePolicy::validatedAllocation on `host()` (its error unchanged). Then `resize`
// gets the allocation, `host()` read again, and a restart allowed exactly when the VM
// was running; the VM is observed again and that observation returned.
ResourceObservation apply(const ResourceCommand& command, const std::function<ResourceObservation()>& observe,
                          const std::function<void(const ResourceAllocation&, const HostCapacity&, bool)>& resize,
                          const std::function<HostCapacity()>& host = HostCapacity::current);

}  // namespace ResourceChange

}  // namespace tessaron
