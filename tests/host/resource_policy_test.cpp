#include "host/resource_policy.h"

#include "host/hardware_support.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <climits>

namespace tessaron {
namespace {

constexpr std::uint64_t MiB = ResourcePolicy::mebibyte;
constexpr std::uint64_t GiB = ResourcePolicy::gibibyte;
using Kind = ResourcePolicyError::Kind;

HostCapacity mac(std::int64_t cpus, std::uint64_t memory) { return {cpus, memory}; }

const std::string wholeNumbers = "CPU cores and RAM in GiB must be positive whole numbers within this Mac's limits.";
std::string memoryMessage(const std::string& gib) {
    return "Choose between 2 and " + gib + " GiB of RAM, in 256 MiB increments. Resources must remain available for macOS.";
}

// Runs `call` and returns the error it throws; fails the test if it returns.
template <typename Call>
std::optional<ResourcePolicyError> errorOf(Call call) {
    try {
        call();
    } catch (const ResourcePolicyError& error) {
        return error;
    }
    return std::nullopt;
}

TEST(ResourcePolicy, ConstantsAreTheByteCounts) {
    EXPECT_EQ(ResourcePolicy::mebibyte, 1048576u);
    EXPECT_EQ(ResourcePolicy::gibibyte, 1073741824u);
    EXPECT_EQ(ResourcePolicy::memoryIncrement, 268435456u);
    EXPECT_EQ(ResourcePolicy::minimumVMMemory, 2147483648u);
}

TEST(ResourcePolicy, MaximumCPUsKeepAFifthForMacOS) {
    const std::vector<std::pair<std::int64_t, std::int64_t>> table = {
        {2, 1},  {3, 2},   {4, 2},   {5, 3},   {6, 4},   {8, 6},   {10, 8},
        {11, 8}, {12, 9},  {14, 11}, {16, 12}, {20, 16}, {24, 19}, {32, 25},
        {100, 80}, {101, 80},
        // Far beyond any Mac: the reserve must still be a fifth, without overflow.
        {INT64_MAX, INT64_MAX - (INT64_MAX / 5 + 1)},
    };
    for (auto [cpus, maximum] : table) {
        ResourceBounds b = ResourcePolicy::bounds(mac(cpus, 16 * GiB));
        EXPECT_EQ(b.maximum.virtualCPUCount, maximum) << cpus;
        EXPECT_EQ(b.hostCPUReserve, cpus - maximum) << cpus;
        EXPECT_EQ(b.minimum, (ResourceAllocation{1, ResourcePolicy::minimumVMMemory})) << cpus;
    }
}

TEST(ResourcePolicy, MaximumMemoryLeavesTheReserve) {
    const std::vector<std::pair<std::uint64_t, std::uint64_t>> table = {
        {8 * GiB, 3 * GiB},
        {8 * GiB + 256 * MiB, 4 * GiB + 256 * MiB},
        {8 * GiB + 1, 4 * GiB},  // floored to 256 MiB
        {9 * GiB, 5 * GiB},
        {12 * GiB, 8 * GiB},
        {12 * GiB + 100, 8 * GiB},
        {15 * GiB, 11 * GiB},
        {16'106'127'363, 11 * GiB},  // last size with a fixed 4 GiB reserve
        {16'106'127'364, 11 * GiB},  // first size with a quarter reserve
        {16 * GiB, 12 * GiB},
        {18 * GiB, 13 * GiB + 512 * MiB},
        {24 * GiB, 18 * GiB},
        {32 * GiB, 24 * GiB},
        {36 * GiB, 27 * GiB},
        {48 * GiB, 36 * GiB},
        {64 * GiB, 48 * GiB},
        {96 * GiB, 72 * GiB},
        {128 * GiB, 96 * GiB},
        {17 * GiB, 12 * GiB + 768 * MiB},
        {17 * GiB + 4, 12 * GiB + 512 * MiB},  // a quarter of 4.25 GiB + 1 rounds up to 4.5 GiB
        {UINT64_MAX, (UINT64_MAX - (std::uint64_t{1} << 62)) & ~(256 * MiB - 1)},
    };
    for (auto [memory, maximum] : table) {
        ResourceBounds b = ResourcePolicy::bounds(mac(8, memory));
        EXPECT_EQ(b.maximum.memoryBytes, maximum) << memory;
        EXPECT_EQ(b.hostMemoryReserveBytes, memory - maximum) << memory;
        EXPECT_EQ(b.maximum.memoryBytes % ResourcePolicy::memoryIncrement, 0u) << memory;
        EXPECT_GE(b.maximum.memoryBytes, b.minimum.memoryBytes) << memory;
    }
}

TEST(ResourcePolicy, TooSmallMacsReportCPUBeforeMemory) {
    const std::vector<std::tuple<std::int64_t, std::uint64_t, Kind>> table = {
        {1, 64 * GiB, Kind::insufficientCPU},   {2, 4 * GiB, Kind::insufficientMemory},
        {1, 4 * GiB, Kind::insufficientCPU},    {0, 0, Kind::insufficientCPU},
        {-5, 64 * GiB, Kind::insufficientCPU},  {INT64_MIN, 64 * GiB, Kind::insufficientCPU},
        {8, 8 * GiB - 1, Kind::insufficientMemory}, {8, 0, Kind::insufficientMemory},
    };
    for (auto [cpus, memory, kind] : table) {
        auto host = mac(cpus, memory);
        // Every operation passes the host's error through unchanged.
        std::vector<std::optional<ResourcePolicyError>> errors = {
            errorOf([&] { ResourcePolicy::bounds(host); }),
            errorOf([&] { ResourcePolicy::allocation(ResourceProfile::balanced, host); }),
            errorOf([&] { ResourcePolicy::validatedAllocation(1, 2 * GiB, host); }),
            errorOf([&] { ResourcePolicy::selectedAllocation("1", "2", host); }),
            errorOf([&] { ResourcePolicy::advancedAllocation(1, 2 * GiB, host); }),
        };
        for (const auto& error : errors) {
            ASSERT_TRUE(error) << cpus << " " << memory;
            EXPECT_EQ(error->kind(), kind) << cpus << " " << memory;
        }
    }
    EXPECT_STREQ(ResourcePolicyError::insufficientCPU().what(),
                 "This Mac does not have a logical CPU available for the hosting VM.");
    EXPECT_STREQ(ResourcePolicyError::insufficientMemory().what(),
                 "This Mac needs at least 8 GiB of physical memory to run the hosting VM safely.");
}

TEST(ResourcePolicy, ProfilesScaleWithTheHost) {
    struct Row {
        HostCapacity host;
        ResourceAllocation eco, balanced, performance;
    };
    const std::vector<Row> table = {
        {mac(8, 8 * GiB), {2, 2 * GiB}, {4, 2 * GiB}, {6, 3 * GiB}},
        {mac(10, 16 * GiB), {2, 2 * GiB + 256 * MiB}, {5, 4 * GiB}, {8, 12 * GiB}},
        {mac(12, 32 * GiB), {3, 4 * GiB + 768 * MiB}, {6, 8 * GiB}, {9, 24 * GiB}},
        // Two CPUs: every profile is held to the one CPU the VM may have.
        {mac(2, 8 * GiB), {1, 2 * GiB}, {1, 2 * GiB}, {1, 3 * GiB}},
        {mac(3, 9 * GiB), {1, 2 * GiB}, {1, 2 * GiB + 256 * MiB}, {2, 5 * GiB}},
    };
    for (const auto& row : table) {
        EXPECT_EQ(ResourcePolicy::allocation(ResourceProfile::eco, row.host), row.eco) << row.host.logicalCPUCount;
        EXPECT_EQ(ResourcePolicy::allocation(ResourceProfile::balanced, row.host), row.balanced)
            << row.host.logicalCPUCount;
        EXPECT_EQ(ResourcePolicy::allocation(ResourceProfile::performance, row.host), row.performance)
            << row.host.logicalCPUCount;
    }
}

TEST(ResourcePolicy, ValidationAcceptsTheRangeAndNamesItOtherwise) {
    const std::string cpuRange8 = "Choose between 1 and 6 CPU cores on this Mac.";
    struct Row {
        HostCapacity host;
        std::int64_t cpus;
        std::uint64_t memory;
        std::string error;  // "" when accepted
    };
    const std::vector<Row> table = {
        {mac(8, 16 * GiB), 1, 2 * GiB, ""},
        {mac(8, 16 * GiB), 6, 12 * GiB, ""},
        {mac(8, 16 * GiB), 4, 2 * GiB + 512 * MiB, ""},
        {mac(8, 16 * GiB), 0, 4 * GiB, cpuRange8},
        {mac(8, 16 * GiB), 7, 4 * GiB, cpuRange8},
        {mac(8, 16 * GiB), -1, 4 * GiB, cpuRange8},
        {mac(8, 16 * GiB), INT64_MAX, 4 * GiB, cpuRange8},
        {mac(8, 16 * GiB), 7, 1, cpuRange8},  // the CPU range is reported before memory
        {mac(8, 16 * GiB), 2, 2 * GiB + MiB, memoryMessage("12.0")},
        {mac(8, 16 * GiB), 2, 12 * GiB + 256 * MiB, memoryMessage("12.0")},
        {mac(8, 16 * GiB), 2, 2 * GiB - 256 * MiB, memoryMessage("12.0")},
        {mac(8, 16 * GiB), 2, 0, memoryMessage("12.0")},
        {mac(8, 16 * GiB), 2, UINT64_MAX, memoryMessage("12.0")},
        {mac(8, 8 * GiB), 2, 4 * GiB, memoryMessage("3.0")},
        {mac(8, 18 * GiB), 2, 14 * GiB, memoryMessage("13.5")},
        {mac(8, 17 * GiB), 2, 13 * GiB, memoryMessage("12.75")},
        {mac(8, 8 * GiB + 256 * MiB), 2, 5 * GiB, memoryMessage("4.25")},
        {mac(24, 1024 * GiB), 19, 769 * GiB, memoryMessage("768.0")},
        {mac(4, 16 * GiB), 3, 4 * GiB, "Choose between 1 and 2 CPU cores on this Mac."},
    };
    for (const auto& row : table) {
        auto error = errorOf([&] {
            EXPECT_EQ(ResourcePolicy::validatedAllocation(row.cpus, row.memory, row.host),
                      (ResourceAllocation{row.cpus, row.memory}));
        });
        if (row.error.empty()) {
            EXPECT_FALSE(error) << row.cpus << " " << row.memory << ": " << error->what();
        } else {
            ASSERT_TRUE(error) << row.cpus << " " << row.memory;
            EXPECT_EQ(error->kind(), Kind::invalidSelection);
            EXPECT_EQ(error->what(), row.error) << row.cpus << " " << row.memory;
        }
    }
}

TEST(ResourcePolicy, TextsMustBePositiveWholeNumbers) {
    const HostCapacity host = mac(8, 16 * GiB);
    const HostCapacity tooSmall = mac(1, 4 * GiB);
    struct Row {
        std::string cpu, memory;
        std::optional<ResourceAllocation> result;
        std::string error;
    };
    const std::vector<Row> table = {
        {"4", "8", ResourceAllocation{4, 8 * GiB}, ""},
        {"+4", "+8", ResourceAllocation{4, 8 * GiB}, ""},
        {"0006", "012", ResourceAllocation{6, 12 * GiB}, ""},
        {" 4", "8", std::nullopt, wholeNumbers},
        {"4 ", "8", std::nullopt, wholeNumbers},
        {"4.0", "8", std::nullopt, wholeNumbers},
        {"0", "8", std::nullopt, wholeNumbers},
        {"-0", "8", std::nullopt, wholeNumbers},
        {"-2", "8", std::nullopt, wholeNumbers},
        {"", "8", std::nullopt, wholeNumbers},
        {"+", "8", std::nullopt, wholeNumbers},
        {"++4", "8", std::nullopt, wholeNumbers},
        {"+-4", "8", std::nullopt, wholeNumbers},
        {"\uff14", "8", std::nullopt, wholeNumbers},  // a full-width digit is no ASCII digit
        {"9223372036854775808", "8", std::nullopt, wholeNumbers},
        {"99999999999999999999999", "8", std::nullopt, wholeNumbers},
        {"4", "2.5", std::nullopt, wholeNumbers},
        {"4", "", std::nullopt, wholeNumbers},
        {"4", "0", std::nullopt, wholeNumbers},
        {"4", "-0", std::nullopt, wholeNumbers},
        {"4", "-000", std::nullopt, wholeNumbers},
        {"4", "-8", std::nullopt, wholeNumbers},
        {"4", "8GiB", std::nullopt, wholeNumbers},
        {"4", "17179869184", std::nullopt, wholeNumbers},  // 2^34 GiB would not fit in bytes
        {"4", "18446744073709551616", std::nullopt, wholeNumbers},
        // Well-formed texts go on to the range check.
        {"4", "17179869183", std::nullopt, memoryMessage("12.0")},
        {"4", "13", std::nullopt, memoryMessage("12.0")},
        {"4", "1", std::nullopt, memoryMessage("12.0")},
        {"9223372036854775807", "8", std::nullopt, "Choose between 1 and 6 CPU cores on this Mac."},
        {"7", "8", std::nullopt, "Choose between 1 and 6 CPU cores on this Mac."},
    };
    for (const auto& row : table) {
        std::optional<ResourceAllocation> result;
        auto error = errorOf([&] { result = ResourcePolicy::selectedAllocation(row.cpu, row.memory, host); });
        if (row.result) {
            EXPECT_EQ(result, row.result) << row.cpu << "/" << row.memory;
            EXPECT_FALSE(error) << row.cpu << "/" << row.memory;
            // A valid pair on a Mac that is too small reports the Mac.
            auto hostError = errorOf([&] { ResourcePolicy::selectedAllocation(row.cpu, row.memory, tooSmall); });
            ASSERT_TRUE(hostError);
            EXPECT_EQ(hostError->kind(), Kind::insufficientCPU);
        } else {
            ASSERT_TRUE(error) << row.cpu << "/" << row.memory;
            EXPECT_EQ(error->what(), row.error) << row.cpu << "/" << row.memory;
            if (row.error == wholeNumbers) {
                // Bad texts are reported before the host is examined.
                auto hostError = errorOf([&] { ResourcePolicy::selectedAllocation(row.cpu, row.memory, tooSmall); });
                ASSERT_TRUE(hostError);
                EXPECT_EQ(hostError->what(), wholeNumbers) << row.cpu << "/" << row.memory;
            }
        }
    }
}

TEST(ResourcePolicy, AdvancedAllocationClampsIntoTheBounds) {
    const HostCapacity host = mac(8, 16 * GiB);
    const std::vector<std::tuple<std::int64_t, std::uint64_t, ResourceAllocation>> table = {
        {64, 1024 * GiB, {6, 12 * GiB}},
        {4, 3 * GiB + 100, {4, 3 * GiB}},
        {0, 0, {1, 2 * GiB}},
        {INT64_MIN, 2 * GiB - 1, {1, 2 * GiB}},
        {INT64_MAX, UINT64_MAX, {6, 12 * GiB}},
        {3, 5 * GiB + 255 * MiB, {3, 5 * GiB}},
    };
    for (auto [cpus, memory, expected] : table)
        EXPECT_EQ(ResourcePolicy::advancedAllocation(cpus, memory, host), expected) << cpus << " " << memory;
}

TEST(ResourceProfile, RawValuesMatchExactly) {
    ASSERT_EQ(allResourceProfiles.size(), 3u);
    EXPECT_EQ(allResourceProfiles[0], ResourceProfile::eco);
    EXPECT_EQ(allResourceProfiles[1], ResourceProfile::balanced);
    EXPECT_EQ(allResourceProfiles[2], ResourceProfile::performance);
    for (ResourceProfile profile : allResourceProfiles) {
        EXPECT_EQ(resourceProfile(rawValue(profile)), profile);
        json::Json encoded = profile;
        EXPECT_EQ(encoded, json::Json(rawValue(profile)));
        EXPECT_EQ(encoded.get<ResourceProfile>(), profile);
    }
    EXPECT_EQ(rawValue(ResourceProfile::performance), "performance");
    for (const char* text : {"Eco", "BALANCED", " eco", "eco ", "", "perf"}) {
        EXPECT_FALSE(resourceProfile(text)) << text;
        EXPECT_THROW(json::Json(text).get<ResourceProfile>(), json::DecodingError) << text;
    }
    EXPECT_THROW(json::Json(3).get<ResourceProfile>(), json::DecodingError);
}

TEST(ResourcePolicyError, EqualityComparesKindAndSelectionText) {
    EXPECT_EQ(ResourcePolicyError::invalidSelection("a"), ResourcePolicyError::invalidSelection("a"));
    EXPECT_FALSE(ResourcePolicyError::invalidSelection("a") == ResourcePolicyError::invalidSelection("b"));
    EXPECT_EQ(ResourcePolicyError::insufficientCPU(), ResourcePolicyError::insufficientCPU());
    EXPECT_FALSE(ResourcePolicyError::insufficientCPU() == ResourcePolicyError::insufficientMemory());
    EXPECT_FALSE(ResourcePolicyError::invalidSelection(ResourcePolicyError::insufficientCPU().what()) ==
                 ResourcePolicyError::insufficientCPU());
}

TEST(HostCapacity, CurrentIsTheMacTheHardwareCheckSees) {
    const HostCapacity machine = HostCapacity::thisMachine();
    EXPECT_GE(machine.logicalCPUCount, 1);
    EXPECT_GT(machine.memoryBytes, 64 * MiB);
    const std::string mac16 = json::encode(HardwareSnapshot{"arm64", "Apple M2", "Mac14,2", 8, 16 * GiB, 14}.toJson());
    struct Case {
        std::optional<std::string> standin;
        HostCapacity expected;
    };
    for (const Case& c : {Case{std::nullopt, machine}, Case{mac16, HostCapacity{8, 16 * GiB}},
                          Case{std::string("not a snapshot"), machine}}) {
        testing::ScopedEnv standin(standinHardwareVariable, c.standin);
        EXPECT_EQ(HostCapacity::current(), c.expected) << c.standin.value_or("(none)");
        EXPECT_EQ(HostCapacity::current(), HostCapacity::current());
    }
    // The 16 GiB stand-in Mac keeps 4 GiB for macOS whatever this machine has.
    testing::ScopedEnv standin(standinHardwareVariable, mac16);
    EXPECT_EQ(ResourcePolicy::bounds(HostCapacity::current()).maximum.memoryBytes, 12 * GiB);
}

}  // namespace
}  // namespace tessaron
