#pragma once
// The end of every screen: the "Connection details" disclosure with the activity log, the hosting
// note and the link to the help pages.
#include "app/style.h"
#include "app/view_state.h"
#include "app/window_actions.h"
#include "app/surface.h"
#include "app/disclosure.h"

class QPlainTextEdit;

namespace tessaron::desktop {

class Footer : public QWidget {
    Q_OBJECT
public:
    Footer(WindowActions& actions, QWidget* parent = nullptr);
    void render(const ViewState& state);
    style::Disclosure* details() const { return details_; }

private:
    void showDetails(bool open);
    std::string detailText_;
    std::string logText_;

    style::Disclosure* details_;
    QLabel* detail_;
    style::Surface* logBox_;
    QPlainTextEdit* log_;
    QLabel* background_;
    QLabel* hosting_;
};

}  // namespace tessaron::desktop
