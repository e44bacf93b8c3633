#pragma once
// The connection helper's engine for the "wireguard" transport. The tunnel itself runs
// inside the Linux guest; the Mac keeps it provisioned (the guest's key and the VM's
// size registered with the control panel, the panel's answer applied in the guest) and
// runs the control-plane loop: every pass provisions, carries out the panel's server
// commands, reports the guest's listening ports, applies requested SSH access and runs
// resource changes. While the VM is turned off by request a pass only handles server
// commands. When the panel says this Mac was removed, the loop stops (or deletes) the
// VM, forgets the pairing and ends.
//
// Every step builds its own VM handle and panel client and coordinates with other
// processes only through the VM resource lock: shared while reading the VM, exclusive
// while changing it.

#include "cli/control_plane_loop.h"
#include "host/agent_configuration.h"
#include "host/lima_manager.h"
#include "panel/machine_removal.h"

#include <chrono>
#include <functional>
#include <stop_token>
#include <string>

namespace tessaron::cli {

// Waits and hooks; the defaults are the production values.
struct WireGuardRunnerSettings {
    // The pause after the end of each pass.
    std::chrono::milliseconds passInterval = control_plane::kPassInterval;
    // Output lines (without the line feed); default: standard output.
    std::function<void(const std::string&)> printLine;
    // The VM handle for the configuration's VM name; default: LimaManager with
    // LimaManager::defaultExecutable() and a ProcessCommandRunner.
    std::function<LimaManager(const std::string& vmName)> makeVM;
    // Seconds since 1970; default: the system clock.
    std::function<double()> now;
};

class WireGuardRunner {
public:
    WireGuardRunner(AgentConfiguration configuration, std::string token, WireGuardRunnerSettings settings = {});

    const AgentConfiguration& configuration() const { return configuration_; }
    const std::string& token() const { return token_; }

    // One provisioning pass under the shared VM lock: starts the VM unless it was turned
    // off by request, registers the guest's WireGuard key and the VM's allocation with
    // the panel ("network") and applies the panel's 200 answer in the guest. Returns the
    // guest's network status text. Throws CLIError::pairing for a control URL that is
    // not HTTPS (plain HTTP only to localhost, 127.0.0.1, [::1]), a configuration
    // without a VM, a VM turned off by request and a refused registration; errors of
    // the lock, the VM and the transport pass unchanged.
    std::string provisionOnce() const;

    // Passes until `stop` is requested (checked before each pass and during the pause)
    // or the panel removed this Mac. Never throws; failures become the loop's lines.
    void runForever(std::stop_token stop) const;

    // One server-command step: polls the panel with the VM's state and boot ID and
    // carries out a waiting restart, stop or start. True when the panel removed this Mac
    // and the pairing was forgotten.
    bool processCommands() const;
    // Posts the guest's listener report (or the empty one while it cannot be read).
    void reportListeningPorts() const;
    // Applies SSH access the panel asks for and acknowledges the outcome.
    void reconcileSSH() const;
    // Polls for a resource change and carries it out.
    void processResources() const;

    static constexpr std::chrono::milliseconds networkTimeout{15'000};
    static constexpr std::chrono::milliseconds listenerReportTimeout{5'000};

    static constexpr const char* httpsRequiredMessage = "The control server must use HTTPS.";
    static constexpr const char* vmRequiredMessage = "WireGuard requires the Tessaron Linux VM. Run tessaron onboard.";
    static constexpr const char* turnedOffMessage = "Your Linux server is turned off. Start it to publish again.";
    static constexpr const char* rejectedMessage = "The control server rejected network provisioning.";
    static constexpr const char* removedAndDeletedLine =
        "This Mac was removed from its Tessaron account. Its Linux server was deleted as requested.";
    static constexpr const char* removedAndKeptLine =
        "This Mac was removed from its Tessaron account. Its Linux server and files were left in place.";
    static constexpr const char* backToPairingLine =
        "Tessaron is back to its pairing screen. Connect this Mac again to start over.";

    // "https", or "http" to one of the three loopback hosts, scheme and host compared as
    // written.
    static bool isAllowedControlURL(const Url& url);

private:
    LimaManager vm() const;
    void print(const std::string& line) const;
    bool removeThisMac(const RemovalNotice& notice) const;

    AgentConfiguration configuration_;
    std::string token_;
    WireGuardRunnerSettings settings_;
};

}  // namespace tessaron::cli
