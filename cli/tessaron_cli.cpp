#include "cli/tessaron_cli.h"

#include "cli/output.h"
#include "cli/usage.h"

#include <exception>
#include <unistd.h>

namespace tessaron::cli {

namespace {

void printUsage() { writeAll(STDOUT_FILENO, usageText()); }

}  // namespace

const std::vector<CommandEntry>& commandTable() {
    static const std::vector<CommandEntry> table = [] {
        std::vector<CommandEntry> entries;
        entries.push_back({{"help", "--help", "-h"}, [](const auto&, const auto&) { printUsage(); }});
        return entries;
    }();
    return table;
}

void run(const std::vector<std::string>& words) {
    if (words.empty()) {
        printUsage();
        return;
    }
    const std::string& command = words.front();
    const std::vector<std::string> arguments(words.begin() + 1, words.end());
    const CLIOptions options(arguments);
    for (const auto& entry : commandTable()) {
        for (const auto& word : entry.words) {
            if (word == command) {
                entry.run(arguments, options);
                return;
            }
        }
    }
    throw CLIError::pairing("Unknown command `" + command + "`. Run `tessaron help`.");
}

int main(const std::vector<std::string>& words) {
    makeStandardOutputUnbuffered();
    std::string message;
    try {
        run(words);
        return 0;
    } catch (const std::exception& error) {
        message = error.what();
    } catch (...) {
        message = "An unexpected error occurred.";
    }
    try {
        writeAll(STDERR_FILENO, "tessaron: " + message + "\n");
    } catch (...) {
    }
    return 1;
}

}  // namespace tessaron::cli
