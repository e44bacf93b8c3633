#include "cli/vm_resource_lock.h"

#include "cli/cli_options.h"
#include "host/paths.h"
#include "host/private_file.h"
#include "host/user.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tessaron::cli::VMResourceOperationLock {

int acquire(bool exclusive, bool create) {
    auto support = paths::applicationSupport();
    if (!support) throw CLIError::pairing("Could not locate the local VM coordination directory.");
    const std::filesystem::path directory = *support / "Tessaron";
    if (create) private_file::createDirectories(directory);

    const std::filesystem::path path = directory / "vm-resources.lock";
    // O_NONBLOCK: a FIFO planted at the path must not hang the open; it is refused by
    // the type check below. It changes nothing for a regular file or for flock.
    int fd = create ? ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600)
                    : ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        if (!create && errno == ENOENT) return -1;
        throw CLIError::pairing("Could not open the VM resource-operation lock.");
    }

    struct stat st {};
    if (::fstat(fd, &st) != 0 || st.st_uid != user::realUserId() || (st.st_mode & S_IFMT) != S_IFREG) {
        ::close(fd);
        throw CLIError::pairing("The VM resource-operation lock has unsafe ownership or type.");
    }
    if (::flock(fd, (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB) != 0) {
        ::close(fd);
        throw CLIError::pairing("Another resource or connection operation is already running. Wait for it to finish.");
    }
    return fd;
}

void release(int fd) noexcept {
    if (fd < 0) return;
    ::flock(fd, LOCK_UN);
    ::close(fd);
}

}  // namespace tessaron::cli::VMResourceOperationLock
