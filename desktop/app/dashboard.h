#pragma once
// The card of a paired Mac: the server and its public access, its CPUs and memory, the connection
// action, the AI assistant, the web panel and Terminal, and the lifecycle row (public access,
// restart, power) with its explanation.
#include "app/style.h"
#include "app/view_rules.h"
#include "app/view_state.h"
#include "app/window_actions.h"
#include "app/tessaron_button.h"
#include "app/plain_button.h"
#include "app/surface.h"
#include "app/symbol_label.h"
#include "app/fitting_label.h"

#include <functional>

namespace tessaron::desktop {

class Dashboard : public style::Surface {
    Q_OBJECT
public:
    // `confirm` shows a confirmation and runs its second argument when the user confirms.
    using Confirm = std::function<void(const rules::Confirmation&, std::function<void()>)>;
    Dashboard(WindowActions& actions, Confirm confirm, QWidget* parent = nullptr);
    void render(const ViewState& state);

private:
    QWidget* metric(style::FittingLabel*& value, const std::string& title, std::string_view icon);

    WindowActions& actions_;
    Confirm confirm_;
    bool powerAsks_ = true;

    QLabel* subtitle_;
    style::Surface* pill_;
    style::SymbolLabel* pillLabel_;
    style::PlainButton* edit_;
    style::FittingLabel* cpu_;
    style::FittingLabel* memory_;
    style::FittingLabel* server_;
    QWidget* connection_;
    style::TessaronButton* connect_;
    QLabel* connectionDetail_;
    style::TessaronButton* ai_;
    style::TessaronButton* panel_;
    style::TessaronButton* terminal_;

    style::PlainButton* access_;
    style::PlainButton* restart_;
    style::PlainButton* power_;
    QLabel* explanation_;
    QWidget* links_;
    style::PlainButton* keepOff_;
};

}  // namespace tessaron::desktop
