#include "standins/common/watched_process.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <poll.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

namespace tessaron::standin {

WatchedProcess::WatchedProcess() {
    const char* text = std::getenv(watchedProcessVariable);
    if (!text || !*text) return;
    char* end = nullptr;
    errno = 0;
    const long pid = std::strtol(text, &end, 10);
    if (errno != 0 || *end != '\0' || pid <= 1 || pid > std::numeric_limits<pid_t>::max()) {
        std::fprintf(stderr, "%s is not a process ID (%s); no process is watched\n", watchedProcessVariable, text);
        return;
    }
    descriptor_ = static_cast<int>(::syscall(SYS_pidfd_open, static_cast<pid_t>(pid), 0));
    if (descriptor_ >= 0) ::fcntl(descriptor_, F_SETFD, FD_CLOEXEC);
    else if (errno == ESRCH) endedBefore_ = true;
    else std::fprintf(stderr, "cannot watch process %ld: %s\n", pid, std::strerror(errno));
}

WatchedProcess::~WatchedProcess() {
    if (descriptor_ >= 0) ::close(descriptor_);
}

bool WatchedProcess::ended() const {
    if (endedBefore_) return true;
    pollfd process{descriptor_, POLLIN, 0};
    return descriptor_ >= 0 && ::poll(&process, 1, 0) > 0;
}

}  // namespace tessaron::standin
