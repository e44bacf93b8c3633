// The helper's edge tunnel end to end: the loopback relay `tessaron-edge`, the runner
// in this process, and small local services behind it.

#include "cli/edge_tunnels.h"
#include "host/lima_manager.h"
#include "support/edge_process.h"
#include "support/loopback.h"
#include "support/limactl_standin.h"
#include "support/scripted_http_server.h"
#include "host/base64.h"
#include "host/json.h"
#include "panel/http_client.h"
#include "panel/tunnel_messages.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace tessaron;
using namespace std::chrono_literals;
using tessaron::testing::EdgeProcess;
using Scripted = tessaron::testing::ScriptedHttpServer;

namespace {

int connectTo(int port) {
    const int fd = tessaron::testing::connectLoopback(port);
    if (fd < 0) return -1;
    timeval timeout{20, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    return fd;
}

std::string readToEnd(int fd) {
    std::string all;
    char buffer[65536];
    for (;;) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        all.append(buffer, static_cast<std::size_t>(n));
    }
    return all;
}

void writeAll(int fd, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0) return;
        done += static_cast<std::size_t>(n);
    }
}

// Waits until `fd` is readable, at most `seconds`.
bool readable(int fd, int seconds) {
    pollfd entry{fd, POLLIN, 0};
    return poll(&entry, 1, seconds * 1000) > 0;
}

// A loopback TCP service: every connection is served by `serve` on a thread of its own.
// Every read is bounded, and the destructor wakes and joins every connection thread.
class TCPService {
public:
    explicit TCPService(std::function<void(int client)> serve) : serve_(std::move(serve)) {
        fd_ = tessaron::testing::boundLoopbackSocket(SOCK_STREAM, port_);
        listen(fd_, 64);
        thread_ = std::thread([this] {
            while (!stopping_) {
                pollfd entry{fd_, POLLIN, 0};
                if (poll(&entry, 1, 50) <= 0) continue;
                const int client = accept(fd_, nullptr, nullptr);
                if (client < 0) continue;
                ++accepted;
                timeval timeout{20, 0};
                setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
                std::lock_guard lock(mutex_);
                clients_.push_back(client);
                workers_.emplace_back([this, client] { serve_(client); });
            }
        });
    }
    ~TCPService() {
        stopping_ = true;
        thread_.join();
        {
            std::lock_guard lock(mutex_);
            for (int client : clients_) shutdown(client, SHUT_RDWR);
        }
        for (auto& worker : workers_) worker.join();
        for (int client : clients_) close(client);
        close(fd_);
    }
    int port() const { return port_; }
    std::atomic<int> accepted{0};

private:
    std::function<void(int)> serve_;
    int fd_ = -1;
    int port_ = 0;
    std::atomic<bool> stopping_{false};
    std::mutex mutex_;
    std::vector<int> clients_;
    std::vector<std::thread> workers_;
    std::thread thread_;
};

// Echoes everything; after the client's end of data sends "bye" and closes. Counts
// connections that ended.
class EchoService : public TCPService {
public:
    EchoService() : TCPService([this](int client) { serve(client); }) {}
    std::atomic<int> ended{0};

private:
    void serve(int client) {
        char buffer[65536];
        for (;;) {
            const ssize_t n = read(client, buffer, sizeof buffer);
            if (n < 0) break;
            if (n == 0) {
                writeAll(client, "bye");
                break;
            }
            writeAll(client, std::string(buffer, static_cast<std::size_t>(n)));
        }
        shutdown(client, SHUT_RDWR);
        ++ended;
    }
};

int unusedPort() {
    int port = 0;
    const int fd = tessaron::testing::boundLoopbackSocket(SOCK_STREAM, port);
    close(fd);
    return port;
}

// The local HTTP service behind the tunnel.
struct LocalHTTP {
    std::atomic<bool> release{false};
    Scripted server{[this](const Scripted::Request& request) {
        Scripted::Response response;
        const std::string path = request.target.substr(0, request.target.find('?'));
        if (path == "/echo") {
            response.body = request.body;
            response.headers = {{"X-Method", request.method},           {"X-Host", request.header("host")},
                                {"X-Test", request.header("x-test")},
                                {"X-Keep", request.header("keep-alive")}, {"X-Upgrade", request.header("upgrade")},
                                {"X-Target", request.target}};
        } else if (path == "/cookies") {
            response.headers = {{"Set-Cookie", "a=1; Expires=Wed, 21 Oct 2037 07:28:00 GMT"},
                                {"Set-Cookie", "b=2"},
                                {"X-Multi", "one"},
                                {"X-Multi", "two"}};
            response.body = "ok";
        } else if (path == "/redirect") {
            response.status = 302;
            response.headers = {{"Location", "/elsewhere"}};
        } else if (path == "/slow") {
            for (int i = 0; i < 3000 && !release; ++i) std::this_thread::sleep_for(10ms);
            response.body = "late";
        } else {
            response.body = "root:" + request.target;
        }
        return response;
    }};
    int port = server.port();
    ~LocalHTTP() { release = true; }
};

