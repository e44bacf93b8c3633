#pragma once
// Fault injection for tests: $LIMA_HOME/_standin/faults.json holds a JSON array of rules
// (shape in README.md). Every call reads it; each rule whose matcher fits the call's
// arguments applies its effect and, when it has a "times" count, uses one of them up.

#include <optional>
#include <string>
#include <vector>

namespace tessaron::standin::limactl {

struct InjectedFailure {
    std::string standardOutput;
    std::string standardError;
    int exitCode = 1;
};

struct FaultEffects {
    double delaySeconds = 0;                 // "delay"
    std::optional<InjectedFailure> failure;  // "fail"
    bool stayStopped = false;                // "stayStopped": start exits 0, VM stays stopped
    bool keepBootId = false;                 // "keepBootId": start keeps the previous boot identity
    bool notRetained = false;                // "notRetained": edit exits 0 but keeps the old values
    std::optional<std::string> status;       // "status": listings show this status text
};

// Reads and consumes the rules that match `arguments` (the call's argv after the program
// name). A missing file means no faults; a malformed one is a LimactlError.
// `command` is the subcommand (the first argument that is not a global flag).
FaultEffects takeFaults(const std::vector<std::string>& arguments, const std::string& command);

}  // namespace tessaron::standin::limactl
