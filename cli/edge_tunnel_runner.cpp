#include "cli/edge_tunnel_runner.h"

#include "cli/answer_body.h"
#include "cli/cli_options.h"
#include "cli/close_on_exec_sockets.h"
#include "cli/local_http_exchange.h"
#include "cli/output.h"
#include "cli/socket_state.h"
#include "cli/stream_forwarders.h"
#include "cli/tunnel_frame_writer.h"
#include "host/base64.h"
#include "host/json.h"
#include "host/tls_trust.h"
#include "host/url.h"
#include "panel/http_client.h"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/thread_pool.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>

#include <algorithm>
#include <cstdio>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace tessaron::cli {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = boost::beast::websocket;
using asio::ip::tcp;
using tunnel::TunnelRequestMessage;
using tunnel::TunnelResponseMessage;

namespace {

constexpr std::size_t maxFrameBytes = 256u << 20;       // a request body of megabytes, as Base64
// Room to mask a whole stream_data frame (about 350 KB), so each frame goes out in one write.
constexpr std::size_t writeBufferBytes = 512u << 10;
constexpr std::size_t keptReadBufferBytes = 1u << 20;  // a full stream_data frame is about 350 KB

void writeAll(int fd, const std::string& line) {
    const std::string text = line + "\n";
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n <= 0) return;
        done += static_cast<std::size_t>(n);
    }
}

struct EdgeAddress {
    bool tls = false;
    std::string host;  // without brackets
    std::string port;
    std::string target;
    std::string hostHeader;
    std::string displayHost;  // for the connected line
};

EdgeAddress parseEdge(const std::string& text) {
    const auto url = Url::parse(text);
    if (!url) throw CLIError::pairing("The edge URL is invalid: " + text);
    EdgeAddress address;
    const std::string scheme = url->scheme();
    if (scheme == "wss" || scheme == "https") {
        address.tls = true;
    } else if (scheme != "ws" && scheme != "http") {
        throw CLIError::pairing("The edge URL is not a WebSocket URL: " + text);
    }
    address.displayHost = url->host().empty() ? url->absoluteString() : url->host();
    address.host = url->hostName();
    if (address.host.empty()) throw CLIError::pairing("The edge URL has no host: " + text);
    const int port = url->port().value_or(address.tls ? 443 : 80);
    address.port = std::to_string(port);
    address.target = url->path().empty() ? "/" : url->path();
    if (url->query()) address.target += "?" + *url->query();
    const bool ipv6 = address.host.find(':') != std::string::npos;
    address.hostHeader = (ipv6 ? "[" + address.host + "]" : address.host);
    if (url->port()) address.hostHeader += ":" + address.port;
    return address;
}

// The control URL's scheme and authority ("https://panel.example:8443").
std::string origin(const std::string& controlURL) {
    const auto start = controlURL.find("://");
    if (start == std::string::npos) return controlURL;
    const auto end = controlURL.find_first_of("/?#", start + 3);
    return end == std::string::npos ? controlURL : controlURL.substr(0, end);
}

// While frames queue up behind each other, the socket holds partial packets back (TCP_CORK
// where the platform has it), and sends what it holds once the burst is written.
void holdPartialPackets(tcp::socket& socket, bool hold) {
#ifdef TCP_CORK
    const int value = hold ? 1 : 0;
    ::setsockopt(socket.native_handle(), IPPROTO_TCP, TCP_CORK, &value, sizeof value);
#else
    (void)socket;
    (void)hold;
#endif
}

// Trusts the platform's authorities and those that SSL_CERT_FILE names.
asio::ssl::context clientContext() {
    asio::ssl::context context(asio::ssl::context::tls_client);
    context.set_default_verify_paths();
    if (const auto file = tls::authorityFile()) {
        boost::system::error_code ec;
        context.load_verify_file(file->string(), ec);
        if (ec) throw CLIError::pairing(tls::unreadableAuthorityFileSentence(*file));
    }
    context.set_verify_mode(asio::ssl::verify_peer);
    return context;
}

}  // namespace

