#include "host/resource_policy.h"

#include "host/hardware_support.h"

#include <algorithm>
#include <charconv>
#include <fstream>
#include <sstream>
#include <unistd.h>

namespace tessaron {

namespace {

constexpr std::uint64_t incrementMask = ResourcePolicy::memoryIncrement - 1;
constexpr std::uint64_t eightGiB = 8 * ResourcePolicy::gibibyte;
// From here on a quarter of the memory, rounded up to 256 MiB, is at least 4 GiB.
constexpr std::uint64_t quarterReserveThreshold = 16'106'127'363;

std::uint64_t floorToIncrement(std::uint64_t bytes) { return bytes & ~incrementMask; }

std::uint64_t roundUpToIncrement(std::uint64_t bytes) {
    std::uint64_t floored = floorToIncrement(bytes);
    return floored == bytes ? bytes : floored + ResourcePolicy::memoryIncrement;
}

// Total memory from /proc/meminfo, for when sysconf cannot say.
std::uint64_t memTotalFromProc() {
    std::ifstream in("/proc/meminfo");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("MemTotal:", 0) != 0) continue;
        std::istringstream fields(line.substr(9));
        std::uint64_t kibibytes = 0;
        if (fields >> kibibytes && kibibytes <= UINT64_MAX / 1024) return kibibytes * 1024;
        return 0;
    }
    return 0;
}

const std::string positiveWholeNumbers = "CPU cores and RAM in GiB must be positive whole numbers within this Mac's limits.";

// An optional single "+" or "-", then one or more ASCII digits and nothing else.
// Returns the sign and the magnitude, or nothing when the form is wrong or the
// magnitude does not fit 64 bits.
std::optional<std::pair<bool, std::uint64_t>> parseDecimal(std::string_view text) {
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    if (text.empty()) return std::nullopt;
    std::uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        unsigned digit = static_cast<unsigned>(c - '0');
        if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    return std::make_pair(negative, value);
}

std::optional<std::int64_t> parseInt64(std::string_view text) {
    auto parsed = parseDecimal(text);
    if (!parsed) return std::nullopt;
    auto [negative, magnitude] = *parsed;
    constexpr std::uint64_t maxPositive = static_cast<std::uint64_t>(INT64_MAX);
    if (!negative) {
        if (magnitude > maxPositive) return std::nullopt;
        return static_cast<std::int64_t>(magnitude);
    }
    if (magnitude > maxPositive + 1) return std::nullopt;
    if (magnitude == maxPositive + 1) return INT64_MIN;
    return -static_cast<std::int64_t>(magnitude);
}

std::optional<std::uint64_t> parseUInt64(std::string_view text) {
    auto parsed = parseDecimal(text);
    if (!parsed) return std::nullopt;
    auto [negative, magnitude] = *parsed;
    if (negative && magnitude != 0) return std::nullopt;
    return magnitude;
}

// A GiB count as the shortest text that reads back to the same double, always
// with a fractional part: "3.0", "12.0", "13.5".
std::string gibText(std::uint64_t bytes) {
    double gib = static_cast<double>(bytes) / static_cast<double>(ResourcePolicy::gibibyte);
    char buffer[64];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, gib, std::chars_format::fixed);
    std::string text(buffer, result.ptr);
    if (text.find('.') == std::string::npos) text += ".0";
    return text;
}

}  // namespace

HostCapacity HostCapacity::current() {
    const HardwareSnapshot mac = HardwareSnapshot::current();
    return HostCapacity{mac.logicalCPUCount, mac.memoryBytes};
}

HostCapacity HostCapacity::thisMachine() {
    HostCapacity host;
    long cpus = sysconf(_SC_NPROCESSORS_ONLN);
    host.logicalCPUCount = cpus > 0 ? cpus : 0;
    long pages = sysconf(_SC_PHYS_PAGES);
    long pageSize = sysconf(_SC_PAGESIZE);
    if (pages > 0 && pageSize > 0 &&
        static_cast<std::uint64_t>(pages) <= UINT64_MAX / static_cast<std::uint64_t>(pageSize))
        host.memoryBytes = static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(pageSize);
    else
        host.memoryBytes = memTotalFromProc();
    return host;
}

std::string rawValue(ResourceProfile profile) {
    switch (profile) {
    case ResourceProfile::eco: return "eco";
    case ResourceProfile::balanced: return "balanced";
    case ResourceProfile::performance: return "performance";
    }
    return "balanced";
}

std::optional<ResourceProfile> resourceProfile(std::string_view text) {
    for (ResourceProfile profile : allResourceProfiles)
        if (rawValue(profile) == text) return profile;
    return std::nullopt;
}

void to_json(json::Json& value, ResourceProfile profile) { value = rawValue(profile); }

void from_json(const json::Json& value, ResourceProfile& profile) {
    std::string text = json::asString(value, "resource profile");
    auto parsed = resourceProfile(text);
    if (!parsed) throw json::DecodingError("The resource profile \u201c" + text + "\u201d is not known.");
    profile = *parsed;
}

ResourcePolicyError ResourcePolicyError::invalidSelection(const std::string& text) {
    return ResourcePolicyError(Kind::invalidSelection, text);
}

ResourcePolicyError ResourcePolicyError::insufficientCPU() {
    return ResourcePolicyError(Kind::insufficientCPU,
                               "This Mac does not have a logical CPU available for the hosting VM.");
}

