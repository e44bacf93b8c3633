#include "cli/edge_tunnels.h"

#include <sys/resource.h>

#include <algorithm>
#include <thread>
#include <vector>

namespace tessaron::cli {

namespace {

// Descriptors kept for everything but streams (the WebSockets, panel requests, local HTTP).
constexpr rlim_t reservedDescriptors = 256;

// Raises the soft limit on open files towards what the streams may need (a Mac starts at
// 256) and gives the streams each runner may hold within it.
std::size_t streamsPerRunner(std::size_t runners, std::size_t wanted) {
    rlimit files{};
    if (getrlimit(RLIMIT_NOFILE, &files) != 0) return wanted;
    const rlim_t needed = reservedDescriptors + static_cast<rlim_t>(runners * wanted);
    if (files.rlim_cur != RLIM_INFINITY && files.rlim_cur < needed) {
        rlimit raised = files;
        raised.rlim_cur = files.rlim_max == RLIM_INFINITY ? needed : std::min(needed, files.rlim_max);
        if (setrlimit(RLIMIT_NOFILE, &raised) == 0) files = raised;
    }
    if (files.rlim_cur == RLIM_INFINITY || files.rlim_cur >= needed) return wanted;
    const rlim_t room = files.rlim_cur > reservedDescriptors * 2 ? files.rlim_cur - reservedDescriptors : files.rlim_cur / 2;
    return std::max<std::size_t>(1, static_cast<std::size_t>(room) / runners);
}

}  // namespace

void runEdgeTunnels(const EdgeTunnelConfiguration& configuration, const std::string& token, std::stop_token stop,
                    const EdgeTunnelSettings& settings) {
    if (configuration.edgeURLs.empty()) return;
    EdgeTunnelSettings bounded = settings;
    const std::size_t edges = configuration.edgeURLs.size();
    bounded.maxOpenStreams = std::min(settings.maxOpenStreams, streamsPerRunner(edges, settings.maxOpenStreams));
    // The requests' local connections of all runners share the descriptors kept beside the
    // streams, with room left for the rest.
    const std::size_t forRequests = static_cast<std::size_t>(reservedDescriptors / 2) / edges;
    bounded.requestBounds.connections =
        std::max<std::size_t>(1, std::min(settings.requestBounds.connections, forRequests));
    std::vector<std::jthread> runners;
    for (const auto& edgeURL : configuration.edgeURLs) {
        runners.emplace_back([configuration, edgeURL, token, bounded, stop] {
            EdgeTunnelRunner runner(configuration, edgeURL, token, bounded);
            runner.runForever(stop);
        });
    }
    for (auto& runner : runners) runner.join();
}

}  // namespace tessaron::cli
