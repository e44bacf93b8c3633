#include "host/hardware_support.h"

#include "host/resource_policy.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>

namespace tessaron {

namespace {

namespace fs = std::filesystem;

constexpr std::uint64_t eightGiB = 8'589'934'592;
constexpr std::string_view replacementCharacter = "\xEF\xBF\xBD";

// Decodes the UTF-8 sequence at `text[at]`. Returns its length, or 0 when the bytes
// there are not a well-formed sequence (overlong forms and surrogates included).
std::size_t decodeScalar(std::string_view text, std::size_t at, char32_t& scalar) {
    auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    unsigned char lead = byte(at);
    std::size_t length;
    char32_t value;
    if (lead < 0x80) {
        scalar = lead;
        return 1;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        value = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        value = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        value = lead & 0x07;
    } else {
        return 0;
    }
    if (text.size() - at < length) return 0;
    for (std::size_t i = 1; i < length; ++i) {
        unsigned char next = byte(at + i);
        if ((next & 0xC0) != 0x80) return 0;
        value = (value << 6) | (next & 0x3F);
    }
    if ((length == 3 && value < 0x800) || (length == 4 && (value < 0x10000 || value > 0x10FFFF)) ||
        (value >= 0xD800 && value <= 0xDFFF))
        return 0;
    scalar = value;
    return length;
}

// The text with every byte that does not start a well-formed sequence replaced by U+FFFD.
std::string replacingInvalidUTF8(std::string_view text) {
    std::string result;
    result.reserve(text.size());
    for (std::size_t at = 0; at < text.size();) {
        char32_t scalar;
        std::size_t length = decodeScalar(text, at, scalar);
        if (length == 0) {
            result += replacementCharacter;
            ++at;
        } else {
            result.append(text.substr(at, length));
            at += length;
        }
    }
    return result;
}

// Unicode white space and line breaks (the separators Zs, Zl, Zp, the C0 controls
// tab to carriage return, and next line).
bool isWhitespaceOrNewline(char32_t c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

std::string_view trimmed(std::string_view text) {
    std::size_t begin = 0;
    while (begin < text.size()) {
        char32_t scalar;
        std::size_t length = decodeScalar(text, begin, scalar);
        if (length == 0 || !isWhitespaceOrNewline(scalar)) break;
        begin += length;
    }
    std::size_t end = text.size();
    while (end > begin) {
        // Step back to the lead byte of the last sequence (at most three continuation bytes).
        std::size_t start = end - 1;
        while (start > begin && end - start < 4 && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) --start;
        char32_t scalar;
        std::size_t length = decodeScalar(text, start, scalar);
        if (length != end - start || !isWhitespaceOrNewline(scalar)) break;
        end = start;
    }
    return text.substr(begin, end - begin);
}

// Characters with a Unicode numeric type: the decimal digits of every script in the
// Basic Multilingual Plane and beyond that a Mac's brand string could plausibly carry,
// superscripts, subscripts, fractions, Roman and enclosed numerals, and the common
// Chinese and Japanese numerals.
bool isNumeric(char32_t c) {
    static constexpr std::pair<char32_t, char32_t> ranges[] = {
        {0x30, 0x39},       {0xB2, 0xB3},       {0xB9, 0xB9},       {0xBC, 0xBE},       {0x660, 0x669},
        {0x6F0, 0x6F9},     {0x7C0, 0x7C9},     {0x966, 0x96F},     {0x9E6, 0x9EF},     {0x9F4, 0x9F9},
        {0xA66, 0xA6F},     {0xAE6, 0xAEF},     {0xB66, 0xB6F},     {0xBE6, 0xBF2},     {0xC66, 0xC6F},
        {0xCE6, 0xCEF},     {0xD66, 0xD78},     {0xDE6, 0xDEF},     {0xE50, 0xE59},     {0xED0, 0xED9},
        {0xF20, 0xF33},     {0x1040, 0x1049},   {0x1090, 0x1099},   {0x1369, 0x137C},   {0x16EE, 0x16F0},
        {0x17E0, 0x17E9},   {0x1810, 0x1819},   {0x1946, 0x194F},   {0x19D0, 0x19DA},   {0x1A80, 0x1A89},
        {0x1A90, 0x1A99},   {0x1B50, 0x1B59},   {0x1BB0, 0x1BB9},   {0x1C40, 0x1C49},   {0x1C50, 0x1C59},
        {0x2070, 0x2070},   {0x2074, 0x2079},   {0x2080, 0x2089},   {0x2150, 0x2182},   {0x2185, 0x2189},
        {0x2460, 0x249B},   {0x24EA, 0x24FF},   {0x2776, 0x2793},   {0x2CFD, 0x2CFD},   {0x3007, 0x3007},
        {0x3021, 0x3029},   {0x3038, 0x303A},   {0x3192, 0x3195},   {0x3220, 0x3229},   {0x3248, 0x324F},
        {0x3251, 0x325F},   {0x3280, 0x3289},   {0x32B1, 0x32BF},   {0x4E00, 0x4E00},   {0x4E03, 0x4E03},
        {0x4E07, 0x4E07},   {0x4E09, 0x4E09},   {0x4E5D, 0x4E5D},   {0x4E8C, 0x4E8C},   {0x4E94, 0x4E94},
        {0x5104, 0x5104},   {0x5146, 0x5146},   {0x516B, 0x516B},   {0x516D, 0x516D},   {0x5341, 0x5341},
        {0x5343, 0x5343},   {0x56DB, 0x56DB},   {0x767E, 0x767E},   {0x842C, 0x842C},   {0x96F6, 0x96F6},
        {0xA620, 0xA629},   {0xA830, 0xA835},   {0xA8D0, 0xA8D9},   {0xA900, 0xA909},   {0xA9D0, 0xA9D9},
        {0xA9F0, 0xA9F9},   {0xAA50, 0xAA59},   {0xABF0, 0xABF9},   {0xFF10, 0xFF19},   {0x10107, 0x10133},
        {0x104A0, 0x104A9}, {0x1D7CE, 0x1D7FF}, {0x1F100, 0x1F10C},
    };
    for (auto [first, last] : ranges)
        if (c >= first && c <= last) return true;
    return false;
}

// "unknown" in any letter case; the Kelvin sign is an upper-case k.
bool isUnknownInAnyCase(std::string_view text) {
    constexpr std::string_view target = "unknown";
    std::size_t at = 0;
    for (char expected : target) {
        if (at >= text.size()) return false;
        char32_t scalar;
        std::size_t length = decodeScalar(text, at, scalar);
        if (length == 0) return false;
        if (scalar == 0x212A) scalar = 'k';
        if (scalar >= 'A' && scalar <= 'Z') scalar += 'a' - 'A';
        if (scalar != static_cast<char32_t>(expected)) return false;
        at += length;
    }
    return at == text.size();
}

// The first line of a file (up to a NUL or line break), at most `limit` bytes read.
std::optional<std::string> firstLine(const fs::path& path, std::size_t limit = 4096) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::string bytes(limit, '\0');
    in.read(bytes.data(), static_cast<std::streamsize>(limit));
    if (in.bad()) return std::nullopt;
    bytes.resize(static_cast<std::size_t>(in.gcount()));
    bytes = bytes.substr(0, bytes.find_first_of(std::string_view("\0\n", 2)));
    return replacingInvalidUTF8(bytes);
}

// The value of the first "model name" line of /proc/cpuinfo.
std::optional<std::string> cpuModelName(const fs::path& cpuinfo) {
    std::ifstream in(cpuinfo, std::ios::binary);
    if (!in) return std::nullopt;
    std::string line;
    std::size_t scanned = 0;
    while (scanned < (4u << 20) && std::getline(in, line)) {
        scanned += line.size() + 1;
        if (line.rfind("model name", 0) != 0) continue;
        std::size_t colon = line.find(':');
        if (colon == std::string::npos) continue;
        std::string value = line.substr(colon + 1);
        value = value.substr(0, value.find('\0'));
        if (!value.empty() && value.front() == ' ') value.erase(0, 1);
        return replacingInvalidUTF8(value);
    }
    return std::nullopt;
}

constexpr const char* builtArchitecture() {
#if defined(__aarch64__) || defined(__arm64__)
    return "arm64";
#elif defined(__x86_64__)
    return "x86_64";
#elif defined(__i386__)
    return "i386";
#else
    return "unknown";
#endif
}

}  // namespace

std::optional<std::string> SystemHardwareFacts::kernelString(std::string_view name) const {
    auto under = [&](const char* path) { return root_ / fs::path(path).relative_path(); };
    if (name == "machdep.cpu.brand_string") return cpuModelName(under("/proc/cpuinfo"));
    if (name == "hw.model") {
        if (auto product = firstLine(under("/sys/devices/virtual/dmi/id/product_name"))) return product;
        return firstLine(under("/proc/device-tree/model"));
    }
    return std::nullopt;
}

HardwareSnapshot SystemHardwareFacts::snapshot() const {
    HardwareSnapshot snapshot;
    snapshot.operatingSystemMajorVersion = 0;  // this is not macOS
    snapshot.chipName = kernelString("machdep.cpu.brand_string").value_or("Unknown");
    snapshot.modelIdentifier = kernelString("hw.model").value_or("Unknown");
    const HostCapacity host = HostCapacity::thisMachine();
    snapshot.logicalCPUCount = host.logicalCPUCount;
    snapshot.memoryBytes = host.memoryBytes;
    snapshot.architecture = builtArchitecture();
    return snapshot;
}

HardwareSnapshot HardwareSnapshot::current() {
    const char* standin = std::getenv(standinHardwareVariable);
    if (standin == nullptr) return SystemHardwareFacts().snapshot();
    try {
        return fromJson(json::parseObject(standin));
    } catch (const std::exception&) {
        HardwareSnapshot snapshot = SystemHardwareFacts().snapshot();
        snapshot.architecture = "Unknown";
        snapshot.chipName = "Unknown";
        snapshot.modelIdentifier = "Unknown";
        return snapshot;
    }
}

HardwareSnapshot HardwareSnapshot::fromJson(const json::Json& object) {
    json::requireObject(object, "hardware snapshot");
    HardwareSnapshot snapshot;
    snapshot.architecture = json::string(object, "architecture");
    snapshot.chipName = json::string(object, "chipName");
    snapshot.modelIdentifier = json::string(object, "modelIdentifier");
    snapshot.logicalCPUCount = json::int64(object, "logicalCPUCount");
    snapshot.memoryBytes = json::uint64(object, "memoryBytes");
    snapshot.operatingSystemMajorVersion = json::int64(object, "operatingSystemMajorVersion");
    return snapshot;
}

json::Json HardwareSnapshot::toJson() const {
    return json::Json{{"architecture", architecture},
                      {"chipName", chipName},
                      {"modelIdentifier", modelIdentifier},
                      {"logicalCPUCount", logicalCPUCount},
                      {"memoryBytes", memoryBytes},
                      {"operatingSystemMajorVersion", operatingSystemMajorVersion}};
}

std::string rawValue(HardwareRejection rejection) {
    switch (rejection) {
    case HardwareRejection::couldNotVerifyHardware: return "couldNotVerifyHardware";
    case HardwareRejection::requiresAppleSilicon: return "requiresAppleSilicon";
    case HardwareRejection::requiresMSeries: return "requiresMSeries";
    case HardwareRejection::requiresMacOS13: return "requiresMacOS13";
    case HardwareRejection::requiresEightGiBMemory: return "requiresEightGiBMemory";
    }
    return "couldNotVerifyHardware";
}

std::optional<HardwareRejection> hardwareRejection(std::string_view text) {
    for (HardwareRejection rejection : allHardwareRejections)
        if (rawValue(rejection) == text) return rejection;
    return std::nullopt;
}

std::string message(HardwareRejection rejection) {
    switch (rejection) {
    case HardwareRejection::couldNotVerifyHardware:
        return "We couldn\u2019t identify this Mac\u2019s processor. Open Apple menu \u2192 About This Mac to check for an "
               "Apple M-series chip, then reopen Tessaron.";
    case HardwareRejection::requiresAppleSilicon:
        return "Hosting requires an Apple M-series Mac. Intel Macs can\u2019t run this version of the Tessaron server.";
    case HardwareRejection::requiresMSeries:
        return "This processor isn\u2019t supported. To host a server, use a Mac with an Apple M-series chip.";
    case HardwareRejection::requiresMacOS13:
        return "Update this Mac to macOS 13 (Ventura) or later, then reopen Tessaron.";
    case HardwareRejection::requiresEightGiBMemory:
        return "Hosting requires at least 8 GB of memory installed in the Mac. Changing the Linux server\u2019s memory "
               "setting won\u2019t change this requirement.";
    }
    return "";
}

std::string HardwareSupportReport::title() const {
    if (rejections.empty()) return "This Mac is compatible with Tessaron.";
    bool onlyUnverified = std::all_of(rejections.begin(), rejections.end(), [](HardwareRejection rejection) {
        return rejection == HardwareRejection::couldNotVerifyHardware;
    });
    if (onlyUnverified) return "Sorry, we couldn\u2019t check this Mac.";
    return "Sorry, this Mac can\u2019t run a Tessaron server.";
}

std::string HardwareSupportReport::explanation() const {
    std::string text = title();
    for (HardwareRejection rejection : rejections) {
        text += '\n';
        text += message(rejection);
    }
    return text;
}

std::string HardwareSupportReport::alternative() const {
    return "You can still use the web panel on this computer to manage a compatible Mac.";
}

std::string HardwareSupportReport::requirements() {
    return "Apple M-series chip \u00B7 macOS 13 or later \u00B7 at least 8 GB of Mac memory";
}

namespace HardwareSupport {

HardwareSupportReport evaluate(const HardwareSnapshot& snapshot) {
    HardwareSupportReport report{snapshot, {}};
    std::string_view chip = trimmed(snapshot.chipName);
    if (snapshot.architecture == "x86_64") {
        report.rejections.push_back(HardwareRejection::requiresAppleSilicon);
    } else if (snapshot.architecture == "arm64") {
        if (chip.empty() || isUnknownInAnyCase(chip))
            report.rejections.push_back(HardwareRejection::couldNotVerifyHardware);
        else if (!isMSeriesChipName(chip))
            report.rejections.push_back(HardwareRejection::requiresMSeries);
    } else {
        report.rejections.push_back(HardwareRejection::couldNotVerifyHardware);
    }
    if (snapshot.operatingSystemMajorVersion < 13) report.rejections.push_back(HardwareRejection::requiresMacOS13);
    if (snapshot.memoryBytes < eightGiB) report.rejections.push_back(HardwareRejection::requiresEightGiBMemory);
    return report;
}

bool isMSeriesChipName(std::string_view name) {
    constexpr std::string_view prefix = "Apple M";
    std::string_view chip = trimmed(name);
    if (chip.size() <= prefix.size() || chip.substr(0, prefix.size()) != prefix) return false;
    char32_t next;
    std::size_t length = decodeScalar(chip, prefix.size(), next);
    return length != 0 && isNumeric(next);
}

}  // namespace HardwareSupport

}  // namespace tessaron
