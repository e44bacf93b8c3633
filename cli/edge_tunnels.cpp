#include "cli/edge_tunnels.h"

#include <thread>
#include <vector>

namespace tessaron::cli {

void runEdgeTunnels(const EdgeTunnelConfiguration& configuration, const std::string& token, std::stop_token stop,
                    const EdgeTunnelSettings& settings) {
    std::vector<std::jthread> runners;
    for (const auto& edgeURL : configuration.edgeURLs) {
        runners.emplace_back([configuration, edgeURL, token, settings, stop] {
            EdgeTunnelRunner runner(configuration, edgeURL, token, settings);
            runner.runForever(stop);
        });
    }
    for (auto& runner : runners) runner.join();
}

}  // namespace tessaron::cli
