#pragma once
// The wording of the public side of the Mac's server (is the relay forwarding traffic,
// or has the user paused it), shared by the desktop application and the menu bar so
// that both say the same thing.

#include "host/json.h"

#include <optional>
#include <string>

namespace tessaron {

// The panel's report, the "publicAccess" object of `tessaron server status` and of
// the connect, disconnect and restart commands.
struct PublicAccessStatus {
    std::string state;  // "pausing", "paused", "reconnecting", "enabled", "blocked" or anything else
    bool requestedPaused = false;
    std::optional<double> confirmedAt;  // only its presence matters

    // `state` and `requestedPaused` are required (json::DecodingError); `confirmedAt`
    // may be missing or null.
    static PublicAccessStatus fromJson(const json::Json& object);

    std::string label() const;
    std::string detail() const;
};

struct PublicAccessPresentation {
    enum class Action { disconnect, connect, check, wait };

    std::string label;
    std::string detail;
    Action action = Action::check;
    bool isEnabled = false;  // public access confirmed as working through this Mac

    // `status`: the last report, or none. `connected`: this Mac's own connection is up.
    // `controlAvailable`: false when the report cannot be relied on at all.
    // `pendingAction`: "connect" or "disconnect" while such a request is running; any
    // other text counts as none. Never fails: what cannot be confirmed asks for a check.
    static PublicAccessPresentation make(const std::optional<PublicAccessStatus>& status, bool connected,
                                         bool controlAvailable, const std::optional<std::string>& pendingAction);

    std::string actionLabel() const;  // the action button's title
    std::string symbol() const;       // an SF Symbols name
};

}  // namespace tessaron