// The runner for one relay, on its own thread.
class Tunnel {
public:
    explicit Tunnel(const std::string& edgeURL, cli::EdgeTunnelSettings settings = {},
                    std::optional<std::string> vmName = std::nullopt, std::string controlURL = "http://127.0.0.1:9") {
        configuration.machineID = "machine-1";
        configuration.controlURL = controlURL;
        configuration.localHost = "127.0.0.1";
        configuration.vmName = vmName;
        configuration.edgeURLs = {edgeURL};
        settings.printLine = [this](const std::string& line) { record(out, line); };
        settings.printError = [this](const std::string& line) { record(err, line); };
        if (settings.localRequestTimeout == 60'000ms) settings.localRequestTimeout = 20s;
        if (settings.backoffUnit == 1'000ms) settings.backoffUnit = 50ms;
        thread = std::jthread([this, settings](std::stop_token stop) {
            cli::runEdgeTunnels(configuration, "token-1", stop, settings);
        });
    }
    ~Tunnel() {
        thread.request_stop();
        thread.join();
    }
    std::vector<std::string> lines(const std::vector<std::string>& which) {
        std::lock_guard lock(mutex);
        return which;
    }
    std::vector<std::string> outLines() { std::lock_guard lock(mutex); return out; }
    std::vector<std::string> errLines() { std::lock_guard lock(mutex); return err; }

    cli::EdgeTunnelConfiguration configuration;

private:
    void record(std::vector<std::string>& into, const std::string& line) {
        std::lock_guard lock(mutex);
        into.push_back(line);
    }
    std::mutex mutex;
    std::vector<std::string> out, err;
    std::jthread thread;
};

http::Response publicRequest(const EdgeProcess& edge, const std::string& method, const std::string& path,
                             const std::string& body = "", http::Headers headers = {}) {
    http::Request request;
    request.method = method;
    request.url = "http://127.0.0.1:" + std::to_string(edge.httpPort()) + path;
    request.headers = std::move(headers);
    if (!body.empty() || method == "POST") request.body = body;
    request.timeout = 60s;
    request.maxResponseBytes = 64u << 20;
    return http::perform(request);
}

std::vector<std::string> headerValues(const http::Response& response, const std::string& name) {
    std::vector<std::string> values;
    for (const auto& [key, value] : response.headers) {
        if (strcasecmp(key.c_str(), name.c_str()) == 0) values.push_back(value);
    }
    return values;
}

// The response frame for request id `id`, once the relay has it.
std::optional<tunnel::TunnelResponseMessage> responseFrame(const EdgeProcess& edge, const std::string& id,
                                                          double seconds = 20) {
    std::optional<tunnel::TunnelResponseMessage> found;
    EdgeProcess::waitFor([&] {
        for (const auto& frame : edge.frames("response")) {
            auto message = tunnel::decodeResponse(frame);
            if (message.id == id) {
                found = message;
                return true;
            }
        }
        return false;
    }, seconds);
    return found;
}

std::vector<tunnel::TunnelStreamControlMessage> controlFrames(const EdgeProcess& edge, const std::string& id) {
    std::vector<tunnel::TunnelStreamControlMessage> found;
    for (const auto& frame : edge.frames()) {
        const auto object = json::parseObject(frame);
        const std::string type = json::string(object, "type");
        if (type.rfind("stream_", 0) == 0 && type != "stream_data" && json::string(object, "id") == id) {
            found.push_back(tunnel::decodeStreamControl(frame));
        }
    }
    return found;
}

void waitConnected(const EdgeProcess& edge, Tunnel& tunnel, std::size_t lines = 1) {
    ASSERT_TRUE(EdgeProcess::waitFor([&] { return tunnel.outLines().size() >= lines && edge.connected(); }));
}

std::string requestFrame(const std::string& id, const std::string& method, const std::string& path, int port,
                         const tunnel::HeaderFields& headers = {}, const std::string& body = "") {
    return tunnel::encode(tunnel::TunnelRequestMessage{"request", id, method, path, headers, base64Encode(body), port});
}

}  // namespace

TEST(EdgeTunnel, HandshakeCarriesTheCredentialsAndReadyPrintsTheConnectedLine) {
    EdgeProcess edge({"--token", "token-1", "--machine-id", "machine-1", "--ready-count", "2"});
    Tunnel tunnel(edge.wsURL());
    waitConnected(edge, tunnel, 2);
    EXPECT_EQ(tunnel.outLines()[0], "Tunnel connected to 127.0.0.1 for machine-1.");
    const auto state = json::parseObject(edge.state());
    EXPECT_EQ(json::string(state, "authorization"), "Bearer token-1");
    EXPECT_EQ(json::string(state, "machineId"), "machine-1");

    // A relay that refuses the token: every attempt fails and is reported.
    EdgeProcess strict({"--token", "other"});
    Tunnel refused(strict.wsURL());
    ASSERT_TRUE(EdgeProcess::waitFor([&] { return refused.errLines().size() >= 2; }));
    EXPECT_EQ(refused.errLines()[0].rfind("Tunnel disconnected: ", 0), 0u) << refused.errLines()[0];
    EXPECT_TRUE(refused.outLines().empty());
}

TEST(EdgeTunnel, HTTPBodiesAndHeadersTravelBothWays) {
    EdgeProcess edge;
    LocalHTTP local;
    EdgeProcess relay({"--http-target", std::to_string(local.port)});
    Tunnel tunnel(relay.wsURL());
    waitConnected(relay, tunnel);

    std::string binary;
    for (int i = 0; i < 3 * 1024 * 1024 + 7; ++i) binary += static_cast<char>((i * 131) & 0xff);
    for (const std::string& body : {std::string(), std::string("\0\x01\xff\r\n", 5), binary}) {
        const auto response = publicRequest(relay, "POST", "/echo?q=1", body, {{"X-Test", "yes"}});
        ASSERT_EQ(response.status, 200);
        EXPECT_EQ(response.body.size(), body.size());
        EXPECT_TRUE(response.body == body);
        EXPECT_EQ(response.header("X-Target").value_or(""), "/echo?q=1");
        EXPECT_EQ(response.header("X-Method").value_or(""), "POST");
        EXPECT_EQ(response.header("X-Test").value_or(""), "yes");
    }

    // Repeated response fields are kept: each Set-Cookie as its own line, others joined.
    const auto cookies = publicRequest(relay, "GET", "/cookies");
    ASSERT_EQ(cookies.status, 200);
    const auto setCookies = headerValues(cookies, "Set-Cookie");
    ASSERT_EQ(setCookies.size(), 2u);
    EXPECT_EQ(setCookies[0], "a=1; Expires=Wed, 21 Oct 2037 07:28:00 GMT");
    EXPECT_EQ(setCookies[1], "b=2");
    EXPECT_EQ(cookies.header("X-Multi").value_or(""), "one, two");

    // Redirects are passed through, not followed.
    const auto redirect = publicRequest(relay, "GET", "/redirect");
    EXPECT_EQ(redirect.status, 302);
    EXPECT_EQ(redirect.header("Location").value_or(""), "/elsewhere");
}

TEST(EdgeTunnel, RequestFramesAreCheckedFilteredAndAnsweredWithErrors) {
    EdgeProcess edge;
    LocalHTTP local;
    Tunnel tunnel(edge.wsURL());
    waitConnected(edge, tunnel);

    // Hop-by-hop fields are dropped (the local service sees its own Host); others pass.
    edge.send(requestFrame("h", "POST", "/echo", local.port,
                           {{"HOST", "evil.example"}, {"Upgrade", "websocket"}, {"Keep-Alive", "timeout=5"},
                            {"Content-Length", "999"}, {"Transfer-Encoding", "chunked"}, {"Connection", "close"}},
                           "abc"));
    auto filtered = responseFrame(edge, "h");
    ASSERT_TRUE(filtered);
    EXPECT_EQ(filtered->status, 200);
    EXPECT_EQ(base64Decode(filtered->body), "abc");
    EXPECT_EQ(filtered->headers["X-Host"], "127.0.0.1:" + std::to_string(local.port));
    EXPECT_EQ(filtered->headers["X-Upgrade"], "");
    EXPECT_EQ(filtered->headers["X-Keep"], "timeout=5");

    // An empty path goes to "/".
    edge.send(requestFrame("root", "GET", "", local.port));
    auto root = responseFrame(edge, "root");
    ASSERT_TRUE(root);
    EXPECT_EQ(base64Decode(root->body), "root:/");

    struct Case {
        std::string id;
        std::string frame;
        int status;
        std::string text;
    };
    const int closedPort = unusedPort();
    const std::vector<Case> cases = {
        {"p0", requestFrame("p0", "GET", "/", 0), 400, "Invalid local target."},
        {"p1", requestFrame("p1", "GET", "/", 65536), 400, "Invalid local target."},
        {"sp", requestFrame("sp", "GET", "/a b", local.port), 400, "Invalid local target."},
        {"crlf", requestFrame("crlf", "GET", "/", local.port, {{"X-A", "1\r\nX-Injected: 1"}}), 400,
         "Invalid request header fields."},
        {"name", requestFrame("name", "GET", "/", local.port, {{"X A", "1"}}), 400, "Invalid request header fields."},
        {"method", requestFrame("method", "GET / HTTP/1.1\r\n", "/", local.port), 400, "Invalid request header fields."},
        {"closed", requestFrame("closed", "GET", "/", closedPort), 502,
         "Local port " + std::to_string(closedPort) + " is unavailable."},
    };
    const std::size_t before = local.server.requests().size();
    for (const auto& c : cases) edge.send(c.frame);
    for (const auto& c : cases) {
        auto response = responseFrame(edge, c.id);
        ASSERT_TRUE(response) << c.id;
        EXPECT_EQ(response->status, c.status) << c.id;
        EXPECT_EQ(base64Decode(response->body), c.text) << c.id;
        EXPECT_EQ(response->headers, (tunnel::HeaderFields{{"content-type", "text/plain; charset=utf-8"}})) << c.id;
    }
    // None of the refused requests reached the local service.
    EXPECT_EQ(local.server.requests().size(), before);
}

TEST(EdgeTunnel, ALocalServiceThatNeverAnswersTimesOutAndOneThatSpeaksNoHTTPIsInvalid) {
    EdgeProcess edge;
    LocalHTTP local;
    cli::EdgeTunnelSettings settings;
    settings.localRequestTimeout = 300ms;
    Tunnel tunnel(edge.wsURL(), settings);
    waitConnected(edge, tunnel);
    edge.send(requestFrame("slow", "GET", "/slow", local.port));
    auto slow = responseFrame(edge, "slow");
    ASSERT_TRUE(slow);
    EXPECT_EQ(slow->status, 502);
    EXPECT_EQ(base64Decode(slow->body), "Local port " + std::to_string(local.port) + " is unavailable.");

    // A service that answers garbage.
    int port = 0;
    const int fd = tessaron::testing::boundLoopbackSocket(SOCK_STREAM, port);
    listen(fd, 4);
    std::thread garbage([fd] {
        if (!readable(fd, 20)) return;
        const int client = accept(fd, nullptr, nullptr);
        if (client < 0) return;
        timeval timeout{20, 0};
        setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        char buffer[4096];
        (void)read(client, buffer, sizeof buffer);
        writeAll(client, "SSH-2.0-OpenSSH\r\n\r\n");
        close(client);
    });
    edge.send(requestFrame("bad", "GET", "/", port));
    auto bad = responseFrame(edge, "bad");
    garbage.join();
    close(fd);
    ASSERT_TRUE(bad);
    EXPECT_EQ(bad->status, 502);
    EXPECT_EQ(base64Decode(bad->body), "The local service returned an invalid response.");
}

TEST(EdgeTunnel, TCPStreamsCarryBothDirectionsWithHalfClose) {
    EchoService echo;
    EdgeProcess edge({"--tcp-target", std::to_string(echo.port())});
    Tunnel tunnel(edge.wsURL());
    waitConnected(edge, tunnel);

    std::string payload;
    for (int i = 0; i < 1'500'000; ++i) payload += static_cast<char>(i * 7);
    std::vector<std::thread> clients;
    std::atomic<int> good{0};
    for (int c = 0; c < 4; ++c) {
        clients.emplace_back([&] {
            const int fd = connectTo(edge.tcpPort());
            if (fd < 0) return;
            std::thread writer([&, fd] {
                writeAll(fd, payload);
                shutdown(fd, SHUT_WR);  // the echo service answers "bye" after our end of data
            });
            const std::string answer = readToEnd(fd);
            writer.join();
            close(fd);
            if (answer == payload + "bye") ++good;
        });
    }
    for (auto& t : clients) t.join();
    EXPECT_EQ(good.load(), 4);
    // Every local connection ended and was closed; the relay saw data then end.
    EXPECT_TRUE(EdgeProcess::waitFor([&] { return echo.ended.load() == 4; }));
    EXPECT_FALSE(edge.frames("stream_end").empty());
}

TEST(EdgeTunnel, StreamOpenFailuresAndCloses) {
    EchoService echo;
    EdgeProcess edge;
    Tunnel tunnel(edge.wsURL());
    waitConnected(edge, tunnel);
    auto open = [&](const std::string& id, int port, const std::string& transport = "tcp") {
        edge.send(R"({"type":"stream_open","id":")" + id + R"(","transport":")" + transport +
                  R"(","targetPort":)" + std::to_string(port) + "}");
    };
    auto waitControl = [&](const std::string& id, std::size_t count) {
        EXPECT_TRUE(EdgeProcess::waitFor([&] { return controlFrames(edge, id).size() >= count; })) << id;
        return controlFrames(edge, id);
    };

    open("live", echo.port());
    ASSERT_EQ(waitControl("live", 1)[0].type, "stream_opened");
    // Same id again, port 0 and 65536: invalid; the open stream is untouched.
    open("live", echo.port());
    open("zero", 0);
    open("big", 65536);
    const auto again = waitControl("live", 2);
    EXPECT_EQ(again[1].type, "stream_open_error");
    EXPECT_EQ(again[1].error.value_or(""), "The requested stream is invalid.");
    EXPECT_EQ(waitControl("zero", 1)[0].error.value_or(""), "The requested stream is invalid.");
    EXPECT_EQ(waitControl("big", 1)[0].error.value_or(""), "The requested stream is invalid.");
    edge.send(R"({"type":"stream_data","id":"live","data":")" + base64Encode("ping") + "\"}");
    ASSERT_TRUE(EdgeProcess::waitFor([&] { return !edge.frames("stream_data").empty(); }));
    EXPECT_EQ(base64Decode(tunnel::decodeStreamData(edge.frames("stream_data")[0]).data), "ping");

    // A refused local port answers at once.
    open("refused", unusedPort());
    const auto refused = waitControl("refused", 1);
    EXPECT_EQ(refused[0].type, "stream_open_error");
    EXPECT_FALSE(refused[0].error.value_or("").empty());

    // Invalid Base64 closes the stream with one stream_close; the local socket is closed.
    edge.send(R"({"type":"stream_data","id":"live","data":"no base64!"})");
    const auto closed = waitControl("live", 3);
    EXPECT_EQ(closed[2].type, "stream_close");
    EXPECT_TRUE(EdgeProcess::waitFor([&] { return echo.ended.load() == 1; }));

    // The edge's stream_close for an open stream: local side closed, nothing sent back.
    open("quiet", echo.port());
    waitControl("quiet", 1);
    edge.send(R"({"type":"stream_close","id":"quiet"})");
    EXPECT_TRUE(EdgeProcess::waitFor([&] { return echo.ended.load() == 2; }));
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(controlFrames(edge, "quiet").size(), 1u);
}

