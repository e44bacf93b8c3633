#include "cli/edge_tunnel_runner.h"

#include "cli/cli_options.h"
#include "cli/stream_forwarders.h"
#include "cli/tunnel_frame_writer.h"
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
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>

#include <algorithm>
#include <cstdio>
#include <unistd.h>

namespace tessaron::cli {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace bhttp = boost::beast::http;
namespace websocket = boost::beast::websocket;
using asio::ip::tcp;
using tunnel::TunnelRequestMessage;
using tunnel::TunnelResponseMessage;

namespace {

constexpr std::size_t maxFrameBytes = 256u << 20;       // a request body of megabytes, as Base64
constexpr std::size_t maxLocalResponseBytes = 128u << 20;
constexpr std::size_t writeBufferBytes = 64u << 10;
constexpr std::size_t keptReadBufferBytes = 1u << 20;  // a full stream_data frame is about 350 KB

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

std::string sentence(std::string text) {
    if (!text.empty()) text[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(text[0])));
    if (!text.empty() && text.back() != '.') text += '.';
    return text;
}

void writeAll(int fd, const std::string& line) {
    const std::string text = line + "\n";
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n <= 0) return;
        done += static_cast<std::size_t>(n);
    }
}

TunnelResponseMessage plainAnswer(const std::string& id, int status, const std::string& text) {
    return {"response", id, status, {{"content-type", "text/plain; charset=utf-8"}}, tunnel::base64Encode(text)};
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

bool isHTTPToken(const std::string& text) {
    if (text.empty()) return false;
    for (unsigned char c : text) {
        if (std::isalnum(c)) continue;
        if (std::string_view("!#$%&'*+-.^_`|~").find(static_cast<char>(c)) == std::string_view::npos) return false;
    }
    return true;
}

bool isHTTPFieldValue(const std::string& text) {
    for (unsigned char c : text) {
        if (c == '\t') continue;
        if (c < 0x20 || c == 0x7f) return false;
    }
    return true;
}

tunnel::HeaderFields joinResponseHeaders(const std::vector<std::pair<std::string, std::string>>& fields) {
    tunnel::HeaderFields joined;
    std::map<std::string, std::string> spelling;  // lower-case name -> first spelling
    for (const auto& [name, value] : fields) {
        const std::string key = lower(name);
        auto known = spelling.find(key);
        if (known == spelling.end()) {
            spelling[key] = name;
            joined[name] = value;
            continue;
        }
        std::string& existing = joined[known->second];
        existing += (key == "set-cookie" ? "\n" : ", ") + value;
    }
    return joined;
}

std::optional<std::string> EdgeTunnelRunner::localTarget(const std::string& path) {
    for (unsigned char c : path) {
        if (c <= 0x20 || c >= 0x7f || c == '"' || c == '<' || c == '>' || c == '\\' || c == '^' || c == '`' ||
            c == '{' || c == '|' || c == '}')
            return std::nullopt;
    }
    std::string reference = path.substr(0, path.find('#'));
    // An absolute reference keeps only its path and query.
    const auto colon = reference.find(':');
    const auto firstDelimiter = reference.find_first_of("/?");
    if (colon != std::string::npos && (firstDelimiter == std::string::npos || colon < firstDelimiter)) {
        const std::string scheme = reference.substr(0, colon);
        if (!isHTTPToken(scheme)) return std::nullopt;
        reference = reference.substr(colon + 1);
    }
    if (reference.rfind("//", 0) == 0) {
        const auto end = reference.find_first_of("/?", 2);
        reference = end == std::string::npos ? "" : reference.substr(end);
    }
    const auto question = reference.find('?');
    std::string pathPart = reference.substr(0, question);
    if (pathPart.empty()) pathPart = "/";
    if (pathPart.front() != '/') pathPart.insert(pathPart.begin(), '/');
    if (question != std::string::npos) pathPart += reference.substr(question);
    return pathPart;
}

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
        auto delay = unit;
        while (!stopping_) {
            std::chrono::milliseconds wait = unit;
            try {
                co_await connectOnce();
            } catch (const std::exception& e) {
                if (!stopping_) printError(std::string("Tunnel disconnected: ") + e.what());
                wait = delay;
            }
            cancelCurrent_ = nullptr;
            if (stopping_) break;
            if (settings_.onBackoff) settings_.onBackoff(wait);
            backoff_.expires_after(wait);
            boost::system::error_code ignored;
            co_await backoff_.async_wait(asio::redirect_error(asio::use_awaitable, ignored));
            if (stopping_) break;
            delay = std::min(wait * 2, unit * 30);
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
        if (ec) throw CLIError::pairing(sentence(ec.message()));
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
            co_await beast::get_lowest_layer(*ws).async_connect(endpoints, asio::use_awaitable);
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
            co_await beast::get_lowest_layer(*ws).async_connect(endpoints, asio::use_awaitable);
            co_await session(ws, address);
        }
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
        // Every message goes out as one frame (not split into 4 KiB continuation frames),
        // masked in large pieces, and small frames are not held back by Nagle's algorithm.
        ws->auto_fragment(false);
        ws->write_buffer_bytes(writeBufferBytes);
        boost::system::error_code noDelayError;
        beast::get_lowest_layer(*ws).socket().set_option(tcp::no_delay(true), noDelayError);

        auto writer = std::make_shared<TunnelFrameWriter>(
            io_.get_executor(), [ws](const std::string& text) -> asio::awaitable<void> {
                ws->text(true);
                co_await ws->async_write(asio::buffer(text), asio::use_awaitable);
            });
        StreamTargets targets;
        targets.localHost = configuration_.localHost;
        targets.vmName = configuration_.vmName;
        targets.sshLocalPort = settings_.sshLocalPort;
        targets.connectTimeout = settings_.streamConnectTimeout;
        auto registry =
            std::make_shared<LocalForwarderRegistry>(io_.get_executor(), pool_.get_executor(), targets, writer);
        auto heartbeat = std::make_shared<asio::steady_timer>(io_);
        auto ended = std::make_shared<bool>(false);
        bool heartbeatStarted = false;

        cancelCurrent_ = [this, ws, writer] {
            // A close frame with "going away", in turn with the frames being written; the
            // read then ends. If the edge does not answer, the socket is closed.
            asio::co_spawn(
                io_,
                [ws, writer]() -> asio::awaitable<void> {
                    // Named, not a temporary: g++ 12 destroys capturing lambdas and braced
                    // aggregates that are temporaries of a co_await expression twice.
                    std::function<asio::awaitable<void>()> closeFrame = [ws]() -> asio::awaitable<void> {
                        co_await ws->async_close(websocket::close_code::going_away, asio::use_awaitable);
                    };
                    co_await writer->runInTurn(closeFrame);
                },
                asio::detached);
            auto fallback = std::make_shared<asio::steady_timer>(io_, std::chrono::seconds(2));
            fallback->async_wait([ws, fallback](boost::system::error_code) {
                boost::system::error_code ignored;
                beast::get_lowest_layer(*ws).socket().close(ignored);
            });
        };

        std::exception_ptr failure;
        try {
            // One buffer for all frames: it keeps its capacity, and a frame is read in place.
            beast::flat_buffer buffer;
            for (;;) {
                buffer.consume(buffer.size());
                // A rare large frame (a request body) does not stay allocated for the connection's life.
                if (buffer.capacity() > keptReadBufferBytes) buffer.shrink_to_fit();
                boost::system::error_code ec;
                co_await ws->async_read(buffer, asio::redirect_error(asio::use_awaitable, ec));
                if (ec) {
                    if (stopping_) break;
                    throw CLIError::pairing(sentence(ec.message()));
                }
                const std::string_view bytes(static_cast<const char*>(buffer.data().data()), buffer.size());
                // Stream data, the bulk of the traffic, is decoded straight from the frame.
                if (const auto data = tunnel::recognizeStreamData(bytes)) {
                    co_await registry->receive(std::string(data->id), tunnel::base64Decode(data->data));
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
                    co_await registry->receive(std::move(*data));
                } else if (auto* end = std::get_if<tunnel::StreamEndFrame>(&frame)) {
                    co_await registry->finishWriting(end->message.id);
                } else if (auto* close = std::get_if<tunnel::StreamCloseFrame>(&frame)) {
                    registry->close(close->message.id, false);
                } else if (auto* request = std::get_if<TunnelRequestMessage>(&frame)) {
                    asio::co_spawn(io_, answer(*request, writer), asio::detached);
                }
            }
        } catch (...) {
            failure = std::current_exception();
        }
        cancelCurrent_ = nullptr;
        *ended = true;
        heartbeat->cancel();
        registry->closeAll();
        writer->close();
        boost::system::error_code ignored;
        beast::get_lowest_layer(*ws).socket().close(ignored);
        if (failure) std::rethrow_exception(failure);
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
            const auto configuration = configuration_;
            const auto token = token_;
            auto post = [configuration, token]() -> asio::awaitable<void> {
                sendPanelHeartbeat(configuration, token);
                co_return;
            };
            try {
                co_await asio::co_spawn(pool_, post, asio::use_awaitable);
            } catch (...) {
            }
            if (*ended) break;
            timer->expires_after(settings_.heartbeatPeriod);
            boost::system::error_code ignored;
            co_await timer->async_wait(asio::redirect_error(asio::use_awaitable, ignored));
        }
    }

    asio::awaitable<void> answer(TunnelRequestMessage request, std::shared_ptr<TunnelFrameWriter> writer) {
        TunnelResponseMessage response = co_await serve(request);
        try {
            co_await writer->send(response);
        } catch (...) {
        }
    }

    asio::awaitable<TunnelResponseMessage> serve(const TunnelRequestMessage& request) {
        const auto target = EdgeTunnelRunner::localTarget(request.path);
        if (request.targetPort < 1 || request.targetPort > 65535 || !target) {
            co_return plainAnswer(request.id, 400, "Invalid local target.");
        }
        // Nothing with a line break or other forbidden character reaches the local service.
        bool valid = isHTTPToken(request.method);
        for (const auto& [name, value] : request.headers) valid = valid && isHTTPToken(name) && isHTTPFieldValue(value);
        if (!valid) co_return plainAnswer(request.id, 400, "Invalid request header fields.");

        const std::string port = std::to_string(request.targetPort);
        const std::string unavailable = "Local port " + port + " is unavailable.";
        bhttp::request<bhttp::string_body> outgoing;
        outgoing.method_string(request.method);
        outgoing.target(*target);
        outgoing.version(11);
        const std::string& host = configuration_.localHost;
        outgoing.set(bhttp::field::host, (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" + port);
        static const char* const dropped[] = {"connection", "content-length", "host", "transfer-encoding", "upgrade"};
        for (const auto& [name, value] : request.headers) {
            const std::string key = lower(name);
            if (std::find(std::begin(dropped), std::end(dropped), key) != std::end(dropped)) continue;
            outgoing.set(name, value);
        }
        outgoing.body() = tunnel::base64Decode(request.body).value_or("");
        if (!outgoing.body().empty()) outgoing.prepare_payload();

        beast::tcp_stream stream(io_);
        stream.expires_after(settings_.localRequestTimeout);
        boost::system::error_code ec;
        tcp::resolver resolver(io_);
        auto endpoints = co_await resolver.async_resolve(host, port, asio::redirect_error(asio::use_awaitable, ec));
        if (ec) co_return plainAnswer(request.id, 502, unavailable);
        co_await stream.async_connect(endpoints, asio::redirect_error(asio::use_awaitable, ec));
        if (ec) co_return plainAnswer(request.id, 502, unavailable);
        co_await bhttp::async_write(stream, outgoing, asio::redirect_error(asio::use_awaitable, ec));
        if (ec) co_return plainAnswer(request.id, 502, unavailable);
        beast::flat_buffer buffer;
        bhttp::response_parser<bhttp::string_body> parser;
        parser.body_limit(maxLocalResponseBytes);
        if (request.method == "HEAD") parser.skip(true);
        co_await bhttp::async_read(stream, buffer, parser, asio::redirect_error(asio::use_awaitable, ec));
        boost::system::error_code ignored;
        stream.socket().shutdown(tcp::socket::shutdown_both, ignored);
        if (ec) {
            if (ec.category() == bhttp::make_error_code(bhttp::error::bad_version).category() && ec != bhttp::error::end_of_stream &&
                ec != bhttp::error::partial_message && ec != bhttp::error::body_limit) {
                co_return plainAnswer(request.id, 502, "The local service returned an invalid response.");
            }
            co_return plainAnswer(request.id, 502, unavailable);
        }
        auto& incoming = parser.get();
        std::vector<std::pair<std::string, std::string>> fields;
        for (const auto& field : incoming) fields.emplace_back(std::string(field.name_string()), std::string(field.value()));
        co_return TunnelResponseMessage{"response", request.id, incoming.result_int(), joinResponseHeaders(fields),
                                        tunnel::base64Encode(incoming.body())};
    }

    asio::io_context io_;
    asio::thread_pool pool_{2};
    const EdgeTunnelConfiguration& configuration_;
    const std::string& edgeURL_;
    const std::string& token_;
    const EdgeTunnelSettings& settings_;
    asio::steady_timer backoff_;
    bool stopping_ = false;
    std::function<void()> cancelCurrent_;
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
