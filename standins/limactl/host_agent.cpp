#include "standins/limactl/host_agent.h"

#include "host/private_file.h"
#include "host/process_runner.h"
#include "standins/limactl/instance.h"
#include "standins/limactl/light_guest.h"
#include "standins/limactl/qemu_guest.h"

#include "standins/common/byte_relay.h"
#include "standins/common/watched_process.h"

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace tessaron::standin::limactl {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr const char* sshdPath = "/usr/sbin/sshd";
constexpr const char* sshKeygenPath = "/usr/bin/ssh-keygen";
constexpr int portAttempts = 5;
constexpr auto readinessTimeout = 30s;
constexpr auto stopGrace = 15s;
constexpr auto qemuStopGrace = 60s;

// Ends the host agent's forwarding of its loopback port (a process-wide flag: connection
// threads may outlive the loop that started them).
std::atomic<bool> stopForwarding{false};

std::string quotedPath(const fs::path& path) { return std::string(1, '"').append(path.string()).append(1, '"'); }

void generateKey(const fs::path& file, const std::string& comment) {
    std::error_code ignored;
    fs::remove(file, ignored);
    fs::remove(fs::path(file.string() + ".pub"), ignored);
    ProcessCommandRunner runner;
    auto result = runner.run(sshKeygenPath, {"-q", "-t", "ed25519", "-N", "", "-C", comment, "-f", file.string()});
    if (result.exitCode != 0)
        throw LimactlError("ssh-keygen failed for " + file.string() + ": " + trimmed(result.standardError));
}

}  // namespace

int pickFreePort() {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) throw LimactlError(std::string("cannot create a socket: ") + std::strerror(errno));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof address;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        int code = errno;
        ::close(fd);
        throw LimactlError(std::string("cannot pick a free port: ") + std::strerror(code));
    }
    ::close(fd);
    return ntohs(address.sin_port);
}

namespace {

void writeSshdConfig(const fs::path& dir, int port) {
    std::string config;
    config += "ListenAddress 127.0.0.1\n";
    config += "Port " + std::to_string(port) + "\n";
    config += "HostKey " + quotedPath(dir / "ssh_host_ed25519_key") + "\n";
    config += "AuthorizedKeysFile " + quotedPath(dir / "authorized_keys") + "\n";
    config += "PidFile " + quotedPath(dir / "sshd.pid") + "\n";
    config += "UsePAM no\n";
    config += "StrictModes no\n";
    config += "PasswordAuthentication no\n";
    config += "KbdInteractiveAuthentication no\n";
    config += "PermitRootLogin prohibit-password\n";
    config += "LogLevel INFO\n";
    private_file::write(dir / "sshd_config", config);
}

std::string selfExecutable() {
    std::error_code error;
    auto path = fs::read_symlink("/proc/self/exe", error);
    if (error) throw LimactlError("cannot locate the limactl executable: " + error.message());
    return path.string();
}

bool processAlive(pid_t pid) {
    int status = 0;
    pid_t reaped = ::waitpid(pid, &status, WNOHANG);
    if (reaped == pid) return false;
    return ::kill(pid, 0) == 0;
}

// sshd's pid from its pid file, when that process is an sshd using this instance's config.
pid_t recordedSshd(const fs::path& dir) {
    std::string text;
    if (!readSmallFile(dir / "sshd.pid", text)) return 0;
    pid_t pid = 0;
    try {
        pid = static_cast<pid_t>(std::stol(trimmed(text)));
    } catch (const std::exception&) {
        return 0;
    }
    std::string commandLine;
    if (pid <= 1 || !readSmallFile(fs::path("/proc") / std::to_string(pid) / "cmdline", commandLine)) return 0;
    return commandLine.find((dir / "sshd_config").string()) != std::string::npos ? pid : 0;
}

void removeRuntimeFiles(const fs::path& dir) {
    std::error_code ignored;
    fs::remove(dir / "ssh.port", ignored);
    fs::remove(dir / "sshd.pid", ignored);
}

}  // namespace

void prepareSshFiles(const fs::path& dir) {
    generateKey(dir / "ssh_host_ed25519_key", "lima-host-key");
    generateKey(dir / "id_ed25519", "lima");
    std::string publicKey;
    if (!readSmallFile(dir / "id_ed25519.pub", publicKey)) throw LimactlError("ssh-keygen wrote no public key");
    private_file::write(dir / "authorized_keys", publicKey);
}

