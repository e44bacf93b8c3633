#include "standins/limactl/instance.h"

#include "host/json.h"
#include "host/private_file.h"

#include <algorithm>
#include <cctype>
#include <csignal>

namespace tessaron::standin::limactl {

nlohmann::json InstanceConfig::toJson() const {
    nlohmann::json networkList = nlohmann::json::array();
    for (const auto& network : networks) {
        if (network.rfind("lima:", 0) == 0) networkList.push_back({{"lima", network.substr(5)}});
        else if (network == "vzNAT") networkList.push_back({{"vzNAT", true}});
        else networkList.push_back({{"socket", network}});
    }
    return {
        {"name", name},
        {"arch", arch},
        {"vmType", vmType},
        {"networks", networkList},
        {"rosetta", rosetta},
        {"containerd", containerd},
        {"mountNone", mountNone},
        {"cpus", cpus},
        {"memory", memory},
        {"disk", disk},
        {"template", templateLocator},
        {"guest", guest},
        {"peerLink", peerLink},
    };
}

InstanceConfig InstanceConfig::fromJson(const nlohmann::json& object) {
    InstanceConfig config;
    config.name = json::string(object, "name");
    config.arch = json::string(object, "arch");
    config.vmType = json::string(object, "vmType");
    for (const auto& network : json::array(object, "networks")) {
        if (network.contains("lima")) config.networks.push_back("lima:" + json::asString(network["lima"], "lima"));
        else if (network.contains("vzNAT")) config.networks.push_back("vzNAT");
        else if (network.contains("socket")) config.networks.push_back(json::asString(network["socket"], "socket"));
    }
    config.rosetta = json::boolean(object, "rosetta");
    config.containerd = json::string(object, "containerd");
    config.mountNone = json::boolean(object, "mountNone");
    config.cpus = static_cast<int>(json::int64(object, "cpus"));
    config.memory = json::uint64(object, "memory");
    config.disk = json::uint64(object, "disk");
    config.templateLocator = json::optionalString(object, "template").value_or("");
    config.guest = json::optionalString(object, "guest").value_or("light");
    config.peerLink = json::optionalString(object, "peerLink").value_or("");
    return config;
}

InstanceConfig loadConfig(const fs::path& dir) {
    std::string text;
    if (!readSmallFile(dir / "lima.yaml", text))
        throw LimactlError("open " + (dir / "lima.yaml").string() + ": no such file or directory");
    try {
        return InstanceConfig::fromJson(json::parseObject(text));
    } catch (const json::DecodingError& error) {
        throw LimactlError("cannot read " + (dir / "lima.yaml").string() + ": " + error.what());
    }
}

void saveConfig(const fs::path& dir, const InstanceConfig& config) {
    private_file::write(dir / "lima.yaml", config.toJson().dump(2) + "\n");
}

bool instanceExists(const std::string& name) {
    std::error_code error;
    return isValidInstanceName(name) && fs::is_directory(instanceDir(name), error);
}

std::vector<std::string> instanceNames() {
    std::vector<std::string> names;
    std::error_code error;
    for (fs::directory_iterator it(limaHome(), error), end; !error && it != end; it.increment(error)) {
        std::error_code ignored;
        const std::string name = it->path().filename().string();
        if (isValidInstanceName(name) && it->is_directory(ignored)) names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

pid_t liveHostAgent(const fs::path& dir, const std::string& name) {
    std::string text;
    if (!readSmallFile(dir / "ha.pid", text)) return 0;
    const std::string digits = trimmed(text);
    if (digits.empty() || digits.size() > 9 ||
        !std::all_of(digits.begin(), digits.end(), [](unsigned char c) { return std::isdigit(c); }))
        return 0;
    const pid_t pid = static_cast<pid_t>(std::stol(digits));
    return isHostAgentProcess(pid, name) ? pid : 0;
}

bool isHostAgentProcess(pid_t pid, const std::string& name) {
    if (pid <= 1 || ::kill(pid, 0) != 0) return false;
    // The pid must still be this instance's host agent (a zombie's command line is empty,
    // and a recycled pid belongs to some other program).
    std::string commandLine;
    if (!readSmallFile(fs::path("/proc") / std::to_string(pid) / "cmdline", commandLine)) return false;
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (std::size_t i = 0; i < commandLine.size(); ++i) {
        if (commandLine[i] == '\0') {
            parts.push_back(commandLine.substr(start, i - start));
            start = i + 1;
        }
    }
    return parts.size() >= 3 && parts[1] == "hostagent" && parts[2] == name;
}

InstanceState inspectInstance(const std::string& name) {
    requireValidInstanceName(name);
    InstanceState state;
    state.name = name;
    state.dir = instanceDir(name);
    if (!instanceExists(name))
        throw LimactlError("instance " + goQuote(name) + " does not exist, run `limactl create " + name +
                           "` to create a new instance");
    try {
        state.config = loadConfig(state.dir);
    } catch (const LimactlError& error) {
        state.errors.push_back(error.what());
    }
    state.hostAgentPid = liveHostAgent(state.dir, name);
    if (state.hostAgentPid > 0) {
        std::string port;
        if (readSmallFile(state.dir / "ssh.port", port)) {
            try {
                state.sshLocalPort = std::stoi(trimmed(port));
            } catch (const std::exception&) {
                state.sshLocalPort = 0;
            }
        }
    }
    if (!state.errors.empty()) state.status = "Broken";
    else state.status = state.running() ? "Running" : "Stopped";
    return state;
}

std::string readBootId(const fs::path& dir) {
    std::string text;
    if (!readSmallFile(dir / "boot_id", text)) return "";
    return trimmed(text);
}

void writeNewBootId(const fs::path& dir) {
    std::string id = private_file::randomUUID();
    std::transform(id.begin(), id.end(), id.begin(), [](unsigned char c) { return std::tolower(c); });
    private_file::write(dir / "boot_id", id + "\n");
}

}  // namespace tessaron::standin::limactl
