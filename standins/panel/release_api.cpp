// The release query the desktop application asks once per start (GET /api/tessaron/release),
// and its administrative side (POST and DELETE /_admin/release) that publishes a version.
// The published release lives in the state document under "release"; without one the query
// answers 404.

#include "http_util.h"

namespace tessaron::panel {

void registerReleaseApi(httplib::Server& server, Panel& panel) {
    server.Get("/api/tessaron/release", apiRoute(panel, [&panel](const httplib::Request&) {
                   return panel.state.transact([](Json& document, bool&) -> Reply {
                       if (!document.contains("release")) return failure(404, "No release is published.");
                       return ok(document["release"]);
                   });
               }));
    // Registered before the catch-all administrative routes.
    server.Post("/_admin/release", [&panel](const httplib::Request& request, httplib::Response& response) {
        const auto body = bodyObject(request);
        if (!body || !(*body)["version"].is_string() || !(*body)["downloadURL"].is_string())
            return send(response, failure(400, "A release needs a \"version\" and a \"downloadURL\" text."));
        send(response, panel.state.transact([&](Json& document, bool& changed) {
            document["release"] = Json{{"version", (*body)["version"]}, {"downloadURL", (*body)["downloadURL"]}};
            changed = true;
            return ok(document["release"]);
        }));
    });
    server.Delete("/_admin/release", [&panel](const httplib::Request&, httplib::Response& response) {
        send(response, panel.state.transact([](Json& document, bool& changed) {
            changed = document.erase("release") > 0;
            return ok(Json::object());
        }));
    });
}

}  // namespace tessaron::panel
