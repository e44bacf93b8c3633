#include "support/limactl_standin.h"

#include "host/hardware_support.h"
#include "host/json.h"

#include <sstream>

namespace tessaron::testing {
namespace fs = std::filesystem;

StandinLimaHome::StandinLimaHome() : limaHome_("LIMA_HOME", dir_.path().string()) {}

StandinLimaHome::~StandinLimaHome() {
    std::error_code error;
    fs::remove(dir_.path() / "_standin" / "faults.json", error);
    for (fs::directory_iterator it(dir_.path(), error), end; !error && it != end; it.increment(error)) {
        const std::string name = it->path().filename().string();
        if (name.empty() || name[0] == '_' || name[0] == '.') continue;
        try {
            run({"delete", "-f", name});
        } catch (...) {
        }
    }
}

CommandResult StandinLimaHome::run(const std::vector<std::string>& arguments) const {
    ProcessCommandRunner runner;
    return runner.run(limactlPath().string(), arguments);
}

CommandResult StandinLimaHome::create(const std::string& name) const {
    return run({"start", "--yes", "--name=" + name, "--arch=aarch64", "--vm-type=vz", "--network=vzNAT",
                "--rosetta=false", "--containerd=none", "--mount-none", "--cpus=2", "--memory=4", "--disk=20"});
}

void StandinLimaHome::writeFaults(const std::string& json) const {
    writeFile(dir_.path() / "_standin" / "faults.json", json);
}

std::vector<std::vector<std::string>> StandinLimaHome::calls() const {
    std::vector<std::vector<std::string>> calls;
    std::error_code error;
    const fs::path log = dir_.path() / "_standin" / "calls.log";
    if (!fs::exists(log, error)) return calls;
    std::istringstream lines(readFile(log));
    for (std::string line; std::getline(lines, line);) {
        if (line.empty()) continue;
        calls.push_back(json::parse(line).get<std::vector<std::string>>());
    }
    return calls;
}

void StandinLimaHome::clearCalls() const {
    std::error_code error;
    fs::remove(dir_.path() / "_standin" / "calls.log", error);
}

void StandinLimaHome::writeShim(const fs::path& dir, const std::string& name, const std::string& script) {
    writeFile(dir / name, script);
    fs::permissions(dir / name, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec);
}

StandinMacHardware::StandinMacHardware()
    : ScopedEnv(standinHardwareVariable,
                json::encode(HardwareSnapshot{"arm64", "Apple M3", "Mac15,3", 8, 16ull << 30, 14}.toJson())) {}

}  // namespace tessaron::testing
