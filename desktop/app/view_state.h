#pragma once
// What the window draws, as one plain value: the model's fields and getters that the views read,
// copied out of the model on every change (model_bridge) or written by hand in tests and in the
// screenshot tool. The views never read anything else.
#include "host/hardware_support.h"
#include "host/resource_policy.h"
#include "model/desktop_readers.h"
#include "panel/onboarding_presentation.h"
#include "panel/public_access_presentation.h"
#include "panel/setup_records.h"

#include <optional>
#include <string>

namespace tessaron::desktop {

struct ViewState {
    // Onboarding form.
    int cpu = 2;
    int memory = 4;
    std::string control;
    bool durablyInstalled = true;
    OnboardingStep onboardingStep = OnboardingStep::account;
    bool onboardingSkipped = false;

    // Update and move banners.
    std::optional<std::string> latestVersion;
    std::optional<std::string> latestDownloadURL;
    std::string appVersion = "unknown";
    bool movingApp = false;
    std::string moveError;
    std::optional<std::string> installedCopy;
    bool isTranslocated = false;
    std::string bundleFolder;  // the folder that holds the running bundle

    // The VM.
    std::string vmStatus = "Checking this Mac\u2026";
    std::string allocation;
    std::optional<int> allocatedCPU;
    std::optional<double> allocatedMemoryGiB;
    bool paired = false;
    bool vmExists = false;
    bool running = false;
    bool settingUp = false;

    // Resource editor.
    bool showResources = false;
    bool loadingResources = false;
    bool resizingResources = false;
    std::optional<DesktopResources> resources;
    int resourceCPU = 2;
    int resourceMemory = 2;
    std::string resourceError;
    bool resourcesChanged = false;

    // Connection and server controls.
    std::string connection = "Checking connection\u2026";
    std::string tunnelState = "unknown";
    std::string serverState = "Unknown";
    std::string agentState = "unknown";
    bool checkingConnection = false;
    std::string connectionDetail;
    std::optional<bool> publishingPaused;
    PublicAccessPresentation accessPresentation{"Public access not confirmed", "", PublicAccessPresentation::Action::check,
                                                false};
    bool canRestartServer = false;
    bool refreshingAccess = false;
    std::string lifecycleNote;
    std::string lifecycleError;
    bool restartPending = false;
    std::string restartMessage;
    std::string powerLabel = "Turn off server";
    bool canPowerServer = false;
    bool canKeepAccessOff = false;
    bool resourceActionsBusy = false;
    bool canConnect = false;

    // Setup run.
    std::string pairingCode;
    std::string setupStage = "unknown";
    std::optional<SetupProgress> setupSnapshot;
    bool showingSetup = false;

    std::string log;
    std::string error;

    // This Mac.
    HostCapacity capacity;
    HardwareSupportReport support;
    std::string hostName;  // the Mac's name; empty when the system gives none
};

}  // namespace tessaron::desktop
