#pragma once
// Is a connection helper (`tessaron serve`) already serving this pairing for the
// current user? The process list comes from `ps -U <uid> -o pid=,comm=`; each
// "tessaron" process is identified by its arguments and the configuration file in
// its environment, and counts when that file names the same pairing.

#include "host/agent_configuration.h"
#include "host/helper_lease.h"
#include "host/process_identity.h"
#include "host/process_runner.h"

#include <chrono>
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
    // The process has no argument area at all: it is in the middle of starting its
    // program (its arguments are not laid out yet) or of exiting. Whatever it runs, it
    // is not serving anything yet, or any more.
    virtual bool withoutArguments(std::int32_t) { return false; }
};

// This machine's processes: process_identity::identity and kill(pid, 0).
class SystemProcessInspector : public ProcessInspecting {
public:
    std::optional<AgentProcessIdentity> identity(std::int32_t pid) override;
    bool exists(std::int32_t pid) override;
    bool withoutArguments(std::int32_t pid) override;
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

// status() as the helper that holds `lease` (for `configuration`) sees it. Helpers
// started at the same moment see each other, and only the lease decides between them:
// - a helper of this pairing whose own lease file (in its home's agents folder) is the
//   very file `lease` holds is not counted: it cannot hold that lock while we do, so it
//   is one that is starting or giving up, and it stops at its lease;
// - a process that is starting or exiting and so has no arguments to read is not
//   counted however long that takes: it is not serving, and a helper starting there
//   checks for others after us, finds us (we can be read) and stops;
// - a process that still exists but cannot be read otherwise is read again at once, then
//   looked at again every 50 ms, at least twice and for `settleTime` after the first
//   look, before it makes the result uncertain.
// Helpers whose lease is another file (started with another HOME) count as in status().
AgentSupervisorStatus statusHoldingLease(const AgentSupervisorLease& lease, const AgentConfiguration& configuration,
                                         std::int32_t excludingPID, const Probes& probes = {},
                                         std::chrono::milliseconds settleTime = std::chrono::seconds(1));

}  // namespace AgentSupervisor

}  // namespace tessaron
