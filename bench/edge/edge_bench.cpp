// Benchmark of the edge tunnel on loopback: the relay stand-in `tessaron-edge` and the
// helper's tunnel runner (this program's `helper` mode, a child process) carry
//   (a) one TCP stream to a local sink (MB/s), against a direct connection and socat;
//   (b) HTTP requests to a small local HTTP server at 1, 16 and 64 connections for a
//       fixed time (req/s, p50/p99 latency, errors), against direct requests;
//   (c) the helper's resident memory with 1,000 open TCP streams and after 1,000
//       reconnects.
//
//   tessaron-edge-bench --relay PATH [--socat PATH] [--mb N] [--seconds N]
//                       [--streams N] [--reconnects N]
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

// ---- local services: a sink and an HTTP server, on their own threads ----

class LocalServices {
public:
    LocalServices() {
        sinkAcceptor_.open(tcp::v4());
        sinkAcceptor_.bind({asio::ip::make_address("127.0.0.1"), 0});
        sinkAcceptor_.listen(4096);
        httpAcceptor_.open(tcp::v4());
        httpAcceptor_.bind({asio::ip::make_address("127.0.0.1"), 0});
        httpAcceptor_.listen(4096);
        asio::co_spawn(io_, accept(sinkAcceptor_, true), asio::detached);
        asio::co_spawn(io_, accept(httpAcceptor_, false), asio::detached);
        for (int i = 0; i < 2; ++i) threads_.emplace_back([this] { io_.run(); });
    }
    ~LocalServices() {
        io_.stop();
        for (auto& t : threads_) t.join();
    }
    int sinkPort() const { return sinkAcceptor_.local_endpoint().port(); }
    int httpPort() const { return httpAcceptor_.local_endpoint().port(); }
    std::atomic<int> openSinks{0};

private:
    asio::awaitable<void> accept(tcp::acceptor& acceptor, bool sink) {
        for (;;) {
            boost::system::error_code ec;
            tcp::socket socket = co_await acceptor.async_accept(asio::redirect_error(asio::use_awaitable, ec));
            if (ec) continue;
            if (sink) {
                asio::co_spawn(io_, sinkSession(std::move(socket)), asio::detached);
            } else {
                asio::co_spawn(io_, httpSession(std::move(socket)), asio::detached);
            }
        }
    }

