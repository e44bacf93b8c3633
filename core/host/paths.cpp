#include "host/paths.h"

#include <cstdlib>
#include <mutex>
#include <pwd.h>
#include <unistd.h>

namespace tessaron::paths {
namespace fs = std::filesystem;

std::optional<fs::path> home() {
    if (const char* value = std::getenv("HOME"); value && *value) return fs::path(value);
    if (const passwd* entry = ::getpwuid(::getuid()); entry && entry->pw_dir && *entry->pw_dir)
        return fs::path(entry->pw_dir);
    return std::nullopt;
}

std::optional<fs::path> applicationSupport() {
    auto base = home();
    if (!base) return std::nullopt;
    return *base / "Library" / "Application Support";
}

std::optional<fs::path> tessaronSupport() {
    auto base = applicationSupport();
    if (!base) return std::nullopt;
    return *base / "Tessaron";
}

std::optional<fs::path> tessaronLogs() {
    auto base = home();
    if (!base) return std::nullopt;
    return *base / "Library" / "Logs" / "Tessaron";
}

std::optional<fs::path> launchAgents() {
    auto base = home();
    if (!base) return std::nullopt;
    return *base / "Library" / "LaunchAgents";
}

std::optional<fs::path> caches() {
    auto base = home();
    if (!base) return std::nullopt;
    return *base / "Library" / "Caches";
}

}  // namespace tessaron::paths

namespace tessaron::bundle {
namespace fs = std::filesystem;
namespace {
std::mutex overrideMutex;
bool overridden = false;
std::optional<fs::path> overrideValue;
}  // namespace

std::optional<fs::path> executablePath() {
    std::error_code error;
    fs::path path = fs::read_symlink("/proc/self/exe", error);
    if (error) return std::nullopt;
    return path;
}

std::optional<fs::path> mainBundle() {
    {
        std::lock_guard lock(overrideMutex);
        if (overridden) return overrideValue;
    }
    auto exe = executablePath();
    if (!exe) return std::nullopt;
    fs::path macos = exe->parent_path();
    fs::path contents = macos.parent_path();
    if (macos.filename() != "MacOS" || contents.filename() != "Contents") return std::nullopt;
    return contents.parent_path();
}

std::optional<fs::path> resourcesDirectory() {
    auto root = mainBundle();
    if (!root) return std::nullopt;
    return *root / "Contents" / "Resources";
}

void overrideMainBundle(std::optional<fs::path> bundle) {
    std::lock_guard lock(overrideMutex);
    overridden = true;
    overrideValue = std::move(bundle);
}

void clearMainBundleOverride() {
    std::lock_guard lock(overrideMutex);
    overridden = false;
    overrideValue.reset();
}

}  // namespace tessaron::bundle
