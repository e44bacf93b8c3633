#pragma once
// The real guest: an x86_64 QEMU virtual machine booting the Debian image that
// scripts/build-guest-image.sh leaves in the image cache, one copy-on-write overlay per
// instance (its `diffdisk`). Chosen at creation with TESSARON_STANDIN_GUEST=qemu.
//
// The host agent runs QEMU: restricted user networking (nothing but this machine is
// reachable) with the guest's SSH port forwarded to 127.0.0.1, and, when the instance was
// created with TESSARON_STANDIN_WG_PEER=DIR naming a running WireGuard peer stand-in, a
// second NIC whose TAP device lives in that peer's network namespace. `shell` runs the
// command in the guest over SSH as the guest account, which has passwordless sudo.

#include "standins/limactl/instance.h"

#include <cstdint>
#include <string>
#include <vector>

namespace tessaron::standin::limactl {

// "qemu" when TESSARON_STANDIN_GUEST asks for the real guest, else "light"; throws on
// another value.
std::string requestedGuestKind();
// The peer folder named by TESSARON_STANDIN_WG_PEER, absolute, or "" when unset.
std::string requestedPeerLink();

// The image cache: $TESSARON_GUEST_CACHE, else /var/cache/tessaron-guest as root, else
// ${XDG_CACHE_HOME:-~/.cache}/tessaron-guest (the same rule as the build script).
fs::path guestImageCache();

// Creates (or grows) the instance's overlay of the base image.
void createGuestDisk(const fs::path& dir, std::uint64_t bytes);
void growGuestDisk(const fs::path& dir, std::uint64_t bytes);

// The guest account: this machine's user name, or "lima" for root or a name the guest
// cannot take.
std::string guestAccount();

// Starts the host agent with QEMU and waits until the guest answers SSH; returns the port.
int startQemuGuest(const std::string& name, const fs::path& dir);
// The body of `limactl hostagent NAME` for a QEMU instance.
int runQemuHostAgent(const fs::path& dir, const InstanceConfig& config);
// Runs `command` in the guest over SSH (replaces this process); returns only on failure.
int runQemuShell(const InstanceState& state, const std::vector<std::string>& command,
                 const std::optional<std::string>& workdir);

// POSIX shell quoting of one word, for the command line that SSH hands to the guest.
std::string shellQuoted(const std::string& word);

}  // namespace tessaron::standin::limactl
