#include "standins/limactl/listing.h"

#include "host/json.h"
#include "standins/limactl/arguments.h"

#include <cstdio>
#include <iostream>
#include <map>
#include <sstream>

namespace tessaron::standin::limactl {
namespace {

constexpr const char* limaVersion = "1.0.0-tessaron-standin";

std::string bytesText(std::uint64_t bytes) {
    const char* units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    double value = static_cast<double>(bytes);
    int unit = 0;
    while (value >= 1024 && unit < 4) {
        value /= 1024;
        ++unit;
    }
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.4g%s", value, units[unit]);
    return buffer;
}

std::string plainValue(const nlohmann::json& value) {
    if (value.is_string()) return value.get<std::string>();
    if (value.is_null()) return "<no value>";
    return value.dump();
}

// Template field name → listing key.
const std::map<std::string, std::string> templateFields = {
    {"Name", "name"},           {"Hostname", "hostname"},         {"Status", "status"},
    {"Dir", "dir"},             {"VMType", "vmType"},             {"Arch", "arch"},
    {"CPUType", "cpuType"},     {"CPUs", "cpus"},                 {"Memory", "memory"},
    {"Disk", "disk"},           {"Message", "message"},           {"SSHLocalPort", "sshLocalPort"},
    {"SSHAddress", "sshAddress"}, {"SSHConfigFile", "sshConfigFile"}, {"HostAgentPID", "hostAgentPID"},
    {"DriverPID", "driverPID"}, {"Protected", "protected"},       {"LimaVersion", "limaVersion"},
};

}  // namespace

nlohmann::json listingObject(const InstanceState& state, const std::optional<std::string>& forcedStatus) {
    const InstanceConfig config = state.config.value_or(InstanceConfig{});
    nlohmann::json networks = nlohmann::json::array();
    if (state.config) networks = config.toJson()["networks"];
    nlohmann::json object = {
        {"name", state.name},
        {"hostname", "lima-" + state.name},
        {"status", forcedStatus.value_or(state.status)},
        {"dir", state.dir.string()},
        {"vmType", state.config ? config.vmType : ""},
        {"arch", state.config ? config.arch : ""},
        {"cpuType", ""},
        {"cpus", state.config ? config.cpus : 0},
        {"memory", state.config ? config.memory : 0},
        {"disk", state.config ? config.disk : 0},
        {"message", ""},
        {"networks", networks},
        {"sshLocalPort", state.sshLocalPort},
        {"sshAddress", "127.0.0.1"},
        {"sshConfigFile", (state.dir / "ssh.config").string()},
        {"hostAgentPID", state.hostAgentPid},
        {"driverPID", state.hostAgentPid},
        {"protected", false},
        {"limaVersion", limaVersion},
    };
    if (!state.errors.empty()) object["errors"] = state.errors;
    return object;
}

std::string expandTemplate(const std::string& format, const nlohmann::json& listing) {
    std::string out;
    std::size_t position = 0;
    while (position < format.size()) {
        auto open = format.find("{{", position);
        if (open == std::string::npos) {
            out += format.substr(position);
            break;
        }
        out += format.substr(position, open - position);
        auto close = format.find("}}", open + 2);
        if (close == std::string::npos)
            throw LimactlError("template: format:1: unclosed action");
        std::string action = trimmed(std::string_view(format).substr(open + 2, close - open - 2));
        if (action == "json .") {
            out += json::encode(listing);
        } else if (action.size() > 1 && action[0] == '.') {
            auto field = templateFields.find(action.substr(1));
            if (field == templateFields.end())
                throw LimactlError("template: format:1:" + std::to_string(open + 2) + ": executing \"format\" at <" +
                                   action + ">: can't evaluate field " + action.substr(1) +
                                   " in type *store.Instance");
            out += plainValue(listing.value(field->second, nlohmann::json()));
        } else if (action == ".") {
            out += json::encode(listing);
        } else {
            throw LimactlError("template: format:1: function " + goQuote(action) + " not defined");
        }
        position = close + 2;
    }
    return out;
}

int runList(const std::vector<std::string>& arguments, const FaultEffects& effects) {
    const auto parsed = parseArguments(arguments, {
                                                      {"json", 0, false, false},
                                                      {"format", 'f', true, false},
                                                      {"quiet", 'q', false, false},
                                                      {"all-fields", 0, false, false},
                                                  });
    std::vector<std::string> names;
    if (parsed.positionals.empty()) {
        names = instanceNames();
        if (names.empty()) logLine("warning", "No instance found. Run `limactl create` to create an instance.");
    } else {
        for (const auto& name : parsed.positionals) {
            if (instanceExists(name)) names.push_back(name);
            else logLine("warning", "No instance matching " + name + " found.");
        }
        if (names.empty()) throw LimactlError("unmatched instances");
    }

    std::string format = parsed.value("format").value_or("");
    const bool asJson = parsed.flag("json") || format == "json";
    if (asJson && parsed.has("format") && format != "json")
        throw LimactlError("option --json conflicts with option --format");
    std::ostringstream out;
    if (parsed.flag("quiet")) {
        for (const auto& name : names) out << name << "\n";
    } else if (asJson) {
        for (const auto& name : names)
            out << json::encode(listingObject(inspectInstance(name), effects.status)) << "\n";
    } else if (!format.empty() && format != "table") {
        for (const auto& name : names)
            out << expandTemplate(format, listingObject(inspectInstance(name), effects.status)) << "\n";
    } else if (!names.empty()) {
        char line[512];
        std::snprintf(line, sizeof line, "%-16s %-10s %-20s %-8s %-8s %-5s %-10s %-10s %s\n", "NAME", "STATUS",
                      "SSH", "VMTYPE", "ARCH", "CPUS", "MEMORY", "DISK", "DIR");
        out << line;
        for (const auto& name : names) {
            auto object = listingObject(inspectInstance(name), effects.status);
            const std::string ssh = "127.0.0.1:" + std::to_string(object["sshLocalPort"].get<int>());
            std::snprintf(line, sizeof line, "%-16s %-10s %-20s %-8s %-8s %-5d %-10s %-10s %s\n",
                          name.c_str(), object["status"].get<std::string>().c_str(), ssh.c_str(),
                          object["vmType"].get<std::string>().c_str(), object["arch"].get<std::string>().c_str(),
                          object["cpus"].get<int>(), bytesText(object["memory"].get<std::uint64_t>()).c_str(),
                          bytesText(object["disk"].get<std::uint64_t>()).c_str(),
                          object["dir"].get<std::string>().c_str());
            out << line;
        }
    }
    std::cout << out.str() << std::flush;
    return 0;
}

}  // namespace tessaron::standin::limactl
