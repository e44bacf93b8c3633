#pragma once
// The card shown while a setup run is on screen or a pairing code is known: the stage, the code
// to match in the web panel, the Mac being linked, the four setup steps and the next action.
#include "app/style.h"
#include "app/view_state.h"
#include "app/window_actions.h"
#include "app/spinner.h"
#include "app/tessaron_button.h"
#include "app/plain_button.h"
#include "app/surface.h"
#include "app/machine_badge.h"

#include <array>

namespace tessaron::desktop {

class PairingCard : public style::Surface {
    Q_OBJECT
public:
    PairingCard(WindowActions& actions, QWidget* parent = nullptr);
    void render(const ViewState& state);

private:
    struct StepColumn {
        QWidget* column;
        QLabel* circle;
        style::Spinner* spinner;
        QLabel* title;
    };

    std::string code_;
    bool copied_ = false;

    QWidget* account_;
    QLabel* email_;
    style::MachineBadge* badge_;
    QLabel* title_;
    QLabel* detail_;
    QLabel* machineName_;
    QLabel* machineSummary_;
    QWidget* codeBox_;
    QLabel* code_label_;
    style::PlainButton* copy_;
    std::array<StepColumn, 4> steps_;
    QWidget* openPanelActions_;
    QLabel* waitingLine_;
    style::TessaronButton* resume_;
    QWidget* completeActions_;
    QWidget* help_;
};

}  // namespace tessaron::desktop
