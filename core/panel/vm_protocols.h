#pragma once
// What the remote-command executors need of the VM, as abstract interfaces, so that
// they can run against LimaManager in the helper and against fakes in tests.
//
// Every operation is synchronous: it blocks the caller until the VM has done what was
// asked, and reports failure by throwing (a tessaron::Error whose text is the user
// sentence). The executors take no lock of their own; their callers hold the VM
// resource lock around every call.

#include <cstdint>
#include <optional>
#include <string>

namespace tessaron {

// What the Mac reports about its VM for a resource change: its size, whether it runs,
// and, while it runs, the guest's boot identifier.
struct ResourceObservation {
    std::int64_t cpu = 0;        // virtual CPUs
    std::int64_t memoryMiB = 0;  // memory in MiB (bytes >> 20)
    std::string vmState;         // "Running" or "Stopped"
    std::optional<std::string> bootId;  // present only while the guest runs

    bool operator==(const ResourceObservation&) const = default;
};

// One resource-change request of the panel: the wanted size and the observation the
// request was based on.
struct ResourceCommand {
    std::string id;
    std::string status;  // the panel's state of the request: "queued", "running", ...
    std::int64_t cpu = 0;
    std::int64_t memoryMiB = 0;
    ResourceObservation before;

    bool operator==(const ResourceCommand&) const = default;
};

// The VM as the restart executor drives it.
class RestartVirtualMachine {
public:
    virtual ~RestartVirtualMachine() = default;

    // The guest's current boot ID (a UUID text). Throws when it cannot be read, in
    // particular when the VM is not running.
    virtual std::string bootID() = 0;

    // Restarts the VM only if it still runs in the boot `expectedBootID`, and returns the
    // new boot ID after checking that it differs from the old one. Throws otherwise.
    virtual std::string restart(const std::string& expectedBootID) = 0;

    // Stops the VM.
    virtual void stop() = 0;

    // Starts the VM.
    virtual void start() = 0;

    // Whether the VM is stopped, as the VM manager lists it: stopped, or not there at
    // all. A guest that does not tell its boot ID may still run, so that alone says
    // nothing. Throws when the state cannot be read.
    virtual bool isStopped() = 0;
};

// The VM as the resource executor drives it.
class ResourceVirtualMachine {
public:
    virtual ~ResourceVirtualMachine() = default;

    // The VM's current size, state and (while running) boot ID. Throws when the VM is
    // neither running nor stopped, or when it cannot be read.
    virtual ResourceObservation resourceObservation() = 0;

    // Applies the command's size through the guarded resize (restarting a VM that was
    // running when the request was made) and returns the observation afterwards.
    // Throws when the VM no longer equals `command.before`, when the request is invalid
    // or outside the resource policy, or when the resize fails.
    virtual ResourceObservation applyResources(const ResourceCommand& command) = 0;
};

}  // namespace tessaron
