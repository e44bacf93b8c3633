#include "cli/headless_installer.h"

#include "host/agent_configuration.h"
#include "host/device_credential_store.h"
#include "host/launchd_services.h"
#include "host/paths.h"
#include "host/private_file.h"
#include "host/user.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <iostream>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tessaron::cli {

namespace fs = std::filesystem;

namespace {

// A staged list is a few hundred bytes; anything this large is not one.
constexpr std::size_t stagedLimit = 1 << 20;

const char* const invalidStaged = "The staged headless service is invalid.";

std::string daemonPath(const HeadlessInstallerEnvironment& environment) {
    return (environment.launchDaemons / (std::string(HeadlessServiceInstaller::label) + ".plist")).string();
}

std::string userNameOf(const HeadlessInstallerEnvironment& environment) {
    if (environment.userName) return *environment.userName;
    if (passwd* entry = ::getpwuid(user::realUserId())) return entry->pw_name;
    const char* name = std::getenv("USER");
    return name ? name : "";
}

fs::path homeOf(const HeadlessInstallerEnvironment& environment) {
    if (environment.home) return *environment.home;
    auto home = paths::home();
    if (!home) throw AgentConfigurationError(AgentConfigurationError::Kind::applicationSupportUnavailable);
    return *home;
}

// Reads the staged list: a regular file (never a FIFO or device that could block the
// installer), of bounded size.
std::string readStaged(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) throw SystemError::fromErrno("Could not read " + path, errno);
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    struct stat st {};
    if (::fstat(fd, &st) != 0) throw SystemError::fromErrno("Could not read " + path, errno);
    if (!S_ISREG(st.st_mode) || static_cast<std::size_t>(st.st_size) > stagedLimit) throw CLIError::pairing(invalidStaged);
    std::string bytes;
    char buffer[65536];
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) throw SystemError::fromErrno("Could not read " + path, errno);
        if (n == 0) break;
        bytes.append(buffer, static_cast<std::size_t>(n));
        if (bytes.size() > stagedLimit) throw CLIError::pairing(invalidStaged);
    }
    return bytes;
}

bool isExecutableFile(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

void validateStaged(const plist::Value& list, const std::string& sudoUser) {
    const plist::Dictionary* entries = list.dictionary();
    if (!entries) throw CLIError::pairing(invalidStaged);
    auto label = entries->find("Label");
    if (label == entries->end() || label->second != plist::Value(HeadlessServiceInstaller::label))
        throw CLIError::pairing(invalidStaged);
    auto userName = entries->find("UserName");
    if (userName == entries->end() || userName->second != plist::Value(sudoUser)) throw CLIError::pairing(invalidStaged);
    auto arguments = entries->find("ProgramArguments");
    if (arguments == entries->end() || !arguments->second.isArray()) throw CLIError::pairing(invalidStaged);
    const plist::Array& items = *arguments->second.array();
    if (items.empty()) throw CLIError::pairing(invalidStaged);
    for (const auto& item : items) {
        if (!item.isString()) throw CLIError::pairing(invalidStaged);
    }
    const std::string& program = *items.front().string();
    if (!program.starts_with("/") || !isExecutableFile(program)) throw CLIError::pairing(invalidStaged);
}

}  // namespace

