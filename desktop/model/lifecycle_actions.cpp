// Public access and restart through the control panel (`tessaron server connect|disconnect|
// restart --confirm`), and the VM's power on this Mac (`tessaron vm start|stop`).

#include "model/desktop_model.h"

#include <QDateTime>

#include <cmath>

namespace tessaron::desktop {
namespace {

QString qText(const std::string& text) { return QString::fromStdString(text); }

// A server action that failed without saying why, or did not end in time.
constexpr const char* unconfirmedText = "Could not confirm the request. Check status before trying again.";
// Likewise for turning the VM on or off.
constexpr const char* noPowerAnswerText = "The server did not respond. Check its status before trying again.";

}  // namespace

bool DesktopModel::restartPending() const {
    const std::string status = restartRequest_ ? restartRequest_->status : "";
    return status == "queued" || status == "running";
}

QString DesktopModel::restartMessage() const {
    return restartMessage(static_cast<double>(QDateTime::currentMSecsSinceEpoch()) / 1000.0);
}

QString DesktopModel::restartMessage(double nowSeconds) const {
    if (!restartRequest_) return "";
    const DesktopRestart& request = *restartRequest_;
    if (request.status == "queued") return "Restart queued. Waiting for your Mac.";
    if (request.status == "running") return "Restarting Linux. Apps and SSH sessions will be interrupted.";
    const double age = nowSeconds * 1000.0 - request.requestedAt;
    if (!(age < 300'000.0)) return "";  // five minutes old, or not comparable
    if (request.status == "succeeded") return "Linux restarted. Check that your apps are running.";
    if (request.error) return qText(*request.error);
    return "The restart did not complete. Try again.";
}

PublicAccessPresentation DesktopModel::accessPresentation() const {
    const bool connected = tunnelState_ == "connected" && agentState_ == "running";
    const bool controlAvailable = publishingPaused_.has_value() && lifecycleError_.isEmpty();
    std::optional<std::string> pending;
    if (lifecycleAction_) pending = lifecycleAction_->toStdString();
    return PublicAccessPresentation::make(publicAccess_, connected, controlAvailable, pending);
}

bool DesktopModel::canKeepAccessOff() const {
    return publishingPaused_ == false && lifecycleError_.isEmpty() &&
           accessPresentation().action == PublicAccessPresentation::Action::check;
}

bool DesktopModel::canPowerServer() const {
    return vmExists_ && !powerAction_ && !resourceActionsBusy() && !restartPending() &&
           (serverState_ == "Running" || serverState_ == "Stopped");
}

QString DesktopModel::powerLabel() const {
    if (powerAction_ == QString("stop")) return "Turning off\u2026";
    if (powerAction_ == QString("start")) return "Starting\u2026";
    if (serverState_ == "Stopped") return "Start server";
    return "Turn off server";
}

void DesktopModel::changePublicAccess() {
    switch (accessPresentation().action) {
    case PublicAccessPresentation::Action::disconnect:
        return performLifecycle("disconnect");
    case PublicAccessPresentation::Action::connect:
        return performLifecycle("connect");
    case PublicAccessPresentation::Action::check:
        return refreshConnection();
    case PublicAccessPresentation::Action::wait:
        return;
    }
}

void DesktopModel::keepPublicAccessOff() {
    if (canKeepAccessOff()) performLifecycle("disconnect");
}

void DesktopModel::performLifecycle(const QString& action) {
    if (resourceActionsBusy() || !publishingPaused_) return;
    const bool restart = action == "restart";
    if (restart && (!canRestartServer_ || restartPending())) return;
    if (!restart && action != "connect" && action != "disconnect") return;

    controlRevision_ += 1;  // status reads in flight drop their results
    set(lifecycleAction_, std::optional<QString>(action), &DesktopModel::lifecycleActionChanged);
    set(lifecycleError_, QString(), &DesktopModel::lifecycleErrorChanged);
    set(lifecycleNote_, QString(), &DesktopModel::lifecycleNoteChanged);

    std::vector<std::string> arguments{"server", action.toStdString()};
    if (restart) arguments.push_back("--confirm");
    runProgram(std::move(arguments), options_.timeouts.serverAction, unconfirmedText,
               [this, restart](const ProgramOutcome& outcome) {
        std::optional<DesktopLifecycle> answer;
        QString failure;
        if (!outcome.result) {
            failure = qText(outcome.failure);
        } else if (outcome.result->exitCode != 0) {
            failure =
                qText(ResourceCommandError::fromStandardError(outcome.result->standardError, unconfirmedText).what());
        } else {
            try {
                answer = DesktopLifecycle::decode(outcome.result->standardOutput);
            } catch (const std::exception& error) {
                failure = qText(error.what());
            }
        }
        if (answer) {
            set(publishingPaused_, std::optional<bool>(answer->publishingPaused), &DesktopModel::publishingPausedChanged);
            replace(publicAccess_, answer->publicAccess, &DesktopModel::publicAccessChanged);
            set(canRestartServer_, answer->canRestart, &DesktopModel::canRestartServerChanged);
            set(restartRequest_, answer->restart, &DesktopModel::restartRequestChanged);
            set(lifecycleNote_, restart ? QString("Restart requested. Waiting for your Mac.") : QString(),
                &DesktopModel::lifecycleNoteChanged);
        } else {
            set(lifecycleError_, failure, &DesktopModel::lifecycleErrorChanged);
            set(publishingPaused_, std::optional<bool>(), &DesktopModel::publishingPausedChanged);
            replace(publicAccess_, std::optional<PublicAccessStatus>(), &DesktopModel::publicAccessChanged);
            set(canRestartServer_, false, &DesktopModel::canRestartServerChanged);
        }
        set(lifecycleAction_, std::optional<QString>(), &DesktopModel::lifecycleActionChanged);
        refreshConnection();
    });
}

void DesktopModel::performPower(const QString& action) {
    if (!canPowerServer()) return;
    if (action != "start" && action != "stop") return;
    set(powerAction_, std::optional<QString>(action), &DesktopModel::powerActionChanged);
    set(lifecycleError_, QString(), &DesktopModel::lifecycleErrorChanged);
    set(lifecycleNote_, QString(), &DesktopModel::lifecycleNoteChanged);

    runProgram({"vm", action.toStdString()}, options_.timeouts.power, noPowerAnswerText,
               [this, stop = action == "stop"](const ProgramOutcome& outcome) {
        if (!outcome.result) {
            set(lifecycleError_, qText(outcome.failure), &DesktopModel::lifecycleErrorChanged);
        } else if (outcome.result->exitCode == 0) {
            set(lifecycleNote_,
                stop ? QString("Linux is off and using none of your Mac. Your files, databases and installed software "
                               "are kept.")
                     : QString("Linux started. Give it a moment, then check that your apps are running."),
                &DesktopModel::lifecycleNoteChanged);
        } else {
            set(lifecycleError_,
                qText(ResourceCommandError::fromStandardError(outcome.result->standardError, noPowerAnswerText).what()),
                &DesktopModel::lifecycleErrorChanged);
        }
        set(powerAction_, std::optional<QString>(), &DesktopModel::powerActionChanged);
        refreshConnection();
    });
}

}  // namespace tessaron::desktop
