#include "support/wireguard_guest_shims.h"

#include "support/temp_dir.h"
#include "support/tessaron_process.h"

#include <stdexcept>

namespace tessaron::testing {
namespace fs = std::filesystem;

// The shims are the stand-in limactl's own (`limactl _standin-guest-shims`); `bin` is
// <LIMA_HOME>/<instance>/guest/bin of an existing instance.
WireGuardGuestShims::WireGuardGuestShims(fs::path bin, std::string account, uid_t uid)
    : bin_(std::move(bin)), account_(std::move(account)), uid_(uid) {
    const fs::path instance = bin_.parent_path().parent_path();
    if (bin_.filename() != "bin" || bin_.parent_path().filename() != "guest" || instance.filename().empty())
        throw std::invalid_argument("not an instance's guest/bin folder: " + bin_.string());
    ProgramEnvironment environment;
    environment.variables["LIMA_HOME"] = instance.parent_path().string();
    const ProgramRun run = runProgram(limactlPath(),
                                      {"_standin-guest-shims", instance.filename().string(), "--account", account_,
                                       "--uid", std::to_string(uid_)},
                                      environment, 30);
    if (run.exitCode != 0)
        throw std::runtime_error("limactl _standin-guest-shims failed (" + std::to_string(run.exitCode) +
                                 "): " + run.standardError);
}

void WireGuardGuestShims::setHandshake(std::optional<long> secondsSince1970) const {
    if (!secondsSince1970) {
        fs::remove(bin_ / "handshake.txt");
        return;
    }
    writeFile(bin_ / "handshake.txt", "peer\t" + std::to_string(*secondsSince1970) + "\n");
}

bool WireGuardGuestShims::interfaceUp() const {
    return fs::exists(bin_ / "up");
}

std::string WireGuardGuestShims::calls() const {
    return fs::exists(bin_ / "calls.log") ? readFile(bin_ / "calls.log") : "";
}

}  // namespace tessaron::testing
