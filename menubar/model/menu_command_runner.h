#pragma once
// How the menu bar runs `tessaron`: one child process per status read or action, with a
// hard time-out, output kept to its first 64 KiB per stream, and every failure turned
// into the sentence the menu shows. A run never throws. A run given up on, at its time-out
// or because the menu bar quits, ends the program and everything it started.

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

namespace tessaron::menubar {

struct MenuCommandResult {
    std::string output;                // standard output; empty after a launch failure or time-out
    std::optional<std::string> error;  // none exactly when the program exited with status 0
    bool operator==(const MenuCommandResult&) const = default;
};

inline constexpr std::size_t outputLimit = 65536;
inline constexpr std::chrono::seconds statusTimeout{9};
inline constexpr std::chrono::seconds lifecycleTimeout{13};
inline constexpr std::chrono::seconds powerTimeout{120};

inline constexpr const char* launchFailedText = "Could not open Tessaron controls. Open the app to check installation.";
inline constexpr const char* timedOutText = "Could not confirm the request. Checking status before another action.";
inline constexpr const char* failedWithoutReasonText = "Could not confirm the request. Check status before trying again.";

// `tessaron` of the application bundle that holds the menu bar's own bundle:
// …/Tessaron.app/Contents/Library/LoginItems/TessaronMenuBar.app → …/Tessaron.app/Contents/MacOS/tessaron.
std::filesystem::path enclosingApplication(const std::filesystem::path& menuBarBundle);
std::filesystem::path tessaronProgram(const std::filesystem::path& menuBarBundle);

// Runs of `tessaron`, called off the main thread; blocks until the run is over, which is
// soon after `stop` is requested (the result is then that of a time-out).
class MenuCommandRunning {
public:
    virtual ~MenuCommandRunning() = default;
    virtual MenuCommandResult run(const std::vector<std::string>& arguments, std::chrono::milliseconds timeout,
                                  std::stop_token stop) = 0;
};

class TessaronCommandRunner final : public MenuCommandRunning {
public:
    // `program` is asked afresh before every run; nothing means the program cannot be found.
    explicit TessaronCommandRunner(std::function<std::optional<std::filesystem::path>()> program,
                                   std::chrono::milliseconds grace = std::chrono::seconds(1));
    MenuCommandResult run(const std::vector<std::string>& arguments, std::chrono::milliseconds timeout,
                          std::stop_token stop) override;

private:
    std::function<std::optional<std::filesystem::path>()> program_;
    std::chrono::milliseconds grace_;
};

}  // namespace tessaron::menubar
