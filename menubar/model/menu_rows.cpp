#include "model/menu_rows.h"

#include "platform/shown_text.h"

namespace tessaron::menubar {

namespace {

using Action = PublicAccessPresentation::Action;

constexpr double finishedRestartShownMilliseconds = 300'000;

std::string connectionText(const std::optional<MenuConnection>& state) {
    const std::string unavailable = "Connection status unavailable";
    if (!state) return unavailable;
    if (!state->paired) return "Connect your Mac to get started";
    if (state->agentState == "stopped") return "Connection helper stopped";
    if (state->agentState != "running") return unavailable;
    const std::string& tunnel = state->tunnelState;
    if (tunnel == "connected") return "Connected to Tessaron";
    if (tunnel == "connecting") return "Connecting to Tessaron\u2026";
    if (tunnel == "offline" || tunnel == "not-configured") return "Not connected";
    return unavailable;
}

bool restartPending(const std::optional<MenuConnection>& state) {
    return state && state->restart && (state->restart->status == "queued" || state->restart->status == "running");
}

std::string restartText(const MenuRestart& restart, double now) {
    if (restart.status == "queued") return "Restart queued. Waiting for your Mac.";
    if (restart.status == "running") return "Restarting Linux\u2026";
    if (now - restart.requestedAt >= finishedRestartShownMilliseconds) return "";
    if (restart.status == "succeeded") return "Linux restarted. Check your apps.";
    return restart.error.value_or("The restart did not complete.");
}

std::string feedbackText(const MenuInputs& in) {
    std::string text;
    if (in.busy) text = "Updating server controls\u2026";
    else if (in.state && in.state->controlError) text = *in.state->controlError;
    else if (in.state && in.state->restart) text = restartText(*in.state->restart, in.nowMilliseconds);
    return text.empty() ? in.feedback : text;
}

// Every row is made here. Its text may come from outside (a VM state, a panel's error, a
// program's complaint): it is shown as written, with control and direction characters
// escaped, and cut after `limit` user-visible characters, marked with "…" unless `mark` says not.
MenuRow row(const std::string& title, bool enabled, bool visible, qsizetype limit = desktop::shownTextLimit,
            desktop::CutMark mark = desktop::CutMark::ellipsis) {
    return {desktop::shownText(std::string_view(title), limit, desktop::LineBreaks::escaped, mark).toStdString(),
            enabled, visible};
}

}  // namespace

MenuRows initialMenuRows() {
    MenuRows rows;
    rows.connection = {"Checking connection\u2026", false, true};
    rows.server = {"Linux server: checking\u2026", false, true};
    rows.publicAccess = {"Public access: checking\u2026", false, true};
    rows.feedback = {"", false, false};
    rows.access = {"Check connection", false, true};
    rows.keepOff = {"Keep public access off", true, false};
    rows.restart = {"Restart server\u2026", false, true};
    rows.power = {"Turn off server\u2026", false, true};
    rows.tooltip = "Tessaron \u2014 Checking connection";
    return rows;
}

PublicAccessPresentation accessPresentation(const std::optional<MenuConnection>& state,
                                            const std::optional<std::string>& pendingAction) {
    const bool connected = state && state->tunnelState == "connected" && state->agentState == "running";
    const bool controlAvailable = state && state->publishingPaused && !state->controlError;
    return PublicAccessPresentation::make(state ? state->publicAccess : std::nullopt, connected, controlAvailable,
                                          pendingAction);
}

MenuRows renderMenu(const MenuInputs& in) {
    const auto& state = in.state;
    const PublicAccessPresentation presentation = accessPresentation(state, in.pendingAction);
    const bool controlOk = state && !state->controlError;
    const bool idle = !in.busy && !in.reading;
    MenuRows rows;

    const std::string connection = connectionText(state);
    rows.connection = row(connection, false, true);
    rows.server = row(state ? "Linux server: " + state->vmState : "Open Tessaron to check your server", false, true);
    rows.publicAccess = row(presentation.label, false, true);

    rows.accessAction = presentation.action;
    rows.access = row(in.reading && presentation.action == Action::check ? "Checking connection\u2026"
                                                                         : presentation.actionLabel(),
                      idle && presentation.action != Action::wait, true);

    rows.keepOff = row("Keep public access off", idle,
                       presentation.action == Action::check && controlOk && state->publishingPaused == false);

    const std::string vmState = state ? state->vmState : "";
    std::string powerTitle = vmState == "Stopped" ? "Start server" : "Turn off server\u2026";
    if (in.pendingAction == "stop") powerTitle = "Turning off\u2026";
    if (in.pendingAction == "start") powerTitle = "Starting\u2026";
    rows.power = row(powerTitle, !in.busy && !restartPending(state) && (vmState == "Running" || vmState == "Stopped"),
                     true);

    rows.restart = row(restartPending(state) ? "Restart pending\u2026" : "Restart server\u2026",
                       !in.busy && controlOk && state->canRestart == true && !restartPending(state), true);

    const std::string feedback = feedbackText(in);
    rows.feedback = row(feedback, false, !feedback.empty(), feedbackCharacters, desktop::CutMark::none);

    rows.tooltip = "Tessaron \u2014 " + connection + ". " + rows.publicAccess.title;
    return rows;
}

}  // namespace tessaron::menubar
