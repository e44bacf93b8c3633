#pragma once
// The older way to link a Mac, kept for operator installations on the edge-tunnel
// ("legacy") transport: the control plane hands out a pairing code, someone claims it in
// the dashboard, and the claim answer carries the machine, its device token and the edge
// tunnel URLs. It takes no VM lock, keeps no pending state and replaces an existing
// pairing when it succeeds.

#include "cli/cli_options.h"
#include "cli/setup_pairing.h"

namespace tessaron::cli {

// `createVM` true for `onboard` (the VM must not exist yet and is created), false for
// `pair`. Throws the error that ended the run.
void legacyPair(const CLIOptions& options, bool createVM, const PollPause& pause = pauseBetweenPolls);

}  // namespace tessaron::cli
