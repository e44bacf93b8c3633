// The two step-by-step changes of a running system: the guarded restart and the resize.
// Both re-read the VM through limactl after every step and stop with a message when it
// is not what they expect; the resize also undoes its own change when a later step fails.

#include "host/lima_manager.h"

#include <charconv>
#include <exception>

namespace tessaron {
namespace {

constexpr const char* changedState = "The server changed state since this restart was requested. It was not restarted again.";

bool isState(const std::string& state, const char* expected) { return lima_text::lowercased(state) == expected; }

}  // namespace

std::string LimaManager::memoryGiBText(std::uint64_t memoryBytes) {
    const double gib = static_cast<double>(memoryBytes) / static_cast<double>(1ULL << 30);
    char buffer[64];
    const auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, gib, std::chars_format::fixed);
    std::string text = error == std::errc() ? std::string(buffer, end) : std::to_string(gib);
    if (text.find('.') == std::string::npos) text += ".0";
    return text;
}

void LimaManager::editResources(const ResourceAllocation& allocation) {
    checkedRun({"edit", "--yes", "--cpus", std::to_string(allocation.virtualCPUCount), "--memory",
                memoryGiBText(allocation.memoryBytes), instanceName_});
}

std::string LimaManager::restart(const std::string& expectedBootID) {
    if (!isState(status(), "running") || bootID() != expectedBootID)
        throw LimaManagerError::commandFailed(changedState);

    checkedRun({"stop", "--yes", instanceName_});
    if (!isState(status(), "stopped"))
        throw LimaManagerError::commandFailed("The server did not stop cleanly. It was not force-stopped.");

    checkedRun({"start", "--yes", instanceName_});
    if (!isState(status(), "running"))
        throw LimaManagerError::commandFailed("The server has not reached its running state.");

    std::string newBootID = bootID();
    if (newBootID == expectedBootID) throw LimaManagerError::commandFailed("A new Linux boot could not be verified.");
    return newBootID;
}

VMResourceState LimaManager::resize(const ResourceAllocation& to, const HostCapacity& host, bool allowRestart) {
    const ResourceAllocation target = ResourcePolicy::validatedAllocation(to.virtualCPUCount, to.memoryBytes, host);

    const VMResourceState initial = resources();
    const bool running = isState(initial.state, "running");
    if (!running && !isState(initial.state, "stopped"))
        throw LimaManagerError::commandFailed("The VM is " + initial.state +
                                              ". Wait until it is running or stopped before changing resources.");
    if (initial.allocation == target) return VMResourceState{initial.state, target};
    if (running && !allowRestart) throw LimaManagerError::restartRequired();

    const bool wasRunning = running;
    if (wasRunning) checkedRun({"stop", "--yes", instanceName_});
    if (!isState(resources().state, "stopped"))
        throw LimaManagerError::commandFailed("The VM did not stop cleanly. No resource edit was attempted.");

    // From here on a failure is undone before it is reported.
    std::string changeFailure;
    try {
        editResources(target);
        if (resources().allocation != target)
            throw LimaManagerError::commandFailed("The VM configuration did not retain the selected CPU and RAM.");
        if (wasRunning) checkedRun({"start", "--yes", instanceName_});
        VMResourceState final = resources();
        if (final.allocation == target && isState(final.state, wasRunning ? "running" : "stopped")) return final;
        throw LimaManagerError::commandFailed("The VM did not reach its expected state after changing resources.");
    } catch (const std::exception& error) {
        changeFailure = error.what();
    }

    try {
        if (isState(resources().state, "running")) checkedRun({"stop", "--yes", instanceName_});
        if (!isState(resources().state, "stopped"))
            throw LimaManagerError::commandFailed("The VM must stop cleanly before its old allocation can be restored.");
        editResources(initial.allocation);
        if (wasRunning) checkedRun({"start", "--yes", instanceName_});
        const VMResourceState restored = resources();
        if (restored.allocation != initial.allocation ||
            lima_text::lowercased(restored.state) != lima_text::lowercased(initial.state))
            throw LimaManagerError::commandFailed("Could not verify the original VM state.");
    } catch (const std::exception& error) {
        throw LimaManagerError::commandFailed("Resource change failed: " + changeFailure + " Recovery also failed: " +
                                              error.what() + " Your VM was not deleted; inspect its state before retrying.");
    }
    throw LimaManagerError::commandFailed("Resource change failed: " + changeFailure +
                                          " The previous CPU/RAM and running state were restored.");
}

}  // namespace tessaron
