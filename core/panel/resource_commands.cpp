#include "panel/resource_commands.h"

namespace tessaron {

json::Json ResourceObservation::toJson() const {
    json::Json object = json::Json::object();
    object["cpu"] = cpu;
    object["memoryMiB"] = memoryMiB;
    object["vmState"] = vmState;
    object["bootId"] = bootId ? json::Json(*bootId) : json::Json(nullptr);
    return object;
}

ResourceObservation ResourceObservation::fromJson(const json::Json& object) {
    json::requireObject(object, "the resource observation");
    ResourceObservation observation;
    observation.cpu = json::int64(object, "cpu");
    observation.memoryMiB = json::int64(object, "memoryMiB");
    observation.vmState = json::string(object, "vmState");
    observation.bootId = json::optionalString(object, "bootId");
    return observation;
}

bool ResourceCommand::matches(const ResourceObservation& observed) const {
    if (observed.cpu != cpu || observed.memoryMiB != memoryMiB) return false;
    if (observed.vmState != before.vmState) return false;
    if (before.vmState != "Running") return true;
    if (!observed.bootId) return false;
    if (!before.bootId) return true;
    return *observed.bootId != *before.bootId;
}

json::Json ResourceCommand::toJson() const {
    json::Json object = json::Json::object();
    object["id"] = id;
    object["status"] = status;
    object["cpu"] = cpu;
    object["memoryMiB"] = memoryMiB;
    object["before"] = before.toJson();
    return object;
}

ResourceCommand ResourceCommand::fromJson(const json::Json& object) {
    json::requireObject(object, "the resource command");
    ResourceCommand command;
    command.id = json::string(object, "id");
    command.status = json::string(object, "status");
    command.cpu = json::int64(object, "cpu");
    command.memoryMiB = json::int64(object, "memoryMiB");
    command.before = ResourceObservation::fromJson(json::object(object, "before"));
    return command;
}

json::Json ResourceReceipt::toJson() const {
    json::Json object = json::Json::object();
    object["command"] = command.toJson();
    object["phase"] = phase;
    if (success) object["success"] = *success;
    if (actual) object["actual"] = actual->toJson();
    return object;
}

ResourceReceipt ResourceReceipt::fromJson(const json::Json& object) {
    json::requireObject(object, "the resource receipt");
    ResourceReceipt receipt;
    receipt.command = ResourceCommand::fromJson(json::object(object, "command"));
    receipt.phase = json::string(object, "phase");
    receipt.success = json::optionalBoolean(object, "success");
    if (auto found = object.find("actual"); found != object.end() && !found->is_null())
        receipt.actual = ResourceObservation::fromJson(*found);
    return receipt;
}

std::string ResourceReceipt::encode() const { return json::encode(toJson()); }

ResourceReceipt ResourceReceipt::decode(std::string_view text) { return fromJson(json::parseObject(text)); }

}  // namespace tessaron
