#pragma once
// Named states of the window and an action recorder, for the screenshot tool and the tests: a new
// Mac, a setup run at a stage, and a paired Mac whose server runs, is stopped or has public access
// paused.
#include "app/view_state.h"
#include "app/window_actions.h"

#include <string>
#include <vector>

namespace tessaron::desktop::samples {

HardwareSupportReport appleSilicon();  // an Apple M2 Pro with 12 cores and 32 GiB
HardwareSupportReport intel();         // an Intel Mac mini

// A supported Mac in Applications, not paired yet, after its first refresh.
ViewState unpaired();
// A setup run at `stage`; `withProgress`: the panel's progress (account and profile) arrived.
ViewState setup(const std::string& stage, bool withProgress);
// A paired Mac whose server runs, connected, with public access live.
ViewState running();
ViewState stopped();
ViewState paused();
// The resource sheet open over `state`, with a reading whose VM state is `vmState` and a choice
// that differs from it.
ViewState withResources(ViewState state, const std::string& vmState);

// Records each action and edit as words ("setup", "power stop", "cpu 4").
class RecordingActions final : public WindowActions {
public:
    std::vector<std::string> calls;

    void setCPU(int cpu) override { record("cpu " + std::to_string(cpu)); }
    void setMemory(int gibibytes) override { record("memory " + std::to_string(gibibytes)); }
    void setControl(const std::string& address) override { record("control " + address); }
    void setOnboardingStep(OnboardingStep step) override;
    void skipOnboarding() override { record("skip"); }
    void setResourceCPU(int cpu) override { record("resource cpu " + std::to_string(cpu)); }
    void setResourceMemory(int gibibytes) override { record("resource memory " + std::to_string(gibibytes)); }
    void closeResources() override { record("close resources"); }
    void leaveSetupCard() override { record("leave setup"); }
    void setup() override { record("setup"); }
    void openConsole(bool billing) override { record(billing ? "console billing" : "console"); }
    void openConsolePage(const std::string& path) override { record("page " + path); }
    void openHelp() override { record("help"); }
    void openURL(const std::string& url) override { record("url " + url); }
    void installToApplications() override { record("install"); }
    void showAppInFolder() override { record("show app"); }
    void editResources() override { record("edit resources"); }
    void applyResources(bool restart) override { record(restart ? "apply restart" : "apply"); }
    void connect() override { record("connect"); }
    void openTerminal() override { record("terminal"); }
    void changePublicAccess() override { record("public access"); }
    void restartServer() override { record("restart"); }
    void power(const std::string& action) override { record("power " + action); }
    void openConnectionDetails() override { record("details"); }
    void keepPublicAccessOff() override { record("keep off"); }

private:
    void record(std::string call) { calls.push_back(std::move(call)); }
};

}  // namespace tessaron::desktop::samples