TEST(EdgeTunnel, UDPDatagramsTravelOneFramePerDatagram) {
    // The service answers every datagram with "re:" + the datagram, until the test ends.
    int port = 0;
    const int service = tessaron::testing::boundLoopbackSocket(SOCK_DGRAM, port);
    std::atomic<bool> done{false};
    std::thread echo([&] {
        char buffer[65536];
        while (!done) {
            pollfd entry{service, POLLIN, 0};
            if (poll(&entry, 1, 50) <= 0) continue;
            sockaddr_in from{};
            socklen_t length = sizeof from;
            const ssize_t n = recvfrom(service, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &length);
            if (n < 0) continue;
            const std::string reply = "re:" + std::string(buffer, static_cast<std::size_t>(n));
            sendto(service, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&from), length);
        }
    });
    EdgeProcess edge({"--udp-target", std::to_string(port)});
    Tunnel tunnel(edge.wsURL());
    waitConnected(edge, tunnel);

    int clientPort = 0;
    const int client = tessaron::testing::boundLoopbackSocket(SOCK_DGRAM, clientPort);
    timeval timeout{20, 0};
    setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    sockaddr_in relay{};
    relay.sin_family = AF_INET;
    relay.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    relay.sin_port = htons(static_cast<uint16_t>(edge.udpPort()));
    std::vector<std::string> replies;
    for (const std::string& datagram : {std::string("one"), std::string("two"), std::string("\0three\n", 7)}) {
        sendto(client, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&relay), sizeof relay);
        char buffer[65536];
        const ssize_t n = recv(client, buffer, sizeof buffer, 0);
        replies.emplace_back(buffer, n > 0 ? static_cast<std::size_t>(n) : 0);
    }
    EXPECT_EQ(replies, (std::vector<std::string>{"re:one", "re:two", std::string("re:\0three\n", 10)}));
    // One frame per datagram from the service.
    EXPECT_EQ(edge.frames("stream_data").size(), 3u);
    close(client);

    // "stream_end" on a UDP stream changes nothing: later datagrams still travel.
    edge.send(R"({"type":"stream_open","id":"ud","transport":"udp","targetPort":)" + std::to_string(port) + "}");
    ASSERT_TRUE(EdgeProcess::waitFor([&] { return !controlFrames(edge, "ud").empty(); }));
    EXPECT_EQ(controlFrames(edge, "ud")[0].type, "stream_opened");
    auto repliesOn = [&](const std::string& id) {
        std::vector<std::string> found;
        for (const auto& frame : edge.frames("stream_data")) {
            const auto message = tunnel::decodeStreamData(frame);
            if (message.id == id) found.push_back(base64Decode(message.data).value_or("?"));
        }
        return found;
    };
    edge.send(R"({"type":"stream_data","id":"ud","data":")" + base64Encode("a") + "\"}");
    ASSERT_TRUE(EdgeProcess::waitFor([&] { return repliesOn("ud").size() == 1; }));
    edge.send(R"({"type":"stream_end","id":"ud"})");
    edge.send(R"({"type":"stream_data","id":"ud","data":")" + base64Encode("b") + "\"}");
    ASSERT_TRUE(EdgeProcess::waitFor([&] { return repliesOn("ud").size() == 2; }));
    EXPECT_EQ(repliesOn("ud"), (std::vector<std::string>{"re:a", "re:b"}));
    EXPECT_EQ(controlFrames(edge, "ud").size(), 1u);

    done = true;
    echo.join();
    close(service);
}

TEST(EdgeTunnel, PortTwentyTwoGoesToTheVMsSSHPort) {
    EchoService ssh;
    EchoService plain;
    EdgeProcess edge({"--tcp-target", "22"});
    cli::EdgeTunnelSettings settings;
    std::atomic<int> lookups{0};
    settings.sshLocalPort = [&](const std::string& vmName) {
        ++lookups;
        if (vmName != "tessaron") throw std::runtime_error("unknown VM");
        return ssh.port();
    };
    Tunnel tunnel(edge.wsURL(), settings, std::string("tessaron"));
    waitConnected(edge, tunnel);
    const int fd = connectTo(edge.tcpPort());
    ASSERT_GE(fd, 0);
    writeAll(fd, "hello");
    shutdown(fd, SHUT_WR);
    EXPECT_EQ(readToEnd(fd), "hellobye");
    close(fd);
    EXPECT_EQ(ssh.accepted.load(), 1);
    EXPECT_EQ(lookups.load(), 1);

    // UDP 22 is not redirected: it goes to the local host's port 22 (nothing listens, the open still succeeds).
    edge.send(R"({"type":"stream_open","id":"u22","transport":"udp","targetPort":22})");
    ASSERT_TRUE(EdgeProcess::waitFor([&] { return !controlFrames(edge, "u22").empty(); }));
    EXPECT_EQ(lookups.load(), 1);

    // A failing look-up answers stream_open_error with its text.
    settings.sshLocalPort = [](const std::string&) -> int { throw std::runtime_error("The VM is not running."); };
    EdgeProcess edge2;
    Tunnel failing(edge2.wsURL(), settings, std::string("tessaron"));
    waitConnected(edge2, failing);
    edge2.send(R"({"type":"stream_open","id":"s","transport":"tcp","targetPort":22})");
    ASSERT_TRUE(EdgeProcess::waitFor([&] { return !controlFrames(edge2, "s").empty(); }));
    EXPECT_EQ(controlFrames(edge2, "s")[0].error.value_or(""), "The VM is not running.");
}

TEST(EdgeTunnel, ADroppedOrBrokenConnectionClosesStreamsAndReconnects) {
    EchoService echo;
    EdgeProcess edge;
    Tunnel tunnel(edge.wsURL());
    waitConnected(edge, tunnel);
    edge.send(R"({"type":"stream_open","id":"a","transport":"tcp","targetPort":)" + std::to_string(echo.port()) + "}");
    ASSERT_TRUE(EdgeProcess::waitFor([&] { return !controlFrames(edge, "a").empty(); }));

    // Unknown types and non-JSON are ignored; the connection stays.
    edge.send(R"({"type":"ping"})");
    edge.send("garbage");
    // A known type with a bad body ends the connection; the open stream's socket is closed.
    edge.send(R"({"type":"stream_data","id":"a"})");
    ASSERT_TRUE(EdgeProcess::waitFor([&] { return echo.ended.load() == 1; }));
    ASSERT_TRUE(EdgeProcess::waitFor([&] { return edge.connections() >= 2 && edge.connected(); }));
    EXPECT_EQ(tunnel.errLines().size(), 1u);
    EXPECT_EQ(controlFrames(edge, "a").size(), 1u);  // no stream_close from the readers

    // The relay drops the socket: reconnect again.
    edge.drop();
    ASSERT_TRUE(EdgeProcess::waitFor([&] { return edge.connections() >= 3 && edge.connected(); }));
    EXPECT_GE(tunnel.errLines().size(), 2u);
    EXPECT_EQ(tunnel.errLines().back().rfind("Tunnel disconnected: ", 0), 0u);
}

TEST(EdgeTunnel, BackOffDoublesToThirtyUnits) {
    cli::EdgeTunnelSettings settings;
    settings.backoffUnit = 1ms;
    std::mutex mutex;
    std::vector<long> waits;
    settings.onBackoff = [&](std::chrono::milliseconds wait) {
        std::lock_guard lock(mutex);
        waits.push_back(wait.count());
    };
    {
        Tunnel tunnel("ws://127.0.0.1:" + std::to_string(unusedPort()) + "/", settings);
        ASSERT_TRUE(EdgeProcess::waitFor([&] {
            std::lock_guard lock(mutex);
            return waits.size() >= 8;
        }));
        EXPECT_GE(tunnel.errLines().size(), 8u);
    }
    std::lock_guard lock(mutex);
    EXPECT_EQ(std::vector<long>(waits.begin(), waits.begin() + 8), (std::vector<long>{1, 2, 4, 8, 16, 30, 30, 30}));
}

TEST(EdgeTunnel, HeartbeatsGoToTheRelayAndThePanel) {
    Scripted panel([](const Scripted::Request&) {
        Scripted::Response response;
        response.status = 204;
        return response;
    });
    const int panelPort = panel.port();

    EdgeProcess edge;
    cli::EdgeTunnelSettings settings;
    settings.heartbeatPeriod = 100ms;
    {
        Tunnel tunnel(edge.wsURL(), settings, std::nullopt, "http://127.0.0.1:" + std::to_string(panelPort) + "/some/path");
        ASSERT_TRUE(EdgeProcess::waitFor(
            [&] { return panel.requests().size() >= 2 && edge.frames("heartbeat").size() >= 2; }));
    }
    const auto heartbeat = tunnel::decodeHeartbeat(edge.frames("heartbeat")[0]);
    EXPECT_EQ(heartbeat.at.size(), 20u);
    const auto post = panel.requests()[0];
    EXPECT_EQ(post.method, "POST");
    EXPECT_EQ(post.target, "/api/tessaron/agent/heartbeat");
    EXPECT_EQ(post.header("authorization"), "Bearer token-1");
    EXPECT_EQ(json::string(json::parseObject(post.body), "machineId"), "machine-1");
}