void sendPanelHeartbeat(const EdgeTunnelConfiguration& configuration, const std::string& token) {
    auto request = http::jsonRequest("POST", origin(configuration.controlURL) + "/api/tessaron/agent/heartbeat",
                                     token, json::encode(json::Json{{"machineId", configuration.machineID}}));
    request.timeout = std::chrono::seconds(60);
    const auto response = http::perform(request);
    if (response.status < 200 || response.status > 299) {
        throw CLIError::pairing("The control plane rejected the heartbeat.");
    }
}

namespace {

// Lets threads of their own hand a result back to a runner's loop while it runs, and
// drops it once the loop has ended.
class LoopGate {
public:
    explicit LoopGate(asio::any_io_executor executor) : executor_(std::move(executor)) {}
    void post(std::function<void()> action) {
        const std::lock_guard lock(mutex_);
        if (open_) asio::post(executor_, std::move(action));
    }
    void close() {
        const std::lock_guard lock(mutex_);
        open_ = false;
    }

private:
    std::mutex mutex_;
    bool open_ = true;
    asio::any_io_executor executor_;
};

// One runner's loop and state, on one io_context.
class RunnerLoop {
public:
    RunnerLoop(const EdgeTunnelConfiguration& configuration, const std::string& edgeURL, const std::string& token,
               const EdgeTunnelSettings& settings)
        : configuration_(configuration), edgeURL_(edgeURL), token_(token), settings_(settings), backoff_(io_) {}

    void run(std::stop_token stop) {
        std::stop_callback onStop(stop, [this] { asio::post(io_, [this] { requestStop(); }); });
        asio::co_spawn(io_, loop(), [this](std::exception_ptr) { io_.stop(); });
        if (stop.stop_requested()) asio::post(io_, [this] { requestStop(); });
        io_.run();
        // A panel heartbeat still in flight finishes on its own thread, unheard.
        panelPosts_->close();
        pool_.stop();
        pool_.join();
    }

private:
    void requestStop() {
        stopping_ = true;
        backoff_.cancel();
        if (cancelCurrent_) cancelCurrent_();
    }

    void printLine(const std::string& line) {
        if (settings_.printLine) settings_.printLine(line); else writeAll(STDOUT_FILENO, line);
    }
    void printError(const std::string& line) {
        if (settings_.printError) settings_.printError(line); else writeAll(STDERR_FILENO, line);
    }

    asio::awaitable<void> loop() {
        const auto unit = settings_.backoffUnit;
        const auto longest = unit * 30;
        auto delay = unit;
        while (!stopping_) {
            std::chrono::milliseconds wait = unit;
            connectedAt_.reset();
            try {
                co_await connectOnce();
            } catch (const std::exception& e) {
                if (!stopping_) printError("Tunnel disconnected: " + errorSentence(e));
                // A connection that stayed up as long as the longest wait was a good one:
                // the back-off starts again from its first value.
                const bool lasted = connectedAt_ && std::chrono::steady_clock::now() - *connectedAt_ >= longest;
                wait = lasted ? unit : delay;
            }
            cancelCurrent_ = nullptr;
            if (stopping_) break;
            if (settings_.onBackoff) settings_.onBackoff(wait);
            backoff_.expires_after(wait);
            boost::system::error_code ignored;
            co_await backoff_.async_wait(asio::redirect_error(asio::use_awaitable, ignored));
            if (stopping_) break;
            delay = std::min(wait * 2, longest);
        }
    }

    // A stop while connecting or in the handshake closes the socket at once, instead of
    // waiting out the connect time-out.
    template <class WS>
    void cancelWhileConnecting(const std::shared_ptr<WS>& ws) {
        cancelCurrent_ = [ws] {
            boost::system::error_code ignored;
            beast::get_lowest_layer(*ws).socket().close(ignored);
        };
    }

