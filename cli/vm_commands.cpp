#include "cli/vm_commands.h"

#include "cli/cli_options.h"
#include "cli/control_plane_loop.h"
#include "cli/output.h"
#include "cli/vm_resource_lock.h"
#include "host/resource_policy.h"
#include "panel/receipt_store.h"

#include <algorithm>
#include <unistd.h>

namespace tessaron::cli {

namespace {

void recordPowerIntent(const std::string& desired) {
    try {
        auto store = VMPowerIntentFileStore::forThisMac();
        store.save(VMPowerIntent{desired, control_plane::secondsSince1970()});
    } catch (...) {
        // The wish is advisory: the command itself still runs.
    }
}

std::string lowercased(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : char(c); });
    return text;
}

}  // namespace

void printResources(const VMResourceState& state) {
    const ResourceBounds limits = ResourcePolicy::bounds(HostCapacity::current());
    constexpr std::uint64_t gib = ResourcePolicy::gibibyte;
    const json::Json report = {
        {"bounds",
         {{"maxCPU", limits.maximum.virtualCPUCount},
          {"maxMemoryGiB", limits.maximum.memoryBytes / gib},
          {"minCPU", limits.minimum.virtualCPUCount},
          {"minMemoryGiB", limits.minimum.memoryBytes / gib}}},
        {"cpu", state.allocation.virtualCPUCount},
        {"memoryGiB", static_cast<double>(state.allocation.memoryBytes) / static_cast<double>(gib)},
        {"state", state.state},
    };
    printJSON(report);
}

void runVM(const std::vector<std::string>& arguments) {
    if (arguments.empty()) {
        throw CLIError::pairing("Use `tessaron vm start`, `stop`, `status`, `shell`, `resources`, `listeners`, or `resize`.");
    }
    const std::string& action = arguments.front();
    const std::vector<std::string> rest(arguments.begin() + 1, arguments.end());
    const CLIOptions options(rest);
    const auto limactl = options.values.find("limactl");
    const std::string executable =
        limactl != options.values.end() && !limactl->second.empty() ? limactl->second : LimaManager::defaultExecutable();
    LimaManager vm(LimaManager::defaultInstanceName, executable);

    if (action == "start" || action == "stop") {
        recordPowerIntent(action == "start" ? "running" : "stopped");
        VMResourceLockHold lock(/*exclusive=*/true, /*create=*/true);
        if (action == "start") {
            vm.start();
        } else {
            vm.stop();
        }
        return;
    }
    if (action == "status") {
        printLine(vm.status());
        return;
    }
    if (action == "shell") {
        vm.shell(rest);
        return;
    }
    if (action == "resources") {
        printResources(vm.resources());
        return;
    }
    if (action == "listeners") {
        VMResourceLockHold lock(/*exclusive=*/false, /*create=*/true);
        if (lowercased(vm.status()) != "running") {
            throw CLIError::pairing("Your Linux server is not running. Start it to check its app list.");
        }
        const std::string report = vm.listeningPorts();
        lock.release();
        printLine(replacingInvalidUTF8(report));
        return;
    }
    if (action == "resize") {
        const std::string cpu = options.value("cpus");
        const std::string memory = options.value("memory-gib");
        const ResourceAllocation target = ResourcePolicy::selectedAllocation(cpu, memory, HostCapacity::current());
        if (options.values.count("restart")) throw CLIError::invalidOption("restart", "is a flag, without a value.");
        VMResourceLockHold lock(/*exclusive=*/true, /*create=*/true);
        const VMResourceState result = vm.resize(target, HostCapacity::current(), options.hasFlag("restart"));
        lock.release();
        printResources(result);
        return;
    }
    throw CLIError::pairing("Unknown VM action `" + escapedForTerminal(action) + "`. ");
}

}  // namespace tessaron::cli