namespace HeadlessServiceInstaller {

std::string sudoProgram() {
    const char* value = std::getenv("TESSARON_SUDO_PATH");
    return value && *value ? value : "/usr/bin/sudo";
}

std::filesystem::path launchDaemonsDirectory() {
    const char* value = std::getenv("TESSARON_LAUNCH_DAEMONS_DIR");
    return value && *value ? fs::path(value) : fs::path("/Library/LaunchDaemons");
}

std::int32_t run(const std::string& executable, const std::vector<std::string>& arguments, CommandRunning* runner) {
    ProcessCommandRunner own;
    return (runner ? runner : &own)->runInteractive(executable, arguments);
}

plist::Dictionary propertyList(const fs::path& executable, const std::string& userName, const fs::path& home,
                               const fs::path& configuration, const fs::path& credential) {
    const fs::path logs = LaunchAgentPaths::logDirectory(home);
    return plist::Dictionary{
        {"Label", label},
        {"ProgramArguments", plist::Array{executable.string(), "serve"}},
        {"UserName", userName},
        {"WorkingDirectory", home.string()},
        {"EnvironmentVariables", plist::Dictionary{{"HOME", home.string()},
                                                   {"TESSARON_CONFIG_PATH", configuration.string()},
                                                   {"TESSARON_CREDENTIAL_PATH", credential.string()}}},
        {"RunAtLoad", true},
        {"KeepAlive", plist::Dictionary{{"NetworkState", true}, {"SuccessfulExit", false}}},
        {"ProcessType", "Background"},
        {"ThrottleInterval", 5},
        {"StandardOutPath", (logs / "agent.log").string()},
        {"StandardErrorPath", (logs / "agent-error.log").string()},
    };
}

void enable(const HeadlessInstallerEnvironment& environment) {
    if (user::effectiveUserId() == 0)
        throw CLIError::pairing("Run `tessaron enable-headless` as the paired Mac user, not as root.");

    const AgentConfiguration configuration = AgentConfigurationStore::load();
    const std::string token = DeviceCredentialStore::load(configuration.machineID);
    const fs::path credential = DeviceCredentialStore::exportForHeadlessService(token);
    const fs::path configurationFile = AgentConfigurationStore::defaultURL();

    const fs::path home = homeOf(environment);
    private_file::createDirectories(LaunchAgentPaths::logDirectory(home));

    std::optional<fs::path> executable = environment.executable;
    if (!executable) executable = bundle::executablePath();
    if (!executable) throw CLIError::pairing("Tessaron could not locate its installed executable.");

    const std::string bytes = plist::serializeXML(
        plist::Value(propertyList(*executable, userNameOf(environment), home, configurationFile, credential)));
    const fs::path staged = configurationFile.parent_path() / "headless-service.plist";
    private_file::WriteOptions options;
    options.temporaryPrefix = ".headless-service-";
    private_file::write(staged, bytes, options);

    const std::int32_t status =
        run(environment.sudo, {executable->string(), "install-headless", "--plist", staged.string()}, environment.runner);
    if (status != 0)
        throw CLIError::pairing("The headless service installer exited with status " + std::to_string(status) + ".");

    try {
        run(environment.launchctl,
            {"bootout", "gui/" + std::to_string(user::realUserId()) + "/" + LoginService::label}, environment.runner);
    } catch (const std::exception&) {
        // Nothing may have been loaded; the agent's plist is moved aside below either way.
    }

    const fs::path agent = LoginService::plistPath(home);
    const fs::path disabled = agent.string() + ".disabled-by-headless";
    std::error_code error;
    if (fs::exists(agent, error) && !fs::exists(disabled, error)) fs::rename(agent, disabled);

    std::ostream& out = environment.output ? *environment.output : std::cout;
    out << "Headless mode is enabled. Tessaron can start after reboot without a user login.\n"
        << "The Mac must still have power, an Internet connection, and an open lid or desktop power configuration.\n";
    out.flush();
}

void install(const std::string& plistPath, const HeadlessInstallerEnvironment& environment) {
    if (user::effectiveUserId() != 0) throw CLIError::pairing("Installing the system service requires sudo.");
    const char* sudoUser = std::getenv("SUDO_USER");
    if (!sudoUser || !*sudoUser)
        throw CLIError::pairing("The service installer must be launched through sudo by the paired user.");

    const std::string bytes = readStaged(plistPath);
    validateStaged(plist::parse(bytes), sudoUser);

    const std::string target = daemonPath(environment);
    private_file::WriteOptions options;
    options.temporaryPrefix = ".tessaron-headless-";
    options.createParent = false;
    private_file::write(target, bytes, options);
    if (::chmod(target.c_str(), 0644) != 0) throw SystemError::fromErrno("Could not set the permissions of " + target, errno);
    if (::chown(target.c_str(), 0, 0) != 0) throw SystemError::fromErrno("Could not set the owner of " + target, errno);

    try {
        run(environment.launchctl, {"bootout", std::string("system/") + label}, environment.runner);
    } catch (const std::exception&) {
        // There is usually nothing to unload.
    }
    if (run(environment.launchctl, {"bootstrap", "system", target}, environment.runner) != 0)
        throw CLIError::pairing("launchd rejected the Tessaron headless service.");
}

}  // namespace HeadlessServiceInstaller

}  // namespace tessaron::cli
