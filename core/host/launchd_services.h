#pragma once
// Background hosting: the connection helper (`tessaron serve`) and the menu-bar
// companion as per-user launchd LaunchAgents in the user's GUI domain.
//
//   LoginService          "com.tessaron.agent"   ~/Library/LaunchAgents/com.tessaron.agent.plist
//   MenuBarLoginService   "com.tessaron.menubar" ~/Library/LaunchAgents/com.tessaron.menubar.plist
//
// enable() installs or replaces the agent through launchctl (print, bootout, bootstrap
// in gui/<uid>) and, once it has changed anything, restores the previous state when a
// later step fails. Refusals (run as root, not installed, unsafe or foreign plist,
// no consent to replace, another helper running, no credential) change nothing.

#include "host/agent_configuration.h"
#include "host/error.h"
#include "host/helper_supervisor.h"
#include "host/process_runner.h"
#include "host/property_list.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace tessaron {

class LoginServiceError : public Error {
public:
    enum class Kind {
        existingHelper,           // the given text, or the default sentence
        operationFailed,          // the given text
        notInstalled,
        runAsUser,
        unsafeFile,
        needsReplacementConsent,
    };

    static LoginServiceError existingHelper(const std::optional<std::string>& message = std::nullopt);
    static LoginServiceError operationFailed(const std::string& message);
    static LoginServiceError notInstalled();
    static LoginServiceError runAsUser();
    static LoginServiceError unsafeFile();
    static LoginServiceError needsReplacementConsent();

    Kind kind() const noexcept { return kind_; }

private:
    LoginServiceError(Kind kind, const std::string& description) : Error(description), kind_(kind) {}
    Kind kind_;
};

// Locations, launchd targets and the launchctl program shared by both services.
namespace LaunchAgentPaths {
std::filesystem::path launchAgentsDirectory(const std::filesystem::path& home);  // home/Library/LaunchAgents
std::filesystem::path logDirectory(const std::filesystem::path& home);           // home/Library/Logs/Tessaron
std::string domainTarget();                                                       // "gui/<real uid>"
// $TESSARON_LAUNCHCTL_PATH when set and not empty (the stand-in on machines without
// launchd), else "/bin/launchctl".
std::string launchctlProgram();
}  // namespace LaunchAgentPaths

// How enable() asks whether connection helpers already run for the pairing.
using HelperStatusCheck = std::function<AgentSupervisorStatus(const AgentConfiguration&, std::int32_t excludingPID)>;

// The outside world of enable(); the defaults are the real ones.
struct LoginServiceEnvironment {
    CommandRunning* runner = nullptr;             // null: a ProcessCommandRunner
    std::string launchctl = LaunchAgentPaths::launchctlProgram();
    std::optional<std::filesystem::path> home;    // null: the user's home folder ($HOME)
    HelperStatusCheck helperStatus;               // null: AgentSupervisor::status with `runner`
};


namespace LoginService {

inline constexpr const char* label = "com.tessaron.agent";

// "/Applications/Tessaron.app", then home + "/Applications/Tessaron.app".
std::vector<std::string> durableBundlePaths(const std::filesystem::path& home);
// The standardized path of `bundle` (dot segments and a trailing slash removed) is one
// of the durable bundle paths.
bool isDurablyInstalled(const std::filesystem::path& bundle, const std::filesystem::path& home);

// home/Library/LaunchAgents/com.tessaron.agent.plist
std::filesystem::path plistPath(const std::filesystem::path& home);

// The helper's 10-key property list. Throws LoginServiceError::notInstalled unless the
// standardized executable is <durable bundle>/Contents/MacOS/tessaron, the other
// three paths are absolute, and the configuration and credential are different files.
plist::Dictionary propertyList(const std::filesystem::path& executable, const std::filesystem::path& configuration,
                               const std::filesystem::path& credential, const std::filesystem::path& home);

// Installs or replaces the helper's LaunchAgent and loads it; see the file comment.
void enable(const std::filesystem::path& executable, const AgentConfiguration& configuration, bool replaceExisting,
            const LoginServiceEnvironment& environment = {});

}  // namespace LoginService

namespace MenuBarLoginService {

inline constexpr const char* label = "com.tessaron.menubar";

// home/Library/LaunchAgents/com.tessaron.menubar.plist
std::filesystem::path plistPath(const std::filesystem::path& home);

// The companion inside the helper's bundle:
// <executable>/../../Library/LoginItems/TessaronMenuBar.app/Contents/MacOS/TessaronMenuBar
std::filesystem::path companionExecutable(const std::filesystem::path& executable);

// The companion's 11-key property list, after the helper's checks.
plist::Dictionary propertyList(const std::filesystem::path& executable, const std::filesystem::path& configuration,
                               const std::filesystem::path& credential, const std::filesystem::path& home);

// Installs or replaces the companion's LaunchAgent and loads it. On a failure after the
// plist was changed, the previous plist is restored and the first error rethrown.
void enable(const std::filesystem::path& executable, bool replaceExisting,
            const LoginServiceEnvironment& environment = {});

}  // namespace MenuBarLoginService

}  // namespace tessaron
