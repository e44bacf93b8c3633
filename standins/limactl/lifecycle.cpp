#include "standins/limactl/lifecycle.h"

#include "host/private_file.h"
#include "standins/limactl/arguments.h"
#include "standins/limactl/guest_shims.h"
#include "standins/limactl/host_agent.h"
#include "standins/limactl/instance.h"
#include "standins/limactl/qemu_guest.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <pwd.h>
#include <set>
#include <unistd.h>

namespace tessaron::standin::limactl {
namespace {

const std::vector<FlagSpec> createFlags = {
    {"name", 0, true, false},       {"arch", 0, true, false},          {"vm-type", 0, true, false},
    {"network", 0, true, true},     {"rosetta", 0, false, false},      {"containerd", 0, true, false},
    {"mount-none", 0, false, false}, {"cpus", 0, true, false},         {"memory", 0, true, false},
    {"disk", 0, true, false},       {"plain", 0, false, false},
};

std::vector<FlagSpec> withFlags(std::vector<FlagSpec> base, const std::vector<FlagSpec>& more) {
    base.insert(base.end(), more.begin(), more.end());
    return base;
}

std::string choices(const std::set<std::string>& values) {
    std::string text;
    for (const auto& value : values) text += (text.empty() ? "" : ", ") + goQuote(value);
    return text;
}

void requireOneOf(const std::string& field, const std::string& value, const std::set<std::string>& allowed) {
    if (!allowed.count(value))
        throw LimactlError("field `" + field + "` must be one of " + choices(allowed) + "; got " + goQuote(value));
}

int cpusValue(const std::string& text) {
    const long long cpus = parseIntValue("cpus", text);
    if (cpus < 1 || cpus > 1024) throw LimactlError("field `cpus` must be at least 1, got " + text);
    return static_cast<int>(cpus);
}

std::uint64_t gibibytesValue(const std::string& flag, const std::string& text) {
    const double value = parseFloatValue(flag, text);
    if (value <= 0 || value > 65536) throw LimactlError("field `" + flag + "` must be a positive size, got " + text);
    return static_cast<std::uint64_t>(std::llround(value * static_cast<double>(GiB)));
}

void resizeDisk(const fs::path& dir, std::uint64_t bytes) {
    const fs::path disk = dir / "diffdisk";
    if (::truncate(disk.c_str(), static_cast<off_t>(bytes)) != 0)
        throw LimactlError("cannot size the disk " + disk.string() + ": " + std::strerror(errno));
}

// ssh.config, for `ssh -F <dir>/ssh.config lima-<name>`.
void writeSshClientConfig(const std::string& name, const fs::path& dir, int port, bool qemu) {
    const passwd* account = ::getpwuid(::geteuid());
    std::string config = "Host lima-" + name + "\n";
    config += "  HostName 127.0.0.1\n";
    config += "  Port " + std::to_string(port) + "\n";
    if (qemu) config += "  User " + guestAccount() + "\n";
    else if (account && account->pw_name) config += std::string("  User ") + account->pw_name + "\n";
    config += "  IdentityFile \"" + (dir / "id_ed25519").string() + "\"\n";
    config += "  IdentitiesOnly yes\n  BatchMode yes\n  StrictHostKeyChecking no\n  UserKnownHostsFile /dev/null\n";
    config += "  LogLevel ERROR\n";
    private_file::write(dir / "ssh.config", config);
}

// Starts a stopped instance; the caller holds the instance lock.
int startExisting(const std::string& name, const FaultEffects& effects) {
    const InstanceState state = inspectInstance(name);
    if (!state.config) throw LimactlError("instance " + goQuote(name) + " is broken: " + state.errors.front());
    if (state.running()) {
        logLine("info", "The instance " + goQuote(name) + " is already running. Run `limactl shell " + name +
                            "` to open the shell.");
        return 0;
    }
    logLine("info", "Starting the instance " + goQuote(name) + " with VM driver " + goQuote(state.config->vmType));
    if (effects.stayStopped) {
        logLine("info", "[hostagent] The VM did not come up; the instance remains stopped");
        return 0;
    }
    int port = 0;
    if (state.config->guest == "qemu") {
        // The guest's own kernel makes its boot identity.
        port = startQemuGuest(name, state.dir);
    } else {
        if (!effects.keepBootId || readBootId(state.dir).empty()) writeNewBootId(state.dir);
        port = startHostAgent(name, state.dir);
    }
    writeSshClientConfig(name, state.dir, port, state.config->guest == "qemu");
    logLine("info", "SSH Local Port: " + std::to_string(port));
    logLine("info", "READY. Run `limactl shell " + name + "` to open the shell.");
    return 0;
}

// The name the instance to create gets, from --name or from the template locator.
std::string nameFromLocator(const std::string& locator) {
    if (locator.rfind("template://", 0) == 0) return locator.substr(11);
    fs::path path(locator);
    if (path.extension() == ".yaml" || path.extension() == ".yml") return path.stem().string();
    return path.filename().string();
}

bool looksLikeFile(const std::string& locator) {
    return locator.find('/') != std::string::npos || locator.ends_with(".yaml") || locator.ends_with(".yml");
}

int createAndStart(const ParsedArguments& parsed, const FaultEffects& effects) {
    InstanceConfig config;
    const std::string locator = parsed.positionals.empty() ? "" : parsed.positionals.front();
    if (!locator.empty() && looksLikeFile(locator) && locator.rfind("template://", 0) != 0) {
        std::error_code error;
        if (!fs::is_regular_file(locator, error))
            throw LimactlError("failed to resolve vm for " + goQuote(locator) + ": open " + locator +
                               ": no such file or directory");
    }
    config.templateLocator = locator;
    config.name = parsed.value("name").value_or(locator.empty() ? "default" : nameFromLocator(locator));
    requireValidInstanceName(config.name);
    if (auto arch = parsed.value("arch")) {
        requireOneOf("arch", *arch, {"x86_64", "aarch64", "armv7l", "ppc64le", "riscv64", "s390x"});
        config.arch = *arch;
    }
    if (auto vmType = parsed.value("vm-type")) {
        requireOneOf("vmType", *vmType, {"qemu", "vz", "wsl2", "krunkit"});
        config.vmType = *vmType;
    }
    if (auto networks = parsed.values.find("network"); networks != parsed.values.end()) {
        for (const auto& network : networks->second) {
            if (network != "vzNAT" && !(network.rfind("lima:", 0) == 0 && network.size() > 5))
                throw LimactlError("network name must be \"vzNAT\" or \"lima:*\", got " + goQuote(network));
            config.networks.push_back(network);
        }
    }
    config.rosetta = parsed.flag("rosetta");
    if (config.rosetta && config.arch != "aarch64")
        throw LimactlError("rosetta is supported only on aarch64 instances");
    if (auto containerd = parsed.value("containerd")) {
        requireOneOf("containerd", *containerd, {"none", "system", "user", "user+system"});
        config.containerd = *containerd;
    } else {
        config.containerd = "user";
    }
    config.mountNone = parsed.flag("mount-none");
    if (auto cpus = parsed.value("cpus")) config.cpus = cpusValue(*cpus);
    if (auto memory = parsed.value("memory")) config.memory = gibibytesValue("memory", *memory);
    if (auto disk = parsed.value("disk")) config.disk = gibibytesValue("disk", *disk);
    config.guest = requestedGuestKind();
    if (config.guest == "qemu") config.peerLink = requestedPeerLink();

    FileLock lock(instanceLockPath(config.name));
    const fs::path dir = instanceDir(config.name);
    private_file::createDirectories(limaHome());
    std::error_code error;
    if (!fs::create_directory(dir, error)) {
        if (!error) throw LimactlError("instance " + goQuote(config.name) + " already exists (" + dir.string() + ")");
        throw LimactlError("cannot create " + dir.string() + ": " + error.message());
    }
    logLine("info", "Creating an instance " + goQuote(config.name));
    try {
        fs::permissions(dir, fs::perms::owner_all);
        private_file::createDirectories(dir / "guest" / "bin");
        private_file::createDirectories(dir / "guest" / "home");
        prepareSshFiles(dir);
        if (config.guest == "qemu") {
            createGuestDisk(dir, config.disk);
        } else {
            private_file::write(dir / "diffdisk", "");
            resizeDisk(dir, config.disk);
        }
        // The configuration goes last: an instance without it is one whose creation was cut short.
        saveConfig(dir, config);
        // A guest whose WireGuard and account tools are the stand-in's shims from the start.
        if (const char* shims = std::getenv("TESSARON_STANDIN_GUEST_SHIMS"); shims && std::string(shims) == "1")
            runGuestShims({config.name});
    } catch (...) {
        fs::remove_all(dir, error);
        throw;
    }
    return startExisting(config.name, effects);
}

std::string singleInstanceName(const ParsedArguments& parsed) {
    if (parsed.positionals.size() > 1)
        throw LimactlError("accepts at most 1 arg(s), received " + std::to_string(parsed.positionals.size()));
    const std::string name = parsed.positionals.empty() ? "default" : parsed.positionals.front();
    requireValidInstanceName(name);
    return name;
}

}  // namespace

int runStart(const std::vector<std::string>& arguments, const FaultEffects& effects) {
    const auto parsed = parseArguments(
        arguments, withFlags(createFlags, {{"yes", 'y', false, false}, {"timeout", 0, true, false}}));
    if (parsed.positionals.size() > 1)
        throw LimactlError("accepts at most 1 arg(s), received " + std::to_string(parsed.positionals.size()));
    bool createFlagGiven = false;
    for (const auto& flag : createFlags) createFlagGiven = createFlagGiven || parsed.has(flag.name);

    const std::string positional = parsed.positionals.empty() ? "" : parsed.positionals.front();
    const bool existing = !parsed.has("name") && isValidInstanceName(positional.empty() ? "default" : positional) &&
                          instanceExists(positional.empty() ? "default" : positional);
    if (existing) {
        const std::string name = positional.empty() ? "default" : positional;
        if (createFlagGiven)
            logLine("warning", "Ignoring the creation flags: instance " + goQuote(name) + " already exists");
        FileLock lock(instanceLockPath(name));
        return startExisting(name, effects);
    }
    if (auto name = parsed.value("name"); name && instanceExists(*name))
        throw LimactlError("instance " + goQuote(*name) + " already exists (" + instanceDir(*name).string() + ")");
    return createAndStart(parsed, effects);
}

int runStop(const std::vector<std::string>& arguments, const FaultEffects&) {
    const auto parsed = parseArguments(arguments, {{"yes", 'y', false, false}, {"force", 'f', false, false}});
    const std::string name = singleInstanceName(parsed);
    FileLock lock(instanceLockPath(name));
    const InstanceState state = inspectInstance(name);
    if (!state.running())
        throw LimactlError("expected status " + goQuote("Running") + ", got " + goQuote(state.status));
    logLine("info", "Sending SIGINT to hostagent process " + std::to_string(state.hostAgentPid));
    stopHostAgent(name, state.dir, state.hostAgentPid, parsed.flag("force"));
    logLine("info", "The host agent and the VM processes have shut down");
    return 0;
}

int runDelete(const std::vector<std::string>& arguments, const FaultEffects&) {
    const auto parsed = parseArguments(arguments, {{"force", 'f', false, false}});
    if (parsed.positionals.empty()) throw LimactlError("requires at least 1 arg(s), only received 0");
    for (const auto& name : parsed.positionals) requireValidInstanceName(name);
    for (const auto& name : parsed.positionals) {
        if (!instanceExists(name)) {
            logLine("warning", "Ignoring non-existent instance " + goQuote(name));
            continue;
        }
        FileLock lock(instanceLockPath(name));
        const InstanceState state = inspectInstance(name);
        if (state.running()) {
            if (!parsed.flag("force"))
                throw LimactlError("failed to delete instance " + goQuote(name) +
                                   ": expected status \"Stopped\", got \"Running\" (Hint: try --force)");
            stopHostAgent(name, state.dir, state.hostAgentPid, true);
        }
        std::error_code error;
        fs::remove_all(state.dir, error);
        if (error) throw LimactlError("failed to remove " + state.dir.string() + ": " + error.message());
        logLine("info", "Deleted " + goQuote(name) + " (" + goQuote(state.dir.string()) + ")");
    }
    return 0;
}

int runEdit(const std::vector<std::string>& arguments, const FaultEffects& effects) {
    const auto parsed = parseArguments(arguments, {{"yes", 'y', false, false},
                                                   {"start", 0, false, false},
                                                   {"cpus", 0, true, false},
                                                   {"memory", 0, true, false},
                                                   {"disk", 0, true, false}});
    const std::string name = singleInstanceName(parsed);
    FileLock lock(instanceLockPath(name));
    const InstanceState state = inspectInstance(name);
    if (state.running()) throw LimactlError("cannot edit a running instance");
    if (!state.config) throw LimactlError("instance " + goQuote(name) + " is broken: " + state.errors.front());

    InstanceConfig edited = *state.config;
    if (auto cpus = parsed.value("cpus")) edited.cpus = cpusValue(*cpus);
    if (auto memory = parsed.value("memory")) edited.memory = gibibytesValue("memory", *memory);
    if (auto disk = parsed.value("disk")) {
        edited.disk = gibibytesValue("disk", *disk);
        if (edited.disk < state.config->disk) throw LimactlError("the disk cannot be shrunk");
    }
    if (!parsed.has("cpus") && !parsed.has("memory") && !parsed.has("disk")) {
        logLine("info", "Aborting, no changes made to the instance");
        return 0;
    }
    if (!effects.notRetained) {
        if (edited.disk != state.config->disk) {
            if (edited.guest == "qemu") growGuestDisk(state.dir, edited.disk);
            else resizeDisk(state.dir, edited.disk);
        }
        saveConfig(state.dir, edited);
    }
    logLine("info", "Instance " + goQuote(name) + " configuration edited");
    if (parsed.flag("start")) return startExisting(name, FaultEffects{});
    return 0;
}

}  // namespace tessaron::standin::limactl
