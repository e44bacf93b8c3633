#include "host/launchd_services.h"

#include "host/device_credential_store.h"
#include "host/paths.h"
#include "host/private_file.h"
#include "host/user.h"

#include <cerrno>
#include <cstdlib>
#include <exception>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tessaron {

namespace fs = std::filesystem;

LoginServiceError LoginServiceError::existingHelper(const std::optional<std::string>& message) {
    return LoginServiceError(Kind::existingHelper,
                             message ? *message
                                     : "A connection helper is already running outside this login service. Close the "
                                       "older app before enabling background hosting.");
}

LoginServiceError LoginServiceError::operationFailed(const std::string& message) {
    return LoginServiceError(Kind::operationFailed, message);
}

LoginServiceError LoginServiceError::notInstalled() {
    return LoginServiceError(Kind::notInstalled,
                             "Tessaron is running from a temporary copy, so background hosting cannot be set up. macOS "
                             "does this when an app is opened straight from Downloads. Quit Tessaron, drag Tessaron.app "
                             "into your Applications folder, and open it from there.");
}

LoginServiceError LoginServiceError::runAsUser() {
    return LoginServiceError(Kind::runAsUser, "Enable background hosting as your signed-in Mac user, not as root.");
}

LoginServiceError LoginServiceError::unsafeFile() {
    return LoginServiceError(Kind::unsafeFile,
                             "The existing Tessaron login service has unexpected ownership or file type. It was not "
                             "replaced.");
}

LoginServiceError LoginServiceError::needsReplacementConsent() {
    return LoginServiceError(Kind::needsReplacementConsent,
                             "An older login-service configuration exists. Review it, then use --replace-existing to "
                             "migrate it.");
}

namespace {

const char* const replaceFailed = "Could not replace the existing login service.";
const char* const startFailed = "macOS could not start the background service.";
const char* const restartFailed = "The previous background service could not be restarted.";
const char* const restoredSuffix = " The previous launch configuration was restored.";
const char* const recoveryFailedPrefix = " Recovery also failed: ";
const char* const recoveryFailedSuffix = " Your VM and files were not removed.";
const char* const companionMissing =
    "Background hosting is enabled, but this app bundle has no menu-bar companion. Install the current Tessaron app.";
const char* const companionBootoutFailed =
    "Could not update the menu-bar companion. Background hosting was not changed.";
const char* const companionStartFailed =
    "macOS could not open the menu-bar companion. Background hosting is still enabled.";

// Dot segments and a trailing slash removed, without resolving links.
std::string standardized(const fs::path& path) {
    std::string text = path.lexically_normal().string();
    while (text.size() > 1 && text.back() == '/') text.pop_back();
    return text;
}

bool sameFile(const fs::path& a, const fs::path& b) {
    if (standardized(a) == standardized(b)) return true;
    std::error_code error;
    return fs::equivalent(a, b, error) && !error;
}

// The runner to use for one enable() call.
class Runner {
public:
    explicit Runner(const LoginServiceEnvironment& environment)
        : runner_(environment.runner ? environment.runner : &own_), launchctl_(environment.launchctl) {}

    std::int32_t launchctl(const std::vector<std::string>& arguments) {
        return runner_->run(launchctl_, arguments).exitCode;
    }

private:
    ProcessCommandRunner own_;
    CommandRunning* runner_;
    std::string launchctl_;
};

fs::path homeOf(const LoginServiceEnvironment& environment) {
    if (environment.home) return *environment.home;
    auto home = paths::home();
    if (!home) throw Error("Tessaron could not find your home folder.");
    return *home;
}

std::string readBytes(const fs::path& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) throw SystemError::fromErrno("Could not read " + path.string(), errno);
    std::string bytes;
    char buffer[65536];
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            int code = errno;
            ::close(fd);
            throw SystemError::fromErrno("Could not read " + path.string(), code);
        }
        if (n == 0) break;
        bytes.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return bytes;
}

// Atomic replacement with mode 0600 (from the first byte), into an existing folder.
void writePrivately(const fs::path& path, const std::string& bytes) {
    private_file::WriteOptions options;
    options.temporaryPrefix = ".launchd-";
    options.createParent = false;
    private_file::write(path, bytes, options);
}

