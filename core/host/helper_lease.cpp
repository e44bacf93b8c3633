#include "host/helper_lease.h"

#include "host/pairing_key.h"
#include "host/paths.h"
#include "host/user.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tessaron {

namespace fs = std::filesystem;

namespace {

// Creates `directory` and any missing parents with mode 0700; existing ones are left as they are.
void createPrivateDirectories(const fs::path& directory) {
    std::error_code error;
    if (fs::is_directory(directory, error)) return;
    const fs::path parent = directory.parent_path();
    if (!parent.empty() && parent != directory) createPrivateDirectories(parent);
    if (::mkdir(directory.c_str(), 0700) != 0 && errno != EEXIST) {
        int code = errno;
        throw SystemError::fromErrno("Could not create the folder \u201c" + directory.string() + "\u201d", code);
    }
    if (!fs::is_directory(directory, error))
        throw SystemError::fromErrno("Could not create the folder \u201c" + directory.string() + "\u201d", ENOTDIR);
}

}  // namespace

SupervisorError::SupervisorError(Kind kind) : Error(description(kind)), kind_(kind) {}

std::string SupervisorError::description(Kind kind) {
    switch (kind) {
    case Kind::inspectionFailed:
        return "Could not inspect the existing connection helper. No second helper was started.";
    case Kind::lockUnavailable: return "Could not open the connection-helper lock.";
    case Kind::alreadyRunning:
        return "A connection helper is already running for this Mac. No second helper was started.";
    }
    return "";
}

fs::path AgentSupervisorLease::defaultDirectory() {
    auto support = paths::tessaronSupport();
    if (!support) throw AgentConfigurationError(AgentConfigurationError::Kind::applicationSupportUnavailable);
    return *support / "agents";
}

fs::path AgentSupervisorLease::lockPath(const AgentConfiguration& configuration, const fs::path& directory) {
    return directory / (pairingKey(configuration) + ".lock");
}

AgentSupervisorLease::AgentSupervisorLease(const AgentConfiguration& configuration,
                                           const std::optional<fs::path>& directory) {
    const fs::path folder = directory ? *directory : defaultDirectory();
    createPrivateDirectories(folder);
    const fs::path path = lockPath(configuration, folder);

    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) throw SupervisorError(SupervisorError::Kind::lockUnavailable);

    struct stat info {};
    bool held = ::fstat(fd, &info) == 0 && info.st_uid == user::realUserId() && S_ISREG(info.st_mode) &&
                ::flock(fd, LOCK_EX | LOCK_NB) == 0;
    if (!held) {
        ::close(fd);
        throw SupervisorError(SupervisorError::Kind::alreadyRunning);
    }
    descriptor_ = fd;
}

AgentSupervisorLease::~AgentSupervisorLease() {
    if (descriptor_ >= 0) {
        ::flock(descriptor_, LOCK_UN);
        ::close(descriptor_);
    }
}

}  // namespace tessaron
