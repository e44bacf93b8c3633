#pragma once
// `tessaron connection-status`: whether this Mac is paired, its transport, the VM's
// and the guest tunnel's state and whether a connection helper runs — read locally,
// without asking the panel or the edge. `server status` builds on the same report.

#include "host/json.h"

namespace tessaron::cli {

// Never throws: every failure becomes the "error" key.
json::Json connectionStatus();

}  // namespace tessaron::cli
