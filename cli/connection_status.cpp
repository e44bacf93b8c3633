#include "cli/connection_status.h"

#include "cli/vm_resource_lock.h"
#include "host/agent_configuration.h"
#include "host/helper_supervisor.h"
#include "host/lima_manager.h"

#include <exception>
#include <string>
#include <unistd.h>
#include <vector>

namespace tessaron::cli {

namespace {

std::string joined(const std::vector<std::string>& messages) {
    std::string text;
    for (const auto& message : messages) {
        if (!text.empty()) text += " ";
        text += message;
    }
    return text;
}

}  // namespace

json::Json connectionStatus() {
    json::Json report = {
        {"agentState", "unknown"}, {"lastHandshakeAt", nullptr}, {"paired", false},
        {"transport", nullptr},    {"tunnelState", "unknown"},    {"vmState", "Unknown"},
    };
    AgentConfiguration configuration;
    try {
        configuration = AgentConfigurationStore::load();
    } catch (const AgentConfigurationError& error) {
        if (error.kind() == AgentConfigurationError::Kind::notPaired) {
            report["tunnelState"] = "not-configured";
            report["agentState"] = "stopped";
        } else {
            report["error"] = error.what();
        }
        return report;
    } catch (const std::exception& error) {
        report["error"] = error.what();
        return report;
    }
    report["paired"] = true;
    report["transport"] = configuration.transport.value_or("legacy");

    std::vector<std::string> messages;
    const auto supervisor = AgentSupervisor::status(configuration, static_cast<std::int32_t>(getpid()));
    report["agentState"] = supervisor.state;
    if (supervisor.error) messages.push_back(*supervisor.error);

    if (!configuration.vmName) {
        messages.push_back("This pairing has no Linux server configured.");
    } else {
        try {
            LimaManager vm(*configuration.vmName, LimaManager::defaultExecutable());
            if (configuration.transport == std::optional<std::string>("wireguard")) {
                VMResourceLockHold lock(/*exclusive=*/false, /*create=*/false);
                const auto guest = vm.connectionStatus();
                report["vmState"] = guest.vmState;
                report["tunnelState"] = guest.tunnelState;
                report["lastHandshakeAt"] = guest.lastHandshakeAt ? json::Json(*guest.lastHandshakeAt) : json::Json(nullptr);
                if (guest.error) messages.push_back(*guest.error);
            } else {
                report["vmState"] = vm.status();
                messages.push_back("This pairing uses the older relay. Its tunnel status cannot be inspected by this version.");
            }
        } catch (const std::exception& error) {
            // A failure here replaces whatever was collected before it.
            report["error"] = error.what();
            return report;
        }
    }
    if (!messages.empty()) report["error"] = joined(messages);
    return report;
}

}  // namespace tessaron::cli
