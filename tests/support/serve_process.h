#pragma once
// A long-running program (`tessaron serve`, or any command that must run as another
// user) as a child process of the test: started in its own process group with the
// test's environment plus chosen variables, its standard output and error collected
// while it runs, signalled and waited for with a bound. The destructor kills the
// whole process group and reaps the child, so nothing outlives the test.
//
//   RunningProgram serve(tessaronPath(), {"serve"}, environment);
//   ASSERT_TRUE(serve.waitForOutput("WireGuard connected"));
//   serve.signal(SIGTERM);
//   EXPECT_EQ(serve.waitForExit(20), 0);
//
// With a `ChildIdentity` the child drops root privileges (supplementary groups, group,
// then user) before it runs the program, for the commands that refuse to run as root.

#include "support/temp_dir.h"
#include "support/tessaron_process.h"

#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>

namespace tessaron::testing {

struct ChildIdentity {
    uid_t uid = 0;
    gid_t gid = 0;
};

// A user ID (and a group ID of the same number) without an account on this machine and
// without processes, for a child that must not run as root.
ChildIdentity unusedIdentity();

// Gives `path` and everything below it to `identity` (symbolic links themselves, not
// their targets).
void chownTree(const std::filesystem::path& path, const ChildIdentity& identity);

// Copies of build-tree programs for a child that runs as another user: the build tree
// may sit in a folder that other users cannot enter (a clone under /root), so such a
// child gets its programs from a temporary folder that everyone may read and search,
// removed with the object.
//
//   ReachableCopies staged;
//   const fs::path launchctl = staged.add(standinBinDir() / "launchctl");
class ReachableCopies {
public:
    ReachableCopies();
    // Copies `source` (a file, or a folder with everything in it) into the folder under
    // its own name; the copy and everything in it can be read by everyone, and what its
    // owner may run, everyone may run. Returns the copy's path.
    std::filesystem::path add(const std::filesystem::path& source);
    const std::filesystem::path& path() const { return dir_.path(); }

private:
    TempDir dir_;
};

class RunningProgram {
public:
    RunningProgram(const std::filesystem::path& program, const std::vector<std::string>& arguments,
                   const ProgramEnvironment& environment = {},
                   const std::optional<ChildIdentity>& identity = std::nullopt);
    ~RunningProgram();
    RunningProgram(const RunningProgram&) = delete;
    RunningProgram& operator=(const RunningProgram&) = delete;

    pid_t pid() const { return pid_; }
    std::string standardOutput() const;
    std::string standardError() const;
    // Complete lines of standard output so far, without their line feeds.
    std::vector<std::string> outputLines() const;

    // Waits (at most `seconds`) until standard output contains `fragment`.
    bool waitForOutput(const std::string& fragment, double seconds = 20) const;
    // Sends `signal` to the program itself (not its group).
    void signal(int signal) const;
    // Waits (at most `seconds`) for the program to end: its exit status, 128 + the
    // signal that killed it, or nullopt while it still runs. Once it ended, the output
    // is complete (the pipes are drained before this returns).
    std::optional<int> waitForExit(double seconds = 20);
    bool running();

private:
    void readOutput();

    pid_t pid_ = -1;
    std::optional<int> status_;
    int outFd_ = -1;
    int errFd_ = -1;
    mutable std::mutex mutex_;
    std::string out_;
    std::string err_;
    bool drained_ = false;
    bool stopReading_ = false;
    std::thread reader_;
};

// The environment of a connection helper started as launchd starts it, in the test's
// HOME and LIMA_HOME (set in this process's environment): the stand-in ps that
// writeHomeFilteredProcessLister wrote into `processListerDir`, the configuration path
// named, as launchd names it, so that other tests' helper checks know which pairing the
// helper serves, and passes 200 ms apart.
ProgramEnvironment helperEnvironment(const std::filesystem::path& processListerDir);

// Runs a short command to its end (killed after `timeoutSeconds`), optionally as another
// user; the exit status is 128 + the signal when it was killed.
ProgramRun runProgramAs(const std::filesystem::path& program, const std::vector<std::string>& arguments,
                        const ProgramEnvironment& environment, const std::optional<ChildIdentity>& identity,
                        int timeoutSeconds = 30);

}  // namespace tessaron::testing
