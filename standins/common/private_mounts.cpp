#include "standins/common/private_mounts.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

namespace tessaron::standin {

bool makeMountsPrivate() {
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0) return true;
    if (errno != EINVAL) return false;
    // Entering a mount namespace, even one's own, moves the caller to its root.
    const int root = ::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const int own = ::open("/proc/self/ns/mnt", O_RDONLY | O_CLOEXEC);
    bool done = root >= 0 && own >= 0 && ::setns(own, CLONE_NEWNS) == 0;
    if (done) {
        done = ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
        const int saved = errno;
        // Back into the root the caller had, whatever happened above.
        if (::fchdir(root) != 0 || ::chroot(".") != 0 || ::chdir("/") != 0) std::_Exit(1);
        errno = saved;
    }
    const int saved = errno;
    if (root >= 0) ::close(root);
    if (own >= 0) ::close(own);
    errno = saved;
    return done;
}

}  // namespace tessaron::standin
