// The administrative API under /_admin/: acts as the panel's user (approve or refuse a
// setup or a pairing code, queue commands, pause public access, remove a Mac), reads
// back what the Macs sent, and injects faults. Described in README.md.

#include "http_util.h"

#include "host/error.h"

#include <sstream>

namespace tessaron::panel {

namespace {

std::vector<std::string> segments(const std::string& path) {
    std::vector<std::string> out;
    std::stringstream stream(path);
    std::string piece;
    while (std::getline(stream, piece, '/'))
        if (!piece.empty()) out.push_back(piece);
    return out;
}

Reply notFound(const std::string& what) { return failure(404, what + " is not known to the panel."); }

// --- machines --------------------------------------------------------------------------

Reply createMachine(Panel& panel, const Json& body) {
    return panel.state.transact([&](Json& document, bool& changed) -> Reply {
        const std::string machineId = json::optionalString(body, "machineId").value_or("mac-" + panel.state.hex(12, false));
        const std::string token = json::optionalString(body, "deviceToken").value_or("token_" + panel.state.hex(48, false));
        if (machineId.empty() || token.empty()) return failure(400, "A machine needs a non-empty ID and token.");
        if (document["machines"].contains(machineId)) return failure(409, "A machine with this ID exists already.");
        if (PanelState::machineByToken(document, token)) return failure(409, "This device token is already in use.");
        const Json profile = body.contains("profile") ? body["profile"] : Json::object();
        const std::string name = json::optionalString(body, "name").value_or("Mac");
        Json machine = panel.state.newMachine(machineId, token, name, profile);
        if (auto state = json::optionalString(body, "vmState")) machine["vmState"] = *state;
        if (auto bootId = json::optionalString(body, "bootId")) machine["bootId"] = *bootId;
        document["machines"][machineId] = machine;
        changed = true;
        return ok(Json{{"machineId", machineId}, {"deviceToken", token}});
    });
}

Reply queueCommand(Panel& panel, Json& machine, const Json& body) {
    const std::string kind = json::string(body, "kind");
    if (kind != "restart" && kind != "stop" && kind != "start")
        return failure(400, "A command is a restart, a stop or a start.");
    std::string bootId;
    if (auto given = json::optionalString(body, "bootId")) bootId = *given;
    else if (kind == "restart" && machine["bootId"].is_string()) bootId = machine["bootId"];
    Json command{{"id", panel.state.nextSequence("cmd")}, {"kind", kind},
                 {"status", json::optionalString(body, "status").value_or("queued")}, {"bootId", bootId},
                 {"requestedAt", nowSeconds()}, {"requestId", nullptr}, {"claims", Json::array()},
                 {"completion", nullptr}};
    machine["commands"].push_back(command);
    return ok(command);
}

Reply queueResources(Panel& panel, Json& machine, const Json& body) {
    const std::int64_t cpu = json::int64(body, "cpu");
    const std::int64_t memory = json::int64(body, "memoryMiB");
    Json before = body.contains("before") ? body["before"] : machine["resourceSnapshot"];
    if (!before.is_object()) return failure(409, "No resource observation is known yet; give \"before\".");
    if (!before.contains("bootId")) before["bootId"] = nullptr;
    Json command{{"id", panel.state.nextSequence("res")}, {"status", json::optionalString(body, "status").value_or("queued")},
                 {"cpu", cpu}, {"memoryMiB", memory}, {"before", before}, {"requestedAt", nowSeconds()},
                 {"claims", Json::array()}, {"completion", nullptr}};
    machine["resourceCommands"].push_back(command);
    return ok(command);
}

Reply updateEntry(Json& list, const std::string& id, const Json& body) {
    for (auto& entry : list) {
        if (entry["id"] != id) continue;
        for (const char* key : {"status", "bootId"})
            if (body.contains(key)) entry[key] = body[key];
        return ok(entry);
    }
    return notFound("This command");
}

Reply machineAction(Panel& panel, const std::string& id, const std::vector<std::string>& rest,
                    const std::string& method, const Json& body) {
    return panel.state.transact([&](Json& document, bool& changed) -> Reply {
        if (!document["machines"].contains(id)) return notFound("This machine");
        Json& machine = document["machines"][id];
        if (rest.empty() && method == "GET") return ok(machine);
        if (rest.empty() && method == "DELETE") {
            document["machines"].erase(id);  // forgotten: its token is refused from now on
            changed = true;
            return ok(Json{{"ok", true}});
        }
        if (method != "POST" || rest.empty()) return failure(405, "This administrative request is not known.");
        changed = true;
        const std::string& what = rest[0];
        if (what == "commands" && rest.size() == 1) return queueCommand(panel, machine, body);
        if (what == "commands" && rest.size() == 2) return updateEntry(machine["commands"], rest[1], body);
        if (what == "resources" && rest.size() == 1) return queueResources(panel, machine, body);
        if (what == "resources" && rest.size() == 2) return updateEntry(machine["resourceCommands"], rest[1], body);
        if (what == "ssh") {
            Json keys = body.contains("publicKeys") ? body["publicKeys"] : Json::array();
            json::stringArray(Json{{"publicKeys", keys}}, "publicKeys");
            Json request{{"id", panel.state.nextSequence("ssh")}, {"publicKeys", keys}, {"status", "pending"},
                         {"requestedAt", nowSeconds()}, {"result", nullptr}};
            machine["sshRequests"].push_back(request);
            return ok(request);
        }
        if (what == "public-access") {
            Json& access = machine["publicAccess"];
            if (auto paused = json::optionalBoolean(body, "paused")) {
                access["state"] = *paused ? "paused" : "enabled";
                access["requestedPaused"] = *paused;
            }
            if (auto state = json::optionalString(body, "state")) access["state"] = *state;
            if (auto requested = json::optionalBoolean(body, "requestedPaused")) access["requestedPaused"] = *requested;
            access["confirmedAt"] = body.contains("confirmedAt") ? body["confirmedAt"] : Json(nowSeconds());
            return ok(access);
        }
        if (what == "network") {
            machine["network"]["answer"] = body.contains("answer") ? body["answer"] : Json(nullptr);
            return ok(machine["network"]);
        }
        if (what == "remove") {
            machine["removed"] = true;
            machine["deleteServer"] = json::optionalBoolean(body, "deleteServer").value_or(false);
            machine["removedAt"] = nowSeconds();
            return ok(Json{{"machineId", id}, {"removed", true}, {"deleteServer", machine["deleteServer"]}});
        }
        changed = false;
        return failure(404, "This administrative request is not known.");
    });
}

// --- setups and pairing codes -------------------------------------------------------------

Reply setupAction(Panel& panel, std::string id, const std::vector<std::string>& rest, const std::string& method,
                  const Json& body) {
    return panel.state.transact([&](Json& document, bool& changed) -> Reply {
        if (id == "latest") id = document.value("latestSetup", "");
        if (id.empty() || !document["setups"].contains(id)) return notFound("This setup");
        Json& setup = document["setups"][id];
        if (rest.empty() && method == "GET") {
            Json view = setup;
            view["id"] = id;
            return ok(view);
        }
        if (method != "POST" || rest.size() != 1) return failure(405, "This administrative request is not known.");
        changed = true;
        if (rest[0] == "approve") {
            setup["approved"] = true;
            if (setup["stage"] == "awaiting_account") setup["stage"] = "approved";
            if (auto email = json::optionalString(body, "accountEmail")) setup["accountEmail"] = *email;
        } else if (rest[0] == "refuse") {
            setup["refused"] = true;
        } else if (rest[0] == "expire") {
            setup["expired"] = true;
        } else {
            changed = false;
            return failure(404, "This administrative request is not known.");
        }
        setup["updatedAt"] = nowSeconds();
        Json view = setup;
        view["id"] = id;
        return ok(view);
    });
}

Reply pairingAction(Panel& panel, std::string code, const std::vector<std::string>& rest, const std::string& method,
                    const Json& body) {
    return panel.state.transact([&](Json& document, bool& changed) -> Reply {
        if (code == "latest") code = document.value("latestPairingCode", "");
        if (code.empty() || !document["pairingCodes"].contains(code)) return notFound("This pairing code");
        Json& pairing = document["pairingCodes"][code];
        auto view = [&] {
            Json out = pairing;
            out["code"] = code;
            return out;
        };
        if (rest.empty() && method == "GET") return ok(view());
        if (method != "POST" || rest.size() != 1) return failure(405, "This administrative request is not known.");
        if (rest[0] == "approve") {
            if (pairing["status"] != "pending") return failure(409, "This pairing code is no longer waiting.");
            const std::string machineId = json::optionalString(body, "machineId").value_or("mac-" + panel.state.hex(12, false));
            if (document["machines"].contains(machineId)) return failure(409, "A machine with this ID exists already.");
            const std::string token = "token_" + panel.state.hex(48, false);
            const Json& profile = pairing["profile"];
            const std::string name = profile.is_object() && profile.contains("name") && profile["name"].is_string()
                                         ? profile["name"].get<std::string>()
                                         : "Mac";
            document["machines"][machineId] = panel.state.newMachine(machineId, token, name, profile);
            pairing["status"] = "approved";
            pairing["machineId"] = machineId;
            if (body.contains("edgeURLs")) {
                json::stringArray(body, "edgeURLs");
                pairing["edgeURLs"] = body["edgeURLs"];
            }
        } else if (rest[0] == "refuse") {
            pairing["status"] = "refused";
        } else if (rest[0] == "expire") {
            pairing["status"] = "expired";
        } else {
            return failure(404, "This administrative request is not known.");
        }
        changed = true;
        return ok(view());
    });
}

Reply admin(Panel& panel, const httplib::Request& request) {
    const auto parts = segments(request.path);  // "_admin", ...
    const std::string& method = request.method;
    Json body = Json::object();
    if (method == "POST" && !request.body.empty()) {
        auto parsed = bodyObject(request);
        if (!parsed) return failure(400, "The administrative request body is not a JSON object.");
        body = std::move(*parsed);
    }
    if (parts.size() < 2) return failure(404, "This administrative request is not known.");
    const std::string& area = parts[1];
    const std::vector<std::string> rest(parts.begin() + std::min<std::size_t>(3, parts.size()), parts.end());
    if (area == "state" && method == "GET") return ok(panel.state.snapshot());
    if (area == "requests") {
        if (method == "DELETE") {
            panel.log.clear();
            return ok(Json{{"ok", true}});
        }
        return ok(panel.log.list());
    }
    if (area == "faults") {
        if (method == "DELETE") {
            panel.faults.clear();
            return ok(Json{{"ok", true}});
        }
        if (method == "POST") return ok(panel.faults.add(body).toJson());
        return ok(panel.faults.list());
    }
    if (area == "machines") {
        if (parts.size() == 2 && method == "POST") return createMachine(panel, body);
        if (parts.size() == 2) return ok(panel.state.snapshot()["machines"]);
        return machineAction(panel, parts[2], rest, method, body);
    }
    if (area == "setups") {
        if (parts.size() == 2) return ok(panel.state.snapshot()["setups"]);
        return setupAction(panel, parts[2], rest, method, body);
    }
    if (area == "pairing-codes") {
        if (parts.size() == 2) return ok(panel.state.snapshot()["pairingCodes"]);
        return pairingAction(panel, parts[2], rest, method, body);
    }
    return failure(404, "This administrative request is not known.");
}

}  // namespace

void registerAdminApi(httplib::Server& server, Panel& panel) {
    auto handler = [&panel](const httplib::Request& request, httplib::Response& response) {
        try {
            send(response, admin(panel, request));
        } catch (const std::exception& error) {
            send(response, failure(400, error.what()));
        }
    };
    server.Get("/_admin/.*", handler);
    server.Post("/_admin/.*", handler);
    server.Delete("/_admin/.*", handler);
}

}  // namespace tessaron::panel
