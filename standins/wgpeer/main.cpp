// tessaron-wg-peer: the relay's WireGuard end for a real guest, on this machine but
// outside its network. See README.md beside this file.
//
//   tessaron-wg-peer --dir DIR [--forward-port N]

#include "host/private_file.h"
#include "host/process_runner.h"
#include "standins/common/byte_relay.h"
#include "standins/common/private_mounts.h"

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sstream>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using tessaron::CommandResult;
using tessaron::ProcessCommandRunner;

namespace {

constexpr const char* interfaceName = "wg0";
constexpr const char* tapName = "guest0";
constexpr const char* linkHost = "10.99.0.1";  // on the TAP link; the guest's second NIC is 10.99.0.2/24
constexpr const char* linkAddress = "10.99.0.1/24";
constexpr const char* tunnelAddress = "10.77.0.1";   // guests get 10.77.x.y from the panel
constexpr int listenPort = 51820;
constexpr const char* ipTool = "/usr/bin/ip";
constexpr const char* wgTool = "/usr/bin/wg";
constexpr const char* wireguardGoTool = "/usr/bin/wireguard-go";

std::atomic<bool> stopping{false};

[[noreturn]] void fail(const std::string& message) {
    std::cerr << "tessaron-wg-peer: " << message << std::endl;
    std::exit(1);
}

std::string trimmed(const std::string& text) {
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) return "";
    return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

CommandResult run(const std::string& program, const std::vector<std::string>& arguments) {
    ProcessCommandRunner runner;
    return runner.run(program, arguments);
}

std::string checked(const std::string& program, const std::vector<std::string>& arguments) {
    const CommandResult result = run(program, arguments);
    if (result.exitCode != 0) {
        std::string words = program;
        for (const auto& argument : arguments) words += " " + argument;
        fail(words + " failed: " + trimmed(result.standardError));
    }
    return result.standardOutput;
}

// A public connection, carried to the guest's port through the tunnel (this process's
// sockets, made after unshare, live in the peer's namespace).
void forward(int client, std::string target, int port) {
    const int upstream = target.empty() ? -1 : tessaron::standin::connectTcp(target, port);
    if (upstream < 0) {
        ::close(client);
        return;
    }
    tessaron::standin::relayBytes(client, upstream, stopping);
}

// The guests the panel registered: DIR/guests/<machine>.peer holds "KEY ADDRESS".
std::map<std::string, std::string> registeredGuests(const fs::path& dir) {
    std::map<std::string, std::string> guests;
    std::error_code error;
    for (fs::directory_iterator it(dir / "guests", error), end; !error && it != end; it.increment(error)) {
        if (it->path().extension() != ".peer") continue;
        std::ifstream in(it->path());
        std::string key, address;
        if (in >> key >> address) guests[key] = address;
    }
    return guests;
}

void onSignal(int) { stopping = true; }

}  // namespace

