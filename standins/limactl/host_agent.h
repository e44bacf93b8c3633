#pragma once
// The host agent: one background process per running instance (`limactl hostagent NAME`,
// started by `start`, not logged as a call) that runs a real OpenSSH server on a loopback
// port for the instance and takes it down again.
//
// The agent stops sshd and exits when it is sent SIGTERM or SIGINT (`stop`, `delete -f`),
// when sshd exits, or when the instance's folder disappears (a test's LIMA_HOME removed
// without a `stop`), so that no sshd outlives its instance.

#include "standins/limactl/lima_home.h"

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

}  // namespace tessaron::standin::limactl