TEST(EdgeTunnel, AnEmptyEdgeListReturnsAtOnceAndStopEndsEveryRunner) {
    cli::EdgeTunnelConfiguration configuration;
    std::stop_source never;
    cli::runEdgeTunnels(configuration, "t", never.get_token());  // returns

    EdgeProcess one, two;
    configuration.machineID = "m";
    configuration.controlURL = "http://127.0.0.1:9";
    configuration.edgeURLs = {one.wsURL(), two.wsURL()};
    std::stop_source stop;
    cli::EdgeTunnelSettings settings;
    settings.printLine = [](const std::string&) {};
    std::thread group([&] { cli::runEdgeTunnels(configuration, "t", stop.get_token(), settings); });
    ASSERT_TRUE(EdgeProcess::waitFor([&] { return one.connected() && two.connected(); }));
    stop.request_stop();
    group.join();
    EXPECT_TRUE(EdgeProcess::waitFor([&] { return !one.connected() && !two.connected(); }));
}

TEST(EdgeTunnel, PortTwentyTwoReachesTheSSHServerOfTheStandinVM) {
    tessaron::testing::StandinLimaHome lima;
    ASSERT_EQ(lima.create("tessaron").exitCode, 0);
    EdgeProcess edge({"--tcp-target", "22"});
    cli::EdgeTunnelSettings settings;
    // What `serve` uses: the port that limactl reports for the VM.
    settings.sshLocalPort = [](const std::string& vmName) {
        return LimaManager(vmName, tessaron::testing::limactlPath().string()).sshLocalPort();
    };
    Tunnel tunnel(edge.wsURL(), settings, std::string("tessaron"));
    waitConnected(edge, tunnel);

    const int fd = connectTo(edge.tcpPort());
    ASSERT_GE(fd, 0);
    std::string banner;
    char c;
    while (banner.size() < 200) {
        const ssize_t n = read(fd, &c, 1);
        if (n < 0 && errno == EINTR) continue;  // a signal to the test process, not the end of the stream
        if (n != 1 || c == '\n') break;
        banner += c;
    }
    close(fd);
    EXPECT_EQ(banner.rfind("SSH-2.0-", 0), 0u) << banner;
}

TEST(EdgeTunnel, AnOpenThatFailsLateLeavesANewerStreamOfTheSameIdAlone) {
    EchoService echo;
    EdgeProcess edge;
    // The VM's SSH port look-up is held until the test lets it go, then fails or answers.
    std::mutex mutex;
    std::condition_variable changed;
    int released = 0;
    std::atomic<int> lookups{0};
    cli::EdgeTunnelSettings settings;
    settings.sshLocalPort = [&](const std::string&) -> int {
        const int call = ++lookups;
        std::unique_lock lock(mutex);
        changed.wait_for(lock, 20s, [&] { return released >= call; });
        if (call == 1) throw std::runtime_error("The VM is not running.");
        return echo.port();
    };
    Tunnel tunnel(edge.wsURL(), settings, std::string("tessaron"));
    waitConnected(edge, tunnel);
    auto release = [&] {
        std::lock_guard lock(mutex);
        ++released;
        changed.notify_all();
    };
    auto dataOn = [&](const std::string& id) {
        std::string all;
        for (const auto& frame : edge.frames("stream_data")) {
            const auto message = tunnel::decodeStreamData(frame);
            if (message.id == id) all += base64Decode(message.data).value_or("?");
        }
        return all;
    };
    auto ping = [&](const std::string& id, const std::string& text) {
        edge.send(R"({"type":"stream_data","id":")" + id + R"(","data":")" + base64Encode(text) + "\"}");
    };
    const std::string toEcho = std::to_string(echo.port());

    // Port 22 waits in the look-up; meanwhile the same id opens to the echo service.
    for (const std::string id : {"x", "y"}) {
        const int waiting = lookups.load() + 1;
        edge.send(R"({"type":"stream_open","id":")" + id + R"(","transport":"tcp","targetPort":22})");
        ASSERT_TRUE(EdgeProcess::waitFor([&] { return lookups.load() == waiting; }));
        edge.send(R"({"type":"stream_open","id":")" + id + R"(","transport":"tcp","targetPort":)" + toEcho + "}");
        ASSERT_TRUE(EdgeProcess::waitFor([&] { return controlFrames(edge, id).size() == 1; }));
        EXPECT_EQ(controlFrames(edge, id)[0].type, "stream_opened");
        release();
        ASSERT_TRUE(EdgeProcess::waitFor([&] { return controlFrames(edge, id).size() == 2; }));
        EXPECT_EQ(controlFrames(edge, id)[1].type, "stream_open_error");
        // The late failure (x: the look-up failed; y: the id was taken meanwhile) leaves
        // the open stream working.
        ping(id, "still-" + id);
        EXPECT_TRUE(EdgeProcess::waitFor([&] { return dataOn(id) == "still-" + id; })) << id;
    }
    EXPECT_EQ(controlFrames(edge, "x")[1].error.value_or(""), "The VM is not running.");
    EXPECT_EQ(controlFrames(edge, "y")[1].error.value_or(""), "The requested stream is invalid.");
    EXPECT_EQ(echo.accepted.load(), 2);
}

TEST(EdgeTunnel, WhenTheGuestEndsItsOutputTheStreamEndsAndTheLocalSocketIsClosed) {
    // The guest sends a greeting, ends its output, and then waits to see the helper close.
    int port = 0;
    const int listener = tessaron::testing::boundLoopbackSocket(SOCK_STREAM, port);
    listen(listener, 4);
    std::atomic<bool> sawClose{false};
    std::thread guest([&] {
        if (!readable(listener, 20)) return;
        const int client = accept(listener, nullptr, nullptr);
        if (client < 0) return;
        writeAll(client, "hello");
        shutdown(client, SHUT_WR);
        char buffer[256];
        if (readable(client, 20) && read(client, buffer, sizeof buffer) == 0) sawClose = true;
        close(client);
    });
    EdgeProcess edge;
    Tunnel tunnel(edge.wsURL());
    waitConnected(edge, tunnel);
    edge.send(R"({"type":"stream_open","id":"g","transport":"tcp","targetPort":)" + std::to_string(port) + "}");
    guest.join();
    close(listener);
    EXPECT_TRUE(sawClose.load());
    ASSERT_TRUE(EdgeProcess::waitFor([&] { return controlFrames(edge, "g").size() >= 2; }));

    // The edge saw: opened, the data, the end; and nothing more, even for later data.
    edge.send(R"({"type":"stream_data","id":"g","data":")" + base64Encode("late") + "\"}");
    edge.send(R"({"type":"stream_end","id":"g"})");
    edge.send(R"({"type":"ready"})");  // a marker: once it is answered, the frames above were handled
    ASSERT_TRUE(EdgeProcess::waitFor([&] { return tunnel.outLines().size() >= 2; }));
    std::vector<std::string> seen;
    for (const auto& frame : edge.frames()) {
        const auto object = json::parseObject(frame);
        if (json::optionalString(object, "id") == std::optional<std::string>("g")) seen.push_back(json::string(object, "type"));
    }
    EXPECT_EQ(seen, (std::vector<std::string>{"stream_opened", "stream_data", "stream_end"}));
    EXPECT_EQ(base64Decode(tunnel::decodeStreamData(edge.frames("stream_data").at(0)).data), "hello");
}

TEST(EdgeTunnel, AStreamStillConnectingIsCancelledByTheEdgeOrTimesOut) {
    // A listener whose accept queue is full: connections to it stay in their handshake.
    int port = 0;
    const int listener = tessaron::testing::boundLoopbackSocket(SOCK_STREAM, port);
    listen(listener, 0);
    std::vector<int> fillers;
    for (int i = 0; i < 4; ++i) {
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(static_cast<uint16_t>(port));
        connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        fillers.push_back(fd);
    }
    std::this_thread::sleep_for(200ms);

    EdgeProcess edge;
    cli::EdgeTunnelSettings settings;
    settings.streamConnectTimeout = 1500ms;
    Tunnel tunnel(edge.wsURL(), settings);
    waitConnected(edge, tunnel);
    const std::string open = R"(","transport":"tcp","targetPort":)" + std::to_string(port) + "}";
    edge.send(R"({"type":"stream_open","id":"c)" + open);
    std::this_thread::sleep_for(300ms);
    EXPECT_TRUE(controlFrames(edge, "c").empty());  // still connecting
    edge.send(R"({"type":"stream_close","id":"c"})");
    ASSERT_TRUE(EdgeProcess::waitFor([&] { return !controlFrames(edge, "c").empty(); }));
    EXPECT_EQ(controlFrames(edge, "c")[0].type, "stream_open_error");
    EXPECT_EQ(controlFrames(edge, "c")[0].error.value_or(""), "The local connection was cancelled.");

    edge.send(R"({"type":"stream_open","id":"t)" + open);
    ASSERT_TRUE(EdgeProcess::waitFor([&] { return !controlFrames(edge, "t").empty(); }));
    EXPECT_EQ(controlFrames(edge, "t")[0].type, "stream_open_error");
    EXPECT_EQ(controlFrames(edge, "t")[0].error.value_or(""), "The local connection timed out.");
    for (int fd : fillers) close(fd);
    close(listener);
}

TEST(EdgeTunnel, DataSentRightAfterTheOpenWaitsForTheLocalConnection) {
    EchoService echo;
    EdgeProcess edge;
    Tunnel tunnel(edge.wsURL());
    waitConnected(edge, tunnel);
    auto open = [](const std::string& id, int port) {
        return R"({"type":"stream_open","id":")" + id + R"(","transport":"tcp","targetPort":)" + std::to_string(port) + "}";
    };
    auto data = [](const std::string& id, const std::string& text) {
        return R"({"type":"stream_data","id":")" + id + R"(","data":")" + base64Encode(text) + "\"}";
    };
    auto dataOn = [&](const std::string& id) {
        std::string all;
        for (const auto& frame : edge.frames("stream_data")) {
            const auto message = tunnel::decodeStreamData(frame);
            if (message.id == id) all += base64Decode(message.data).value_or("?");
        }
        return all;
    };

    // Open, data and end of data back to back: nothing is lost while connecting.
    edge.sendTogether({open("early", echo.port()), data("early", "first,"), data("early", "second"),
                       R"({"type":"stream_end","id":"early"})"});
    ASSERT_TRUE(EdgeProcess::waitFor([&] { return controlFrames(edge, "early").size() >= 2; }));
    EXPECT_EQ(controlFrames(edge, "early")[0].type, "stream_opened");
    EXPECT_EQ(controlFrames(edge, "early")[1].type, "stream_end");
    EXPECT_EQ(dataOn("early"), "first,secondbye");

    // When that connection fails, the open alone reports it.
    const int closedPort = unusedPort();
    edge.sendTogether({open("lost", closedPort), data("lost", "x"), R"({"type":"stream_end","id":"lost"})",
                       R"({"type":"ready"})"});
    ASSERT_TRUE(EdgeProcess::waitFor([&] { return !controlFrames(edge, "lost").empty() && tunnel.outLines().size() >= 2; }));
    std::this_thread::sleep_for(100ms);
    const auto lost = controlFrames(edge, "lost");
    ASSERT_EQ(lost.size(), 1u);
    EXPECT_EQ(lost[0].type, "stream_open_error");
}

