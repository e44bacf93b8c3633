#include "host/hardware_support.h"

#include "support/temp_dir.h"

#include <gtest/gtest.h>

namespace tessaron {
namespace {

using R = HardwareRejection;
constexpr std::uint64_t GiB = 1'073'741'824;

const std::string compatible = "This Mac is compatible with Tessaron.";
const std::string cannotCheck = "Sorry, we couldn\u2019t check this Mac.";
const std::string cannotRun = "Sorry, this Mac can\u2019t run a Tessaron server.";

HardwareSnapshot eligible() { return {"arm64", "Apple M1", "MacBookAir10,1", 8, 8 * GiB, 13}; }

TEST(HardwareRejection, MessagesAndRawValues) {
    const std::vector<std::tuple<R, std::string, std::string>> table = {
        {R::couldNotVerifyHardware, "couldNotVerifyHardware",
         "We couldn\u2019t identify this Mac\u2019s processor. Open Apple menu \u2192 About This Mac to check for an "
         "Apple M-series chip, then reopen Tessaron."},
        {R::requiresAppleSilicon, "requiresAppleSilicon",
         "Hosting requires an Apple M-series Mac. Intel Macs can\u2019t run this version of the Tessaron server."},
        {R::requiresMSeries, "requiresMSeries",
         "This processor isn\u2019t supported. To host a server, use a Mac with an Apple M-series chip."},
        {R::requiresMacOS13, "requiresMacOS13", "Update this Mac to macOS 13 (Ventura) or later, then reopen Tessaron."},
        {R::requiresEightGiBMemory, "requiresEightGiBMemory",
         "Hosting requires at least 8 GB of memory installed in the Mac. Changing the Linux server\u2019s memory setting "
         "won\u2019t change this requirement."},
    };
    ASSERT_EQ(allHardwareRejections.size(), table.size());
    for (std::size_t i = 0; i < table.size(); ++i) {
        auto [rejection, raw, text] = table[i];
        EXPECT_EQ(allHardwareRejections[i], rejection);
        EXPECT_EQ(rawValue(rejection), raw);
        EXPECT_EQ(hardwareRejection(raw), rejection);
        EXPECT_EQ(message(rejection), text) << raw;
    }
    for (const char* text : {"requiresmacos13", "", "requiresMacOS13 ", "RequiresAppleSilicon"})
        EXPECT_FALSE(hardwareRejection(text)) << text;
    EXPECT_EQ(HardwareSupportReport::requirements(),
              "Apple M-series chip \u00B7 macOS 13 or later \u00B7 at least 8 GB of Mac memory");
    EXPECT_EQ(HardwareSupportReport{}.alternative(),
              "You can still use the web panel on this computer to manage a compatible Mac.");
}

TEST(HardwareSupport, EvaluateListsEveryUnmetRequirementInOrder) {
    struct Row {
        std::string name;
        HardwareSnapshot snapshot;
        std::vector<R> rejections;
        std::string title;
    };
    auto with = [](auto change) {
        HardwareSnapshot s = eligible();
        change(s);
        return s;
    };
    const std::vector<Row> table = {
        {"eligible at the limits", eligible(), {}, compatible},
        {"M3 Max with blanks", with([](auto& s) { s.chipName = " \t Apple M3 Max\n"; }), {}, compatible},
        {"unicode blanks", with([](auto& s) { s.chipName = "\u00A0\u3000Apple M2 Pro\u2028"; }), {}, compatible},
        {"unknown in capitals", with([](auto& s) { s.chipName = "UNKNOWN"; }), {R::couldNotVerifyHardware}, cannotCheck},
        {"unknown with Kelvin sign", with([](auto& s) { s.chipName = "Un\u212Anown"; }), {R::couldNotVerifyHardware},
         cannotCheck},
        {"Unknown padded", with([](auto& s) { s.chipName = "  Unknown "; }), {R::couldNotVerifyHardware}, cannotCheck},
        {"blank chip", with([](auto& s) { s.chipName = " \n\t "; }), {R::couldNotVerifyHardware}, cannotCheck},
        {"empty chip", with([](auto& s) { s.chipName = ""; }), {R::couldNotVerifyHardware}, cannotCheck},
        {"unknownx is a name", with([](auto& s) { s.chipName = "unknownx"; }), {R::requiresMSeries}, cannotRun},
        {"other arm chip", with([](auto& s) { s.chipName = "Cortex-A72"; }), {R::requiresMSeries}, cannotRun},
        {"x86_64 ignores the chip", with([](auto& s) { s.architecture = "x86_64"; }), {R::requiresAppleSilicon},
         cannotRun},
        {"x86_64 all wrong",
         with([](auto& s) {
             s.architecture = "x86_64";
             s.operatingSystemMajorVersion = 12;
             s.memoryBytes = 4 * GiB;
         }),
         {R::requiresAppleSilicon, R::requiresMacOS13, R::requiresEightGiBMemory},
         cannotRun},
        {"architecture in capitals", with([](auto& s) { s.architecture = "ARM64"; }), {R::couldNotVerifyHardware},
         cannotCheck},
        {"other architecture", with([](auto& s) { s.architecture = "aarch64"; }), {R::couldNotVerifyHardware},
         cannotCheck},
        {"unverified and small",
         with([](auto& s) {
             s.chipName = "unknown";
             s.memoryBytes = 8 * GiB - 1;
         }),
         {R::couldNotVerifyHardware, R::requiresEightGiBMemory},
         cannotRun},
        {"macOS 12", with([](auto& s) { s.operatingSystemMajorVersion = 12; }), {R::requiresMacOS13}, cannotRun},
        {"negative macOS", with([](auto& s) { s.operatingSystemMajorVersion = INT64_MIN; }), {R::requiresMacOS13},
         cannotRun},
        {"one byte short", with([](auto& s) { s.memoryBytes = 8'589'934'591; }), {R::requiresEightGiBMemory},
         cannotRun},
        {"no memory", with([](auto& s) { s.memoryBytes = 0; }), {R::requiresEightGiBMemory}, cannotRun},
    };
    for (const auto& row : table) {
        HardwareSupportReport report = HardwareSupport::evaluate(row.snapshot);
        EXPECT_EQ(report.snapshot, row.snapshot) << row.name;
        EXPECT_EQ(report.rejections, row.rejections) << row.name;
        EXPECT_EQ(report.isSupported(), row.rejections.empty()) << row.name;
        EXPECT_EQ(report.title(), row.title) << row.name;
        std::string explanation = row.title;
        for (R rejection : row.rejections) {
            explanation += '\n';
            explanation += message(rejection);
        }
        EXPECT_EQ(report.explanation(), explanation) << row.name;
    }
    // The x86_64 Mac's explanation spelled out: four lines, no trailing line feed.
    HardwareSnapshot intel{"x86_64", "Intel(R) Core(TM) i7", "MacBookPro16,1", 8, 4 * GiB, 12};
    EXPECT_EQ(HardwareSupport::evaluate(intel).explanation(),
              cannotRun + "\n" + message(R::requiresAppleSilicon) + "\n" + message(R::requiresMacOS13) + "\n" +
                  message(R::requiresEightGiBMemory));
    EXPECT_EQ(HardwareSupport::evaluate(eligible()).explanation(), compatible);
}

TEST(HardwareSupport, MSeriesChipNames) {
    const std::vector<std::pair<std::string, bool>> table = {
        {"Apple M1", true},       {"Apple M2 Pro", true},     {"  Apple M3 Max \n", true}, {"Apple M10", true},
        {"Apple M\uFF14", true},  // a full-width digit has a numeric type
        {"Apple M\u00B2", true},  {"Apple M", false},          {"Apple M ", false},         {"Apple Max", false},
        {"apple m1", false},      {"Apple m1", false},         {"Apple  M1", false},        {"AppleM1", false},
        {"Apple M-1", false},     {"Apple M\xFF", false},      {"Apple M\xC2", false},      {"Apple M\u0301" "1", false},
        {"", false},              {"Intel(R) Core(TM) i9", false},
    };
    for (const auto& [name, expected] : table) EXPECT_EQ(HardwareSupport::isMSeriesChipName(name), expected) << name;
}

TEST(HardwareSnapshot, SystemFactsComeFromProcAndSys) {
    testing::TempDir root;
    // Nothing readable: unknown processor and model.
    HardwareSnapshot bare = SystemHardwareFacts(root.path()).snapshot();
    EXPECT_EQ(bare.chipName, "Unknown");
    EXPECT_EQ(bare.modelIdentifier, "Unknown");
    EXPECT_EQ(bare.operatingSystemMajorVersion, 0);
    EXPECT_GE(bare.logicalCPUCount, 1);
    EXPECT_GT(bare.memoryBytes, 0u);

    testing::writeFile(root / "proc/cpuinfo", "processor\t: 0\nvendor_id\t: GenuineIntel\nmodel name\t: Intel(R) Xeon\xFF "
                                              "CPU\nprocessor\t: 1\nmodel name\t: Second\n");
    testing::writeFile(root / "proc/device-tree/model", std::string("Apple MacBook Air (M1, 2020)\0junk", 34));
    SystemHardwareFacts facts(root.path());
    EXPECT_EQ(facts.kernelString("machdep.cpu.brand_string"), "Intel(R) Xeon\uFFFD CPU");
    EXPECT_EQ(facts.kernelString("hw.model"), "Apple MacBook Air (M1, 2020)");
    EXPECT_FALSE(facts.kernelString("kern.ostype"));
    testing::writeFile(root / "sys/devices/virtual/dmi/id/product_name", "Standard PC (Q35)\n");
    EXPECT_EQ(facts.kernelString("hw.model"), "Standard PC (Q35)");
    HardwareSnapshot snapshot = facts.snapshot();
    EXPECT_EQ(snapshot.chipName, "Intel(R) Xeon\uFFFD CPU");
    EXPECT_EQ(snapshot.modelIdentifier, "Standard PC (Q35)");

    // A cpuinfo without a model name (as on many ARM boards) leaves the processor unknown.
    testing::writeFile(root / "proc/cpuinfo", "processor\t: 0\nBogoMIPS\t: 48.00\n");
    EXPECT_FALSE(facts.kernelString("machdep.cpu.brand_string"));
}

TEST(HardwareSnapshot, ThisLinuxMachineIsNotAnEligibleMac) {
    testing::ScopedEnv noStandin(standinHardwareVariable, std::nullopt);
    HardwareSnapshot snapshot = HardwareSnapshot::current();
    EXPECT_EQ(snapshot, SystemHardwareFacts().snapshot());
    HardwareSupportReport report = HardwareSupport::evaluate(snapshot);
    EXPECT_FALSE(report.isSupported());
    EXPECT_EQ(report.title(), cannotRun);
    ASSERT_GE(report.rejections.size(), 2u);
#if defined(__x86_64__)
    EXPECT_EQ(report.rejections[0], R::requiresAppleSilicon);
#endif
    EXPECT_EQ(report.rejections[1], R::requiresMacOS13);
}

TEST(HardwareSnapshot, StandinVariableProvidesTheSnapshot) {
    HardwareSnapshot mac{"arm64", "Apple M2", "Mac14,2", 8, 16 * GiB, 14};
    {
        testing::ScopedEnv standin(standinHardwareVariable, json::encode(mac.toJson()));
        EXPECT_EQ(HardwareSnapshot::current(), mac);
        EXPECT_TRUE(HardwareSupport::evaluate(CurrentHardwareFacts().snapshot()).isSupported());
    }
    EXPECT_EQ(HardwareSnapshot::fromJson(json::parseObject(
                  R"({"architecture":"x86_64","chipName":"i7","modelIdentifier":"MacPro7,1","logicalCPUCount":16,)"
                  R"("memoryBytes":34359738368,"operatingSystemMajorVersion":12})")),
              (HardwareSnapshot{"x86_64", "i7", "MacPro7,1", 16, 32 * GiB, 12}));
    // A stand-in that is not a snapshot cannot vouch for the processor.
    for (const char* bad : {"", "not json", "[]", R"({"architecture":"arm64"})",
                            R"({"architecture":"arm64","chipName":"Apple M2","modelIdentifier":"Mac14,2",)"
                            R"("logicalCPUCount":8,"memoryBytes":-1,"operatingSystemMajorVersion":14})"}) {
        testing::ScopedEnv standin(standinHardwareVariable, std::string(bad));
        HardwareSnapshot snapshot = HardwareSnapshot::current();
        EXPECT_EQ(snapshot.chipName, "Unknown") << bad;
        HardwareSupportReport report = HardwareSupport::evaluate(snapshot);
        ASSERT_FALSE(report.rejections.empty()) << bad;
        EXPECT_EQ(report.rejections.front(), R::couldNotVerifyHardware) << bad;
    }
    FixedHardwareFacts fixed(mac);
    EXPECT_EQ(fixed.snapshot(), mac);
}

}  // namespace
}  // namespace tessaron
