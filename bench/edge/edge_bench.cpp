// Benchmark of the edge tunnel on loopback, outside the tests. For every variant (a
// helper program with this program's `helper` mode and a relay stand-in, for example the
// build before a change and after it) a relay and a helper run as child processes, and
// every figure is taken in rounds, all paths side by side under the same load:
//   (a) one TCP stream each way (upload to a local sink, download from a local source),
//       direct, through socat (untuned and -b 262144) and through each relay + helper:
//       MB/s, and the helper's CPU (from /proc) per MB, all and user only, beside that of the
//       tuned socat, which shows what the kernel alone costs to relay a MB here;
//   (b) HTTP load from wrk at 1, 16, 64 and 256 connections against the local server
//       directly and through each relay + helper: requests/s, errors, helper CPU per request;
//   (c) the helper's memory when idle, with 1,000 open streams and after 1,000 reconnects,
//       in a run of its own;
//   (d) the helper's instructions per MB and per request on a small fixed workload, counted
//       by valgrind's callgrind (they hold still on a noisy machine).
// Each figure is min / median / max of the runs.
//
//   tessaron-edge-bench --variant NAME:HELPER:RELAY ... | --relay PATH
//                       [--runs N] [--mb N] [--seconds N] [--streams N] [--reconnects N]
//                       [--socat PATH] [--wrk PATH] [--valgrind PATH] [--no-instructions]
//                       [--profiles DIR (keeps the callgrind profiles there)]
//   tessaron-edge-bench helper --edge URL [--backoff-ms N]

#include "cli/edge_tunnels.h"
#include "panel/http_client.h"
#include "host/json.h"

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <sstream>
#include <string>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace bhttp = boost::beast::http;
using asio::ip::tcp;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

[[noreturn]] void die(const std::string& text) {
    std::fprintf(stderr, "tessaron-edge-bench: %s\n", text.c_str());
    std::exit(1);
}

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// ---- child processes ----

struct Child {
    pid_t pid = -1;
    std::string firstLine;
};

// Starts `argv` with output to /dev/null, or with the first line of its standard output
// read (at most 20 s) when `readLine` is set. The child dies with this program.
Child spawn(const std::vector<std::string>& argv, bool readLine) {
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) die("pipe failed");
    const pid_t parent = getpid();
    Child child;
    child.pid = fork();
    if (child.pid < 0) die("fork failed");
    if (child.pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) _exit(127);
        const int null = open("/dev/null", O_RDWR);
        dup2(null, STDIN_FILENO);
        dup2(readLine ? out[1] : null, STDOUT_FILENO);
        dup2(null, STDERR_FILENO);
        std::vector<char*> args;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    close(out[1]);
    if (readLine) {
        const auto deadline = Clock::now() + 20s;
        while (Clock::now() < deadline) {
            pollfd entry{out[0], POLLIN, 0};
            if (poll(&entry, 1, 200) <= 0) continue;
            char c;
            if (read(out[0], &c, 1) != 1 || c == '\n') break;
            child.firstLine += c;
        }
    }
    close(out[0]);
    return child;
}

void stop(Child& child) {
    if (child.pid <= 0) return;
    kill(child.pid, SIGTERM);
    for (int i = 0; i < 100; ++i) {
        if (waitpid(child.pid, nullptr, WNOHANG) == child.pid) {
            child.pid = -1;
            return;
        }
        std::this_thread::sleep_for(20ms);
    }
    kill(child.pid, SIGKILL);
    waitpid(child.pid, nullptr, 0);
    child.pid = -1;
}

// VmRSS or VmHWM of a process in KiB.
long memoryKiB(pid_t pid, const std::string& field) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(field + ":", 0) == 0) return std::stol(line.substr(field.size() + 1));
    }
    return -1;
}

// ---- sockets ----

