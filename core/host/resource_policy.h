#pragma once
// How many virtual CPUs and how much memory the hosting VM may have on this Mac, and
// how much stays with macOS. Pure functions over two small value types; every change
// of the VM's size goes through ResourcePolicy::validatedAllocation first.

#include "host/error.h"
#include "host/json.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tessaron {

struct HostCapacity {
    std::int64_t logicalCPUCount = 0;
    std::uint64_t memoryBytes = 0;  // bytes

    // The Mac's capacity, read anew on every call (nothing is cached): the stand-in
    // hardware's CPU count and memory when TESSARON_STANDIN_HARDWARE is set (the Mac
    // the hardware check sees), else this machine's.
    static HostCapacity current();
    // The online logical CPUs and the physical memory of this machine.
    static HostCapacity thisMachine();

    bool operator==(const HostCapacity&) const = default;
};

struct ResourceAllocation {
    std::int64_t virtualCPUCount = 0;
    std::uint64_t memoryBytes = 0;  // bytes

    bool operator==(const ResourceAllocation&) const = default;
};

struct ResourceBounds {
    ResourceAllocation minimum;
    ResourceAllocation maximum;
    std::int64_t hostCPUReserve = 0;          // logical CPUs kept for macOS
    std::uint64_t hostMemoryReserveBytes = 0;  // bytes kept for macOS

    bool operator==(const ResourceBounds&) const = default;
};

// A named size for the VM. The raw values are "eco", "balanced" and "performance".
enum class ResourceProfile { eco, balanced, performance };

inline constexpr std::array<ResourceProfile, 3> allResourceProfiles = {
    ResourceProfile::eco, ResourceProfile::balanced, ResourceProfile::performance};

std::string rawValue(ResourceProfile profile);
// Exact, case-sensitive match without trimming; nothing for any other text.
std::optional<ResourceProfile> resourceProfile(std::string_view rawValue);

// Encoded and decoded as the raw string; an unknown string is a json::DecodingError.
void to_json(json::Json& value, ResourceProfile profile);
void from_json(const json::Json& value, ResourceProfile& profile);

class ResourcePolicyError : public Error {
public:
    enum class Kind { invalidSelection, insufficientCPU, insufficientMemory };

    static ResourcePolicyError invalidSelection(const std::string& text);
    static ResourcePolicyError insufficientCPU();
    static ResourcePolicyError insufficientMemory();

    Kind kind() const noexcept { return kind_; }
    // Equal when of the same kind; two invalid selections also need the same text.
    bool operator==(const ResourcePolicyError& other) const;

private:
    ResourcePolicyError(Kind kind, const std::string& text) : Error(text), kind_(kind) {}
    Kind kind_;
};

namespace ResourcePolicy {

inline constexpr std::uint64_t mebibyte = 1'048'576;
inline constexpr std::uint64_t gibibyte = 1'073'741'824;
inline constexpr std::uint64_t memoryIncrement = 268'435'456;  // 256 MiB
inline constexpr std::uint64_t minimumVMMemory = 2'147'483'648;  // 2 GiB

// The allowed range on `host`. Throws insufficientCPU (fewer than 2 logical CPUs,
// checked first) or insufficientMemory (less than 8 GiB).
ResourceBounds bounds(const HostCapacity& host);

ResourceAllocation allocation(ResourceProfile profile, const HostCapacity& host);

// Returns the request unchanged when it lies within the bounds (memory in whole
// 256 MiB steps); otherwise throws invalidSelection naming the allowed range.
ResourceAllocation validatedAllocation(std::int64_t virtualCPUCount, std::uint64_t memoryBytes,
                                       const HostCapacity& host);

// The user's two texts: a CPU count and a memory size in whole GiB. Bad texts are
// refused before the host is examined.
ResourceAllocation selectedAllocation(std::string_view cpu, std::string_view memoryGiB, const HostCapacity& host);

// The request moved into the bounds instead of refused (memory floored to 256 MiB).
ResourceAllocation advancedAllocation(std::int64_t virtualCPUCount, std::uint64_t memoryBytes,
                                      const HostCapacity& host);

}  // namespace ResourcePolicy

}  // namespace tessaron
