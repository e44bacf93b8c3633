#pragma once
// `tessaron vm start|stop|status|shell|resources|listeners|resize`: the one Linux VM,
// driven directly through the VM manager, serialised with the connection helper by
// the VM resource lock.

#include "host/lima_manager.h"

#include <string>
#include <vector>

namespace tessaron::cli {

void runVM(const std::vector<std::string>& arguments);

// The resources report of `state` with this Mac's bounds, as one JSON line.
void printResources(const VMResourceState& state);

}  // namespace tessaron::cli
