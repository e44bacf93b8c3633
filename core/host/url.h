#pragma once
// A small absolute-URL type: scheme, host, port, path, query, and the text it was
// made from. absoluteString() is that text, unchanged, as the control panel's and
// the pairing key's rules expect.

#include "host/error.h"

#include <optional>
#include <string>
#include <string_view>

namespace tessaron {

class Url {
public:
    // Parses an absolute URL ("scheme:" followed by an optional "//authority", a path,
    // "?query" and "#fragment"). Refuses relative references, white space, control
    // characters and malformed authorities.
    static std::optional<Url> parse(std::string_view text);

    const std::string& absoluteString() const { return text_; }
    const std::string& scheme() const { return scheme_; }   // lower-cased
    // The scheme exactly as written ("HTTPS" stays "HTTPS").
    const std::string& writtenScheme() const { return schemeText_; }
    // The host as written, IPv6 literals with their brackets ("[::1]"); lower-cased.
    const std::string& host() const { return host_; }
    // The host exactly as written, case included (empty without an authority).
    std::string writtenHost() const;
    // The host without IPv6 brackets, as a resolver wants it.
    std::string hostName() const;
    std::optional<int> port() const { return port_; }
    const std::string& path() const { return path_; }
    const std::optional<std::string>& query() const { return query_; }
    bool hasAuthority() const { return hasAuthority_; }
    const std::optional<std::string>& fragment() const { return fragment_; }
    // The user information before "@" in the authority ("user:password"), when written.
    std::optional<std::string> userInfo() const {
        auto at = authorityText_.rfind('@');
        if (at == std::string::npos) return std::nullopt;
        return authorityText_.substr(0, at);
    }

    // The port, or the scheme's default (http/ws 80, https/wss 443), or nothing.
    std::optional<int> effectivePort() const;

    // Appends one or more path components, adding a "/" unless the path already ends
    // in one; the query and fragment stay at the end. Throws Error when the components
    // hold "?" or "#" or the result is not a URL (text from outside goes through
    // percentEncoded first).
    Url appendingPathComponent(std::string_view component) const;

    // `text` with every byte but letters, digits, "-._~" and those in `alsoKept` written as
    // "%XX". With nothing else kept it is one path segment: "/", "?", "#" stay inside it.
    static std::string percentEncoded(std::string_view text, std::string_view alsoKept = {});

    bool operator==(const Url& other) const { return text_ == other.text_; }
    bool operator!=(const Url& other) const { return !(*this == other); }

private:
    std::string text_;
    std::string scheme_;
    std::string host_;
    std::optional<int> port_;
    std::string path_;
    std::optional<std::string> query_;
    std::optional<std::string> fragment_;
    bool hasAuthority_ = false;
    std::string authorityText_;  // the authority exactly as written, for rebuilding
    std::string schemeText_;     // the scheme exactly as written
};

}  // namespace tessaron
