#include "model/menu_payloads.h"

namespace tessaron::menubar {

namespace {

// An absent key and JSON null both mean "not given", as for every optional key here.
const json::Json* member(const json::Json& object, std::string_view key) {
    const auto found = object.find(key);
    return found == object.end() || found->is_null() ? nullptr : &*found;
}

std::optional<MenuRestart> restartIn(const json::Json& object) {
    const json::Json* restart = member(object, "restart");
    if (!restart) return std::nullopt;
    json::requireObject(*restart, "restart");
    return MenuRestart{json::string(*restart, "status"), json::number(*restart, "requestedAt"),
                       json::optionalString(*restart, "error")};
}

std::optional<PublicAccessStatus> publicAccessIn(const json::Json& object) {
    const json::Json* access = member(object, "publicAccess");
    if (!access) return std::nullopt;
    return PublicAccessStatus::fromJson(*access);
}

template <typename Decode>
auto decodeObject(std::string_view output, Decode decode) -> std::optional<decltype(decode(json::Json{}))> {
    try {
        return decode(json::parseObject(output));
    } catch (const json::DecodingError&) {
        return std::nullopt;
    }
}

}  // namespace

std::optional<MenuConnection> decodeConnection(std::string_view output) {
    return decodeObject(output, [](const json::Json& object) {
        MenuConnection connection;
        connection.paired = json::boolean(object, "paired");
        connection.vmState = json::string(object, "vmState");
        connection.tunnelState = json::string(object, "tunnelState");
        connection.agentState = json::optionalString(object, "agentState");
        connection.publishingPaused = json::optionalBoolean(object, "publishingPaused");
        connection.publicAccess = publicAccessIn(object);
        connection.canRestart = json::optionalBoolean(object, "canRestart");
        connection.restart = restartIn(object);
        connection.controlError = json::optionalString(object, "controlError");
        return connection;
    });
}

std::optional<MenuLifecycle> decodeLifecycle(std::string_view output) {
    return decodeObject(output, [](const json::Json& object) {
        MenuLifecycle lifecycle;
        lifecycle.publicAccess = publicAccessIn(object);
        lifecycle.publishingPaused = json::boolean(object, "publishingPaused");
        lifecycle.canRestart = json::boolean(object, "canRestart");
        lifecycle.effectiveWithinSeconds = json::int64(object, "effectiveWithinSeconds");
        lifecycle.restart = restartIn(object);
        return lifecycle;
    });
}

}  // namespace tessaron::menubar
