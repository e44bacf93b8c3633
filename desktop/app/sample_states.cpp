#include "app/sample_states.h"

namespace tessaron::desktop::samples {

HardwareSupportReport appleSilicon() {
    return HardwareSupport::evaluate({"arm64", "Apple M2 Pro", "Mac14,12", 12, 32ull << 30, 14});
}

HardwareSupportReport intel() {
    return HardwareSupport::evaluate({"x86_64", "Intel(R) Core(TM) i7-8700B CPU @ 3.20GHz", "Macmini8,1", 12, 8ull << 30, 13});
}

ViewState unpaired() {
    ViewState state;
    state.capacity = {12, 32ull << 30};
    state.support = appleSilicon();
    state.cpu = 6;
    state.memory = 16;
    state.control = "https://panel.tessaron.invalid";
    state.vmStatus = "Not created yet";
    state.connection = "Not connected";
    state.tunnelState = "not-configured";
    state.hostName = "Studio Mac";
    state.appVersion = "0.1.0";
    return state;
}

ViewState setup(const std::string& stage, bool withProgress) {
    ViewState state = unpaired();
    state.showingSetup = true;
    state.settingUp = stage != "failed" && stage != "complete";
    state.running = state.settingUp;
    state.setupStage = stage;
    state.pairingCode = stage == "awaiting_account" ? "KQ7M-24XD" : "";
    if (withProgress) {
        SetupProgress progress;
        progress.stage = stage;
        progress.accountEmail = "ada@example.com";
        progress.profile = SetupProfile{"Studio Mac", "Apple M2 Pro", 6, 16};
        state.setupSnapshot = progress;
    }
    state.log = "Waiting for approval in the web panel\u2026\n";
    return state;
}

ViewState running() {
    ViewState state = unpaired();
    state.paired = true;
    state.vmExists = true;
    state.vmStatus = "Running";
    state.allocation = "6 CPUs \u00B7 16 GiB RAM";
    state.allocatedCPU = 6;
    state.allocatedMemoryGiB = 16;
    state.connection = "Connected";
    state.tunnelState = "connected";
    state.agentState = "running";
    state.serverState = "Running";
    state.publishingPaused = false;
    state.canRestartServer = true;
    state.canPowerServer = true;
    state.powerLabel = "Turn off server";
    state.accessPresentation = PublicAccessPresentation::make(PublicAccessStatus{"enabled", false, 1.7e9}, true, true, {});
    state.log = "Connected over WireGuard.\nPublic access enabled.\n";
    return state;
}

ViewState stopped() {
    ViewState state = running();
    state.vmStatus = "Stopped";
    state.serverState = "Stopped";
    state.powerLabel = "Start server";
    state.connection = "Offline";
    state.tunnelState = "offline";
    state.agentState = "stopped";
    state.canConnect = true;
    state.canRestartServer = false;
    state.accessPresentation = PublicAccessPresentation::make(std::nullopt, false, true, {});
    return state;
}

ViewState paused() {
    ViewState state = running();
    state.publishingPaused = true;
    state.accessPresentation = PublicAccessPresentation::make(PublicAccessStatus{"paused", true, 1.7e9}, true, true, {});
    return state;
}

ViewState withResources(ViewState state, const std::string& vmState) {
    state.showResources = true;
    state.resources = DesktopResources{6, 16, vmState, {1, 10, 2, 24}};
    state.resourceCPU = 8;
    state.resourceMemory = 16;
    state.resourcesChanged = true;
    return state;
}

void RecordingActions::setOnboardingStep(OnboardingStep step) {
    record("step " + std::string(onboarding_step::rawValue(step)));
}

}  // namespace tessaron::desktop::samples
