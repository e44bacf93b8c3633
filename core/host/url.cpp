#include "host/url.h"

#include <algorithm>
#include <cctype>

namespace tessaron {
namespace {

std::string lower(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return out;
}

bool validCharacters(std::string_view text) {
    for (unsigned char c : text) {
        if (c <= 0x20 || c == 0x7F || c == '"' || c == '<' || c == '>' || c == '\\' || c == '^' || c == '`' ||
            c == '{' || c == '|' || c == '}' || c >= 0x80)
            return false;
    }
    return true;
}

}  // namespace

std::optional<Url> Url::parse(std::string_view text) {
    if (text.empty() || !validCharacters(text)) return std::nullopt;
    auto colon = text.find(':');
    if (colon == std::string_view::npos || colon == 0) return std::nullopt;
    std::string_view scheme = text.substr(0, colon);
    if (!std::isalpha(static_cast<unsigned char>(scheme[0]))) return std::nullopt;
    for (unsigned char c : scheme)
        if (!std::isalnum(c) && c != '+' && c != '-' && c != '.') return std::nullopt;

    Url url;
    url.text_ = std::string(text);
    url.schemeText_ = std::string(scheme);
    url.scheme_ = lower(scheme);
    std::string_view rest = text.substr(colon + 1);

    if (auto hash = rest.find('#'); hash != std::string_view::npos) {
        url.fragment_ = std::string(rest.substr(hash + 1));
        rest = rest.substr(0, hash);
    }
    if (auto question = rest.find('?'); question != std::string_view::npos) {
        url.query_ = std::string(rest.substr(question + 1));
        rest = rest.substr(0, question);
    }
    if (rest.substr(0, 2) == "//") {
        url.hasAuthority_ = true;
        rest = rest.substr(2);
        auto slash = rest.find('/');
        std::string_view authority = rest.substr(0, slash);
        url.authorityText_ = std::string(authority);
        rest = slash == std::string_view::npos ? std::string_view{} : rest.substr(slash);
        if (auto at = authority.rfind('@'); at != std::string_view::npos) authority = authority.substr(at + 1);
        std::string_view hostPart = authority;
        std::string_view portPart;
        bool hasPort = false;
        if (!authority.empty() && authority[0] == '[') {
            auto close = authority.find(']');
            if (close == std::string_view::npos) return std::nullopt;
            hostPart = authority.substr(0, close + 1);
            std::string_view after = authority.substr(close + 1);
            if (!after.empty()) {
                if (after[0] != ':') return std::nullopt;
                hasPort = true;
                portPart = after.substr(1);
            }
            for (unsigned char c : hostPart.substr(1, hostPart.size() - 2))
                if (!std::isxdigit(c) && c != ':' && c != '.') return std::nullopt;
        } else if (auto portColon = authority.rfind(':'); portColon != std::string_view::npos) {
            hostPart = authority.substr(0, portColon);
            hasPort = true;
            portPart = authority.substr(portColon + 1);
        }
        if (hostPart.find(':') != std::string_view::npos && hostPart[0] != '[') return std::nullopt;
        if (hasPort && !portPart.empty()) {
            if (portPart.size() > 5) return std::nullopt;
            int port = 0;
            for (unsigned char c : portPart) {
                if (!std::isdigit(c)) return std::nullopt;
                port = port * 10 + (c - '0');
            }
            if (port > 65535) return std::nullopt;
            url.port_ = port;
        }
        url.host_ = lower(hostPart);
    }
    url.path_ = std::string(rest);
    return url;
}

std::string Url::hostName() const {
    if (host_.size() >= 2 && host_.front() == '[' && host_.back() == ']') return host_.substr(1, host_.size() - 2);
    return host_;
}

std::string Url::writtenHost() const {
    // host() is the lower-cased copy of the same characters, so only the case differs.
    if (!hasAuthority_) return {};
    std::string_view authority = authorityText_;
    if (auto at = authority.rfind('@'); at != std::string_view::npos) authority.remove_prefix(at + 1);
    return std::string(authority.substr(0, host_.size()));
}

std::optional<int> Url::effectivePort() const {
    if (port_) return port_;
    if (scheme_ == "http" || scheme_ == "ws") return 80;
    if (scheme_ == "https" || scheme_ == "wss") return 443;
    return std::nullopt;
}

Url Url::appendingPathComponent(std::string_view component) const {
    const auto refused = [component] {
        return Error("The path \u201C" + std::string(component) + "\u201D cannot be added to a link.");
    };
    if (component.find_first_of("?#") != std::string_view::npos) throw refused();
    std::string path = path_;
    if (path.empty() || path.back() != '/') path += '/';
    std::string_view added = component;
    while (!added.empty() && added.front() == '/' && path.back() == '/') added.remove_prefix(1);
    path += added;
    std::string text = schemeText_ + ":";
    if (hasAuthority_) text += "//" + authorityText_;
    text += path;
    if (query_) text += "?" + *query_;
    if (fragment_) text += "#" + *fragment_;
    auto appended = Url::parse(text);
    if (!appended) throw refused();
    return *appended;
}

std::string Url::percentEncoded(std::string_view text, std::string_view alsoKept) {
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string encoded;
    for (unsigned char c : text) {
        const bool unreserved = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                                c == '-' || c == '.' || c == '_' || c == '~' ||
                                alsoKept.find(static_cast<char>(c)) != std::string_view::npos;
        if (unreserved) {
            encoded += static_cast<char>(c);
        } else {
            encoded += '%';
            encoded += hex[c >> 4];
            encoded += hex[c & 0xF];
        }
    }
    return encoded;
}

}  // namespace tessaron