bool isExecutableFile(const fs::path& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

// What enable() found at a plist path before changing anything.
struct ExistingPlist {
    std::optional<std::string> bytes;  // the old plist, kept for rollback
    bool identical = false;            // it parses to the same dictionary as the new one
};

// The checks of an existing plist: a file that exists (a dangling link does not) must
// be a regular file, not a link, owned by the real user; otherwise unsafeFile.
ExistingPlist inspectExisting(const fs::path& path, const plist::Dictionary& wanted) {
    ExistingPlist existing;
    struct stat followed {};
    if (::stat(path.c_str(), &followed) != 0) {
        if (errno == ENOENT || errno == ENOTDIR) return existing;
        throw LoginServiceError::unsafeFile();
    }
    struct stat own {};
    if (::lstat(path.c_str(), &own) != 0 || S_ISLNK(own.st_mode) || !S_ISREG(own.st_mode) ||
        own.st_uid != user::realUserId())
        throw LoginServiceError::unsafeFile();
    existing.bytes = readBytes(path);
    try {
        existing.identical = plist::equivalent(plist::parse(*existing.bytes), plist::Value(wanted));
    } catch (const plist::PropertyListError&) {
        existing.identical = false;
    }
    return existing;
}

// Where a LaunchAgent stands before it is installed: whether launchd has it loaded and
// what plist is on disk. A different plist needs the user's consent to be replaced.
struct AgentState {
    std::string domain;
    std::string service;
    bool loaded = false;
    ExistingPlist existing;
    bool upToDate = false;  // the same plist is on disk and loaded: nothing to do
};

AgentState inspectAgent(Runner& runner, const std::string& label, const fs::path& target,
                        const plist::Dictionary& list, bool replaceExisting) {
    AgentState state;
    state.domain = LaunchAgentPaths::domainTarget();
    state.service = state.domain + "/" + label;
    state.loaded = runner.launchctl({"print", state.service}) == 0;
    state.existing = inspectExisting(target, list);
    if (state.existing.bytes) {
        state.upToDate = state.existing.identical && state.loaded;
        if (!state.existing.identical && !replaceExisting) throw LoginServiceError::needsReplacementConsent();
    }
    return state;
}

AgentSupervisorStatus helperStatus(const LoginServiceEnvironment& environment, const AgentConfiguration& configuration) {
    const auto self = static_cast<std::int32_t>(::getpid());
    if (environment.helperStatus) return environment.helperStatus(configuration, self);
    AgentSupervisor::Probes probes;
    probes.runner = environment.runner;
    return AgentSupervisor::status(configuration, self, probes);
}

}  // namespace

namespace LaunchAgentPaths {

fs::path launchAgentsDirectory(const fs::path& home) { return home / "Library" / "LaunchAgents"; }

fs::path logDirectory(const fs::path& home) { return home / "Library" / "Logs" / "Tessaron"; }

std::string domainTarget() { return "gui/" + std::to_string(user::realUserId()); }

std::string launchctlProgram() {
    const char* value = std::getenv("TESSARON_LAUNCHCTL_PATH");
    return value && *value ? value : "/bin/launchctl";
}

}  // namespace LaunchAgentPaths

namespace LoginService {

std::vector<std::string> durableBundlePaths(const fs::path& home) {
    return {"/Applications/Tessaron.app", standardized(home / "Applications" / "Tessaron.app")};
}

bool isDurablyInstalled(const fs::path& bundle, const fs::path& home) {
    const std::string path = standardized(bundle);
    for (const auto& durable : durableBundlePaths(home)) {
        if (path == durable) return true;
    }
    return false;
}

fs::path plistPath(const fs::path& home) {
    return LaunchAgentPaths::launchAgentsDirectory(home) / (std::string(label) + ".plist");
}

plist::Dictionary propertyList(const fs::path& executable, const fs::path& configuration, const fs::path& credential,
                               const fs::path& home) {
    const std::string program = standardized(executable);
    bool durable = false;
    for (const auto& bundle : durableBundlePaths(home)) {
        if (program == bundle + "/Contents/MacOS/tessaron") durable = true;
    }
    if (!durable) throw LoginServiceError::notInstalled();
    for (const fs::path* path : {&configuration, &credential, &home}) {
        if (!path->string().starts_with("/")) throw LoginServiceError::notInstalled();
    }
    if (sameFile(configuration, credential)) throw LoginServiceError::notInstalled();

    const fs::path logs = LaunchAgentPaths::logDirectory(home);
    return plist::Dictionary{
        {"Label", label},
        {"ProgramArguments", plist::Array{executable.string(), "serve"}},
        {"WorkingDirectory", home.string()},
        {"EnvironmentVariables", plist::Dictionary{{"TESSARON_CONFIG_PATH", configuration.string()},
                                                   {"TESSARON_CREDENTIAL_PATH", credential.string()}}},
        {"RunAtLoad", true},
        {"KeepAlive", true},
        {"ThrottleInterval", 5},
        {"ProcessType", "Background"},
        {"StandardOutPath", (logs / "agent.log").string()},
        {"StandardErrorPath", (logs / "agent-error.log").string()},
    };
}

void enable(const fs::path& executable, const AgentConfiguration& configuration, bool replaceExisting,
            const LoginServiceEnvironment& environment) {
    if (user::realUserId() == 0) throw LoginServiceError::runAsUser();

    const fs::path home = homeOf(environment);
    const fs::path configurationFile = AgentConfigurationStore::defaultURL();
    const fs::path credentialFile = DeviceCredentialStore::headlessURL();
    const plist::Dictionary list = propertyList(executable, configurationFile, credentialFile, home);

    Runner runner(environment);
    const fs::path target = plistPath(home);
    const auto [domain, service, loaded, existing, upToDate] = inspectAgent(runner, label, target, list, replaceExisting);
    if (upToDate) return;

    const AgentSupervisorStatus status = helperStatus(environment, configuration);
    if (status.state != "stopped" && !(loaded && replaceExisting)) throw LoginServiceError::existingHelper(status.error);

    const std::string token = DeviceCredentialStore::tokenFromFile(credentialFile);
    std::optional<std::string> oldCredential;
    {
        struct stat st {};
        if (::stat(credentialFile.c_str(), &st) == 0) oldCredential = readBytes(credentialFile);
    }

    fs::create_directories(LaunchAgentPaths::launchAgentsDirectory(home));
    private_file::createDirectories(LaunchAgentPaths::logDirectory(home));
    DeviceCredentialStore::exportForHeadlessService(token, credentialFile);
    const std::string bytes = plist::serializeXML(plist::Value(list));

    if (loaded && runner.launchctl({"bootout", service}) != 0) throw LoginServiceError::operationFailed(replaceFailed);

    std::string message;
    try {
        writePrivately(target, bytes);
        if (runner.launchctl({"bootstrap", domain, target.string()}) != 0)
            throw LoginServiceError::operationFailed(startFailed);
        return;
    } catch (const std::exception& first) {
        message = first.what();
    }

    // Put back what was there before: plist, credential and the loaded agent.
    try {
        std::error_code error;
        if (existing.bytes) {
            writePrivately(target, *existing.bytes);
        } else if (fs::symlink_status(target, error).type() != fs::file_type::not_found && !error) {
            fs::remove(target);
        }
        if (oldCredential) writePrivately(credentialFile, *oldCredential);
        if (loaded && existing.bytes && runner.launchctl({"bootstrap", domain, target.string()}) != 0)
            throw LoginServiceError::operationFailed(restartFailed);
    } catch (const std::exception& recovery) {
        throw LoginServiceError::operationFailed(message + recoveryFailedPrefix + recovery.what() + recoveryFailedSuffix);
    }
    throw LoginServiceError::operationFailed(message + restoredSuffix);
}

}  // namespace LoginService

