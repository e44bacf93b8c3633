// launchctl stand-in: print, bootstrap and bootout for the gui/<uid> and system
// domains, with a supervisor process per loaded job that runs its program and
// restarts it as KeepAlive says. See README.md beside this file.

#include "host/property_list.h"
#include "standins/launchctl/job.h"
#include "standins/launchctl/state.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

using namespace tessaron;
using namespace tessaron::standin::launchctl;

namespace {

constexpr int usageStatus = 64;

struct Target {
    std::string domain;            // "system" or "gui/<uid>"
    std::optional<std::string> label;
};

bool isDecimal(const std::string& text) {
    return !text.empty() && text.size() <= 10 && text.find_first_not_of("0123456789") == std::string::npos;
}

// "system", "system/<label>", "gui/<uid>", "gui/<uid>/<label>".
std::optional<Target> parseTarget(const std::string& text) {
    Target target;
    std::string rest;
    if (text == "system" || text.starts_with("system/")) {
        target.domain = "system";
        rest = text.size() > 6 ? text.substr(7) : "";
        if (text.size() > 6 && rest.empty()) return std::nullopt;
    } else if (text.starts_with("gui/")) {
        std::string after = text.substr(4);
        auto slash = after.find('/');
        std::string uid = after.substr(0, slash);
        if (!isDecimal(uid)) return std::nullopt;
        target.domain = "gui/" + uid;
        if (slash != std::string::npos) {
            rest = after.substr(slash + 1);
            if (rest.empty()) return std::nullopt;
        }
    } else {
        return std::nullopt;
    }
    if (!rest.empty()) {
        if (rest.find('/') != std::string::npos || rest == "." || rest == "..") return std::nullopt;
        target.label = rest;
    }
    return target;
}

fs::path domainDir(const std::string& domain) {
    std::string key = domain;
    for (char& c : key) {
        if (c == '/') c = '-';
    }
    return stateDir() / "jobs" / key;
}

std::string notFound(const Target& target) {
    if (target.domain == "system") return "Could not find service \"" + *target.label + "\" in domain for system\n";
    return "Could not find service \"" + *target.label + "\" in domain for user gui: " + target.domain.substr(4) + "\n";
}

int badTarget(const std::string& text) {
    std::cerr << "Unrecognized target specifier: " << text << "\n";
    return usageStatus;
}

std::string describeExit(const std::optional<std::string>& lastExit) {
    if (!lastExit) return "(never exited)";
    if (lastExit->starts_with("signal ")) {
        int signal = std::atoi(lastExit->c_str() + 7);
        return std::string(strsignal(signal)) + ": " + std::to_string(signal);
    }
    return lastExit->substr(5);
}

int runPrint(const std::vector<std::string>& arguments) {
    if (arguments.size() != 1) {
        std::cerr << "Usage: launchctl print <service-target|domain-target>\n";
        return usageStatus;
    }
    auto target = parseTarget(arguments[0]);
    if (!target) return badTarget(arguments[0]);
    StateLock lock;
    if (!target->label) {
        std::cout << target->domain << " = {\n\tservices = {\n";
        std::error_code error;
        if (fs::is_directory(domainDir(target->domain), error)) {
            for (const auto& entry : fs::directory_iterator(domainDir(target->domain), error)) {
                auto job = readJob(entry.path());
                if (!job) continue;
                std::string pid = job->pid ? std::to_string(*job->pid) : "0";
                std::cout << "\t\t" << pid << "\t" << describeExit(job->lastExit) << "\t"
                          << entry.path().filename().string() << "\n";
            }
        }
        std::cout << "\t}\n}\n";
        return 0;
    }
    const fs::path dir = domainDir(target->domain) / *target->label;
    auto job = readJob(dir);
    if (!job) {
        std::cerr << notFound(*target);
        return 113;
    }
    JobSpec spec;
    try {
        spec = jobFromPropertyList(plist::parse(readText(dir / "plist").value_or("")));
    } catch (const std::exception&) {
        spec.label = *target->label;
    }
    std::cout << arguments[0] << " = {\n";
    std::cout << "\tactive count = " << (job->pid ? 1 : 0) << "\n";
    std::cout << "\tpath = " << job->plistPath << "\n";
    std::cout << "\tstate = " << (job->pid ? "running" : "not running") << "\n\n";
    std::cout << "\tprogram = " << spec.program << "\n";
    std::cout << "\targuments = {\n";
    for (const auto& argument : spec.arguments) std::cout << "\t\t" << argument << "\n";
    std::cout << "\t}\n\n";
    if (spec.workingDirectory) std::cout << "\tworking directory = " << *spec.workingDirectory << "\n";
    if (spec.standardOutPath) std::cout << "\tstdout path = " << *spec.standardOutPath << "\n";
    if (spec.standardErrorPath) std::cout << "\tstderr path = " << *spec.standardErrorPath << "\n";
    if (!spec.environment.empty()) {
        std::cout << "\tenvironment = {\n";
        for (const auto& [name, value] : spec.environment) std::cout << "\t\t" << name << " => " << value << "\n";
        std::cout << "\t}\n";
    }
    std::cout << "\n\truns = " << job->runs << "\n";
    if (job->pid) std::cout << "\tpid = " << *job->pid << "\n";
    std::cout << "\tlast exit code = " << describeExit(job->lastExit) << "\n";
    std::cout << "}\n";
    return 0;
}

int bootstrapFailure(int code) {
    std::cerr << "Bootstrap failed: " << code << ": " << std::strerror(code) << "\n";
    return code;
}

int runBootstrap(const std::vector<std::string>& arguments) {
    if (arguments.size() < 2) {
        std::cerr << "Usage: launchctl bootstrap <domain-target> [service-path, service-path2, ...]\n";
        return usageStatus;
    }
    auto target = parseTarget(arguments[0]);
    if (!target || target->label) return badTarget(arguments[0]);
    StateLock lock;
    for (std::size_t i = 1; i < arguments.size(); ++i) {
        const fs::path path = fs::absolute(arguments[i]);
        auto bytes = readText(path);
        if (!bytes) return bootstrapFailure(errno ? errno : ENOENT);
        JobSpec spec;
        try {
            spec = jobFromPropertyList(plist::parse(*bytes));
        } catch (const std::exception& error) {
            std::cerr << path.string() << ": " << error.what() << "\n";
            return bootstrapFailure(EIO);
        }
        if (target->domain == "system" && ::geteuid() != 0) return bootstrapFailure(EPERM);
        const fs::path dir = domainDir(target->domain) / spec.label;
        if (readJob(dir)) return bootstrapFailure(EIO);  // already loaded
        std::error_code error;
        fs::create_directories(dir, error);
        if (error) return bootstrapFailure(error.value());
        try {
            writeText(dir / "plist", *bytes);
            writeText(dir / "path", path.string());
            startSupervisor(spec, dir);
        } catch (const std::exception& failure) {
            fs::remove_all(dir, error);
            std::cerr << failure.what() << "\n";
            return bootstrapFailure(EIO);
        }
    }
    return 0;
}

int runBootout(const std::vector<std::string>& arguments) {
    if (arguments.empty()) {
        std::cerr << "Usage: launchctl bootout <domain-target> [service-path1, service-path2, ...] | <service-target>\n";
        return usageStatus;
    }
    auto target = parseTarget(arguments[0]);
    if (!target) return badTarget(arguments[0]);
    std::vector<std::string> labels;
    if (target->label) {
        if (arguments.size() != 1) return badTarget(arguments[0]);
        labels.push_back(*target->label);
    } else {
        if (arguments.size() < 2) return badTarget(arguments[0]);  // booting out a whole domain is not supported
        for (std::size_t i = 1; i < arguments.size(); ++i) {
            auto bytes = readText(arguments[i]);
            if (!bytes) {
                std::cerr << "Boot-out failed: 2: No such file or directory\n";
                return 2;
            }
            try {
                labels.push_back(jobFromPropertyList(plist::parse(*bytes)).label);
            } catch (const std::exception&) {
                std::cerr << "Boot-out failed: 5: Input/output error\n";
                return 5;
            }
        }
    }
    StateLock lock;
    for (const auto& label : labels) {
        const fs::path dir = domainDir(target->domain) / label;
        auto job = readJob(dir);
        if (!job) {
            std::cerr << "Boot-out failed: 3: No such process\n";
            return 3;
        }
        JobSpec spec;
        try {
            spec = jobFromPropertyList(plist::parse(readText(dir / "plist").value_or("")));
        } catch (const std::exception&) {
        }
        stopSupervisor(spec, dir, *job);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);
    std::vector<std::string> arguments(argv + 1, argv + argc);
    try {
        appendCall(arguments);
        if (auto failure = takeFault(arguments)) {
            std::fwrite(failure->standardOutput.data(), 1, failure->standardOutput.size(), stdout);
            std::fwrite(failure->standardError.data(), 1, failure->standardError.size(), stderr);
            std::fflush(nullptr);
            return failure->exitCode;
        }
        if (arguments.empty()) {
            std::cerr << "Usage: launchctl <subcommand> ... | help [subcommand]\n";
            return usageStatus;
        }
        const std::string command = arguments[0];
        std::vector<std::string> rest(arguments.begin() + 1, arguments.end());
        if (command == "print") return runPrint(rest);
        if (command == "bootstrap") return runBootstrap(rest);
        if (command == "bootout") return runBootout(rest);
        std::cerr << "Unrecognized subcommand: " << command << "\n";
        return usageStatus;
    } catch (const std::exception& error) {
        std::cerr << "launchctl: " << error.what() << "\n";
        return 1;
    }
}
