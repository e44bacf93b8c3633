#pragma once
// Can this Mac host at all? An Apple M-series processor, macOS 13 or later and at
// least 8 GiB of memory. A snapshot of the hardware is evaluated into a report that
// lists every unmet requirement, with the fixed texts the front ends show.
//
// On a machine that is not a Mac the facts are read from /proc, /sys and sysconf and
// honestly fail the check. For end-to-end runs the environment variable
// TESSARON_STANDIN_HARDWARE may hold a snapshot as JSON (the keys of
// HardwareSnapshot::toJson), which then stands in for the real facts.

#include "host/json.h"

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tessaron {

inline constexpr const char* standinHardwareVariable = "TESSARON_STANDIN_HARDWARE";

struct HardwareSnapshot {
    std::string architecture;    // "arm64", "x86_64", ...
    std::string chipName;        // processor brand name, "Unknown" when unreadable
    std::string modelIdentifier;  // "Mac14,2", "Unknown" when unreadable
    std::int64_t logicalCPUCount = 0;
    std::uint64_t memoryBytes = 0;
    std::int64_t operatingSystemMajorVersion = 0;  // the macOS major version; 0 when not macOS

    // The stand-in snapshot when TESSARON_STANDIN_HARDWARE is set, else this machine's
    // facts (SystemHardwareFacts). Read anew on every call; never throws. A stand-in
    // that is not a valid snapshot gives this machine's facts with architecture, chip
    // and model "Unknown", so the check says it could not verify the processor.
    static HardwareSnapshot current();

    // All six keys are required, with the types above (json::DecodingError).
    static HardwareSnapshot fromJson(const json::Json& object);
    json::Json toJson() const;

    bool operator==(const HardwareSnapshot&) const = default;
};

// Where the facts come from; callers that need a snapshot take one of these so that
// tests can hand in a fixed one.
class HardwareFactsSource {
public:
    virtual ~HardwareFactsSource() = default;
    virtual HardwareSnapshot snapshot() const = 0;
};

// HardwareSnapshot::current(): the stand-in variable, else the real facts.
class CurrentHardwareFacts : public HardwareFactsSource {
public:
    HardwareSnapshot snapshot() const override { return HardwareSnapshot::current(); }
};

// A fixed snapshot.
class FixedHardwareFacts : public HardwareFactsSource {
public:
    explicit FixedHardwareFacts(HardwareSnapshot snapshot) : snapshot_(std::move(snapshot)) {}
    HardwareSnapshot snapshot() const override { return snapshot_; }

private:
    HardwareSnapshot snapshot_;
};

// The real facts of this (Linux) machine, with the files looked up under `root`.
class SystemHardwareFacts : public HardwareFactsSource {
public:
    explicit SystemHardwareFacts(std::filesystem::path root = "/") : root_(std::move(root)) {}
    HardwareSnapshot snapshot() const override;

    // The string kernel variables the check reads: "machdep.cpu.brand_string" (the
    // first "model name" of /proc/cpuinfo) and "hw.model" (the DMI product name, else
    // the device-tree model). The text runs up to the first NUL or line break, with
    // invalid UTF-8 replaced; nothing when unreadable or for any other name.
    std::optional<std::string> kernelString(std::string_view name) const;

private:
    std::filesystem::path root_;
};

enum class HardwareRejection {
    couldNotVerifyHardware,
    requiresAppleSilicon,
    requiresMSeries,
    requiresMacOS13,
    requiresEightGiBMemory,
};

inline constexpr std::array<HardwareRejection, 5> allHardwareRejections = {
    HardwareRejection::couldNotVerifyHardware, HardwareRejection::requiresAppleSilicon,
    HardwareRejection::requiresMSeries, HardwareRejection::requiresMacOS13,
    HardwareRejection::requiresEightGiBMemory};

// The raw value is the case name.
std::string rawValue(HardwareRejection rejection);
// Exact match only.
std::optional<HardwareRejection> hardwareRejection(std::string_view rawValue);
std::string message(HardwareRejection rejection);

struct HardwareSupportReport {
    HardwareSnapshot snapshot;
    std::vector<HardwareRejection> rejections;  // in the order they were found

    bool isSupported() const { return rejections.empty(); }
    std::string title() const;
    // The title, then one line per rejection, joined with line feeds.
    std::string explanation() const;
    std::string alternative() const;
    static std::string requirements();

    bool operator==(const HardwareSupportReport&) const = default;
};

namespace HardwareSupport {

// Never fails: at most one processor rejection, then macOS, then memory.
HardwareSupportReport evaluate(const HardwareSnapshot& snapshot);

// "Apple M" followed by a numeric character, after trimming white space: "Apple M2 Pro".
bool isMSeriesChipName(std::string_view name);

}  // namespace HardwareSupport

}  // namespace tessaron
