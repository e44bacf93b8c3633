#include "panel/command_polling.h"

#include "panel/control_panel_client.h"
#include "panel/receipt_store.h"

namespace tessaron {

json::Json RestartCommand::toJson() const {
    return json::Json{{"id", id}, {"status", status}, {"bootId", bootId}, {"kind", kind}};
}

RestartCommand RestartCommand::fromJson(const json::Json& object) {
    RestartCommand command;
    command.id = json::string(object, "id");
    command.status = json::string(object, "status");
    command.bootId = json::optionalString(object, "bootId").value_or("");
    command.kind = json::optionalString(object, "kind").value_or("restart");
    return command;
}

namespace {

std::string savedPowerIntent() {
    try {
        auto intent = DiskOperationReceiptStore<VMPowerIntent>::forThisMac().load();
        return intent && intent->wantsStopped() ? "stopped" : "running";
    } catch (const std::exception&) {
        return "running";
    }
}

json::Json nullable(const std::optional<std::string>& text) { return text ? json::Json(*text) : json::Json(nullptr); }

}  // namespace

std::optional<RestartCommand> LifecycleClient::poll(const std::string& vmState,
                                                    const std::optional<std::string>& bootId) const {
    json::Json body{{"action", "poll"},
                    {"version", 2},
                    {"vmState", vmState},
                    {"bootId", nullable(bootId)},
                    {"appVersion", appVersion()},
                    {"powerIntent", savedPowerIntent()}};
    const json::Json answer = json::parseObject(post("commands", std::move(body), commandTimeout));
    auto found = answer.find("command");
    if (found == answer.end() || found->is_null()) return std::nullopt;
    json::requireObject(*found, "\"command\"");
    return RestartCommand::fromJson(*found);
}

bool LifecycleClient::claim(const RestartCommand& command, const std::string& bootId) {
    json::Json body{{"action", "claim"}, {"commandId", command.id}, {"bootId", bootId}};
    return json::boolean(json::parseObject(post("commands", std::move(body), commandTimeout)), "mayExecute");
}

void LifecycleClient::complete(const RestartCommand& command, const std::string& status,
                               const std::optional<std::string>& bootId) {
    json::Json body{{"action", "complete"}, {"commandId", command.id}, {"status", status}, {"bootId", nullable(bootId)}};
    post("commands", std::move(body), commandTimeout);
}

std::string LifecycleClient::ssh(const std::map<std::string, std::string>& fields) const {
    json::Json body = json::Json::object();
    for (const auto& [key, value] : fields) body[key] = value;
    return post("ssh", std::move(body), commandTimeout);
}

void LifecycleClient::acknowledgeSSH(const std::string& guestResult, const json::Json& requestId) const {
    json::Json result = json::parse(guestResult);
    if (!result.is_object()) throw LifecycleFailure("Invalid SSH preparation result.");
    result["action"] = "acknowledge";
    if (!requestId.is_null()) result["requestId"] = requestId;
    post("ssh", std::move(result), commandTimeout);
}

}  // namespace tessaron