TEST(EdgeTunnel, AStopDuringAnUnansweredHandshakeEndsPromptly) {
    // A relay that takes the connection and never answers the WebSocket handshake.
    int port = 0;
    const int listener = tessaron::testing::boundLoopbackSocket(SOCK_STREAM, port);
    listen(listener, 4);
    cli::EdgeTunnelSettings settings;
    settings.connectTimeout = 60s;
    std::optional<Tunnel> tunnel;
    tunnel.emplace("ws://127.0.0.1:" + std::to_string(port) + "/tunnel", settings);
    std::this_thread::sleep_for(300ms);
    const auto start = std::chrono::steady_clock::now();
    tunnel.reset();  // stop and join
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
    close(listener);
}

TEST(EdgeTunnel, DisconnectsReadAsSentencesAndTheErrorExitClosesWithGoingAway) {
    {
        // Nothing listens: the line carries the system's message alone, no library location.
        Tunnel refused("ws://127.0.0.1:" + std::to_string(unusedPort()) + "/");
        ASSERT_TRUE(EdgeProcess::waitFor([&] { return !refused.errLines().empty(); }));
        EXPECT_EQ(refused.errLines()[0], "Tunnel disconnected: Connection refused.");
    }
    EdgeProcess edge;
    Tunnel tunnel(edge.wsURL());
    waitConnected(edge, tunnel);
    // A known frame type that does not decode ends the connection with a close frame 1001.
    edge.send(R"({"type":"stream_open","id":"x","transport":"sctp","targetPort":80})");
    ASSERT_TRUE(EdgeProcess::waitFor([&] { return edge.connections() >= 2 && edge.connected(); }));
    EXPECT_EQ(json::int64(json::parseObject(edge.state()), "closeCode"), 1001);
    ASSERT_FALSE(tunnel.errLines().empty());
    EXPECT_EQ(tunnel.errLines()[0].find(" at /"), std::string::npos) << tunnel.errLines()[0];
}

TEST(EdgeTunnel, AStopDoesNotWaitForAPanelHeartbeatInFlight) {
    std::atomic<bool> release{false};
    std::atomic<int> posts{0};
    Scripted panel([&](const Scripted::Request&) {
        ++posts;
        for (int i = 0; i < 3000 && !release; ++i) std::this_thread::sleep_for(10ms);
        Scripted::Response response;
        response.status = 204;
        return response;
    });
    EdgeProcess edge;
    std::optional<Tunnel> tunnel;
    tunnel.emplace(edge.wsURL(), cli::EdgeTunnelSettings{}, std::nullopt, "http://127.0.0.1:" + std::to_string(panel.port()));
    ASSERT_TRUE(EdgeProcess::waitFor([&] { return posts.load() >= 1; }));
    const auto start = std::chrono::steady_clock::now();
    tunnel.reset();  // the POST would hold for 30 s
    const auto stopTook = std::chrono::steady_clock::now() - start;
    release = true;
    EXPECT_LT(stopTook, 10s);
}

TEST(EdgeTunnel, TheBackOffStartsAgainAfterAConnectionThatLasted) {
    EdgeProcess edge;
    cli::EdgeTunnelSettings settings;
    settings.backoffUnit = 100ms;  // the longest wait, and so a lasting connection, is 3 s
    std::mutex mutex;
    std::vector<long> waits;
    settings.onBackoff = [&](std::chrono::milliseconds wait) {
        std::lock_guard lock(mutex);
        waits.push_back(wait.count());
    };
    auto waitCount = [&](std::size_t n) {
        return EdgeProcess::waitFor([&] {
            std::lock_guard lock(mutex);
            return waits.size() >= n;
        });
    };
    Tunnel tunnel(edge.wsURL(), settings);
    for (int drop = 1; drop <= 2; ++drop) {  // short connections: the waits double
        ASSERT_TRUE(EdgeProcess::waitFor([&] { return edge.connections() >= drop && edge.connected(); }));
        edge.drop();
        ASSERT_TRUE(waitCount(static_cast<std::size_t>(drop)));
    }
    ASSERT_TRUE(EdgeProcess::waitFor([&] { return edge.connections() >= 3 && edge.connected(); }));
    std::this_thread::sleep_for(3500ms);
    edge.drop();
    ASSERT_TRUE(waitCount(3));
    std::lock_guard lock(mutex);
    EXPECT_EQ(std::vector<long>(waits.begin(), waits.begin() + 3), (std::vector<long>{100, 200, 100}));
}

// A local HTTP service that answers every request with "ok"; it keeps connections alive,
// or closes each one after its answer without saying so (as after an idle time-out).
class KeepAliveService : public TCPService {
public:
    explicit KeepAliveService(bool closeAfterAnswer)
        : TCPService([this](int client) { serve(client); }), closeAfterAnswer_(closeAfterAnswer) {}

private:
    void serve(int client) {
        std::string pending;
        char buffer[4096];
        for (;;) {
            const ssize_t n = read(client, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            pending.append(buffer, static_cast<std::size_t>(n));
            bool answered = false;
            for (auto end = pending.find("\r\n\r\n"); end != std::string::npos; end = pending.find("\r\n\r\n")) {
                pending.erase(0, end + 4);
                writeAll(client, "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok");
                answered = true;
            }
            if (answered && closeAfterAnswer_) break;
        }
        shutdown(client, SHUT_RDWR);
    }

    bool closeAfterAnswer_;
};

TEST(EdgeTunnel, LocalHTTPConnectionsAreReusedAndAClosedOneIsReplaced) {
    for (const bool closing : {false, true}) {
        KeepAliveService service(closing);
        EdgeProcess edge({"--http-target", std::to_string(service.port())});
        Tunnel tunnel(edge.wsURL());
        waitConnected(edge, tunnel);
        for (int i = 0; i < 4; ++i) {
            const auto response = publicRequest(edge, "GET", "/n" + std::to_string(i));
            EXPECT_EQ(response.status, 200) << closing << " " << i;
            EXPECT_EQ(response.body, "ok") << closing << " " << i;
            if (closing) std::this_thread::sleep_for(50ms);  // the service's close arrives first
        }
        EXPECT_EQ(service.accepted.load(), closing ? 4 : 1) << closing;
    }
}

TEST(EdgeTunnel, StreamsBeyondTheBoundAreRefusedUntilOneCloses) {
    EchoService echo;
    EdgeProcess edge;
    cli::EdgeTunnelSettings settings;
    settings.maxOpenStreams = 2;
    // The VM's SSH port look-up is held until the test lets it go.
    std::mutex mutex;
    std::condition_variable changed;
    bool released = false;
    std::atomic<int> lookups{0};
    settings.sshLocalPort = [&](const std::string&) {
        ++lookups;
        std::unique_lock lock(mutex);
        changed.wait_for(lock, 20s, [&] { return released; });
        return echo.port();
    };
    Tunnel tunnel(edge.wsURL(), settings, std::string("tessaron"));
    waitConnected(edge, tunnel);
    auto open = [&](const std::string& id) {
        edge.send(R"({"type":"stream_open","id":")" + id + R"(","transport":"tcp","targetPort":)" +
                  std::to_string(echo.port()) + "}");
        std::vector<tunnel::TunnelStreamControlMessage> found;
        EXPECT_TRUE(EdgeProcess::waitFor([&] { return !(found = controlFrames(edge, id)).empty(); })) << id;
        return found.empty() ? tunnel::TunnelStreamControlMessage{} : found[0];
    };
    EXPECT_EQ(open("a").type, "stream_opened");
    EXPECT_EQ(open("b").type, "stream_opened");
    const auto refused = open("c");
    EXPECT_EQ(refused.type, "stream_open_error");
    EXPECT_EQ(refused.error.value_or(""), "Too many streams are open.");
    edge.send(R"({"type":"stream_close","id":"a"})");
    ASSERT_TRUE(EdgeProcess::waitFor([&] { return echo.ended.load() == 1; }));
    EXPECT_EQ(open("d").type, "stream_opened");

    // Opens to the VM's SSH port count before their look-up, which they share.
    for (const char* id : {"b", "d"}) edge.send(std::string(R"({"type":"stream_close","id":")") + id + "\"}");
    ASSERT_TRUE(EdgeProcess::waitFor([&] { return echo.ended.load() == 3; }));
    for (const char* id : {"s1", "s2", "s3", "s4"}) {
        edge.send(std::string(R"({"type":"stream_open","id":")") + id + R"(","transport":"tcp","targetPort":22})");
    }
    for (const char* id : {"s3", "s4"}) {
        std::vector<tunnel::TunnelStreamControlMessage> found;
        EXPECT_TRUE(EdgeProcess::waitFor([&] { return !(found = controlFrames(edge, id)).empty(); })) << id;
        if (!found.empty()) {
            EXPECT_EQ(found[0].error.value_or(""), "Too many streams are open.") << id;
        }
    }
    EXPECT_TRUE(controlFrames(edge, "s1").empty());
    {
        std::lock_guard lock(mutex);
        released = true;
    }
    changed.notify_all();
    for (const char* id : {"s1", "s2"}) {
        std::vector<tunnel::TunnelStreamControlMessage> found;
        EXPECT_TRUE(EdgeProcess::waitFor([&] { return !(found = controlFrames(edge, id)).empty(); })) << id;
        if (!found.empty()) {
            EXPECT_EQ(found[0].type, "stream_opened") << id;
        }
    }
    EXPECT_EQ(lookups.load(), 1);
}

namespace {

// Bytes whose every 64 KiB block differs, so that data out of order shows.
std::string bulkBytes(std::size_t size) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i >> 16) + i * 31);
    return bytes;
}

