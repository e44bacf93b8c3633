#pragma once
// Running external programs (limactl, ps, launchctl, sudo, tessaron itself).
// Every external program goes through a CommandRunning so that tests can replace it.

#include "host/error.h"

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <stop_token>
#include <string>
#include <vector>

namespace tessaron {

struct CommandResult {
    // The child's exit status; a child killed by signal N reports 128 + N, so it can
    // never be mistaken for success.
    std::int32_t exitCode = 0;
    std::string standardOutput;  // "" when the bytes are not valid UTF-8
    std::string standardError;   // likewise
    // False when the child did print standard output but it was not valid UTF-8 (and
    // standardOutput was emptied), so that "no output" and "unreadable output" differ.
    bool standardOutputValid = true;
    bool operator==(const CommandResult&) const = default;
};

// The program could not be started at all (missing, not executable, not permitted).
// The text is a full sentence, e.g. "The file “limactl” doesn’t exist."
class LaunchError : public Error {
public:
    LaunchError(const std::string& sentence, int code) : Error(sentence), code_(code) {}
    int code() const noexcept { return code_; }

private:
    int code_;
};

class CommandRunning {
public:
    virtual ~CommandRunning() = default;
    // Runs `executable` (an absolute path; PATH is not searched) with `arguments`,
    // capturing both output streams; blocks until the child exits. A non-zero exit
    // status is returned, not thrown; only a LaunchError is thrown.
    virtual CommandResult run(const std::string& executable, const std::vector<std::string>& arguments) = 0;
    // Runs the child attached to the caller's terminal and returns its exit status.
    // The default runs it captured and drops the output.
    virtual std::int32_t runInteractive(const std::string& executable, const std::vector<std::string>& arguments) {
        return run(executable, arguments).exitCode;
    }
};

class ProcessCommandRunner : public CommandRunning {
public:
    CommandResult run(const std::string& executable, const std::vector<std::string>& arguments) override;
    std::int32_t runInteractive(const std::string& executable, const std::vector<std::string>& arguments) override;
};

// One run that cannot hold its caller up for long (the desktop's and the menu bar's runs
// of `tessaron`). Standard input is /dev/null; each output stream keeps its first
// `outputLimit` bytes and the rest is read and dropped, so the child never stalls on a
// full pipe. The child leads a process group of its own. When it is still running at
// `timeout`, or once `stop` is requested, the group is sent SIGTERM and, when the child
// outlives `grace` as well, the group is killed (SIGKILL); the output is then not
// returned. The run ends when the child has exited, even if a grandchild still holds
// its output open; after a normal exit what it left running is left alone.
struct BoundedRun {
    bool timedOut = false;
    bool stopped = false;        // ended because `stop` was requested
    std::int32_t exitCode = 0;   // as in CommandResult; meaningless when timedOut or stopped
    std::string standardOutput;  // raw bytes, empty when timedOut
    std::string standardError;   // likewise
};
// Throws LaunchError only when the program cannot be started.
BoundedRun runBounded(const std::string& executable, const std::vector<std::string>& arguments,
                      std::chrono::milliseconds timeout, std::size_t outputLimit,
                      std::chrono::milliseconds grace = std::chrono::seconds(1), std::stop_token stop = {});

// A CommandRunning whose runs are bounded as runBounded's are, for callers that must never
// wait on a program for long (the desktop's reads of the VM). Output beyond `outputLimit`
// is dropped; a run that does not end in time, or is stopped, throws an Error that says the
// program did not respond.
class BoundedCommandRunner : public CommandRunning {
public:
    BoundedCommandRunner(std::chrono::milliseconds timeout, std::size_t outputLimit, std::stop_token stop = {})
        : timeout_(timeout), outputLimit_(outputLimit), stop_(std::move(stop)) {}
    CommandResult run(const std::string& executable, const std::vector<std::string>& arguments) override;

private:
    std::chrono::milliseconds timeout_;
    std::size_t outputLimit_;
    std::stop_token stop_;
};

// Every child started here gets its standard streams and no other descriptor of this
// process. For children started by other means (Qt's), the same: marks every descriptor
// above the standard streams close-on-exec. For the child's side of a fork, before its
// exec (it only makes system calls).
void closeOnExecAboveStandardStreams();

// The standard streams that a child started with only the descriptors it is told to keep
// (the Mac's spawn) is told to keep: those this process has open and not close-on-exec,
// as a plain exec passes them on, and not set up anew for the child (`setUp`, by
// descriptor). Naming a closed one would make the whole spawn fail.
std::vector<int> inheritedStandardStreams(const std::array<bool, 3>& setUp);

// True when `bytes` is well-formed UTF-8.
bool isValidUTF8(const std::string& bytes);

// `bytes` as UTF-8 text: every invalid sequence becomes U+FFFD.
std::string replacingInvalidUTF8(const std::string& bytes);

// Decodes a wait(2) status into the exit code convention above.
std::int32_t exitCodeFromWaitStatus(int status);

}  // namespace tessaron
