#pragma once
// The model's one way of doing blocking work: run it on a worker thread and hand its result to
// a callback on the thread of a context object (the GUI thread for the model). When the context
// object is gone by then, the result is dropped, so late results never touch a destroyed model.
// Runs of `tessaron` are bounded in time and output, and can all be ended at once (on quit).

#include "host/process_runner.h"

#include <QFutureWatcher>
#include <QObject>
#include <QPromise>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace tessaron::desktop {

// `work` must not throw; it runs on a thread of its own, which is never waited for.
template <typename T>
void runInBackground(QObject* context, std::function<T()> work, std::function<void(T)> done) {
    auto promise = std::make_shared<QPromise<T>>();
    auto* watcher = new QFutureWatcher<T>(context);
    QObject::connect(watcher, &QFutureWatcherBase::finished, context, [watcher, done = std::move(done)] {
        watcher->deleteLater();
        if (watcher->future().resultCount() > 0) done(watcher->result());
    });
    watcher->setFuture(promise->future());
    promise->start();
    std::thread([promise, work = std::move(work)] {
        promise->addResult(work());
        promise->finish();
    }).detach();
}

// How much of each output stream of a run is kept; the rest is read and dropped.
inline constexpr std::size_t capturedOutputLimit = 64 * 1024;

// The bounds of one kind of run: how long it may take, and the sentence the user sees when it
// did not end in time (the run's child and everything it started are then ended).
struct RunBound {
    std::chrono::milliseconds timeout;
    std::string timedOutText;
    // Between SIGTERM and SIGKILL, for a run that is ended.
    std::chrono::milliseconds grace{1000};
};

// The runs a model has in flight, so that quitting can end them all and wait for them. Shared
// with the worker threads, which may outlive the model.
class ProgramRuns : public std::enable_shared_from_this<ProgramRuns> {
public:
    std::stop_token token() const { return stop_.get_token(); }
    // Counts a run for as long as the returned value lives.
    std::shared_ptr<void> enter();
    // Asks every run (and every later one) to stop, then waits at most `wait` until none runs;
    // true when none does.
    bool stopAll(std::chrono::milliseconds wait);

private:
    std::stop_source stop_;
    std::mutex mutex_;
    std::condition_variable ended_;
    int active_ = 0;
};

// One captured run of a program: its result, or why there is none.
struct ProgramOutcome {
    // The run's exit status and output (each stream cut to capturedOutputLimit bytes, invalid
    // UTF-8 replaced by U+FFFD); none when the program could not start, did not end in time or
    // was stopped.
    std::optional<CommandResult> result;
    // Why there is no result: the launch error, or the bound's time-out sentence.
    std::string failure;
    bool stopped = false;  // ended early because every run was asked to stop
};

// Runs `program` with `arguments` within `bound`; ends early, with `stopped`, once `stop` is
// requested (at once when it already is). Never throws.
ProgramOutcome runCaptured(const std::filesystem::path& program, const std::vector<std::string>& arguments,
                           const RunBound& bound, std::stop_token stop = {});

}  // namespace tessaron::desktop