// One line without its line feed; empty at the end of data or after the read time-out.
std::string readLine(int fd) {
    std::string line;
    char c = 0;
    while (read(fd, &c, 1) == 1) {
        if (c == '\n') return line;
        line += c;
    }
    return line;
}

// A local service whose client opens two connections, each naming itself with its first
// byte: "B" the bulk one, then "C" the control one, which runs `control(control, bulk)`.
class TwoStreamService : public TCPService {
public:
    using Control = std::function<void(int control, int bulk)>;
    explicit TwoStreamService(Control control)
        : TCPService([this](int client) { serve(client); }), control_(std::move(control)) {}

private:
    void serve(int client) {
        char role = 0;
        if (read(client, &role, 1) != 1) return;
        std::unique_lock lock(mutex_);
        if (role == 'B') {
            bulk_ = client;
            ready_.notify_all();
            return;
        }
        if (!ready_.wait_for(lock, 20s, [&] { return bulk_ >= 0; })) return;
        const int bulk = bulk_;
        lock.unlock();
        control_(client, bulk);
    }
    Control control_;
    std::mutex mutex_;
    std::condition_variable ready_;
    int bulk_ = -1;
};

// The client's two connections through the relay: bulk first, then control.
std::pair<int, int> connectTwoStreams(const EdgeProcess& edge) {
    const int bulk = connectTo(edge.tcpPort());
    timeval timeout{20, 0};
    setsockopt(bulk, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    writeAll(bulk, "B");
    const int control = connectTo(edge.tcpPort());
    writeAll(control, "C");
    return {bulk, control};
}

}  // namespace

// As iperf3 does at the end of a test: the reader of the bulk stream stops reading it until
// an answer arrives on the control stream. Whichever side's reader waits, the answer passes
// the bulk data waiting for it, nothing is lost, and what waits stays within the budgets.
TEST(EdgeTunnel, AReaderThatWaitsForAnAnswerOnAnotherStreamDoesNotStallTheTunnel) {
    const std::string bulk = bulkBytes(24u << 20);
    for (const bool publicClientWaits : {true, false}) {
        SCOPED_TRACE(publicClientWaits ? "the public client waits" : "the local service waits");
        TwoStreamService service([&](int control, int bulkFd) {
            if (publicClientWaits) {
                writeAll(bulkFd, bulk);
                writeAll(control, "written\n");
                if (readLine(control) != "question") return;
                writeAll(control, "answer\n");
                shutdown(bulkFd, SHUT_WR);
            } else {
                if (readLine(control) != "question") return;
                writeAll(control, "answer\n");
                const std::string got = readToEnd(bulkFd);
                writeAll(control, got == bulk ? "intact\n" : "damaged, " + std::to_string(got.size()) + " bytes\n");
            }
        });
        EdgeProcess edge({"--tcp-target", std::to_string(service.port()), "--no-frame-log"});
        std::atomic<std::size_t> helperHigh{0};
        cli::EdgeTunnelSettings settings;
        settings.onStreamWaitingHigh = [&](std::size_t bytes) { helperHigh = bytes; };
        Tunnel tunnel(edge.wsURL(), settings);
        waitConnected(edge, tunnel);

        const auto [bulkFd, control] = connectTwoStreams(edge);
        if (publicClientWaits) {
            EXPECT_EQ(readLine(control), "written");
            writeAll(control, "question\n");
            EXPECT_EQ(readLine(control), "answer");
            EXPECT_TRUE(readToEnd(bulkFd) == bulk);
        } else {
            writeAll(bulkFd, bulk);
            shutdown(bulkFd, SHUT_WR);
            writeAll(control, "question\n");
            EXPECT_EQ(readLine(control), "answer");
            EXPECT_EQ(readLine(control), "intact");
        }
        close(bulkFd);
        close(control);
        const std::size_t bound = cli::StreamBudgets{}.connectionBytes + tunnel::maxStreamPayload;
        EXPECT_LE(helperHigh.load(), bound);
        EXPECT_LE(static_cast<std::size_t>(json::int64(json::parseObject(edge.state()), "waitingHigh")), bound);
        EXPECT_EQ(json::int64(json::parseObject(edge.state()), "stuckStreams"), 0);
    }
}

// A reader that takes nothing past its stream's budget and the stuck time has its stream
// closed, with a reason, by the side whose reader stopped; the other stream goes on.
TEST(EdgeTunnel, AStreamWhoseReaderStaysStuckIsClosedWithAReasonWhileTheOtherGoesOn) {
    const std::string bulk = bulkBytes(16u << 20);
    cli::StreamBudgets budgets;
    budgets.streamBytes = 1u << 20;
    budgets.stuckAfter = 1s;
    for (const bool publicClientStuck : {true, false}) {
        SCOPED_TRACE(publicClientStuck ? "the public client stops" : "the local service stops");
        std::atomic<bool> release{false};
        std::atomic<bool> locallyClosed{false};  // the helper closed the service's bulk connection
        TwoStreamService service([&](int control, int bulkFd) {
            std::thread bulkThread([&, bulkFd] {
                if (!publicClientStuck) {
                    while (!release) std::this_thread::sleep_for(10ms);
                    return;
                }
                writeAll(bulkFd, bulk);
                char c = 0;
                const ssize_t n = read(bulkFd, &c, 1);
                locallyClosed = n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
            });
            for (std::string line; !(line = readLine(control)).empty();) writeAll(control, line + "\n");
            release = true;
            bulkThread.join();
        });
        std::vector<std::string> relayArguments = {"--tcp-target", std::to_string(service.port()), "--stream-budget",
                                                   std::to_string(budgets.streamBytes), "--stuck-after-ms", "1000"};
        if (publicClientStuck) relayArguments.push_back("--no-frame-log");
        EdgeProcess edge(relayArguments);
        cli::EdgeTunnelSettings settings;
        settings.streamBudgets = budgets;
        Tunnel tunnel(edge.wsURL(), settings);
        waitConnected(edge, tunnel);

        const auto [bulkFd, control] = connectTwoStreams(edge);
        writeAll(control, "one\n");
        EXPECT_EQ(readLine(control), "one");
        if (publicClientStuck) {
            // The relay closes the stream; the helper then closes the local connection.
            EXPECT_TRUE(EdgeProcess::waitFor(
                [&] { return json::int64(json::parseObject(edge.state()), "stuckStreams") == 1; }));
            EXPECT_TRUE(EdgeProcess::waitFor([&] { return locallyClosed.load(); }));
            EXPECT_LT(readToEnd(bulkFd).size(), bulk.size());
        } else {
            std::thread writer([&, fd = bulkFd] { writeAll(fd, bulk); });
            const std::string reason = cli::stuckStreamSentence(budgets, true);
            EXPECT_EQ(reason, "The local service took none of this stream’s data for 1 second while more than the "
                              "stream’s 1 MiB were waiting for it.");
            EXPECT_TRUE(EdgeProcess::waitFor([&] {
                for (const auto& frame : edge.frames("stream_close")) {
                    if (tunnel::decodeStreamControl(frame).error == reason) return true;
                }
                return false;
            })) << reason;
            writer.join();
        }
        writeAll(control, "two\n");
        EXPECT_EQ(readLine(control), "two");
        release = true;
        close(bulkFd);
        close(control);
    }
}

// A stop of the helper while a local reader is stuck and the connection's budget is in use
// ends at once, not when the stuck stream would be closed.
TEST(EdgeTunnel, AStopEndsPromptlyWhileALocalReaderIsStuckAndTheBudgetIsInUse) {
    std::atomic<bool> release{false};
    TwoStreamService service([&](int, int) {
        while (!release) std::this_thread::sleep_for(10ms);
    });
    EdgeProcess edge({"--tcp-target", std::to_string(service.port()), "--no-frame-log"});
    cli::EdgeTunnelSettings settings;
    settings.streamBudgets.connectionBytes = 1u << 20;
    settings.streamBudgets.stuckAfter = 300s;
    std::atomic<std::size_t> waiting{0};
    settings.onStreamWaitingHigh = [&](std::size_t bytes) { waiting = bytes; };
    auto tunnel = std::make_unique<Tunnel>(edge.wsURL(), settings);
    waitConnected(edge, *tunnel);
    const auto [bulkFd, control] = connectTwoStreams(edge);
    std::thread writer([fd = bulkFd] { writeAll(fd, std::string(16u << 20, 'x')); });
    EXPECT_TRUE(EdgeProcess::waitFor([&] { return waiting.load() >= settings.streamBudgets.connectionBytes; }));
    const auto start = std::chrono::steady_clock::now();
    tunnel.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 20s);
    release = true;
    shutdown(bulkFd, SHUT_RDWR);
    writer.join();
    close(bulkFd);
    close(control);
}

