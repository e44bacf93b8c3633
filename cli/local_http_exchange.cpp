#include "cli/local_http_exchange.h"

#include "cli/close_on_exec_sockets.h"
#include "cli/socket_state.h"
#include "cli/stream_forwarders.h"
#include "cli/tunnel_frame_writer.h"
#include "host/base64.h"

#include <boost/asio/redirect_error.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/core/buffers_suffix.hpp>
#include <boost/beast/core/string.hpp>
#include <boost/beast/http.hpp>

#include <algorithm>
#include <array>
#include <cctype>

namespace tessaron::cli {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace bhttp = boost::beast::http;
using asio::ip::tcp;
using tunnel::TunnelRequestMessage;
using tunnel::TunnelResponseMessage;

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

tunnel::HeaderFields joinResponseHeaders(const std::vector<std::pair<std::string_view, std::string_view>>& fields) {
    tunnel::HeaderFields joined;
    // The fields in order of their names without regard to case, and in their own order
    // within one name: each run of one name is one joined field under its first spelling.
    std::vector<std::size_t> order(fields.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return beast::iless()(fields[a].first, fields[b].first); });
    for (std::size_t at = 0; at < order.size();) {
        const auto& [name, first] = fields[order[at]];
        std::string value(first);
        const std::string_view separator = beast::iequals(name, "set-cookie") ? "\n" : ", ";
        for (++at; at < order.size() && beast::iequals(fields[order[at]].first, name); ++at) {
            value.append(separator).append(fields[order[at]].second);
        }
        joined.insert_or_assign(std::string(name), std::move(value));
    }
    return joined;
}