    asio::awaitable<void> connectOnce() {
        const EdgeAddress address = parseEdge(edgeURL_);
        tcp::resolver resolver(io_);
        boost::system::error_code ec;
        auto endpoints =
            co_await resolver.async_resolve(address.host, address.port, asio::redirect_error(asio::use_awaitable, ec));
        if (ec) throw CLIError::pairing(sentence(ec));
        if (address.tls) {
            asio::ssl::context tls = clientContext();
            auto ws = std::make_shared<websocket::stream<beast::ssl_stream<beast::tcp_stream>>>(io_, tls);
            cancelWhileConnecting(ws);
            if (stopping_) co_return;
            SSL* native = ws->next_layer().native_handle();
            if (!SSL_set_tlsext_host_name(native, address.host.c_str()) ||
                !tls::requirePeerName(SSL_get0_param(native), address.host)) {
                throw CLIError::pairing("The TLS host name could not be set.");
            }
            beast::get_lowest_layer(*ws).expires_after(settings_.connectTimeout);
            co_await connect(beast::get_lowest_layer(*ws), endpoints);
            co_await ws->next_layer().async_handshake(asio::ssl::stream_base::client,
                                                      asio::redirect_error(asio::use_awaitable, ec));
            if (ec) {
                const long verifyResult = SSL_get_verify_result(native);
                throw CLIError::pairing(verifyResult != X509_V_OK
                                            ? tls::refusedCertificateSentence(address.displayHost, verifyResult)
                                            : tls::failedConnectionSentence(address.displayHost));
            }
            co_await session(ws, address);
        } else {
            auto ws = std::make_shared<websocket::stream<beast::tcp_stream>>(io_);
            cancelWhileConnecting(ws);
            if (stopping_) co_return;
            beast::get_lowest_layer(*ws).expires_after(settings_.connectTimeout);
            co_await connect(beast::get_lowest_layer(*ws), endpoints);
            co_await session(ws, address);
        }
    }

    // The edge's socket, close-on-exec like every socket of the tunnel.
    static asio::awaitable<void> connect(beast::tcp_stream& stream, const tcp::resolver::results_type& found) {
        std::vector<tcp::endpoint> endpoints;
        for (const auto& entry : found) endpoints.push_back(entry.endpoint());
        boost::system::error_code ec;
        co_await connectCloseOnExec(stream, endpoints, ec);
        if (ec) throw boost::system::system_error(ec);
    }