int connectTo(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    timeval timeout{20, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

int freePort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    close(fd);
    return ntohs(address.sin_port);
}

bool sendAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = send(fd, data, size, MSG_NOSIGNAL);
        if (n <= 0) return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

// ---- helper mode ----

int helperMain(int argc, char** argv) {
    std::string edge;
    long backoffMs = 1000;
    for (int i = 2; i + 1 < argc; i += 2) {
        const std::string arg = argv[i];
        if (arg == "--edge") edge = argv[i + 1];
        else if (arg == "--backoff-ms") backoffMs = std::stol(argv[i + 1]);
        else die("unknown option " + arg);
    }
    if (edge.empty()) die("helper needs --edge");
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    std::stop_source stopSource;
    std::thread waiter([&] {
        int signal = 0;
        sigwait(&signals, &signal);
        stopSource.request_stop();
    });
    tessaron::cli::EdgeTunnelConfiguration configuration;
    configuration.machineID = "bench";
    configuration.controlURL = "http://127.0.0.1:9";  // nothing listens: heartbeat POSTs fail at once
    configuration.edgeURLs = {edge};
    tessaron::cli::EdgeTunnelSettings settings;
    settings.backoffUnit = std::chrono::milliseconds(backoffMs);
    tessaron::cli::runEdgeTunnels(configuration, "bench-token", stopSource.get_token(), settings);
    waiter.join();
    return 0;
}

// ---- local services: a stream service and an HTTP server, on their own threads ----

// The stream service reads one command byte: 'U' takes everything until the client's end
// of data and answers "ok"; 'D' followed by an 8-byte big-endian count sends that many
// bytes and closes.
class LocalServices {
public:
    LocalServices() {
        for (auto* acceptor : {&streamAcceptor_, &httpAcceptor_}) {
            acceptor->open(tcp::v4());
            acceptor->set_option(tcp::acceptor::reuse_address(true));
            acceptor->bind({asio::ip::make_address("127.0.0.1"), 0});
            acceptor->listen(4096);
        }
        asio::co_spawn(io_, accept(streamAcceptor_, true), asio::detached);
        asio::co_spawn(io_, accept(httpAcceptor_, false), asio::detached);
        for (int i = 0; i < 4; ++i) threads_.emplace_back([this] { io_.run(); });
    }
    ~LocalServices() {
        io_.stop();
        for (auto& t : threads_) t.join();
    }
    int streamPort() const { return streamAcceptor_.local_endpoint().port(); }
    int httpPort() const { return httpAcceptor_.local_endpoint().port(); }
    std::atomic<int> openStreams{0};

private:
    asio::awaitable<void> accept(tcp::acceptor& acceptor, bool stream) {
        for (;;) {
            boost::system::error_code ec;
            tcp::socket socket = co_await acceptor.async_accept(asio::redirect_error(asio::use_awaitable, ec));
            if (ec) continue;
            if (stream) {
                asio::co_spawn(acceptor.get_executor(), streamSession(std::move(socket)), asio::detached);
            } else {
                asio::co_spawn(acceptor.get_executor(), httpSession(std::move(socket)), asio::detached);
            }
        }
    }

    asio::awaitable<void> streamSession(tcp::socket socket) {
        ++openStreams;
        boost::system::error_code ec;
        char command = 0;
        co_await asio::async_read(socket, asio::buffer(&command, 1), asio::redirect_error(asio::use_awaitable, ec));
        if (!ec && command == 'U') {
            std::vector<char> buffer(256 * 1024);
            for (;;) {
                co_await socket.async_read_some(asio::buffer(buffer), asio::redirect_error(asio::use_awaitable, ec));
                if (ec == asio::error::eof) {
                    co_await asio::async_write(socket, asio::buffer("ok", 2), asio::redirect_error(asio::use_awaitable, ec));
                    break;
                }
                if (ec) break;
            }
        } else if (!ec && command == 'D') {
            unsigned char size[8];
            co_await asio::async_read(socket, asio::buffer(size), asio::redirect_error(asio::use_awaitable, ec));
            std::uint64_t left = 0;
            for (unsigned char byte : size) left = (left << 8) | byte;
            const std::vector<char> chunk(1 << 20, 'y');
            while (!ec && left > 0) {
                const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(left, chunk.size()));
                co_await asio::async_write(socket, asio::buffer(chunk.data(), n), asio::redirect_error(asio::use_awaitable, ec));
                left -= n;
            }
        }
        boost::system::error_code ignored;
        socket.shutdown(tcp::socket::shutdown_both, ignored);
        --openStreams;
    }

    asio::awaitable<void> httpSession(tcp::socket socket) {
        beast::tcp_stream stream(std::move(socket));
        beast::flat_buffer buffer;
        for (;;) {
            bhttp::request<bhttp::string_body> request;
            boost::system::error_code ec;
            co_await bhttp::async_read(stream, buffer, request, asio::redirect_error(asio::use_awaitable, ec));
            if (ec) break;
            bhttp::response<bhttp::string_body> response(bhttp::status::ok, request.version());
            response.set(bhttp::field::content_type, "text/plain");
            response.body() = "hello world\n";
            response.keep_alive(request.keep_alive());
            response.prepare_payload();
            co_await bhttp::async_write(stream, response, asio::redirect_error(asio::use_awaitable, ec));
            if (ec || !request.keep_alive()) break;
        }
        boost::system::error_code ignored;
        stream.socket().shutdown(tcp::socket::shutdown_both, ignored);
    }

    asio::io_context io_;
    tcp::acceptor streamAcceptor_{io_};
    tcp::acceptor httpAcceptor_{io_};
    std::vector<std::thread> threads_;
};