int serve(int argc, char** argv) {
    fs::path dir;
    int forwardPort = 8080;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--dir" && i + 1 < argc) dir = fs::absolute(argv[++i]);
        else if (argument == "--forward-port" && i + 1 < argc) forwardPort = std::atoi(argv[++i]);
        else fail("usage: tessaron-wg-peer --dir DIR [--forward-port N]");
    }
    if (dir.empty() || forwardPort < 1 || forwardPort > 65535)
        fail("usage: tessaron-wg-peer --dir DIR [--forward-port N]");
    if (::geteuid() != 0) fail("needs root: it makes a network namespace with a TAP device.");
    tessaron::private_file::createDirectories(dir / "guests");
    std::signal(SIGTERM, onSignal);
    std::signal(SIGINT, onSignal);
    std::signal(SIGPIPE, SIG_IGN);

    // The public port is bound in this machine's namespace before leaving it.
    const int listener = tessaron::standin::listenLoopback(0);
    if (listener < 0) fail(std::string("cannot listen on 127.0.0.1: ") + std::strerror(errno));
    const fs::path keyFile = dir / "private.key";
    tessaron::private_file::write(keyFile, trimmed(checked(wgTool, {"genkey"})) + "\n");
    const std::string publicKey = trimmed(checked("/bin/sh", {"-c", "wg pubkey < \"$1\"", "sh", keyFile.string()}));

    // A network namespace of our own, and a private /run in a mount namespace of our own
    // (wireguard-go and wg keep their sockets in /run/wireguard).
    if (::unshare(CLONE_NEWNET | CLONE_NEWNS) != 0) fail(std::string("unshare: ") + std::strerror(errno));
    if (!tessaron::standin::makeMountsPrivate() ||
        ::mount("tmpfs", "/run", "tmpfs", MS_NOSUID | MS_NODEV, "mode=0755") != 0)
        fail(std::string("cannot make a private /run: ") + std::strerror(errno));
    checked(ipTool, {"link", "set", "lo", "up"});
    checked(ipTool, {"tuntap", "add", "dev", tapName, "mode", "tap"});
    checked(ipTool, {"addr", "add", linkAddress, "dev", tapName});
    checked(ipTool, {"link", "set", tapName, "up"});

    const pid_t wireguard = ::fork();
    if (wireguard == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        ::setenv("WG_PROCESS_FOREGROUND", "1", 1);
        ::execl(wireguardGoTool, "wireguard-go", "-f", interfaceName, nullptr);
        std::_Exit(127);
    }
    if (wireguard < 0) fail(std::string("cannot start wireguard-go: ") + std::strerror(errno));
    const fs::path socket = fs::path("/run/wireguard") / (std::string(interfaceName) + ".sock");
    for (int i = 0; i < 200 && !fs::exists(socket); ++i) std::this_thread::sleep_for(50ms);
    if (!fs::exists(socket)) {
        ::kill(wireguard, SIGKILL);
        fail("wireguard-go did not start");
    }
    checked(wgTool, {"set", interfaceName, "private-key", keyFile.string(), "listen-port",
                   std::to_string(listenPort)});
    checked(ipTool, {"addr", "add", std::string(tunnelAddress) + "/16", "dev", interfaceName});
    checked(ipTool, {"link", "set", interfaceName, "up"});

    const int publicPort = tessaron::standin::boundPort(listener);
    std::ostringstream description;
    description << "{\"publicKey\": \"" << publicKey << "\", \"endpoint\": \"" << linkHost << ":"
                << listenPort << "\", \"tunnelAddress\": \"" << tunnelAddress << "\", \"publicPort\": " << publicPort
                << ", \"forwardPort\": " << forwardPort << "}\n";
    tessaron::private_file::write(dir / "peer.json", description.str());
    tessaron::private_file::write(dir / "peer.pid", std::to_string(::getpid()) + "\n");
    std::cout << "WireGuard peer ready: public port 127.0.0.1:" << publicPort << std::endl;

    std::map<std::string, std::string> applied;
    std::string target;
    while (!stopping) {
        std::error_code error;
        if (!fs::exists(dir / "peer.json", error)) break;  // our folder was removed: leave nothing behind
        int status = 0;
        if (::waitpid(wireguard, &status, WNOHANG) == wireguard) {
            std::cerr << "tessaron-wg-peer: wireguard-go exited" << std::endl;
            break;
        }
        for (const auto& [key, address] : registeredGuests(dir)) {
            if (applied.count(key) && applied[key] == address) continue;
            const CommandResult set = run(wgTool, {"set", interfaceName, "peer", key, "allowed-ips", address});
            if (set.exitCode != 0) {
                std::cerr << "tessaron-wg-peer: " << trimmed(set.standardError) << std::endl;
                continue;
            }
            applied[key] = address;
            target = address.substr(0, address.find('/'));
            std::cout << "guest " << key << " at " << address << std::endl;
        }
        pollfd ready{listener, POLLIN, 0};
        if (::poll(&ready, 1, 200) > 0) {
            const int client = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (client >= 0) std::thread(forward, client, target, forwardPort).detach();
        }
    }
    ::kill(wireguard, SIGTERM);
    ::waitpid(wireguard, nullptr, 0);
    std::error_code ignored;
    fs::remove(dir / "peer.pid", ignored);
    return 0;
}

int main(int argc, char** argv) {
    try {
        return serve(argc, argv);
    } catch (const std::exception& error) {
        fail(error.what());
    }
}
