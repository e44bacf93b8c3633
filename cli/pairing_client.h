#pragma once
// The older way to pair a Mac, with a short pairing code: ask the control panel for a
// code, show it, and poll until someone claims it in the panel. Also the panel's error
// object, which the WireGuard runner reads too.

#include "host/json.h"
#include "host/url.h"
#include "panel/http_client.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tessaron::cli {

// The Mac's description sent with a code request.
struct AgentProfilePayload {
    std::string name;
    std::string chip;
    std::string modelIdentifier;
    std::int64_t cpuCores = 0;
    std::int64_t memoryGiB = 0;
    std::int64_t allocatedCpu = 0;
    std::int64_t allocatedMemoryGiB = 0;

    // The seven keys, in the order above.
    std::string encode() const;
};

struct PairingCodeResponse {
    std::string code;
    std::string expiresAt;  // the panel's own text, not parsed
    std::string deviceSecret;

    static PairingCodeResponse decode(const std::string& body);  // json::DecodingError
};

struct PairingClaimResponse {
    std::string status;  // "paired", "claimed", or another state of the code
    std::optional<std::string> machineId;
    std::optional<std::string> deviceToken;
    std::optional<std::vector<std::string>> edgeURLs;
    std::optional<std::string> error;

    static PairingClaimResponse decode(const std::string& body);  // json::DecodingError
};

// The panel's {"error": text}.
struct APIErrorResponse {
    std::string error;
    // Nothing when the body is not that object.
    static std::optional<APIErrorResponse> decode(const std::string& body);
};

class PairingClient {
public:
    // `followRedirects`: the pairing-code flow follows the panel's redirects (to https
    // only, as the HTTP client allows); a client built with false sees the redirect
    // answer itself and fails on it.
    explicit PairingClient(Url controlURL, bool followRedirects = true)
        : controlURL_(std::move(controlURL)), followRedirects_(followRedirects) {}

    const Url& controlURL() const { return controlURL_; }

    // POST /api/tessaron/agent/pairing-codes at the root of the control URL's host.
    // Throws http::TransportError, CLIError::pairing, json::DecodingError.
    PairingCodeResponse createCode(const AgentProfilePayload& profile) const;

    // GET /api/tessaron/agent/pairing-codes/<code>, authorised by the device secret.
    // 202 (not claimed yet) and every other 2xx answer are decoded.
    PairingClaimResponse claim(const std::string& code, const std::string& deviceSecret) const;

    // Accepts 2xx; otherwise throws CLIError::pairing with the panel's "error" text or
    // "The control plane returned HTTP <status>.".
    static void validate(const http::Response& response);

    // `path` (beginning with "/") at the root of the control URL's host.
    std::string resolve(const std::string& path) const;

private:
    Url controlURL_;
    bool followRedirects_;
};

// Percent-encodes everything outside the characters allowed in a URL path.
std::string percentEncodePath(const std::string& text);

}  // namespace tessaron::cli