template <class Condition>
bool waitFor(Condition condition, std::chrono::milliseconds limit, std::chrono::milliseconds step = 5ms) {
    const auto deadline = Clock::now() + limit;
    while (Clock::now() < deadline) {
        if (condition()) return true;
        std::this_thread::sleep_for(step);
    }
    return condition();
}

std::string fixed(double value, int digits) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", digits, value);
    return text;
}

std::string selfPath() {
    char path[4096];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) die("cannot find this program");
    return std::string(path, static_cast<std::size_t>(n));
}

// CPU seconds of a process so far: its own, or (`children`) that of its children it has
// already waited for, as user and system time.
struct CpuTimes {
    double user = 0, system = 0;
    double total() const { return user + system; }
    CpuTimes operator-(const CpuTimes& other) const { return {user - other.user, system - other.system}; }
};

CpuTimes cpuTimes(pid_t pid, bool children = false) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const auto close = text.rfind(')');
    if (close == std::string::npos) return {};
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    CpuTimes ticks;
    // After the command: state is field 3; utime and stime are fields 14 and 15, the
    // waited-for children's cutime and cstime 16 and 17.
    const int user = children ? 16 : 14;
    for (int i = 3; i <= user + 1 && fields >> field; ++i) {
        if (i == user) ticks.user = std::stod(field);
        if (i == user + 1) ticks.system = std::stod(field);
    }
    const auto perSecond = static_cast<double>(sysconf(_SC_CLK_TCK));
    return {ticks.user / perSecond, ticks.system / perSecond};
}

double cpuSeconds(pid_t pid) { return cpuTimes(pid).total(); }

// Waits (at most 5 s) until a forking server such as socat has waited for all its children,
// so that their CPU time is counted in its own.
void awaitChildren(pid_t pid) {
    const std::string path = "/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children";
    for (int i = 0; i < 500; ++i) {
        std::ifstream file(path);
        std::string pids;
        if (!std::getline(file, pids) || pids.find_first_not_of(' ') == std::string::npos) return;
        std::this_thread::sleep_for(10ms);
    }
}

