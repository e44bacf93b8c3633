#include "host/lima_manager.h"

#include "host/json.h"
#include "host/paths.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <csignal>
#include <limits>
#include <sys/types.h>
#include <system_error>
#include <unistd.h>

namespace tessaron {
namespace fs = std::filesystem;

namespace {

constexpr std::uint64_t gibibyte = 1ULL << 30;
constexpr const char* installHint = "Install Lima and ensure limactl is available.";

// A launch failure's own sentence followed by the install hint. The platform's text is
// usually a full sentence already; it then keeps its one full stop.
std::string launchFailureText(const std::string& platformText) {
    const std::string text = lima_text::trimmed(platformText);
    if (!text.empty() && text.back() == '.') return text + " " + installHint;
    return text + ". " + installHint;
}

std::string exitStatusText(std::int32_t status) {
    return "limactl exited with status " + std::to_string(status) + ".";
}

// The length of the white-space or line-break character at the start of `text`, or 0.
std::size_t leadingSpaceLength(std::string_view text) {
    if (text.empty()) return 0;
    const auto byte = static_cast<unsigned char>(text[0]);
    if (byte == ' ' || (byte >= 0x09 && byte <= 0x0D)) return 1;
    static constexpr std::string_view unicodeSpaces[] = {
        "\u0085", "\u00A0", "\u1680", "\u2000", "\u2001", "\u2002", "\u2003", "\u2004", "\u2005", "\u2006",
        "\u2007", "\u2008", "\u2009", "\u200A", "\u2028", "\u2029", "\u202F", "\u205F", "\u3000"};
    for (std::string_view space : unicodeSpaces)
        if (text.substr(0, space.size()) == space) return space.size();
    return 0;
}

// The length of the white-space or line-break character that ends `text`, or 0.
std::size_t trailingSpaceLength(std::string_view text) {
    for (std::size_t length = 1; length <= 3 && length <= text.size(); ++length) {
        const std::string_view tail = text.substr(text.size() - length);
        // Only a whole character counts: continuation bytes never start one.
        if ((static_cast<unsigned char>(tail[0]) & 0xC0) == 0x80) continue;
        return leadingSpaceLength(tail) == length ? length : 0;
    }
    return 0;
}

bool isLineBreakAt(std::string_view text, std::size_t index, std::size_t& length) {
    const char c = text[index];
    if (c == '\n' || c == '\r' || c == '\v' || c == '\f') {
        length = 1;
        return true;
    }
    static constexpr std::string_view unicodeBreaks[] = {"\u0085", "\u2028", "\u2029"};
    for (std::string_view lineBreak : unicodeBreaks) {
        if (text.substr(index, lineBreak.size()) == lineBreak) {
            length = lineBreak.size();
            return true;
        }
    }
    return false;
}

// A decimal integer with an optional sign, as the standard integer parser reads it.
std::optional<std::int64_t> parseInteger(std::string_view text) {
    if (!text.empty() && text[0] == '+') {
        text.remove_prefix(1);
        if (text.empty() || text[0] < '0' || text[0] > '9') return std::nullopt;
    }
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

bool isExecutableFile(const fs::path& path) {
    std::error_code error;
    if (!fs::is_regular_file(path, error)) return false;
    return ::access(path.c_str(), X_OK) == 0;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Text helpers

namespace lima_text {

std::string trimmed(std::string_view text) {
    while (std::size_t length = leadingSpaceLength(text)) text.remove_prefix(length);
    while (std::size_t length = trailingSpaceLength(text)) text.remove_suffix(length);
    return std::string(text);
}

std::string lowercased(std::string_view text) {
    std::string result(text);
    for (char& c : result)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return result;
}

std::vector<std::string> lines(std::string_view text) {
    std::vector<std::string> result;
    std::size_t start = 0;
    for (std::size_t i = 0; i < text.size();) {
        std::size_t length = 0;
        if (isLineBreakAt(text, i, length)) {
            if (i > start) result.emplace_back(text.substr(start, i - start));
            i += length;
            start = i;
        } else {
            ++i;
        }
    }
    if (start < text.size()) result.emplace_back(text.substr(start));
    return result;
}

bool isUUID(std::string_view text) {
    if (text.size() != 36) return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            if (text[i] != '-') return false;
        } else if (!std::isxdigit(static_cast<unsigned char>(text[i]))) {
            return false;
        }
    }
    return true;
}

}  // namespace lima_text

// ---------------------------------------------------------------------------------------
// Errors

LimaManagerError LimaManagerError::commandFailed(const std::string& text) {
    return LimaManagerError(Kind::commandFailed, text);
}

LimaManagerError LimaManagerError::invalidDiskSize() {
    return LimaManagerError(Kind::invalidDiskSize, "The Linux VM disk must be at least 10 GiB.");
}

LimaManagerError LimaManagerError::guestAddressUnavailable() {
    return LimaManagerError(Kind::guestAddressUnavailable, "The Linux VM did not report a reachable IPv4 address.");
}

LimaManagerError LimaManagerError::sshPortUnavailable() {
    return LimaManagerError(Kind::sshPortUnavailable, "The Linux VM did not report its private SSH port.");
}

LimaManagerError LimaManagerError::restartRequired() {
    return LimaManagerError(Kind::restartRequired,
                            "Changing CPU or RAM requires a VM restart and briefly interrupts hosted services. "
                            "Confirm restart, or use --restart, to continue.");
}

bool LimaManagerError::operator==(const LimaManagerError& other) const {
    return kind_ == other.kind_ && std::string_view(what()) == other.what();
}

// ---------------------------------------------------------------------------------------
// Construction and running limactl

LimaManager::LimaManager(std::string instanceName, std::string executable, std::shared_ptr<CommandRunning> runner)
    : instanceName_(std::move(instanceName)), executable_(std::move(executable)), runner_(std::move(runner)) {
    if (!runner_) runner_ = std::make_shared<ProcessCommandRunner>();
}

std::string LimaManager::defaultExecutable() {
    std::vector<fs::path> candidates;
    if (auto resources = bundle::resourcesDirectory()) candidates.push_back(*resources / "lima" / "bin" / "limactl");
    candidates.emplace_back("/Applications/Tessaron.app/Contents/Resources/lima/bin/limactl");
    candidates.emplace_back("/opt/homebrew/bin/limactl");
    candidates.emplace_back("/usr/local/bin/limactl");
    for (const auto& candidate : candidates)
        if (isExecutableFile(candidate)) return candidate.string();
    return "/opt/homebrew/bin/limactl";
}

CommandResult LimaManager::checkedRun(const std::vector<std::string>& arguments) {
    CommandResult result;
    try {
        result = runner_->run(executable_, arguments);
    } catch (const LaunchError& error) {
        throw LimaManagerError::commandFailed(launchFailureText(error.what()));
    }
    if (result.exitCode != 0) {
        std::string message = lima_text::trimmed(result.standardError);
        if (message.empty()) message = exitStatusText(result.exitCode);
        throw LimaManagerError::commandFailed(message);
    }
    return result;
}

void LimaManager::checkedInteractiveRun(const std::vector<std::string>& arguments) {
    std::int32_t status = 0;
    try {
        status = runner_->runInteractive(executable_, arguments);
    } catch (const LaunchError& error) {
        throw LimaManagerError::commandFailed(launchFailureText(error.what()));
    }
    if (status != 0) throw LimaManagerError::commandFailed(exitStatusText(status));
}

// ---------------------------------------------------------------------------------------
// Life cycle

void LimaManager::createAndStart(const ResourceAllocation& allocation, std::int64_t diskGiB,
                                 const std::optional<std::string>& templateLocator) {
    if (diskGiB < 10) throw LimaManagerError::invalidDiskSize();
    const std::uint64_t memoryGiB = std::max<std::uint64_t>(2, allocation.memoryBytes / gibibyte);
    std::vector<std::string> arguments = {
        "start",
        "--yes",
        "--name=" + instanceName_,
        "--arch=aarch64",
        "--vm-type=vz",
        "--network=vzNAT",
        "--rosetta=false",
        "--containerd=none",
        "--mount-none",
        "--cpus=" + std::to_string(allocation.virtualCPUCount),
        "--memory=" + std::to_string(memoryGiB),
        "--disk=" + std::to_string(diskGiB),
    };
    if (templateLocator && !templateLocator->empty()) arguments.push_back(*templateLocator);
    checkedInteractiveRun(arguments);
}

void LimaManager::start() { checkedInteractiveRun({"start", "--yes", instanceName_}); }

void LimaManager::stop() { checkedRun({"stop", instanceName_}); }

void LimaManager::deleteInstance() { checkedRun({"delete", "-f", instanceName_}); }

void LimaManager::shell(const std::vector<std::string>& arguments) {
    std::vector<std::string> full = {"shell", instanceName_, "--"};
    full.insert(full.end(), arguments.begin(), arguments.end());
    checkedInteractiveRun(full);
}

// ---------------------------------------------------------------------------------------
// Queries

std::string LimaManager::status() {
    return lima_text::trimmed(checkedRun({"list", instanceName_, "--format", "{{.Status}}"}).standardOutput);
}

std::optional<std::string> LimaManager::statusIfPresent() {
    const CommandResult result = checkedRun({"list", "--json"});
    // Every line must decode, ours or not: a listing that cannot be read is not an answer.
    std::vector<std::pair<std::string, std::string>> instances;
    for (const std::string& line : lima_text::lines(result.standardOutput)) {
        const json::Json object = json::parseObject(line);
        std::string name = json::string(object, "name");
        instances.emplace_back(std::move(name), json::string(object, "status"));
    }
    for (const auto& [name, status] : instances)
        if (name == instanceName_) return status;
    return std::nullopt;
}

bool LimaManager::isBuilt() noexcept {
    try {
        CommandResult result;
        try {
            result = checkedRun({"list", "--json"});
        } catch (...) {
            return true;
        }
        for (const std::string& line : lima_text::lines(result.standardOutput)) {
            std::string name, dir;
            try {
                const json::Json object = json::parseObject(line);
                name = json::string(object, "name");
                dir = json::string(object, "dir");
            } catch (const std::exception&) {
                continue;
            }
            if (name != instanceName_) continue;
            std::error_code error;
            if (!fs::is_directory(dir, error)) return true;
            for (const char* file : {"disk", "basedisk", "diffdisk"}) {
                if (fs::exists(fs::symlink_status(dir + "/" + file, error))) return true;
            }
            return false;
        }
        return true;
    } catch (...) {
        return true;
    }
}

ResourceAllocation LimaManager::listedAllocation(VMResourceState* state) {
    const CommandResult result = checkedRun({"list", instanceName_, "--json"});
    const json::Json object = json::parseObject(result.standardOutput);
    std::string status;
    if (state) status = json::string(object, "status");
    const std::int64_t cpus = json::int64(object, "cpus");
    const std::uint64_t memory = json::uint64(object, "memory");
    if (cpus < 1 || memory < gibibyte)
        throw LimaManagerError::commandFailed("The VM returned an invalid resource allocation.");
    const ResourceAllocation allocation{cpus, memory};
    if (state) *state = VMResourceState{status, allocation};
    return allocation;
}

ResourceAllocation LimaManager::allocation() { return listedAllocation(nullptr); }

VMResourceState LimaManager::resources() {
    VMResourceState state;
    listedAllocation(&state);
    return state;
}

int LimaManager::sshLocalPort() {
    const CommandResult result = checkedRun({"list", instanceName_, "--format", "{{.SSHLocalPort}}"});
    const auto port = parseInteger(lima_text::trimmed(result.standardOutput));
    if (!port || *port < 1 || *port > 65535) throw LimaManagerError::sshPortUnavailable();
    return static_cast<int>(*port);
}

std::string LimaManager::guestIPv4Address() {
    const CommandResult result =
        checkedRun({"shell", instanceName_, "--", "sh", "-lc",
                    "ip -4 -o addr show scope global | awk 'NR==1 {split($4,a,\"/\"); print a[1]}'"});
    std::string address = lima_text::trimmed(result.standardOutput);
    if (address.empty()) throw LimaManagerError::guestAddressUnavailable();
    return address;
}

std::string LimaManager::bootID() {
    const CommandResult result = checkedRun({"shell", instanceName_, "--", "cat", "/proc/sys/kernel/random/boot_id"});
    std::string identity = lima_text::lowercased(lima_text::trimmed(result.standardOutput));
    if (!lima_text::isUUID(identity))
        throw LimaManagerError::commandFailed("Could not verify the Linux server boot identity.");
    return identity;
}

// ---------------------------------------------------------------------------------------
// Download cache

bool LimaManager::processExists(std::int32_t pid) {
    return ::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

std::uint64_t LimaManager::sweepInterruptedDownloads(const fs::path& cache,
                                                     const std::function<bool(std::int32_t)>& isRunning) {
    std::uint64_t total = 0;
    try {
        std::error_code error;
        std::vector<fs::path> entries;
        for (fs::directory_iterator it(cache, error), end; !error && it != end; it.increment(error))
            entries.push_back(it->path());
        if (error) return 0;

        for (const fs::path& entry : entries) {
            std::vector<fs::path> files;
            std::error_code listError;
            for (fs::directory_iterator it(entry, listError), end; !listError && it != end; it.increment(listError))
                files.push_back(it->path());
            if (listError) continue;

            for (const fs::path& file : files) {
                const std::string name = file.filename().string();
                if (name.rfind("data.tmp.", 0) != 0) continue;
                std::vector<std::string> pieces;
                std::size_t start = 0;
                while (start <= name.size()) {
                    const std::size_t dot = std::min(name.find('.', start), name.size());
                    if (dot > start) pieces.push_back(name.substr(start, dot - start));
                    start = dot + 1;
                }
                if (pieces.size() < 3) continue;
                const auto pid = parseInteger(pieces[2]);
                if (!pid || *pid < std::numeric_limits<std::int32_t>::min() ||
                    *pid > std::numeric_limits<std::int32_t>::max())
                    continue;
                const auto running = isRunning ? isRunning(static_cast<std::int32_t>(*pid))
                                               : processExists(static_cast<std::int32_t>(*pid));
                if (running) continue;

                std::error_code sizeError;
                std::uintmax_t size = 0;
                if (fs::is_regular_file(fs::symlink_status(file, sizeError))) {
                    size = fs::file_size(file, sizeError);
                    if (sizeError) size = 0;
                }
                std::error_code removeError;
                if (!fs::remove(file, removeError) || removeError) continue;
                total += size;
            }
        }
    } catch (...) {
        // Clean-up is best effort: whatever was freed so far counts.
    }
    return total;
}

}  // namespace tessaron
