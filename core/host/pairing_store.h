#pragma once
// What a pairing leaves behind is two files that must name the same machine: agent.json
// (host/agent_configuration.h) and the device credential beside it
// (host/device_credential_store.h). The pairing flows check that both can be written
// before they ask the panel for anything, and save them together through here.

#include "host/agent_configuration.h"

#include <chrono>
#include <string>

namespace tessaron::PairingStore {

// Checks that a pairing could be saved now, before the panel hands out (and uses up) a
// code or token: the folders of both files exist or are created (0700), the
// credential's folder is private to this user (DeviceCredentialError unsafeFile), both
// folders are writable and neither file's place is taken by a folder or another thing
// that is not a file (SystemError naming the path).
void requireWritable();

// Saves the credential and then the configuration while holding the pairing lock
// (".pairing.lock" in agent.json's folder), so that pairings finishing at the same time
// save one after the other and the last one's two files win together. When the
// configuration cannot be saved, the credential is put back as it was (removed when
// there was none) and the error propagates: a failure leaves neither new file.
// Waits at most `lockWait` for another pairing's save; then a SystemError.
void save(const AgentConfiguration& configuration, const std::string& token,
          std::chrono::milliseconds lockWait = std::chrono::seconds(30));

// Removes the temporary files of the two writers that a process killed in the middle
// of a save left beside agent.json and the credential (those at least a minute old).
// Never throws.
void sweepInterruptedWrites() noexcept;

}  // namespace tessaron::PairingStore
