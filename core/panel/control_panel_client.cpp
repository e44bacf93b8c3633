#include "panel/control_panel_client.h"

#include "host/paths.h"
#include "panel/http_client.h"

#include <charconv>
#include <fstream>
#include <limits>
#include <sstream>
#include <vector>

namespace tessaron {
namespace {

constexpr const char* httpsRequired = "The control server must use HTTPS.";

void requireUsableControlURL(const Url& url) {
    if (url.userInfo()) throw LifecycleFailure(httpsRequired);
    // Scheme and host are compared exactly as written.
    const std::string& scheme = url.writtenScheme();
    if (scheme == "https") return;
    const std::string host = url.writtenHost();
    if (scheme == "http" && (host == "localhost" || host == "127.0.0.1" || host == "[::1]")) return;
    throw LifecycleFailure(httpsRequired);
}

std::optional<std::string> panelErrorText(const std::string& body) {
    try {
        return json::optionalString(json::parseObject(body), "error");
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

// A whole decimal number with an optional sign; anything else fails.
std::optional<long long> wholeNumber(const std::string& text) {
    std::size_t start = 0;
    bool negative = false;
    if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
        negative = text[0] == '-';
        start = 1;
    }
    if (start == text.size()) return std::nullopt;
    for (std::size_t i = start; i < text.size(); ++i)
        if (text[i] < '0' || text[i] > '9') return std::nullopt;
    unsigned long long magnitude = 0;
    auto [end, error] = std::from_chars(text.data() + start, text.data() + text.size(), magnitude);
    if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    const auto limit = static_cast<unsigned long long>(std::numeric_limits<long long>::max());
    if (negative) {
        if (magnitude > limit + 1) return std::nullopt;
        return magnitude == limit + 1 ? std::numeric_limits<long long>::min() : -static_cast<long long>(magnitude);
    }
    if (magnitude > limit) return std::nullopt;
    return static_cast<long long>(magnitude);
}

std::optional<std::vector<long long>> versionParts(const std::string& text) {
    std::vector<long long> parts;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t dot = text.find('.', start);
        if (dot == std::string::npos) dot = text.size();
        if (dot > start) {
            auto number = wholeNumber(text.substr(start, dot - start));
            if (!number) return std::nullopt;
            parts.push_back(*number);
        }
        start = dot + 1;
    }
    return parts;
}

std::string readBundleVersion() {
    auto bundle = bundle::mainBundle();
    if (!bundle) return "unknown";
    std::ifstream in(*bundle / "Contents" / "Info.plist", std::ios::binary);
    if (!in) return "unknown";
    std::ostringstream buffer;
    buffer << in.rdbuf();
    const std::string plist = buffer.str();
    const std::string key = "<key>CFBundleShortVersionString</key>";
    auto at = plist.find(key);
    if (at == std::string::npos) return "unknown";
    at = plist.find_first_not_of(" \t\r\n", at + key.size());
    const std::string open = "<string>";
    if (at == std::string::npos || plist.compare(at, open.size(), open) != 0) return "unknown";
    const auto valueStart = at + open.size();
    const auto close = plist.find("</string>", valueStart);
    if (close == std::string::npos) return "unknown";
    return plist.substr(valueStart, close - valueStart);
}

}  // namespace

MachineRemovedError::MachineRemovedError(RemovalNotice notice)
    : Error(description(notice)), notice_(std::move(notice)) {}

std::string MachineRemovedError::description(const RemovalNotice& notice) {
    if (notice.deleteServer)
        return "This Mac was removed from its Tessaron account, and its Linux server is being deleted as requested.";
    return "This Mac was removed from its Tessaron account. Its Linux server and files are kept.";
}

LifecycleClient::LifecycleClient(AgentConfiguration configuration, std::string token)
    : configuration_(std::move(configuration)), token_(std::move(token)) {}

std::string LifecycleClient::post(const std::string& path, json::Json body, std::chrono::milliseconds timeout) const {
    const Url& control = configuration_.controlURL;
    requireUsableControlURL(control);

    http::Request request;
    request.method = "POST";
    request.url = control.appendingPathComponent("api/tessaron/agent/" + path).absoluteString();
    request.headers = {{"authorization", "Bearer " + token_}, {"content-type", "application/json"}};
    if (!body.is_object()) body = json::Json::object();
    body["machineId"] = configuration_.machineID;
    request.body = json::encode(body);
    request.timeout = timeout;
    request.followRedirects = false;
    // The limit is for successful answers; a longer refusal is cut there and told by its
    // status (a cut body decodes as neither a removal nor an error text).
    request.maxResponseBytes = maxAnswerBytes;
    request.truncateLongAnswers = true;

    http::Response response = http::perform(request);
    const long status = response.status;
    if (status < 100 || status > 999) throw LifecycleFailure("The panel returned an invalid response.");
    if (status >= 200 && status <= 299) {
        if (response.truncated) throw LifecycleFailure("The panel response was too large.");
        return std::move(response.body);
    }
    if (response.truncated) response.body.clear();
    if (auto notice = RemovalNotice::from(status, response.body, configuration_.machineID))
        throw MachineRemovedError(*notice);
    if (status == 404)
        throw LifecycleFailure("Server controls are not available on this panel yet. Hosting was not changed.");
    if (auto text = panelErrorText(response.body)) throw LifecycleFailure(*text);
    throw LifecycleFailure("Server control request failed (HTTP " + std::to_string(status) + ").");
}

std::string LifecycleClient::control(const std::string& action, const std::optional<std::string>& requestId,
                                     bool confirmRestart) const {
    json::Json body = json::Json::object();
    body["action"] = action;
    if (requestId) body["requestId"] = *requestId;
    if (confirmRestart) body["confirmRestart"] = true;
    const auto timeout = action == "status" ? std::chrono::seconds(5) : std::chrono::seconds(10);
    return post("control", std::move(body), timeout);
}

const std::string& LifecycleClient::appVersion() {
    static const std::string version = readBundleVersion();
    return version;
}

bool LifecycleClient::isOutdated(const std::string& installed, const std::string& published) {
    auto mine = versionParts(installed);
    auto theirs = versionParts(published);
    if (!mine || !theirs || mine->empty() || theirs->empty()) return false;
    const std::size_t count = std::max(mine->size(), theirs->size());
    for (std::size_t i = 0; i < count; ++i) {
        const long long a = i < mine->size() ? (*mine)[i] : 0;
        const long long b = i < theirs->size() ? (*theirs)[i] : 0;
        if (a != b) return a < b;
    }
    return false;
}

}  // namespace tessaron