std::optional<std::string> localTarget(const std::string& path) {
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

namespace {

TunnelResponseMessage plainAnswer(const std::string& id, int status, const std::string& text) {
    return {"response", id, status, {{"content-type", "text/plain; charset=utf-8"}}, base64Encode(text)};
}

TunnelResponseMessage unavailableAnswer(const TunnelRequestMessage& request) {
    return plainAnswer(request.id, 502, "Local port " + std::to_string(request.targetPort) + " is unavailable.");
}

// The request's start line and header fields, as the HTTP library keeps them (a later field
// replaces an earlier one of the same name).
std::string requestHead(const TunnelRequestMessage& request, const std::string& target, const std::string& host,
                        int port, std::size_t bodyBytes) {
    bhttp::request_header<> outgoing;
    outgoing.method_string(request.method);
    outgoing.set(bhttp::field::host,
                 (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" + std::to_string(port));
    static constexpr std::string_view dropped[] = {"connection", "content-length", "host", "transfer-encoding",
                                                   "upgrade"};
    for (const auto& [name, value] : request.headers) {
        if (std::any_of(std::begin(dropped), std::end(dropped),
                        [&](std::string_view field) { return beast::iequals(name, field); }))
            continue;
        outgoing.set(name, value);
    }
    if (bodyBytes > 0) outgoing.set(bhttp::field::content_length, std::to_string(bodyBytes));
    std::string head;
    head.reserve(target.size() + 256);
    head.append(outgoing.method_string()).append(1, ' ').append(target).append(" HTTP/1.1\r\n");
    for (const auto& field : outgoing) {
        head.append(field.name_string()).append(": ").append(field.value()).append("\r\n");
    }
    head.append("\r\n");
    return head;
}

// A status that announces the answer rather than being it (101 ends HTTP on the
// connection, and is taken as the answer).
bool informational(unsigned status) { return status / 100 == 1 && status != 101; }

using AnswerParser = bhttp::response_parser<AnswerBody>;

// Ends an exchange once its service has let the time-out pass without progress, by closing
// the connection (what the exchange waits for then fails). Progress is each step that moves:
// a part of the request taken, a part of the answer read, and the service's side
// acknowledging more of the request while the exchange waits for the answer. While the
// helper itself waits for room, the watch is paused.
class SilenceWatch {
public:
    using Clock = std::chrono::steady_clock;

    SilenceWatch(tcp::socket& socket, std::chrono::milliseconds timeout)
        : state_(std::make_shared<State>(socket, timeout)) {
        arm(state_, timeout);
    }
    ~SilenceWatch() {
        state_->socket = nullptr;
        state_->timer.cancel();
    }
    SilenceWatch(const SilenceWatch&) = delete;
    SilenceWatch& operator=(const SilenceWatch&) = delete;

    void moved() { state_->last = Clock::now(); }
    // All of the request handed to the socket so far.
    void wrote(std::size_t total) {
        state_->written = total;
        moved();
    }
    void pause() { state_->paused = true; }
    void resume() {
        state_->paused = false;
        moved();
    }
    // The time-out passed, and the connection was closed.
    bool ended() const { return state_->ended; }

private:
    struct State {
        State(tcp::socket& socket, std::chrono::milliseconds timeout)
            : timer(socket.get_executor()), socket(&socket), timeout(timeout) {}
        asio::steady_timer timer;
        tcp::socket* socket;  // none once the exchange is over
        std::chrono::milliseconds timeout;
        Clock::time_point last = Clock::now();
        std::size_t written = 0;
        std::size_t delivered = 0;
        bool paused = false;
        bool ended = false;
    };

    // Looks again after `wait`, or ends the exchange.
    static void arm(const std::shared_ptr<State>& state, Clock::duration wait) {
        state->timer.expires_after(wait);
        state->timer.async_wait([state](const boost::system::error_code& ec) {
            if (ec || !state->socket) return;
            const auto now = Clock::now();
            if (state->paused) state->last = now;
            // What the service's side acknowledged of the request since the last look.
            const std::size_t delivered = state->socket->is_open()
                                              ? acknowledgedBytes(state->socket->native_handle(), state->written)
                                              : state->delivered;
            if (delivered > state->delivered) {
                state->delivered = delivered;
                state->last = now;
            }
            const auto silentFor = now - state->last;
            if (silentFor < state->timeout) {
                // Acknowledgements are only seen when looked for: while some are awaited, the
                // look comes sooner.
                const Clock::duration left = state->timeout - silentFor;
                arm(state, delivered < state->written ? std::min<Clock::duration>(left, state->timeout / 4) : left);
                return;
            }
            state->ended = true;
            boost::system::error_code ignored;
            state->socket->close(ignored);
        });
    }

    std::shared_ptr<State> state_;
};

// The connection of one exchange, given back however the exchange ends: kept for the
// next request when its service keeps it alive and nothing of this answer is left on it.
struct Slot {
    LocalHTTPConnections& connections;
    int port;
    LocalHTTPConnections::Connection connection;
    bool keep = false;
    ~Slot() { connections.give(port, std::move(connection), keep); }
};

}  // namespace

TunnelResponseMessage refusedAnswer(const TunnelRequestMessage& request, const std::string& bound,
                                    const std::function<void(const std::string&)>& printError) {
    printError(boundMetSentence(request.id, static_cast<int>(request.targetPort), bound));
    return unavailableAnswer(request);
}

asio::awaitable<LocalAnswer> exchangeWithLocalService(const TunnelRequestMessage& request, const std::string& body,
                                                      RequestBytes::Holding& holding, const LocalExchange& exchange) {
    const auto target = localTarget(request.path);
    if (request.targetPort < 1 || request.targetPort > 65535 || !target) {
        co_return plainAnswer(request.id, 400, "Invalid local target.");
    }
    // Nothing with a line break or other forbidden character reaches the local service.
    bool valid = isHTTPToken(request.method);
    for (const auto& [name, value] : request.headers) valid = valid && isHTTPToken(name) && isHTTPFieldValue(value);
    if (!valid) co_return plainAnswer(request.id, 400, "Invalid request header fields.");

    const int port = static_cast<int>(request.targetPort);
    const RequestBounds& bounds = exchange.bounds;
    const auto timeout = exchange.timeout;
    LocalHTTPConnections& connections = exchange.connections;
    // The head and the body go out together, in as few writes as the socket takes.
    const std::string head = requestHead(request, *target, exchange.localHost, port, body.size());
    const std::array<asio::const_buffer, 2> message{asio::buffer(head), asio::buffer(body)};

    // A connection to the port in turn: a kept-alive one, or room to open one. This wait
    // has its own bound.
    auto taken = co_await connections.take(port, timeout);
    if (!taken) {
        if (connections.closed()) co_return unavailableAnswer(request);
        co_return refusedAnswer(request, connectionWaitMet(bounds, timeout), exchange.printError);
    }
    Slot slot{connections, port, std::move(*taken)};
    // A kept connection on which something waits to be read (a late answer, or its end) is
    // not this request's to use.
    if (slot.connection->connected && !nothingToRead(slot.connection->stream.socket().native_handle())) {
        slot.connection->stream.close();
        slot.connection->connected = false;
    }

    boost::system::error_code ec;
    // A kept-alive connection first; if the service closed it meanwhile (nothing of an
    // answer came back), the request goes once more on a new connection. Once the tunnel
    // connection has ended (its connections are closed), the request ends at its next step.
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (connections.closed()) co_return unavailableAnswer(request);
        const bool reused = attempt == 0 && slot.connection->connected;
        beast::tcp_stream& stream = slot.connection->stream;
        beast::flat_buffer& buffer = slot.connection->buffer;
        if (!reused) {
            std::vector<tcp::endpoint> endpoints;
            try {
                for (const auto& address : co_await exchange.addresses.lookUp(exchange.localHost)) {
                    endpoints.emplace_back(address, static_cast<unsigned short>(port));
                }
            } catch (const std::exception&) {
                co_return unavailableAnswer(request);
            }
            if (connections.closed()) co_return unavailableAnswer(request);
            buffer.clear();
            stream.expires_after(timeout);
            co_await connectCloseOnExec(stream, endpoints, ec);
            if (ec || connections.closed()) co_return unavailableAnswer(request);
            stream.expires_never();
            slot.connection->connected = true;
            boost::system::error_code ignored;
            stream.socket().set_option(tcp::no_delay(true), ignored);
        }
        SilenceWatch watch(stream.socket(), timeout);
        std::optional<AnswerParser> parser;
        bool heard = false;  // an informational answer came: the service has the request
        {
            // What the service takes of the body, until its answer begins, tells the bodies
            // waiting for room that it is reading.
            RequestBytes::Sending sending(exchange.bytes, stream.socket());
            beast::buffers_suffix<std::array<asio::const_buffer, 2>> unwritten(message);
            std::size_t written = 0;
            while (!ec && written < head.size() + body.size()) {
                const std::size_t wrote =
                    co_await stream.async_write_some(unwritten, asio::redirect_error(asio::use_awaitable, ec));
                unwritten.consume(wrote);
                written += wrote;
                sending.wrote(written);
                watch.wrote(written);
            }
            if (ec && reused && !watch.ended()) continue;
            if (ec) co_return unavailableAnswer(request);
            // Heads until the answer's own: informational ones are read past.
            do {
                heard = heard || parser.has_value();
                parser.emplace();
                parser->header_limit(static_cast<std::uint32_t>(bounds.answerHeadBytes));
                parser->body_limit(bounds.answerBytes);
                if (request.method == "HEAD") parser->skip(true);
                while (!ec && !parser->is_header_done()) {
                    co_await bhttp::async_read_some(stream, buffer, *parser,
                                                    asio::redirect_error(asio::use_awaitable, ec));
                    watch.moved();
                }
            } while (!ec && informational(parser->get().result_int()));
        }
        if (ec && reused && !heard && !watch.ended() && buffer.size() == 0 && !parser->got_some() &&
            (ec == bhttp::error::end_of_stream || ec == asio::error::eof || ec == asio::error::connection_reset)) {
            continue;
        }
        // The body is read while the bytes held and the writer leave room (see RequestBounds).
        {
            RequestBytes::Reading reading(exchange.bytes, holding);
            while (!ec && !parser->is_done()) {
                const std::size_t answerBytes = parser->get().body().capacity;
                holding.resize(body.size() + answerBytes);
                // Waiting for room is the helper's own time, not the service's silence.
                watch.pause();
                // A read takes what the buffer holds and at most 64 KiB more.
                const auto declared = parser->content_length();
                co_await reading.room(answerBytes, declared.value_or(0),
                                      AnswerBody::growth(parser->get().body(), declared, buffer.size() + 65536));
                if (exchange.writer.unwrittenBytes() >= exchange.writerRoom) {
                    co_await exchange.writer.waitForRoom(exchange.writerRoom);
                }
                watch.resume();
                co_await bhttp::async_read_some(stream, buffer, *parser, asio::redirect_error(asio::use_awaitable, ec));
                watch.moved();
            }
            holding.resize(body.size() + parser->get().body().capacity);
        }
        if (ec) {
            boost::system::error_code ignored;
            stream.socket().shutdown(tcp::socket::shutdown_both, ignored);
            if (ec == bhttp::error::header_limit) {
                co_return refusedAnswer(request, answerHeadBytesMet(bounds), exchange.printError);
            }
            if (ec == bhttp::error::body_limit) {
                co_return refusedAnswer(request, answerBytesMet(bounds), exchange.printError);
            }
            if (ec.category() == bhttp::make_error_code(bhttp::error::bad_version).category() &&
                ec != bhttp::error::end_of_stream && ec != bhttp::error::partial_message) {
                co_return plainAnswer(request.id, 502, "The local service returned an invalid response.");
            }
            co_return unavailableAnswer(request);
        }
        auto& incoming = parser->get();
        std::vector<std::pair<std::string_view, std::string_view>> fields;
        for (const auto& field : incoming) fields.emplace_back(field.name_string(), field.value());
        LocalAnswer answered{TunnelResponseMessage{"response", request.id, incoming.result_int(),
                                                   joinResponseHeaders(fields), ""}};
        answered.body = std::move(incoming.body());
        // Nothing of this answer is left unread on a connection that is kept.
        if (parser->keep_alive() && buffer.size() == 0 && incoming.result_int() != 101) {
            slot.keep = true;
        } else {
            boost::system::error_code ignored;
            stream.socket().shutdown(tcp::socket::shutdown_both, ignored);
        }
        co_return answered;
    }
    co_return unavailableAnswer(request);
}

}  // namespace tessaron::cli
