#include "panel_process.h"

#include "host/agent_configuration.h"
#include "host/device_credential_store.h"
#include "panel/http_client.h"
#include "temp_dir.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace tessaron::testing {

namespace {

constexpr int startSeconds = 20;

}  // namespace

PanelProcess::PanelProcess() : PanelProcess(Options{}) {}

PanelProcess::PanelProcess(const Options& options) {
    const std::string program = (standinBinDir() / "tessaron-panel").string();
    std::vector<std::string> arguments = {program, "--port", std::to_string(options.port)};
    if (options.stateFile) {
        arguments.push_back("--state");
        arguments.push_back(options.stateFile->string());
    }
    const bool secure = options.tlsCertificate && options.tlsKey;
    if (secure) {
        for (const auto& [flag, file] : {std::pair{"--tls-cert", *options.tlsCertificate}, {"--tls-key", *options.tlsKey}}) {
            arguments.push_back(flag);
            arguments.push_back(file.string());
        }
    }
    int out[2];
    if (::pipe(out) != 0) throw std::runtime_error("pipe failed");
    // Made before the fork: the child of a process with threads may only make system calls.
    std::vector<char*> argv;
    for (auto& a : arguments) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_ = ::fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        // The panel goes away with the test, also when the test itself is killed.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        const int null = ::open("/dev/null", O_RDONLY);
        if (null >= 0) ::dup2(null, STDIN_FILENO);
        ::dup2(out[1], STDOUT_FILENO);
        ::close(out[0]);
        ::close(out[1]);
        ::execv(program.c_str(), argv.data());
        ::_exit(127);
    }
    ::close(out[1]);
    // Read the start lines (one per listener), waiting at most startSeconds.
    const std::size_t lines = secure ? 2 : 1;
    std::string line;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(startSeconds);
    while (static_cast<std::size_t>(std::count(line.begin(), line.end(), '\n')) < lines) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd fd{out[0], POLLIN, 0};
        if (left.count() <= 0 || ::poll(&fd, 1, static_cast<int>(left.count())) <= 0) break;
        char buffer[256];
        const ssize_t n = ::read(out[0], buffer, sizeof buffer);
        if (n <= 0) break;
        line.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(out[0]);  // later output of the panel is not read
    if (std::sscanf(line.c_str(), "tessaron-panel listening on http://127.0.0.1:%d", &port_) != 1 || port_ <= 0) {
        kill();
        throw std::runtime_error("tessaron-panel did not start: " + line);
    }
    if (secure && (std::sscanf(line.c_str() + line.find('\n') + 1, "tessaron-panel listening on https://127.0.0.1:%d",
                               &securePort_) != 1 ||
                   securePort_ <= 0)) {
        kill();
        throw std::runtime_error("tessaron-panel did not start its https listener: " + line);
    }
}

PanelProcess::~PanelProcess() { kill(); }

void PanelProcess::kill() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
}

int PanelProcess::terminate(double seconds) {
    if (pid_ <= 0) return -1;
    ::kill(pid_, SIGTERM);
    int status = -1;
    const bool ended = waitFor([&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; }, seconds);
    if (!ended) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &status, 0);
    }
    pid_ = -1;
    return status;
}

std::string PanelProcess::base() const { return "http://127.0.0.1:" + std::to_string(port_); }

std::string PanelProcess::secureBase(const std::string& host) const {
    return "https://" + host + ":" + std::to_string(securePort_);
}

PanelProcess::AdminReply PanelProcess::admin(const std::string& method, const std::string& path,
                                             const std::optional<json::Json>& body) {
    http::Request request;
    request.method = method;
    request.url = base() + path;
    if (body) {
        request.body = json::encode(*body);
        request.headers.emplace_back("Content-Type", "application/json");
    } else if (method == "POST") {
        request.body = "";
    }
    request.timeout = std::chrono::seconds(20);
    request.maxResponseBytes = 256u << 20;
    const http::Response response = http::perform(request);
    AdminReply reply{response.status, nullptr};
    try {
        reply.body = json::parse(response.body);
    } catch (const json::DecodingError&) {
    }
    return reply;
}

json::Json PanelProcess::adminOk(const std::string& method, const std::string& path,
                                 const std::optional<json::Json>& body) {
    AdminReply reply = admin(method, path, body);
    if (reply.status != 200)
        throw std::runtime_error(method + " " + path + " answered " + std::to_string(reply.status) + ": " +
                                 json::encode(reply.body));
    return reply.body;
}

PanelProcess::Machine PanelProcess::createMachine(const std::string& name, const std::string& machineId,
                                                  const std::string& deviceToken) {
    json::Json body{{"name", name}};
    if (!machineId.empty()) body["machineId"] = machineId;
    if (!deviceToken.empty()) body["deviceToken"] = deviceToken;
    const json::Json made = adminOk("POST", "/_admin/machines", body);
    return {made["machineId"], made["deviceToken"]};
}