    template <class WS>
    asio::awaitable<void> session(std::shared_ptr<WS> ws, const EdgeAddress& address) {
        beast::get_lowest_layer(*ws).expires_never();
        websocket::stream_base::timeout timeouts{};
        timeouts.handshake_timeout = settings_.connectTimeout;
        timeouts.idle_timeout = settings_.idleTimeout;
        timeouts.keep_alive_pings = true;
        ws->set_option(timeouts);
        ws->read_message_max(maxFrameBytes);
        const std::string authorization = "Bearer " + token_;
        const std::string machineID = configuration_.machineID;
        ws->set_option(websocket::stream_base::decorator([authorization, machineID](websocket::request_type& request) {
            request.set("authorization", authorization);
            request.set("x-tessaron-machine-id", machineID);
        }));
        co_await ws->async_handshake(address.hostHeader, address.target, asio::use_awaitable);
        connectedAt_ = std::chrono::steady_clock::now();
        // Every message goes out as one frame (not split into 4 KiB continuation frames),
        // masked whole and written at once, and small frames are not held back by Nagle's
        // algorithm.
        ws->auto_fragment(false);
        ws->write_buffer_bytes(writeBufferBytes);
        boost::system::error_code noDelayError;
        beast::get_lowest_layer(*ws).socket().set_option(tcp::no_delay(true), noDelayError);

        auto writer = std::make_shared<TunnelFrameWriter>(
            io_.get_executor(),
            [ws](const std::string& text) -> asio::awaitable<void> {
                ws->text(true);
                co_await ws->async_write(asio::buffer(text), asio::use_awaitable);
            },
            [ws](bool hold) { holdPartialPackets(beast::get_lowest_layer(*ws).socket(), hold); });
        StreamTargets targets;
        targets.localHost = configuration_.localHost;
        targets.vmName = configuration_.vmName;
        targets.sshLocalPort = settings_.sshLocalPort;
        targets.connectTimeout = settings_.streamConnectTimeout;
        targets.maxOpenStreams = settings_.maxOpenStreams;
        targets.budgets = settings_.streamBudgets;
        targets.onWaitingHigh = settings_.onStreamWaitingHigh;
        auto registry =
            std::make_shared<LocalForwarderRegistry>(io_.get_executor(), pool_.get_executor(), targets, writer);
        auto heartbeat = std::make_shared<asio::steady_timer>(io_);
        auto local = std::make_shared<LocalHTTPConnections>(io_.get_executor(), settings_.requestBounds);
        auto requestBytes = std::make_shared<RequestBytes>(io_.get_executor(), settings_.requestBounds);
        auto ended = std::make_shared<bool>(false);
        bool heartbeatStarted = false;

        // A stop also ends the streams at once (as the end of the connection does below): a
        // frame waiting for room in their budget would otherwise hold the loop until a stuck
        // stream is closed.
        cancelCurrent_ = [this, ws, writer, registry, local, requestBytes] {
            registry->closeAll();
            local->closeAll();
            requestBytes->close();
            closeGoingAway(ws, writer);
        };
        const int relaySocket = beast::get_lowest_layer(*ws).socket().native_handle();

        std::exception_ptr failure;
        try {
            // One buffer for all frames: it keeps its capacity, and a frame is read in place.
            beast::flat_buffer buffer;
            // Stream data, the bulk of the traffic, is decoded straight from the frame into one
            // reused buffer while the frame is scanned.
            const auto payload = std::make_unique_for_overwrite<char[]>(tunnel::streamDataBufferSize);
            for (;;) {
                buffer.consume(buffer.size());
                // A rare large frame (a request body) does not stay allocated for the connection's life.
                if (buffer.capacity() > keptReadBufferBytes) buffer.shrink_to_fit();
                boost::system::error_code ec;
                co_await ws->async_read(buffer, asio::redirect_error(asio::use_awaitable, ec));
                if (ec) {
                    if (stopping_) break;
                    throw CLIError::pairing(sentence(ec));
                }
                const std::string_view bytes(static_cast<const char*>(buffer.data().data()), buffer.size());
                if (const auto data = tunnel::readStreamData(bytes, payload.get())) {
                    std::optional<std::string_view> decoded;
                    if (data->valid) decoded = std::string_view(payload.get(), data->size);
                    co_await registry->receive(data->id, decoded);
                    continue;
                }
                tunnel::ReceivedFrame frame = tunnel::classify(bytes);
                if (std::holds_alternative<tunnel::ReadyFrame>(frame)) {
                    printLine("Tunnel connected to " + address.displayHost + " for " + configuration_.machineID + ".");
                    if (!heartbeatStarted) {
                        heartbeatStarted = true;
                        asio::co_spawn(io_, heartbeatTask(writer, heartbeat, ended), asio::detached);
                    }
                } else if (auto* open = std::get_if<tunnel::TunnelStreamOpenMessage>(&frame)) {
                    asio::co_spawn(io_, registry->open(*open), asio::detached);
                } else if (auto* data = std::get_if<tunnel::TunnelStreamDataMessage>(&frame)) {
                    const auto decoded = base64Decode(data->data);
                    std::optional<std::string_view> bytes;
                    if (decoded) bytes = std::string_view(*decoded);
                    co_await registry->receive(data->id, bytes);
                } else if (auto* end = std::get_if<tunnel::StreamEndFrame>(&frame)) {
                    co_await registry->finishWriting(end->message.id);
                } else if (auto* close = std::get_if<tunnel::StreamCloseFrame>(&frame)) {
                    registry->close(close->message.id, false);
                } else if (auto* request = std::get_if<TunnelRequestMessage>(&frame)) {
                    co_await admit(std::move(*request), relaySocket, writer, local, requestBytes, registry);
                }
            }
        } catch (...) {
            failure = std::current_exception();
        }
        cancelCurrent_ = nullptr;
        *ended = true;
        heartbeat->cancel();
        registry->closeAll();
        local->closeAll();
        requestBytes->close();
        if (failure) {
            // As on a stop: "going away", then the socket is closed.
            closeGoingAway(ws, writer);
            std::rethrow_exception(failure);
        }
        writer->close();
        boost::system::error_code ignored;
        beast::get_lowest_layer(*ws).socket().close(ignored);
    }

