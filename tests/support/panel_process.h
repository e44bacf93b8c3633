#pragma once
// Starts the loopback control panel `tessaron-panel` as a child process for a test and
// acts as the panel's user through its administrative API (/_admin/..., described in
// standins/panel/README.md). The child is killed when the object goes away.
//
//   PanelProcess panel;                                   // a free port, no state file
//   auto mac = panel.createMachine("Studio");             // paired Mac: id + device token
//   // ... point the code under test at panel.base() with mac.deviceToken ...
//   panel.queueCommand(mac.machineId, "restart", "boot-1");
//   json::Json seen = panel.machineState(mac.machineId);  // everything the Mac sent
//
// Every helper throws std::runtime_error when the panel refuses the request. The panel
// is also killed when the thread that started it ends, so start it from the test body.

#include "host/json.h"

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace tessaron::testing {

// How this Mac is linked to the panel: what a pairing saves in agent.json.
struct MacLink {
    std::optional<std::string> transport = "wireguard";
    std::optional<std::string> vmName = "tessaron";
    std::vector<std::string> edgeURLs;
    std::string localHost = "127.0.0.1";
};

class PanelProcess {
public:
    struct Options {
        std::optional<std::filesystem::path> stateFile;  // --state FILE
        int port = 0;                                     // 0: a free port
        // Also serve https with this certificate chain and key (--tls-cert, --tls-key).
        std::optional<std::filesystem::path> tlsCertificate{};  // both absent unless given
        std::optional<std::filesystem::path> tlsKey{};
    };
    struct Machine {
        std::string machineId;
        std::string deviceToken;
    };
    struct AdminReply {
        long status = 0;
        json::Json body;  // null when the answer was not JSON
    };

    PanelProcess();
    explicit PanelProcess(const Options& options);
    ~PanelProcess();
    PanelProcess(const PanelProcess&) = delete;
    PanelProcess& operator=(const PanelProcess&) = delete;

    int port() const { return port_; }
    // "http://127.0.0.1:PORT", the control URL to give the code under test.
    std::string base() const;
    // "https://HOST:PORT" for the https listener (with a certificate only).
    std::string secureBase(const std::string& host = "localhost") const;
    pid_t pid() const { return pid_; }
    // Kills the panel now (SIGKILL) and waits for it; the destructor does the same.
    void kill();
    // Asks the panel to stop (SIGTERM), waits for it at most `seconds` (then SIGKILL) and
    // returns the wait status; -1 when it was not running.
    int terminate(double seconds = 20);

    // A paired machine; `machineId` and `deviceToken` are chosen by the panel when empty.
    Machine createMachine(const std::string& name = "Studio", const std::string& machineId = "",
                          const std::string& deviceToken = "");
    // The same with every field of the admin request, e.g. {{"name", "Studio"},
    // {"vmState", "Running"}, {"bootId", "boot-1"}} for a Mac that may be restarted at once.
    Machine createMachineWith(const json::Json& fields);
    // Queues "restart", "stop" or "start"; a restart without `bootId` targets the boot
    // ID of the machine's latest poll. Returns the command record (its "id" included).
    json::Json queueCommand(const std::string& machineId, const std::string& kind,
                            const std::optional<std::string>& bootId = std::nullopt);
    // Queues a resource change; `before` defaults to the observation of the latest poll.
    json::Json queueResourceCommand(const std::string& machineId, std::int64_t cpu, std::int64_t memoryMiB,
                                    const std::optional<json::Json>& before = std::nullopt);
    // Queues an SSH request carrying these public keys.
    json::Json queueSSH(const std::string& machineId, const std::vector<std::string>& publicKeys);
    void setPublicAccessPaused(const std::string& machineId, bool paused);
    // From now on every agent request of the machine is answered with the 410 removal answer.
    void removeMachine(const std::string& machineId, bool deleteServer);
    // The machine's whole record: commands with claims and completions, polls, SSH
    // requests and acknowledgements, listeners, heartbeats, network registrations...
    json::Json machineState(const std::string& machineId);

    // Setups: "latest" names the most recently started one.
    void approveSetup(const std::string& setupId = "latest", const std::string& accountEmail = "");
    void refuseSetup(const std::string& setupId = "latest");
    void expireSetup(const std::string& setupId = "latest");
    json::Json setupState(const std::string& setupId = "latest");
    // Waits (at most `seconds`) until a setup was started and returns the latest one's id;
    // throws std::runtime_error when none came.
    std::string waitForSetup(double seconds = 20);
    // Pairing codes: "latest" names the most recently issued one. Approving creates the machine.
    Machine approvePairingCode(const std::string& code = "latest", const std::vector<std::string>& edgeURLs = {});
    void refusePairingCode(const std::string& code = "latest");
    // Waits (at most `seconds`) until a pairing code was issued and returns the latest code.
    std::string waitForPairingCode(double seconds = 20);

    // Polls `condition` every 20 ms until it holds or `seconds` pass; returns its last value.
    static bool waitFor(const std::function<bool()>& condition, double seconds = 20);

    // Adds a fault (see README.md), e.g. {{"path", "/api/tessaron/agent/commands"},
    // {"status", 500}, {"body", {{"error", "busy"}}}, {"times", 2}}. Returns its record.
    json::Json injectFault(const json::Json& fault);
    void clearFaults();
    // Every API request the panel received, oldest first.
    json::Json requests();
    // The whole state document.
    json::Json state();

    // Any administrative request; `path` starts with "/_admin/". Does not throw on a refusal.
    AdminReply admin(const std::string& method, const std::string& path,
                     const std::optional<json::Json>& body = std::nullopt);

private:
    json::Json adminOk(const std::string& method, const std::string& path,
                       const std::optional<json::Json>& body = std::nullopt);
    pid_t pid_ = -1;
    int port_ = 0;
    int securePort_ = 0;
};

// Saves agent.json and the device token as a pairing with the panel at `controlURL` would.
void saveLink(const PanelProcess::Machine& mac, const std::string& controlURL, const MacLink& link = {});

}  // namespace tessaron::testing
