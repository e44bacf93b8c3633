#include "host/helper_supervisor.h"

#include "host/paths.h"
#include "host/user.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <string_view>
#include <sys/stat.h>
#include <thread>

namespace tessaron {

namespace {

const std::string inspectionMessage = "Could not inspect the connection helper. Your running server was not changed.";
const std::string moreThanOneMessage =
    "More than one connection helper is running for this Mac. Close the extra copy before reconnecting.";
const std::string uncertainMessage = "Could not identify an existing connection helper safely.";

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

// A decimal 32-bit signed integer with an optional sign, nothing else.
std::optional<std::int32_t> parsePID(std::string_view text) {
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    if (text.empty()) return std::nullopt;
    std::int64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + (c - '0');
        if (value > std::int64_t{INT32_MAX} + 1) return std::nullopt;
    }
    if (negative) value = -value;
    if (value > INT32_MAX || value < INT32_MIN) return std::nullopt;
    return static_cast<std::int32_t>(value);
}

// The last component of a file path; trailing slashes do not count.
std::string_view lastPathComponent(std::string_view path) {
    while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
    std::size_t slash = path.rfind('/');
    if (slash == std::string_view::npos || path.size() == 1) return path;
    return path.substr(slash + 1);
}

}  // namespace

std::optional<AgentProcessIdentity> SystemProcessInspector::identity(std::int32_t pid) {
    return process_identity::identity(pid);
}

bool SystemProcessInspector::exists(std::int32_t pid) {
    if (pid <= 0 || ::kill(pid, 0) != 0) return false;
    // A process that has ended but is not yet reaped (a zombie) still answers kill(0)
    // but serves nothing; its arguments can no longer be read.
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    std::getline(stat, text);
    const std::size_t close = text.rfind(')');
    if (close != std::string::npos && close + 2 < text.size() && text[close + 2] == 'Z') return false;
    return true;
}

bool SystemProcessInspector::withoutArguments(std::int32_t pid) {
    return exists(pid) && process_identity::withoutArguments(pid);
}

