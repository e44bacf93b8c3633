#include "cli/wireguard_runner.h"

#include "cli/cli_options.h"
#include "cli/output.h"
#include "cli/pairing_client.h"
#include "cli/vm_resource_lock.h"
#include "host/device_credential_store.h"
#include "host/json.h"
#include "panel/control_panel_client.h"
#include "panel/http_client.h"
#include "panel/lima_virtual_machine.h"
#include "panel/receipt_store.h"
#include "panel/resource_commands.h"
#include "panel/resource_executor.h"
#include "panel/restart_executor.h"

namespace tessaron::cli {
namespace {

constexpr double gibibyte = 1073741824.0;

// The saved power wish is "stopped"; an unreadable record counts as no wish.
bool turnedOffByRequest() {
    try {
        const auto intent = VMPowerIntentFileStore::forThisMac().load();
        return intent && intent->desired == "stopped";
    } catch (const std::exception&) {
        return false;
    }
}

std::string description(const std::exception& error) { return error.what(); }

http::Request panelRequest(const AgentConfiguration& configuration, const std::string& token, const std::string& path,
                           const json::Json& body, std::chrono::milliseconds timeout) {
    http::Request request;
    request.method = "POST";
    request.url = configuration.controlURL.appendingPathComponent(path).absoluteString();
    request.headers = {{"authorization", "Bearer " + token}, {"content-type", "application/json"}};
    request.body = json::encode(body);
    request.timeout = timeout;
    request.connectTimeout = timeout;
    request.followRedirects = false;
    return request;
}

}  // namespace

WireGuardRunner::WireGuardRunner(AgentConfiguration configuration, std::string token, WireGuardRunnerSettings settings)
    : configuration_(std::move(configuration)), token_(std::move(token)), settings_(std::move(settings)) {}

bool WireGuardRunner::isAllowedControlURL(const Url& url) {
    const std::string& scheme = url.writtenScheme();
    if (scheme == "https") return true;
    if (scheme != "http") return false;
    const std::string host = url.writtenHost();
    return host == "127.0.0.1" || host == "localhost" || host == "[::1]";
}

LimaManager WireGuardRunner::vm() const {
    const std::string& name = *configuration_.vmName;
    if (settings_.makeVM) return settings_.makeVM(name);
    return LimaManager(name, LimaManager::defaultExecutable(), std::make_shared<ProcessCommandRunner>());
}

void WireGuardRunner::print(const std::string& line) const {
    if (settings_.printLine) {
        settings_.printLine(line);
    } else {
        try {
            printLine(line);
        } catch (const std::exception&) {
            // Standard output is gone (its reader ended); the loop goes on regardless.
        }
    }
}

// ---------------------------------------------------------------------------------------
// Provisioning

std::string WireGuardRunner::provisionOnce() const {
    VMResourceLockHold lock(false, true);
    if (!isAllowedControlURL(configuration_.controlURL)) throw CLIError::pairing(httpsRequiredMessage);
    if (!configuration_.vmName) throw CLIError::pairing(vmRequiredMessage);

    LimaManager manager = vm();
    bool running = false;
    try {
        running = lima_text::lowercased(manager.status()) == "running";
    } catch (const std::exception&) {
        // Unknown state: treated as not running.
    }
    if (!running) {
        if (turnedOffByRequest()) throw CLIError::pairing(turnedOffMessage);
        manager.start();
    }

    const std::string publicKey = manager.prepareWireGuard();
    const ResourceAllocation allocation = manager.allocation();
    const json::Json body = {
        {"machineId", configuration_.machineID},
        {"publicKey", publicKey},
        {"allocation",
         {{"cpu", allocation.virtualCPUCount}, {"memoryGiB", static_cast<double>(allocation.memoryBytes) / gibibyte}}},
    };
    const http::Response response =
        http::perform(panelRequest(configuration_, token_, "api/tessaron/agent/network", body, networkTimeout));
    if (response.status == 200) return manager.applyWireGuard(response.body);
    if (auto error = APIErrorResponse::decode(response.body)) throw CLIError::pairing(error->error);
    throw CLIError::pairing(rejectedMessage);
}

// ---------------------------------------------------------------------------------------
// The loop

void WireGuardRunner::runForever(std::stop_token stop) const {
    control_plane::LineMemory statusLine, controlLine, resourceLine;
    const auto write = [this](const std::string& line) { print(line); };
    const auto failureText = [](const std::string& prefix) {
        try {
            throw;
        } catch (const std::exception& error) {
            return prefix + description(error);
        } catch (...) {
            return prefix + "An unexpected error occurred.";
        }
    };

    // The server-command step; true when this Mac was removed.
    const auto commandStep = [&] {
        try {
            if (processCommands()) return true;
            controlLine.forget();
        } catch (...) {
            controlLine.show(failureText("Server control pending: "), write);
        }
        return false;
    };

    while (!stop.stop_requested()) {
        if (turnedOffByRequest()) {
            statusLine.show(control_plane::kStoppedLine, write);
            if (commandStep()) return;
        } else {
            try {
                const std::string guestStatus = provisionOnce();
                const double now = settings_.now ? settings_.now() : control_plane::secondsSince1970();
                statusLine.show(control_plane::provisionedLine(guestStatus, now), write);
            } catch (...) {
                statusLine.show(failureText("Network reconnect pending: "), write);
            }
            if (commandStep()) return;
            try {
                reportListeningPorts();
            } catch (...) {
                // Reported again on the next pass.
            }
            try {
                reconcileSSH();
            } catch (...) {
                // The panel asks again on the next pass.
            }
            try {
                processResources();
                resourceLine.forget();
            } catch (...) {
                resourceLine.show(failureText("Resource change pending: "), write);
            }
        }
        if (control_plane::pause(stop, settings_.passInterval)) return;
    }
}

// ---------------------------------------------------------------------------------------
// Server commands and removal

bool WireGuardRunner::processCommands() const {
    if (!configuration_.vmName) return false;
    LimaManager manager = vm();

    std::string state = "Unknown";
    std::optional<std::string> bootId;
    {
        VMResourceLockHold lock(false, true);
        const std::string status = lima_text::lowercased(manager.status());
        if (status == "running") {
            state = "Running";
            bootId = manager.bootID();
        } else if (status == "stopped") {
            state = "Stopped";
        }
    }

    LifecycleClient client(configuration_, token_);
    std::optional<RestartCommand> command;
    try {
        command = client.poll(state, bootId);
    } catch (const MachineRemovedError& removed) {
        return removeThisMac(removed.notice());
    }
    if (!command) return false;

    VMResourceLockHold lock(true, true);
    DiskOperationReceiptStore<RestartReceipt> receipts(configuration_, std::nullopt, false);
    VMPowerIntentFileStore intent = VMPowerIntentFileStore::forThisMac();
    LimaVirtualMachine machine(manager);
    RestartExecutor(client, receipts, machine, &intent).handle(*command);
    return false;
}

bool WireGuardRunner::removeThisMac(const RemovalNotice& notice) const {
    LimaManager manager = vm();
    try {
        manager.stop();
    } catch (const std::exception&) {
        // Already stopped, or it cannot be: the pairing is forgotten regardless.
    }
    if (notice.deleteServer) manager.deleteInstance();
    AgentConfigurationStore::forget();
    try {
        DeviceCredentialStore::forget();
    } catch (const std::exception&) {
        // The token is useless without the pairing.
    }
    print(notice.deleteServer ? removedAndDeletedLine : removedAndKeptLine);
    print(backToPairingLine);
    return true;
}

// ---------------------------------------------------------------------------------------
// Listener report, SSH, resources

void WireGuardRunner::reportListeningPorts() const {
    if (!configuration_.vmName) return;
    const Url& control = configuration_.controlURL;
    if (control.userInfo() || !isAllowedControlURL(control)) return;

    json::Json report = {{"available", false}, {"truncated", false}, {"listeners", json::Json::array()}};
    {
        VMResourceLockHold lock(false, true);
        LimaManager manager = vm();
        try {
            if (lima_text::lowercased(manager.status()) == "running") {
                json::Json guest = json::parse(manager.listeningPorts());
                if (guest.is_object()) report = std::move(guest);
            }
        } catch (const std::exception&) {
            // The empty report says that the list could not be read.
        }
    }
    report["machineId"] = configuration_.machineID;
    (void)http::perform(panelRequest(configuration_, token_, "api/tessaron/agent/listeners", report, listenerReportTimeout));
}

void WireGuardRunner::reconcileSSH() const {
    if (!configuration_.vmName) return;
    LifecycleClient client(configuration_, token_);
    const std::string answer = client.ssh({{"action", "poll"}});
    json::Json request = json::parse(answer);
    if (!request.is_object()) return;
    const auto needsApply = request.find("needsApply");
    if (needsApply == request.end() || !needsApply->is_boolean() || !needsApply->get<bool>()) return;

    VMResourceLockHold lock(true, true);
    std::string result;
    try {
        result = vm().prepareSSH(answer);
    } catch (const std::exception&) {
        request["success"] = false;
        result = json::encode(request);
    }
    const auto requestId = request.find("requestId");
    client.acknowledgeSSH(result, requestId == request.end() ? json::Json(nullptr) : *requestId);
}

void WireGuardRunner::processResources() const {
    if (!configuration_.vmName) return;
    LimaManager manager = vm();
    LimaVirtualMachine machine(manager);
    ResourceObservation observation;
    {
        VMResourceLockHold lock(false, true);
        observation = machine.resourceObservation();
    }
    LifecycleResourceClient client{LifecycleClient(configuration_, token_)};
    const std::optional<ResourceCommand> command = client.pollResources(observation);
    if (!command) return;

    VMResourceLockHold lock(true, true);
    DiskOperationReceiptStore<ResourceReceipt> receipts(configuration_, std::nullopt, true);
    ResourceExecutor(client, receipts, machine).handle(*command);
}

}  // namespace tessaron::cli
