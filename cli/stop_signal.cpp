#include "cli/stop_signal.h"

#include <pthread.h>
#include <time.h>

namespace tessaron::cli {

StopSignal::StopSignal() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    // Threads started from here on inherit the mask, so only the watcher takes the signals.
    pthread_sigmask(SIG_BLOCK, &set, &previousMask_);
    watcher_ = std::thread([this, set] {
        while (!done_.load()) {
            timespec wait{0, 200'000'000};
            int signal = sigtimedwait(&set, nullptr, &wait);
            if (signal > 0) {
                received_.store(signal);
                source_.request_stop();
            }
        }
    });
}

StopSignal::~StopSignal() {
    done_.store(true);
    watcher_.join();
    pthread_sigmask(SIG_SETMASK, &previousMask_, nullptr);
}

}  // namespace tessaron::cli