namespace AgentSupervisor {

std::string processListProgram() {
    if (const char* path = std::getenv("TESSARON_PS_PATH"); path && *path) return path;
    return "/bin/ps";
}

namespace {

// What one look at the process list found.
struct Scan {
    bool listed = false;        // the lister ran and succeeded
    int count = 0;              // helpers serving the pairing
    bool uncertain = false;     // a helper whose pairing cannot be known
    bool unidentified = false;  // a process that exists but could not be read
};

// The lease file that the caller holds, by identity of the file.
struct HeldLease {
    dev_t device = 0;
    ino_t inode = 0;
};

bool isHeldLease(const std::filesystem::path& file, const HeldLease& held) {
    struct stat info {};
    return ::stat(file.c_str(), &info) == 0 && info.st_dev == held.device && info.st_ino == held.inode;
}

Scan scan(const AgentConfiguration& configuration, std::int32_t excludingPID, const Probes& probes,
          const std::optional<HeldLease>& held) {
    ProcessCommandRunner defaultRunner;
    SystemProcessInspector defaultProcesses;
    CommandRunning& runner = probes.runner ? *probes.runner : defaultRunner;
    ProcessInspecting& processes = probes.processes ? *probes.processes : defaultProcesses;

    Scan result;
    CommandResult listing;
    try {
        listing = runner.run(probes.processLister.value_or(processListProgram()),
                             {"-U", std::to_string(user::realUserId()), "-o", "pid=,comm="});
    } catch (const std::exception&) {
        return result;
    }
    if (listing.exitCode != 0) return result;
    result.listed = true;

    std::string_view output = listing.standardOutput;
    while (!output.empty()) {
        std::size_t end = output.find('\n');
        std::string_view line = output.substr(0, end);
        output.remove_prefix(end == std::string_view::npos ? output.size() : end + 1);
        if (line.empty()) continue;

        std::size_t start = 0;
        while (start < line.size() && isBlank(line[start])) ++start;
        std::size_t blank = start;
        while (blank < line.size() && !isBlank(line[blank])) ++blank;
        if (blank >= line.size()) continue;
        std::string_view pidField = line.substr(start, blank - start);
        std::string_view command = line.substr(blank + 1);
        if (pidField.empty() || command.empty()) continue;

        auto pid = parsePID(pidField);
        // Only positive numbers name one process; 0 and negative ones are never probed.
        if (!pid || *pid == excludingPID || *pid <= 0) continue;
        if (lastPathComponent(command) != "tessaron") continue;

        auto identity = processes.identity(*pid);
        if (!identity) {
            // Only the lease holder may pass over one that is starting: the lease holder
            // can be read by then, so such a helper will see it.
            if (held && processes.withoutArguments(*pid)) continue;
            // One that was starting may have laid out its arguments since the first read.
            identity = processes.identity(*pid);
        }
        if (!identity) {
            if (processes.exists(*pid) && !(held && processes.withoutArguments(*pid))) result.unidentified = true;
            continue;
        }
        if (identity->arguments.size() < 2 || identity->arguments[1] != "serve") continue;

        // That helper's own support folder: in its home, which is ours unless it was
        // started with another HOME. Its agent.json is there unless it was told another
        // file, and its lease always is.
        std::optional<std::filesystem::path> support;
        if (identity->homePath && identity->homePath->starts_with("/")) {
            support = std::filesystem::path(*identity->homePath) / "Library" / "Application Support" / "Tessaron";
        } else {
            support = paths::tessaronSupport();
        }
        std::filesystem::path configurationFile;
        if (!identity->configurationPath) {
            if (!support) {
                result.uncertain = true;
                continue;
            }
            configurationFile = *support / "agent.json";
        } else if (identity->configurationPath->starts_with("/")) {
            configurationFile = *identity->configurationPath;
        } else {
            result.uncertain = true;
            continue;
        }

        try {
            AgentConfiguration other = AgentConfigurationStore::load(configurationFile);
            if (other.machineID != configuration.machineID || other.controlURL != configuration.controlURL) continue;
            if (held && support && isHeldLease(AgentSupervisorLease::lockPath(other, *support / "agents"), *held))
                continue;
            ++result.count;
        } catch (const std::exception&) {
            result.uncertain = true;
        }
    }
    return result;
}

AgentSupervisorStatus decide(const Scan& found) {
    if (!found.listed) return {"unknown", inspectionMessage};
    if (found.count >= 2) return {"unknown", moreThanOneMessage};
    if (found.uncertain || found.unidentified) return {"unknown", uncertainMessage};
    if (found.count == 1) return {"running", std::nullopt};
    return {"stopped", std::nullopt};
}

}  // namespace

AgentSupervisorStatus status(const AgentConfiguration& configuration, std::int32_t excludingPID, const Probes& probes) {
    return decide(scan(configuration, excludingPID, probes, std::nullopt));
}

AgentSupervisorStatus statusHoldingLease(const AgentSupervisorLease& lease, const AgentConfiguration& configuration,
                                         std::int32_t excludingPID, const Probes& probes,
                                         std::chrono::milliseconds settleTime) {
    std::optional<HeldLease> held;
    struct stat info {};
    if (::fstat(lease.descriptor(), &info) == 0) held = HeldLease{info.st_dev, info.st_ino};

    Scan found = scan(configuration, excludingPID, probes, held);
    // Only a process that could not be read may read differently a moment later. The
    // time counts from the end of the first look, and a look slower than all of it (a
    // loaded machine) still leaves room for two more.
    const auto deadline = std::chrono::steady_clock::now() + settleTime;
    for (int looks = 1; found.listed && found.unidentified && !found.uncertain && found.count < 2 &&
                        (looks < 3 || std::chrono::steady_clock::now() < deadline);
         ++looks) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        found = scan(configuration, excludingPID, probes, held);
    }
    return decide(found);
}

}  // namespace AgentSupervisor

}  // namespace tessaron
