#include "panel/machine_removal.h"

#include "host/json.h"

namespace tessaron {

std::optional<RemovalNotice> RemovalNotice::from(long status, std::string_view body, const std::string& expectedMachineID) {
    if (status != 410 || expectedMachineID.empty()) return std::nullopt;
    std::optional<std::string> code;
    std::optional<bool> deleteServer;
    try {
        const json::Json object = json::parseObject(body);
        code = json::optionalString(object, "code");
        deleteServer = json::optionalBoolean(object, "deleteServer");
    } catch (const std::exception&) {
        return std::nullopt;
    }
    if (code != "machine_removed") return std::nullopt;
    return RemovalNotice{expectedMachineID, deleteServer.value_or(false)};
}

void StrandedWatch::record(bool reachedTessaron, Clock::time_point at) {
    if (reachedTessaron) {
        offlineSince.reset();
    } else if (!offlineSince) {
        offlineSince = at;
    }
}

bool StrandedWatch::shouldOffer(Clock::time_point now, bool internetWorking) const {
    if (!internetWorking || !offlineSince) return false;
    return now - *offlineSince >= threshold;
}

namespace RemovalTeardown {

Outcome perform(const RemovalNotice& notice, const Steps& steps) {
    if (steps.stopHosting) steps.stopHosting();
    if (notice.deleteServer && steps.deleteServer) steps.deleteServer();
    if (steps.forgetIdentity) steps.forgetIdentity();
    return Outcome{true, notice.deleteServer, true};
}

}  // namespace RemovalTeardown

}  // namespace tessaron
