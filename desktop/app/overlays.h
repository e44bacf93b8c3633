#pragma once
// What the window shows above its content: the resource editor as a sheet and the confirmation
// alerts. Both cover the window, dim it and take its input until they close: the mouse, and the
// keyboard too (Tab cycles through the top overlay's own controls, focus never rests behind it,
// and it goes back where it was when the overlay closes).
#include "app/style.h"
#include "app/view_rules.h"
#include "app/view_state.h"
#include "app/window_actions.h"
#include "app/tessaron_button.h"
#include "app/surface.h"
#include "app/stepper.h"

#include <QPointer>

#include <functional>

class QVBoxLayout;

namespace tessaron::desktop {

class Overlay : public QWidget {
    Q_OBJECT
public:
    // `topAligned`: the panel hangs from the top edge, as a sheet does; otherwise it is centred.
    Overlay(QWidget* window, int panelWidth, bool topAligned);
    style::Surface* panel() const { return panel_; }
    void present();
    void reposition();  // covers the window again and places the panel
    // The overlay on top among those that `window` shows, if any.
    static Overlay* topmost(QWidget* window);

signals:
    void escapePressed();
    void returnPressed();  // unless the focused control took it

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void paintEvent(QPaintEvent*) override;
    void keyPressEvent(QKeyEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    bool focusNextPrevChild(bool next) override;

private:
    // Keeps the keyboard focus inside the top overlay while it shows.
    void holdFocus(QWidget* now);
    // The overlay's controls that Tab reaches, in focus order.
    QList<QWidget*> tabStops() const;

    style::Surface* panel_;
    bool topAligned_;
    QPointer<QWidget> previousFocus_;  // where the focus was when the overlay came up
};

// A two-button confirmation, the cancel button first.
class ConfirmationAlert : public Overlay {
    Q_OBJECT
public:
    ConfirmationAlert(QWidget* window, const rules::Confirmation& confirmation, std::function<void()> confirmed);
    QAbstractButton* cancelButton() const { return cancel_; }
    QAbstractButton* confirmButton() const { return confirm_; }

private:
    QAbstractButton* cancel_;
    QAbstractButton* confirm_;
};

// The resource editor sheet, shown while the model's showResources is set.
class ResourceSheet : public Overlay {
    Q_OBJECT
public:
    using Confirm = std::function<void(const rules::Confirmation&, std::function<void()>)>;
    ResourceSheet(QWidget* window, WindowActions& actions, Confirm confirm);
    void render(const ViewState& state);

private:
    WindowActions& actions_;
    Confirm confirm_;
    bool closeEnabled_ = true;
    bool applyAsks_ = false;
    int chosenCPU_ = 0;
    int chosenMemory_ = 0;

    QPushButton* close_;
    QWidget* loading_;
    QWidget* editor_;
    QLabel* summary_;
    style::Stepper* cpu_;
    style::Stepper* memory_;
    QLabel* limits_;
    QLabel* custom_;
    QLabel* consequence_;
    style::TessaronButton* apply_;
    QWidget* errorRow_;
    QLabel* error_;
    QPushButton* tryAgain_;
};

}  // namespace tessaron::desktop
