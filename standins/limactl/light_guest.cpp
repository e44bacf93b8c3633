#include "standins/limactl/light_guest.h"

#include "host/private_file.h"
#include "standins/common/byte_relay.h"
#include "standins/common/private_mounts.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <fstream>
#include <map>
#include <optional>
#include <poll.h>
#include <set>
#include <sstream>
#include <thread>
#include <unistd.h>
#include <vector>

namespace tessaron::standin::limactl {
namespace {

bool complain(const std::string& what) {
    std::fprintf(stderr, "cannot wall the light guest off: %s: %s\n", what.c_str(), std::strerror(errno));
    return false;
}

bool loopbackUp() {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    ifreq request{};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    bool done = ::ioctl(fd, SIOCGIFFLAGS, &request) == 0;
    request.ifr_flags |= IFF_UP;
    done = done && ::ioctl(fd, SIOCSIFFLAGS, &request) == 0;
    ::close(fd);
    return done;
}

std::string namespaceId(const std::string& path) {
    std::error_code error;
    const auto target = fs::read_symlink(path, error);
    return error ? "" : target.string();
}

// The TCP ports that guest programs listen on, on a loopback or wildcard address.
std::set<int> guestListeningPorts() {
    std::set<int> ports;
    for (const char* table : {"/proc/self/net/tcp", "/proc/self/net/tcp6"}) {
        std::ifstream in(table);
        std::string line;
        std::getline(in, line);  // the header
        while (std::getline(in, line)) {
            std::istringstream fields(line);
            std::string slot, local, remote, state;
            if (!(fields >> slot >> local >> remote >> state) || state != "0A") continue;
            const auto colon = local.find(':');
            if (colon == std::string::npos) continue;
            const std::string address = local.substr(0, colon);
            const bool reachable = address == "0100007F" || address.find_first_not_of('0') == std::string::npos ||
                                   address == "00000000000000000000000001000000";
            if (reachable) ports.insert(std::stoi(local.substr(colon + 1), nullptr, 16));
        }
    }
    return ports;
}

}  // namespace

void forwardGuestPorts(int hostNetwork, int sshListener, const std::atomic<bool>& stop) {
    const int guestNetwork = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    std::map<int, int> listeners;  // port → listener on this machine
    std::set<int> unavailable;     // ports taken on this machine
    if (sshListener >= 0) listeners[standin::boundPort(sshListener)] = sshListener;
    auto lastScan = std::chrono::steady_clock::now() - std::chrono::seconds(1);
    while (!stop) {
        if (std::chrono::steady_clock::now() - lastScan >= std::chrono::milliseconds(500) && guestNetwork >= 0) {
            lastScan = std::chrono::steady_clock::now();
            const std::set<int> ports = guestListeningPorts();
            for (auto it = listeners.begin(); it != listeners.end();) {
                if (it->second != sshListener && !ports.count(it->first)) {
                    ::close(it->second);
                    it = listeners.erase(it);
                } else {
                    ++it;
                }
            }
            for (int port : ports) {
                if (listeners.count(port) || unavailable.count(port)) continue;
                // Only this thread visits this machine's namespace, to bind there.
                if (::setns(hostNetwork, CLONE_NEWNET) != 0) break;
                const int listener = standin::listenLoopback(port);
                if (::setns(guestNetwork, CLONE_NEWNET) != 0) std::_Exit(1);
                if (listener >= 0) listeners[port] = listener;
                else unavailable.insert(port);
            }
            std::erase_if(unavailable, [&](int port) { return !ports.count(port); });
        }
        std::vector<pollfd> ready;
        for (const auto& [port, fd] : listeners) ready.push_back({fd, POLLIN, 0});
        if (::poll(ready.data(), ready.size(), 250) <= 0) continue;
        for (const pollfd& entry : ready) {
            if (!(entry.revents & POLLIN)) continue;
            const int client = ::accept4(entry.fd, nullptr, nullptr, SOCK_CLOEXEC);
            if (client < 0) continue;
            const int port = standin::boundPort(entry.fd);
            std::thread([client, port, &stop] {
                const int inside = standin::connectTcp("127.0.0.1", port);
                if (inside < 0) ::close(client);
                else standin::relayBytes(client, inside, stop);
            }).detach();
        }
    }
    for (const auto& [port, fd] : listeners) ::close(fd);
    if (guestNetwork >= 0) ::close(guestNetwork);
}

bool makeLightGuestNamespaces(const fs::path& dir, int& hostNetwork) {
    if (::geteuid() != 0) return true;
    hostNetwork = ::open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
    if (hostNetwork < 0) return complain("this machine's network namespace");
    if (::unshare(CLONE_NEWNS | CLONE_NEWNET) != 0) return complain("unshare");
    if (!standin::makeMountsPrivate()) return complain("private mounts");
    if (!loopbackUp()) return complain("loopback");
    // The overlay's upper layer lives in memory, on a tmpfs that only this namespace sees.
    const fs::path layer = dir / "guest" / "etc";
    private_file::createDirectories(layer);
    if (::mount("tmpfs", layer.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "mode=0700") != 0)
        return complain("tmpfs for /etc");
    ::mkdir((layer / "upper").c_str(), 0755);
    ::mkdir((layer / "work").c_str(), 0700);
    const std::string options = "lowerdir=/etc,upperdir=" + (layer / "upper").string() +
                                ",workdir=" + (layer / "work").string();
    if (::mount("overlay", "/etc", "overlay", 0, options.c_str()) != 0) return complain("overlay on /etc");
    const fs::path wireguard = dir / "guest" / "wireguard";
    private_file::createDirectories(wireguard);
    ::chmod(wireguard.c_str(), 0700);
    ::mkdir("/etc/wireguard", 0700);
    if (::mount(wireguard.c_str(), "/etc/wireguard", nullptr, MS_BIND, nullptr) != 0)
        return complain("/etc/wireguard");
    if (::mount("tmpfs", "/run", "tmpfs", MS_NOSUID | MS_NODEV, "mode=0755") != 0) return complain("/run");
    ::mkdir("/run/sshd", 0755);  // sshd's privilege-separation folder
    return true;
}

void joinLightGuestNamespaces(pid_t agent) {
    if (::geteuid() != 0) return;
    const std::string process = "/proc/" + std::to_string(agent) + "/";
    // An agent without namespaces of its own (started as another user) has none to join.
    if (namespaceId(process + "ns/net") == namespaceId("/proc/self/ns/net")) return;
    const auto fail = [](const std::string& what) {
        throw LimactlError("cannot enter the guest's " + what + ": " + std::strerror(errno));
    };
    // Entering a mount namespace moves the caller to that namespace's own root, which lies
    // outside the chroot the agent may have been started in: the agent's root is taken
    // first and entered afterwards, as `nsenter -r` does, so that no guest command ever
    // reaches outside the root the guest was started in.
    const int root = ::open((process + "root").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (root < 0) fail("root");
    for (const auto& [kind, flag] : {std::pair{"net", CLONE_NEWNET}, std::pair{"mnt", CLONE_NEWNS}}) {
        const int fd = ::open((process + "ns/" + kind).c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0 || ::setns(fd, flag) != 0) fail(std::string(kind) + " namespace");
        ::close(fd);
    }
    if (::fchdir(root) != 0 || ::chroot(".") != 0) fail("root");
    ::close(root);
}

namespace {

// A namespace's identity: its inode on the namespace file system. An inode number is
// reused once a namespace is gone, so a comparison only holds while a descriptor of the
// namespace is kept open.
using NamespaceKey = std::pair<dev_t, ino_t>;

std::optional<NamespaceKey> namespaceKey(const std::string& path) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) return std::nullopt;
    return NamespaceKey{status.st_dev, status.st_ino};
}

std::optional<NamespaceKey> namespaceKey(int descriptor) {
    struct stat status {};
    if (::fstat(descriptor, &status) != 0) return std::nullopt;
    return NamespaceKey{status.st_dev, status.st_ino};
}

// Ends every process in the namespace open as `guest` other than the agent and the caller,
// but only when it is a namespace of the guest's own: never one this machine's programs
// share, which `machine` names (the caller's, or the one the agent came from), nor one
// that cannot be named. `guest` stays open throughout, so that once the guest's last
// process is gone its number cannot pass to a namespace some other instance makes.
void endProcessesIn(int guest, pid_t agent, const std::optional<NamespaceKey>& machine) {
    const auto own = namespaceKey(guest);
    if (!own || !machine || own == machine || own == namespaceKey("/proc/1/ns/net")) return;
    for (int round = 0; round < 2; ++round) {
        bool any = false;
        std::error_code error;
        for (fs::directory_iterator it("/proc", error), end; !error && it != end; it.increment(error)) {
            const std::string name = it->path().filename().string();
            if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
            const pid_t pid = static_cast<pid_t>(std::stol(name));
            if (pid <= 1 || pid == agent || pid == ::getpid() || namespaceKey(it->path().string() + "/ns/net") != own)
                continue;
            ::kill(pid, round == 0 ? SIGTERM : SIGKILL);
            any = true;
        }
        if (!any) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
}

}  // namespace

void endGuestProcesses(pid_t agent) {
    if (::geteuid() != 0 || agent <= 1 || agent == ::getpid()) return;
    const int guest = ::open(("/proc/" + std::to_string(agent) + "/ns/net").c_str(), O_RDONLY | O_CLOEXEC);
    if (guest < 0) return;
    // A real guest's agent, or one started without walls, shares the caller's namespace.
    endProcessesIn(guest, agent, namespaceKey("/proc/self/ns/net"));
    ::close(guest);
}

void endOwnGuestProcesses(int hostNetwork) {
    if (::geteuid() != 0 || hostNetwork < 0) return;
    const int guest = ::open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
    if (guest < 0) return;
    endProcessesIn(guest, ::getpid(), namespaceKey(hostNetwork));
    ::close(guest);
}

}  // namespace tessaron::standin::limactl
