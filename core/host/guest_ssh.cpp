// SSH preparation and the listening-port report: LimaManager runs guest_ssh.py and
// guest_listeners.py as root inside the guest and bounds what goes in and comes out.

#include "host/guest_connection_status.h"
#include "host/guest_scripts.h"
#include "host/json.h"
#include "host/lima_manager.h"
#include "host/base64.h"

#include <set>

namespace tessaron {

namespace guest_output {
namespace {

bool isASCIILetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
bool isASCIIDigit(char c) { return c >= '0' && c <= '9'; }

[[noreturn]] void unreadableReport() { throw LimaManagerError::commandFailed(unreadableListenersMessage); }

struct Listener {
    std::string protocol;
    std::int64_t port = 0;
    std::optional<std::string> processName;
    std::string binding;
};

}  // namespace

bool isSafeAccountName(std::string_view name) {
    if (name.empty() || name.size() > 32 || name == "root") return false;
    if (!isASCIILetter(name[0]) && name[0] != '_') return false;
    for (char c : name.substr(1))
        if (!isASCIILetter(c) && !isASCIIDigit(c) && c != '_' && c != '-') return false;
    return true;
}

bool isSafeProcessName(std::string_view name) {
    if (name.empty() || name.size() > 64) return false;
    for (char c : name)
        if (!isASCIILetter(c) && !isASCIIDigit(c) && c != '_' && c != '.' && c != '+' && c != ' ' && c != '-')
            return false;
    return true;
}

std::string validatedListenerReport(std::string_view output) {
    if (output.size() > maxListenerReportBytes) unreadableReport();

    // Decoding: the three keys with their types; other keys are ignored.
    const json::Json report = json::parseObject(output);
    const bool available = json::boolean(report, "available");
    const bool truncated = json::boolean(report, "truncated");
    std::vector<Listener> listeners;
    for (const json::Json& item : json::array(report, "listeners")) {
        json::requireObject(item, "a listener");
        Listener listener;
        listener.protocol = json::string(item, "protocol");
        listener.port = json::int64(item, "port");
        listener.processName = json::optionalString(item, "processName");
        listener.binding = json::string(item, "binding");
        listeners.push_back(std::move(listener));
    }

    if (listeners.size() > maxListeners) unreadableReport();
    if (!available && (!listeners.empty() || truncated)) unreadableReport();
    std::set<std::string> seen;
    for (const Listener& listener : listeners)
        if (!seen.insert(listener.protocol + ":" + std::to_string(listener.port)).second) unreadableReport();
    for (const Listener& listener : listeners) {
        const bool valid = (listener.protocol == "tcp" || listener.protocol == "udp") && listener.port >= 1 &&
                           listener.port <= 65535 &&
                           (listener.binding == "all" || listener.binding == "loopback" ||
                            listener.binding == "specific") &&
                           (!listener.processName || isSafeProcessName(*listener.processName));
        if (!valid) unreadableReport();
    }

    json::Json out = {{"available", available}, {"truncated", truncated}, {"listeners", json::Json::array()}};
    for (const Listener& listener : listeners) {
        out["listeners"].push_back({{"protocol", listener.protocol},
                                    {"port", listener.port},
                                    {"processName", listener.processName ? json::Json(*listener.processName) : json::Json()},
                                    {"binding", listener.binding}});
    }
    return json::encode(out);
}

}  // namespace guest_output

std::string LimaManager::prepareSSH(const std::string& request) {
    using namespace guest_output;
    if (request.size() > maxSSHRequestBytes) throw LimaManagerError::commandFailed(keepRunningMessage);
    if (status() != "Running") throw LimaManagerError::commandFailed(keepRunningMessage);

    const std::string account = lima_text::trimmed(checkedRun({"shell", instanceName_, "--", "id", "-un"}).standardOutput);
    if (!isSafeAccountName(account)) throw LimaManagerError::commandFailed(unsafeAccountMessage);

    const std::optional<std::string> script = guest_scripts::load("guest_ssh.py");
    if (!script) throw LimaManagerError::commandFailed(missingSSHScriptMessage);

    const CommandResult result = checkedRun({"shell", instanceName_, "--", "sudo", "-n", "python3", "-c", *script,
                                             account, base64Encode(request)});
    // The answer goes to the panel as it is; one that is not text must not turn into an
    // empty success.
    if (!result.standardOutputValid || !isValidUTF8(result.standardOutput))
        throw LimaManagerError::commandFailed(sshAnswerNotTextMessage);
    if (result.standardOutput.size() > maxSSHAnswerBytes) throw LimaManagerError::commandFailed(sshAnswerTooLargeMessage);
    return result.standardOutput;
}

std::string LimaManager::listeningPorts() {
    using namespace guest_output;
    const std::optional<std::string> script = guest_scripts::load("guest_listeners.py");
    if (!script) throw LimaManagerError::commandFailed(missingListenerScriptMessage);
    const CommandResult result = checkedRun({"shell", instanceName_, "--", "sudo", "-n", "python3", "-c", *script});
    return validatedListenerReport(result.standardOutput);
}

}  // namespace tessaron
