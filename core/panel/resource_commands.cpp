#include "panel/resource_commands.h"

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

}  // namespace tessaron