std::string loadAverage() {
    std::ifstream file("/proc/loadavg");
    std::string one, five, fifteen;
    file >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

// ---- relay + helper ----

struct Variant {
    std::string name;
    std::string helperProgram;  // a tessaron-edge-bench with the `helper` mode
    std::string relayProgram;
};

class Tunnel {
public:
    Tunnel(const Variant& variant, const LocalServices& local, const std::vector<std::string>& wrapper = {},
           std::chrono::seconds connectLimit = 20s) {
        relay_ = spawn({variant.relayProgram, "--tcp-target", std::to_string(local.streamPort()), "--http-target",
                        std::to_string(local.httpPort()), "--no-frame-log"},
                       true);
        if (std::sscanf(relay_.firstLine.c_str(), "tessaron-edge ws=%d http=%d tcp=%d udp=%d admin=%d", &ws, &http,
                        &tcp, &udp, &admin) != 5)
            die(variant.name + ": the relay did not start: " + relay_.firstLine);
        std::vector<std::string> argv = wrapper;
        for (const auto& a : {variant.helperProgram, std::string("helper"), std::string("--edge"),
                              "ws://127.0.0.1:" + std::to_string(ws) + "/tunnel", std::string("--backoff-ms"),
                              std::string("0")}) {
            argv.push_back(a);
        }
        helper_ = spawn(argv, false);
        if (!waitFor([&] { return connected(); }, connectLimit, 20ms)) die(variant.name + ": the helper did not connect");
    }
    ~Tunnel() {
        stop(helper_);
        stop(relay_);
    }
    std::string call(const std::string& method, const std::string& path) const {
        tessaron::http::Request request;
        request.method = method;
        request.url = "http://127.0.0.1:" + std::to_string(admin) + path;
        if (method == "POST") request.body = "";
        request.timeout = 20s;
        return tessaron::http::perform(request).body;
    }
    int connections() const {
        return static_cast<int>(tessaron::json::int64(tessaron::json::parseObject(call("GET", "/state")), "connections"));
    }
    bool connected() const {
        try {
            return tessaron::json::boolean(tessaron::json::parseObject(call("GET", "/state")), "connected");
        } catch (const std::exception&) {
            return false;
        }
    }
    // Stops the helper with SIGTERM and waits up to `limit` for it to end.
    void stopHelper(std::chrono::seconds limit) {
        kill(helper_.pid, SIGTERM);
        const auto deadline = Clock::now() + limit;
        while (Clock::now() < deadline && waitpid(helper_.pid, nullptr, WNOHANG) != helper_.pid) {
            std::this_thread::sleep_for(20ms);
        }
        stop(helper_);
    }
    pid_t helperPid() const { return helper_.pid; }
    pid_t relayPid() const { return relay_.pid; }
    int ws = 0, http = 0, tcp = 0, udp = 0, admin = 0;

private:
    Child relay_, helper_;
};

// ---- one TCP stream, both directions ----

// Sends `bytes` after the 'U' command and waits for "ok": MB/s (10^6 bytes), or -1.
double upload(int port, std::size_t bytes) {
    const int fd = connectTo(port);
    if (fd < 0) return -1;
    const std::string chunk(1 << 20, 'x');
    const auto start = Clock::now();
    std::thread writer([&] {
        std::size_t left = bytes;
        bool ok = sendAll(fd, "U", 1);
        while (ok && left > 0) {
            const std::size_t n = std::min(left, chunk.size());
            ok = sendAll(fd, chunk.data(), n);
            left -= n;
        }
        shutdown(fd, SHUT_WR);
    });
    std::string answer;
    char buffer[16];
    while (answer.size() < 2) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0) break;
        answer.append(buffer, static_cast<std::size_t>(n));
    }
    const double elapsed = secondsSince(start);
    writer.join();
    close(fd);
    return answer == "ok" ? static_cast<double>(bytes) / 1e6 / elapsed : -1;
}

// Asks for `bytes` with the 'D' command and reads them to the end: MB/s, or -1.
double download(int port, std::size_t bytes) {
    const int fd = connectTo(port);
    if (fd < 0) return -1;
    unsigned char command[9] = {'D'};
    for (int i = 0; i < 8; ++i) command[1 + i] = static_cast<unsigned char>(static_cast<std::uint64_t>(bytes) >> (56 - 8 * i));
    const auto start = Clock::now();
    if (!sendAll(fd, reinterpret_cast<const char*>(command), sizeof command)) {
        close(fd);
        return -1;
    }
    std::vector<char> buffer(1 << 20);
    std::size_t got = 0;
    for (;;) {
        const ssize_t n = read(fd, buffer.data(), buffer.size());
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
    }
    const double elapsed = secondsSince(start);
    close(fd);
    return got == bytes ? static_cast<double>(bytes) / 1e6 / elapsed : -1;
}

// ---- HTTP load ----

struct LoadResult {
    double requestsPerSecond = 0;
    long requests = 0;
    long errors = 0;
};

// wrk against one port; errors are socket errors plus non-2xx/3xx answers.
LoadResult wrk(const std::string& program, int port, int connections, double seconds) {
    const int threads = std::min(connections, 4);
    const std::string command = program + " -t" + std::to_string(threads) + " -c" + std::to_string(connections) +
                                " -d" + fixed(seconds, 0) + "s http://127.0.0.1:" + std::to_string(port) +
                                "/hello 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) die("cannot run wrk");
    std::string output;
    char buffer[4096];
    while (std::fgets(buffer, sizeof buffer, pipe)) output += buffer;
    pclose(pipe);
    LoadResult result;
    if (const auto at = output.find("Requests/sec:"); at != std::string::npos) {
        result.requestsPerSecond = std::stod(output.substr(at + 13));
    }
    if (const auto at = output.find(" requests in "); at != std::string::npos) {
        const auto start = output.rfind('\n', at);
        result.requests = std::stol(output.substr(start + 1, at - start - 1));
    }
    if (const auto at = output.find("Socket errors:"); at != std::string::npos) {
        long connect = 0, readErrors = 0, write = 0, timeout = 0;
        std::sscanf(output.c_str() + at, "Socket errors: connect %ld, read %ld, write %ld, timeout %ld", &connect,
                    &readErrors, &write, &timeout);
        result.errors += connect + readErrors + write + timeout;
    }
    if (const auto at = output.find("Non-2xx or 3xx responses:"); at != std::string::npos) {
        result.errors += std::stol(output.substr(at + 25));
    }
    if (result.requests == 0) std::fprintf(stderr, "wrk said:\n%s\n", output.c_str());
    return result;
}

