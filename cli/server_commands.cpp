#include "cli/server_commands.h"

#include "cli/connection_status.h"
#include "cli/output.h"
#include "host/agent_configuration.h"
#include "host/device_credential_store.h"
#include "host/private_file.h"
#include "panel/control_panel_client.h"

#include <exception>
#include <unistd.h>

namespace tessaron::cli {

namespace {

LifecycleClient pairedClient() {
    auto configuration = AgentConfigurationStore::load();
    auto token = DeviceCredentialStore::load(configuration.machineID);
    return LifecycleClient(std::move(configuration), std::move(token));
}

void printStatus() {
    json::Json report = connectionStatus();
    if (report["paired"] != json::Json(true)) {
        printJSON(report);
        return;
    }
    try {
        const std::string answer = pairedClient().control("status", std::nullopt, false);
        json::Json panel;
        try {
            panel = json::parse(answer);
        } catch (const std::exception& error) {
            report["controlError"] = error.what();
            printJSON(report);
            return;
        }
        if (!panel.is_object()) {
            report["controlError"] = "Invalid panel status.";
        } else {
            const json::Json localVMState = report.contains("vmState") ? report["vmState"] : json::Json();
            const bool hadVMState = report.contains("vmState");
            for (const auto& [key, value] : panel.items()) report[key] = value;
            if (hadVMState) {
                report["vmState"] = localVMState;
            } else {
                report.erase("vmState");
            }
        }
    } catch (const std::exception& error) {
        report["controlError"] = error.what();
    }
    printJSON(report);
}

}  // namespace

void runServer(const std::vector<std::string>& arguments, const CLIOptions& options) {
    const std::string action = arguments.empty() ? std::string() : arguments.front();
    if (action != "status" && action != "disconnect" && action != "connect" && action != "restart") {
        throw CLIError::pairing("Use `tessaron server status`, `disconnect`, `connect`, or `restart --confirm`.");
    }
    if (action == "restart" && !(options.hasFlag("confirm") && !options.values.count("confirm"))) {
        throw CLIError::pairing("Restart interrupts every workload in this Linux server. Use --confirm to continue.");
    }
    if (action == "status") {
        printStatus();
        return;
    }
    const LifecycleClient client = pairedClient();
    const std::string answer = client.control(action, private_file::randomUUID(), action == "restart");
    writeAll(STDOUT_FILENO, replacingInvalidUTF8(answer) + "\n");
}

}  // namespace tessaron::cli