    // Sends a close frame with "going away" and no reason, in turn with the frames being
    // written; if the edge does not answer within 2 s, the socket is closed.
    template <class WS>
    void closeGoingAway(const std::shared_ptr<WS>& ws, const std::shared_ptr<TunnelFrameWriter>& writer) {
        asio::co_spawn(
            io_,
            [ws, writer]() -> asio::awaitable<void> {
                // Named, not a temporary: g++ 12 destroys capturing lambdas and braced
                // aggregates that are temporaries of a co_await expression twice.
                std::function<asio::awaitable<void>()> closeFrame = [ws]() -> asio::awaitable<void> {
                    boost::system::error_code ignored;
                    co_await ws->async_close(websocket::close_code::going_away,
                                             asio::redirect_error(asio::use_awaitable, ignored));
                };
                try {
                    co_await writer->runInTurn(closeFrame);
                } catch (...) {
                }
                writer->close();
                boost::system::error_code ignored;
                beast::get_lowest_layer(*ws).socket().close(ignored);
            },
            asio::detached);
        auto fallback = std::make_shared<asio::steady_timer>(io_, std::chrono::seconds(2));
        fallback->async_wait([ws, fallback](boost::system::error_code) {
            boost::system::error_code ignored;
            beast::get_lowest_layer(*ws).socket().close(ignored);
        });
    }

    asio::awaitable<void> heartbeatTask(std::shared_ptr<TunnelFrameWriter> writer,
                                        std::shared_ptr<asio::steady_timer> timer, std::shared_ptr<bool> ended) {
        while (!*ended && !stopping_) {
            try {
                const tunnel::TunnelHeartbeatMessage message{"heartbeat", tunnel::heartbeatTimestampNow()};
                co_await writer->send(message);
            } catch (...) {
            }
            if (*ended) break;
            // The POST may take up to a minute; it runs on a thread of its own that a stop
            // does not wait for. That thread may outlive the loop and its io_context, so it
            // holds the timer only weakly: the timer is only ever released on the loop.
            auto posted = std::make_shared<asio::steady_timer>(io_, asio::steady_timer::time_point::max());
            std::thread([configuration = configuration_, token = token_, gate = panelPosts_,
                         weakPosted = std::weak_ptr<asio::steady_timer>(posted)] {
                try {
                    sendPanelHeartbeat(configuration, token);
                } catch (...) {
                }
                gate->post([weakPosted] {
                    if (const auto timer = weakPosted.lock()) timer->cancel();
                });
            }).detach();
            boost::system::error_code ignoredWait;
            co_await posted->async_wait(asio::redirect_error(asio::use_awaitable, ignoredWait));
            if (*ended) break;
            timer->expires_after(settings_.heartbeatPeriod);
            boost::system::error_code ignored;
            co_await timer->async_wait(asio::redirect_error(asio::use_awaitable, ignored));
        }
    }

