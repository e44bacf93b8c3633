#include "standins/limactl/qemu_guest.h"

#include "host/private_file.h"
#include "host/process_runner.h"
#include "standins/limactl/host_agent.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <linux/if.h>
#include <linux/if_tun.h>
#include <pwd.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace tessaron::standin::limactl {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr const char* qemuPath = "/usr/bin/qemu-system-x86_64";
constexpr const char* qemuImgPath = "/usr/bin/qemu-img";
constexpr const char* sshPath = "/usr/bin/ssh";
// The peer stand-in's TAP device in its namespace, and the MAC addresses the image's
// network configuration matches (first NIC: DHCP; second: the fixed peer-link address).
constexpr const char* peerTapName = "guest0";
constexpr const char* userNicMac = "52:54:00:12:34:56";
constexpr const char* peerNicMac = "52:54:00:77:00:02";
// Software emulation on a busy machine: generous, but bounded.
constexpr auto bootTimeout = 180s;
constexpr auto powerOffTimeout = 45s;
constexpr int tapDescriptor = 3;

// The user key as "TYPE:BLOB" (no spaces, for the kernel command line).
std::string kernelLineKey(const std::string& publicKeyLine) {
    const std::string line = trimmed(publicKeyLine);
    const auto space = line.find(' ');
    if (space == std::string::npos) return "";
    const auto end = line.find(' ', space + 1);
    return line.substr(0, space) + ":" + line.substr(space + 1, end == std::string::npos ? end : end - space - 1);
}

std::vector<std::string> sshOptions(const fs::path& dir, int port) {
    return {"-i", (dir / "id_ed25519").string(), "-p", std::to_string(port), "-o", "IdentitiesOnly=yes",
            "-o", "BatchMode=yes", "-o", "StrictHostKeyChecking=no", "-o", "UserKnownHostsFile=/dev/null",
            "-o", "LogLevel=ERROR", "-o", "ConnectTimeout=10", "-o", "ServerAliveInterval=5",
            "-o", "ServerAliveCountMax=6"};
}

// The TAP device of the peer's namespace, opened from inside that namespace; -1 with a
// message on standard error when it cannot be had.
int openPeerTap(const std::string& peerDir) {
    const int peerPid = readPortFile(fs::path(peerDir) / "peer.pid");
    if (peerPid <= 1) {
        std::fprintf(stderr, "the WireGuard peer in %s is not running\n", peerDir.c_str());
        return -1;
    }
    const std::string nsPath = "/proc/" + std::to_string(peerPid) + "/ns/net";
    const int own = ::open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
    const int peer = ::open(nsPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (own < 0 || peer < 0 || ::setns(peer, CLONE_NEWNET) != 0) {
        std::fprintf(stderr, "cannot enter the WireGuard peer's network namespace: %s\n", std::strerror(errno));
        return -1;
    }
    int tap = ::open("/dev/net/tun", O_RDWR);
    ifreq request{};
    request.ifr_flags = IFF_TAP | IFF_NO_PI;
    std::strncpy(request.ifr_name, peerTapName, IFNAMSIZ - 1);
    if (tap < 0 || ::ioctl(tap, TUNSETIFF, &request) != 0) {
        std::fprintf(stderr, "cannot attach to the peer's TAP device %s: %s\n", peerTapName, std::strerror(errno));
        if (tap >= 0) ::close(tap);
        tap = -1;
    }
    // QEMU's user network must bind its forwarded port in this machine's namespace.
    if (::setns(own, CLONE_NEWNET) != 0) {
        std::fprintf(stderr, "cannot return to the host network namespace: %s\n", std::strerror(errno));
        std::_Exit(1);
    }
    ::close(own);
    ::close(peer);
    return tap;
}

std::vector<std::string> qemuArguments(const fs::path& dir, const InstanceConfig& config, int port, bool withTap) {
    const fs::path cache = guestImageCache();
    std::string publicKey;
    readSmallFile(dir / "id_ed25519.pub", publicKey);
    const std::string kernelLine = "root=/dev/vda rw console=ttyS0 quiet panic=-1 tessaron.user=" + guestAccount() +
                                   " tessaron.key=" + kernelLineKey(publicKey);
    std::vector<std::string> arguments = {
        qemuPath, "-name", "lima-" + config.name, "-nodefaults", "-no-user-config", "-display", "none",
        "-accel", "tcg,thread=multi", "-cpu", "max", "-smp", std::to_string(config.cpus),
        "-m", std::to_string(config.memory >> 20), "-kernel", (cache / "vmlinuz").string(),
        "-initrd", (cache / "initrd.img").string(), "-append", kernelLine,
        "-drive", "file=" + (dir / "diffdisk").string() + ",if=virtio,format=qcow2,cache=unsafe",
        "-netdev", "user,id=user0,restrict=on,hostfwd=tcp:127.0.0.1:" + std::to_string(port) + "-:22",
        "-device", std::string("virtio-net-pci,netdev=user0,mac=") + userNicMac,
        "-device", "virtio-rng-pci", "-serial", "file:" + (dir / "serial.log").string(), "-monitor", "stdio"};
    if (withTap) {
        arguments.insert(arguments.end(), {"-netdev", "tap,id=peer0,fd=" + std::to_string(tapDescriptor), "-device",
                                           std::string("virtio-net-pci,netdev=peer0,mac=") + peerNicMac});
    }
    return arguments;
}

}  // namespace

