#include "model/background_run.h"

namespace tessaron::desktop {

std::shared_ptr<void> ProgramRuns::enter() {
    {
        std::lock_guard lock(mutex_);
        ++active_;
    }
    return std::shared_ptr<void>(nullptr, [runs = shared_from_this()](void*) {
        std::lock_guard lock(runs->mutex_);
        if (--runs->active_ == 0) runs->ended_.notify_all();
    });
}

bool ProgramRuns::stopAll(std::chrono::milliseconds wait) {
    stop_.request_stop();
    std::unique_lock lock(mutex_);
    return ended_.wait_for(lock, wait, [this] { return active_ == 0; });
}

ProgramOutcome runCaptured(const std::filesystem::path& program, const std::vector<std::string>& arguments,
                           const RunBound& bound, std::stop_token stop) {
    ProgramOutcome outcome;
    if (stop.stop_requested()) {
        outcome.stopped = true;
        return outcome;
    }
    BoundedRun run;
    try {
        run = runBounded(program.string(), arguments, bound.timeout, capturedOutputLimit, bound.grace, stop);
    } catch (const std::exception& error) {
        outcome.failure = error.what();
        return outcome;
    }
    if (run.stopped) {
        outcome.stopped = true;
    } else if (run.timedOut) {
        outcome.failure = bound.timedOutText;
    } else {
        CommandResult result;
        result.exitCode = run.exitCode;
        result.standardOutput = replacingInvalidUTF8(run.standardOutput);
        result.standardError = replacingInvalidUTF8(run.standardError);
        outcome.result = std::move(result);
    }
    return outcome;
}

}  // namespace tessaron::desktop
