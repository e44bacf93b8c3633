#include "cli/legacy_pairing.h"

#include "cli/machine_profile.h"
#include "cli/output.h"
#include "cli/pairing_client.h"
#include "cli/setup_output.h"
#include "host/agent_configuration.h"
#include "host/device_credential_store.h"
#include "host/hardware_support.h"
#include "host/header_value.h"
#include "host/lima_manager.h"
#include "host/pairing_store.h"
#include "host/resource_policy.h"

#include <vector>

namespace tessaron::cli {

namespace {

namespace out = setup_output;

constexpr const char* instanceName = "tessaron";

Url controlURL(const CLIOptions& options) {
    const std::optional<std::string> text = pairing_options::value(options, "control");
    if (!text) throw CLIError::missingOption("control");
    const std::optional<Url> url = Url::parse(*text);
    if (!url || (url->scheme() != "http" && url->scheme() != "https")) throw CLIError::invalidURL(escapedForTerminal(*text));
    // It would be sent with every request and saved in agent.json.
    if (url->userInfo()) throw CLIError::pairing("Use a control server address without a user name or password.");
    if (url->writtenScheme() != "https") {
        const std::string& host = url->host();
        if (host != "localhost" && host != "127.0.0.1" && host != "[::1]")
            throw CLIError::pairing("Use HTTPS for a remote control server.");
    }
    return *url;
}

std::string transport(const CLIOptions& options) {
    const std::string value = pairing_options::value(options, "transport").value_or("wireguard");
    if (value != "wireguard" && value != "legacy")
        throw CLIError::invalidOption("transport",
                                      "use wireguard (default), or legacy for an existing operator installation.");
    return value;
}

// The texts of --edges (split at commas, empty pieces dropped), else --edge, else the
// control plane's list.
std::vector<std::string> edgeTexts(const CLIOptions& options, const PairingClaimResponse& claim) {
    if (const auto edges = pairing_options::value(options, "edges")) {
        std::vector<std::string> pieces;
        std::size_t start = 0;
        while (start <= edges->size()) {
            const std::size_t comma = edges->find(',', start);
            const std::size_t end = comma == std::string::npos ? edges->size() : comma;
            if (end > start) pieces.push_back(edges->substr(start, end - start));
            if (comma == std::string::npos) break;
            start = comma + 1;
        }
        return pieces;
    }
    if (const auto edge = pairing_options::value(options, "edge")) return {*edge};
    return claim.edgeURLs.value_or(std::vector<std::string>{});
}

}  // namespace

void legacyPair(const CLIOptions& options, bool createVM, const PollPause& pause) {
    const HardwareSnapshot hardware = HardwareSnapshot::current();
    machine_profile::requireSupportedHardware(hardware);

    const HostCapacity host = HostCapacity::current();
    ResourceAllocation allocation = ResourcePolicy::allocation(pairing_options::profile(options), host);

    const bool cpusGiven = options.values.count("cpus") != 0 || options.hasFlag("cpus");
    const bool memoryGiven = options.values.count("memory-gib") != 0 || options.hasFlag("memory-gib");
    if (cpusGiven || memoryGiven) {
        if (!createVM)
            throw CLIError::pairing(
                "Pairing preserves your existing VM. Change its allocation with `tessaron vm resize --cpus N "
                "--memory-gib N --restart`, then pair it.");
        // A bare --cpus or --memory-gib names a value that is missing.
        auto text = [&](const std::string& name, const std::string& fallback) {
            const std::optional<std::string> given = pairing_options::value(options, name);
            if (!given && options.hasFlag(name)) throw CLIError::missingOption(name);
            return given.value_or(fallback);
        };
        allocation = ResourcePolicy::selectedAllocation(
            text("cpus", std::to_string(allocation.virtualCPUCount)),
            text("memory-gib", std::to_string(allocation.memoryBytes >> 30)), host);
    }

    const Url control = controlURL(options);
    const std::string chosenTransport = transport(options);
    // A pairing that could not be saved would use up its code for nothing.
    PairingStore::requireWritable();

    LimaManager lima(instanceName, pairing_options::value(options, "limactl").value_or(LimaManager::defaultExecutable()));
    std::string localHost = "127.0.0.1";
    if (createVM) {
        bool exists = false;
        try {
            (void)lima.status();
            exists = true;
        } catch (const std::exception&) {
            // No instance yet: it is created below.
        }
        if (exists)
            throw CLIError::pairing(
                "The Tessaron VM already exists. Use `tessaron vm resize` to change resources, or `tessaron pair` to "
                "connect it. Its files were not changed.");
        const std::int64_t disk = pairing_options::diskGiB(options);
        printLine(out::creatingVM());
        recordRunningIntent();
        lima.createAndStart(allocation, disk, pairing_options::vmTemplate(options));
    } else {
        localHost = pairing_options::value(options, "local-host").value_or("127.0.0.1");
        if (chosenTransport == "wireguard") {
            try {
                (void)lima.status();
            } catch (const std::exception&) {
                throw CLIError::pairing("Create the single Linux VM with tessaron onboard before pairing.");
            }
        }
    }
    if (chosenTransport == "wireguard") allocation = lima.allocation();

    const PairingClient client(control);
    const AgentProfilePayload profile = machine_profile::make(
        machine_profile::machineName(options, machine_profile::legacyFallbackName), hardware, allocation);
    const PairingCodeResponse code = client.createCode(profile);
    printLine(out::legacyCode(code.code));
    printLine(out::legacyWaiting());

    // The secret, the machine ID and the token are sent in header lines later on.
    if (!header_value::isSafe(code.deviceSecret))
        throw CLIError::pairing("The control plane returned an invalid device secret.");

    PairingClaimResponse claim;
    std::string token;
    for (;;) {
        claim = client.claim(code.code, code.deviceSecret);
        // The token is saved and sent without the white space around it; an empty
        // identifier or token counts as missing: neither could be used.
        token = claim.deviceToken ? DeviceCredentialStore::trimmedToken(*claim.deviceToken) : std::string();
        if (claim.status == "paired" && claim.machineId && !claim.machineId->empty() && !token.empty()) break;
        if (claim.status == "claimed")
            throw CLIError::pairing("This pairing credential was already claimed. Generate a new code.");
        pause();
    }
    if (!header_value::isSafe(*claim.machineId))
        throw CLIError::pairing("The control plane returned an invalid machine ID.");
    if (!header_value::isSafe(token)) throw CLIError::pairing("The control plane returned an invalid device token.");

    const std::vector<std::string> texts = edgeTexts(options, claim);
    std::vector<Url> edgeURLs;
    for (const std::string& text : texts) {
        const std::optional<Url> url = Url::parse(text);
        if (url && (url->scheme() == "ws" || url->scheme() == "wss")) edgeURLs.push_back(*url);
    }
    if (chosenTransport == "legacy" && (edgeURLs.empty() || edgeURLs.size() != texts.size()))
        throw CLIError::pairing("The control plane did not return valid edge tunnel URLs.");

    AgentConfiguration configuration{*claim.machineId, control, edgeURLs, localHost, std::nullopt, chosenTransport};
    if (createVM || chosenTransport == "wireguard") configuration.vmName = instanceName;
    PairingStore::save(configuration, token);
    printLine(out::legacyPaired());
}

}  // namespace tessaron::cli
