#pragma once
// `tessaron server status|connect|disconnect|restart --confirm`: the panel's server
// controls, asked with this Mac's device token on behalf of the user interfaces.

#include "cli/cli_options.h"

#include <string>
#include <vector>

namespace tessaron::cli {

void runServer(const std::vector<std::string>& arguments, const CLIOptions& options);

}  // namespace tessaron::cli
