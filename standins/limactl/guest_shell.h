#pragma once
// `limactl shell NAME [--] COMMAND…`: runs the command on this machine as if in the guest.
//
// - `cat /proc/sys/kernel/random/boot_id` answers the instance's own boot identity.
// - A leading `sudo` with its options is dropped (the guest's sudo never prompts).
// - `sh -lc`/`bash -lc` run as `sh -c`/`bash -c`: a login shell would reset PATH.
// - The environment is the guest's own, not the caller's: PATH is the instance's
//   guest/bin, then $LIMA_HOME/_standin/guest/bin (shims shared by every instance), then
//   the usual system folders; HOME is the instance's guest/home; USER, LOGNAME, SHELL,
//   LANG and TERM are set as a login would.
// - Standard input, output and error are the caller's; the exit status is the command's.

#include "standins/limactl/faults.h"

#include <string>
#include <vector>

namespace tessaron::standin::limactl {

int runShell(const std::vector<std::string>& arguments, const FaultEffects& effects);

// The guest command after dropping a leading sudo and its options.
std::vector<std::string> withoutSudo(std::vector<std::string> command);

}  // namespace tessaron::standin::limactl
