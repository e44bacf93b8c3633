#pragma once
// The one Lima VM as the remote-command executors see it: LimaManager behind the
// executors' VM interfaces. The host layer knows nothing of the panel's commands; this
// adapter is where the two meet. It holds a reference to the manager it was given and
// takes no lock: its callers hold the VM resource lock (shared to observe, exclusive
// to change).

#include "host/lima_manager.h"
#include "panel/vm_protocols.h"

namespace tessaron {

class LimaVirtualMachine final : public RestartVirtualMachine, public ResourceVirtualMachine {
public:
    explicit LimaVirtualMachine(LimaManager& manager) : manager_(manager) {}

    // The manager's own operations.
    std::string bootID() override { return manager_.bootID(); }
    std::string restart(const std::string& expectedBootID) override { return manager_.restart(expectedBootID); }
    void stop() override { manager_.stop(); }
    void start() override { manager_.start(); }
    // Listed as "Stopped", or not listed.
    bool isStopped() override;

    // The VM's size and state ("Running"/"Stopped"), with the boot identity while it
    // runs; any other state is a LifecycleFailure.
    ResourceObservation resourceObservation() override;
    // Checks that the VM still equals `command.before`, validates the request against
    // this Mac, resizes (restarting exactly when the VM was running then) and returns
    // the observation afterwards.
    ResourceObservation applyResources(const ResourceCommand& command) override;

private:
    LimaManager& manager_;
};

}  // namespace tessaron
