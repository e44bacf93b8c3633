#include "panel/resource_commands.h"

#include <cctype>

namespace tessaron {

json::Json toJson(const ResourceObservation& observation) {
    json::Json object = json::Json::object();
    object["cpu"] = observation.cpu;
    object["memoryMiB"] = observation.memoryMiB;
    object["vmState"] = observation.vmState;
    object["bootId"] = observation.bootId ? json::Json(*observation.bootId) : json::Json(nullptr);
    return object;
}

ResourceObservation resourceObservationFromJson(const json::Json& object) {
    json::requireObject(object, "the resource observation");
    ResourceObservation observation;
    observation.cpu = json::int64(object, "cpu");
    observation.memoryMiB = json::int64(object, "memoryMiB");
    observation.vmState = json::string(object, "vmState");
    observation.bootId = json::optionalString(object, "bootId");
    return observation;
}

bool matches(const ResourceCommand& command, const ResourceObservation& observed) {
    const ResourceObservation& before = command.before;
    if (observed.cpu != command.cpu || observed.memoryMiB != command.memoryMiB) return false;
    if (observed.vmState != before.vmState) return false;
    if (before.vmState != "Running") return true;
    if (!observed.bootId) return false;
    if (!before.bootId) return true;
    return *observed.bootId != *before.bootId;
}

json::Json toJson(const ResourceCommand& command) {
    json::Json object = json::Json::object();
    object["id"] = command.id;
    object["status"] = command.status;
    object["cpu"] = command.cpu;
    object["memoryMiB"] = command.memoryMiB;
    object["before"] = toJson(command.before);
    return object;
}

ResourceCommand resourceCommandFromJson(const json::Json& object) {
    json::requireObject(object, "the resource command");
    ResourceCommand command;
    command.id = json::string(object, "id");
    command.status = json::string(object, "status");
    command.cpu = json::int64(object, "cpu");
    command.memoryMiB = json::int64(object, "memoryMiB");
    command.before = resourceObservationFromJson(json::object(object, "before"));
    return command;
}

json::Json ResourceReceipt::toJson() const {
    json::Json object = json::Json::object();
    object["command"] = tessaron::toJson(command);
    object["phase"] = phase;
    if (success) object["success"] = *success;
    if (actual) object["actual"] = tessaron::toJson(*actual);
    return object;
}

ResourceReceipt ResourceReceipt::fromJson(const json::Json& object) {
    json::requireObject(object, "the resource receipt");
    ResourceReceipt receipt;
    receipt.command = resourceCommandFromJson(json::object(object, "command"));
    receipt.phase = json::string(object, "phase");
    receipt.success = json::optionalBoolean(object, "success");
    if (auto found = object.find("actual"); found != object.end() && !found->is_null())
        receipt.actual = resourceObservationFromJson(*found);
    return receipt;
}

std::string ResourceReceipt::encode() const { return json::encode(toJson()); }

ResourceReceipt ResourceReceipt::decode(std::string_view text) { return fromJson(json::parseObject(text)); }

std::string LifecycleResourceClient::resourceOperation(const std::string& action, const ResourceObservation& snapshot,
                                                       const std::optional<std::string>& commandId,
                                                       std::optional<bool> success) const {
    json::Json body = json::Json::object();
    body["action"] = action;
    body["version"] = 1;
    body["snapshot"] = toJson(snapshot);
    if (commandId) body["commandId"] = *commandId;
    if (success) body["success"] = *success;
    return client_.post("resources", std::move(body), timeout);
}

std::optional<ResourceCommand> LifecycleResourceClient::pollResources(const ResourceObservation& snapshot) const {
    json::Json answer = json::parseObject(resourceOperation("poll", snapshot, std::nullopt, std::nullopt));
    auto found = answer.find("command");
    if (found == answer.end() || found->is_null()) return std::nullopt;
    return resourceCommandFromJson(*found);
}

bool LifecycleResourceClient::claimResource(const ResourceCommand& command, const ResourceObservation& snapshot) {
    json::Json answer = json::parseObject(resourceOperation("claim", snapshot, command.id, std::nullopt));
    return json::boolean(answer, "mayExecute");
}

void LifecycleResourceClient::completeResource(const ResourceCommand& command, bool success,
                                               const ResourceObservation& snapshot) {
    resourceOperation("complete", snapshot, command.id, success);
}

namespace ResourceChange {

ResourceObservation observation(const std::string& state, const ResourceAllocation& allocation,
                                const std::function<std::string()>& bootID) {
    std::string lower = state;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    ResourceObservation observed;
    if (lower == "running") {
        observed.vmState = "Running";
    } else if (lower == "stopped") {
        observed.vmState = "Stopped";
    } else {
        throw LifecycleFailure(transitionalStateMessage);
    }
    if (lower == "running") observed.bootId = bootID();
    observed.cpu = allocation.virtualCPUCount;
    observed.memoryMiB = static_cast<std::int64_t>(allocation.memoryBytes >> 20);
    return observed;
}

ResourceObservation apply(const ResourceCommand& command, const std::function<ResourceObservation()>& observe,
                          const std::function<void(const ResourceAllocation&, const HostCapacity&, bool)>& resize,
                          const std::function<HostCapacity()>& host) {
    if (observe() != command.before) throw LifecycleFailure(changedMessage);
    // Below 2^44 MiB the byte count fits 64 bits; anything larger is refused before
    // it is multiplied.
    constexpr std::int64_t memoryLimitMiB = std::int64_t(1) << 44;
    if (command.memoryMiB <= 0 || command.memoryMiB >= memoryLimitMiB) throw LifecycleFailure(invalidMemoryMessage);
    const std::uint64_t memoryBytes = static_cast<std::uint64_t>(command.memoryMiB) * ResourcePolicy::mebibyte;
    ResourceAllocation allocation = ResourcePolicy::validatedAllocation(command.cpu, memoryBytes, host());
    resize(allocation, host(), command.before.vmState == "Running");
    return observe();
}

}  // namespace ResourceChange

}  // namespace tessaron
