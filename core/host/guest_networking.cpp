// Guest networking: LimaManager installs the WireGuard tools in the guest and runs
// guest_network.py as root there to create the key, apply the panel's configuration and
// report the tunnel's state.

#include "host/guest_connection_status.h"
#include "host/guest_scripts.h"
#include "host/json.h"
#include "host/lima_manager.h"
#include "host/base64.h"

#include <chrono>
#include <thread>

namespace tessaron {

namespace guest_output {

bool isTunnelState(std::string_view state) {
    return state == "connected" || state == "connecting" || state == "offline" || state == "not-configured" ||
           state == "unknown";
}

GuestConnectionStatus decodeConnectionStatus(const std::string& vmState, std::string_view output) {
    const json::Json object = json::parseObject(output);
    GuestConnectionStatus status;
    status.vmState = vmState;
    status.tunnelState = json::string(object, "tunnelState");
    status.lastHandshakeAt = json::optionalNumber(object, "lastHandshakeAt");
    status.error = json::optionalString(object, "error");
    if (!isTunnelState(status.tunnelState)) throw LimaManagerError::commandFailed(unknownTunnelStateMessage);
    return status;
}

std::string wireGuardPublicKey(std::string_view output) {
    const json::Json object = json::parse(output);
    if (!object.is_object()) throw LimaManagerError::commandFailed(missingPublicKeyMessage);
    for (const auto& [key, value] : object.items())
        if (!value.is_string()) throw LimaManagerError::commandFailed(missingPublicKeyMessage);
    const auto found = object.find("publicKey");
    if (found == object.end()) throw LimaManagerError::commandFailed(missingPublicKeyMessage);
    const std::string key = found->get<std::string>();
    const std::optional<std::string> bytes = base64Decode(key);
    if (!bytes || bytes->size() != 32) throw LimaManagerError::commandFailed(missingPublicKeyMessage);
    return key;
}

std::string validatedNetworkConfiguration(const std::string& configuration) {
    if (configuration.size() > maxNetworkConfigurationBytes || !isValidUTF8(configuration) ||
        configuration.find('\0') != std::string::npos)
        throw LimaManagerError::commandFailed(invalidNetworkConfigurationMessage);
    return configuration;
}

}  // namespace guest_output

namespace {

// Installs wg, wg-quick and python3 when one of them is missing (apk or apt-get); it
// returns at once when they are all there.
constexpr const char* wireGuardInstaller =
    "if command -v wg >/dev/null && command -v wg-quick >/dev/null && command -v python3 >/dev/null; then exit 0; fi\n"
    "if command -v apk >/dev/null; then apk add --no-cache wireguard-tools python3 iproute2\n"
    "elif command -v apt-get >/dev/null; then apt-get update && DEBIAN_FRONTEND=noninteractive apt-get install -y "
    "wireguard-tools python3 iproute2\n"
    "else printf '%s\\n' 'Install wireguard-tools, python3 and iproute2 in the guest, then retry.' >&2; exit 1\n"
    "fi";

}  // namespace

void LimaManager::sleepSeconds(double seconds) {
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}

std::string LimaManager::guestNetwork(const std::string& action, const std::optional<std::string>& json) {
    const std::optional<std::string> script = guest_scripts::load("guest_network.py");
    if (!script) throw LimaManagerError::commandFailed(guest_output::missingNetworkScriptMessage);
    std::vector<std::string> arguments = {"shell", instanceName_, "--", "sudo", "python3", "-c", *script, action};
    if (json) arguments.push_back(*json);
    return lima_text::trimmed(checkedRun(arguments).standardOutput);
}

std::string LimaManager::prepareWireGuard() {
    checkedRun({"shell", instanceName_, "--", "sudo", "sh", "-c", wireGuardInstaller});
    return guest_output::wireGuardPublicKey(guestNetwork("init", std::nullopt));
}

std::string LimaManager::applyWireGuard(const std::string& configuration) {
    return guestNetwork("apply", guest_output::validatedNetworkConfiguration(configuration));
}

GuestConnectionStatus LimaManager::connectionStatus(const std::function<void(double)>& sleep) {
    std::string state = status();
    std::string lowered = lima_text::lowercased(state);
    if (lowered != "running" && lowered != "stopped") {
        sleep(2.0);
        state = status();
        lowered = lima_text::lowercased(state);
    }
    if (lowered == "running") return guest_output::decodeConnectionStatus(state, guestNetwork("status", std::nullopt));
    GuestConnectionStatus result;
    result.vmState = state;
    result.tunnelState = lowered == "stopped" ? "offline" : "unknown";
    return result;
}

}  // namespace tessaron
