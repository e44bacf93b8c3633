// limactl stand-in: the subset of Lima's limactl that Tessaron drives, with instances
// kept under $LIMA_HOME, a loopback sshd per running instance, and guest commands run
// on this machine. See README.md beside this file.

#include "standins/limactl/call_log.h"
#include "standins/limactl/faults.h"
#include "standins/limactl/guest_shell.h"
#include "standins/limactl/guest_shims.h"
#include "standins/limactl/host_agent.h"
#include "standins/limactl/lifecycle.h"
#include "standins/limactl/lima_home.h"
#include "standins/limactl/listing.h"

#include <chrono>
#include <cstdio>
#include <iostream>
#include <thread>

using namespace tessaron::standin::limactl;

namespace {

constexpr const char* usage =
    "Lima: Linux virtual machines (Tessaron stand-in)\n\n"
    "Usage:\n  limactl [command]\n\n"
    "Available Commands:\n"
    "  start       Start an instance of Lima, creating it when needed\n"
    "  stop        Stop an instance\n"
    "  delete      Delete an instance of Lima\n"
    "  edit        Edit an instance of Lima\n"
    "  list        List instances of Lima\n"
    "  shell       Execute shell in Lima\n";

// Index of the subcommand, skipping the global flags that may stand before it.
std::size_t commandIndex(const std::vector<std::string>& arguments) {
    std::size_t i = 0;
    while (i < arguments.size()) {
        const std::string& argument = arguments[i];
        if (argument == "--log-level" || argument == "--log-format") i += 2;
        else if (argument == "--debug" || argument.starts_with("--tty") || argument.starts_with("--log-level=") ||
                 argument.starts_with("--log-format="))
            ++i;
        else break;
    }
    return i;
}

int dispatch(const std::vector<std::string>& arguments) {
    const std::size_t index = commandIndex(arguments);
    if (index >= arguments.size()) {
        std::cout << usage;
        return 0;
    }
    const std::string command = arguments[index];
    if (command == "--version" || command == "-v") {
        std::cout << "limactl version 1.0.0-tessaron-standin\n";
        return 0;
    }
    if (command == "--help" || command == "-h" || command == "help") {
        std::cout << usage;
        return 0;
    }
    std::vector<std::string> rest(arguments.begin(), arguments.begin() + static_cast<long>(index));
    rest.insert(rest.end(), arguments.begin() + static_cast<long>(index) + 1, arguments.end());

    const FaultEffects effects = takeFaults(arguments, command);
    if (effects.delaySeconds > 0)
        std::this_thread::sleep_for(std::chrono::duration<double>(effects.delaySeconds));
    if (effects.failure) {
        std::fwrite(effects.failure->standardOutput.data(), 1, effects.failure->standardOutput.size(), stdout);
        std::fwrite(effects.failure->standardError.data(), 1, effects.failure->standardError.size(), stderr);
        std::fflush(nullptr);
        return effects.failure->exitCode;
    }
    if (command == "start") return runStart(rest, effects);
    if (command == "stop") return runStop(rest, effects);
    if (command == "delete" || command == "rm" || command == "remove") return runDelete(rest, effects);
    if (command == "edit") return runEdit(rest, effects);
    if (command == "list" || command == "ls") return runList(rest, effects);
    if (command == "shell") return runShell(rest, effects);
    if (command.starts_with("-")) throw LimactlError("unknown flag: " + command);
    throw LimactlError("unknown command " + goQuote(command) + " for \"limactl\"");
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> arguments(argv + 1, argv + argc);
    try {
        // The host agent is the stand-in's own background process, not a call to record.
        if (arguments.size() == 2 && arguments[0] == "hostagent") return runHostAgent(arguments[1]);
        // So is filling a guest with shims: no call log line, no faults.
        if (!arguments.empty() && arguments[0] == guestShimsCommand)
            return runGuestShims({arguments.begin() + 1, arguments.end()});
        appendCall(arguments);
        return dispatch(arguments);
    } catch (const LimactlError& error) {
        logLine("fatal", error.what());
        return error.exitCode();
    } catch (const std::exception& error) {
        logLine("fatal", error.what());
        return 1;
    }
}
