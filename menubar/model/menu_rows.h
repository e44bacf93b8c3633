#pragma once
// The menu's rows as one pure function of what the menu bar knows: the last status read,
// whether an action or a read is running, the action in flight and the last action's
// result. The tray applies the result to its items; tests check it without a display.

#include "model/menu_payloads.h"

#include <optional>
#include <string>

namespace tessaron::menubar {

struct MenuRow {
    std::string title;  // as shown: escaped and bounded (renderMenu)
    bool enabled = false;
    bool visible = true;
    bool operator==(const MenuRow&) const = default;
};

struct MenuInputs {
    const std::optional<MenuConnection>& state;
    bool busy = false;     // an action command is running
    bool reading = false;  // a status read is running
    const std::optional<std::string>& pendingAction;  // "connect", "disconnect", "restart", "start", "stop"
    const std::string& feedback;  // the last action's result
    double nowMilliseconds = 0;   // since 1970; a finished restart is reported for five minutes
};

struct MenuRows {
    // Information rows, always disabled.
    MenuRow connection, server, publicAccess, feedback;
    // Action rows.
    MenuRow access, keepOff, restart, power;
    PublicAccessPresentation::Action accessAction = PublicAccessPresentation::Action::check;
    std::string tooltip;  // also the icon's accessible name
    bool operator==(const MenuRows&) const = default;
};

// The feedback row shows this many user-visible characters of its text at most, with no mark
// where it stops.
inline constexpr int feedbackCharacters = 120;

// What the menu shows before the first read has begun.
MenuRows initialMenuRows();

// The access presentation the rows follow.
PublicAccessPresentation accessPresentation(const std::optional<MenuConnection>& state,
                                            const std::optional<std::string>& pendingAction);

MenuRows renderMenu(const MenuInputs& inputs);

}  // namespace tessaron::menubar