// Requests to a local service that accepts and never reads stay within the connection's
// bounds: a few local connections, the bodies held within their budget (the rest fail at
// once, and the log says why), while a new stream opens and echoes. Once the service goes
// away, every request has exactly one answer within seconds.
TEST(EdgeTunnel, RequestsToAServiceThatNeverReadsStayBoundedWhileAStreamOpens) {
    std::atomic<bool> gone{false};
    auto service = std::make_unique<TCPService>([&](int) {
        while (!gone) std::this_thread::sleep_for(10ms);
    });
    EchoService echo;
    EdgeProcess edge({"--tcp-target", std::to_string(echo.port())});
    cli::EdgeTunnelSettings settings;
    settings.requestBounds.heldBytes = 2u << 20;
    settings.requestBounds.pacedFor = 1s;
    // Far beyond the wait for the answers below, so that none comes from a time-out.
    settings.localRequestTimeout = 120s;
    Tunnel tunnel(edge.wsURL(), settings);
    waitConnected(edge, tunnel);

    const int port = service->port();
    std::vector<std::string> ids;
    for (int i = 0; i < 30; ++i) {
        ids.push_back("post" + std::to_string(i));
        edge.send(requestFrame(ids.back(), "POST", "/upload", port, {}, std::string(512u << 10, 'b')));
    }
    std::vector<std::string> gets;
    for (int i = 0; i < 300; ++i) {
        ids.push_back("get" + std::to_string(i));
        gets.push_back(requestFrame(ids.back(), "GET", "/", port));
    }
    edge.sendTogether(gets);

    // A stream opens and echoes meanwhile: the bodies that do not fit wait for the
    // service's pace once, not each in turn, so the frames behind them are read soon.
    const auto opened = std::chrono::steady_clock::now();
    const int fd = connectTo(edge.tcpPort());
    ASSERT_GE(fd, 0);
    writeAll(fd, "still here");
    shutdown(fd, SHUT_WR);
    EXPECT_EQ(readToEnd(fd), "still herebye");
    close(fd);
    EXPECT_LT(std::chrono::steady_clock::now() - opened, 12s);
    EXPECT_LE(service->accepted.load(), static_cast<int>(cli::RequestBounds{}.connectionsPerPort));
    // Bodies beyond the budget, which the service was not taking, failed at once.
    const std::string bound = cli::heldBytesMet(settings.requestBounds);
    EXPECT_TRUE(EdgeProcess::waitFor([&] {
        const auto lines = tunnel.errLines();
        return std::any_of(lines.begin(), lines.end(), [&](const std::string& line) {
            return line.rfind("Request post", 0) == 0 && line.find(bound) != std::string::npos;
        });
    })) << bound;

    // The service goes away, its listener and its connections closed: the requests in flight
    // and those waiting their turn are answered promptly, well within the request time-out.
    gone = true;
    service.reset();
    const auto goneAt = std::chrono::steady_clock::now();
    std::map<std::string, int> answered;
    EXPECT_TRUE(EdgeProcess::waitFor([&] {
        answered.clear();
        for (const auto& frame : edge.frames("response")) ++answered[tunnel::decodeResponse(frame).id];
        return answered.size() == ids.size();
    }, 20)) << answered.size() << " of " << ids.size() << " answered";
    EXPECT_LT(std::chrono::steady_clock::now() - goneAt, 20s);
    for (const auto& id : ids) {
        EXPECT_EQ(answered[id], 1) << id;
    }
    const auto post = tunnel::decodeResponse(edge.frames("response").front());
    EXPECT_EQ(post.status, 502);
    EXPECT_EQ(base64Decode(post.body), "Local port " + std::to_string(port) + " is unavailable.");
}

namespace {

// A local HTTP service whose every request is handled by `handle` on the connection's own
// thread: it gets the request's path and declared body length, the body still unread.
class PacedHTTPService : public TCPService {
public:
    using Handler = std::function<void(int client, const std::string& path, std::size_t length)>;
    explicit PacedHTTPService(Handler handle)
        : TCPService([this](int client) { serve(client); }), handle_(std::move(handle)) {}

private:
    // Requests one after the other, as long as the helper keeps the connection.
    void serve(int client) {
        for (;;) {
            std::string head;
            char byte = 0;
            while (head.find("\r\n\r\n") == std::string::npos && read(client, &byte, 1) == 1) head += byte;
            if (head.find("\r\n\r\n") == std::string::npos) return;
            const auto space = head.find(' ');
            const std::string path = head.substr(space + 1, head.find(' ', space + 1) - space - 1);
            std::size_t length = 0;
            if (const auto at = head.find("Content-Length: "); at != std::string::npos) {
                length = std::stoul(head.substr(at + 16));
            }
            handle_(client, path, length);
        }
    }
    Handler handle_;
};

void answerText(int client, const std::string& text) {
    writeAll(client, "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(text.size()) + "\r\n\r\n" + text);
}

// Reads a body of `length` bytes, `part` bytes each `every`; the service's side of the
// connection buffers little, so that the helper sees the pace.
std::size_t readSlowly(int client, std::size_t length, std::size_t part, std::chrono::milliseconds every) {
    const int small = 32 << 10;
    setsockopt(client, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    std::string buffer(part, '\0');
    std::size_t got = 0;
    while (got < length) {
        const ssize_t n = read(client, buffer.data(), std::min(part, length - got));
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
        std::this_thread::sleep_for(every);
    }
    return got;
}

std::size_t residentBytes() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0) return std::stoul(line.substr(6)) << 10;
    }
    return 0;
}

}  // namespace

