#pragma once
// A loaded job: what its property list asks for, the folder that records it, and the
// supervisor process that runs it.
//
// jobs/<domain>/<label>/ (domain "gui-501" for gui/501, "system") holds:
//   plist            the property list bytes as they were loaded
//   path             the property list path given to bootstrap
//   supervisor.pid   the supervisor's process ID
//   job.pid          the program's process ID while it runs
//   runs             how many times the program was started
//   last-exit        "exit N" or "signal N" after the program's last exit
// The supervisor removes the folder as its last act; it also stops the program and
// exits by itself when the folder disappears (a test's state folder being deleted).

#include "host/property_list.h"

#include <filesystem>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <sys/types.h>
#include <vector>

namespace tessaron::standin::launchctl {

namespace fs = std::filesystem;

// A property list that cannot be loaded.
class JobError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct JobSpec {
    std::string label;
    std::string program;                   // Program, else ProgramArguments[0]
    std::vector<std::string> arguments;    // ProgramArguments, else [Program]
    std::optional<std::string> workingDirectory;
    std::optional<std::string> standardOutPath;
    std::optional<std::string> standardErrorPath;
    std::optional<std::string> userName;
    std::map<std::string, std::string> environment;
    std::optional<plist::Value> keepAlive;
    bool runAtLoad = false;
    double throttleSeconds = 10;
    double exitTimeoutSeconds = 20;
};

// Reads a job from its property list. Throws JobError when the list is not a
// dictionary, has no usable Label, or has neither Program nor ProgramArguments.
JobSpec jobFromPropertyList(const plist::Value& list);

// Whether the program should be started again after an exit with wait(2) `status`.
bool keepAliveAfterExit(const std::optional<plist::Value>& keepAlive, int status);
// Whether the program starts as soon as the job is loaded.
bool startsAtLoad(const JobSpec& spec);

struct JobStatus {
    std::string plistPath;
    pid_t supervisor = 0;
    std::optional<pid_t> pid;          // while the program runs
    long runs = 0;
    std::optional<std::string> lastExit;  // "exit N" / "signal N"
};

// The job recorded in `dir`, or nothing when it is not loaded. A folder whose
// supervisor is gone is stale and removed.
std::optional<JobStatus> readJob(const fs::path& dir);

// Starts the supervisor for a job whose folder already holds plist and path; returns
// once the supervisor has recorded itself. Throws JobError when it could not start.
void startSupervisor(const JobSpec& spec, const fs::path& dir);

// Asks the supervisor to stop the program and unload; waits until it has (killing
// both after the job's exit time-out and a grace period).
void stopSupervisor(const JobSpec& spec, const fs::path& dir, const JobStatus& status);

}  // namespace tessaron::standin::launchctl