PanelProcess::Machine PanelProcess::createMachineWith(const json::Json& fields) {
    const json::Json made = adminOk("POST", "/_admin/machines", fields);
    return {made["machineId"], made["deviceToken"]};
}

json::Json PanelProcess::queueCommand(const std::string& machineId, const std::string& kind,
                                      const std::optional<std::string>& bootId) {
    json::Json body{{"kind", kind}};
    if (bootId) body["bootId"] = *bootId;
    return adminOk("POST", "/_admin/machines/" + machineId + "/commands", body);
}

json::Json PanelProcess::queueResourceCommand(const std::string& machineId, std::int64_t cpu, std::int64_t memoryMiB,
                                              const std::optional<json::Json>& before) {
    json::Json body{{"cpu", cpu}, {"memoryMiB", memoryMiB}};
    if (before) body["before"] = *before;
    return adminOk("POST", "/_admin/machines/" + machineId + "/resources", body);
}

json::Json PanelProcess::queueSSH(const std::string& machineId, const std::vector<std::string>& publicKeys) {
    return adminOk("POST", "/_admin/machines/" + machineId + "/ssh", json::Json{{"publicKeys", publicKeys}});
}

void PanelProcess::setPublicAccessPaused(const std::string& machineId, bool paused) {
    adminOk("POST", "/_admin/machines/" + machineId + "/public-access", json::Json{{"paused", paused}});
}

void PanelProcess::removeMachine(const std::string& machineId, bool deleteServer) {
    adminOk("POST", "/_admin/machines/" + machineId + "/remove", json::Json{{"deleteServer", deleteServer}});
}

json::Json PanelProcess::machineState(const std::string& machineId) {
    return adminOk("GET", "/_admin/machines/" + machineId);
}

void PanelProcess::approveSetup(const std::string& setupId, const std::string& accountEmail) {
    json::Json body = json::Json::object();
    if (!accountEmail.empty()) body["accountEmail"] = accountEmail;
    adminOk("POST", "/_admin/setups/" + setupId + "/approve", body);
}

void PanelProcess::refuseSetup(const std::string& setupId) { adminOk("POST", "/_admin/setups/" + setupId + "/refuse"); }

void PanelProcess::expireSetup(const std::string& setupId) { adminOk("POST", "/_admin/setups/" + setupId + "/expire"); }

json::Json PanelProcess::setupState(const std::string& setupId) { return adminOk("GET", "/_admin/setups/" + setupId); }

PanelProcess::Machine PanelProcess::approvePairingCode(const std::string& code, const std::vector<std::string>& edgeURLs) {
    const json::Json pairing =
        adminOk("POST", "/_admin/pairing-codes/" + code + "/approve", json::Json{{"edgeURLs", edgeURLs}});
    const std::string machineId = pairing["machineId"];
    return {machineId, machineState(machineId)["deviceToken"]};
}

void PanelProcess::refusePairingCode(const std::string& code) {
    adminOk("POST", "/_admin/pairing-codes/" + code + "/refuse");
}

bool PanelProcess::waitFor(const std::function<bool()>& condition, double seconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < deadline) {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return condition();
}

std::string PanelProcess::waitForSetup(double seconds) {
    std::string id;
    waitFor([&] {
        const json::Json whole = state();
        id = whole.value("latestSetup", "");
        return !id.empty();
    }, seconds);
    if (id.empty()) throw std::runtime_error("no setup was started at the panel");
    return id;
}

std::string PanelProcess::waitForPairingCode(double seconds) {
    std::string code;
    waitFor([&] {
        const json::Json whole = state();
        code = whole.value("latestPairingCode", "");
        return !code.empty();
    }, seconds);
    if (code.empty()) throw std::runtime_error("no pairing code was issued at the panel");
    return code;
}

json::Json PanelProcess::injectFault(const json::Json& fault) { return adminOk("POST", "/_admin/faults", fault); }

void PanelProcess::clearFaults() { adminOk("DELETE", "/_admin/faults"); }

json::Json PanelProcess::requests() { return adminOk("GET", "/_admin/requests"); }

json::Json PanelProcess::state() { return adminOk("GET", "/_admin/state"); }

void saveLink(const PanelProcess::Machine& mac, const std::string& controlURL, const MacLink& link) {
    AgentConfiguration configuration;
    configuration.machineID = mac.machineId;
    configuration.controlURL = *Url::parse(controlURL);
    for (const auto& url : link.edgeURLs) configuration.edgeURLs.push_back(*Url::parse(url));
    configuration.localHost = link.localHost;
    configuration.vmName = link.vmName;
    configuration.transport = link.transport;
    AgentConfigurationStore::save(configuration);
    DeviceCredentialStore::save(mac.deviceToken, mac.machineId);
}

}  // namespace tessaron::testing
