#pragma once
// The panel's command queue as the Mac sees it: a command waiting for this Mac (restart,
// stop or start), and how the executor claims it and reports how it ended. The
// operations themselves (poll, claim, complete, and the SSH relay) are LifecycleClient's,
// over its one exchange; this header holds the record and the executor's view of the
// client.

#include "host/json.h"

#include <optional>
#include <string>

namespace tessaron {

// One command of the panel's queue.
struct RestartCommand {
    std::string id;
    std::string status;        // the panel's state: the executor acts on "queued" and "running"
    std::string bootId;        // the guest boot the command is meant for; may be empty
    std::string kind = "restart";  // "restart", "stop" or "start"

    bool operator==(const RestartCommand&) const = default;

    // All four keys. Reading requires "id" and "status" (strings); a missing or null
    // "bootId" is empty and a missing or null "kind" is "restart".
    json::Json toJson() const;
    static RestartCommand fromJson(const json::Json& object);
};

// How the restart executor reaches the panel.
class RestartCommandClient {
public:
    virtual ~RestartCommandClient() = default;
    // Whether the panel allows this Mac to carry the command out now.
    virtual bool claim(const RestartCommand& command, const std::string& bootId) = 0;
    // Reports how the command ended ("succeeded" or "failed") and the guest's boot ID.
    virtual void complete(const RestartCommand& command, const std::string& status,
                          const std::optional<std::string>& bootId) = 0;
};

}  // namespace tessaron
