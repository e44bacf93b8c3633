#pragma once
// What the pairing flows tell the panel about this Mac: its name, its hardware and the
// resources its Linux VM gets. Also the hardware check that both flows run first.

#include "cli/cli_options.h"
#include "cli/pairing_client.h"
#include "host/hardware_support.h"
#include "host/resource_policy.h"

#include <optional>
#include <string>

namespace tessaron::cli::machine_profile {

// The setup flow's name for a Mac whose host name cannot be read.
inline constexpr const char* setupFallbackName = "My Mac";
// The pairing-code flow's.
inline constexpr const char* legacyFallbackName = "M-series Mac";

// The computer's host name (gethostname), or nothing when it is unreadable or empty.
std::optional<std::string> localHostName();

// The value of --name; a bare --name counts as absent. Else the host name, else
// `fallback`.
std::string machineName(const CLIOptions& options, const std::string& fallback);

// The profile sent to the panel: the name, the snapshot's chip, model, logical CPU count
// and memory in whole GiB, and the requested allocation (memory in whole GiB).
AgentProfilePayload make(const std::string& name, const HardwareSnapshot& hardware,
                         const ResourceAllocation& allocation);

// Evaluates `hardware`; when this Mac cannot host, throws CLIError::unsupportedMac with
// the report's explanation, a line feed and the pointer to the web panel.
void requireSupportedHardware(const HardwareSnapshot& hardware);

}  // namespace tessaron::cli::machine_profile
