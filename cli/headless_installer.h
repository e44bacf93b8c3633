#pragma once
// Headless mode: the connection helper as the system LaunchDaemon
// "com.tessaron.agent.headless", which starts `tessaron serve` at boot as the paired
// user, without a login.
//
// enable() is the user half (`tessaron enable-headless`): it exports the credential,
// stages the daemon's property list as "headless-service.plist" beside agent.json, runs
// `sudo <tessaron> install-headless --plist <staged>`, then boots the per-user
// LaunchAgent out and moves its plist aside (".disabled-by-headless").
// install() is the root half (`install-headless --plist <path>`): it checks the staged
// list against SUDO_USER, installs it in /Library/LaunchDaemons (0644, root:wheel) and
// loads it in the system domain.
//
// Every message of its own is a CLIError::pairing; errors of the configuration,
// credential, file, property-list and process calls pass through unchanged.

#include "cli/cli_options.h"
#include "host/launchd_services.h"
#include "host/process_runner.h"
#include "host/property_list.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace tessaron::cli {

namespace HeadlessServiceInstaller {
// $TESSARON_SUDO_PATH when set and not empty (the stand-in), else "/usr/bin/sudo".
std::string sudoProgram();
// $TESSARON_LAUNCH_DAEMONS_DIR when set and not empty, else "/Library/LaunchDaemons".
std::filesystem::path launchDaemonsDirectory();
}  // namespace HeadlessServiceInstaller

// The outside world of the installer; the defaults are the real ones (launchctl as
// LaunchAgentPaths::launchctlProgram()).
struct HeadlessInstallerEnvironment {
    CommandRunning* runner = nullptr;                     // null: a ProcessCommandRunner
    std::string sudo = HeadlessServiceInstaller::sudoProgram();
    std::string launchctl = LaunchAgentPaths::launchctlProgram();
    std::filesystem::path launchDaemons = HeadlessServiceInstaller::launchDaemonsDirectory();
    std::optional<std::filesystem::path> executable;      // null: this program's own executable
    std::optional<std::string> userName;                  // null: the real user's login name
    std::optional<std::filesystem::path> home;            // null: the home folder ($HOME)
    std::ostream* output = nullptr;                       // null: standard output
};

namespace HeadlessServiceInstaller {

inline constexpr const char* label = "com.tessaron.agent.headless";

// Runs `executable` attached to this process's standard input, output and error (so
// that sudo can ask for a password) and returns its exit status. A program that cannot
// be started is thrown (LaunchError).
std::int32_t run(const std::string& executable, const std::vector<std::string>& arguments,
                 CommandRunning* runner = nullptr);

// The daemon's eleven-key property list.
plist::Dictionary propertyList(const std::filesystem::path& executable, const std::string& userName,
                               const std::filesystem::path& home, const std::filesystem::path& configuration,
                               const std::filesystem::path& credential);

// The user half. Prints two lines on success.
void enable(const HeadlessInstallerEnvironment& environment = {});

// The root half.
void install(const std::string& plistPath, const HeadlessInstallerEnvironment& environment = {});

}  // namespace HeadlessServiceInstaller

}  // namespace tessaron::cli
