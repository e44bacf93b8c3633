#include "faults.h"

#include "host/error.h"

namespace tessaron::panel {

json::Json Fault::toJson() const {
    json::Json out{{"id", id}, {"path", path}, {"prefix", prefix}, {"drop", drop}, {"method", method}, {"remaining", remaining}, {"delayMs", delayMs}};
    out["status"] = status ? json::Json(*status) : json::Json(nullptr);
    out["bodyBytes"] = body ? json::Json(body->size()) : json::Json(nullptr);
    return out;
}

namespace {

constexpr std::int64_t maxOversize = 64 << 20;

}  // namespace

Fault FaultTable::add(const json::Json& request) {
    json::requireObject(request, "fault");
    Fault fault;
    fault.path = json::string(request, "path");
    if (fault.path.empty() || fault.path.front() != '/') throw Error("A fault needs a path that starts with \"/\".");
    fault.prefix = json::optionalBoolean(request, "prefix").value_or(false);
    fault.method = json::optionalString(request, "method").value_or("");
    const std::int64_t times = json::optionalInt64(request, "times").value_or(1);
    if (times < 0 || times > 1'000'000) throw Error("A fault's \"times\" must be between 0 and 1000000.");
    fault.remaining = static_cast<int>(times);
    const std::int64_t delay = json::optionalInt64(request, "delayMs").value_or(0);
    if (delay < 0 || delay > 600'000) throw Error("A fault's \"delayMs\" must be between 0 and 600000.");
    fault.delayMs = static_cast<int>(delay);

    if (auto status = json::optionalInt64(request, "status")) {
        if (*status < 100 || *status > 599) throw Error("A fault's \"status\" must be an HTTP status.");
        fault.status = static_cast<int>(*status);
    }
    if (request.contains("body") && !request["body"].is_null()) {
        const auto& body = request["body"];
        fault.body = body.is_string() ? body.get<std::string>() : json::encode(body);
    }
    if (request.contains("headers") && !request["headers"].is_null()) {
        for (const auto& [name, value] : json::object(request, "headers").items())
            fault.headers.emplace_back(name, json::asString(value, name));
    }
    if (auto target = json::optionalString(request, "redirect")) {
        if (!fault.status) fault.status = 302;
        fault.headers.emplace_back("Location", *target);
        if (!fault.body) fault.body = "";
    }
    if (json::optionalBoolean(request, "malformed").value_or(false)) {
        if (!fault.status) fault.status = 200;
        fault.body = R"({"command": {"id": "cmd-)";  // cut off in the middle
    }
    if (auto size = json::optionalInt64(request, "oversizeBytes")) {
        if (*size < 10 || *size > maxOversize) throw Error("A fault's \"oversizeBytes\" must be between 10 and 67108864.");
        if (!fault.status) fault.status = 200;
        // A valid JSON object of exactly that many bytes, so only its size is wrong.
        fault.body = R"({"pad":")" + std::string(static_cast<std::size_t>(*size) - 10, 'x') + R"("})";
    }
    fault.drop = json::optionalBoolean(request, "drop").value_or(false);
    if (fault.body && !fault.status) fault.status = 200;
    if (fault.drop && !fault.status) fault.status = 200;
    if (!fault.status && fault.delayMs == 0)
        throw Error("A fault needs a status, a body, a redirect, a drop or a delay.");

    std::lock_guard lock(mutex_);
    fault.id = "fault-" + std::to_string(++next_);
    faults_.push_back(fault);
    return fault;
}

std::optional<Fault> FaultTable::take(const std::string& method, const std::string& path) {
    std::lock_guard lock(mutex_);
    for (auto it = faults_.begin(); it != faults_.end(); ++it) {
        const bool matches = it->prefix ? path.compare(0, it->path.size(), it->path) == 0 : it->path == path;
        if (!matches || (!it->method.empty() && it->method != method)) continue;
        Fault used = *it;
        if (it->remaining > 0 && --it->remaining == 0) faults_.erase(it);
        return used;
    }
    return std::nullopt;
}

json::Json FaultTable::list() const {
    std::lock_guard lock(mutex_);
    json::Json out = json::Json::array();
    for (const auto& fault : faults_) out.push_back(fault.toJson());
    return out;
}

void FaultTable::clear() {
    std::lock_guard lock(mutex_);
    faults_.clear();
}

}  // namespace tessaron::panel
