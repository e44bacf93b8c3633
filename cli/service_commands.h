#pragma once
// `tessaron service enable` (the login services that keep the connection helper and
// the menu-bar companion running) and `tessaron network` (one WireGuard provisioning
// pass by hand).

#include "cli/cli_options.h"

#include <string>
#include <vector>

namespace tessaron::cli {

void runService(const std::vector<std::string>& arguments, const CLIOptions& options);
void runNetwork();

}  // namespace tessaron::cli
