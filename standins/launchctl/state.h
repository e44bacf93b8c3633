#pragma once
// The stand-in's state folder: $TESSARON_LAUNCHCTL_STATE, else ~/.launchctl-standin.
//   calls.log      one JSON array of arguments per call
//   faults.json    injected failures (README.md)
//   lock           taken around every change of loaded jobs
//   jobs/<domain>/<label>/   one folder per loaded job (job.h)

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace tessaron::standin::launchctl {

namespace fs = std::filesystem;

fs::path stateDir();

// An exclusive flock held for the object's lifetime.
class StateLock {
public:
    StateLock();
    ~StateLock();
    StateLock(const StateLock&) = delete;
    StateLock& operator=(const StateLock&) = delete;

private:
    int fd_ = -1;
};

void appendCall(const std::vector<std::string>& arguments);

struct InjectedFailure {
    std::string standardOutput;
    std::string standardError;
    int exitCode = 1;
};

// The first fault rule matching this call, using up one of its "times".
// A malformed faults.json throws std::runtime_error.
std::optional<InjectedFailure> takeFault(const std::vector<std::string>& arguments);

// Small whole-file helpers (no hardening: the stand-in's own bookkeeping).
std::optional<std::string> readText(const fs::path& path);
void writeText(const fs::path& path, const std::string& text);

}  // namespace tessaron::standin::launchctl
