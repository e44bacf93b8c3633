#pragma once
// The light guest's walls. Its commands run on this machine, so as root they could change
// it: write /etc/wireguard, add network links. While a light instance runs, its host agent
// holds a network namespace and a mount namespace of its own, and every guest command
// joins them:
//   - the network namespace has only its own loopback: links a command adds live there;
//   - /etc is an overlay whose changes live in memory for the running instance, with the
//     instance's guest/wireguard bound over /etc/wireguard (so keys outlive a restart);
//   - /run is a fresh, private tmpfs (wireguard-go keeps its sockets there).
// Nothing of this applies when not running as root: such a user cannot change the
// machine's network or /etc in the first place.

#include "standins/limactl/lima_home.h"

#include <atomic>
#include <sys/types.h>

namespace tessaron::standin::limactl {

// Moves the calling process (the host agent) into the guest's new namespaces and sets
// them up; `hostNetwork` receives a descriptor of this machine's network namespace.
// Returns false, with a line on standard error, when they cannot be made; the agent then
// stops, so that no guest command runs unwalled.
bool makeLightGuestNamespaces(const fs::path& dir, int& hostNetwork);

// Lima's port forwarding, run by the walled agent until `stop`: every TCP port that a
// guest program listens on (loopback or all addresses) is offered on this machine's
// 127.0.0.1 at the same port, when that port is free here. `sshListener` is the SSH
// port's listener, bound on this machine before the agent left its namespace.
void forwardGuestPorts(int hostNetwork, int sshListener, const std::atomic<bool>& stop);

// Joins the namespaces and the root of the host agent `agent` (single-threaded callers
// only); the working directory is then that root. Throws LimactlError when they cannot
// be joined; does nothing when not root.
void joinLightGuestNamespaces(pid_t agent);

// Ends every process left in the network namespace of the host agent `agent` (say a
// wireguard-go that wg-quick started), other than the agent and the caller. Does nothing
// unless that namespace is the guest's own: a real guest's agent, or an agent whose pid
// now names some other program, shares the caller's namespace, and nothing there is ended.
void endGuestProcesses(pid_t agent);

// The same, called by the walled agent itself on its way out; `hostNetwork` is the
// descriptor of this machine's namespace that makeLightGuestNamespaces gave it.
void endOwnGuestProcesses(int hostNetwork);

}  // namespace tessaron::standin::limactl
