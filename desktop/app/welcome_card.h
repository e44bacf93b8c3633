#pragma once
// The first-run card: four short steps (what this is, an account, signing in, connecting this
// Mac) that end by starting setup. The step lives in the model; the card only keeps whether the
// browser was just opened from the current step.
#include "app/style.h"
#include "app/view_state.h"
#include "app/window_actions.h"
#include "app/tessaron_button.h"
#include "app/plain_button.h"
#include "app/surface.h"
#include "app/machine_badge.h"

class QVBoxLayout;

namespace tessaron::desktop {

class WelcomeCard : public style::Surface {
    Q_OBJECT
public:
    WelcomeCard(WindowActions& actions, QWidget* parent = nullptr);
    void render(const ViewState& state);
    bool opened() const { return opened_; }

private:
    void mainPressed();
    void secondaryPressed();
    void moveTo(OnboardingStep step, bool opened);
    void rebuildPoints(const OnboardingPresentation& presentation);

    WindowActions& actions_;
    OnboardingStep step_ = OnboardingStep::account;
    bool opened_ = false;
    bool installed_ = true;
    bool busy_ = false;
    std::optional<OnboardingStep> pointsFor_;

    style::MachineBadge* badge_;
    QLabel* stepLine_;
    QLabel* title_;
    QLabel* detail_;
    style::Surface* points_;
    QVBoxLayout* pointRows_;
    style::Surface* requirements_;
    style::TessaronButton* main_;
    style::TessaronButton* secondary_;
    style::PlainButton* back_;
};

}  // namespace tessaron::desktop
