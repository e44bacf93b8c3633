#pragma once
// The menu bar's confirmations as modal warning boxes, Cancel first.
#include "model/menu_controller.h"

namespace tessaron::menubar {

class MessageBoxConfirmer final : public MenuConfirming {
public:
    bool confirm(const MenuAlert& alert) override;
};

}  // namespace tessaron::menubar
