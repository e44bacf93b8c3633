#pragma once
// Command-line flags parsed the way limactl's (cobra/pflag) parser does: "--flag=value",
// "--flag value", "-f value", boolean "--flag" or "--flag=false", "--" ending the flags.
// Unknown flags and malformed values are refused with pflag's own wording.

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace tessaron::standin::limactl {

struct FlagSpec {
    std::string name;        // long name without dashes
    char shorthand = 0;      // 0 when none
    bool takesValue = true;  // false for booleans
    bool repeatable = false; // values collected in order (e.g. --network)
};

struct ParsedArguments {
    std::map<std::string, std::vector<std::string>> values;  // boolean flags hold "true"/"false"
    std::vector<std::string> positionals;
    // Index into `positionals` where an explicit "--" stood, if one did.
    std::optional<std::size_t> dashDashAt;

    bool has(const std::string& name) const { return values.count(name) > 0; }
    // The last value given for a flag.
    std::optional<std::string> value(const std::string& name) const;
    // A boolean flag's value; `fallback` when absent.
    bool flag(const std::string& name, bool fallback = false) const;
};

// Parses `arguments` against `specs` (plus the global flags every limactl command takes).
// With `interspersed` false, the first positional ends flag parsing (as for `shell`).
ParsedArguments parseArguments(const std::vector<std::string>& arguments, std::vector<FlagSpec> specs,
                               bool interspersed = true);

// strconv.ParseBool's accepted spellings; throws a LimactlError naming the flag otherwise.
bool parseBoolValue(const std::string& flagName, const std::string& text);
long long parseIntValue(const std::string& flagName, const std::string& text);
double parseFloatValue(const std::string& flagName, const std::string& text);

}  // namespace tessaron::standin::limactl
