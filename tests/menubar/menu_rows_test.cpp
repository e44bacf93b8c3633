// Every menu row over the states the menu bar can be in: no status, unpaired, each
// helper and tunnel state, public access live, paused or unconfirmed, restarts under way,
// recent and old, a failing panel, and the action and read flags.

#include "model/menu_rows.h"

#include <gtest/gtest.h>

namespace tessaron::menubar {
namespace {

constexpr double now = 1'800'000'000'000;  // ms

// One row as "title [on]", "title [off]" or "(hidden)".
std::string shown(const MenuRow& row, bool withFlag = true) {
    if (!row.visible) return "(hidden)";
    return withFlag ? row.title + (row.enabled ? " [on]" : " [off]") : row.title;
}

struct Case {
    const char* name;
    std::string status;  // `server status` output; "" for none
    bool busy = false;
    bool reading = false;
    std::optional<std::string> pending;
    std::string feedback;
    // connection, server, public, feedback, access, keep-off, restart, power
    std::vector<std::string> expected;
};

const std::string live =
    R"("paired":true,"vmState":"Running","tunnelState":"connected","agentState":"running","publishingPaused":false,)"
    R"("publicAccess":{"state":"enabled","requestedPaused":false,"confirmedAt":1},"canRestart":true)";
const std::string pausedAccess =
    R"("paired":true,"vmState":"Stopped","tunnelState":"offline","agentState":"running","publishingPaused":true,)"
    R"("publicAccess":{"state":"paused","requestedPaused":true,"confirmedAt":1},"canRestart":false)";
std::string withRestart(const std::string& status, double requestedAt, const std::string& extra = "") {
    return "{" + live + R"(,"restart":{"status":")" + status + R"(","requestedAt":)" + std::to_string(requestedAt) +
           extra + "}}";
}

TEST(MenuRows, EveryRowFollowsTheState) {
    const std::string liveStatus = "{" + live + "}";
    const std::vector<Case> cases = {
        {"no status", "", false, false, {}, "",
         {"Connection status unavailable", "Open Tessaron to check your server", "Public access not confirmed",
          "(hidden)", "Check connection [on]", "(hidden)", "Restart server\u2026 [off]", "Turn off server\u2026 [off]"}},
        {"no status while reading", "", false, true, {}, "",
         {"Connection status unavailable", "Open Tessaron to check your server", "Public access not confirmed",
          "(hidden)", "Checking connection\u2026 [off]", "(hidden)", "Restart server\u2026 [off]",
          "Turn off server\u2026 [off]"}},
        {"not paired", R"({"paired":false,"vmState":"Unknown","tunnelState":"not-configured","agentState":"stopped"})",
         false, false, {}, "",
         {"Connect your Mac to get started", "Linux server: Unknown", "Public access not confirmed", "(hidden)",
          "Check connection [on]", "(hidden)", "Restart server\u2026 [off]", "Turn off server\u2026 [off]"}},
        {"helper stopped, paused unconfirmed, keep-off offered",
         R"({"paired":true,"vmState":"Running","tunnelState":"connected","agentState":"stopped","publishingPaused":false,)"
         R"("publicAccess":{"state":"enabled","requestedPaused":false,"confirmedAt":1}})",
         false, false, {}, "",
         {"Connection helper stopped", "Linux server: Running", "Mac not connected", "(hidden)", "Check connection [on]",
          "Keep public access off [on]", "Restart server\u2026 [off]", "Turn off server\u2026 [on]"}},
        {"live public access", liveStatus, false, false, {}, "",
         {"Connected to Tessaron", "Linux server: Running", "Public access enabled", "(hidden)",
          "Disconnect public access [on]", "(hidden)", "Restart server\u2026 [on]", "Turn off server\u2026 [on]"}},
        {"paused, stopped VM", "{" + pausedAccess + "}", false, false, {}, "",
         {"Not connected", "Linux server: Stopped", "Public access paused", "(hidden)", "Reconnect public access [on]",
          "(hidden)", "Restart server\u2026 [off]", "Start server [on]"}},
        {"disconnect in flight", liveStatus, true, false, "disconnect", "",
         {"Connected to Tessaron", "Linux server: Running", "Pausing public access\u2026", "Updating server controls\u2026",
          "Pausing\u2026 [off]", "(hidden)", "Restart server\u2026 [off]", "Turn off server\u2026 [off]"}},
        {"turning off", liveStatus, true, false, "stop", "",
         {"Connected to Tessaron", "Linux server: Running", "Public access enabled", "Updating server controls\u2026",
          "Disconnect public access [off]", "(hidden)", "Restart server\u2026 [off]", "Turning off\u2026 [off]"}},
        {"starting", "{" + pausedAccess + "}", true, false, "start", "",
         {"Not connected", "Linux server: Stopped", "Public access paused", "Updating server controls\u2026",
          "Reconnect public access [off]", "(hidden)", "Restart server\u2026 [off]", "Starting\u2026 [off]"}},
        {"restart queued", withRestart("queued", now), false, false, {}, "",
         {"Connected to Tessaron", "Linux server: Running", "Public access enabled",
          "Restart queued. Waiting for your Mac.", "Disconnect public access [on]", "(hidden)",
          "Restart pending\u2026 [off]", "Turn off server\u2026 [off]"}},
        {"restart running", withRestart("running", now), false, false, {}, "",
         {"Connected to Tessaron", "Linux server: Running", "Public access enabled", "Restarting Linux\u2026",
          "Disconnect public access [on]", "(hidden)", "Restart pending\u2026 [off]", "Turn off server\u2026 [off]"}},
        {"restart succeeded recently", withRestart("succeeded", now - 299'000), false, false, {}, "old",
         {"Connected to Tessaron", "Linux server: Running", "Public access enabled", "Linux restarted. Check your apps.",
          "Disconnect public access [on]", "(hidden)", "Restart server\u2026 [on]", "Turn off server\u2026 [on]"}},
        {"restart failed recently with a reason", withRestart("failed", now - 1000, R"(,"error":"Boot timed out.")"),
         false, false, {}, "",
         {"Connected to Tessaron", "Linux server: Running", "Public access enabled", "Boot timed out.",
          "Disconnect public access [on]", "(hidden)", "Restart server\u2026 [on]", "Turn off server\u2026 [on]"}},
        {"restart failed recently without one", withRestart("cancelled", now - 1000), false, false, {}, "",
         {"Connected to Tessaron", "Linux server: Running", "Public access enabled", "The restart did not complete.",
          "Disconnect public access [on]", "(hidden)", "Restart server\u2026 [on]", "Turn off server\u2026 [on]"}},
        {"old failed restart leaves the last action's text", withRestart("failed", now - 300'000), false, false, {},
         "Linux started. Give it a moment, then check your apps.",
         {"Connected to Tessaron", "Linux server: Running", "Public access enabled",
          "Linux started. Give it a moment, then check your apps.", "Disconnect public access [on]", "(hidden)",
          "Restart server\u2026 [on]", "Turn off server\u2026 [on]"}},
        {"panel unreachable",
         R"({"paired":true,"vmState":"running","tunnelState":"connecting","agentState":"running","publishingPaused":false,)"
         R"("canRestart":true,"controlError":"The panel returned an invalid response."})",
         false, false, {}, "",
         {"Connecting to Tessaron\u2026", "Linux server: running", "Public access not confirmed",
          "The panel returned an invalid response.", "Check connection [on]", "(hidden)", "Restart server\u2026 [off]",
          "Turn off server\u2026 [off]"}},
        {"unknown tunnel state", R"({"paired":true,"vmState":"Starting","tunnelState":"dialing","agentState":"running"})",
         false, false, {}, "",
         {"Connection status unavailable", "Linux server: Starting", "Public access not confirmed", "(hidden)",
          "Check connection [on]", "(hidden)", "Restart server\u2026 [off]", "Turn off server\u2026 [off]"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::optional<MenuConnection> state = c.status.empty() ? std::nullopt : decodeConnection(c.status);
        ASSERT_EQ(state.has_value(), !c.status.empty());
        const MenuRows rows = renderMenu({state, c.busy, c.reading, c.pending, c.feedback, now});
        const std::vector<std::string> actual = {
            shown(rows.connection, false), shown(rows.server, false), shown(rows.publicAccess, false),
            shown(rows.feedback, false),   shown(rows.access),         shown(rows.keepOff),
            shown(rows.restart),           shown(rows.power)};
        EXPECT_EQ(actual, c.expected);
        for (const MenuRow* info : {&rows.connection, &rows.server, &rows.publicAccess, &rows.feedback})
            EXPECT_FALSE(info->enabled);
        EXPECT_EQ(rows.tooltip, "Tessaron \u2014 " + rows.connection.title + ". " + rows.publicAccess.title);
    }
}

TEST(MenuRows, FeedbackShowsItsFirst120Characters) {
    std::string text;
    for (int i = 0; i < 150; ++i) text += "\u00e9x";  // two characters, three bytes
    const std::optional<MenuConnection> none;
    const std::optional<std::string> noAction;
    const MenuRows rows = renderMenu({none, false, false, noAction, text, now});
    EXPECT_EQ(rows.feedback.title, text.substr(0, 60 * 3)) << "the first 120, and nothing added";
    EXPECT_TRUE(rows.feedback.visible);
}

// What a VM, a panel or a failing program says is shown as written (escaped where it would
// steer the text) and never at unbounded length: a few hundred characters and "…" on a row,
// the first 120 in the feedback, cut between whole user-visible characters.
TEST(MenuRows, OutsideTextIsShownAsWrittenAndBounded) {
    const std::string accented = "e\u0301";  // one character of two code points
    struct Case {
        const char* name;
        std::string vmState;
        std::optional<std::string> controlError;
        std::string feedback;  // the last action's
        std::string server, shownFeedback;
    };
    const std::vector<Case> cases = {
        {"ampersand, tab and direction override", "Running & ready\tnow \u202Eevil", "A&B\tC", "",
         "Linux server: Running & ready\\tnow \\u{202E}evil", "A&B\\tC"},
        {"ten kilobytes", std::string(10240, 'v'), std::string(10240, 'x'), "",
         "Linux server: " + std::string(300 - 14, 'v') + "\u2026", std::string(120, 'x')},
        {"an accent at the cut stays with its letter", "Running", std::nullopt, std::string(119, 'w') + accented + "z",
         "Linux server: Running", std::string(119, 'w') + accented},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        MenuConnection state;
        state.paired = true;
        state.vmState = c.vmState;
        state.tunnelState = "connected";
        state.agentState = "running";
        state.controlError = c.controlError;
        const std::optional<MenuConnection> known = state;
        const std::optional<std::string> noAction;
        const MenuRows rows = renderMenu({known, false, false, noAction, c.feedback, now});
        EXPECT_EQ(rows.server.title, c.server);
        EXPECT_EQ(rows.feedback.title, c.shownFeedback);
    }
}

}  // namespace
}  // namespace tessaron::menubar
