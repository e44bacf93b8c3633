#pragma once
// Whether a run of `tessaron` left anything running. The test process adopts orphans (it is
// their reaper), so that the programs a run's child started and that were then ended are
// reaped here and whatever still runs in the child's process group can be told from them.

#include <chrono>
#include <csignal>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>

namespace tessaron::testing {

inline void adoptOrphans() { ::prctl(PR_SET_CHILD_SUBREAPER, 1); }

// True once nothing of process group `group` is alive, waiting at most `within`; what is
// still there afterwards is killed, so that no test leaves it behind.
inline bool groupEnds(pid_t group, std::chrono::seconds within = std::chrono::seconds(10)) {
    const auto deadline = std::chrono::steady_clock::now() + within;
    for (;;) {
        while (::waitpid(-group, nullptr, WNOHANG) > 0) {
        }
        if (::kill(-group, 0) != 0) return true;
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(-group, SIGKILL);
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

}  // namespace tessaron::testing
