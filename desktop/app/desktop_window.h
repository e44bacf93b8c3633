#pragma once
// The one window of the desktop application: header, banners, exactly one main card chosen from
// the state, the error line and the footer, in a scrolling column; the resource editor as a sheet
// and the confirmation alerts above it.
#include "app/view_rules.h"
#include "app/view_state.h"
#include "app/window_actions.h"
#include "app/plain_button.h"
#include "app/symbol_label.h"

#include <QWidget>

class QScrollArea;
class QLabel;

namespace tessaron::desktop {

class UpdateBanner;
class MoveBanner;
class UnsupportedBanner;
class PairingCard;
class WelcomeCard;
class OnboardingForm;
class Dashboard;
class Footer;
class ResourceSheet;
class ConfirmationAlert;
namespace style {
class PlainButton;
class SymbolLabel;
}  // namespace style

class DesktopWindow : public QWidget {
    Q_OBJECT
public:
    // `logoFile`: the header's picture; nothing is drawn when it is missing or unreadable.
    DesktopWindow(WindowActions& actions, const QString& logoFile = {}, QWidget* parent = nullptr);
    void setState(const ViewState& state);
    const ViewState& state() const { return state_; }

    rules::MainCard shownCard() const { return card_; }
    // The confirmation on screen, if any.
    ConfirmationAlert* alert() const;
    ResourceSheet* resourceSheet() const { return sheet_; }
    QScrollArea* scrollArea() const { return scroll_; }

protected:
    void paintEvent(QPaintEvent*) override;

private:
    void confirm(const rules::Confirmation& confirmation, std::function<void()> confirmed);

    WindowActions& actions_;
    ViewState state_;
    rules::MainCard card_ = rules::MainCard::none;

    QScrollArea* scroll_;
    style::PlainButton* billing_;
    UpdateBanner* update_;
    MoveBanner* move_;
    UnsupportedBanner* unsupported_;
    PairingCard* pairing_;
    WelcomeCard* welcome_;
    QWidget* welcomeRow_;
    OnboardingForm* onboarding_;
    Dashboard* dashboard_;
    style::SymbolLabel* error_;
    Footer* footer_;
    ResourceSheet* sheet_;
};

}  // namespace tessaron::desktop
