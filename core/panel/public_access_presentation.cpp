#include "panel/public_access_presentation.h"

namespace tessaron {
namespace {

constexpr const char* notConfirmedLabel = "Public access not confirmed";
constexpr const char* notConfirmedDetail =
    "We can\u2019t confirm public access right now. Check the connection or open the web panel. Your server and files "
    "remain on your Mac.";

PublicAccessPresentation notConfirmed() {
    return {notConfirmedLabel, notConfirmedDetail, PublicAccessPresentation::Action::check, false};
}

PublicAccessPresentation fromStatus(const PublicAccessStatus& status, PublicAccessPresentation::Action action,
                                    bool isEnabled = false) {
    return {status.label(), status.detail(), action, isEnabled};
}

}  // namespace

PublicAccessStatus PublicAccessStatus::fromJson(const json::Json& object) {
    json::requireObject(object, "publicAccess");
    return {json::string(object, "state"), json::boolean(object, "requestedPaused"),
            json::optionalNumber(object, "confirmedAt")};
}

std::string PublicAccessStatus::label() const {
    if (state == "pausing") return "Pausing public access\u2026";
    if (state == "paused") return "Public access paused";
    if (state == "reconnecting") return "Reconnecting public access\u2026";
    if (state == "enabled") return "Public access enabled";
    if (state == "blocked") return "Public access unavailable";
    return notConfirmedLabel;
}

std::string PublicAccessStatus::detail() const {
    if (state == "pausing") return "Waiting for the relay to confirm. Linux and your files stay on your Mac.";
    if (state == "paused")
        return "Websites, SSH and other public connections are paused. Your Linux server can keep running locally.";
    if (state == "reconnecting") return "Waiting for the relay to apply your change.";
    if (state == "enabled")
        return "The relay is ready to forward traffic. Your apps still need to be running in Linux.";
    if (state == "blocked")
        return "Tessaron has not enabled public traffic. Check the connection status in the panel; this does not by "
               "itself mean there is a billing problem.";
    return "We haven\u2019t received a current confirmation from the relay. Checking automatically.";
}

PublicAccessPresentation PublicAccessPresentation::make(const std::optional<PublicAccessStatus>& status, bool connected,
                                                        bool controlAvailable,
                                                        const std::optional<std::string>& pendingAction) {
    if (pendingAction == "disconnect")
        return {"Pausing public access\u2026",
                "Waiting for confirmation. Your Linux server and files stay on your Mac.", Action::wait, false};
    if (pendingAction == "connect")
        return {"Reconnecting public access\u2026",
                "Waiting for Tessaron to confirm public access. You don\u2019t need to press connect again.",
                Action::wait, false};
    if (!controlAvailable || !status) return notConfirmed();

    const std::string& state = status->state;
    const bool confirmed = status->confirmedAt.has_value();
    if (state == "pausing" || state == "reconnecting") return fromStatus(*status, Action::wait);
    if (state == "paused") {
        if (status->requestedPaused && confirmed) return fromStatus(*status, Action::connect);
        return notConfirmed();
    }
    if (state == "enabled") {
        if (status->requestedPaused || !confirmed) return notConfirmed();
        if (connected) return fromStatus(*status, Action::disconnect, true);
        return {"Mac not connected",
                "Your Mac\u2019s connection is not ready. Keep Tessaron running and your Mac online. Public traffic is "
                "not confirmed from this Mac.",
                Action::check, false};
    }
    if (state == "blocked") return fromStatus(*status, Action::check);
    return notConfirmed();
}

std::string PublicAccessPresentation::actionLabel() const {
    switch (action) {
    case Action::disconnect: return "Disconnect public access";
    case Action::connect: return "Reconnect public access";
    case Action::check: return "Check connection";
    case Action::wait: return label.rfind("Pausing", 0) == 0 ? "Pausing\u2026" : "Reconnecting\u2026";
    }
    return "Check connection";
}

std::string PublicAccessPresentation::symbol() const {
    if (isEnabled) return "checkmark.circle.fill";
    if (action == Action::connect) return "pause.circle.fill";
    return "circle.dotted";
}

}  // namespace tessaron
