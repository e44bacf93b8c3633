#pragma once
// The form for a Mac that is not paired yet, once the welcome card was skipped: the new server's
// CPUs and memory (or the existing server's), what happens next, the panel's address, and the one
// button that starts setup.
#include "app/style.h"
#include "app/view_state.h"
#include "app/window_actions.h"
#include "app/tessaron_button.h"
#include "app/surface.h"
#include "app/disclosure.h"
#include "app/stepper.h"
#include "app/symbol_label.h"

class QLineEdit;

namespace tessaron::desktop {

class OnboardingForm : public style::Surface {
    Q_OBJECT
public:
    OnboardingForm(WindowActions& actions, QWidget* parent = nullptr);
    void render(const ViewState& state);

private:
    QLabel* title_;
    QLabel* subtitle_;
    style::SymbolLabel* chip_;
    QLabel* capacity_;
    QWidget* existing_;
    QLabel* allocation_;
    QPushButton* edit_;
    QWidget* newServer_;
    style::Stepper* cpu_;
    style::Stepper* memory_;
    QLabel* nextTitle_;
    QLabel* nextDetail_;
    QLabel* diskNote_;
    style::TessaronButton* setup_;
    style::Disclosure* advanced_;
    QLineEdit* address_;
};

}  // namespace tessaron::desktop
