// sudo stand-in: records each call and runs the command as root, with the SUDO_*
// variables that sudo sets. See README.md beside this file.

#include "host/json.h"
#include "host/paths.h"
#include "host/private_file.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <pwd.h>
#include <sstream>
#include <stdexcept>
#include <string>
#include <sys/file.h>
#include <unistd.h>
#include <vector>

using namespace tessaron;
namespace fs = std::filesystem;

namespace {

fs::path stateDir() {
    const char* value = std::getenv("TESSARON_SUDO_STATE");
    if (value && *value) return fs::absolute(value);
    auto home = paths::home();
    if (!home) throw std::runtime_error("neither TESSARON_SUDO_STATE nor HOME is set");
    return *home / ".sudo-standin";
}

class Lock {
public:
    explicit Lock(const fs::path& path) {
        fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd_ < 0) throw std::runtime_error("cannot open " + path.string() + ": " + std::strerror(errno));
        while (::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
        }
    }
    ~Lock() { ::close(fd_); }

private:
    int fd_ = -1;
};

void appendCall(const fs::path& dir, const std::vector<std::string>& arguments) {
    Lock lock(dir / "lock");
    std::ofstream out(dir / "calls.log", std::ios::app | std::ios::binary);
    out << json::encode(json::Json(arguments)) << "\n";
    if (!out.flush()) throw std::runtime_error("cannot write " + (dir / "calls.log").string());
}

struct Failure {
    std::string standardOutput;
    std::string standardError;
    int exitCode = 1;
};

bool matches(const json::Json& rule, const std::vector<std::string>& command) {
    if (rule.contains("argv")) return json::stringArray(rule, "argv") == command;
    if (rule.contains("argvPrefix")) {
        auto wanted = json::stringArray(rule, "argvPrefix");
        return wanted.size() <= command.size() && std::equal(wanted.begin(), wanted.end(), command.begin());
    }
    if (rule.contains("command"))
        return !command.empty() && fs::path(command[0]).filename().string() == json::string(rule, "command");
    return true;  // a rule without a matcher applies to every call
}

// The first rule of faults.json that matches the command, using up one of its "times".
std::optional<Failure> takeFault(const fs::path& dir, const std::vector<std::string>& command) {
    const fs::path path = dir / "faults.json";
    std::error_code error;
    if (!fs::exists(path, error)) return std::nullopt;
    Lock lock(dir / "lock");
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    try {
        json::Json rules = json::parse(text.str());
        if (!rules.is_array()) throw json::DecodingError("The document is not an array.");
        for (auto& rule : rules) {
            json::requireObject(rule, "a fault");
            auto times = json::optionalInt64(rule, "times");
            if (times && *times <= 0) continue;
            if (!matches(rule, command)) continue;
            if (times) {
                rule["times"] = *times - 1;
                private_file::write(path, rules.dump(2) + "\n");
            }
            Failure failure;
            failure.standardOutput = json::optionalString(rule, "stdout").value_or("");
            failure.standardError = json::optionalString(rule, "stderr").value_or("");
            failure.exitCode = static_cast<int>(json::optionalInt64(rule, "exitCode").value_or(1));
            return failure;
        }
    } catch (const json::DecodingError& decoding) {
        throw std::runtime_error(path.string() + " is not a valid fault list: " + decoding.what());
    }
    return std::nullopt;
}

std::string invokingUser() {
    if (const char* name = std::getenv("TESSARON_SUDO_USER"); name && *name) return name;
    if (passwd* entry = ::getpwuid(::getuid())) return entry->pw_name;
    if (const char* name = std::getenv("USER")) return name;
    return "";
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> arguments(argv + 1, argv + argc);
    try {
        // sudo's own options: flags, and -u/-g/-p/-C/-h with a value; "--" ends them.
        std::size_t index = 0;
        while (index < arguments.size() && arguments[index].size() > 1 && arguments[index][0] == '-') {
            const std::string& option = arguments[index];
            ++index;
            if (option == "--") break;
            if (option == "-u" || option == "-g" || option == "-p" || option == "-C" || option == "-h") ++index;
        }
        if (index > arguments.size()) index = arguments.size();
        std::vector<std::string> command(arguments.begin() + static_cast<long>(index), arguments.end());

        const fs::path dir = stateDir();
        private_file::createDirectories(dir);
        appendCall(dir, arguments);
        if (auto failure = takeFault(dir, command)) {
            std::fwrite(failure->standardOutput.data(), 1, failure->standardOutput.size(), stdout);
            std::fwrite(failure->standardError.data(), 1, failure->standardError.size(), stderr);
            std::fflush(nullptr);
            return failure->exitCode;
        }
        if (command.empty()) {
            std::cerr << "usage: sudo [-nEHkS] [-u user] [-g group] [--] command [arg ...]\n";
            return 1;
        }
        if (::geteuid() != 0) {
            std::cerr << "sudo: this stand-in runs commands only when it is itself run as root\n";
            return 1;
        }
        const std::string user = invokingUser();
        ::setenv("SUDO_USER", user.c_str(), 1);
        ::setenv("SUDO_UID", std::to_string(::getuid()).c_str(), 1);
        ::setenv("SUDO_GID", std::to_string(::getgid()).c_str(), 1);
        std::string joined;
        for (const auto& part : command) joined += (joined.empty() ? "" : " ") + part;
        ::setenv("SUDO_COMMAND", joined.c_str(), 1);
        ::unsetenv("TESSARON_SUDO_USER");

        std::vector<char*> childArgv;
        for (auto& part : command) childArgv.push_back(part.data());
        childArgv.push_back(nullptr);
        if (command[0].find('/') != std::string::npos) ::execv(command[0].c_str(), childArgv.data());
        else ::execvp(command[0].c_str(), childArgv.data());
        std::cerr << "sudo: " << command[0] << ": command not found\n";
        return 1;
    } catch (const std::exception& error) {
        std::cerr << "sudo: " << error.what() << "\n";
        return 1;
    }
}
