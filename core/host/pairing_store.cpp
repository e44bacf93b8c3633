#include "host/pairing_store.h"

#include "host/device_credential_store.h"
#include "host/private_file.h"
#include "host/user.h"

#include <cerrno>
#include <fcntl.h>
#include <optional>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace tessaron::PairingStore {
namespace fs = std::filesystem;

namespace {

// The place of a file that rename(2) could replace: nothing there, a regular file or a
// link (which the rename replaces, not follows).
void requireReplaceable(const fs::path& file) {
    struct stat st {};
    if (::lstat(file.c_str(), &st) != 0) {
        if (errno == ENOENT) return;
        throw SystemError::fromErrno("Could not inspect " + file.string(), errno);
    }
    if (S_ISREG(st.st_mode) || S_ISLNK(st.st_mode)) return;
    throw SystemError::fromErrno("Could not save " + file.string(), S_ISDIR(st.st_mode) ? EISDIR : EEXIST);
}

void requireWritableFolder(const fs::path& folder) {
    if (::access(folder.c_str(), W_OK | X_OK) != 0)
        throw SystemError::fromErrno("Could not save in the folder " + folder.string(), errno);
}

class PairingLock {
public:
    PairingLock(const fs::path& folder, std::chrono::milliseconds wait) {
        const fs::path path = folder / ".pairing.lock";
        fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd_ < 0) throw SystemError::fromErrno("Could not open " + path.string(), errno);
        const auto deadline = std::chrono::steady_clock::now() + wait;
        while (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
            const int code = errno;
            if ((code != EWOULDBLOCK && code != EINTR) || std::chrono::steady_clock::now() >= deadline) {
                ::close(fd_);
                throw SystemError::fromErrno("Could not lock " + path.string(), code);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    ~PairingLock() {
        ::flock(fd_, LOCK_UN);
        ::close(fd_);
    }
    PairingLock(const PairingLock&) = delete;
    PairingLock& operator=(const PairingLock&) = delete;

private:
    int fd_ = -1;
};

// The credential file's bytes as they are now; nothing when there is none or it cannot
// be read safely (then there is nothing that could be put back either).
std::optional<std::string> currentCredential(const fs::path& file) {
    private_file::ReadOptions options;
    options.owner = user::effectiveUserId();
    options.maxBytes = DeviceCredentialStore::maximumBytes;
    try {
        return private_file::read(file, options);
    } catch (const Error&) {
        return std::nullopt;
    }
}

}  // namespace

void requireWritable() {
    const fs::path configuration = AgentConfigurationStore::defaultURL();
    const fs::path credential = DeviceCredentialStore::headlessURL();
    DeviceCredentialStore::requireUsableFolder(credential);
    private_file::createDirectories(configuration.parent_path());
    requireWritableFolder(credential.parent_path());
    requireWritableFolder(configuration.parent_path());
    requireReplaceable(credential);
    requireReplaceable(configuration);
}

void save(const AgentConfiguration& configuration, const std::string& token, std::chrono::milliseconds lockWait) {
    const fs::path configurationFile = AgentConfigurationStore::defaultURL();
    const fs::path credentialFile = DeviceCredentialStore::headlessURL();
    private_file::createDirectories(configurationFile.parent_path());
    const PairingLock lock(configurationFile.parent_path(), lockWait);

    const std::optional<std::string> previous = currentCredential(credentialFile);
    DeviceCredentialStore::exportForHeadlessService(token, credentialFile);
    try {
        AgentConfigurationStore::save(configuration, configurationFile);
    } catch (...) {
        try {
            if (previous) {
                private_file::WriteOptions options;
                options.temporaryPrefix = DeviceCredentialStore::temporaryPrefix;
                options.createParent = false;
                private_file::write(credentialFile, *previous, options);
            } else {
                ::unlink(credentialFile.c_str());
            }
        } catch (...) {
            // The configuration's error is the one to report.
        }
        throw;
    }
}

void sweepInterruptedWrites() noexcept {
    try {
        const auto age = std::chrono::minutes(1);
        private_file::sweepTemporaryFiles(AgentConfigurationStore::defaultURL().parent_path(),
                                          AgentConfigurationStore::temporaryPrefix, age);
        private_file::sweepTemporaryFiles(DeviceCredentialStore::headlessURL().parent_path(),
                                          DeviceCredentialStore::temporaryPrefix, age);
    } catch (...) {
        // No place for the files: nothing was written there either.
    }
}

}  // namespace tessaron::PairingStore