// The requests' bounds, scaled down, as a user's traffic meets them: a large answer, a
// body read slowly, a stop or a dropped relay while a body waits, and answers held back
// behind one that pauses. Healthy services are answered; the helper stops and connects
// again at once; what it holds stays bounded and is let go with the connection.
TEST(EdgeTunnel, RequestBoundsServeHealthyServicesAndGiveWayToAStopOrADrop) {
    constexpr std::size_t MiB = 1u << 20;
    struct Situation {
        const char* name;
        std::function<void(EdgeProcess& edge, std::unique_ptr<Tunnel>& tunnel)> play;
        std::chrono::milliseconds timeout = 60s;
    };
    cli::EdgeTunnelSettings settings;
    // Bodies travel in the relay's admin requests, which take less than 1 MiB.
    settings.requestBounds.heldBytes = 256u << 10;
    settings.requestBounds.pacedFor = 1s;
    settings.requestBounds.answerBytes = 12 * MiB;
    settings.localRequestTimeout = 60s;
    const std::string chunk(64u << 10, 'y');
    std::atomic<bool> release{false};

    // Answers as the path says: "/small" at once; "/large" declares 3 MiB and pauses after 2;
    // "/pause" pauses after 64 KiB; "/held" sends 8 MiB at about 1.3 MB/s, "/steady" 4 MiB at
    // half that pace, "/trickle" 1 MiB at 256 KB/s, and "/silent" falls silent after 64 KiB of
    // 1 MiB. Bodies are read at about 320 KB/s ("/upload-slowly": 128 KB/s), in parts of the
    // loopback's segment size (smaller ones would not reopen the service's window). The end
    // of each held or paused answer's connection is counted once the helper has closed it.
    std::atomic<int> closedByHelper{0};
    const auto serve = [&](int client, const std::string& path, std::size_t length) {
        if (path == "/small") return answerText(client, "ok");
        if (path.starts_with("/upload")) {
            const auto every = path == "/upload-slowly" ? 500ms : 200ms;
            return answerText(client, "done " + std::to_string(readSlowly(client, length, 64u << 10, every)));
        }
        const std::map<std::string, std::size_t> declaredFor = {
            {"/large", 3 * MiB}, {"/pause", 2 * MiB}, {"/steady", 4 * MiB}, {"/trickle", MiB}, {"/silent", MiB}};
        const std::size_t declared = declaredFor.contains(path) ? declaredFor.at(path) : 8 * MiB;
        writeAll(client, "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(declared) + "\r\n\r\n");
        const std::size_t pauseAt = path == "/large"                       ? 2 * MiB
                                    : path == "/pause" || path == "/silent" ? chunk.size()
                                                                            : declared;
        std::size_t sent = 0;
        for (; sent < pauseAt; sent += chunk.size()) {
            if (send(client, chunk.data(), chunk.size(), MSG_NOSIGNAL) <= 0) break;
            if (path == "/held") std::this_thread::sleep_for(50ms);
            if (path == "/steady") std::this_thread::sleep_for(100ms);
            if (path == "/trickle") std::this_thread::sleep_for(250ms);
        }
        while (!release && sent == pauseAt && sent < declared && !readable(client, 0)) std::this_thread::sleep_for(10ms);
        if (path == "/large" && release) writeAll(client, std::string(declared - pauseAt, 'y'));
        char byte;
        if (path != "/large" && readable(client, 20) && read(client, &byte, 1) <= 0) ++closedByHelper;
    };
    // The same service on a second port, for requests beside the first port's busy connections.
    PacedHTTPService service(serve), other(serve);
    const int port = service.port();
    auto expectWhole = [&](EdgeProcess& edge, const std::string& id, std::size_t size) {
        const auto response = responseFrame(edge, id, 30);
        ASSERT_TRUE(response) << id;
        EXPECT_EQ(response->status, 200) << id;
        EXPECT_EQ(base64Decode(response->body).value_or("").size(), size) << id;
    };
    auto expectSmallAnswered = [&](EdgeProcess& edge, const std::string& prefix, int count, int to,
                                   double seconds = 10) {
        std::vector<std::string> frames;
        for (int i = 0; i < count; ++i) frames.push_back(requestFrame(prefix + std::to_string(i), "GET", "/small", to));
        edge.sendTogether(frames);
        for (int i = 0; i < count; ++i) {
            const auto response = responseFrame(edge, prefix + std::to_string(i), seconds);
            ASSERT_TRUE(response) << prefix << i;
            EXPECT_EQ(response->status, 200);
            EXPECT_EQ(base64Decode(response->body), "ok");
        }
    };
    // A body alone beyond the budget, read slowly, and a small one waiting behind it.
    auto bodyWaits = [&](EdgeProcess& edge) {
        edge.send(requestFrame("first", "POST", "/upload", port, {}, std::string(640u << 10, 'a')));
        edge.send(requestFrame("second", "POST", "/upload", port, {}, std::string(128u << 10, 'b')));
        std::this_thread::sleep_for(1s);
        EXPECT_FALSE(responseFrame(edge, "second", 0));
    };

    const std::vector<Situation> situations = {
        {"small requests while a large answer pauses past the budget",
         [&](EdgeProcess& edge, std::unique_ptr<Tunnel>&) {
             edge.send(requestFrame("large", "GET", "/large", port));
             std::this_thread::sleep_for(1s);
             expectSmallAnswered(edge, "small", 10, port);
             release = true;
             const auto large = responseFrame(edge, "large", 20);
             ASSERT_TRUE(large);
             EXPECT_EQ(base64Decode(large->body).value_or("").size(), 3 * MiB);
         }},
        {"a body waits while its service reads the one before",
         [&](EdgeProcess& edge, std::unique_ptr<Tunnel>&) {
             edge.send(requestFrame("first", "POST", "/upload", port, {}, std::string(512u << 10, 'a')));
             edge.send(requestFrame("second", "POST", "/upload", port, {}, std::string(512u << 10, 'b')));
             for (const char* id : {"first", "second"}) {
                 const auto response = responseFrame(edge, id, 30);
                 ASSERT_TRUE(response) << id;
                 EXPECT_EQ(base64Decode(response->body), "done " + std::to_string(512u << 10)) << id;
             }
         }},
        {"a stop while a body waits",
         [&](EdgeProcess& edge, std::unique_ptr<Tunnel>& tunnel) {
             bodyWaits(edge);
             const auto start = std::chrono::steady_clock::now();
             tunnel.reset();
             EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
             EXPECT_EQ(json::int64(json::parseObject(edge.state()), "closeCode"), 1001);
         }},
        {"the relay drops the connection while a body waits",
         [&](EdgeProcess& edge, std::unique_ptr<Tunnel>&) {
             bodyWaits(edge);
             const int before = edge.connections();
             const auto start = std::chrono::steady_clock::now();
             edge.drop();
             EXPECT_TRUE(EdgeProcess::waitFor([&] { return edge.connections() > before && edge.connected(); }, 10));
             EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
             expectSmallAnswered(edge, "after", 1, port);
         }},
        {"answers held back behind one that pauses, then the relay drops the connection",
         [&](EdgeProcess& edge, std::unique_ptr<Tunnel>&) {
             const std::size_t before = residentBytes();
             std::vector<std::string> frames{requestFrame("pause", "GET", "/pause", port)};
             for (int i = 0; i < 5; ++i) frames.push_back(requestFrame("held" + std::to_string(i), "GET", "/held", port));
             edge.sendTogether(frames);
             std::size_t peak = 0;
             for (int i = 0; i < 150; ++i, std::this_thread::sleep_for(20ms)) peak = std::max(peak, residentBytes());
             // Five answers of 8 MiB each could take 40 MiB; the budget is 256 KiB.
             EXPECT_LT(peak - std::min(peak, before), 16 * MiB);
             EXPECT_FALSE(responseFrame(edge, "held0", 0));
             // With the connection, the answers stop being read: their connections close at once.
             const auto dropped = std::chrono::steady_clock::now();
             edge.drop();
             EXPECT_TRUE(EdgeProcess::waitFor([&] { return closedByHelper.load() >= 6; }, 10)) << closedByHelper.load();
             EXPECT_LT(std::chrono::steady_clock::now() - dropped, 3s);
         }},
        {"requests that hold little beside several large answers read at a steady pace",
         [&](EdgeProcess& edge, std::unique_ptr<Tunnel>&) {
             edge.sendTogether({requestFrame("steady0", "GET", "/steady", port),
                                requestFrame("steady1", "GET", "/steady", port),
                                requestFrame("steady2", "GET", "/steady", port)});
             std::this_thread::sleep_for(1s);
             edge.send(requestFrame("post", "POST", "/upload", other.port(), {}, std::string(1024, 'p')));
             expectSmallAnswered(edge, "get", 5, other.port(), 5);
             const auto post = responseFrame(edge, "post", 5);
             ASSERT_TRUE(post);
             EXPECT_EQ(base64Decode(post->body), "done 1024");
             // Answered while the large ones are still being read, which then arrive whole.
             EXPECT_FALSE(responseFrame(edge, "steady2", 0));
             for (const char* id : {"steady0", "steady1", "steady2"}) expectWhole(edge, id, 4 * MiB);
         }},
        {"exchanges that move for longer than the time-out complete",
         [&](EdgeProcess& edge, std::unique_ptr<Tunnel>&) {
             // The body, larger than the budget, is held alone: it comes first.
             edge.sendTogether({requestFrame("upload", "POST", "/upload-slowly", port, {}, std::string(640u << 10, 'u')),
                                requestFrame("trickle", "GET", "/trickle", port)});
             expectWhole(edge, "trickle", MiB);
             const auto upload = responseFrame(edge, "upload", 30);
             ASSERT_TRUE(upload);
             EXPECT_EQ(base64Decode(upload->body), "done " + std::to_string(640u << 10));
         },
         2s},
        {"an answer that falls silent ends after the time-out",
         [&](EdgeProcess& edge, std::unique_ptr<Tunnel>&) {
             const auto start = std::chrono::steady_clock::now();
             edge.send(requestFrame("silent", "GET", "/silent", port));
             const auto silent = responseFrame(edge, "silent", 20);
             ASSERT_TRUE(silent);
             EXPECT_EQ(silent->status, 502);
             EXPECT_GE(std::chrono::steady_clock::now() - start, 2s);
         },
         2s},
    };
    for (const auto& situation : situations) {
        SCOPED_TRACE(situation.name);
        release = false;
        closedByHelper = 0;
        EdgeProcess edge;
        settings.localRequestTimeout = situation.timeout;
        auto tunnel = std::make_unique<Tunnel>(edge.wsURL(), settings);
        waitConnected(edge, *tunnel);
        situation.play(edge, tunnel);
        release = true;
        if (tunnel) {
            const auto lines = tunnel->errLines();
            for (const auto& line : lines) {
                EXPECT_EQ(line.find(cli::heldBytesMet(settings.requestBounds)), std::string::npos) << line;
            }
        }
    }
}

namespace {

// The Set-Cookie fields of a local service's head of about `kb` KiB, joined by `between`:
// a line feed as the frame joins them, or a line end and the next field's name.
std::string cookies(std::size_t kb, const std::string& between = "\n") {
    std::string joined;
    for (std::size_t i = 0; i < kb; ++i) joined += (i ? between : "") + "c" + std::to_string(i) + "=" + std::string(1000, 'v');
    return joined;
}

}  // namespace

// Whatever a local service sends around its answer (informational answers before it, an
// answer nobody asked for after it, a large head, answers without a body), each request
// gets its own answer, and so does the request that follows it on the kept connection.
TEST(EdgeTunnel, EachRequestGetsItsOwnAnswerWhateverTheServiceSendsAroundIt) {
    PacedHTTPService service([](int client, const std::string& path, std::size_t length) {
        if (path == "/continue") {
            // As most servers do: the interim answer first, then the body is read.
            writeAll(client, "HTTP/1.1 100 Continue\r\n\r\n");
            return answerText(client, "read " + std::to_string(readSlowly(client, length, 64u << 10, 0ms)));
        }
        if (path == "/hints") {
            writeAll(client, "HTTP/1.1 103 Early Hints\r\nLink: </style.css>; rel=preload\r\n\r\n");
            return answerText(client, "hinted");
        }
        if (path == "/twice") {
            answerText(client, "first");
            std::this_thread::sleep_for(300ms);
            return answerText(client, "FOREIGN");
        }
        if (path.starts_with("/head/")) {
            return writeAll(client, "HTTP/1.1 200 OK\r\nContent-Length: 8\r\nSet-Cookie: " +
                                        cookies(std::stoul(path.substr(6)), "\r\nSet-Cookie: ") + "\r\n\r\nbig head");
        }
        const std::map<std::string, std::string> bodiless = {
            {"/head", "200 OK\r\nContent-Length: 5"}, {"/204", "204 No Content"}, {"/304", "304 Not Modified\r\nContent-Length: 10"}};
        if (bodiless.contains(path)) return writeAll(client, "HTTP/1.1 " + bodiless.at(path) + "\r\n\r\n");
        answerText(client, "own " + path);
    });
    EdgeProcess edge;
    Tunnel tunnel(edge.wsURL());
    waitConnected(edge, tunnel);
    const int port = service.port();
    const std::string headBound = cli::answerHeadBytesMet(cli::RequestBounds{});

    struct Row {
        const char* name;
        std::string method, path;
        tunnel::HeaderFields headers;
        std::string body;
        int status;
        std::string answer;
    };
    const std::string unavailable = "Local port " + std::to_string(port) + " is unavailable.";
    const std::vector<Row> rows = {
        {"100 Continue before the answer", "POST", "/continue", {{"Expect", "100-continue"}},
         std::string(600'000, 'u'), 200, "read 600000"},
        {"103 Early Hints before the answer", "GET", "/hints", {}, "", 200, "hinted"},
        {"a second answer after the first", "GET", "/twice", {}, "", 200, "first"},
        {"a head of 9 KB", "GET", "/head/9", {}, "", 200, "big head"},
        {"a head of 60 KB", "GET", "/head/60", {}, "", 200, "big head"},
        {"a head beyond the bound", "GET", "/head/70", {}, "", 502, unavailable},
        {"HEAD", "HEAD", "/head", {}, "", 200, ""},
        {"204", "GET", "/204", {}, "", 204, ""},
        {"304", "GET", "/304", {}, "", 304, ""},
    };
    int n = 0;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const std::string id = "r" + std::to_string(++n);
        edge.send(requestFrame(id, row.method, row.path, port, row.headers, row.body));
        const auto response = responseFrame(edge, id);
        ASSERT_TRUE(response);
        EXPECT_EQ(response->status, row.status);
        EXPECT_EQ(base64Decode(response->body), row.answer);
        if (row.path.starts_with("/head/") && row.status == 200) {
            EXPECT_EQ(response->headers.at("Set-Cookie"), cookies(std::stoul(row.path.substr(6))));
        }
        if (row.status == 502) {
            const auto lines = tunnel.errLines();
            EXPECT_NE(std::find(lines.begin(), lines.end(), cli::boundMetSentence(id, port, headBound)), lines.end());
        }
        // What the service sent after its answer has arrived by now.
        if (row.path == "/twice") std::this_thread::sleep_for(600ms);
        const std::string next = id + "-next";
        edge.send(requestFrame(next, "GET", "/own/" + next, port));
        const auto own = responseFrame(edge, next);
        ASSERT_TRUE(own);
        EXPECT_EQ(base64Decode(own->body), "own /own/" + next);
    }
}
