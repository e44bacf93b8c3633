#pragma once
// Where Tessaron keeps its files. The layout is the Mac's, under the user's home
// folder ($HOME), on every platform:
//   ~/Library/Application Support/Tessaron   configuration, credential, receipts, locks
//   ~/Library/Logs/Tessaron                  launchd job logs
//   ~/Library/LaunchAgents                   per-user launchd jobs
//   ~/Library/Caches                         caches (Lima's downloads live below it)

#include <filesystem>
#include <optional>

namespace tessaron::paths {

// $HOME when set and not empty, otherwise the password database's home folder.
std::optional<std::filesystem::path> home();

// ~/Library/Application Support, or nothing when there is no home folder.
std::optional<std::filesystem::path> applicationSupport();
// ~/Library/Application Support/Tessaron
std::optional<std::filesystem::path> tessaronSupport();
// ~/Library/Logs/Tessaron
std::optional<std::filesystem::path> tessaronLogs();
// ~/Library/LaunchAgents
std::optional<std::filesystem::path> launchAgents();
// ~/Library/Caches
std::optional<std::filesystem::path> caches();

}  // namespace tessaron::paths

namespace tessaron::bundle {

// The running program's own path (/proc/self/exe).
std::optional<std::filesystem::path> executablePath();

// The application bundle that holds the running program: for
// X.app/Contents/MacOS/program that is X.app. Nothing when the program is not
// inside a bundle.
std::optional<std::filesystem::path> mainBundle();

// <bundle>/Contents/Resources of mainBundle().
std::optional<std::filesystem::path> resourcesDirectory();

// Makes mainBundle() answer `bundle` (or nothing) for the rest of the process or until
// the override is cleared; for tests, whose programs do not live in a bundle.
void overrideMainBundle(std::optional<std::filesystem::path> bundle);
void clearMainBundleOverride();

}  // namespace tessaron::bundle
