#pragma once
// One WebSocket connection to one edge relay, held forever: it answers the edge's
// HTTP requests from the local service, carries its TCP/UDP streams, sends a heartbeat
// to the edge and to the control panel, and reconnects with a capped back-off.
// Each runner runs its own I/O loop on the calling thread.

#include "cli/request_bounds.h"
#include "cli/stream_budgets.h"
#include "panel/tunnel_messages.h"

#include <chrono>
#include <functional>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

namespace tessaron::cli {

// What the tunnel needs of the agent configuration.
struct EdgeTunnelConfiguration {
    std::string machineID;
    std::string controlURL;
    std::string localHost = "127.0.0.1";
    std::optional<std::string> vmName;
    std::vector<std::string> edgeURLs;
};

// Waits and hooks; the defaults are the production values.
struct EdgeTunnelSettings {
    std::chrono::milliseconds localRequestTimeout{60'000};
    std::chrono::milliseconds connectTimeout{60'000};
    // With no frame from the edge for this long (a ping goes out halfway), the connection is dead.
    std::chrono::milliseconds idleTimeout{60'000};
    std::chrono::milliseconds heartbeatPeriod{15'000};
    // Back-off after failures: 1, 2, 4 … units, at most 30 units.
    std::chrono::milliseconds backoffUnit{1'000};
    std::chrono::milliseconds streamConnectTimeout{30'000};
    // Streams open at once on one connection; a "stream_open" beyond this is refused.
    std::size_t maxOpenStreams = 1000;
    // What one connection holds for its streams' local readers, and when one counts as stuck.
    StreamBudgets streamBudgets;
    // What one connection's HTTP requests may hold and open locally.
    RequestBounds requestBounds;
    // Called with the bytes waiting for local readers whenever that total reaches a new high (tests).
    std::function<void(std::size_t)> onStreamWaitingHigh;
    // The loopback port that Lima forwards to the VM's SSH server (blocking, may throw).
    std::function<int(const std::string& vmName)> sshLocalPort;
    // Output lines (without the line feed); default standard output / standard error.
    std::function<void(const std::string&)> printLine;
    std::function<void(const std::string&)> printError;
    // Called before each back-off wait (tests).
    std::function<void(std::chrono::milliseconds wait)> onBackoff;
};

class EdgeTunnelRunner {
public:
    EdgeTunnelRunner(EdgeTunnelConfiguration configuration, std::string edgeURL, std::string token,
                     EdgeTunnelSettings settings = {});

    // Connects, serves and reconnects until `stop` is requested; never throws.
    void runForever(std::stop_token stop);

private:
    EdgeTunnelConfiguration configuration_;
    std::string edgeURL_;
    std::string token_;
    EdgeTunnelSettings settings_;
};

// The heartbeat POST to the control panel (blocking); throws on failure or a non-2xx answer.
void sendPanelHeartbeat(const EdgeTunnelConfiguration& configuration, const std::string& token);

}  // namespace tessaron::cli
