#pragma once
// The one HTTP(S) client for the control panel, on libcurl. Redirects are never
// followed unless a request asks for it; answers are capped in size; every request
// has a connect and a total time-out. Only http and https are spoken.

#include "host/error.h"

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace tessaron::http {

using Headers = std::vector<std::pair<std::string, std::string>>;

struct Request {
    std::string method = "GET";
    std::string url;
    Headers headers;
    std::optional<std::string> body;
    std::chrono::milliseconds timeout{60'000};
    // The connection must be made within this; absent, within `timeout`.
    std::optional<std::chrono::milliseconds> connectTimeout;
    bool followRedirects = false;
    std::size_t maxResponseBytes = 1 << 20;
    // An answer longer than maxResponseBytes: false fails with tooLarge; true returns its
    // status with the body cut at the limit and `truncated` set, for callers that read
    // only short answers and tell the others by their status.
    bool truncateLongAnswers = false;
};

struct Response {
    long status = 0;
    Headers headers;  // in the order received, names as sent
    std::string body;
    bool truncated = false;  // the body was cut at maxResponseBytes
    // The first header of that name, compared without regard to case.
    std::optional<std::string> header(const std::string& name) const;
};

// The request did not produce an HTTP answer (no connection, time-out, TLS failure,
// an answer larger than allowed, a redirect to an address that is not https, a header
// value with a line break). The text is a full sentence.
class TransportError : public Error {
public:
    enum class Kind { cannotConnect, timedOut, tooLarge, tls, badURL, insecureRedirect, other };
    TransportError(Kind kind, const std::string& sentence) : Error(sentence), kind_(kind) {}
    Kind kind() const noexcept { return kind_; }

private:
    Kind kind_;
};

// Performs one request synchronously; throws TransportError.
Response perform(const Request& request);

// Joins the base URL text and headers into a request with a JSON body.
Request jsonRequest(std::string method, std::string url, const std::string& bearerToken, std::optional<std::string> body);

}  // namespace tessaron::http