    // Reads and drops everything; answers "ok" after the client's end of data.
    asio::awaitable<void> sinkSession(tcp::socket socket) {
        ++openSinks;
        std::vector<char> buffer(256 * 1024);
        for (;;) {
            boost::system::error_code ec;
            co_await socket.async_read_some(asio::buffer(buffer), asio::redirect_error(asio::use_awaitable, ec));
            if (ec == asio::error::eof) {
                co_await asio::async_write(socket, asio::buffer("ok", 2), asio::redirect_error(asio::use_awaitable, ec));
                break;
            }
            if (ec) break;
        }
        boost::system::error_code ignored;
        socket.shutdown(tcp::socket::shutdown_both, ignored);
        --openSinks;
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
    tcp::acceptor sinkAcceptor_{io_};
    tcp::acceptor httpAcceptor_{io_};
    std::vector<std::thread> threads_;
};

// ---- the relay's admin API ----

class Relay {
public:
    Relay(const std::string& program, int tcpTarget, int httpTarget) {
        child_ = spawn({program, "--tcp-target", std::to_string(tcpTarget), "--http-target", std::to_string(httpTarget),
                        "--no-frame-log"},
                       true);
        if (std::sscanf(child_.firstLine.c_str(), "tessaron-edge ws=%d http=%d tcp=%d udp=%d admin=%d", &ws, &http,
                        &tcp, &udp, &admin) != 5)
            die("the relay did not start: " + child_.firstLine);
    }
    ~Relay() { stop(child_); }
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
        return tessaron::json::boolean(tessaron::json::parseObject(call("GET", "/state")), "connected");
    }
    pid_t pid() const { return child_.pid; }
    int ws = 0, http = 0, tcp = 0, udp = 0, admin = 0;

private:
    Child child_;
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

// ---- (a) one TCP stream ----

// Sends `bytes` on one connection and waits for the sink's "ok": MB/s (10^6 bytes), or -1.
double streamThroughput(int port, std::size_t bytes) {
    const int fd = connectTo(port);
    if (fd < 0) return -1;
    const std::string chunk(1 << 20, 'x');
    const auto start = Clock::now();
    std::thread writer([&] {
        std::size_t left = bytes;
        while (left > 0) {
            const std::size_t n = std::min(left, chunk.size());
            if (!sendAll(fd, chunk.data(), n)) break;
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
    if (answer != "ok") return -1;
    return static_cast<double>(bytes) / 1e6 / elapsed;
}

// ---- (b) HTTP load ----

struct LoadResult {
    double requestsPerSecond = 0;
    double p50 = 0, p99 = 0;  // ms
    long errors = 0;
};

// One keep-alive connection's requests until the deadline; latencies in ms.
void loadWorker(int port, Clock::time_point deadline, std::vector<double>& latencies, long& errors) {
    const std::string request = "GET /hello HTTP/1.1\r\nHost: bench\r\n\r\n";
    int fd = -1;
    std::string pending;
    char buffer[16384];
    while (Clock::now() < deadline) {
        if (fd < 0) {
            fd = connectTo(port);
            pending.clear();
            if (fd < 0) {
                ++errors;
                std::this_thread::sleep_for(1ms);
                continue;
            }
        }
        const auto start = Clock::now();
        bool ok = sendAll(fd, request.data(), request.size());
        int status = 0;
        // Header, then Content-Length bytes of body.
        std::size_t headerEnd = std::string::npos;
        while (ok && (headerEnd = pending.find("\r\n\r\n")) == std::string::npos) {
            const ssize_t n = read(fd, buffer, sizeof buffer);
            if (n <= 0) ok = false; else pending.append(buffer, static_cast<std::size_t>(n));
        }
        std::size_t length = 0;
        if (ok) {
            std::sscanf(pending.c_str(), "HTTP/1.1 %d", &status);
            std::string header = pending.substr(0, headerEnd);
            for (auto& c : header) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            const auto at = header.find("content-length:");
            if (at != std::string::npos) length = std::stoul(header.substr(at + 15));
            while (ok && pending.size() < headerEnd + 4 + length) {
                const ssize_t n = read(fd, buffer, sizeof buffer);
                if (n <= 0) ok = false; else pending.append(buffer, static_cast<std::size_t>(n));
            }
        }
        if (!ok) {
            ++errors;
            close(fd);
            fd = -1;
            continue;
        }
        pending.erase(0, headerEnd + 4 + length);
        if (status != 200) {
            ++errors;
            continue;
        }
        latencies.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
    if (fd >= 0) close(fd);
}

LoadResult httpLoad(int port, int connections, double seconds) {
    std::vector<std::vector<double>> latencies(static_cast<std::size_t>(connections));
    std::vector<long> errors(static_cast<std::size_t>(connections), 0);
    const auto start = Clock::now();
    const auto deadline = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    std::vector<std::thread> workers;
    for (int i = 0; i < connections; ++i) {
        workers.emplace_back([&, i] { loadWorker(port, deadline, latencies[i], errors[i]); });
    }
    for (auto& w : workers) w.join();
    const double elapsed = secondsSince(start);
    std::vector<double> all;
    LoadResult result;
    for (int i = 0; i < connections; ++i) {
        all.insert(all.end(), latencies[i].begin(), latencies[i].end());
        result.errors += errors[i];
    }
    std::sort(all.begin(), all.end());
    result.requestsPerSecond = static_cast<double>(all.size()) / elapsed;
    if (!all.empty()) {
        result.p50 = all[all.size() / 2];
        result.p99 = all[std::min(all.size() - 1, all.size() * 99 / 100)];
    }
    return result;
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

std::string selfPath() {
    char path[4096];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) die("cannot find this program");
    return std::string(path, static_cast<std::size_t>(n));
}

std::string fixed(double value, int digits) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", digits, value);
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && std::string(argv[1]) == "helper") return helperMain(argc, argv);

    std::string relayProgram, socat = "/usr/bin/socat";
    std::size_t megabytes = 256;
    double seconds = 5;
    int streams = 1000, reconnects = 1000;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string arg = argv[i];
        const std::string value = argv[i + 1];
        if (arg == "--relay") relayProgram = value;
        else if (arg == "--socat") socat = value;
        else if (arg == "--mb") megabytes = std::stoul(value);
        else if (arg == "--seconds") seconds = std::stod(value);
        else if (arg == "--streams") streams = std::stoi(value);
        else if (arg == "--reconnects") reconnects = std::stoi(value);
        else die("unknown option " + arg);
    }
    if (relayProgram.empty()) die("--relay PATH is required");
    std::signal(SIGPIPE, SIG_IGN);
    rlimit files{};
    getrlimit(RLIMIT_NOFILE, &files);
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);

    LocalServices local;
    Relay relay(relayProgram, local.sinkPort(), local.httpPort());
    Child helper = spawn({selfPath(), "helper", "--edge", "ws://127.0.0.1:" + std::to_string(relay.ws) + "/tunnel",
                          "--backoff-ms", "0"},
                         false);
    if (!waitFor([&] { return relay.connected(); }, 20s, 20ms)) die("the helper did not connect");
    std::vector<std::pair<std::string, std::string>> rows;  // measure, value
    auto row = [&](const std::string& name, const std::string& value) {
        rows.emplace_back(name, value);
        std::fprintf(stderr, "  %-58s %s\n", name.c_str(), value.c_str());
    };
    std::fprintf(stderr, "edge tunnel benchmark (loopback, %u cores)\n", std::thread::hardware_concurrency());

    // (a)
    const std::size_t bytes = megabytes << 20;
    Child socatChild;
    const int socatPort = freePort();
    bool haveSocat = access(socat.c_str(), X_OK) == 0;
    if (haveSocat) {
        socatChild = spawn({socat, "TCP-LISTEN:" + std::to_string(socatPort) + ",bind=127.0.0.1,reuseaddr,fork",
                            "TCP:127.0.0.1:" + std::to_string(local.sinkPort())},
                           false);
        haveSocat = waitFor(
            [&] {
                const int fd = connectTo(socatPort);
                if (fd < 0) return false;
                shutdown(fd, SHUT_WR);
                char b[4];
                (void)!read(fd, b, sizeof b);
                close(fd);
                return true;
            },
            10s, 20ms);
    }
    const std::string size = std::to_string(megabytes) + " MiB";
    row("(a) TCP stream, direct to the sink, MB/s (" + size + ")", fixed(streamThroughput(local.sinkPort(), bytes), 0));
    row("(a) TCP stream, through socat, MB/s", haveSocat ? fixed(streamThroughput(socatPort, bytes), 0) : "socat missing");
    row("(a) TCP stream, through relay + helper, MB/s", fixed(streamThroughput(relay.tcp, bytes), 0));
    stop(socatChild);

    // (b)
    for (int connections : {1, 16, 64}) {
        const LoadResult direct = httpLoad(local.httpPort(), connections, seconds);
        const LoadResult tunnel = httpLoad(relay.http, connections, seconds);
        const std::string c = std::to_string(connections);
        auto text = [](const LoadResult& r) {
            return fixed(r.requestsPerSecond, 0) + " req/s, p50 " + fixed(r.p50, 2) + " ms, p99 " + fixed(r.p99, 2) +
                   " ms, errors " + std::to_string(r.errors);
        };
        row("(b) HTTP, " + c + " conn, direct", text(direct));
        row("(b) HTTP, " + c + " conn, relay + helper", text(tunnel));
    }

    // (c)
    const long idle = memoryKiB(helper.pid, "VmRSS");
    row("(c) helper RSS, connected and idle, KiB", std::to_string(idle));
    std::vector<int> clients;
    for (int i = 0; i < streams; ++i) {
        const int fd = connectTo(relay.tcp);
        if (fd >= 0) clients.push_back(fd);
    }
    const bool allOpen = waitFor([&] { return local.openSinks.load() >= streams; }, 60s, 20ms);
    row("(c) helper RSS, " + std::to_string(streams) + " open TCP streams, KiB",
        std::to_string(memoryKiB(helper.pid, "VmRSS")) + (allOpen ? "" : " (only " + std::to_string(local.openSinks.load()) + " open)"));
    for (int fd : clients) close(fd);
    waitFor([&] { return local.openSinks.load() == 0; }, 60s, 20ms);
    row("(c) helper RSS, after those streams closed, KiB", std::to_string(memoryKiB(helper.pid, "VmRSS")));

    const auto reconnectStart = Clock::now();
    int done = 0;
    for (int i = 0; i < reconnects; ++i) {
        const int before = relay.connections();
        relay.call("POST", "/drop");
        if (!waitFor([&] { return relay.connections() > before && relay.connected(); }, 20s, 1ms)) break;
        ++done;
    }
    const double reconnectSeconds = secondsSince(reconnectStart);
    row("(c) helper RSS, after " + std::to_string(done) + " reconnects, KiB", std::to_string(memoryKiB(helper.pid, "VmRSS")));
    row("(c) helper peak RSS (VmHWM), KiB", std::to_string(memoryKiB(helper.pid, "VmHWM")));
    row("(c) reconnects per second (back-off unit 0)", fixed(done / reconnectSeconds, 0));
    // A request still works after all that.
    const LoadResult after = httpLoad(relay.http, 1, 0.5);
    row("(c) HTTP after the reconnects, 1 conn", fixed(after.requestsPerSecond, 0) + " req/s, errors " + std::to_string(after.errors));
    stop(helper);

    std::printf("\n| measure | result |\n|---|---|\n");
    for (const auto& [name, value] : rows) std::printf("| %s | %s |\n", name.c_str(), value.c_str());
    return 0;
}
