// Bringing a Mac in: the setup API (start, progress, stage reports, resume) and the
// older pairing-code API. Both are authorised by the device secret the panel handed
// out when the setup or code was made; the machine and its device token come into
// being when the account approved the Mac.

#include "http_util.h"

#include <algorithm>
#include <ctime>

namespace tessaron::panel {

namespace {

constexpr double setupLifetime = 900;  // seconds; shown to the Mac, never enforced by the clock

std::optional<std::string> stringField(const Json& body, const char* key) {
    auto found = body.find(key);
    if (found == body.end() || !found->is_string()) return std::nullopt;
    return found->get<std::string>();
}

std::string machineName(const Json& profile) {
    if (profile.is_object() && profile.contains("name") && profile["name"].is_string())
        return profile["name"].get<std::string>();
    return "Mac";
}

// --- setup ---------------------------------------------------------------------------

Json progress(const std::string& id, const Json& setup) {
    Json body{{"id", id}, {"stage", setup["stage"]}, {"code", setup["code"]}, {"expiresAt", setup["expiresAt"]},
              {"updatedAt", setup["updatedAt"]}};
    if (setup["machineId"].is_string()) body["machineId"] = setup["machineId"];
    if (setup["accountEmail"].is_string()) body["accountEmail"] = setup["accountEmail"];
    return body;
}

Reply startSetup(Panel& panel, const httplib::Request& request) {
    const auto profile = bodyObject(request);
    if (!profile) return failure(400, "The machine profile is not a JSON object.");
    const std::string base = origin(request, panel.port);
    return panel.state.transact([&](Json& document, bool& changed) {
        const std::string id = "setup_" + panel.state.hex(36, false);
        const double now = nowSeconds();
        Json setup{{"deviceSecret", "secret_" + panel.state.hex(48, false)},
                   {"code", panel.state.hex(12, true)},
                   {"stage", "awaiting_account"},
                   {"expiresAt", static_cast<std::int64_t>(now + setupLifetime)},
                   {"profile", *profile},
                   {"reported", Json::array()},
                   {"deviceToken", nullptr},
                   {"machineId", nullptr},
                   {"accountEmail", nullptr},
                   {"approved", false},
                   {"expired", false},
                   {"refused", false},
                   {"createdAt", now},
                   {"updatedAt", now}};
        document["setups"][id] = setup;
        document["latestSetup"] = id;
        changed = true;
        return ok(Json{{"id", id}, {"code", setup["code"]}, {"deviceSecret", setup["deviceSecret"]},
                       {"expiresAt", setup["expiresAt"]}, {"authorizeURL", base + "/console/connect?setup=" + id}});
    });
}

Reply setupExchange(Panel& panel, const std::string& id, const httplib::Request& request) {
    const auto secret = bearerToken(request);
    const bool isPost = request.method == "POST";
    const auto body = isPost ? bodyObject(request) : std::optional<Json>(Json::object());
    return panel.state.transact([&](Json& document, bool& changed) -> Reply {
        Json& setups = document["setups"];
        if (!setups.contains(id) || !secret || setups[id]["deviceSecret"] != *secret)
            return failure(401, "This setup is not known to the panel.");
        Json& setup = setups[id];
        if (setup["expired"] == true) return failure(410, "This setup has expired. Start again from the Mac app.");
        if (setup["refused"] == true) return failure(403, "This Mac was declined in the web panel.");
        if (!isPost) return ok(progress(id, setup));
        if (!body) return failure(400, "The setup update is not a JSON object.");
        const auto stage = stringField(*body, "stage");
        static const std::vector<std::string> known = {"resume", "creating_vm", "linking", "failed", "complete"};
        if (!stage || std::find(known.begin(), known.end(), *stage) == known.end())
            return failure(400, "This setup stage is not known to the panel.");
        const bool approved = setup.value("approved", false);
        if (*stage == "complete") {
            const auto token = stringField(*body, "deviceToken");
            if (!token || token->size() < 32) return failure(400, "The setup cannot finish without a device token.");
            if (!approved) return failure(409, "This Mac has not been approved in the web panel yet.");
            if (setup["machineId"].is_string()) {
                if (setup["deviceToken"] != *token) return failure(409, "This setup was finished with another device token.");
                return ok(progress(id, setup));  // a repeated report of the finished setup
            }
            Json* other = PanelState::machineByToken(document, *token);
            if (other) return failure(409, "This device token is already in use.");
            const std::string machineId = "mac-" + panel.state.hex(12, false);
            document["machines"][machineId] =
                panel.state.newMachine(machineId, *token, machineName(setup["profile"]), setup["profile"]);
            setup["deviceToken"] = *token;
            setup["machineId"] = machineId;
            setup["stage"] = "complete";
        } else if (*stage == "resume") {
            setup["code"] = panel.state.hex(12, true);
            setup["expiresAt"] = static_cast<std::int64_t>(nowSeconds() + setupLifetime);
        } else if (approved && setup["stage"] != "complete") {
            setup["stage"] = *stage;  // before the approval a report is only recorded
        }
        setup["reported"].push_back(*stage);
        setup["updatedAt"] = nowSeconds();
        changed = true;
        return ok(progress(id, setup));
    });
}

// --- pairing codes ---------------------------------------------------------------------

std::string isoTime(double seconds) {
    const std::time_t whole = static_cast<std::time_t>(seconds);
    std::tm utc{};
    ::gmtime_r(&whole, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

Reply createCode(Panel& panel, const httplib::Request& request) {
    const auto profile = bodyObject(request);
    if (!profile) return failure(400, "The machine profile is not a JSON object.");
    return panel.state.transact([&](Json& document, bool& changed) {
        std::string code;
        do {
            code = panel.state.hex(4, true) + "-" + panel.state.hex(4, true);
        } while (document["pairingCodes"].contains(code));
        const double now = nowSeconds();
        Json pairing{{"deviceSecret", "pair_" + panel.state.hex(48, false)},
                     {"status", "pending"},
                     {"expiresAt", isoTime(now + 600)},
                     {"profile", *profile},
                     {"machineId", nullptr},
                     {"edgeURLs", Json::array()},
                     {"claims", 0},
                     {"createdAt", now}};
        document["pairingCodes"][code] = pairing;
        document["latestPairingCode"] = code;
        changed = true;
        return ok(Json{{"code", code}, {"expiresAt", pairing["expiresAt"]}, {"deviceSecret", pairing["deviceSecret"]}});
    });
}

Reply claimCode(Panel& panel, const std::string& code, const httplib::Request& request) {
    const auto secret = bearerToken(request);
    return panel.state.transact([&](Json& document, bool& changed) -> Reply {
        Json& codes = document["pairingCodes"];
        if (!codes.contains(code)) return failure(404, "This pairing code is not known to the panel.");
        Json& pairing = codes[code];
        if (!secret || pairing["deviceSecret"] != *secret)
            return failure(401, "This pairing code belongs to another Mac.");
        pairing["claims"] = pairing["claims"].get<std::int64_t>() + 1;
        changed = true;
        const std::string status = pairing["status"];
        if (status == "expired") return failure(410, "This pairing code has expired. Generate a new code.");
        if (status == "refused") return failure(403, "This pairing code was declined in the web panel.");
        if (status == "pending") return {202, Json{{"status", "pending"}}};
        if (status == "approved") {
            // The credential is handed out once; later claims learn that it was taken.
            const std::string machineId = pairing["machineId"];
            if (!document["machines"].contains(machineId))
                return failure(410, "The Mac of this pairing code was removed in the web panel.");
            pairing["status"] = "claimed";
            const Json& machine = document["machines"][machineId];
            return ok(Json{{"status", "paired"}, {"machineId", machine["machineId"]},
                           {"deviceToken", machine["deviceToken"]}, {"edgeURLs", pairing["edgeURLs"]}});
        }
        return ok(Json{{"status", "claimed"}});
    });
}

}  // namespace

void registerSetupApi(httplib::Server& server, Panel& panel) {
    server.Post("/api/tessaron/setup",
                apiRoute(panel, [&panel](const httplib::Request& request) { return startSetup(panel, request); }));
    auto exchange = apiRoute(panel, [&panel](const httplib::Request& request) {
        return setupExchange(panel, request.matches[1].str(), request);
    });
    server.Get("/api/tessaron/agent/setup/([^/]+)", exchange);
    server.Post("/api/tessaron/agent/setup/([^/]+)", exchange);
    server.Post("/api/tessaron/agent/pairing-codes",
                apiRoute(panel, [&panel](const httplib::Request& request) { return createCode(panel, request); }));
    server.Get("/api/tessaron/agent/pairing-codes/([^/]+)", apiRoute(panel, [&panel](const httplib::Request& request) {
                   return claimCode(panel, request.matches[1].str(), request);
               }));
}

}  // namespace tessaron::panel
