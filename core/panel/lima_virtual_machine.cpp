#include "panel/lima_virtual_machine.h"

#include "panel/resource_commands.h"

namespace tessaron {

bool LimaVirtualMachine::isStopped() {
    const std::optional<std::string> status = manager_.statusIfPresent();
    return !status || lima_text::lowercased(*status) == "stopped";
}

ResourceObservation LimaVirtualMachine::resourceObservation() {
    const VMResourceState state = manager_.resources();
    return ResourceChange::observation(state.state, state.allocation, [this] { return manager_.bootID(); });
}

ResourceObservation LimaVirtualMachine::applyResources(const ResourceCommand& command) {
    return ResourceChange::apply(
        command, [this] { return resourceObservation(); },
        [this](const ResourceAllocation& allocation, const HostCapacity& host, bool allowRestart) {
            manager_.resize(allocation, host, allowRestart);
        });
}

}  // namespace tessaron
