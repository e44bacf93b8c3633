#pragma once
// What the menu bar reads from `tessaron`: the one JSON line of `server status`, and the
// panel's answer that `server connect`, `disconnect` and `restart --confirm` pass through.
// Keys the menu bar does not use are ignored; a missing required key or a value of the
// wrong type rejects the whole line, and the menu then shows "no status".

#include "panel/public_access_presentation.h"

#include <optional>
#include <string>
#include <string_view>

namespace tessaron::menubar {

// The panel's latest restart of this Mac's server.
struct MenuRestart {
    std::string status;  // "queued", "running", "succeeded"; anything else finished unsuccessfully
    double requestedAt = 0;  // milliseconds since 1970
    std::optional<std::string> error;
};

struct MenuConnection {
    bool paired = false;
    std::string vmState;
    std::string tunnelState;
    std::optional<std::string> agentState;
    std::optional<bool> publishingPaused;
    std::optional<PublicAccessStatus> publicAccess;
    std::optional<bool> canRestart;
    std::optional<MenuRestart> restart;
    std::optional<std::string> controlError;
};

struct MenuLifecycle {
    std::optional<PublicAccessStatus> publicAccess;
    bool publishingPaused = false;
    bool canRestart = false;
    std::int64_t effectiveWithinSeconds = 0;
    std::optional<MenuRestart> restart;
};

// Nothing when the text is not one JSON object of the right shape.
std::optional<MenuConnection> decodeConnection(std::string_view output);
std::optional<MenuLifecycle> decodeLifecycle(std::string_view output);

}  // namespace tessaron::menubar
