#include "standins/limactl/guest_shell.h"

#include "host/private_file.h"
#include "standins/limactl/arguments.h"
#include "standins/limactl/instance.h"
#include "standins/limactl/light_guest.h"
#include "standins/limactl/qemu_guest.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <pwd.h>
#include <set>
#include <unistd.h>

namespace tessaron::standin::limactl {
namespace {

constexpr const char* systemPath = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin";

std::vector<std::string> guestEnvironment(const fs::path& dir) {
    const passwd* account = ::getpwuid(::geteuid());
    const std::string user = account && account->pw_name ? account->pw_name : "lima";
    std::vector<std::string> environment = {
        "PATH=" + (dir / "guest" / "bin").string() + ":" + (standinDir() / "guest" / "bin").string() + ":" +
            systemPath,
        "HOME=" + (dir / "guest" / "home").string(),
        "USER=" + user,
        "LOGNAME=" + user,
        "SHELL=/bin/bash",
        "LANG=C.UTF-8",
    };
    if (const char* term = std::getenv("TERM")) environment.push_back(std::string("TERM=") + term);
    return environment;
}

// `sh -lc X` → `sh -c X`, and a standalone -l or --login dropped, for the usual shells.
void withoutLoginShell(std::vector<std::string>& command) {
    static const std::set<std::string> shells = {"sh", "bash", "dash", "/bin/sh", "/bin/bash", "/bin/dash",
                                                 "/usr/bin/bash", "/usr/bin/sh"};
    if (command.empty() || !shells.count(command.front())) return;
    for (std::size_t i = 1; i < command.size() && command[i].starts_with("-");) {
        if (command[i] == "-lc" || command[i] == "-cl") {
            command[i] = "-c";
            break;
        }
        if (command[i] == "-l" || command[i] == "--login") {
            command.erase(command.begin() + static_cast<long>(i));
            continue;
        }
        if (command[i] == "-c") break;
        ++i;
    }
}

}  // namespace

std::vector<std::string> withoutSudo(std::vector<std::string> command) {
    if (command.empty() || command.front() != "sudo") return command;
    static const std::set<std::string> withValue = {"-u", "-g", "-p", "-C", "-D", "-r", "-t", "-U", "-T", "-h"};
    std::size_t i = 1;
    while (i < command.size() && command[i].starts_with("-")) {
        if (command[i] == "--") {
            ++i;
            break;
        }
        i += withValue.count(command[i]) ? 2 : 1;
    }
    command.erase(command.begin(), command.begin() + static_cast<long>(std::min(i, command.size())));
    return command;
}

int runShell(const std::vector<std::string>& arguments, const FaultEffects&) {
    const auto parsed = parseArguments(arguments,
                                       {{"workdir", 0, true, false},
                                        {"shell", 0, true, false},
                                        {"reconnect", 0, false, false},
                                        {"preserve-env", 0, false, false}},
                                       /*interspersed=*/false);
    if (parsed.positionals.empty()) throw LimactlError("requires at least 1 arg(s), only received 0");
    const std::string name = parsed.positionals.front();
    requireValidInstanceName(name);
    std::vector<std::string> command(parsed.positionals.begin() + 1, parsed.positionals.end());
    if (!command.empty() && command.front() == "--" && !(parsed.dashDashAt && *parsed.dashDashAt == 1))
        command.erase(command.begin());

    const InstanceState state = inspectInstance(name);
    if (!state.running())
        throw LimactlError("instance " + goQuote(name) + " is " + (state.status == "Stopped" ? "stopped" : state.status) +
                           ", run `limactl start " + name + "` to start the instance");

    if (state.config && state.config->guest == "qemu") return runQemuShell(state, command, parsed.value("workdir"));

    // The guest's command starts in the caller's folder, as Lima's does where the guest
    // has that folder, else in the guest's home.
    std::error_code noFolder;
    const fs::path callerFolder = fs::current_path(noFolder);
    joinLightGuestNamespaces(state.hostAgentPid);
    command = withoutSudo(std::move(command));
    if (command == std::vector<std::string>{"cat", "/proc/sys/kernel/random/boot_id"}) {
        const std::string bootId = readBootId(state.dir);
        if (bootId.empty()) {
            std::cerr << "cat: /proc/sys/kernel/random/boot_id: No such file or directory\n";
            return 1;
        }
        std::cout << bootId << "\n" << std::flush;
        return 0;
    }
    if (command.empty()) command = {parsed.value("shell").value_or("/bin/bash")};
    withoutLoginShell(command);

    private_file::createDirectories(state.dir / "guest" / "home");
    if (auto workdir = parsed.value("workdir")) {
        if (::chdir(workdir->c_str()) != 0) {
            std::cerr << "bash: line 1: cd: " << *workdir << ": " << std::strerror(errno) << "\n";
            return 1;
        }
    } else if (noFolder || ::chdir(callerFolder.c_str()) != 0 || ::access(".", X_OK) != 0) {
        (void)::chdir((state.dir / "guest" / "home").c_str());
    }

    auto environment = guestEnvironment(state.dir);
    std::vector<char*> argv, envp;
    for (auto& argument : command) argv.push_back(argument.data());
    argv.push_back(nullptr);
    for (auto& entry : environment) envp.push_back(entry.data());
    envp.push_back(nullptr);
    // execvpe searches the PATH of the environment we run in, so set the guest's first.
    ::setenv("PATH", environment.front().substr(5).c_str(), 1);
    std::fflush(nullptr);
    ::execvpe(argv[0], argv.data(), envp.data());
    const int code = errno;
    if (code == ENOENT) {
        std::cerr << "bash: line 1: " << command.front() << ": command not found\n";
        return 127;
    }
    std::cerr << "bash: line 1: " << command.front() << ": " << std::strerror(code) << "\n";
    return 126;
}

}  // namespace tessaron::standin::limactl
