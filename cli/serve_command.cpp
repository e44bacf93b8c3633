#include "cli/serve_command.h"

#include "cli/cli_options.h"
#include "cli/edge_tunnels.h"
#include "cli/stop_signal.h"
#include "cli/vm_resource_lock.h"
#include "cli/wireguard_runner.h"
#include "host/agent_configuration.h"
#include "host/device_credential_store.h"
#include "host/helper_lease.h"
#include "host/helper_supervisor.h"
#include "host/lima_manager.h"
#include "host/pairing_store.h"
#include "panel/receipt_store.h"

#include <chrono>
#include <cstdlib>
#include <string>
#include <unistd.h>

namespace tessaron::cli {

namespace {

// Brings the VM up unless the recorded wish is "stopped". Neither an unreadable wish
// nor a failed start stops the helper: the transport reports the VM's state later.
void startVMUnlessStoppedByRequest(const std::string& vmName) {
    VMResourceLockHold lock(/*exclusive=*/false, /*create=*/true);
    LimaManager vm(vmName, LimaManager::defaultExecutable());
    bool stoppedByRequest = false;
    try {
        auto store = VMPowerIntentFileStore::forThisMac();
        const auto intent = store.load();
        stoppedByRequest = intent && intent->desired == "stopped";
    } catch (...) {
    }
    if (stoppedByRequest) return;
    try {
        vm.start();
    } catch (...) {
    }
}

// The pause between WireGuard passes. TESSARON_PASS_INTERVAL_MS (whole milliseconds,
// 1 to 3,600,000) shortens it for the end-to-end tests, which run `serve` as a child
// process; it is honoured only when set to such a number, so launchd's helper (whose
// property lists never set it) keeps the production interval.
std::chrono::milliseconds wireGuardPassInterval() {
    const char* text = std::getenv("TESSARON_PASS_INTERVAL_MS");
    if (!text || !*text || std::string(text).size() > 7) return control_plane::kPassInterval;
    long value = 0;
    for (const char* c = text; *c; ++c) {
        if (*c < '0' || *c > '9') return control_plane::kPassInterval;
        value = value * 10 + (*c - '0');
    }
    if (value < 1 || value > 3'600'000) return control_plane::kPassInterval;
    return std::chrono::milliseconds(value);
}

EdgeTunnelConfiguration tunnelConfiguration(const AgentConfiguration& configuration) {
    EdgeTunnelConfiguration tunnel;
    tunnel.machineID = configuration.machineID;
    tunnel.controlURL = configuration.controlURL.absoluteString();
    tunnel.localHost = configuration.localHost;
    tunnel.vmName = configuration.vmName;
    for (const auto& url : configuration.edgeURLs) tunnel.edgeURLs.push_back(url.absoluteString());
    return tunnel;
}

}  // namespace

void serve() {
    // Blocks SIGTERM/SIGINT before any thread starts, so that every thread inherits
    // the mask and the watcher alone receives them.
    StopSignal stopSignal;

    const AgentConfiguration stored = AgentConfigurationStore::load();
    AgentSupervisorLease lease(stored);
    const auto others = AgentSupervisor::statusHoldingLease(lease, stored, static_cast<std::int32_t>(getpid()));
    if (others.state != "stopped") {
        throw CLIError::pairing(others.error.value_or(
            "A connection helper is already running for this Mac. No second helper was started."));
    }
    // What a helper or command killed in the middle of a save left behind.
    receipt_file::sweepInterruptedWrites();
    PairingStore::sweepInterruptedWrites();

    AgentConfiguration serving = stored;
    if (stored.vmName) {
        startVMUnlessStoppedByRequest(*stored.vmName);
        serving.localHost = "127.0.0.1";
    }
    const std::string token = DeviceCredentialStore::load(stored.machineID);

    if (stored.transport == std::optional<std::string>("wireguard")) {
        WireGuardRunnerSettings settings;
        settings.passInterval = wireGuardPassInterval();
        WireGuardRunner runner(serving, token, settings);
        runner.runForever(stopSignal.token());
    } else {
        EdgeTunnelSettings settings;
        settings.sshLocalPort = [](const std::string& vmName) {
            return LimaManager(vmName, LimaManager::defaultExecutable()).sshLocalPort();
        };
        runEdgeTunnels(tunnelConfiguration(serving), token, stopSignal.token(), settings);
    }
}

}  // namespace tessaron::cli
