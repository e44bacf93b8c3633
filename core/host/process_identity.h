#pragma once
// Who another process is: its argument vector and the configuration file it was
// told to use, read from the kernel's process-arguments buffer. The buffer has the
// Mac's KERN_PROCARGS2 layout:
//   argc (32-bit, host byte order) | executable path NUL | padding NULs |
//   argc argument strings, each NUL-terminated | environment strings, each NUL-terminated
// On Linux the same buffer is assembled from /proc/<pid>/exe, cmdline and environ, so
// one decoder serves both.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tessaron {

struct AgentProcessIdentity {
    // Fields left out of a brace initializer are absent.
    std::vector<std::string> arguments;              // argument 0 first
    std::optional<std::string> configurationPath{};  // TESSARON_CONFIG_PATH, absent when unset or empty
    std::optional<std::string> homePath{};           // HOME, absent when unset or empty

    // Nothing when the buffer is shorter than 5 bytes, its count is 0 or above 4095,
    // or any string in it is unterminated or not UTF-8. Never reads past the buffer.
    static std::optional<AgentProcessIdentity> decode(std::span<const std::uint8_t> bytes);

    bool operator==(const AgentProcessIdentity&) const = default;
};

namespace process_identity {

// Buffers outside 5 bytes to 4 MiB are not read.
inline constexpr std::size_t minimumArgumentsSize = 5;
inline constexpr std::size_t maximumArgumentsSize = 4'194'304;

// Lays out a process-arguments buffer from its parts: `argumentBytes` and
// `environmentBytes` are NUL-separated strings as in /proc/<pid>/cmdline and environ
// (a missing final NUL is supplied). The executable path is padded with NULs to a
// multiple of 8 bytes, as the Mac's kernel does.
std::vector<std::uint8_t> argumentsBuffer(std::string_view executablePath, std::string_view argumentBytes,
                                          std::string_view environmentBytes);

// The process-arguments buffer of `pid`, from `procRoot` (normally /proc). Nothing when
// the process is gone, is not ours to read (its environment included), has no
// arguments, or the buffer would be outside the size limits.
std::optional<std::vector<std::uint8_t>> processArguments(std::int32_t pid,
                                                          const std::filesystem::path& procRoot = "/proc");

// Whether `pid` can be asked for its arguments and has none: while it is starting a
// program, before the kernel has laid them out, and while it exits, after its memory is
// gone. False when the process is gone or may not be read.
bool withoutArguments(std::int32_t pid, const std::filesystem::path& procRoot = "/proc");

// decode(processArguments(pid)).
std::optional<AgentProcessIdentity> identity(std::int32_t pid, const std::filesystem::path& procRoot = "/proc");

}  // namespace process_identity

}  // namespace tessaron
