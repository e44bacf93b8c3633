#include "model/menu_controller.h"

#include "host/agent_configuration.h"

#include <QUrl>

#include <chrono>

namespace tessaron::menubar {

namespace {

double systemNowMilliseconds() {
    using namespace std::chrono;
    return static_cast<double>(duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count());
}

}  // namespace

MenuController::MenuController(Dependencies dependencies, QObject* parent)
    : QObject(parent), dependencies_(std::move(dependencies)) {
    if (!dependencies_.nowMilliseconds) dependencies_.nowMilliseconds = systemNowMilliseconds;
    pollTimer_.setSingleShot(true);
    connect(&pollTimer_, &QTimer::timeout, this, &MenuController::pollOnce);
}

MenuController::~MenuController() {
    stop();
    pool_.waitForDone();
}

void MenuController::start() {
    if (polling_) return;
    polling_ = true;
    stopped_ = false;
    if (stopRuns_.stop_requested()) stopRuns_ = std::stop_source();
    pollOnce();
}

void MenuController::stop() {
    polling_ = false;
    stopped_ = true;
    pollTimer_.stop();
    stopRuns_.request_stop();
}

void MenuController::pollOnce() {
    if (!polling_) return;
    refreshStatus([this] {
        if (polling_) pollTimer_.start(dependencies_.pollIntervalMilliseconds);
    });
}

void MenuController::runInBackground(std::vector<std::string> arguments, std::chrono::milliseconds timeout,
                                     std::function<void(const MenuCommandResult&)> then) {
    std::shared_ptr<MenuCommandRunning> runner = dependencies_.runner;
    pool_.start([this, runner, arguments = std::move(arguments), timeout, stop = stopRuns_.get_token(),
                 then = std::move(then)] {
        MenuCommandResult result = runner->run(arguments, timeout, stop);
        // Posted to this object: dropped with it if it is gone by then.
        QMetaObject::invokeMethod(
            this, [then, result = std::move(result)] { then(result); }, Qt::QueuedConnection);
    });
}

void MenuController::refreshStatus(std::function<void()> done) {
    if (busy_ || reading_ || stopped_) {
        if (done) done();
        return;
    }
    reading_ = true;
    render();
    const long startedUnder = revision_;
    runInBackground({"server", "status"}, statusTimeout, [this, startedUnder, done](const MenuCommandResult& result) {
        reading_ = false;
        if (!stopped_ && revision_ == startedUnder) {
            state_ = result.error ? std::nullopt : decodeConnection(result.output);
            render();
        }
        if (done) done();
    });
}

void MenuController::togglePublicAccess() {
    if (!rows_.access.enabled) return;
    switch (rows_.accessAction) {
    case PublicAccessPresentation::Action::disconnect: perform("disconnect"); break;
    case PublicAccessPresentation::Action::connect: perform("connect"); break;
    case PublicAccessPresentation::Action::check: refreshStatus(); break;
    case PublicAccessPresentation::Action::wait: break;
    }
}

void MenuController::keepPublicAccessOff() {
    if (rows_.keepOff.enabled && rows_.keepOff.visible) perform("disconnect");
}

void MenuController::confirmRestart() {
    if (!rows_.restart.enabled) return;
    // The alert is modal: reads may finish while it is open and disable the row.
    if (dependencies_.confirmer->confirm(restartAlert) && rows_.restart.enabled) perform("restart");
}

void MenuController::togglePower() {
    if (!rows_.power.enabled) return;
    if (state_ && state_->vmState == "Stopped") {
        power("start");
        return;
    }
    if (dependencies_.confirmer->confirm(turnOffAlert) && rows_.power.enabled) power("stop");
}

void MenuController::perform(const std::string& action) {
    if (busy_ || !state_ || !state_->publishingPaused || state_->controlError) return;
    if (action == "restart" && !rows_.restart.enabled) return;
    busy_ = true;
    pendingAction_ = action;
    ++revision_;
    feedback_.clear();
    render();
    std::vector<std::string> arguments{"server", action};
    if (action == "restart") arguments.push_back("--confirm");
    runInBackground(std::move(arguments), lifecycleTimeout, [this, action](const MenuCommandResult& result) {
        const std::optional<MenuLifecycle> answer =
            result.error ? std::nullopt : decodeLifecycle(result.output);
        if (answer) {
            if (state_) {
                state_->publishingPaused = answer->publishingPaused;
                state_->publicAccess = answer->publicAccess;
                state_->canRestart = answer->canRestart;
                state_->restart = answer->restart;
            }
            feedback_ = action == "restart" ? "Restart requested. Waiting for your Mac." : "";
        } else {
            feedback_ = result.error ? *result.error : "Could not confirm the request. Checking status\u2026";
            // Until the next read, nothing about the panel's side is trusted.
            if (state_) {
                state_->publishingPaused.reset();
                state_->publicAccess.reset();
                state_->canRestart = false;
            }
        }
        finishAction();
    });
}

void MenuController::power(const std::string& action) {
    if (busy_) return;
    busy_ = true;
    pendingAction_ = action;
    ++revision_;
    feedback_.clear();
    render();
    runInBackground({"vm", action}, powerTimeout, [this, action](const MenuCommandResult& result) {
        if (result.error) feedback_ = *result.error;
        else if (action == "stop") feedback_ = "Linux is off and using none of your Mac. Your files are kept.";
        else feedback_ = "Linux started. Give it a moment, then check your apps.";
        finishAction();
    });
}

void MenuController::finishAction() {
    busy_ = false;
    pendingAction_.reset();
    render();
    refreshStatus();
}

void MenuController::openTessaron() {
    dependencies_.opener->open(QUrl::fromLocalFile(QString::fromStdString(dependencies_.application.string())));
}

void MenuController::openConsole() {
    Url control = TessaronEndpoints::defaultControl();
    try {
        control = AgentConfigurationStore::load().controlURL;
    } catch (const std::exception&) {
        // Not paired, or the file cannot be read: the default panel.
    }
    dependencies_.opener->open(QUrl(QString::fromStdString(control.appendingPathComponent("console").absoluteString())));
}

void MenuController::render() {
    rows_ = renderMenu({state_, busy_, reading_, pendingAction_, feedback_, dependencies_.nowMilliseconds()});
    emit rowsChanged();
}

}  // namespace tessaron::menubar