std::string requestedGuestKind() {
    const char* kind = std::getenv("TESSARON_STANDIN_GUEST");
    if (!kind || !*kind || std::string(kind) == "light") return "light";
    if (std::string(kind) == "qemu") return "qemu";
    throw LimactlError("TESSARON_STANDIN_GUEST must be \"light\" or \"qemu\", got " + goQuote(kind));
}

std::string requestedPeerLink() {
    const char* peer = std::getenv("TESSARON_STANDIN_WG_PEER");
    if (!peer || !*peer) return "";
    std::error_code error;
    return fs::absolute(peer, error).string();
}

fs::path guestImageCache() {
    if (const char* cache = std::getenv("TESSARON_GUEST_CACHE"); cache && *cache) return cache;
    if (::geteuid() == 0) return "/var/cache/tessaron-guest";
    if (const char* xdg = std::getenv("XDG_CACHE_HOME"); xdg && *xdg) return fs::path(xdg) / "tessaron-guest";
    const char* home = std::getenv("HOME");
    return fs::path(home && *home ? home : "/") / ".cache" / "tessaron-guest";
}

void createGuestDisk(const fs::path& dir, std::uint64_t bytes) {
    const fs::path cache = guestImageCache();
    std::error_code error;
    if (!fs::exists(cache / "image.stamp", error))
        throw LimactlError("the guest image is not built: run scripts/build-guest-image.sh (cache " + cache.string() +
                           ")");
    ProcessCommandRunner runner;
    const auto result = runner.run(qemuImgPath, {"create", "-q", "-f", "qcow2", "-F", "raw", "-b",
                                                 (cache / "base.raw").string(), (dir / "diffdisk").string(),
                                                 std::to_string(bytes)});
    if (result.exitCode != 0) throw LimactlError("qemu-img create failed: " + trimmed(result.standardError));
}

void growGuestDisk(const fs::path& dir, std::uint64_t bytes) {
    ProcessCommandRunner runner;
    const auto result = runner.run(
        qemuImgPath, {"resize", "-q", "-f", "qcow2", (dir / "diffdisk").string(), std::to_string(bytes)});
    if (result.exitCode != 0) throw LimactlError("qemu-img resize failed: " + trimmed(result.standardError));
}

std::string guestAccount() {
    const passwd* account = ::getpwuid(::geteuid());
    const std::string name = account && account->pw_name ? account->pw_name : "";
    bool usable = !name.empty() && name != "root" && name.size() <= 32 &&
                  ((name[0] >= 'a' && name[0] <= 'z') || name[0] == '_');
    for (char c : name)
        usable = usable && ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-');
    return usable ? name : "lima";
}

std::string shellQuoted(const std::string& word) {
    if (!word.empty() && word.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"
                                                "_-./=:,+@%") == std::string::npos)
        return word;
    std::string out = "'";
    for (char c : word) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

int startQemuGuest(const std::string& name, const fs::path& dir) {
    const int port = pickFreePort();
    private_file::write(dir / "hostagent.port", std::to_string(port) + "\n");
    std::error_code ignored;
    fs::remove(dir / "ssh.port", ignored);
    fs::remove(dir / "serial.log", ignored);
    const pid_t agent = spawnHostAgent(name, dir);

    ProcessCommandRunner runner;
    std::vector<std::string> probe = sshOptions(dir, port);
    probe.insert(probe.end(), {guestAccount() + "@127.0.0.1", "true"});
    const auto deadline = Clock::now() + bootTimeout;
    while (Clock::now() < deadline) {
        int status = 0;
        if (::waitpid(agent, &status, WNOHANG) == agent) {
            std::string log;
            readSmallFile(dir / "ha.log", log);
            throw LimactlError("the guest did not start: " + trimmed(log));
        }
        if (runner.run(sshPath, probe).exitCode == 0) {
            private_file::write(dir / "ssh.port", std::to_string(port) + "\n");
            return port;
        }
        std::this_thread::sleep_for(500ms);
    }
    stopHostAgent(name, dir, agent, true);
    throw LimactlError("did not receive an event with the \"running\" status: the guest did not answer SSH within " +
                       std::to_string(bootTimeout.count()) + " s (see " + (dir / "serial.log").string() + ")");
}

