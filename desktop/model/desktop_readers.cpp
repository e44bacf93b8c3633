#include "model/desktop_readers.h"

#include "host/lima_manager.h"

namespace tessaron::desktop {
namespace {

std::optional<PublicAccessStatus> optionalPublicAccess(const json::Json& object) {
    if (!object.contains("publicAccess") || object["publicAccess"].is_null()) return std::nullopt;
    return PublicAccessStatus::fromJson(json::object(object, "publicAccess"));
}

std::optional<DesktopRestart> optionalRestart(const json::Json& object) {
    if (!object.contains("restart") || object["restart"].is_null()) return std::nullopt;
    return DesktopRestart::fromJson(json::object(object, "restart"));
}

}  // namespace

DesktopRestart DesktopRestart::fromJson(const json::Json& object) {
    json::requireObject(object, "\"restart\"");
    return {json::string(object, "id"), json::string(object, "status"), json::number(object, "requestedAt"),
            json::optionalString(object, "error")};
}

DesktopConnectionStatus DesktopConnectionStatus::decode(std::string_view text) {
    const json::Json object = json::parseObject(text);
    DesktopConnectionStatus status;
    status.publicAccess = optionalPublicAccess(object);
    status.vmState = json::optionalString(object, "vmState");
    status.tunnelState = json::string(object, "tunnelState");
    status.agentState = json::optionalString(object, "agentState");
    status.error = json::optionalString(object, "error");
    status.publishingPaused = json::optionalBoolean(object, "publishingPaused");
    status.canRestart = json::optionalBoolean(object, "canRestart");
    status.restart = optionalRestart(object);
    status.controlError = json::optionalString(object, "controlError");
    return status;
}

DesktopLifecycle DesktopLifecycle::decode(std::string_view text) {
    const json::Json object = json::parseObject(text);
    DesktopLifecycle lifecycle;
    lifecycle.publicAccess = optionalPublicAccess(object);
    lifecycle.publishingPaused = json::boolean(object, "publishingPaused");
    lifecycle.effectiveWithinSeconds = json::int64(object, "effectiveWithinSeconds");
    lifecycle.canRestart = json::boolean(object, "canRestart");
    lifecycle.restart = optionalRestart(object);
    return lifecycle;
}

DesktopResources DesktopResources::decode(std::string_view text) {
    const json::Json object = json::parseObject(text);
    const json::Json& bounds = json::object(object, "bounds");
    return {json::int64(object, "cpu"),
            json::number(object, "memoryGiB"),
            json::string(object, "state"),
            {json::int64(bounds, "minCPU"), json::int64(bounds, "maxCPU"), json::int64(bounds, "minMemoryGiB"),
             json::int64(bounds, "maxMemoryGiB")}};
}

ResourceCommandError ResourceCommandError::fromStandardError(std::string_view standardError, std::string_view fallback) {
    std::string message = lima_text::trimmed(standardError);
    if (message.empty()) message = fallback;
    return ResourceCommandError(message);
}

}  // namespace tessaron::desktop
