#pragma once
// Turns SIGTERM and SIGINT into a stop request for long-running commands (`serve`).
// While a StopSignal exists, the two signals are blocked in every thread and a
// watcher thread turns their arrival into a request on the stop token.

#include <atomic>
#include <csignal>
#include <stop_token>
#include <thread>

namespace tessaron::cli {

class StopSignal {
public:
    StopSignal();
    ~StopSignal();
    StopSignal(const StopSignal&) = delete;
    StopSignal& operator=(const StopSignal&) = delete;

    std::stop_token token() const { return source_.get_token(); }
    // The signal that asked to stop, or 0.
    int receivedSignal() const { return received_.load(); }

private:
    std::stop_source source_;
    std::atomic<int> received_{0};
    std::atomic<bool> done_{false};
    sigset_t previousMask_{};
    std::thread watcher_;
};

}  // namespace tessaron::cli
