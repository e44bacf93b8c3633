#pragma once
// What every part of the stand-in panel shares: the state, the fault table, the log of
// API requests, and the glue between cpp-httplib and the JSON replies.

#include "faults.h"
#include "panel_state.h"

#include <deque>
#include <functional>
#include <httplib.h>
#include <mutex>
#include <optional>
#include <string>

namespace tessaron::panel {

// The API requests the panel received (admin requests are not logged), newest last.
class RequestLog {
public:
    void record(const httplib::Request& request);
    Json list() const;
    void clear();

private:
    static constexpr std::size_t capacity = 2000;
    mutable std::mutex mutex_;
    std::deque<Json> entries_;
};

struct Panel {
    PanelState& state;
    FaultTable faults;
    RequestLog log;
    int port = 0;
};

// "Bearer <token>" from the authorization header; nothing when absent or of another form.
std::optional<std::string> bearerToken(const httplib::Request& request);
// The request body as a JSON object; nothing when it is not one.
std::optional<Json> bodyObject(const httplib::Request& request);
// "http://" or "https://" (as the request came) + the Host header the client used, else
// the loopback address and port.
std::string origin(const httplib::Request& request, int port);

void send(httplib::Response& response, const Reply& reply);

// The header that names the injected fault an answer came from.
inline constexpr const char* faultHeader = "X-Tessaron-Panel-Fault";

using ApiHandler = std::function<Reply(const httplib::Request&)>;
// An API route: logs the request, applies an injected fault, else runs `handler`.
// Exceptions become a 500 answer with an "error" text; the server keeps running.
httplib::Server::Handler apiRoute(Panel& panel, ApiHandler handler);

void registerAgentApi(httplib::Server& server, Panel& panel);
void registerSetupApi(httplib::Server& server, Panel& panel);
void registerAdminApi(httplib::Server& server, Panel& panel);
// The release query and its administrative side; before registerAdminApi.
void registerReleaseApi(httplib::Server& server, Panel& panel);

}  // namespace tessaron::panel
