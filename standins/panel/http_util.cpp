#include "http_util.h"

#include <cctype>
#include <chrono>
#include <thread>

namespace tessaron::panel {

namespace {

std::string lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

}  // namespace

void RequestLog::record(const httplib::Request& request) {
    constexpr std::size_t keptBody = 64 * 1024;  // of a larger body only the start is kept
    Json entry{{"method", request.method}, {"path", request.path}, {"at", nowSeconds()},
               {"body", request.body.substr(0, keptBody)}, {"bodyBytes", request.body.size()}};
    entry["authorization"] =
        request.has_header("Authorization") ? Json(request.get_header_value("Authorization")) : Json(nullptr);
    Json query = Json::object();
    for (const auto& [name, value] : request.params) query[name] = value;
    entry["query"] = query;
    std::lock_guard lock(mutex_);
    entries_.push_back(std::move(entry));
    while (entries_.size() > capacity) entries_.pop_front();
}

Json RequestLog::list() const {
    std::lock_guard lock(mutex_);
    return Json(std::vector<Json>(entries_.begin(), entries_.end()));
}

void RequestLog::clear() {
    std::lock_guard lock(mutex_);
    entries_.clear();
}

std::optional<std::string> bearerToken(const httplib::Request& request) {
    const std::string value = request.get_header_value("Authorization");
    const std::string prefix = "Bearer ";
    if (value.size() <= prefix.size() || value.compare(0, prefix.size(), prefix) != 0) return std::nullopt;
    return value.substr(prefix.size());
}

std::optional<Json> bodyObject(const httplib::Request& request) {
    try {
        return json::parseObject(request.body);
    } catch (const json::DecodingError&) {
        return std::nullopt;
    }
}

std::string origin(const httplib::Request& request, int port) {
    const std::string host = request.get_header_value("Host");
    // The https listener's requests carry their TLS connection.
    return std::string(request.ssl ? "https://" : "http://") + (host.empty() ? "127.0.0.1:" + std::to_string(port) : host);
}

void send(httplib::Response& response, const Reply& reply) {
    response.status = reply.status;
    response.set_content(json::encode(reply.body), "application/json");
}

httplib::Server::Handler apiRoute(Panel& panel, ApiHandler handler) {
    return [&panel, handler = std::move(handler)](const httplib::Request& request, httplib::Response& response) {
        panel.log.record(request);
        if (auto fault = panel.faults.take(request.method, request.path)) {
            if (fault->delayMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(fault->delayMs));
            // Marks the answer as injected, so that an empty fault body stays empty.
            if (fault->status) response.set_header(faultHeader, fault->id);
            if (fault->drop) {
                // Headers go out, then the connection closes before the first chunk.
                response.status = *fault->status;
                response.set_chunked_content_provider("application/json",
                                                      [](std::size_t, httplib::DataSink&) { return false; });
                return;
            }
            if (fault->status) {
                response.status = *fault->status;
                std::string type = "application/json";
                for (const auto& [name, value] : fault->headers) {
                    if (lower(name) == "content-type") type = value;
                    else response.set_header(name, value);
                }
                response.set_content(fault->body.value_or(""), type);
                return;
            }
        }
        try {
            send(response, handler(request));
        } catch (const std::exception& error) {
            send(response, failure(500, std::string("The panel failed: ") + error.what()));
        }
    };
}

}  // namespace tessaron::panel
