#include "cli/cli_options.h"

namespace tessaron::cli {

CLIError CLIError::missingOption(const std::string& name) {
    return CLIError(Kind::missingOption, "Missing required option --" + name + ".");
}

CLIError CLIError::invalidOption(const std::string& name, const std::string& value) {
    return CLIError(Kind::invalidOption, "Invalid --" + name + ": " + value);
}

CLIError CLIError::invalidURL(const std::string& value) {
    return CLIError(Kind::invalidURL, "Invalid URL: " + value);
}

CLIError CLIError::unsupportedMac(const std::string& message) {
    return CLIError(Kind::unsupportedMac, message);
}

CLIError CLIError::pairing(const std::string& message) {
    return CLIError(Kind::pairing, message);
}

namespace {
bool isOption(const std::string& word) {
    return word.size() >= 2 && word[0] == '-' && word[1] == '-';
}
}  // namespace

CLIOptions::CLIOptions(const std::vector<std::string>& arguments) {
    std::size_t i = 0;
    while (i < arguments.size()) {
        const std::string& word = arguments[i];
        if (!isOption(word)) {
            ++i;
            continue;
        }
        std::string name = word.substr(2);
        if (i + 1 < arguments.size() && !isOption(arguments[i + 1])) {
            values[name] = arguments[i + 1];
            i += 2;
        } else {
            flags.insert(std::move(name));
            i += 1;
        }
    }
}

std::string CLIOptions::value(const std::string& name, const std::optional<std::string>& fallback) const {
    if (auto found = values.find(name); found != values.end() && !found->second.empty()) return found->second;
    if (fallback) return *fallback;
    throw CLIError::missingOption(name);
}

}  // namespace tessaron::cli
