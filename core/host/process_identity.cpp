#include "host/process_identity.h"

#include "host/process_runner.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace tessaron {

namespace {

constexpr std::string_view configurationVariable = "TESSARON_CONFIG_PATH=";
constexpr std::string_view homeVariable = "HOME=";
constexpr std::uint32_t maximumArgumentCount = 4095;

// Reads one NUL-terminated string starting at `at`. Nothing when the terminator is
// not inside the buffer or the bytes are not UTF-8; `at` moves past the terminator.
std::optional<std::string> readString(std::span<const std::uint8_t> bytes, std::size_t& at) {
    if (at >= bytes.size()) return std::nullopt;
    const auto* begin = bytes.data() + at;
    const void* nul = std::memchr(begin, 0, bytes.size() - at);
    if (nul == nullptr) return std::nullopt;
    std::size_t length = static_cast<std::size_t>(static_cast<const std::uint8_t*>(nul) - begin);
    std::string text(reinterpret_cast<const char*>(begin), length);
    if (!isValidUTF8(text)) return std::nullopt;
    at += length + 1;
    return text;
}

// Reads at most `limit` bytes of a file; nothing when it cannot be opened or read.
std::optional<std::string> readLimited(const std::filesystem::path& path, std::size_t limit) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    std::string bytes;
    char chunk[16384];
    while (bytes.size() <= limit) {
        ssize_t got = ::read(fd, chunk, sizeof chunk);
        if (got < 0) {
            if (errno == EINTR) continue;
            ::close(fd);
            return std::nullopt;
        }
        if (got == 0) break;
        bytes.append(chunk, static_cast<std::size_t>(got));
    }
    ::close(fd);
    return bytes;
}

void appendStrings(std::vector<std::uint8_t>& buffer, std::string_view strings) {
    buffer.insert(buffer.end(), strings.begin(), strings.end());
    if (!strings.empty() && strings.back() != '\0') buffer.push_back(0);
}

}  // namespace

std::optional<AgentProcessIdentity> AgentProcessIdentity::decode(std::span<const std::uint8_t> bytes) {
    if (bytes.size() < process_identity::minimumArgumentsSize) return std::nullopt;
    std::uint32_t count;
    std::memcpy(&count, bytes.data(), sizeof count);
    if (count == 0 || count > maximumArgumentCount) return std::nullopt;

    std::size_t at = sizeof count;
    if (!readString(bytes, at)) return std::nullopt;  // the executable path, not kept
    while (at < bytes.size() && bytes[at] == 0) ++at;

    AgentProcessIdentity identity;
    identity.arguments.reserve(count);
    for (std::uint32_t i = 0; i < count; ++i) {
        auto argument = readString(bytes, at);
        if (!argument) return std::nullopt;
        identity.arguments.push_back(std::move(*argument));
    }
    while (at < bytes.size()) {
        auto variable = readString(bytes, at);
        if (!variable) return std::nullopt;
        if (variable->starts_with(configurationVariable)) {
            std::string value = variable->substr(configurationVariable.size());
            identity.configurationPath = value.empty() ? std::nullopt : std::optional<std::string>(std::move(value));
        } else if (variable->starts_with(homeVariable)) {
            std::string value = variable->substr(homeVariable.size());
            identity.homePath = value.empty() ? std::nullopt : std::optional<std::string>(std::move(value));
        }
    }
    return identity;
}

namespace process_identity {

std::vector<std::uint8_t> argumentsBuffer(std::string_view executablePath, std::string_view argumentBytes,
                                          std::string_view environmentBytes) {
    std::uint32_t count = 0;
    for (char c : argumentBytes)
        if (c == '\0') ++count;
    if (!argumentBytes.empty() && argumentBytes.back() != '\0') ++count;

    // The count, then the path and its terminating zero.
    std::vector<std::uint8_t> buffer(sizeof count + executablePath.size() + 1, 0);
    std::memcpy(buffer.data(), &count, sizeof count);
    std::copy(executablePath.begin(), executablePath.end(), buffer.begin() + sizeof count);
    while (buffer.size() % 8 != 0) buffer.push_back(0);
    appendStrings(buffer, argumentBytes);
    appendStrings(buffer, environmentBytes);
    return buffer;
}

std::optional<std::vector<std::uint8_t>> processArguments(std::int32_t pid, const std::filesystem::path& procRoot) {
    if (pid <= 0) return std::nullopt;
    const std::filesystem::path dir = procRoot / std::to_string(pid);

    char target[PATH_MAX];
    ssize_t length = ::readlink((dir / "exe").c_str(), target, sizeof target);
    if (length <= 0 || static_cast<std::size_t>(length) >= sizeof target) return std::nullopt;
    std::string_view executable(target, static_cast<std::size_t>(length));
    if (executable.ends_with(" (deleted)")) executable.remove_suffix(10);

    auto arguments = readLimited(dir / "cmdline", maximumArgumentsSize);
    if (!arguments || arguments->empty()) return std::nullopt;
    // Without its environment the process's configuration cannot be known, so a
    // process whose environment is not readable has no identity at all.
    auto environment = readLimited(dir / "environ", maximumArgumentsSize);
    if (!environment) return std::nullopt;

    auto buffer = argumentsBuffer(executable, *arguments, *environment);
    if (buffer.size() < minimumArgumentsSize || buffer.size() > maximumArgumentsSize) return std::nullopt;
    return buffer;
}

bool withoutArguments(std::int32_t pid, const std::filesystem::path& procRoot) {
    if (pid <= 0) return false;
    auto arguments = readLimited(procRoot / std::to_string(pid) / "cmdline", 1);
    return arguments && arguments->empty();
}

std::optional<AgentProcessIdentity> identity(std::int32_t pid, const std::filesystem::path& procRoot) {
    auto buffer = processArguments(pid, procRoot);
    if (!buffer) return std::nullopt;
    return AgentProcessIdentity::decode(*buffer);
}

}  // namespace process_identity

}  // namespace tessaron
