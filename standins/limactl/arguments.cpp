#include "standins/limactl/arguments.h"

#include "standins/limactl/lima_home.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace tessaron::standin::limactl {
namespace {

// Flags every limactl command accepts.
const std::vector<FlagSpec> globalFlags = {
    {"debug", 0, false, false},
    {"log-level", 0, true, false},
    {"log-format", 0, true, false},
    {"tty", 0, false, false},
};

const FlagSpec* findLong(const std::vector<FlagSpec>& specs, const std::string& name) {
    for (const auto& spec : specs)
        if (spec.name == name) return &spec;
    return nullptr;
}

const FlagSpec* findShort(const std::vector<FlagSpec>& specs, char c) {
    for (const auto& spec : specs)
        if (spec.shorthand == c) return &spec;
    return nullptr;
}

void store(ParsedArguments& parsed, const FlagSpec& spec, const std::string& value) {
    auto& slot = parsed.values[spec.name];
    if (!spec.repeatable) slot.clear();
    slot.push_back(value);
}

}  // namespace

std::optional<std::string> ParsedArguments::value(const std::string& name) const {
    auto it = values.find(name);
    if (it == values.end() || it->second.empty()) return std::nullopt;
    return it->second.back();
}

bool ParsedArguments::flag(const std::string& name, bool fallback) const {
    auto text = value(name);
    return text ? *text == "true" : fallback;
}

bool parseBoolValue(const std::string& flagName, const std::string& text) {
    if (text == "1" || text == "t" || text == "T" || text == "true" || text == "TRUE" || text == "True") return true;
    if (text == "0" || text == "f" || text == "F" || text == "false" || text == "FALSE" || text == "False")
        return false;
    throw LimactlError("invalid argument " + goQuote(text) + " for " + goQuote("--" + flagName) +
                       " flag: strconv.ParseBool: parsing " + goQuote(text) + ": invalid syntax");
}

long long parseIntValue(const std::string& flagName, const std::string& text) {
    errno = 0;
    char* end = nullptr;
    long long value = text.empty() ? 0 : std::strtoll(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno == ERANGE || std::isspace(static_cast<unsigned char>(text[0])))
        throw LimactlError("invalid argument " + goQuote(text) + " for " + goQuote("--" + flagName) +
                           " flag: strconv.ParseInt: parsing " + goQuote(text) + ": invalid syntax");
    return value;
}

double parseFloatValue(const std::string& flagName, const std::string& text) {
    errno = 0;
    char* end = nullptr;
    double value = text.empty() ? 0 : std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || errno == ERANGE || !std::isfinite(value) ||
        std::isspace(static_cast<unsigned char>(text[0])))
        throw LimactlError("invalid argument " + goQuote(text) + " for " + goQuote("--" + flagName) +
                           " flag: strconv.ParseFloat: parsing " + goQuote(text) + ": invalid syntax");
    return value;
}

ParsedArguments parseArguments(const std::vector<std::string>& arguments, std::vector<FlagSpec> specs,
                               bool interspersed) {
    specs.insert(specs.end(), globalFlags.begin(), globalFlags.end());
    ParsedArguments parsed;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (argument == "--") {
            parsed.dashDashAt = parsed.positionals.size();
            parsed.positionals.insert(parsed.positionals.end(), arguments.begin() + static_cast<long>(i) + 1,
                                      arguments.end());
            break;
        }
        if (argument.size() < 2 || argument[0] != '-') {
            if (!interspersed) {
                parsed.positionals.insert(parsed.positionals.end(), arguments.begin() + static_cast<long>(i),
                                          arguments.end());
                break;
            }
            parsed.positionals.push_back(argument);
            continue;
        }
        if (argument[1] == '-') {
            std::string name = argument.substr(2);
            std::optional<std::string> inlineValue;
            if (auto eq = name.find('='); eq != std::string::npos) {
                inlineValue = name.substr(eq + 1);
                name = name.substr(0, eq);
            }
            const FlagSpec* spec = findLong(specs, name);
            if (!spec) throw LimactlError("unknown flag: --" + name);
            if (!spec->takesValue) {
                store(parsed, *spec, inlineValue ? (parseBoolValue(name, *inlineValue) ? "true" : "false") : "true");
            } else if (inlineValue) {
                store(parsed, *spec, *inlineValue);
            } else if (i + 1 < arguments.size()) {
                store(parsed, *spec, arguments[++i]);
            } else {
                throw LimactlError("flag needs an argument: --" + name);
            }
            continue;
        }
        // One or more shorthand flags: "-f", "-y", "-fvalue", "-f value".
        for (std::size_t k = 1; k < argument.size(); ++k) {
            const char c = argument[k];
            const FlagSpec* spec = findShort(specs, c);
            if (!spec)
                throw LimactlError(std::string("unknown shorthand flag: '") + c + "' in " + argument);
            if (!spec->takesValue) {
                if (k + 1 < argument.size() && argument[k + 1] == '=') {
                    store(parsed, *spec, parseBoolValue(spec->name, argument.substr(k + 2)) ? "true" : "false");
                    break;
                }
                store(parsed, *spec, "true");
                continue;
            }
            if (k + 1 < argument.size()) {
                std::string rest = argument.substr(k + 1);
                if (!rest.empty() && rest[0] == '=') rest.erase(0, 1);
                store(parsed, *spec, rest);
            } else if (i + 1 < arguments.size()) {
                store(parsed, *spec, arguments[++i]);
            } else {
                throw LimactlError(std::string("flag needs an argument: '") + c + "' in -" + c);
            }
            break;
        }
    }
    return parsed;
}

}  // namespace tessaron::standin::limactl
