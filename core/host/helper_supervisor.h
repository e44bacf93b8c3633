#pragma once
// Is a connection helper (`tessaron serve`) already serving this pairing for the
// current user? The process list comes from `ps -U <uid> -o pid=,comm=`; each
// "tessaron" process is identified by its arguments and the configuration file in
// its environment, and counts when that file names the same pairing.

#include "host/agent_configuration.h"
#include "host/process_identity.h"
#include "host/process_runner.h"

#include <cstdint>
#include <optional>
#include <string>

namespace tessaron {

struct AgentSupervisorStatus {
    std::string state;                 // "running", "stopped" or "unknown"
    std::optional<std::string> error;  // only with "unknown"

    bool operator==(const AgentSupervisorStatus&) const = default;
};

// The other processes as the supervisor needs to see them; tests replace it.
class ProcessInspecting {
public:
    virtual ~ProcessInspecting() = default;
    virtual std::optional<AgentProcessIdentity> identity(std::int32_t pid) = 0;
    // The process still exists (kill(pid, 0) succeeds).
    virtual bool exists(std::int32_t pid) = 0;
};

// This machine's processes: process_identity::identity and kill(pid, 0).
class SystemProcessInspector : public ProcessInspecting {
public:
    std::optional<AgentProcessIdentity> identity(std::int32_t pid) override;
    bool exists(std::int32_t pid) override;
};

namespace AgentSupervisor {

// The process lister: $TESSARON_PS_PATH when set and not empty (the stand-in on
// machines whose ps does not print command paths), else /bin/ps.
std::string processListProgram();

struct Probes {
    CommandRunning* runner = nullptr;         // null: a ProcessCommandRunner
    ProcessInspecting* processes = nullptr;   // null: a SystemProcessInspector
    std::optional<std::string> processLister;  // null: processListProgram()
};

// Never throws. `excludingPID` is the caller's own process, which is not counted.
AgentSupervisorStatus status(const AgentConfiguration& configuration, std::int32_t excludingPID,
                             const Probes& probes = {});

}  // namespace AgentSupervisor

}  // namespace tessaron
