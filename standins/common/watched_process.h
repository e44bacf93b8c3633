#pragma once
// The process a stand-in's background work belongs to. A test names itself in
// TESSARON_STANDIN_WATCH_PID; what the stand-ins leave running for it (limactl's host
// agents, launchctl's job supervisors) ends when that process ends, also when it is
// killed before it could clean up.

namespace tessaron::standin {

constexpr const char* watchedProcessVariable = "TESSARON_STANDIN_WATCH_PID";

class WatchedProcess {
public:
    // Watches the process named in the environment, if any (a line on standard error when
    // the variable names none).
    WatchedProcess();
    ~WatchedProcess();
    WatchedProcess(const WatchedProcess&) = delete;
    WatchedProcess& operator=(const WatchedProcess&) = delete;

    // True once the watched process has ended (at once when it had ended before it was
    // watched); never true when none is watched.
    bool ended() const;

private:
    int descriptor_ = -1;  // readable once the process has ended
    bool endedBefore_ = false;
};

}  // namespace tessaron::standin
