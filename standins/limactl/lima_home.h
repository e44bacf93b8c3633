#pragma once
// Where the stand-in keeps its instances, and the few helpers every command shares:
// instance-name checks, file locks and Lima-style log lines on standard error.

#include "host/error.h"

#include <filesystem>
#include <string>
#include <string_view>

namespace tessaron::standin::limactl {

namespace fs = std::filesystem;

// A failure of a limactl command: printed as a fatal log line, then the program exits
// with `exitCode`.
class LimactlError : public Error {
public:
    explicit LimactlError(const std::string& message, int exitCode = 1) : Error(message), exitCode_(exitCode) {}
    int exitCode() const noexcept { return exitCode_; }

private:
    int exitCode_;
};

// $LIMA_HOME when set and not empty, else ~/.lima.
fs::path limaHome();
// The stand-in's own bookkeeping ($LIMA_HOME/_standin): call log, faults, locks.
fs::path standinDir();
fs::path instanceDir(const std::string& name);

// Lima's identifier rule; a name that fails it can never become a path component.
bool isValidInstanceName(std::string_view name);
void requireValidInstanceName(const std::string& name);

// An exclusive flock(2) held for the object's lifetime; the file is created (0600) as needed.
class FileLock {
public:
    explicit FileLock(const fs::path& path);
    ~FileLock();
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

private:
    int fd_ = -1;
};

// The per-instance lock that serialises start, stop, edit and delete of one instance.
fs::path instanceLockPath(const std::string& name);

// Go's strconv.Quote, as logrus uses it for msg="...".
std::string goQuote(std::string_view text);

// level=<level> msg="<message>" on standard error.
void logLine(std::string_view level, std::string_view message);

// Reads a whole small file; nullopt-like empty string when it cannot be read.
bool readSmallFile(const fs::path& path, std::string& out);
std::string trimmed(std::string_view text);

}  // namespace tessaron::standin::limactl
