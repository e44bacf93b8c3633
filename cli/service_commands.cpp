#include "cli/service_commands.h"

#include "cli/output.h"
#include "cli/wireguard_runner.h"
#include "host/agent_configuration.h"
#include "host/device_credential_store.h"
#include "host/launchd_services.h"
#include "host/paths.h"

namespace tessaron::cli {

void runService(const std::vector<std::string>& arguments, const CLIOptions& options) {
    if (arguments.empty() || arguments.front() != "enable") {
        throw CLIError::pairing("Use `tessaron service enable` to keep hosting after the app closes.");
    }
    const auto executable = bundle::executablePath();
    if (!executable) throw LoginServiceError::notInstalled();
    const AgentConfiguration configuration = AgentConfigurationStore::load();
    const bool replaceExisting = options.hasFlag("replace-existing");
    LoginService::enable(*executable, configuration, replaceExisting);
    MenuBarLoginService::enable(*executable, replaceExisting);
    printLine("Background hosting enabled. You can close the app; keep this Mac awake, online and signed in.");
}

void runNetwork() {
    const AgentConfiguration configuration = AgentConfigurationStore::load();
    const std::string token = DeviceCredentialStore::load(configuration.machineID);
    printLine(WireGuardRunner(configuration, token).provisionOnce());
}

}  // namespace tessaron::cli
