// tessaron-edge: a loopback edge relay (see README.md beside this file).

#include "host/base64.h"
#include "host/json.h"
#include "panel/tunnel_messages.h"
#include "tls_front.h"

#include <boost/asio.hpp>
#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>

#include <algorithm>
#include <array>
#include <chrono>
#include <functional>
#include <cstdio>
#include <deque>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace bhttp = boost::beast::http;
namespace websocket = boost::beast::websocket;
using asio::ip::tcp;
using asio::ip::udp;
using namespace tessaron;
using Json = json::Json;

namespace {

struct Options {
    std::optional<std::string> token;
    std::optional<std::string> machineID;
    int httpTarget = 80;
    int tcpTarget = 0;
    int udpTarget = 0;
    int delayMs = 0;
    int readyCount = 1;
    bool frameLog = true;
    // What the parties of one helper connection may have waiting (see README.md).
    std::size_t streamBudget = 4u << 20;
    std::size_t connectionBudget = 32u << 20;
    std::chrono::milliseconds stuckAfter{30'000};
    std::chrono::milliseconds pacedFor{500};
    std::optional<edge::TlsFiles> tls;  // also serve wss
};

// Public TCP data waits while this much is queued for the helper.
constexpr std::size_t maxQueuedBytes = 8u << 20;

// A frame for a waiting party: its text, or for stream data its decoded bytes.
struct Frame {
    std::string text;
    bool data = false;  // `text` holds the bytes of a "stream_data" frame
};

struct Mailbox;

// What all parties of one helper connection have waiting for them.
struct Held {
    Held(asio::any_io_executor ex, std::size_t partyBudget)
        : room(ex, asio::steady_timer::time_point::max()), partyBudget(partyBudget) {}
    std::size_t bytes = 0;
    asio::steady_timer room;  // cancelled whenever a party takes some of its data or leaves
    std::size_t partyBudget;
    std::vector<Mailbox*> overBudget;  // parties with more than partyBudget waiting
};

// Events for one waiting party (a public request or a stream), woken by a timer.
struct Mailbox {
    Mailbox(asio::any_io_executor ex, std::shared_ptr<Held> held)
        : wake(ex, asio::steady_timer::time_point::max()), held(std::move(held)) {}
    std::deque<Frame> frames;
    std::size_t bytes = 0;           // their size
    bool gone = false;               // the helper connection ended, or the party left
    asio::steady_timer wake;
    std::shared_ptr<Held> held;      // counted there too until the party is gone
    // When the party last took a frame, or when frames began to wait for it.
    std::chrono::steady_clock::time_point lastTaken;
    // Ends a stream party whose public client stopped reading (TCP streams only).
    std::function<void()> abort;
    bool overBudget = false;
    ~Mailbox() { fail(); }
    void push(Frame frame) {
        if (frames.empty()) lastTaken = std::chrono::steady_clock::now();
        bytes += frame.text.size();
        if (!gone) held->bytes += frame.text.size();
        frames.push_back(std::move(frame));
        checkBudget();
        wake.cancel();
    }
    // The party's client took some of its data.
    void took() {
        lastTaken = std::chrono::steady_clock::now();
        held->room.cancel();
    }
    // What is still queued may be taken, but no longer counts for the connection.
    void fail() {
        if (!gone) {
            held->bytes -= bytes;
            held->room.cancel();
        }
        gone = true;
        checkBudget();
        wake.cancel();
    }
    void checkBudget() {
        const bool over = !gone && bytes > held->partyBudget;
        if (over == overBudget) return;
        overBudget = over;
        if (over) held->overBudget.push_back(this);
        else std::erase(held->overBudget, this);
    }
    // The next frame, or nullopt when the helper is gone or the wait timed out.
    asio::awaitable<std::optional<Frame>> next(std::chrono::milliseconds limit) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (frames.empty() && !gone && std::chrono::steady_clock::now() < deadline) {
            wake.expires_at(deadline);
            boost::system::error_code ignored;
            co_await wake.async_wait(asio::redirect_error(asio::use_awaitable, ignored));
        }
        if (frames.empty()) co_return std::nullopt;
        Frame frame = std::move(frames.front());
        frames.pop_front();
        bytes -= frame.text.size();
        if (!gone) held->bytes -= frame.text.size();
        checkBudget();
        took();
        co_return frame;
    }
};

struct Helper {
    Helper(tcp::socket socket, std::size_t partyBudget)
        : ws(std::move(socket)), room(ws.get_executor(), asio::steady_timer::time_point::max()),
          held(std::make_shared<Held>(ws.get_executor(), partyBudget)) {}
    websocket::stream<beast::tcp_stream> ws;
    std::deque<std::string> outbox;
    std::size_t queuedBytes = 0;
    asio::steady_timer room;  // cancelled whenever the queue shrinks below the limit
    bool writing = false;
    bool closed = false;
    std::map<std::string, std::shared_ptr<Mailbox>> waiting;  // request and stream ids
    std::shared_ptr<Held> held;  // all of their frames
    // Strings of large frames already written, kept (a few) to frame the next stream data in
    // without a new allocation.
    std::vector<std::string> spare;
};

class Relay {
public:
    Relay(asio::io_context& io, Options options) : io_(io), options_(std::move(options)) {}