namespace MenuBarLoginService {

fs::path plistPath(const fs::path& home) {
    return LaunchAgentPaths::launchAgentsDirectory(home) / (std::string(label) + ".plist");
}

fs::path companionExecutable(const fs::path& executable) {
    return executable.parent_path().parent_path() / "Library" / "LoginItems" / "TessaronMenuBar.app" / "Contents" /
           "MacOS" / "TessaronMenuBar";
}

plist::Dictionary propertyList(const fs::path& executable, const fs::path& configuration, const fs::path& credential,
                               const fs::path& home) {
    (void)LoginService::propertyList(executable, configuration, credential, home);
    const fs::path logs = LaunchAgentPaths::logDirectory(home);
    return plist::Dictionary{
        {"Label", label},
        {"ProgramArguments", plist::Array{companionExecutable(executable).string()}},
        {"WorkingDirectory", home.string()},
        {"EnvironmentVariables", plist::Dictionary{{"TESSARON_CONFIG_PATH", configuration.string()},
                                                   {"TESSARON_CREDENTIAL_PATH", credential.string()}}},
        {"LimitLoadToSessionType", "Aqua"},
        {"RunAtLoad", true},
        {"KeepAlive", true},
        {"ThrottleInterval", 10},
        {"ProcessType", "Interactive"},
        {"StandardOutPath", (logs / "menu-bar.log").string()},
        {"StandardErrorPath", (logs / "menu-bar-error.log").string()},
    };
}

void enable(const fs::path& executable, bool replaceExisting, const LoginServiceEnvironment& environment) {
    if (user::realUserId() == 0) throw LoginServiceError::runAsUser();

    const fs::path home = homeOf(environment);
    const fs::path configurationFile = AgentConfigurationStore::defaultURL();
    const fs::path credentialFile = DeviceCredentialStore::headlessURL();
    const plist::Dictionary list = propertyList(executable, configurationFile, credentialFile, home);

    const std::string& companion = *list.at("ProgramArguments").array()->front().string();
    if (!isExecutableFile(companion)) throw LoginServiceError::operationFailed(companionMissing);

    Runner runner(environment);
    const fs::path target = plistPath(home);
    const auto [domain, service, loaded, existing, upToDate] = inspectAgent(runner, label, target, list, replaceExisting);
    if (upToDate) return;

    fs::create_directories(target.parent_path());
    private_file::createDirectories(LaunchAgentPaths::logDirectory(home));

    if (loaded && runner.launchctl({"bootout", service}) != 0)
        throw LoginServiceError::operationFailed(companionBootoutFailed);

    std::exception_ptr first;
    try {
        writePrivately(target, plist::serializeXML(plist::Value(list)));
        if (runner.launchctl({"bootstrap", domain, target.string()}) != 0)
            throw LoginServiceError::operationFailed(companionStartFailed);
        return;
    } catch (...) {
        first = std::current_exception();
    }

    if (existing.bytes) {
        writePrivately(target, *existing.bytes);
        if (loaded) runner.launchctl({"bootstrap", domain, target.string()});
    } else {
        std::error_code error;
        if (fs::symlink_status(target, error).type() != fs::file_type::not_found && !error) fs::remove(target);
    }
    std::rethrow_exception(first);
}

}  // namespace MenuBarLoginService

}  // namespace tessaron
