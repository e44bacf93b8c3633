#include "cli/tessaron_cli.h"

#include "cli/connection_status.h"
#include "cli/headless_installer.h"
#include "cli/service_commands.h"
#include "cli/serve_command.h"
#include "cli/setup_pairing.h"
#include "cli/output.h"
#include "cli/server_commands.h"
#include "cli/vm_commands.h"
#include "host/lima_manager.h"
#include "cli/usage.h"

#include <algorithm>
#include <exception>
#include <unistd.h>

namespace tessaron::cli {

namespace {

void printUsage() { writeAll(STDOUT_FILENO, usageText()); }

bool isHelpWord(const std::string& word) { return word == "--help" || word == "-h"; }

}  // namespace

bool asksForHelp(const std::vector<std::string>& words) {
    // Where the guest's own words begin, if the command has any.
    std::size_t guestWords = words.size();
    if (!words.empty() && words[0] == "ssh") guestWords = 2;
    if (words.size() > 1 && words[0] == "vm" && words[1] == "shell") guestWords = 3;
    const auto end = words.begin() + static_cast<std::ptrdiff_t>(std::min(guestWords, words.size()));
    return std::any_of(words.begin(), end, isHelpWord);
}

const std::vector<CommandEntry>& commandTable() {
    static const std::vector<CommandEntry> table = [] {
        std::vector<CommandEntry> entries;
        entries.push_back({{"pair"}, [](const auto&, const auto& options) { pair(options, /*createVM=*/false); }});
        entries.push_back({{"onboard"}, [](const auto&, const auto& options) { pair(options, /*createVM=*/true); }});
        entries.push_back({{"serve"}, [](const auto&, const auto&) { serve(); }});
        entries.push_back({{"enable-headless"}, [](const auto&, const auto&) { HeadlessServiceInstaller::enable(); }});
        entries.push_back({{"service"}, [](const auto& arguments, const auto& options) { runService(arguments, options); }});
        entries.push_back({{"network"}, [](const auto&, const auto&) { runNetwork(); }});
        entries.push_back({{"connection-status"}, [](const auto&, const auto&) { printJSON(connectionStatus()); }});
        entries.push_back({{"server"}, [](const auto& arguments, const auto& options) { runServer(arguments, options); }});
        entries.push_back({{"install-headless"}, [](const auto&, const auto& options) {
            HeadlessServiceInstaller::install(options.value("plist"));
        }});
        entries.push_back({{"vm"}, [](const auto& arguments, const auto&) { runVM(arguments); }});
        entries.push_back({{"ssh"}, [](const auto& arguments, const auto&) {
            LimaManager(LimaManager::defaultInstanceName, LimaManager::defaultExecutable()).shell(arguments);
        }});
        entries.push_back({{"help", "--help", "-h"}, [](const auto&, const auto&) { printUsage(); }});
        return entries;
    }();
    return table;
}

void run(const std::vector<std::string>& words) {
    if (words.empty() || asksForHelp(words)) {
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
    throw CLIError::pairing("Unknown command `" + escapedForTerminal(command) + "`. Run `tessaron help`.");
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
        // A message may quote what the panel or a tool said; nothing in it may drive the terminal.
        writeAll(STDERR_FILENO, "tessaron: " + escapedForTerminal(message, /*keepLineFeeds=*/true) + "\n");
    } catch (...) {
    }
    return 1;
}

}  // namespace tessaron::cli
