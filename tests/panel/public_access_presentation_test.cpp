#include "panel/public_access_presentation.h"

#include <gtest/gtest.h>

namespace tessaron {
namespace {
using Action = PublicAccessPresentation::Action;

const std::string notConfirmed = "Public access not confirmed";
const std::string cantConfirm =
    "We can\u2019t confirm public access right now. Check the connection or open the web panel. Your server and files "
    "remain on your Mac.";

PublicAccessStatus status(std::string state, bool requestedPaused, bool confirmed) {
    return {std::move(state), requestedPaused, confirmed ? std::optional<double>(1765000000) : std::nullopt};
}

TEST(PublicAccessStatus, DecodesStrictlyAndNamesEveryState) {
    auto decoded = PublicAccessStatus::fromJson(json::parseObject(R"({"state":"paused","requestedPaused":true,"confirmedAt":null})"));
    EXPECT_EQ(decoded.state, "paused");
    EXPECT_TRUE(decoded.requestedPaused);
    EXPECT_FALSE(decoded.confirmedAt);
    EXPECT_TRUE(PublicAccessStatus::fromJson(json::parseObject(R"({"state":"x","requestedPaused":false,"confirmedAt":5})")).confirmedAt);
    for (const char* bad : {R"({"requestedPaused":true})", R"({"state":"paused"})", R"({"state":"paused","requestedPaused":"yes"})",
                            R"({"state":1,"requestedPaused":true})", R"({"state":"x","requestedPaused":true,"confirmedAt":"now"})"})
        EXPECT_THROW(PublicAccessStatus::fromJson(json::parseObject(bad)), json::DecodingError) << bad;

    const std::vector<std::array<std::string, 3>> table = {
        {"pausing", "Pausing public access\u2026", "Waiting for the relay to confirm. Linux and your files stay on your Mac."},
        {"paused", "Public access paused",
         "Websites, SSH and other public connections are paused. Your Linux server can keep running locally."},
        {"reconnecting", "Reconnecting public access\u2026", "Waiting for the relay to apply your change."},
        {"enabled", "Public access enabled",
         "The relay is ready to forward traffic. Your apps still need to be running in Linux."},
        {"blocked", "Public access unavailable",
         "Tessaron has not enabled public traffic. Check the connection status in the panel; this does not by itself "
         "mean there is a billing problem."},
        {"ENABLED", notConfirmed,
         "We haven\u2019t received a current confirmation from the relay. Checking automatically."},
    };
    for (const auto& [state, label, detail] : table) {
        PublicAccessStatus s{state, false, std::nullopt};
        EXPECT_EQ(s.label(), label) << state;
        EXPECT_EQ(s.detail(), detail) << state;
    }
}

TEST(PublicAccessPresentation, EveryRuleGivesItsWordingActionAndIcon) {
    struct Row {
        std::string name;
        std::optional<PublicAccessStatus> status;
        bool connected;
        bool controlAvailable;
        std::optional<std::string> pending;
        std::string label;
        std::string detail;
        Action action;
        bool isEnabled;
        std::string button;
        std::string symbol;
    };
    const auto live = status("enabled", false, true);
    const std::string enabledDetail = "The relay is ready to forward traffic. Your apps still need to be running in Linux.";
    const std::vector<Row> rows = {
        {"pending disconnect beats a live status", live, true, true, "disconnect", "Pausing public access\u2026",
         "Waiting for confirmation. Your Linux server and files stay on your Mac.", Action::wait, false,
         "Pausing\u2026", "circle.dotted"},
        {"pending connect without status", std::nullopt, false, false, "connect", "Reconnecting public access\u2026",
         "Waiting for Tessaron to confirm public access. You don\u2019t need to press connect again.", Action::wait,
         false, "Reconnecting\u2026", "circle.dotted"},
        {"no control", live, true, false, std::nullopt, notConfirmed, cantConfirm, Action::check, false,
         "Check connection", "circle.dotted"},
        {"no status", std::nullopt, true, true, std::nullopt, notConfirmed, cantConfirm, Action::check, false,
         "Check connection", "circle.dotted"},
        {"pausing", status("pausing", true, false), true, true, "restart", "Pausing public access\u2026",
         "Waiting for the relay to confirm. Linux and your files stay on your Mac.", Action::wait, false,
         "Pausing\u2026", "circle.dotted"},
        {"reconnecting", status("reconnecting", false, true), false, true, std::nullopt,
         "Reconnecting public access\u2026", "Waiting for the relay to apply your change.", Action::wait, false,
         "Reconnecting\u2026", "circle.dotted"},
        {"paused and confirmed", status("paused", true, true), true, true, std::nullopt, "Public access paused",
         "Websites, SSH and other public connections are paused. Your Linux server can keep running locally.",
         Action::connect, false, "Reconnect public access", "pause.circle.fill"},
        {"paused but not requested", status("paused", false, true), true, true, std::nullopt, notConfirmed,
         cantConfirm, Action::check, false, "Check connection", "circle.dotted"},
        {"paused without confirmation", status("paused", true, false), true, true, std::nullopt, notConfirmed,
         cantConfirm, Action::check, false, "Check connection", "circle.dotted"},
        {"live", live, true, true, std::nullopt, "Public access enabled", enabledDetail, Action::disconnect, true,
         "Disconnect public access", "checkmark.circle.fill"},
        {"live with an unknown pending action", live, true, true, "stop", "Public access enabled", enabledDetail,
         Action::disconnect, true, "Disconnect public access", "checkmark.circle.fill"},
        {"enabled but Mac not connected", live, false, true, std::nullopt, "Mac not connected",
         "Your Mac\u2019s connection is not ready. Keep Tessaron running and your Mac online. Public traffic is not "
         "confirmed from this Mac.",
         Action::check, false, "Check connection", "circle.dotted"},
        {"enabled without confirmation", status("enabled", false, false), true, true, std::nullopt, notConfirmed,
         cantConfirm, Action::check, false, "Check connection", "circle.dotted"},
        {"enabled with a pause requested", status("enabled", true, true), true, true, std::nullopt, notConfirmed,
         cantConfirm, Action::check, false, "Check connection", "circle.dotted"},
        {"blocked", status("blocked", false, true), true, true, std::nullopt, "Public access unavailable",
         "Tessaron has not enabled public traffic. Check the connection status in the panel; this does not by itself "
         "mean there is a billing problem.",
         Action::check, false, "Check connection", "circle.dotted"},
        {"capitalised state", status("Enabled", false, true), true, true, std::nullopt, notConfirmed, cantConfirm,
         Action::check, false, "Check connection", "circle.dotted"},
    };
    for (const auto& row : rows) {
        auto shown = PublicAccessPresentation::make(row.status, row.connected, row.controlAvailable, row.pending);
        EXPECT_EQ(shown.label, row.label) << row.name;
        EXPECT_EQ(shown.detail, row.detail) << row.name;
        EXPECT_EQ(shown.action, row.action) << row.name;
        EXPECT_EQ(shown.isEnabled, row.isEnabled) << row.name;
        EXPECT_EQ(shown.actionLabel(), row.button) << row.name;
        EXPECT_EQ(shown.symbol(), row.symbol) << row.name;
    }
}

}  // namespace
}  // namespace tessaron