    // A request frame: its body is held (or the request fails at once, see RequestBounds)
    // before the next frame is read; the request is then answered in a task of its own.
    // While the body waits, a stop or the end of the relay's connection ends the wait, and
    // the request goes with the connection.
    asio::awaitable<void> admit(TunnelRequestMessage request, int relaySocket,
                                const std::shared_ptr<TunnelFrameWriter>& writer,
                                const std::shared_ptr<LocalHTTPConnections>& local,
                                const std::shared_ptr<RequestBytes>& bytes,
                                const std::shared_ptr<LocalForwarderRegistry>& registry) {
        // The body is held once, decoded.
        std::string body = base64Decode(request.body).value_or("");
        std::string().swap(request.body);
        std::optional<boost::system::error_code> ended;
        // Named, not a temporary of the co_await expression (see closeGoingAway).
        const std::function<bool()> connectionUp = [&] {
            ended = connectionEnded(relaySocket);
            return !ended;
        };
        const auto admission = co_await bytes->holdBody(body.size(), connectionUp);
        if (admission == RequestBytes::Admission::ended) {
            if (ended) throw CLIError::pairing(sentence(*ended));
            co_return;
        }
        const bool held = admission == RequestBytes::Admission::held;
        if (!held) std::string().swap(body);
        asio::co_spawn(io_, answer(std::move(request), std::move(body), held, writer, local, bytes, registry),
                       asio::detached);
    }

    asio::awaitable<void> answer(TunnelRequestMessage request, std::string body, bool held,
                                 std::shared_ptr<TunnelFrameWriter> writer, std::shared_ptr<LocalHTTPConnections> local,
                                 std::shared_ptr<RequestBytes> bytes, std::shared_ptr<LocalForwarderRegistry> registry) {
        RequestBytes::Holding holding(*bytes, body.size());
        std::string frame;
        {
            const LocalExchange exchange{configuration_.localHost,
                                         settings_.localRequestTimeout,
                                         settings_.requestBounds,
                                         settings_.streamBudgets.sendingBytes,
                                         *local,
                                         *bytes,
                                         *writer,
                                         registry->addresses(),
                                         printErrorLine_};
            LocalAnswer reply;
            if (held) {
                reply = co_await exchangeWithLocalService(request, body, holding, exchange);
            } else {
                reply.message = refusedAnswer(request, heldBytesMet(settings_.requestBounds), printErrorLine_);
            }
            std::string().swap(body);
            // Once the connection has ended, its answers are dropped unencoded.
            if (bytes->closed()) co_return;
            if (reply.body.pieces.empty()) {
                frame = tunnel::encode(reply.message);
            } else {
                // While it is encoded, the frame and the pieces not yet encoded.
                const AnswerFrame around = answerFrameAround(reply.message);
                holding.resize(reply.body.capacity + answerFrameBytes(around, reply.body.size));
                frame = answerFrame(around, std::move(reply.body));
            }
        }
        holding.resize(frame.size());
        try {
            // As stream data does, an answer waits for room among the frames to be written.
            const std::size_t room = settings_.streamBudgets.sendingBytes;
            if (writer->unwrittenBytes() >= room) co_await writer->waitForRoom(room);
            co_await writer->sendText(std::move(frame));
        } catch (...) {
        }
    }

    // One thread runs the loop: handlers it posts itself skip the shared queue.
    asio::io_context io_{1};
    asio::thread_pool pool_{2};
    const EdgeTunnelConfiguration& configuration_;
    const std::string& edgeURL_;
    const std::string& token_;
    const EdgeTunnelSettings& settings_;
    asio::steady_timer backoff_;
    bool stopping_ = false;
    std::function<void()> cancelCurrent_;
    std::shared_ptr<LoopGate> panelPosts_ = std::make_shared<LoopGate>(io_.get_executor());
    // The error log as the requests' exchanges write to it.
    const std::function<void(const std::string&)> printErrorLine_ = [this](const std::string& line) {
        printError(line);
    };
    // When the current connection's handshake completed.
    std::optional<std::chrono::steady_clock::time_point> connectedAt_;
};

}  // namespace

EdgeTunnelRunner::EdgeTunnelRunner(EdgeTunnelConfiguration configuration, std::string edgeURL, std::string token,
                                   EdgeTunnelSettings settings)
    : configuration_(std::move(configuration)), edgeURL_(std::move(edgeURL)), token_(std::move(token)),
      settings_(std::move(settings)) {}

void EdgeTunnelRunner::runForever(std::stop_token stop) {
    RunnerLoop loop(configuration_, edgeURL_, token_, settings_);
    loop.run(stop);
}

}  // namespace tessaron::cli
