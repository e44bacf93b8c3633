#pragma once
// The banners above the main card: a newer release, a copy that is not in Applications, and a Mac
// that cannot host a server.
#include "app/style.h"
#include "app/view_state.h"
#include "app/window_actions.h"
#include "app/tessaron_button.h"
#include "app/surface.h"
#include "app/symbol_label.h"

#include <QWidget>

class QVBoxLayout;

namespace tessaron::desktop {

class UpdateBanner : public style::Surface {
    Q_OBJECT
public:
    UpdateBanner(WindowActions& actions, QWidget* parent = nullptr);
    void render(const ViewState& state);

private:
    QLabel* text_;
    style::TessaronButton* download_;
    std::optional<std::string> url_;
};

class MoveBanner : public style::Surface {
    Q_OBJECT
public:
    MoveBanner(WindowActions& actions, QWidget* parent = nullptr);
    void render(const ViewState& state);

private:
    QLabel* explanation_;
    QLabel* error_;
    QLabel* note_;
    style::TessaronButton* move_;
    style::TessaronButton* show_;
};

class UnsupportedBanner : public style::Surface {
    Q_OBJECT
public:
    UnsupportedBanner(WindowActions& actions, QWidget* parent = nullptr);
    void render(const ViewState& state);

private:
    style::SymbolLabel* title_;
    QVBoxLayout* rejections_;
    std::vector<HardwareRejection> shown_;
};

}  // namespace tessaron::desktop
