#include "cli/setup_pairing.h"

#include "cli/legacy_pairing.h"
#include "cli/machine_profile.h"
#include "cli/output.h"
#include "cli/setup_output.h"
#include "cli/vm_resource_lock.h"
#include "host/agent_configuration.h"
#include "host/error.h"
#include "host/hardware_support.h"
#include "host/header_value.h"
#include "host/lima_manager.h"
#include "host/pairing_store.h"
#include "host/paths.h"
#include "panel/receipt_store.h"
#include "panel/setup_client.h"
#include "panel/setup_records.h"

#include <cctype>
#include <cerrno>
#include <chrono>
#include <exception>
#include <limits>
#include <memory>
#include <sys/statvfs.h>
#include <thread>

namespace tessaron::cli {

namespace {

namespace out = setup_output;

constexpr const char* instanceName = "tessaron";
constexpr std::uint64_t minimumFreeBytes = 10'737'418'240;  // 10 GiB

bool legacyRequested(const CLIOptions& options) {
    if (auto transport = pairing_options::value(options, "transport"); transport && *transport == "legacy") return true;
    return options.values.count("legacy-pairing") != 0 || options.hasFlag("legacy-pairing");
}

// Fails unless this Mac has no pairing yet; a damaged configuration is reported as it is.
void requireNotPaired() {
    try {
        (void)AgentConfigurationStore::load();
    } catch (const AgentConfigurationError& error) {
        if (error.kind() == AgentConfigurationError::Kind::notPaired) return;
        throw;
    }
    throw CLIError::pairing(
        "This Mac is already linked. Use the web panel or reconnect public access; its existing server was preserved.");
}

Url panelURL(const CLIOptions& options) {
    std::optional<std::string> text = pairing_options::value(options, "control");
    if (!text) throw CLIError::missingOption("control");
    std::optional<Url> url = Url::parse(*text);
    if (!url) throw CLIError::pairing("Enter your HTTPS panel address.");
    return *url;
}

std::string decimal(std::int64_t value) { return std::to_string(value); }

void printApprovalLines(const PendingSetup& setup) {
    printLine(out::approvalCode(setup.ticket.code));
    printLine(out::setupLink(setup.ticket.authorizeURL));
    printLine(out::waitingForApproval());
}

// Bytes free for this user on the file system of the home folder.
std::uint64_t freeBytesAtHome() {
    const std::optional<std::filesystem::path> home = paths::home();
    if (!home) throw AgentConfigurationError(AgentConfigurationError::Kind::applicationSupportUnavailable);
    struct statvfs info {};
    if (::statvfs(home->c_str(), &info) != 0)
        throw SystemError::fromErrno("Could not read the free space of " + home->string(), errno);
    return static_cast<std::uint64_t>(info.f_bavail) * static_cast<std::uint64_t>(info.f_frsize);
}

// The VM phase: keep, start, create or restart the one VM as the panel approved.
void prepareVM(LimaManager& lima, const PendingSetup& setup, const CLIOptions& options, bool createVM) {
    const std::optional<std::string> existing = lima.statusIfPresent();
    const bool built = existing && lima.isBuilt();
    if (built) {
        printLine(out::keepingExistingVM());
        const std::string state = lima.status();
        if (state != "Running" && state != "Stopped")
            throw CLIError::pairing("Linux is " + state +
                                    ". Wait for its current operation to finish, then resume setup.");
        if (state == "Stopped") {
            recordRunningIntent();
            lima.start();
        }
        return;
    }
    if (!createVM)
        throw CLIError::pairing(
            "Your existing VM could not be found. Its setup was preserved; use Create your server to continue.");

    if (const std::optional<std::filesystem::path> home = paths::home()) {
        const std::uint64_t removed =
            LimaManager::sweepInterruptedDownloads(*home / "Library/Caches/lima/download/by-url-sha256");
        if (auto line = out::removedDownloads(removed)) printLine(*line);
    }
    if (freeBytesAtHome() < minimumFreeBytes)
        throw CLIError::pairing("Free at least 10 GiB, then resume setup. Your account approval is saved.");
    recordRunningIntent();
    if (!existing) {
        const ResourceAllocation allocation = ResourcePolicy::selectedAllocation(
            decimal(setup.requestedCPU()), decimal(setup.requestedMemoryGiB()), HostCapacity::current());
        printLine(out::creatingVM());
        const std::int64_t disk = pairing_options::diskGiB(options);
        const std::optional<std::string> templateLocator = pairing_options::vmTemplate(options);
        lima.createAndStart(allocation, disk, templateLocator);
    } else {
        printLine(out::restartingInterruptedSetup());
        lima.start();
    }
}

}  // namespace

void pauseBetweenPolls() { std::this_thread::sleep_for(std::chrono::seconds(2)); }

void recordRunningIntent() noexcept {
    try {
        VMPowerIntentFileStore::forThisMac().want("running");
    } catch (...) {
        // Advisory: the VM is started whether or not the wish could be written.
    }
}

namespace pairing_options {

std::optional<std::string> value(const CLIOptions& options, const std::string& name) {
    if (auto found = options.values.find(name); found != options.values.end()) return found->second;
    return std::nullopt;
}

ResourceProfile profile(const CLIOptions& options) {
    std::string text = value(options, "profile").value_or("balanced");
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (auto profile = resourceProfile(text)) return *profile;
    throw CLIError::invalidOption("profile", "use eco, balanced, or performance.");
}

std::int64_t diskGiB(const CLIOptions& options) {
    const std::string text = value(options, "disk-gib").value_or("40");
    const CLIError invalid = CLIError::invalidOption("disk-gib", "enter a whole number of at least 10.");
    std::size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    if (i == text.size()) throw invalid;
    std::int64_t magnitude = 0;
    for (; i < text.size(); ++i) {
        const char c = text[i];
        if (c < '0' || c > '9') throw invalid;
        if (magnitude > (std::numeric_limits<std::int64_t>::max() - (c - '0')) / 10) throw invalid;
        magnitude = magnitude * 10 + (c - '0');
    }
    if (negative || magnitude < 10) throw invalid;
    return magnitude;
}

std::optional<std::string> vmTemplate(const CLIOptions& options) { return value(options, "vm-template"); }

}  // namespace pairing_options

void pair(const CLIOptions& options, bool createVM, const PollPause& pause) {
    if (legacyRequested(options)) {
        legacyPair(options, createVM, pause);
        return;
    }

    const HardwareSnapshot hardware = HardwareSnapshot::current();
    machine_profile::requireSupportedHardware(hardware);
    requireNotPaired();

    VMResourceLockHold lock(/*exclusive=*/true, /*create=*/true);

    const Url controlURL = panelURL(options);
    const SetupClient client(controlURL);
    // The pairing must be savable before the panel is asked for anything (an approval
    // is used up by a run that cannot keep it).
    PairingStore::requireWritable();
    LimaManager lima(instanceName, pairing_options::value(options, "limactl").value_or(LimaManager::defaultExecutable()));

    // What this run would ask for; a VM that exists keeps its own size.
    const HostCapacity host = HostCapacity::current();
    const ResourceAllocation profileAllocation = ResourcePolicy::allocation(pairing_options::profile(options), host);
    ResourceAllocation requested;
    if (!lima.statusIfPresent()) {
        // The disk size of a VM that onboard will create is checked before the panel is asked.
        if (createVM) (void)pairing_options::diskGiB(options);
        requested = ResourcePolicy::selectedAllocation(
            pairing_options::value(options, "cpus").value_or(decimal(profileAllocation.virtualCPUCount)),
            pairing_options::value(options, "memory-gib")
                .value_or(decimal(static_cast<std::int64_t>(profileAllocation.memoryBytes >> 30))),
            host);
    } else {
        requested = lima.allocation();
    }

    SetupSessionStore::sweepInterruptedWrites();
    std::optional<PendingSetup> saved = SetupSessionStore::load();
    if (saved && saved->controlURL() != controlURL) throw CLIError::pairing(SetupSessionStore::otherPanelMessage);
    std::optional<PendingSetup> pending;
    if (saved) {
        pending = client.resume(*saved);
        SetupSessionStore::save(*pending);
        printLine(out::resuming());
    } else {
        const AgentProfilePayload profile = machine_profile::make(
            machine_profile::machineName(options, machine_profile::setupFallbackName), hardware, requested);
        const SetupTicket ticket = client.start(profile.encode());
        pending.emplace(ticket, controlURL, requested.virtualCPUCount, static_cast<std::int64_t>(requested.memoryBytes >> 30));
        SetupSessionStore::save(*pending);
    }
    printApprovalLines(*pending);

    // The approval wait: only progress lines until the panel's answer changes.
    SetupProgress progress = client.status(*pending);
    out::publish(progress);
    while (progress.stage == "awaiting_account") {
        pause();
        progress = client.status(*pending);
        out::publish(progress);
    }

    if (progress.stage != "complete") {
        printLine(out::accountApproved());
        progress = client.update(*pending, "creating_vm");
        out::publish(progress);
        try {
            prepareVM(lima, *pending, options, createVM);
            progress = client.update(*pending, "linking");
            out::publish(progress);
            progress = client.update(*pending, "complete");
            out::publish(progress);
        } catch (...) {
            const std::exception_ptr failure = std::current_exception();
            try {
                out::publish(client.update(*pending, "failed"));
            } catch (...) {
                // The panel learns of the failure when it can; the run's own error is what counts.
            }
            std::rethrow_exception(failure);
        }
    }

    // An empty identifier would leave a pairing that names no machine.
    if (progress.stage != "complete" || !progress.machineId || progress.machineId->empty())
        throw CLIError::pairing("Setup is not yet linked. Return to the app and retry.");
    if (!header_value::isSafe(*progress.machineId))
        throw CLIError::pairing("The panel returned an invalid machine ID.");

    const AgentConfiguration configuration{*progress.machineId, controlURL, {}, "127.0.0.1", std::string(instanceName),
                                           std::string("wireguard")};
    PairingStore::save(configuration, pending->deviceToken());
    SetupSessionStore::finish();
    printLine(out::paired());
    lock.release();
}

}  // namespace tessaron::cli