pid_t spawnHostAgent(const std::string& name, const fs::path& dir) {
    const std::string self = selfExecutable();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    const std::string logPath = (dir / "ha.log").string();
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
    std::vector<std::string> argumentStrings = {"limactl", "hostagent", name};
    std::vector<char*> argv;
    for (auto& argument : argumentStrings) argv.push_back(argument.data());
    argv.push_back(nullptr);
    pid_t agent = -1;
    const int spawned = ::posix_spawn(&agent, self.c_str(), &actions, &attributes, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (spawned != 0) throw LimactlError(std::string("cannot start the host agent: ") + std::strerror(spawned));
    return agent;
}

int startHostAgent(const std::string& name, const fs::path& dir) {
    // sshd running as root insists on its privilege-separation folder.
    if (::geteuid() == 0) ::mkdir("/run/sshd", 0755);
    std::string lastFailure;
    for (int attempt = 0; attempt < portAttempts; ++attempt) {
        const int port = pickFreePort();
        writeSshdConfig(dir, port);
        private_file::write(dir / "hostagent.port", std::to_string(port) + "\n");
        std::error_code ignored;
        fs::remove(dir / "sshd.log", ignored);
        fs::remove(dir / "ha.pid", ignored);

        const pid_t agent = spawnHostAgent(name, dir);

        const std::string ready = "Server listening on 127.0.0.1 port " + std::to_string(port) + ".";
        const auto deadline = Clock::now() + readinessTimeout;
        bool exited = false;
        while (Clock::now() < deadline) {
            std::string log;
            readSmallFile(dir / "sshd.log", log);
            if (log.find(ready) != std::string::npos && liveHostAgent(dir, name) == agent) {
                private_file::write(dir / "ssh.port", std::to_string(port) + "\n");
                return port;
            }
            if (!processAlive(agent)) {
                exited = true;
                lastFailure = trimmed(log);
                break;
            }
            std::this_thread::sleep_for(20ms);
        }
        if (!exited) {
            ::kill(agent, SIGKILL);
            if (pid_t sshd = recordedSshd(dir)) ::kill(sshd, SIGKILL);
            ::waitpid(agent, nullptr, 0);
            removeRuntimeFiles(dir);
            throw LimactlError("did not receive an event with the \"running\" status: sshd did not start listening");
        }
        removeRuntimeFiles(dir);
        // Another program took the port between our probe and sshd's bind: try another.
        if (lastFailure.find("Address already in use") == std::string::npos) break;
    }
    std::string ha;
    readSmallFile(dir / "ha.log", ha);
    throw LimactlError("failed to start the instance's ssh server: " +
                       (lastFailure.empty() ? trimmed(ha) : lastFailure));
}

void stopHostAgent(const std::string& name, const fs::path& dir, pid_t pid, bool force) {
    if (pid > 0 && force) endGuestProcesses(pid);
    if (pid > 0) ::kill(pid, force ? SIGKILL : SIGTERM);
    // A real guest powers off first, which under software emulation takes a while.
    bool qemu = false;
    try {
        qemu = loadConfig(dir).guest == "qemu";
    } catch (const LimactlError&) {
    }
    const auto deadline = Clock::now() + (force ? 0s : qemu ? qemuStopGrace : stopGrace);
    while (pid > 0 && liveHostAgent(dir, name) == pid && Clock::now() < deadline) std::this_thread::sleep_for(20ms);
    if (pid > 0 && liveHostAgent(dir, name) == pid) ::kill(pid, SIGKILL);
    // The agent normally takes sshd down itself; after SIGKILL it cannot.
    if (pid_t sshd = recordedSshd(dir)) {
        ::kill(sshd, SIGTERM);
        const auto sshdDeadline = Clock::now() + 5s;
        while (::kill(sshd, 0) == 0 && recordedSshd(dir) == sshd && Clock::now() < sshdDeadline)
            std::this_thread::sleep_for(20ms);
        if (recordedSshd(dir) == sshd) ::kill(sshd, SIGKILL);
    }
    // The agent gives up its files a moment before it has exited: stop returns once the
    // process is gone, so that nothing of the instance still runs.
    const auto goneDeadline = Clock::now() + 10s;
    while (pid > 0 && isHostAgentProcess(pid, name) && Clock::now() < goneDeadline) std::this_thread::sleep_for(20ms);
    std::error_code ignored;
    fs::remove(dir / "ha.pid", ignored);
    removeRuntimeFiles(dir);
}

namespace {

// The process the instance belongs to (TESSARON_STANDIN_WATCH_PID), watched from the
// agent's start.
std::unique_ptr<standin::WatchedProcess> owner;

}  // namespace

sigset_t becomeHostAgent(const fs::path& dir) {
    owner = std::make_unique<standin::WatchedProcess>();
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGHUP);
    sigprocmask(SIG_BLOCK, &signals, nullptr);
    private_file::write(dir / "ha.pid", std::to_string(::getpid()) + "\n");
    return signals;
}

