#pragma once
// The host agent: one background process per running instance (`limactl hostagent NAME`,
// started by `start`, not logged as a call) that runs a real OpenSSH server on a loopback
// port for the instance and takes it down again.
//
// The agent stops sshd and exits when it is sent SIGTERM or SIGINT (`stop`, `delete -f`),
// when sshd exits, when the instance's folder disappears (a test's LIMA_HOME removed
// without a `stop`), or when the process named by TESSARON_STANDIN_WATCH_PID in its
// environment (that of the `start` that started it) ends (a test killed before it could
// clean up), so that no sshd or QEMU outlives its instance or its test.

#include "standins/limactl/lima_home.h"

#include <chrono>
#include <csignal>
#include <string>
#include <sys/types.h>

namespace tessaron::standin::limactl {

// A free TCP port on 127.0.0.1 (bound and released).
int pickFreePort();

// Starts `limactl hostagent NAME` in the background (its own session, output to ha.log).
pid_t spawnHostAgent(const std::string& name, const fs::path& dir);

// Generates the host key, the user key pair and authorized_keys in `dir`.
void prepareSshFiles(const fs::path& dir);

// Starts the host agent and waits until sshd listens; returns the port. Retries with a
// new port when sshd cannot bind the one it was given. Throws LimactlError on failure.
int startHostAgent(const std::string& name, const fs::path& dir);

// Stops the host agent `pid` and its sshd and waits for them (SIGKILL after a grace
// period, or at once with `force`).
void stopHostAgent(const std::string& name, const fs::path& dir, pid_t pid, bool force);

// The body of `limactl hostagent NAME`; returns the exit status.
int runHostAgent(const std::string& name);

// What every host agent does around its one child (sshd or QEMU):
// blocks the stop signals (SIGTERM, SIGINT, SIGHUP), records itself in ha.pid, and
// returns the blocked set;
sigset_t becomeHostAgent(const fs::path& dir);
// waits for a stop signal, the child's end (its status in `childStatus`), the loss of
// the instance (its folder removed, or ha.pid naming another agent) or the end of the
// watched process;
enum class AgentEnd { stopSignal, childExited, instanceGone, ownerGone };
AgentEnd watchChild(const fs::path& dir, pid_t child, const sigset_t& signals, int& childStatus);
// waits at most `limit` for the child to end, then kills it; false when it had to be killed;
bool reapWithin(pid_t child, std::chrono::milliseconds limit);
// and at its end removes ssh.port and ha.pid while they are still its own.
void releaseHostAgentFiles(const fs::path& dir);

// The port number in a small file, or 0.
int readPortFile(const fs::path& file);

}  // namespace tessaron::standin::limactl
