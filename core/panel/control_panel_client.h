#pragma once
// The paired Mac's client of the control panel's agent API. Every call is one JSON POST
// under "api/tessaron/agent/" of the configured control URL, with the device token as a
// bearer token and the Mac's machine ID in the body. Calls are synchronous, share
// nothing, and are never retried here; the callers decide about retrying.

#include "host/agent_configuration.h"
#include "host/error.h"
#include "host/json.h"
#include "panel/machine_removal.h"

#include <chrono>
#include <optional>
#include <string>

namespace tessaron {

// The panel client's refusal, also used by the receipt store and the executors. Its
// text is the full sentence.
class LifecycleFailure : public Error {
public:
    explicit LifecycleFailure(const std::string& message) : Error(message) {}
};

// The panel removed this Mac from its account.
class MachineRemovedError : public Error {
public:
    explicit MachineRemovedError(RemovalNotice notice);
    const RemovalNotice& notice() const noexcept { return notice_; }
    static std::string description(const RemovalNotice& notice);

private:
    RemovalNotice notice_;
};

class LifecycleClient {
public:
    LifecycleClient(AgentConfiguration configuration, std::string token);

    const AgentConfiguration& configuration() const { return configuration_; }
    const std::string& token() const { return token_; }

    // The one exchange all agent operations share: POST <controlURL>/api/tessaron/agent/<path>
    // with `body` plus "machineId", answered by the panel's body when the status is 2xx.
    // Throws LifecycleFailure for an unusable control URL, a refusal, an unusable answer or
    // one larger than maxAnswerBytes; MachineRemovedError for the removal answer for this
    // machine; http::TransportError when no answer arrived.
    std::string post(const std::string& path, json::Json body, std::chrono::milliseconds timeout) const;

    // One server-control request ("status", "connect", "disconnect", "restart"); returns
    // the panel's answer unparsed. "status" waits 5 s, the others 10 s.
    std::string control(const std::string& action, const std::optional<std::string>& requestId,
                        bool confirmRestart) const;

    // The running bundle's short version string, or "unknown"; computed once.
    static const std::string& appVersion();

    // Whether `published` is a newer dotted version than `installed`. Texts with a part
    // that is not a whole number, or with no parts, are never outdated.
    static bool isOutdated(const std::string& installed, const std::string& published);

    static constexpr std::size_t maxAnswerBytes = 65536;

private:
    AgentConfiguration configuration_;
    std::string token_;
};

}  // namespace tessaron