AgentEnd watchChild(const fs::path& dir, pid_t child, const sigset_t& signals, int& childStatus) {
    const std::string self = std::to_string(::getpid());
    for (;;) {
        timespec wait{0, 250'000'000};
        const int signal = ::sigtimedwait(&signals, nullptr, &wait);
        if (signal > 0) {
            std::fprintf(stderr, "received signal %d, stopping\n", signal);
            return AgentEnd::stopSignal;
        }
        if (::waitpid(child, &childStatus, WNOHANG) == child) {
            std::fprintf(stderr, "process %d exited (status %d)\n", child, exitCodeFromWaitStatus(childStatus));
            return AgentEnd::childExited;
        }
        if (owner && owner->ended()) {
            std::fprintf(stderr, "the process the instance belongs to has ended, stopping\n");
            return AgentEnd::ownerGone;
        }
        std::error_code error;
        std::string recorded;
        if (!fs::exists(dir / "lima.yaml", error) || !readSmallFile(dir / "ha.pid", recorded) ||
            trimmed(recorded) != self) {
            std::fprintf(stderr, "instance folder gone, stopping\n");
            return AgentEnd::instanceGone;
        }
    }
}

bool reapWithin(pid_t child, std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    int status = 0;
    while (::waitpid(child, &status, WNOHANG) == 0) {
        if (Clock::now() >= deadline) {
            ::kill(child, SIGKILL);
            ::waitpid(child, &status, 0);
            return false;
        }
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

void releaseHostAgentFiles(const fs::path& dir) {
    std::error_code ignored;
    std::string recorded;
    if (readSmallFile(dir / "ha.pid", recorded) && trimmed(recorded) == std::to_string(::getpid())) {
        fs::remove(dir / "ssh.port", ignored);
        fs::remove(dir / "ha.pid", ignored);
    }
}

int readPortFile(const fs::path& file) {
    std::string text;
    if (!readSmallFile(file, text)) return 0;
    try {
        return std::stoi(trimmed(text));
    } catch (const std::exception&) {
        return 0;
    }
}

int runHostAgent(const std::string& name) {
    requireValidInstanceName(name);
    ::close_range(3, ~0U, 0);
    const fs::path dir = instanceDir(name);
    const InstanceConfig instance = loadConfig(dir);
    if (instance.guest == "qemu") return runQemuHostAgent(dir, instance);

    const sigset_t signals = becomeHostAgent(dir);

    // As root the guest gets namespaces of its own, sshd included; the agent then carries
    // the SSH port, bound here before leaving this machine's namespace, to sshd's same
    // port inside, and every other port a guest program listens on, as Lima does.
    const bool walled = ::geteuid() == 0;
    const int port = readPortFile(dir / "hostagent.port");
    int listener = -1;
    int hostNetwork = -1;
    if (walled) {
        listener = port > 0 ? standin::listenLoopback(port) : -1;
        if (listener < 0) {
            // Worded as sshd words it, so that `start` tries another port.
            const std::string problem = std::string("Bind to port ") + std::to_string(port) +
                                        " on 127.0.0.1 failed: " + std::strerror(errno) + ".\n";
            private_file::write(dir / "sshd.log", problem);
            return 1;
        }
        if (!makeLightGuestNamespaces(dir, hostNetwork)) return 1;
    }

    const std::string logPath = (dir / "sshd.log").string();
    const std::string config = (dir / "sshd_config").string();
    std::vector<std::string> argumentStrings = {sshdPath, "-D", "-e", "-f", config};
    std::vector<char*> argv;
    for (auto& argument : argumentStrings) argv.push_back(argument.data());
    argv.push_back(nullptr);
    const pid_t self = ::getpid();
    const pid_t sshd = ::fork();
    if (sshd == 0) {
        // sshd goes down with its host agent, whatever ends the agent (a `start` that gives
        // up kills it, possibly before sshd has written the pid file it would be found by).
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != self) std::_Exit(1);
        const int log = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (log < 0 || ::dup2(log, STDOUT_FILENO) < 0 || ::dup2(log, STDERR_FILENO) < 0) std::_Exit(127);
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        ::execv(sshdPath, argv.data());
        std::fprintf(stderr, "cannot start %s: %s\n", sshdPath, std::strerror(errno));
        std::_Exit(127);
    }
    if (sshd < 0) {
        std::fprintf(stderr, "cannot start %s: %s\n", sshdPath, std::strerror(errno));
        return 1;
    }
    std::thread forwarder;
    if (listener >= 0) {
        forwarder = std::thread([&] { forwardGuestPorts(hostNetwork, listener, stopForwarding); });
    }

    int status = 0;
    const AgentEnd end = watchChild(dir, sshd, signals, status);
    if (end != AgentEnd::childExited) {
        ::kill(sshd, SIGTERM);
        reapWithin(sshd, 5s);
    }
    stopForwarding = true;
    if (forwarder.joinable()) forwarder.join();
    endOwnGuestProcesses(hostNetwork);
    releaseHostAgentFiles(dir);
    return end == AgentEnd::childExited ? 1 : 0;
}

}  // namespace tessaron::standin::limactl