int runQemuHostAgent(const fs::path& dir, const InstanceConfig& config) {
    const sigset_t signals = becomeHostAgent(dir);
    ::signal(SIGPIPE, SIG_IGN);  // a QEMU gone already must not take the agent down with it
    const pid_t self = ::getpid();
    const int port = readPortFile(dir / "hostagent.port");
    int monitor[2];
    if (port <= 0 || ::pipe2(monitor, O_CLOEXEC) != 0) {
        std::fprintf(stderr, "cannot prepare QEMU (port %d)\n", port);
        return 1;
    }
    const bool withTap = !config.peerLink.empty();
    const auto arguments = qemuArguments(dir, config, port, withTap);
    const std::string logPath = (dir / "qemu.log").string();
    const pid_t qemu = ::fork();
    if (qemu == 0) {
        // QEMU goes down with its host agent, whatever kills the agent.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != self) std::_Exit(1);
        // The monitor first: its pipe may sit on the descriptor that the TAP device takes.
        ::dup2(monitor[0], STDIN_FILENO);
        if (withTap) {
            const int tap = openPeerTap(config.peerLink);
            if (tap < 0 || ::dup2(tap, tapDescriptor) != tapDescriptor) std::_Exit(1);
        }
        const int log = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (log >= 0) {
            ::dup2(log, STDOUT_FILENO);
            ::dup2(log, STDERR_FILENO);
        }
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        std::vector<char*> argv;
        for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
        argv.push_back(nullptr);
        ::execv(qemuPath, argv.data());
        std::fprintf(stderr, "cannot run %s: %s\n", qemuPath, std::strerror(errno));
        std::_Exit(127);
    }
    ::close(monitor[0]);
    if (qemu < 0) {
        std::fprintf(stderr, "cannot start QEMU: %s\n", std::strerror(errno));
        return 1;
    }
    std::fprintf(stderr, "QEMU %d started\n", qemu);

    int status = 0;
    const AgentEnd end = watchChild(dir, qemu, signals, status);
    if (end != AgentEnd::childExited) {
        // A clean power-off first (the guest's ACPI power button), then a bounded kill; a
        // removed instance folder, or an ended test, leaves nothing to power off cleanly for.
        const std::string command = "system_powerdown\n";
        const bool graceful =
            end == AgentEnd::stopSignal && ::write(monitor[1], command.data(), command.size()) >= 0;
        if (!reapWithin(qemu, graceful ? powerOffTimeout : 0s))
            std::fprintf(stderr, "the guest did not power off in time; QEMU was killed\n");
    }
    ::close(monitor[1]);
    releaseHostAgentFiles(dir);
    return end == AgentEnd::childExited && exitCodeFromWaitStatus(status) != 0 ? 1 : 0;
}

int runQemuShell(const InstanceState& state, const std::vector<std::string>& command,
                 const std::optional<std::string>& workdir) {
    std::vector<std::string> arguments = {sshPath};
    const auto options = sshOptions(state.dir, state.sshLocalPort);
    arguments.insert(arguments.end(), options.begin(), options.end());
    // A terminal only when it is ours to use: its foreground process group is this one.
    // Input merely inherited from a terminal (a test run from one) is not handed on, or
    // ssh would take that terminal over.
    const bool ownTerminal = ::isatty(STDIN_FILENO) && ::tcgetpgrp(STDIN_FILENO) == ::getpgrp();
    arguments.push_back(ownTerminal ? "-t" : "-T");
    arguments.push_back(guestAccount() + "@127.0.0.1");
    std::string remote;
    if (workdir) remote = "cd " + shellQuoted(*workdir) + " && ";
    if (command.empty()) {
        remote += "exec \"$SHELL\" -l";
    } else {
        std::string words;
        for (const auto& word : command) {
            if (!words.empty()) words += ' ';
            words += shellQuoted(word);
        }
        remote += words;
    }
    arguments.push_back("--");
    arguments.push_back(remote);
    std::vector<char*> argv;
    for (auto& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    std::fflush(nullptr);
    ::execv(sshPath, argv.data());
    std::fprintf(stderr, "cannot run %s: %s\n", sshPath, std::strerror(errno));
    return 127;
}

}  // namespace tessaron::standin::limactl
