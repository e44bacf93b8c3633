#pragma once
// The paired Mac's client of the control panel's agent API. Every call is one JSON POST
// under "api/tessaron/agent/" of the configured control URL, with the device token as a
// bearer token and the Mac's machine ID in the body. Calls are synchronous, share
// nothing, and are never retried here; the callers decide about retrying.

#include "host/agent_configuration.h"
#include "host/error.h"
#include "host/json.h"
#include "panel/command_polling.h"
#include "panel/machine_removal.h"

#include <chrono>
#include <map>
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

class LifecycleClient : public RestartCommandClient {
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

    // The command queue ("commands"), each with a 15-second time-out.
    //
    // What waits for this Mac: sends "action" "poll", "version" 2, the VM state, the boot
    // ID (null when there is none), appVersion() and the saved power intent ("stopped" or
    // "running"; a missing or unreadable record counts as "running"). An answer without a
    // command (missing or null) is nothing; an undecodable one is a json::DecodingError.
    std::optional<RestartCommand> poll(const std::string& vmState, const std::optional<std::string>& bootId) const;
    // "claim" with the command's ID and `bootId` as given; the panel's required "mayExecute".
    bool claim(const RestartCommand& command, const std::string& bootId) override;
    // "complete" with the command's ID, `status` and the boot ID (null when absent); the
    // answer is not read.
    void complete(const RestartCommand& command, const std::string& status,
                  const std::optional<std::string>& bootId) override;

    // SSH preparation ("ssh", 15 s): sends `fields` unchanged and returns the answer
    // unparsed.
    std::string ssh(const std::map<std::string, std::string>& fields) const;
    // Sends the guest's JSON result object back with "action" "acknowledge" (replacing
    // the guest's own "action") and, unless it is null, the request's "requestId" (the
    // guest does not know it; the panel matches the answer to its request by it). Not
    // JSON: json::DecodingError; JSON but not an object: LifecycleFailure "Invalid SSH
    // preparation result.".
    void acknowledgeSSH(const std::string& guestResult, const json::Json& requestId = nullptr) const;

    static constexpr std::chrono::milliseconds commandTimeout{15'000};

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
