#pragma once
// The command line's option parser and the one message error of the `tessaron`
// program's own code.
//
// Options are words beginning with "--". An option followed by a word that does not
// begin with "--" takes that word as its value; otherwise it is a flag. Every other
// word (command and subcommand names) is skipped. There is no "--name=value" form.

#include "host/error.h"

#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace tessaron::cli {

class CLIError : public Error {
public:
    enum class Kind { missingOption, invalidOption, invalidURL, unsupportedMac, pairing };

    // "Missing required option --<name>."
    static CLIError missingOption(const std::string& name);
    // "Invalid --<name>: <value>" (no full stop)
    static CLIError invalidOption(const std::string& name, const std::string& value);
    // "Invalid URL: <value>"
    static CLIError invalidURL(const std::string& value);
    // The message itself.
    static CLIError unsupportedMac(const std::string& message);
    // The message itself: the general message error of the lock, provisioning, the
    // tunnel, the installers and the pairing flows.
    static CLIError pairing(const std::string& message);

    Kind kind() const noexcept { return kind_; }

private:
    CLIError(Kind kind, const std::string& description) : Error(description), kind_(kind) {}
    Kind kind_;
};

struct CLIOptions {
    std::map<std::string, std::string> values;  // option name (without "--") to value
    std::set<std::string> flags;                // options given without a value

    CLIOptions() = default;
    explicit CLIOptions(const std::vector<std::string>& arguments);

    // The option's non-empty value, else `fallback`, else CLIError::missingOption.
    std::string value(const std::string& name, const std::optional<std::string>& fallback = std::nullopt) const;

    bool hasFlag(const std::string& name) const { return flags.count(name) != 0; }
};

}  // namespace tessaron::cli