// `count` requests on `connections` keep-alive connections, each request answered before
// the next (a fixed workload for the instruction counts): the number answered with 200.
long fixedRequests(int port, int connections, long count) {
    std::atomic<long> left{count}, answered{0};
    std::vector<std::thread> workers;
    for (int i = 0; i < connections; ++i) {
        workers.emplace_back([&] {
            const std::string request = "GET /hello HTTP/1.1\r\nHost: bench\r\n\r\n";
            int fd = connectTo(port);
            std::string pending;
            char buffer[16384];
            while (fd >= 0 && left.fetch_sub(1) > 0) {
                if (!sendAll(fd, request.data(), request.size())) break;
                std::size_t headerEnd;
                bool ok = true;
                while (ok && (headerEnd = pending.find("\r\n\r\n")) == std::string::npos) {
                    const ssize_t n = read(fd, buffer, sizeof buffer);
                    if (n <= 0) ok = false; else pending.append(buffer, static_cast<std::size_t>(n));
                }
                if (!ok) break;
                std::string header = pending.substr(0, headerEnd);
                for (auto& c : header) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
                std::size_t length = 0;
                if (const auto at = header.find("content-length:"); at != std::string::npos) {
                    length = std::stoul(header.substr(at + 15));
                }
                while (ok && pending.size() < headerEnd + 4 + length) {
                    const ssize_t n = read(fd, buffer, sizeof buffer);
                    if (n <= 0) ok = false; else pending.append(buffer, static_cast<std::size_t>(n));
                }
                if (!ok) break;
                if (header.rfind("http/1.1 200", 0) == 0) ++answered;
                pending.erase(0, headerEnd + 4 + length);
            }
            if (fd >= 0) close(fd);
        });
    }
    for (auto& w : workers) w.join();
    return answered.load();
}

// ---- figures ----

// min / median / max of the runs.
std::string spread(std::vector<double> values, int digits) {
    if (values.empty()) return "-";
    std::sort(values.begin(), values.end());
    return fixed(values.front(), digits) + " / " + fixed(values[values.size() / 2], digits) + " / " +
           fixed(values.back(), digits);
}

struct Table {
    std::vector<std::pair<std::string, std::string>> rows;
    void add(const std::string& name, const std::string& value) {
        rows.emplace_back(name, value);
        std::fprintf(stderr, "  %-64s %s\n", name.c_str(), value.c_str());
    }
};

