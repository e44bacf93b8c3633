#pragma once
// LimaManager drives the one Lima VM through `limactl`: every operation builds an
// argument vector, runs it through a CommandRunning, checks the exit status and reads
// what limactl printed. It holds no state beyond its three fields and takes no lock;
// callers serialise VM-changing work with the VM resource lock.
//
// The guarded restart and the resize live in lima_restart_resize.cpp.

#include "host/error.h"
#include "host/guest_connection_status.h"
#include "host/process_runner.h"
#include "host/resource_policy.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tessaron {

// The VM's status exactly as limactl printed it ("Running", "Stopped", …) and its size.
struct VMResourceState {
    std::string state;
    ResourceAllocation allocation;

    bool operator==(const VMResourceState&) const = default;
};

class LimaManagerError : public Error {
public:
    enum class Kind { commandFailed, invalidDiskSize, guestAddressUnavailable, sshPortUnavailable, restartRequired };

    static LimaManagerError commandFailed(const std::string& text);
    static LimaManagerError invalidDiskSize();
    static LimaManagerError guestAddressUnavailable();
    static LimaManagerError sshPortUnavailable();
    static LimaManagerError restartRequired();

    Kind kind() const noexcept { return kind_; }
    // Same kind and same text.
    bool operator==(const LimaManagerError& other) const;

private:
    LimaManagerError(Kind kind, const std::string& text) : Error(text), kind_(kind) {}
    Kind kind_;
};

// A plain value: copies drive the same instance. It is the VM that the restart and the
// resource executors drive through their interfaces.
class LimaManager {
public:
    // The instance the rest of the system uses.
    static constexpr const char* defaultInstanceName = "tessaron";

    LimaManager(std::string instanceName, std::string executable,
                std::shared_ptr<CommandRunning> runner = std::make_shared<ProcessCommandRunner>());

    // The first executable of: the bundle's Resources/lima/bin/limactl,
    // /Applications/Tessaron.app/Contents/Resources/lima/bin/limactl,
    // /opt/homebrew/bin/limactl, /usr/local/bin/limactl; else /opt/homebrew/bin/limactl.
    // Looked up afresh on every call.
    static std::string defaultExecutable();

    const std::string& instanceName() const noexcept { return instanceName_; }
    const std::string& executable() const noexcept { return executable_; }
    const std::shared_ptr<CommandRunning>& runner() const noexcept { return runner_; }

    // --- Life cycle ---------------------------------------------------------------
    // Creates and boots an aarch64 vz VM with vzNAT networking, no Rosetta, no
    // containerd and no mounts; interactive. Memory is passed in whole GiB (at least 2),
    // `templateLocator` (when not empty) as limactl's positional template.
    // Throws invalidDiskSize before running anything when diskGiB < 10.
    void createAndStart(const ResourceAllocation& allocation, std::int64_t diskGiB,
                        const std::optional<std::string>& templateLocator = std::nullopt);
    // "start --yes <name>", interactive.
    void start();
    // "stop <name>", captured.
    void stop();
    // "delete -f <name>", captured.
    void deleteInstance();
    // "shell <name> -- <arguments…>", interactive.
    void shell(const std::vector<std::string>& arguments);

    // --- Queries --------------------------------------------------------------------
    // The status as printed, trimmed ("Running", "Stopped", …).
    std::string status();
    // The instance's status from the listing of all instances, or nothing when it does
    // not exist. A listing line that does not decode throws json::DecodingError.
    std::optional<std::string> statusIfPresent();
    // False only when the instance is listed, its folder exists and holds none of
    // "disk", "basedisk", "diffdisk" (the remains of an interrupted creation); true
    // whenever that cannot be told. Never throws.
    bool isBuilt() noexcept;
    ResourceAllocation allocation();
    VMResourceState resources();
    // The Mac-side loopback port forwarded to the guest's sshd (1…65535), else
    // sshPortUnavailable.
    int sshLocalPort();
    // The guest's first global IPv4 address as printed, else guestAddressUnavailable.
    std::string guestIPv4Address();
    // The guest's boot identity, trimmed and lower-cased; it must be a UUID.
    std::string bootID();

    // --- Restart and resize (lima_restart_resize.cpp) --------------------------------
    // Restarts the VM only while it still runs the boot `expectedBootID`; returns the
    // new boot identity. Nothing is undone on failure.
    std::string restart(const std::string& expectedBootID);
    // Sets the VM's CPU count and memory (validated against `host` first), stopping and
    // starting a running VM when `allowRestart` is true. A failure after the edit began
    // restores the previous size and running state where it can, and says whether it did.
    VMResourceState resize(const ResourceAllocation& target, const HostCapacity& host, bool allowRestart);

    // --- Download cache -------------------------------------------------------------
    // Removes the partial "data.tmp.<pid>…" files of interrupted limactl downloads
    // directly inside the first-level subfolders of `cache`, except those whose
    // process still runs; returns the bytes removed. Never throws.
    static std::uint64_t sweepInterruptedDownloads(const std::filesystem::path& cache,
                                                   const std::function<bool(std::int32_t)>& isRunning = processExists);
    // kill(pid, 0) succeeds, or fails with EPERM.
    static bool processExists(std::int32_t pid);

    // The memory argument of `limactl edit`: bytes / 2^30 as the shortest decimal that
    // reads back to the same double, always with a fractional part ("8.0", "3.25").
    static std::string memoryGiBText(std::uint64_t memoryBytes);

    // --- Guest scripts, run as root in the guest (guest_ssh.cpp, guest_networking.cpp) --
    // Hands the panel's SSH request (at most 100,000 bytes, passed through unread) to
    // guest_ssh.py with the guest's ordinary account; the VM must be exactly "Running".
    // Returns the script's answer (valid UTF-8, at most 65,536 bytes) unchanged.
    std::string prepareSSH(const std::string& request);
    // guest_listeners.py's report, checked strictly, as compact JSON.
    std::string listeningPorts();
    // Installs the WireGuard tools when missing and returns the guest's public key.
    std::string prepareWireGuard();
    // Applies the panel's network configuration in the guest; the script's trimmed output.
    std::string applyWireGuard(const std::string& configuration);
    // The VM's state and, while it runs, the guest tunnel's. A VM neither running nor
    // stopped is read once more after sleep(2.0).
    GuestConnectionStatus connectionStatus(const std::function<void(double)>& sleep = sleepSeconds);
    // Blocks the calling thread for `seconds`.
    static void sleepSeconds(double seconds);

private:
    // Runs guest_network.py with `action` (and `json` as its second argument).
    std::string guestNetwork(const std::string& action, const std::optional<std::string>& json);
    CommandResult checkedRun(const std::vector<std::string>& arguments);
    void checkedInteractiveRun(const std::vector<std::string>& arguments);
    void editResources(const ResourceAllocation& allocation);
    ResourceAllocation listedAllocation(VMResourceState* state);

    std::string instanceName_;
    std::string executable_;
    std::shared_ptr<CommandRunning> runner_;
};

namespace lima_text {

// Trims white space and line breaks (ASCII and Unicode) from both ends.
std::string trimmed(std::string_view text);
// ASCII lower-casing.
std::string lowercased(std::string_view text);
// Splits on every line break, dropping empty lines.
std::vector<std::string> lines(std::string_view text);
// True for the 8-4-4-4-12 hexadecimal UUID form, either case.
bool isUUID(std::string_view text);

}  // namespace lima_text

}  // namespace tessaron
