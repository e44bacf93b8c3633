#pragma once
// What the desktop application reads from the one JSON line that `tessaron` prints: the
// connection report of `server status`, the panel's answer to `server connect|disconnect|
// restart --confirm`, and the VM's size from `vm resources` / `vm resize`. Each reader takes a
// subset of the keys and ignores the rest; a required key that is missing, or any listed key
// with a value of the wrong type, fails the whole decode with a json::DecodingError.

#include "host/error.h"
#include "panel/public_access_presentation.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tessaron::desktop {

// The panel's latest restart request of this Mac.
struct DesktopRestart {
    std::string id;
    std::string status;  // "queued", "running", "succeeded", or a word for a failed request
    double requestedAt = 0;  // milliseconds since 1970
    std::optional<std::string> error;

    bool operator==(const DesktopRestart&) const = default;
    static DesktopRestart fromJson(const json::Json& object);
};

// `tessaron server status`.
struct DesktopConnectionStatus {
    std::optional<PublicAccessStatus> publicAccess;
    std::optional<std::string> vmState;
    std::string tunnelState;
    std::optional<std::string> agentState;
    std::optional<std::string> error;
    std::optional<bool> publishingPaused;
    std::optional<bool> canRestart;
    std::optional<DesktopRestart> restart;
    std::optional<std::string> controlError;

    static DesktopConnectionStatus decode(std::string_view text);
};

// The panel's answer to a connect, disconnect or restart request.
struct DesktopLifecycle {
    std::optional<PublicAccessStatus> publicAccess;
    bool publishingPaused = false;
    std::int64_t effectiveWithinSeconds = 0;
    bool canRestart = false;
    std::optional<DesktopRestart> restart;

    static DesktopLifecycle decode(std::string_view text);
};

// `tessaron vm resources` and `tessaron vm resize`.
struct DesktopResources {
    struct Bounds {
        std::int64_t minCPU = 0;
        std::int64_t maxCPU = 0;
        std::int64_t minMemoryGiB = 0;
        std::int64_t maxMemoryGiB = 0;
        bool operator==(const Bounds&) const = default;
    };
    std::int64_t cpu = 0;
    double memoryGiB = 0;
    std::string state;
    Bounds bounds;

    bool operator==(const DesktopResources&) const = default;
    static DesktopResources decode(std::string_view text);
};

// A run of `tessaron` that ended with a non-zero status; the text is what the user sees.
class ResourceCommandError : public Error {
public:
    using Error::Error;
    // The standard error trimmed of white space and line breaks, or `fallback` when that leaves
    // nothing (an empty fallback keeps the empty text).
    static ResourceCommandError fromStandardError(std::string_view standardError, std::string_view fallback = {});
};

}  // namespace tessaron::desktop
