#pragma once
// At most one connection helper (`tessaron serve`) per pairing and user: the helper
// holds an exclusive flock on agents/<pairing key>.lock for as long as it lives. The
// lock file is never written or deleted; the next helper reuses it.

#include "host/agent_configuration.h"
#include "host/error.h"

#include <filesystem>
#include <optional>
#include <string>

namespace tessaron {

class SupervisorError : public Error {
public:
    enum class Kind { inspectionFailed, lockUnavailable, alreadyRunning };
    explicit SupervisorError(Kind kind);
    Kind kind() const noexcept { return kind_; }
    static std::string description(Kind kind);

private:
    Kind kind_;
};

class AgentSupervisorLease {
public:
    // Takes the lease for `configuration`'s pairing in `directory`, or by default in
    // ~/Library/Application Support/Tessaron/agents (which does not follow
    // TESSARON_CONFIG_PATH). Missing folders are created with mode 0700; a failure to
    // create them is a SystemError (AgentConfigurationError when there is no home).
    // An unopenable lock file (a symbolic link included) is lockUnavailable; a lock
    // held elsewhere, or a lock file that is not a regular file of the real user, is
    // alreadyRunning.
    explicit AgentSupervisorLease(const AgentConfiguration& configuration,
                                  const std::optional<std::filesystem::path>& directory = std::nullopt);
    // Releases the lock (LOCK_UN, then close).
    ~AgentSupervisorLease();
    AgentSupervisorLease(const AgentSupervisorLease&) = delete;
    AgentSupervisorLease& operator=(const AgentSupervisorLease&) = delete;

    int descriptor() const noexcept { return descriptor_; }

    // ~/Library/Application Support/Tessaron/agents.
    static std::filesystem::path defaultDirectory();
    // <directory>/<pairing key>.lock
    static std::filesystem::path lockPath(const AgentConfiguration& configuration,
                                          const std::filesystem::path& directory);

private:
    int descriptor_ = -1;
};

}  // namespace tessaron
