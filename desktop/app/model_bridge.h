#pragma once
// Connects the window to the DesktopModel: copies the model's fields into the view state after
// every change (coalesced into one redraw per turn of the event loop) and forwards the window's
// actions and edits to the model.
#include "app/view_state.h"
#include "app/window_actions.h"
#include "model/desktop_model.h"

#include <QObject>

namespace tessaron::desktop {

class DesktopWindow;

// The view state of the model at this moment. `dismissedCode`: a pairing code the user left the
// setup card for (the model keeps it until the next run), shown as none.
ViewState viewState(const DesktopModel& model, const QString& dismissedCode = {});

class ModelBridge : public QObject, public WindowActions {
    Q_OBJECT
public:
    explicit ModelBridge(DesktopModel& model, QObject* parent = nullptr);
    // Draws the model's state into `window` now and after every later change.
    void attach(DesktopWindow& window);

    void setCPU(int cpu) override { model_.setCpu(cpu); }
    void setMemory(int gibibytes) override { model_.setMemory(gibibytes); }
    void setControl(const std::string& address) override;
    void setOnboardingStep(OnboardingStep step) override { model_.setOnboardingStep(step); }
    void skipOnboarding() override { model_.setOnboardingSkipped(true); }
    void setResourceCPU(int cpu) override { model_.setResourceCPU(cpu); }
    void setResourceMemory(int gibibytes) override { model_.setResourceMemory(gibibytes); }
    void closeResources() override { model_.setShowResources(false); }
    void leaveSetupCard() override;

    void setup() override { model_.setup(); }
    void openConsole(bool billing) override { model_.openConsole(billing); }
    void openConsolePage(const std::string& path) override;
    void openHelp() override;
    void openURL(const std::string& url) override;
    void installToApplications() override { model_.installToApplications(); }
    void showAppInFolder() override;
    void editResources() override { model_.editResources(); }
    void applyResources(bool restart) override { model_.applyResources(restart); }
    void connect() override { model_.connect(); }
    void openTerminal() override { model_.openTerminal(); }
    void changePublicAccess() override { model_.changePublicAccess(); }
    void restartServer() override { model_.performLifecycle(QStringLiteral("restart")); }
    void power(const std::string& action) override;
    void openConnectionDetails() override { model_.openConnectionDetails(); }
    void keepPublicAccessOff() override { model_.keepPublicAccessOff(); }

private:
    void redraw();
    DesktopModel& model_;
    DesktopWindow* window_ = nullptr;
    QString dismissedCode_;
    bool pending_ = false;
};

}  // namespace tessaron::desktop
