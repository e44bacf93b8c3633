#include "panel/setup_client.h"

#include "host/device_credential_store.h"
#include "host/header_value.h"
#include "panel/http_client.h"

#include <cctype>

namespace tessaron {
namespace {

constexpr const char* badOriginMessage = "Use an HTTPS Tessaron panel address without a path or password.";
constexpr const char* invalidTicketMessage = "The panel returned invalid setup details.";
constexpr const char* invalidProgressMessage = "The panel returned invalid setup progress.";

// The largest successful answer; a larger one is a failure.
constexpr std::size_t maxAnswerBytes = 65'536;
// What is read at most of any answer: a longer error answer could not be parsed anyway.
constexpr std::size_t readLimitBytes = 1 << 20;

// Plain "http" is allowed only for the loopback names; scheme and host are compared
// exactly as written.
bool allowedPanelScheme(const Url& url) {
    if (url.writtenScheme() == "https") return true;
    if (url.writtenScheme() != "http") return false;
    const std::string host = url.writtenHost();
    return host == "localhost" || host == "127.0.0.1" || host == "[::1]";
}

bool isLowerHex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }
bool isUpperHex(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); }

// "^setup_[a-f0-9]{36}$"
bool validSetupID(const std::string& id) {
    const std::string prefix = "setup_";
    if (id.size() != prefix.size() + 36 || id.compare(0, prefix.size(), prefix) != 0) return false;
    for (std::size_t i = prefix.size(); i < id.size(); ++i)
        if (!isLowerHex(id[i])) return false;
    return true;
}

// "^[A-F0-9]{12}$"
bool validCode(const std::string& code) {
    if (code.size() != 12) return false;
    for (char c : code)
        if (!isUpperHex(c)) return false;
    return true;
}

// Length in characters (code points), not bytes.
std::size_t characterCount(const std::string& text) {
    std::size_t count = 0;
    for (unsigned char c : text)
        if ((c & 0xC0) != 0x80) ++count;
    return count;
}

std::optional<std::string> percentDecoded(std::string_view text) {
    auto hex = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out += text[i];
            continue;
        }
        if (i + 2 >= text.size()) return std::nullopt;  // a '%' without two digits
        const int high = hex(text[i + 1]);
        const int low = hex(text[i + 2]);
        if (high < 0 || low < 0) return std::nullopt;
        out += static_cast<char>(high * 16 + low);
        i += 2;
    }
    return out;
}

// The approval link must be this origin's "/console/connect?setup=<id>" and nothing else.
bool validAuthorizeURL(const Url& link, const Url& origin, const std::string& id) {
    if (link.scheme() != origin.scheme() || link.hasAuthority() != origin.hasAuthority() ||
        link.host() != origin.host() || link.port() != origin.port())
        return false;
    if (link.userInfo()) return false;
    if (link.path() != "/console/connect") return false;
    if (link.fragment()) return false;
    if (!link.query()) return false;
    const std::string& query = *link.query();
    if (query.find('&') != std::string::npos) return false;  // more than one item
    const auto equals = query.find('=');
    if (equals == std::string::npos) return false;  // an item without a value
    auto name = percentDecoded(std::string_view(query).substr(0, equals));
    auto value = percentDecoded(std::string_view(query).substr(equals + 1));
    return name && value && *name == "setup" && *value == id;
}

// The panel's {"error": text}, when the body is an object of strings with that key.
std::optional<std::string> panelErrorText(const std::string& body) {
    try {
        json::Json object = json::parseObject(body);
        auto found = object.find("error");
        if (found == object.end()) return std::nullopt;
        for (const auto& [key, value] : object.items())
            if (!value.is_string()) return std::nullopt;
        return found->get<std::string>();
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

}  // namespace

SetupClient::SetupClient(Url origin) : origin_(std::move(origin)) {
    const bool accepted = allowedPanelScheme(origin_) && origin_.hasAuthority() && !origin_.host().empty() &&
                          !origin_.userInfo() && !origin_.query() && !origin_.fragment() &&
                          (origin_.path().empty() || origin_.path() == "/");
    if (!accepted) throw SetupError(badOriginMessage);
}

std::string SetupClient::request(const std::string& path, const std::optional<std::string>& secret,
                                 const std::optional<std::string>& payload) const {
    // The secret is the panel's; one that could break the header line is never sent (a
    // saved setup may hold one from before it was checked on arrival).
    if (secret && !header_value::isSafe(*secret)) throw SetupError(unconfirmedMessage);
    http::Request request;
    request.url = origin_.appendingPathComponent(path).absoluteString();
    request.method = payload ? "POST" : "GET";
    request.body = payload;
    request.headers.emplace_back("Content-Type", "application/json");
    if (secret) request.headers.emplace_back("Authorization", "Bearer " + *secret);
    request.timeout = timeout;
    request.followRedirects = false;
    request.maxResponseBytes = readLimitBytes;
    request.truncateLongAnswers = true;  // a cut answer fails below like any other too long

    const http::Response response = http::perform(request);
    if (response.truncated) throw SetupError(unconfirmedMessage);
    if (response.status >= 200 && response.status <= 299 && response.body.size() <= maxAnswerBytes)
        return response.body;
    if (auto text = panelErrorText(response.body)) throw SetupError(*text);
    throw SetupError(unconfirmedMessage);
}

SetupTicket SetupClient::start(const std::string& profile) const {
    const std::string body = request("api/tessaron/setup", std::nullopt, profile);
    SetupTicket ticket = SetupTicket::fromJson(json::parseObject(body));
    const std::size_t secretLength = characterCount(ticket.deviceSecret);
    // The secret is sent as a bearer token on every later request of this setup.
    const bool valid = validSetupID(ticket.id) && validCode(ticket.code) && secretLength >= 32 && secretLength <= 128 &&
                       header_value::isSafe(ticket.deviceSecret) && validAuthorizeURL(ticket.authorizeURL, origin_, ticket.id);
    if (!valid) throw SetupError(invalidTicketMessage);
    return ticket;
}

SetupProgress SetupClient::update(const PendingSetup& setup, const std::string& stage) const {
    json::Json body{{"stage", stage}};
    // The panel learns the token as this Mac saves and presents it; one that could not
    // be presented is not handed over (the credential store's invalidFile).
    if (stage == "complete") body["deviceToken"] = DeviceCredentialStore::usableToken(setup.deviceToken());
    return SetupProgress::decode(
        request("api/tessaron/agent/setup/" + setup.ticket.id, setup.ticket.deviceSecret, json::encode(body)));
}

SetupProgress SetupClient::status(const PendingSetup& setup) const {
    return SetupProgress::decode(request("api/tessaron/agent/setup/" + setup.ticket.id, setup.ticket.deviceSecret, std::nullopt));
}

PendingSetup SetupClient::resume(const PendingSetup& setup) const {
    SetupProgress progress = update(setup, "resume");
    if (!progress.code || !validCode(*progress.code) || !progress.expiresAt) throw SetupError(invalidProgressMessage);
    PendingSetup resumed = setup;
    resumed.ticket.code = *progress.code;
    resumed.ticket.expiresAt = *progress.expiresAt;
    return resumed;
}

}  // namespace tessaron
