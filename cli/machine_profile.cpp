#include "cli/machine_profile.h"

#include <climits>
#include <unistd.h>

namespace tessaron::cli::machine_profile {

std::optional<std::string> localHostName() {
    char buffer[HOST_NAME_MAX + 2] = {};
    if (::gethostname(buffer, sizeof buffer - 1) != 0) return std::nullopt;
    std::string name(buffer);
    if (name.empty()) return std::nullopt;
    return name;
}

std::string machineName(const CLIOptions& options, const std::string& fallback) {
    if (auto found = options.values.find("name"); found != options.values.end()) return found->second;
    if (auto host = localHostName()) return *host;
    return fallback;
}

AgentProfilePayload make(const std::string& name, const HardwareSnapshot& hardware,
                         const ResourceAllocation& allocation) {
    AgentProfilePayload profile;
    profile.name = name;
    profile.chip = hardware.chipName;
    profile.modelIdentifier = hardware.modelIdentifier;
    profile.cpuCores = hardware.logicalCPUCount;
    profile.memoryGiB = static_cast<std::int64_t>(hardware.memoryBytes >> 30);
    profile.allocatedCpu = allocation.virtualCPUCount;
    profile.allocatedMemoryGiB = static_cast<std::int64_t>(allocation.memoryBytes >> 30);
    return profile;
}

void requireSupportedHardware(const HardwareSnapshot& hardware) {
    const HardwareSupportReport report = HardwareSupport::evaluate(hardware);
    if (!report.isSupported()) throw CLIError::unsupportedMac(report.explanation() + "\n" + report.alternative());
}

}  // namespace tessaron::cli::machine_profile