ResourcePolicyError ResourcePolicyError::insufficientMemory() {
    return ResourcePolicyError(Kind::insufficientMemory,
                               "This Mac needs at least 8 GiB of physical memory to run the hosting VM safely.");
}

bool ResourcePolicyError::operator==(const ResourcePolicyError& other) const {
    if (kind_ != other.kind_) return false;
    return kind_ != Kind::invalidSelection || std::string_view(what()) == std::string_view(other.what());
}

namespace ResourcePolicy {

ResourceBounds bounds(const HostCapacity& host) {
    const std::int64_t cpus = host.logicalCPUCount;
    const std::uint64_t memory = host.memoryBytes;
    if (cpus < 2) throw ResourcePolicyError::insufficientCPU();
    if (memory < eightGiB) throw ResourcePolicyError::insufficientMemory();

    // 20 % of the CPUs rounded up, at least 2; computed as ceil(C / 5), which equals
    // (C * 20 + 99) / 100 without its overflow for very large counts.
    std::int64_t cpuReserve = 1;
    if (cpus >= 4) cpuReserve = std::max<std::int64_t>(2, cpus / 5 + (cpus % 5 != 0 ? 1 : 0));
    const std::int64_t maximumCPUs = std::max<std::int64_t>(1, cpus - cpuReserve);

    std::uint64_t maximumMemory;
    if (memory == eightGiB) {
        maximumMemory = 3 * gibibyte;
    } else {
        if (memory > quarterReserveThreshold)
            maximumMemory = memory - roundUpToIncrement(memory / 4);
        else
            maximumMemory = memory - 4 * gibibyte;
        maximumMemory = std::max(minimumVMMemory, floorToIncrement(maximumMemory));
    }

    ResourceBounds result;
    result.minimum = {1, minimumVMMemory};
    result.maximum = {maximumCPUs, maximumMemory};
    result.hostCPUReserve = cpus - maximumCPUs;
    result.hostMemoryReserveBytes = memory - maximumMemory;
    return result;
}

ResourceAllocation allocation(ResourceProfile profile, const HostCapacity& host) {
    const ResourceBounds b = bounds(host);
    const std::int64_t cpus = host.logicalCPUCount;
    const std::uint64_t memory = host.memoryBytes;
    switch (profile) {
    case ResourceProfile::performance: return b.maximum;
    case ResourceProfile::balanced:
        return {std::min(b.maximum.virtualCPUCount,
                         std::max(b.minimum.virtualCPUCount, std::max<std::int64_t>(1, cpus / 2))),
                std::min(b.maximum.memoryBytes, std::max(b.minimum.memoryBytes, floorToIncrement(memory / 4)))};
    case ResourceProfile::eco:
        return {std::min(b.maximum.virtualCPUCount,
                         std::max<std::int64_t>(1, std::max(b.minimum.virtualCPUCount, cpus / 4))),
                std::min(b.maximum.memoryBytes,
                         std::max(b.minimum.memoryBytes, floorToIncrement((memory / 100) * 15)))};
    }
    return b.maximum;
}

ResourceAllocation validatedAllocation(std::int64_t virtualCPUCount, std::uint64_t memoryBytes,
                                       const HostCapacity& host) {
    const ResourceBounds b = bounds(host);
    if (virtualCPUCount < b.minimum.virtualCPUCount || virtualCPUCount > b.maximum.virtualCPUCount)
        throw ResourcePolicyError::invalidSelection("Choose between " + std::to_string(b.minimum.virtualCPUCount) +
                                                    " and " + std::to_string(b.maximum.virtualCPUCount) +
                                                    " CPU cores on this Mac.");
    if ((memoryBytes & incrementMask) != 0 || memoryBytes < b.minimum.memoryBytes ||
        memoryBytes > b.maximum.memoryBytes)
        throw ResourcePolicyError::invalidSelection("Choose between 2 and " + gibText(b.maximum.memoryBytes) +
                                                    " GiB of RAM, in 256 MiB increments. Resources must remain "
                                                    "available for macOS.");
    return {virtualCPUCount, memoryBytes};
}

ResourceAllocation selectedAllocation(std::string_view cpu, std::string_view memoryGiB, const HostCapacity& host) {
    auto cpuCount = parseInt64(cpu);
    if (!cpuCount || *cpuCount < 1) throw ResourcePolicyError::invalidSelection(positiveWholeNumbers);
    auto gib = parseUInt64(memoryGiB);
    if (!gib || *gib < 1 || *gib >= (std::uint64_t{1} << 34))
        throw ResourcePolicyError::invalidSelection(positiveWholeNumbers);
    return validatedAllocation(*cpuCount, *gib * gibibyte, host);
}

ResourceAllocation advancedAllocation(std::int64_t virtualCPUCount, std::uint64_t memoryBytes,
                                      const HostCapacity& host) {
    const ResourceBounds b = bounds(host);
    return {std::min(b.maximum.virtualCPUCount, std::max(b.minimum.virtualCPUCount, virtualCPUCount)),
            std::min(b.maximum.memoryBytes, std::max(b.minimum.memoryBytes, floorToIncrement(memoryBytes)))};
}

}  // namespace ResourcePolicy

}  // namespace tessaron
