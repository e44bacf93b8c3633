#pragma once
// One instance on disk: its configuration (lima.yaml, written as JSON, which YAML
// readers accept too), its disk, its boot identity, and whether its host agent runs.
//
// Layout of $LIMA_HOME/<name>/:
//   lima.yaml             configuration (cpus, memory and disk in bytes, arch, vmType, …)
//   diffdisk              sparse file of the disk's size
//   boot_id               the guest's boot identity, a fresh lower-case UUID at every start
//   ha.pid                the host agent's process id while the instance runs
//   ssh.port              the loopback port of the instance's sshd while it runs
//   sshd_config, sshd.pid, sshd.log, ha.log
//   ssh_host_ed25519_key{,.pub}, id_ed25519{,.pub} (user key pair), authorized_keys
//   guest/bin             guest command shims, first on the guest's PATH (empty by default)
//   guest/home            the guest user's home directory
//   guest/wireguard, guest/etc, guest/run   the light guest's own /etc/wireguard, /etc, /run
// A QEMU guest's diffdisk is a qcow2 overlay of the cached base image; its host agent
// also keeps qemu.port, qemu.log and serial.log (see qemu_guest.h).

#include "standins/limactl/lima_home.h"

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace tessaron::standin::limactl {

constexpr std::uint64_t GiB = 1ULL << 30;

struct InstanceConfig {
    std::string name;
    std::string arch = "aarch64";
    std::string vmType = "vz";
    std::vector<std::string> networks;  // e.g. "vzNAT"
    bool rosetta = false;
    std::string containerd = "none";
    bool mountNone = false;
    int cpus = 4;
    std::uint64_t memory = 4 * GiB;
    std::uint64_t disk = 100 * GiB;
    std::string templateLocator;  // the positional template given at creation, if any
    std::string guest = "light";  // "light" (commands run on this machine) or "qemu" (a real VM)
    std::string peerLink;         // qemu: the WireGuard peer stand-in's folder, or ""

    nlohmann::json toJson() const;
    static InstanceConfig fromJson(const nlohmann::json& object);
};

struct InstanceState {
    std::string name;
    fs::path dir;
    std::optional<InstanceConfig> config;  // absent when lima.yaml is missing or unreadable
    std::vector<std::string> errors;
    pid_t hostAgentPid = 0;  // 0 when not running
    int sshLocalPort = 0;    // 0 when not running
    std::string status;      // "Running", "Stopped" or "Broken"

    bool running() const { return hostAgentPid > 0; }
};

bool instanceExists(const std::string& name);
// Throws `instance "NAME" does not exist…` when it does not.
InstanceState inspectInstance(const std::string& name);
// Instance names in $LIMA_HOME, sorted (folders whose names are valid instance names).
std::vector<std::string> instanceNames();

InstanceConfig loadConfig(const fs::path& dir);
void saveConfig(const fs::path& dir, const InstanceConfig& config);

std::string readBootId(const fs::path& dir);
void writeNewBootId(const fs::path& dir);

// The live host agent recorded in ha.pid, or 0 (a stale or foreign pid counts as none).
pid_t liveHostAgent(const fs::path& dir, const std::string& name);
// Whether `pid` is still a running host agent of the instance `name`.
bool isHostAgentProcess(pid_t pid, const std::string& name);

}  // namespace tessaron::standin::limactl
