#include "standins/launchctl/state.h"

#include "standins/common/call_log.h"

#include "host/json.h"
#include "host/paths.h"
#include "host/private_file.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <sys/file.h>
#include <unistd.h>

namespace tessaron::standin::launchctl {

fs::path stateDir() {
    const char* value = std::getenv("TESSARON_LAUNCHCTL_STATE");
    if (value && *value) return fs::absolute(value);
    auto home = paths::home();
    if (!home) throw std::runtime_error("neither TESSARON_LAUNCHCTL_STATE nor HOME is set");
    return *home / ".launchctl-standin";
}

StateLock::StateLock() {
    const fs::path dir = stateDir();
    private_file::createDirectories(dir);
    const fs::path path = dir / "lock";
    fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd_ < 0) throw std::runtime_error("cannot open " + path.string() + ": " + std::strerror(errno));
    while (::flock(fd_, LOCK_EX) != 0) {
        if (errno != EINTR) {
            ::close(fd_);
            throw std::runtime_error("cannot lock " + path.string() + ": " + std::strerror(errno));
        }
    }
}

StateLock::~StateLock() {
    if (fd_ >= 0) ::close(fd_);
}

void appendCall(const std::vector<std::string>& arguments) { appendCallLine(stateDir() / "calls.log", arguments); }

namespace {

bool matches(const json::Json& rule, const std::vector<std::string>& arguments) {
    if (rule.contains("argv")) return json::stringArray(rule, "argv") == arguments;
    if (rule.contains("argvPrefix")) {
        auto wanted = json::stringArray(rule, "argvPrefix");
        return wanted.size() <= arguments.size() && std::equal(wanted.begin(), wanted.end(), arguments.begin());
    }
    return !arguments.empty() && json::string(rule, "command") == arguments[0];
}

void validate(const json::Json& rule) {
    json::requireObject(rule, "a fault");
    if (!rule.contains("command") && !rule.contains("argv") && !rule.contains("argvPrefix"))
        throw json::DecodingError("A fault needs \"command\", \"argv\" or \"argvPrefix\".");
    if (auto effect = json::optionalString(rule, "effect"); effect && *effect != "fail")
        throw json::DecodingError("Unknown fault effect \"" + *effect + "\".");
    if (auto times = json::optionalInt64(rule, "times"); times && *times < 0)
        throw json::DecodingError("\"times\" must not be negative.");
    json::optionalString(rule, "stderr");
    json::optionalString(rule, "stdout");
    json::optionalInt64(rule, "exitCode");
}

}  // namespace

std::optional<InjectedFailure> takeFault(const std::vector<std::string>& arguments) {
    const fs::path path = stateDir() / "faults.json";
    std::error_code error;
    if (!fs::exists(path, error)) return std::nullopt;
    StateLock lock;
    auto text = readText(path);
    if (!text) return std::nullopt;
    try {
        json::Json rules = json::parse(*text);
        if (!rules.is_array()) throw json::DecodingError("The document is not an array.");
        for (const auto& rule : rules) validate(rule);
        for (auto& rule : rules) {
            auto times = json::optionalInt64(rule, "times");
            if (times && *times == 0) continue;
            if (!matches(rule, arguments)) continue;
            if (times) {
                rule["times"] = *times - 1;
                private_file::write(path, rules.dump(2) + "\n");
            }
            InjectedFailure failure;
            failure.standardError = json::optionalString(rule, "stderr").value_or("");
            failure.standardOutput = json::optionalString(rule, "stdout").value_or("");
            failure.exitCode = static_cast<int>(json::optionalInt64(rule, "exitCode").value_or(1));
            return failure;
        }
    } catch (const json::DecodingError& decoding) {
        throw std::runtime_error(path.string() + " is not a valid fault list: " + decoding.what());
    }
    return std::nullopt;
}

std::optional<std::string> readText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::ostringstream buffer;
    buffer << in.rdbuf();
    return buffer.str();
}

void writeText(const fs::path& path, const std::string& text) {
    private_file::WriteOptions options;
    options.createParent = false;
    private_file::write(path, text, options);
}

}  // namespace tessaron::standin::launchctl