// The total instruction count ("totals:" or "summary:") of a callgrind output file.
double callgrindTotal(const std::string& path) {
    std::ifstream file(path);
    std::string line;
    double total = -1;
    while (std::getline(file, line)) {
        if (line.rfind("totals:", 0) == 0) total = std::stod(line.substr(7));
        else if (line.rfind("summary:", 0) == 0 && total < 0) total = std::stod(line.substr(8));
    }
    return total;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && std::string(argv[1]) == "helper") return helperMain(argc, argv);

    std::vector<Variant> variants;
    std::string socat = "/usr/bin/socat", wrkProgram = "/usr/bin/wrk", valgrind = "/usr/bin/valgrind";
    std::size_t megabytes = 256;
    double seconds = 5;
    int runs = 3, streams = 1000, reconnects = 1000;
    bool instructions = true;
    std::string profiles;  // where callgrind's profiles are kept, for callgrind_annotate
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--no-instructions") {
            instructions = false;
            continue;
        }
        if (i + 1 >= argc) die(arg + " needs a value");
        const std::string value = argv[++i];
        if (arg == "--variant") {
            // NAME:HELPER-PROGRAM:RELAY-PROGRAM
            const auto first = value.find(':'), second = value.find(':', first + 1);
            if (first == std::string::npos || second == std::string::npos) die("--variant NAME:HELPER:RELAY");
            variants.push_back({value.substr(0, first), value.substr(first + 1, second - first - 1), value.substr(second + 1)});
        } else if (arg == "--relay") {
            variants.push_back({"this build", selfPath(), value});
        } else if (arg == "--socat") socat = value;
        else if (arg == "--wrk") wrkProgram = value;
        else if (arg == "--valgrind") valgrind = value;
        else if (arg == "--mb") megabytes = std::stoul(value);
        else if (arg == "--seconds") seconds = std::stod(value);
        else if (arg == "--runs") runs = std::stoi(value);
        else if (arg == "--streams") streams = std::stoi(value);
        else if (arg == "--reconnects") reconnects = std::stoi(value);
        else if (arg == "--profiles") profiles = value;
        else die("unknown option " + arg);
    }
    if (variants.empty()) die("--variant NAME:HELPER:RELAY (or --relay PATH) is required");
    std::signal(SIGPIPE, SIG_IGN);
    rlimit files{};
    getrlimit(RLIMIT_NOFILE, &files);
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);

    Table table;
    std::fprintf(stderr, "edge tunnel benchmark (loopback, %u cores, load %s)\n", std::thread::hardware_concurrency(),
                 loadAverage().c_str());
    table.add("load average (1/5/15 min) at start", loadAverage());
    LocalServices local;

    // (a) one TCP stream each way, and (b) HTTP through every path, in rounds, so that every
    // path is measured side by side under the same load.
    std::vector<std::unique_ptr<Tunnel>> tunnels;
    for (const auto& variant : variants) tunnels.push_back(std::make_unique<Tunnel>(variant, local));
    const int socatPort = freePort(), socatBigPort = freePort();
    Child socatChild, socatBigChild;
    const bool haveSocat = access(socat.c_str(), X_OK) == 0;
    auto socatReady = [&](int port) {
        return waitFor(
            [&] {
                const int fd = connectTo(port);
                if (fd < 0) return false;
                close(fd);
                return true;
            },
            10s, 20ms);
    };
    if (haveSocat) {
        const std::string target = "TCP:127.0.0.1:" + std::to_string(local.streamPort());
        socatChild = spawn({socat, "TCP-LISTEN:" + std::to_string(socatPort) + ",bind=127.0.0.1,reuseaddr,fork", target}, false);
        socatBigChild = spawn({socat, "-b", "262144",
                               "TCP-LISTEN:" + std::to_string(socatBigPort) + ",bind=127.0.0.1,reuseaddr,fork", target},
                              false);
        if (!socatReady(socatPort) || !socatReady(socatBigPort)) die("socat did not start");
    }
    // The process whose CPU time is read around each transfer: the helper, or socat (its
    // children, one per connection, once it has waited for them), for comparison.
    struct Path {
        std::string name;
        int streamPort;
        Tunnel* tunnel;
        pid_t relayingProcess;
    };
    std::vector<Path> paths = {{"direct", local.streamPort(), nullptr, -1}};
    if (haveSocat) {
        paths.push_back({"socat", socatPort, nullptr, -1});
        paths.push_back({"socat -b 262144", socatBigPort, nullptr, socatBigChild.pid});
    }
    for (std::size_t i = 0; i < variants.size(); ++i) {
        paths.push_back({"relay + helper, " + variants[i].name, tunnels[i]->tcp, tunnels[i].get(), tunnels[i]->helperPid()});
    }

    const std::size_t bytes = megabytes << 20;
    std::map<std::string, std::vector<double>> up, down, upCpu, downCpu, upUser, downUser;
    for (int run = 0; run < runs; ++run) {
        std::fprintf(stderr, "stream round %d of %d\n", run + 1, runs);
        for (const auto& path : paths) {
            const pid_t pid = path.relayingProcess;
            const bool children = !path.tunnel;
            auto cpuNow = [&] {
                if (pid <= 0) return CpuTimes{};
                if (children) awaitChildren(pid);
                return cpuTimes(pid, children);
            };
            const CpuTimes cpu0 = cpuNow();
            up[path.name].push_back(upload(path.streamPort, bytes));
            const CpuTimes cpu1 = cpuNow();
            down[path.name].push_back(download(path.streamPort, bytes));
            const CpuTimes cpu2 = cpuNow();
            if (pid > 0) {
                const double megabytesMoved = static_cast<double>(bytes) / 1e6;
                upCpu[path.name].push_back((cpu1 - cpu0).total() * 1e3 / megabytesMoved);
                downCpu[path.name].push_back((cpu2 - cpu1).total() * 1e3 / megabytesMoved);
                upUser[path.name].push_back((cpu1 - cpu0).user * 1e3 / megabytesMoved);
                downUser[path.name].push_back((cpu2 - cpu1).user * 1e3 / megabytesMoved);
            }
        }
    }
    stop(socatChild);
    stop(socatBigChild);
    const std::string size = std::to_string(megabytes) + " MiB";
    for (const auto& path : paths) {
        table.add("(a) upload, " + path.name + ", MB/s (" + size + ", min / median / max)", spread(up[path.name], 0));
        table.add("(a) download, " + path.name + ", MB/s", spread(down[path.name], 0));
        if (path.relayingProcess > 0) {
            const std::string who = path.tunnel ? "helper" : "relaying socat";
            table.add("(a) upload, " + path.name + ", " + who + " CPU ms per MB (user + system)", spread(upCpu[path.name], 3));
            table.add("(a) download, " + path.name + ", " + who + " CPU ms per MB (user + system)",
                      spread(downCpu[path.name], 3));
            table.add("(a) upload, " + path.name + ", " + who + " user CPU ms per MB", spread(upUser[path.name], 3));
            table.add("(a) download, " + path.name + ", " + who + " user CPU ms per MB", spread(downUser[path.name], 3));
        }
    }
    if (haveSocat) {
        for (const auto& path : paths) {
            if (!path.tunnel) continue;
            auto ratio = [&](const std::map<std::string, std::vector<double>>& values) {
                std::vector<double> ratios;
                for (int run = 0; run < runs; ++run) {
                    ratios.push_back(values.at(path.name)[run] / values.at("socat -b 262144")[run]);
                }
                return spread(ratios, 2);
            };
            table.add("(a) upload, " + path.name + " / socat -b 262144, same round", ratio(up));
            table.add("(a) download, " + path.name + " / socat -b 262144, same round", ratio(down));
        }
    }

    const bool haveWrk = access(wrkProgram.c_str(), X_OK) == 0;
    if (!haveWrk) table.add("(b) HTTP", "wrk missing (" + wrkProgram + ")");
    for (int connections : {1, 16, 64, 256}) {
        if (!haveWrk) break;
        std::map<std::string, std::vector<double>> rps, cpuPerRequest;
        std::map<std::string, long> errors;
        for (int run = 0; run < runs; ++run) {
            std::fprintf(stderr, "HTTP %d connections, round %d of %d\n", connections, run + 1, runs);
            const LoadResult direct = wrk(wrkProgram, local.httpPort(), connections, seconds);
            rps["direct"].push_back(direct.requestsPerSecond);
            errors["direct"] += direct.errors;
            for (std::size_t i = 0; i < variants.size(); ++i) {
                const double cpu0 = cpuSeconds(tunnels[i]->helperPid());
                const LoadResult result = wrk(wrkProgram, tunnels[i]->http, connections, seconds);
                const double cpu = cpuSeconds(tunnels[i]->helperPid()) - cpu0;
                rps[variants[i].name].push_back(result.requestsPerSecond);
                errors[variants[i].name] += result.errors;
                if (result.requests > 0) cpuPerRequest[variants[i].name].push_back(cpu * 1e6 / static_cast<double>(result.requests));
            }
        }
        const std::string c = std::to_string(connections) + " conn";
        table.add("(b) HTTP, " + c + ", direct, req/s", spread(rps["direct"], 0) + ", errors " + std::to_string(errors["direct"]));
        for (const auto& variant : variants) {
            table.add("(b) HTTP, " + c + ", relay + helper, " + variant.name + ", req/s",
                      spread(rps[variant.name], 0) + ", errors " + std::to_string(errors[variant.name]));
            table.add("(b) HTTP, " + c + ", " + variant.name + ", helper CPU us per request",
                      spread(cpuPerRequest[variant.name], 1));
        }
    }
    for (std::size_t i = 0; i < variants.size(); ++i) {
        table.add("(a+b) peak RSS (VmHWM) after all that, KiB, " + variants[i].name,
                  "helper " + std::to_string(memoryKiB(tunnels[i]->helperPid(), "VmHWM")) + ", relay " +
                      std::to_string(memoryKiB(tunnels[i]->relayPid(), "VmHWM")));
    }
    tunnels.clear();

    // (c) memory, in a run of its own per variant.
    for (const auto& variant : variants) {
        std::fprintf(stderr, "memory, %s\n", variant.name.c_str());
        Tunnel tunnel(variant, local);
        const pid_t helper = tunnel.helperPid();
        table.add("(c) " + variant.name + ": helper RSS connected and idle, KiB", std::to_string(memoryKiB(helper, "VmRSS")));
        std::vector<int> clients;
        for (int i = 0; i < streams; ++i) {
            const int fd = connectTo(tunnel.tcp);
            if (fd >= 0) clients.push_back(fd);
        }
        const bool allOpen = waitFor([&] { return local.openStreams.load() >= streams; }, 60s, 20ms);
        table.add("(c) " + variant.name + ": helper RSS with " + std::to_string(streams) + " open TCP streams, KiB",
                  std::to_string(memoryKiB(helper, "VmRSS")) +
                      (allOpen ? "" : " (only " + std::to_string(local.openStreams.load()) + " open)"));
        for (int fd : clients) close(fd);
        waitFor([&] { return local.openStreams.load() == 0; }, 60s, 20ms);
        int done = 0;
        for (int i = 0; i < reconnects; ++i) {
            const int before = tunnel.connections();
            tunnel.call("POST", "/drop");
            if (!waitFor([&] { return tunnel.connections() > before && tunnel.connected(); }, 20s, 1ms)) break;
            ++done;
        }
        table.add("(c) " + variant.name + ": helper RSS after " + std::to_string(done) + " reconnects, KiB",
                  std::to_string(memoryKiB(helper, "VmRSS")));
        table.add("(c) " + variant.name + ": helper peak RSS (VmHWM), KiB", std::to_string(memoryKiB(helper, "VmHWM")));
    }

    // (d) instructions of the helper on a fixed small workload, counted by callgrind (they
    // hold still on a busy machine): each workload in a helper of its own, less an idle one.
    if (instructions && access(valgrind.c_str(), X_OK) == 0) {
        const std::size_t workloadBytes = 16u << 20;
        const long workloadRequests = 2000;
        char folder[] = "/tmp/tessaron-edge-bench-XXXXXX";
        if (!mkdtemp(folder)) die("mkdtemp failed");
        for (const auto& variant : variants) {
            std::map<std::string, double> totals;
            for (const std::string workload : {"idle", "upload", "download", "requests"}) {
                std::fprintf(stderr, "instructions, %s, %s\n", variant.name.c_str(), workload.c_str());
                const std::string out = std::string(folder) + "/" + workload + ".out";
                Tunnel tunnel(variant, local, {valgrind, "--tool=callgrind", "--callgrind-out-file=" + out}, 120s);
                if (workload == "upload") upload(tunnel.tcp, workloadBytes);
                if (workload == "download") download(tunnel.tcp, workloadBytes);
                if (workload == "requests") fixedRequests(tunnel.http, 4, workloadRequests);
                tunnel.stopHelper(120s);
                totals[workload] = callgrindTotal(out);
                if (profiles.empty()) {
                    std::remove(out.c_str());
                } else {
                    const std::string kept = profiles + "/" + variant.name + "." + workload + ".callgrind";
                    if (std::rename(out.c_str(), kept.c_str()) != 0) std::remove(out.c_str());
                }
            }
            const double mb = static_cast<double>(workloadBytes) / 1e6;
            table.add("(d) " + variant.name + ": helper instructions per MB, upload (callgrind, 16 MiB)",
                      fixed((totals["upload"] - totals["idle"]) / mb / 1e6, 2) + " M");
            table.add("(d) " + variant.name + ": helper instructions per MB, download",
                      fixed((totals["download"] - totals["idle"]) / mb / 1e6, 2) + " M");
            table.add("(d) " + variant.name + ": helper instructions per request (2,000 on 4 connections)",
                      fixed((totals["requests"] - totals["idle"]) / static_cast<double>(workloadRequests) / 1e3, 1) + " k");
        }
        rmdir(folder);
    } else {
        table.add("(d) instructions", "not counted (valgrind missing or --no-instructions)");
    }
    table.add("load average (1/5/15 min) at the end", loadAverage());

    std::printf("\n| measure | result |\n|---|---|\n");
    for (const auto& [name, value] : table.rows) std::printf("| %s | %s |\n", name.c_str(), value.c_str());
    return 0;
}
