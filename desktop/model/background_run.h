#pragma once
// The model's one way of doing blocking work: run it on a worker thread and hand its result to
// a callback on the thread of a context object (the GUI thread for the model). When the context
// object is gone by then, the result is dropped, so late results never touch a destroyed model.

#include "host/process_runner.h"

#include <QFutureWatcher>
#include <QObject>
#include <QPromise>

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace tessaron::desktop {

// `work` must not throw; it runs on a thread of its own, which is never waited for, so a child
// that hangs keeps only that thread.
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

// One captured run of a program: its result, or why it could not be started.
struct ProgramOutcome {
    std::optional<CommandResult> result;
    std::string launchError;  // set when `result` is none
};

// Runs `program` with `arguments` through the core's process runner; never throws.
ProgramOutcome runCaptured(const std::filesystem::path& program, const std::vector<std::string>& arguments);

}  // namespace tessaron::desktop