    void start() {
        auto ws = listen();
        if (options_.tls) tlsFront_ = std::make_unique<edge::TlsFront>(io_, *options_.tls, ws->local_endpoint().port());
        auto http = listen();
        auto tcpPublic = listen();
        auto admin = listen();
        udp_ = std::make_unique<udp::socket>(io_, udp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
        std::printf("tessaron-edge ws=%u http=%u tcp=%u udp=%u admin=%u", ws->local_endpoint().port(),
                    http->local_endpoint().port(), tcpPublic->local_endpoint().port(), udp_->local_endpoint().port(),
                    admin->local_endpoint().port());
        if (tlsFront_) std::printf(" wss=%u", tlsFront_->port());
        std::printf("\n");
        std::fflush(stdout);
        spawnAcceptor(ws, [this](tcp::socket s) { return helperSession(std::move(s)); });
        spawnAcceptor(http, [this](tcp::socket s) { return publicHTTP(std::move(s)); });
        spawnAcceptor(tcpPublic, [this](tcp::socket s) { return publicTCP(std::move(s)); });
        spawnAcceptor(admin, [this](tcp::socket s) { return adminSession(std::move(s)); });
        asio::co_spawn(io_, publicUDP(), asio::detached);
    }

private:
    std::shared_ptr<tcp::acceptor> listen() {
        return std::make_shared<tcp::acceptor>(io_, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
    }

    template <class Handler>
    void spawnAcceptor(std::shared_ptr<tcp::acceptor> acceptor, Handler handler) {
        asio::co_spawn(
            io_,
            [acceptor, handler]() -> asio::awaitable<void> {
                for (;;) {
                    tcp::socket socket = co_await acceptor->async_accept(asio::use_awaitable);
                    asio::co_spawn(acceptor->get_executor(), handler(std::move(socket)), asio::detached);
                }
            },
            asio::detached);
    }

    // ---- the helper's WebSocket ----

    void sendToHelper(std::string text) {
        auto helper = helper_;
        if (!helper || helper->closed) return;
        helper->queuedBytes += text.size();
        helper->outbox.push_back(std::move(text));
        if (helper->writing) return;
        helper->writing = true;
        asio::co_spawn(
            io_,
            [this, helper]() -> asio::awaitable<void> {
                while (!helper->outbox.empty() && !helper->closed) {
                    if (options_.delayMs > 0) {
                        asio::steady_timer t(io_, std::chrono::milliseconds(options_.delayMs));
                        co_await t.async_wait(asio::use_awaitable);
                    }
                    std::string text = std::move(helper->outbox.front());
                    helper->outbox.pop_front();
                    helper->queuedBytes -= text.size();
                    if (helper->queuedBytes < maxQueuedBytes) helper->room.cancel();
                    helper->ws.text(true);
                    boost::system::error_code ec;
                    co_await helper->ws.async_write(asio::buffer(text), asio::redirect_error(asio::use_awaitable, ec));
                    if (ec) break;
                    if (text.capacity() >= (64u << 10) && helper->spare.size() < 4) helper->spare.push_back(std::move(text));
                }
                helper->writing = false;
            },
            asio::detached);
    }

    void endHelper(const std::shared_ptr<Helper>& helper) {
        if (helper->closed) return;
        helper->closed = true;
        helper->room.cancel();
        helper->held->room.cancel();
        boost::system::error_code ignored;
        beast::get_lowest_layer(helper->ws).socket().close(ignored);
        for (auto& [id, box] : helper->waiting) box->fail();
        helper->waiting.clear();
        if (helper_ == helper) helper_.reset();
    }

    asio::awaitable<void> helperSession(tcp::socket socket) {
        auto helper = std::make_shared<Helper>(std::move(socket), options_.streamBudget);
        beast::flat_buffer buffer;
        bhttp::request<bhttp::string_body> upgrade;
        boost::system::error_code ec;
        co_await bhttp::async_read(helper->ws.next_layer(), buffer, upgrade, asio::redirect_error(asio::use_awaitable, ec));
        if (ec) co_return;
        const std::string authorization(upgrade["authorization"]);
        const std::string machineID(upgrade["x-tessaron-machine-id"]);
        ++connections_;
        lastAuthorization_ = authorization;
        lastMachineID_ = machineID;
        const bool accepted = websocket::is_upgrade(upgrade) &&
                              (!options_.token || authorization == "Bearer " + *options_.token) &&
                              (!options_.machineID || machineID == *options_.machineID);
        if (!accepted) {
            bhttp::response<bhttp::string_body> refusal{bhttp::status::unauthorized, 11};
            refusal.body() = "refused\n";
            refusal.prepare_payload();
            co_await bhttp::async_write(helper->ws.next_layer(), refusal, asio::redirect_error(asio::use_awaitable, ec));
            co_return;
        }
        helper->ws.read_message_max(512u << 20);
        co_await helper->ws.async_accept(upgrade, asio::redirect_error(asio::use_awaitable, ec));
        if (ec) co_return;
        // One frame per message (not 4 KiB continuation frames); small frames go out at once.
        helper->ws.auto_fragment(false);
        boost::system::error_code noDelayError;
        beast::get_lowest_layer(helper->ws).socket().set_option(tcp::no_delay(true), noDelayError);
        if (helper_) endHelper(helper_);
        helper_ = helper;
        for (int i = 0; i < options_.readyCount; ++i) sendToHelper(R"({"type":"ready"})");
        asio::co_spawn(io_, watchStuckParties(helper), asio::detached);

        beast::flat_buffer message;
        for (;;) {
            message.consume(message.size());
            // The next frame waits while a party over its budget is still taking data (its
            // client sets the pace), or while the connection's budget is in use; a client that
            // stopped reading holds up nobody else's frames.
            while (!helper->closed) {
                const bool full = helper->held->bytes >= options_.connectionBudget;
                const auto paced = pacedUntil(*helper->held);
                if (!full && !paced) break;
                helper->held->room.expires_at(full ? asio::steady_timer::time_point::max() : *paced);
                boost::system::error_code ignored;
                co_await helper->held->room.async_wait(asio::redirect_error(asio::use_awaitable, ignored));
            }
            co_await helper->ws.async_read(message, asio::redirect_error(asio::use_awaitable, ec));
            if (ec == websocket::error::closed) lastCloseCode_ = static_cast<int>(helper->ws.reason().code);
            if (ec) break;
            const std::string_view bytes(static_cast<const char*>(message.data().data()), message.size());
            if (options_.frameLog) frames_.emplace_back(bytes);
            // Stream data, the bulk of the traffic, is read and decoded in one pass and goes
            // to its stream as bytes.
            if (const auto data = tunnel::readStreamData(bytes, decoded_.get()); data && data->valid) {
                auto it = helper->waiting.find(std::string(data->id));
                if (it != helper->waiting.end()) {
                    it->second->push(Frame{std::string(decoded_.get(), data->size), true});
                    noteHeld(*helper);
                }
                continue;
            }
            std::string text(bytes);
            // Answers and the like need no JSON tree to find their party either.
            std::optional<std::string> id;
            if (const auto head = tunnel::readFrameHead(text)) {
                if (head->type == "heartbeat") ++heartbeats_;
                if (head->id) id = std::string(*head->id);
            } else {
                try {
                    const Json object = json::parseObject(text);
                    const std::string type = json::string(object, "type");
                    if (type == "heartbeat") ++heartbeats_;
                    id = json::optionalString(object, "id");
                } catch (const std::exception&) {
                }
            }
            if (id) {
                auto it = helper->waiting.find(*id);
                if (it != helper->waiting.end()) {
                    it->second->push(Frame{std::move(text)});
                    noteHeld(*helper);
                }
            }
        }
        endHelper(helper);
    }

    void noteHeld(const Helper& helper) { heldHigh_ = std::max(heldHigh_, helper.held->bytes); }

    // Until when a party over its budget whose client still takes data sets the pace.
    std::optional<std::chrono::steady_clock::time_point> pacedUntil(const Held& held) const {
        const auto now = std::chrono::steady_clock::now();
        std::optional<std::chrono::steady_clock::time_point> until;
        for (const Mailbox* box : held.overBudget) {
            const auto end = box->lastTaken + options_.pacedFor;
            if (end > now && (!until || end > *until)) until = end;
        }
        return until;
    }

    // A stream whose public client has taken none of its frames for stuckAfter, while it
    // has more than its budget waiting or the connection's budget is in use, is closed:
    // "stream_close" with the reason to the helper, and the public client's socket closed.
    asio::awaitable<void> watchStuckParties(std::shared_ptr<Helper> helper) {
        const auto period = std::clamp<std::chrono::milliseconds>(options_.stuckAfter / 8, std::chrono::milliseconds(10),
                                                                  std::chrono::milliseconds(1000));
        asio::steady_timer tick(io_);
        while (!helper->closed) {
            tick.expires_after(period);
            co_await tick.async_wait(asio::use_awaitable);
            const auto now = std::chrono::steady_clock::now();
            const bool connectionFull = helper->held->bytes >= options_.connectionBudget;
            std::vector<std::pair<std::string, bool>> stuck;
            for (const auto& [id, box] : helper->waiting) {
                if (!box->abort || box->bytes == 0) continue;
                const bool overBudget = box->bytes > options_.streamBudget;
                if ((overBudget || connectionFull) && now - box->lastTaken >= options_.stuckAfter) {
                    stuck.emplace_back(id, overBudget);
                }
            }
            for (const auto& [id, overBudget] : stuck) {
                auto it = helper->waiting.find(id);
                if (it == helper->waiting.end()) continue;
                auto box = it->second;
                helper->waiting.erase(it);
                box->fail();
                box->abort();
                ++stuckStreams_;
                sendToHelper(tunnel::encode(tunnel::TunnelStreamControlMessage{"stream_close", id, stuckSentence(overBudget)}));
            }
        }
    }

    std::string stuckSentence(bool overBudget) const {
        auto amount = [](std::size_t bytes) {
            return bytes % (1u << 20) == 0 ? std::to_string(bytes >> 20) + " MiB" : std::to_string(bytes) + " bytes";
        };
        char seconds[32];
        std::snprintf(seconds, sizeof seconds, "%g", static_cast<double>(options_.stuckAfter.count()) / 1000);
        return std::string("The public client took none of this stream’s data for ") + seconds + " seconds while " +
               (overBudget ? "more than the stream’s " + amount(options_.streamBudget) + " were waiting for it."
                           : "the connection’s " + amount(options_.connectionBudget) + " for waiting data were full.");
    }

    // Registers a mailbox for an id on the current helper; nullptr when there is none.
    std::shared_ptr<Mailbox> expect(const std::string& id) {
        if (!helper_) return nullptr;
        auto box = std::make_shared<Mailbox>(io_.get_executor(), helper_->held);
        helper_->waiting[id] = box;
        return box;
    }
    void forget(const std::string& id) {
        if (!helper_) return;
        auto it = helper_->waiting.find(id);
        if (it == helper_->waiting.end()) return;
        it->second->fail();
        helper_->waiting.erase(it);
    }

    // ---- public HTTP ----

    asio::awaitable<void> publicHTTP(tcp::socket socket) {
        beast::tcp_stream stream(std::move(socket));
        beast::flat_buffer buffer;
        for (;;) {
            bhttp::request_parser<bhttp::string_body> parser;
            parser.body_limit(256u << 20);
            boost::system::error_code ec;
            co_await bhttp::async_read(stream, buffer, parser, asio::redirect_error(asio::use_awaitable, ec));
            if (ec) co_return;
            auto request = parser.release();
            const std::string id = "r" + std::to_string(++counter_);
            tunnel::HeaderFields headers;
            for (const auto& field : request) {
                std::string name(field.name_string());
                auto [it, inserted] = headers.emplace(name, std::string(field.value()));
                if (!inserted) it->second += ", " + std::string(field.value());
            }
            bhttp::response<bhttp::string_body> response;
            response.version(11);
            auto box = expect(id);
            std::optional<Frame> answer;
            if (box) {
                sendToHelper(tunnel::encode(tunnel::TunnelRequestMessage{
                    "request", id, std::string(request.method_string()), std::string(request.target()), headers,
                    base64Encode(request.body()), options_.httpTarget}));
                answer = co_await box->next(std::chrono::seconds(120));
                forget(id);
            }
            std::optional<tunnel::TunnelResponseMessage> decoded;
            if (answer && !answer->data) {
                try {
                    decoded = tunnel::decodeResponse(answer->text);
                } catch (const std::exception&) {
                }
            }
            if (decoded) {
                response.result(static_cast<unsigned>(decoded->status));
                for (const auto& [name, value] : decoded->headers) {
                    std::string key = name;
                    for (auto& c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
                    if (key == "content-length" || key == "transfer-encoding" || key == "connection" ||
                        key == "keep-alive")
                        continue;
                    std::size_t start = 0;
                    for (;;) {
                        const auto end = value.find('\n', start);
                        response.insert(name, value.substr(start, end - start));
                        if (end == std::string::npos) break;
                        start = end + 1;
                    }
                }
                response.body() = base64Decode(decoded->body).value_or("");
            } else {
                response.result(bhttp::status::bad_gateway);
                response.set(bhttp::field::content_type, "text/plain");
                response.body() = "The tunnel did not answer.\n";
            }
            response.keep_alive(request.keep_alive());
            response.prepare_payload();
            // The header as the HTTP library would write it, in one buffer, and the body
            // beside it in the same write.
            char status[8];
            std::snprintf(status, sizeof status, "%03u ", response.result_int());
            std::string head = "HTTP/1.1 ";
            head.append(status).append(response.reason()).append("\r\n");
            for (const auto& field : response) {
                head.append(field.name_string()).append(": ").append(field.value()).append("\r\n");
            }
            head.append("\r\n");
            const std::array<asio::const_buffer, 2> message{asio::buffer(head), asio::buffer(response.body())};
            co_await asio::async_write(stream, message, asio::redirect_error(asio::use_awaitable, ec));
            if (ec || !request.keep_alive()) co_return;
        }
    }

    // ---- public TCP ----

    asio::awaitable<void> publicTCP(tcp::socket socket) {
        auto client = std::make_shared<tcp::socket>(std::move(socket));
        const std::string id = "t" + std::to_string(++counter_);
        auto box = expect(id);
        if (!box) co_return;
        sendToHelper(tunnel::encode(tunnel::TunnelStreamOpenMessage{"stream_open", id, tunnel::TunnelTransport::tcp,
                                                                    options_.tcpTarget}));
        auto first = co_await box->next(std::chrono::seconds(60));
        if (!first || first->data || json::string(json::parseObject(first->text), "type") != "stream_opened") {
            forget(id);
            co_return;
        }
        auto helper = helper_;
        // Set when the relay closed the stream because its client stopped reading.
        auto abandoned = std::make_shared<bool>(false);
        box->abort = [client, abandoned] {
            *abandoned = true;
            boost::system::error_code ignored;
            client->close(ignored);
        };
        // Client to helper.
        asio::co_spawn(
            io_,
            [this, client, id, helper, abandoned]() -> asio::awaitable<void> {
                for (;;) {
                    boost::system::error_code ec;
                    co_await client->async_wait(tcp::socket::wait_read, asio::redirect_error(asio::use_awaitable, ec));
                    // Back-pressure: read on only once the helper has taken most of the queue.
                    while (!ec && !helper->closed && helper->queuedBytes >= maxQueuedBytes) {
                        boost::system::error_code ignored;
                        co_await helper->room.async_wait(asio::redirect_error(asio::use_awaitable, ignored));
                    }
                    if (helper != helper_ || *abandoned) co_return;
                    // Read into the relay's one buffer and framed at once: an idle stream holds
                    // no buffer.
                    std::size_t n = 0;
                    if (!ec) {
                        client->non_blocking(true, ec);
                        if (!ec) n = client->read_some(asio::buffer(readBuffer_.data(), readBuffer_.size()), ec);
                        if (ec == asio::error::would_block || ec == asio::error::try_again) continue;
                    }
                    if (n > 0) {
                        std::string frame;
                        if (!helper->spare.empty()) {
                            frame = std::move(helper->spare.back());
                            helper->spare.pop_back();
                        }
                        tunnel::encodeStreamData(id, std::string_view(readBuffer_.data(), n), frame);
                        sendToHelper(std::move(frame));
                    }
                    if (ec == asio::error::eof) {
                        sendToHelper(tunnel::encode(tunnel::TunnelStreamControlMessage{"stream_end", id, std::nullopt}));
                        co_return;
                    }
                    if (ec) {
                        sendToHelper(tunnel::encode(tunnel::TunnelStreamControlMessage{"stream_close", id, std::nullopt}));
                        co_return;
                    }
                }
            },
            asio::detached);
        // Helper to client.
        for (;;) {
            auto frame = co_await box->next(std::chrono::hours(24));
            if (!frame) break;
            std::string_view bytes;
            std::string owned;
            std::string type;
            if (frame->data) {
                type = "stream_data";
                bytes = frame->text;
            } else {
                const Json object = json::parseObject(frame->text);
                type = json::string(object, "type");
                if (type == "stream_data") owned = base64Decode(json::string(object, "data")).value_or("");
                bytes = owned;
            }
            if (type == "stream_data") {
                boost::system::error_code ec;
                for (std::size_t done = 0; !ec && done < bytes.size();) {
                    done += co_await client->async_write_some(asio::buffer(bytes.data() + done, bytes.size() - done),
                                                              asio::redirect_error(asio::use_awaitable, ec));
                    box->took();
                }
                if (ec) break;
            } else if (type == "stream_end") {
                boost::system::error_code ignored;
                client->shutdown(tcp::socket::shutdown_send, ignored);
                break;
            } else if (type == "stream_close") {
                break;
            }
        }
        forget(id);
        // Let the client finish reading what was sent, then close.
        boost::system::error_code ignored;
        client->shutdown(tcp::socket::shutdown_send, ignored);
    }

    // ---- public UDP ----

    asio::awaitable<void> publicUDP() {
        std::string buffer(65536, '\0');
        for (;;) {
            udp::endpoint from;
            boost::system::error_code ec;
            const std::size_t n =
                co_await udp_->async_receive_from(asio::buffer(buffer), from, asio::redirect_error(asio::use_awaitable, ec));
            if (ec) continue;
            std::string datagram(buffer.data(), n);
            auto it = udpStreams_.find(from);
            if (it == udpStreams_.end() || it->second.helper != helper_ || (it->second.helper && it->second.helper->closed)) {
                const std::string id = "u" + std::to_string(++counter_);
                auto box = expect(id);
                if (!box) continue;
                udpStreams_[from] = UdpStream{id, helper_, false, {}};
                sendToHelper(tunnel::encode(tunnel::TunnelStreamOpenMessage{"stream_open", id,
                                                                            tunnel::TunnelTransport::udp,
                                                                            options_.udpTarget}));
                asio::co_spawn(io_, udpReturn(from, id, box), asio::detached);
                it = udpStreams_.find(from);
            }
            if (it->second.open) {
                sendToHelper(tunnel::encode(
                    tunnel::TunnelStreamDataMessage{"stream_data", it->second.id, base64Encode(datagram)}));
            } else {
                it->second.queued.push_back(std::move(datagram));
            }
        }
    }

    asio::awaitable<void> udpReturn(udp::endpoint client, std::string id, std::shared_ptr<Mailbox> box) {
        for (;;) {
            auto frame = co_await box->next(std::chrono::hours(24));
            if (!frame) break;
            if (frame->data) {
                boost::system::error_code ignored;
                co_await udp_->async_send_to(asio::buffer(frame->text), client,
                                             asio::redirect_error(asio::use_awaitable, ignored));
                continue;
            }
            const Json object = json::parseObject(frame->text);
            const std::string type = json::string(object, "type");
            if (type == "stream_opened") {
                auto& stream = udpStreams_[client];
                stream.open = true;
                for (auto& datagram : stream.queued) {
                    sendToHelper(tunnel::encode(tunnel::TunnelStreamDataMessage{"stream_data", id, base64Encode(datagram)}));
                }
                stream.queued.clear();
            } else if (type == "stream_data") {
                const auto bytes = base64Decode(json::string(object, "data")).value_or("");
                boost::system::error_code ignored;
                co_await udp_->async_send_to(asio::buffer(bytes), client, asio::redirect_error(asio::use_awaitable, ignored));
            } else if (type == "stream_open_error" || type == "stream_close") {
                break;
            }
        }
        forget(id);
        auto it = udpStreams_.find(client);
        if (it != udpStreams_.end() && it->second.id == id) udpStreams_.erase(it);
    }

    // ---- admin ----

    asio::awaitable<void> adminSession(tcp::socket socket) {
        beast::tcp_stream stream(std::move(socket));
        beast::flat_buffer buffer;
        bhttp::request<bhttp::string_body> request;
        boost::system::error_code ec;
        co_await bhttp::async_read(stream, buffer, request, asio::redirect_error(asio::use_awaitable, ec));
        if (ec) co_return;
        bhttp::response<bhttp::string_body> response{bhttp::status::ok, 11};
        const std::string target(request.target());
        const std::string path = target.substr(0, target.find('?'));
        if (path == "/frames") {
            std::string all;
            for (const auto& frame : frames_) all += frame + "\n";
            response.body() = all;
        } else if (path == "/state") {
            response.body() = json::encode(Json{{"connections", connections_},
                                                {"connected", helper_ != nullptr},
                                                {"authorization", lastAuthorization_},
                                                {"machineId", lastMachineID_},
                                                {"heartbeats", heartbeats_},
                                                {"closeCode", lastCloseCode_},
                                                {"waitingBytes", helper_ ? static_cast<std::int64_t>(helper_->held->bytes) : 0},
                                                {"waitingHigh", static_cast<std::int64_t>(heldHigh_)},
                                                {"stuckStreams", stuckStreams_}});
        } else if (path == "/send") {
            if (!helper_) response.result(bhttp::status::conflict);
            sendToHelper(request.body());
        } else if (path == "/send-lines") {
            if (!helper_) response.result(bhttp::status::conflict);
            const std::string& body = request.body();
            std::size_t start = 0;
            while (start < body.size()) {
                const auto end = body.find('\n', start);
                const std::string line = body.substr(start, end == std::string::npos ? std::string::npos : end - start);
                if (!line.empty()) sendToHelper(line);
                if (end == std::string::npos) break;
                start = end + 1;
            }
        } else if (path == "/drop") {
            if (helper_) endHelper(helper_);
        } else if (path == "/delay") {
            const auto at = target.find("ms=");
            options_.delayMs = at == std::string::npos ? 0 : std::atoi(target.c_str() + at + 3);
        } else {
            response.result(bhttp::status::not_found);
        }
        response.keep_alive(false);
        response.prepare_payload();
        co_await bhttp::async_write(stream, response, asio::redirect_error(asio::use_awaitable, ec));
    }

    struct UdpStream {
        std::string id;
        std::shared_ptr<Helper> helper;
        bool open = false;
        std::vector<std::string> queued;
    };

    asio::io_context& io_;
    Options options_;
    std::shared_ptr<Helper> helper_;
    std::unique_ptr<edge::TlsFront> tlsFront_;
    std::unique_ptr<udp::socket> udp_;
    std::map<udp::endpoint, UdpStream> udpStreams_;
    std::vector<std::string> frames_;
    std::vector<char> readBuffer_ = std::vector<char>(tunnel::maxStreamPayload);
    // Where stream data from the helper is decoded.
    std::unique_ptr<char[]> decoded_ = std::make_unique_for_overwrite<char[]>(tunnel::streamDataBufferSize);
    std::uint64_t counter_ = 0;
    int connections_ = 0;
    int heartbeats_ = 0;
    int lastCloseCode_ = 0;  // of the last close frame a helper sent
    std::size_t heldHigh_ = 0;  // the most ever waiting for the parties of one connection
    int stuckStreams_ = 0;      // streams closed because their client stopped reading
    std::string lastAuthorization_;
    std::string lastMachineID_;
};

}  // namespace

int main(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "tessaron-edge: %s needs a value\n", arg.c_str());
                std::exit(2);
            }
            return argv[++i];
        };
        if (arg == "--token") options.token = value();
        else if (arg == "--machine-id") options.machineID = value();
        else if (arg == "--http-target") options.httpTarget = std::stoi(value());
        else if (arg == "--tcp-target") options.tcpTarget = std::stoi(value());
        else if (arg == "--udp-target") options.udpTarget = std::stoi(value());
        else if (arg == "--delay-ms") options.delayMs = std::stoi(value());
        else if (arg == "--ready-count") options.readyCount = std::stoi(value());
        else if (arg == "--no-frame-log") options.frameLog = false;
        else if (arg == "--stream-budget") options.streamBudget = std::stoull(value());
        else if (arg == "--connection-budget") options.connectionBudget = std::stoull(value());
        else if (arg == "--stuck-after-ms") options.stuckAfter = std::chrono::milliseconds(std::stoll(value()));
        else if (arg == "--tls-cert") (options.tls ? *options.tls : options.tls.emplace()).certificateChain = value();
        else if (arg == "--tls-key") (options.tls ? *options.tls : options.tls.emplace()).privateKey = value();
        else {
            std::fprintf(stderr, "tessaron-edge: unknown option %s\n", arg.c_str());
            return 2;
        }
    }
    std::signal(SIGPIPE, SIG_IGN);
    asio::io_context io;
    if (options.tls && (options.tls->certificateChain.empty() || options.tls->privateKey.empty())) {
        std::fprintf(stderr, "tessaron-edge: --tls-cert and --tls-key go together\n");
        return 2;
    }
    Relay relay(io, options);
    try {
        relay.start();
    } catch (const std::exception& error) {
        std::fprintf(stderr, "tessaron-edge: %s\n", error.what());
        return 1;
    }
    asio::signal_set signals(io, SIGTERM, SIGINT);
    signals.async_wait([&](auto, int) { io.stop(); });
    io.run();
    return 0;
}
