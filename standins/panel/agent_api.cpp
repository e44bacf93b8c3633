// The agent API of a paired Mac: server control, lifecycle commands, SSH requests,
// resource commands, network registration, listener reports and heartbeats. Every
// request carries the device token as a bearer token and the machine ID in its body.

#include "http_util.h"

#include "host/private_file.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace tessaron::panel {

namespace {

namespace fs = std::filesystem;

constexpr std::size_t maxLogged = 100;

void appendCapped(Json& array, Json entry) {
    array.push_back(std::move(entry));
    while (array.size() > maxLogged) array.erase(array.begin());
}

Json withoutMachineId(Json body) {
    body.erase("machineId");
    return body;
}

std::optional<std::string> stringField(const Json& body, const char* key) {
    auto found = body.find(key);
    if (found == body.end() || !found->is_string()) return std::nullopt;
    return found->get<std::string>();
}

// The removal answer that a removed Mac gets for every agent request.
Reply removed(const Json& machine) {
    return {410, Json{{"code", "machine_removed"},
                      {"deleteServer", machine.value("deleteServer", false)},
                      {"error", "This Mac was removed from its Tessaron account."}}};
}

// --- server control ---------------------------------------------------------------

Json commandView(const Json& command) {
    return Json{{"id", command["id"]}, {"status", command["status"]}, {"bootId", command["bootId"]},
                {"kind", command["kind"]}};
}

bool pending(const Json& command) {
    const std::string status = command.value("status", "");
    return status == "queued" || status == "running";
}

const Json* latestRestart(const Json& machine) {
    const Json* latest = nullptr;
    for (const auto& command : machine["commands"])
        if (command["kind"] == "restart") latest = &command;
    return latest;
}

bool canRestart(const Json& machine) {
    if (machine["vmState"] != "Running" || !machine["bootId"].is_string() || machine["bootId"] == "") return false;
    const Json* latest = latestRestart(machine);
    return !latest || !pending(*latest);
}

Json controlAnswer(const Json& machine) {
    const Json& access = machine["publicAccess"];
    Json answer{{"machineId", machine["machineId"]},
                {"publicAccess", access},
                {"publishingPaused", access.value("requestedPaused", false)},
                {"canRestart", canRestart(machine)},
                {"effectiveWithinSeconds", 30}};
    if (const Json* restart = latestRestart(machine)) {
        Json view{{"id", (*restart)["id"]}, {"status", (*restart)["status"]},
                  {"requestedAt", (*restart)["requestedAt"].get<double>() * 1000.0}};
        if ((*restart)["status"] == "failed") view["error"] = "The restart did not complete.";
        answer["restart"] = view;
    }
    return answer;
}

Reply control(PanelState& state, Json& machine, const Json& body, bool& changed) {
    const auto action = stringField(body, "action");
    if (!action) return failure(400, "The server action is missing.");
    const auto requestId = stringField(body, "requestId");
    const bool confirm = body.contains("confirmRestart") && body["confirmRestart"] == true;
    appendCapped(machine["controlRequests"], withoutMachineId(body));
    changed = true;
    const double now = nowSeconds();
    if (*action == "status") return ok(controlAnswer(machine));
    if (*action == "connect" || *action == "disconnect") {
        const bool paused = *action == "disconnect";
        machine["publicAccess"] = {{"state", paused ? "paused" : "enabled"}, {"requestedPaused", paused},
                                   {"confirmedAt", now}};
        return ok(controlAnswer(machine));
    }
    if (*action == "restart") {
        if (!confirm) return failure(400, "Confirm the restart to continue.");
        if (requestId) {
            for (const auto& command : machine["commands"])
                if (command.value("requestId", "") == *requestId) return ok(controlAnswer(machine));
        }
        const Json* latest = latestRestart(machine);
        if (latest && pending(*latest)) return failure(409, "A restart is already waiting for this Mac.");
        if (!canRestart(machine)) return failure(409, "Linux is not running on this Mac, so it cannot be restarted now.");
        Json command{{"id", state.nextSequence("cmd")}, {"kind", "restart"}, {"status", "queued"},
                     {"bootId", machine["bootId"]}, {"requestedAt", now}, {"claims", Json::array()},
                     {"completion", nullptr}};
        command["requestId"] = requestId ? Json(*requestId) : Json(nullptr);
        machine["commands"].push_back(command);
        return ok(controlAnswer(machine));
    }
    return failure(400, "Unknown server action.");
}

// --- lifecycle commands -----------------------------------------------------------

Json* findById(Json& list, const std::string& id) {
    for (auto& entry : list)
        if (entry["id"] == id) return &entry;
    return nullptr;
}

Reply commands(Json& machine, const Json& body, bool& changed) {
    const auto action = stringField(body, "action");
    changed = true;
    if (action == "poll") {
        machine["commandPolls"] = machine["commandPolls"].get<std::int64_t>() + 1;
        Json poll = withoutMachineId(body);
        machine["lastPoll"] = poll;
        machine["vmState"] = poll.value("vmState", Json(nullptr));
        machine["bootId"] = poll.contains("bootId") && poll["bootId"].is_string() ? poll["bootId"] : Json(nullptr);
        machine["appVersion"] = poll.value("appVersion", Json(nullptr));
        machine["powerIntent"] = poll.value("powerIntent", Json(nullptr));
        for (const auto& command : machine["commands"])
            if (pending(command)) return ok(Json{{"command", commandView(command)}});
        return ok(Json{{"command", nullptr}});
    }
    if (action != "claim" && action != "complete") return failure(400, "Unknown command action.");
    const auto commandId = stringField(body, "commandId");
    if (!commandId) return failure(400, "The command is not named.");
    Json* command = findById(machine["commands"], *commandId);
    if (!command) return failure(409, "This command is not known to the panel.");
    const double now = nowSeconds();
    if (action == "claim") {
        const auto bootId = stringField(body, "bootId");
        if (!bootId) return failure(400, "The claim carries no boot ID.");
        const std::string wanted = (*command)["bootId"].is_string() ? (*command)["bootId"].get<std::string>() : "";
        const bool mayExecute = (*command)["status"] == "queued" &&
                                ((*command)["kind"] != "restart" || wanted.empty() || wanted == *bootId);
        if (mayExecute) (*command)["status"] = "running";
        (*command)["claims"].push_back({{"bootId", *bootId}, {"mayExecute", mayExecute}, {"at", now}});
        return ok(Json{{"mayExecute", mayExecute}});
    }
    const auto status = stringField(body, "status");
    if (status != "succeeded" && status != "failed") return failure(400, "A command ends as succeeded or failed.");
    if (!body.contains("bootId") || !(body["bootId"].is_string() || body["bootId"].is_null()))
        return failure(400, "The completion carries no boot ID.");
    if ((*command)["completion"].is_null()) {
        (*command)["status"] = *status;
        (*command)["completion"] = {{"status", *status}, {"bootId", body["bootId"]}, {"at", now}, {"repeats", 0}};
    } else {
        auto& completion = (*command)["completion"];  // a repeated report keeps the first outcome
        completion["repeats"] = completion.value("repeats", 0) + 1;
    }
    return ok(Json{{"ok", true}, {"command", commandView(*command)}});
}

// --- SSH ----------------------------------------------------------------------------

Reply ssh(Json& machine, const Json& body, bool& changed) {
    const auto action = stringField(body, "action");
    changed = true;
    if (action == "poll") {
        machine["sshPolls"] = machine["sshPolls"].get<std::int64_t>() + 1;
        for (const auto& request : machine["sshRequests"]) {
            if (request["status"] == "pending")
                return ok(Json{{"needsApply", true}, {"requestId", request["id"]}, {"publicKeys", request["publicKeys"]}});
        }
        return ok(Json{{"needsApply", false}});
    }
    if (action == "acknowledge") {
        Json result = withoutMachineId(body);
        appendCapped(machine["sshAcknowledgements"], result);
        const bool success = result.contains("success") && result["success"] == true;
        // An answer settles the request it names, and only a pending one.
        Json* answered = nullptr;
        if (auto requestId = stringField(result, "requestId")) answered = findById(machine["sshRequests"], *requestId);
        if (answered && (*answered)["status"] == "pending") {
            (*answered)["status"] = success ? "applied" : "failed";
            (*answered)["result"] = result;
        }
        return ok(Json{{"ok", true}});
    }
    return failure(400, "Unknown SSH action.");
}

// --- resources ----------------------------------------------------------------------

bool validObservation(const Json& snapshot) {
    if (!snapshot.is_object()) return false;
    auto integer = [&](const char* key) { return snapshot.contains(key) && snapshot[key].is_number_integer(); };
    if (!integer("cpu") || !integer("memoryMiB")) return false;
    if (!snapshot.contains("vmState") || !snapshot["vmState"].is_string()) return false;
    return !snapshot.contains("bootId") || snapshot["bootId"].is_null() || snapshot["bootId"].is_string();
}

Json resourceView(const Json& command) {
    return Json{{"id", command["id"]}, {"status", command["status"]}, {"cpu", command["cpu"]},
                {"memoryMiB", command["memoryMiB"]}, {"before", command["before"]}};
}

Reply resources(Json& machine, const Json& body, bool& changed) {
    const auto action = stringField(body, "action");
    if (!body.contains("snapshot") || !validObservation(body["snapshot"]))
        return failure(400, "The resource snapshot is not valid.");
    const Json& snapshot = body["snapshot"];
    changed = true;
    const double now = nowSeconds();
    if (action == "poll") {
        machine["resourcePolls"] = machine["resourcePolls"].get<std::int64_t>() + 1;
        machine["resourceSnapshot"] = snapshot;
        for (const auto& command : machine["resourceCommands"])
            if (pending(command)) return ok(Json{{"command", resourceView(command)}});
        return ok(Json{{"command", nullptr}});
    }
    if (action != "claim" && action != "complete") return failure(400, "Unknown resource action.");
    const auto commandId = stringField(body, "commandId");
    if (!commandId) return failure(400, "The resource command is not named.");
    Json* command = findById(machine["resourceCommands"], *commandId);
    if (!command) return failure(409, "This resource command is not known to the panel.");
    if (action == "claim") {
        const bool mayExecute = (*command)["status"] == "queued";
        if (mayExecute) (*command)["status"] = "running";
        (*command)["claims"].push_back({{"snapshot", snapshot}, {"mayExecute", mayExecute}, {"at", now}});
        return ok(Json{{"mayExecute", mayExecute}});
    }
    if (!body.contains("success") || !body["success"].is_boolean())
        return failure(400, "The completion does not say whether the change took effect.");
    const bool success = body["success"].get<bool>();
    machine["resourceSnapshot"] = snapshot;
    if ((*command)["completion"].is_null()) {
        (*command)["status"] = success ? "succeeded" : "failed";
        (*command)["completion"] = {{"success", success}, {"snapshot", snapshot}, {"at", now}, {"repeats", 0}};
    } else {
        auto& completion = (*command)["completion"];
        completion["repeats"] = completion.value("repeats", 0) + 1;
    }
    return ok(Json{{"ok", true}, {"command", resourceView(*command)}});
}

// --- network, listeners, heartbeat --------------------------------------------------

std::string tunnelAddress(std::int64_t index) {
    return "10.77." + std::to_string(index / 256) + "." + std::to_string(index % 256) + "/32";
}

// The WireGuard peer stand-in named by TESSARON_STANDIN_WG_PEER, when one is ready there.
struct WireGuardPeer {
    std::string folder, publicKey, endpoint, tunnelAddress;
};

std::optional<WireGuardPeer> wireGuardPeer() {
    const char* folder = std::getenv("TESSARON_STANDIN_WG_PEER");
    if (!folder || !*folder) return std::nullopt;
    std::ifstream in(fs::path(folder) / "peer.json");
    std::stringstream text;
    text << in.rdbuf();
    try {
        const Json peer = json::parseObject(text.str());
        return WireGuardPeer{folder, json::string(peer, "publicKey"), json::string(peer, "endpoint"),
                             json::string(peer, "tunnelAddress")};
    } catch (const std::exception&) {
        return std::nullopt;  // not (yet) running: the panel's own answer
    }
}

Reply network(Json& document, Json& machine, const Json& body, bool& changed) {
    const auto keyCharacter = [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/';
    };
    const auto publicKey = stringField(body, "publicKey");  // 43 of those, then "="
    if (!publicKey || publicKey->size() != 44 || publicKey->back() != '=' ||
        !std::all_of(publicKey->begin(), publicKey->end() - 1, keyCharacter))
        return failure(400, "The WireGuard public key is not valid.");
    const bool allocationOk = body.contains("allocation") && body["allocation"].is_object() &&
                              body["allocation"].contains("cpu") && body["allocation"]["cpu"].is_number_integer() &&
                              body["allocation"]["cpu"].get<std::int64_t>() > 0 &&
                              body["allocation"].contains("memoryGiB") &&
                              body["allocation"]["memoryGiB"].is_number() &&
                              body["allocation"]["memoryGiB"].get<double>() > 0;
    if (!allocationOk) return failure(400, "The VM allocation is not valid.");
    changed = true;
    Json& net = machine["network"];
    net["registrations"] = net.value("registrations", 0) + 1;
    net["publicKey"] = *publicKey;
    net["allocation"] = body["allocation"];
    net["registeredAt"] = nowSeconds();
    if (!net["address"].is_string()) {
        const std::int64_t index = document.value("nextAddress", 2);
        document["nextAddress"] = index + 1;
        net["address"] = tunnelAddress(index);
    }
    if (net.contains("answer") && net["answer"].is_object()) return ok(net["answer"]);
    if (auto peer = wireGuardPeer()) {
        // A real peer runs (tessaron-wg-peer): tell it the guest's key, point the guest at it.
        const std::string address = net["address"].get<std::string>();
        const fs::path guests = fs::path(peer->folder) / "guests";
        private_file::write(guests / (machine["machineId"].get<std::string>() + ".peer"),
                            *publicKey + " " + address + "\n");
        return ok(Json{{"address", address},
                       {"peerPublicKey", peer->publicKey},
                       {"endpoint", peer->endpoint},
                       {"allowedIPs", Json::array({peer->tunnelAddress + "/32"})},
                       {"persistentKeepalive", 25}});
    }
    return ok(Json{{"address", net["address"]},
                   {"peerPublicKey", document["relayPublicKey"]},
                   {"endpoint", "127.0.0.1:51820"},
                   {"allowedIPs", Json::array({"10.77.0.1/32"})},
                   {"persistentKeepalive", 25}});
}

Reply agent(Panel& panel, const std::string& endpoint, const httplib::Request& request) {
    const auto token = bearerToken(request);
    if (!token) return failure(401, "This request carries no device token.");
    return panel.state.transact([&](Json& document, bool& changed) -> Reply {
        Json* machine = PanelState::machineByToken(document, *token);
        if (!machine) return failure(401, "This device token is not known to the panel.");
        if (machine->value("removed", false)) return removed(*machine);
        const auto body = bodyObject(request);
        if (!body) return failure(400, "The request body is not a JSON object.");
        const auto machineId = stringField(*body, "machineId");
        if (!machineId) return failure(400, "The request does not name this Mac.");
        if (*machineId != (*machine)["machineId"]) return failure(403, "This device token belongs to another Mac.");
        (*machine)["lastSeenAt"] = nowSeconds();
        changed = true;
        if (endpoint == "control") return control(panel.state, *machine, *body, changed);
        if (endpoint == "commands") return commands(*machine, *body, changed);
        if (endpoint == "ssh") return ssh(*machine, *body, changed);
        if (endpoint == "resources") return resources(*machine, *body, changed);
        if (endpoint == "network") return network(document, *machine, *body, changed);
        if (endpoint == "listeners") {
            (*machine)["listeners"] = withoutMachineId(*body);
            (*machine)["listenerReports"] = (*machine)["listenerReports"].get<std::int64_t>() + 1;
            return ok(Json{{"ok", true}});
        }
        // heartbeat
        (*machine)["heartbeats"] = (*machine)["heartbeats"].get<std::int64_t>() + 1;
        (*machine)["lastHeartbeatAt"] = nowSeconds();
        return ok(Json{{"ok", true}});
    });
}

}  // namespace

void registerAgentApi(httplib::Server& server, Panel& panel) {
    // A control URL may carry a path of its own; the agent API sits below it.
    server.Post("(/.*)?/api/tessaron/agent/(control|commands|ssh|resources|network|listeners|heartbeat)",
                apiRoute(panel, [&panel](const httplib::Request& request) {
                    return agent(panel, request.matches[2].str(), request);
                }));
}

}  // namespace tessaron::panel
