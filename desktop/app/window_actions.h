#pragma once
// Everything the window can ask of the model: its actions and the fields the user edits. The
// program forwards these to the DesktopModel (model_bridge); tests record them.
#include "panel/onboarding_presentation.h"

#include <string>

namespace tessaron::desktop {

class WindowActions {
public:
    virtual ~WindowActions() = default;

    // Edited fields.
    virtual void setCPU(int cpu) = 0;
    virtual void setMemory(int gibibytes) = 0;
    virtual void setControl(const std::string& address) = 0;
    virtual void setOnboardingStep(OnboardingStep step) = 0;
    virtual void skipOnboarding() = 0;  // also remembered across launches
    virtual void setResourceCPU(int cpu) = 0;
    virtual void setResourceMemory(int gibibytes) = 0;
    virtual void closeResources() = 0;
    virtual void leaveSetupCard() = 0;  // the setup card's "Continue manually" after opening the panel

    // Actions.
    virtual void setup() = 0;
    virtual void openConsole(bool billing) = 0;
    virtual void openConsolePage(const std::string& path) = 0;  // a page under the panel's address
    virtual void openHelp() = 0;                                 // the help pages of the default panel
    virtual void openURL(const std::string& url) = 0;
    virtual void installToApplications() = 0;
    virtual void showAppInFolder() = 0;
    virtual void editResources() = 0;
    virtual void applyResources(bool restart) = 0;
    virtual void connect() = 0;
    virtual void openTerminal() = 0;
    virtual void changePublicAccess() = 0;
    virtual void restartServer() = 0;
    virtual void power(const std::string& action) = 0;  // "start" or "stop"
    virtual void openConnectionDetails() = 0;
    virtual void keepPublicAccessOff() = 0;
};

}  // namespace tessaron::desktop
