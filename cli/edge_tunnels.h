#pragma once
// The tunnel transport of `serve`: one runner per edge URL, each on its own thread,
// all ended together by one stop request.

#include "cli/edge_tunnel_runner.h"

#include <stop_token>
#include <string>

namespace tessaron::cli {

// Runs until `stop` is requested and every runner has ended; returns at once for an
// empty edge list.
void runEdgeTunnels(const EdgeTunnelConfiguration& configuration, const std::string& token, std::stop_token stop,
                    const EdgeTunnelSettings& settings = {});

}  // namespace tessaron::cli
