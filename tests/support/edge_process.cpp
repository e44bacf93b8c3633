#include "edge_process.h"

#include "host/json.h"
#include "panel/http_client.h"
#include "temp_dir.h"

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace tessaron::testing {

void sleepBriefly() { std::this_thread::sleep_for(std::chrono::milliseconds(20)); }

EdgeProcess::EdgeProcess(const std::vector<std::string>& arguments) {
    const std::string program = (standinBinDir() / "tessaron-edge").string();
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    // Made before the fork: the child of a process with threads may only make system calls.
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const auto& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const pid_t parent = getpid();
    pid_ = fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        // The relay never outlives the test program, even one that crashes: a relay left
        // behind would hold the test's output open and keep ctest waiting.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) _exit(127);
        dup2(out[1], STDOUT_FILENO);
        const int null = open("/dev/null", O_RDONLY);
        if (null >= 0) dup2(null, STDIN_FILENO);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    close(out[1]);
    // The first line names the ports; wait for it at most 20 s.
    std::string line;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd entry{out[0], POLLIN, 0};
        if (poll(&entry, 1, static_cast<int>(left.count())) <= 0) break;
        char c;
        if (read(out[0], &c, 1) != 1 || c == '\n') break;
        line += c;
    }
    close(out[0]);
    if (std::sscanf(line.c_str(), "tessaron-edge ws=%d http=%d tcp=%d udp=%d admin=%d", &ws_, &http_, &tcp_, &udp_,
                    &admin_) != 5) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
        throw std::runtime_error("tessaron-edge did not start: " + line);
    }
    if (const auto secure = line.find(" wss="); secure != std::string::npos) wss_ = std::atoi(line.c_str() + secure + 5);
}

EdgeProcess::~EdgeProcess() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
}

std::string EdgeProcess::admin(const std::string& method, const std::string& path, const std::string& body) const {
    http::Request request;
    request.method = method;
    request.url = "http://127.0.0.1:" + std::to_string(admin_) + path;
    if (method == "POST") request.body = body;
    request.timeout = std::chrono::seconds(20);
    request.maxResponseBytes = 256u << 20;
    return http::perform(request).body;
}

std::vector<std::string> EdgeProcess::frames() const {
    std::vector<std::string> all;
    const std::string text = admin("GET", "/frames");
    std::size_t start = 0;
    while (start < text.size()) {
        const auto end = text.find('\n', start);
        all.push_back(text.substr(start, end - start));
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return all;
}

std::vector<std::string> EdgeProcess::frames(const std::string& type) const {
    std::vector<std::string> matching;
    for (auto& frame : frames()) {
        try {
            if (json::string(json::parseObject(frame), "type") == type) matching.push_back(frame);
        } catch (const std::exception&) {
        }
    }
    return matching;
}

std::string EdgeProcess::state() const { return admin("GET", "/state"); }
int EdgeProcess::connections() const { return static_cast<int>(json::int64(json::parseObject(state()), "connections")); }
bool EdgeProcess::connected() const { return json::boolean(json::parseObject(state()), "connected"); }
void EdgeProcess::send(const std::string& frame) const { admin("POST", "/send", frame); }
void EdgeProcess::sendTogether(const std::vector<std::string>& frames) const {
    std::string body;
    for (const auto& frame : frames) body += frame + "\n";
    admin("POST", "/send-lines", body);
}
void EdgeProcess::drop() const { admin("POST", "/drop"); }
void EdgeProcess::setDelay(int milliseconds) const { admin("POST", "/delay?ms=" + std::to_string(milliseconds)); }

}  // namespace tessaron::testing
