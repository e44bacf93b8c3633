#include "cli/stream_forwarders.h"

#include "host/base64.h"

#include <algorithm>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/connect.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>

namespace tessaron::cli {

namespace asio = boost::asio;
using asio::ip::tcp;
using asio::ip::udp;
using tunnel::TunnelTransport;

namespace {

constexpr const char* cancelledText = "The local connection was cancelled.";

std::string describe(const boost::system::error_code& ec) {
    std::string text = ec.message();
    if (!text.empty()) text[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(text[0])));
    if (!text.empty() && text.back() != '.') text += '.';
    return text;
}

std::string describe(std::exception_ptr error) {
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "Unknown error.";
    }
}

}  // namespace

// ---- LocalForwarder ----

LocalForwarder::LocalForwarder(asio::any_io_executor executor, std::string id, TunnelTransport transport,
                               std::string host, int port)
    : executor_(executor), id_(std::move(id)), transport_(transport), host_(std::move(host)), port_(port),
      tcp_(executor), udp_(executor), connected_(executor, asio::steady_timer::time_point::max()) {
    if (port < 1 || port > 65535) throw LocalForwardingError::invalidPort();
}

void LocalForwarder::cancel() {
    cancelled_ = true;
    connected_.cancel();
    boost::system::error_code ignored;
    if (tcp_.is_open()) {
        tcp_.shutdown(tcp::socket::shutdown_both, ignored);
        tcp_.close(ignored);
    }
    if (udp_.is_open()) udp_.close(ignored);
}

asio::awaitable<void> LocalForwarder::start() {
    auto self = shared_from_this();
    // However start() ends, data waiting for the connection goes on (or fails).
    struct Ready {
        LocalForwarder& forwarder;
        ~Ready() {
            forwarder.connecting_ = false;
            forwarder.connected_.cancel();
        }
    } ready{*this};
    boost::system::error_code ec;
    const std::string service = std::to_string(port_);
    asio::steady_timer deadline(executor_, connectTimeout_);
    struct ConnectState { bool timedOut = false; bool done = false; };
    auto state = std::make_shared<ConnectState>();

    if (transport_ == TunnelTransport::tcp) {
        tcp::resolver resolver(executor_);
        auto endpoints = co_await resolver.async_resolve(host_, service, asio::redirect_error(asio::use_awaitable, ec));
        if (cancelled_) throw LocalForwardingError::connectionFailed(cancelledText);
        if (ec) throw LocalForwardingError::connectionFailed(describe(ec));
        deadline.async_wait([self, state](boost::system::error_code e) {
            if (!e && !state->done && !self->cancelled_) {
                state->timedOut = true;
                boost::system::error_code ignored;
                self->tcp_.close(ignored);
            }
        });
        co_await asio::async_connect(tcp_, endpoints, asio::redirect_error(asio::use_awaitable, ec));
        state->done = true;
        deadline.cancel();
        if (cancelled_) throw LocalForwardingError::connectionFailed(cancelledText);
        if (state->timedOut) throw LocalForwardingError::connectionFailed("The local connection timed out.");
        if (ec) throw LocalForwardingError::connectionFailed(describe(ec));
        tcp_.set_option(tcp::no_delay(true), ec);
        tcp_.non_blocking(true, ec);
    } else {
        udp::resolver resolver(executor_);
        auto endpoints = co_await resolver.async_resolve(host_, service, asio::redirect_error(asio::use_awaitable, ec));
        if (cancelled_) throw LocalForwardingError::connectionFailed(cancelledText);
        if (ec || endpoints.empty()) throw LocalForwardingError::connectionFailed(describe(ec));
        const udp::endpoint target = endpoints.begin()->endpoint();
        udp_.open(target.protocol(), ec);
        if (!ec) udp_.connect(target, ec);
        if (!ec) udp_.non_blocking(true, ec);
        if (ec) throw LocalForwardingError::connectionFailed(describe(ec));
    }
    established_ = true;
    co_return;
}

asio::awaitable<void> LocalForwarder::waitUntilConnected() {
    // Data may arrive while the stream is still connecting: it is written once connected.
    while (connecting_ && !cancelled_) {
        boost::system::error_code ignored;
        co_await connected_.async_wait(asio::redirect_error(asio::use_awaitable, ignored));
    }
    if (cancelled_ || !established_) throw LocalForwardingError::connectionFailed(cancelledText);
}

asio::awaitable<void> LocalForwarder::send(const std::string& bytes) {
    if (bytes.size() > tunnel::maxStreamPayload) throw LocalForwardingError::invalidPayload();
    co_await waitUntilConnected();
    boost::system::error_code ec;
    if (transport_ == TunnelTransport::tcp) {
        co_await asio::async_write(tcp_, asio::buffer(bytes), asio::redirect_error(asio::use_awaitable, ec));
    } else {
        co_await udp_.async_send(asio::buffer(bytes), asio::redirect_error(asio::use_awaitable, ec));
    }
    if (ec) throw LocalForwardingError::connectionFailed(cancelled_ ? std::string(cancelledText) : describe(ec));
}

asio::awaitable<void> LocalForwarder::finishWriting() {
    if (transport_ == TunnelTransport::udp) co_return;
    co_await waitUntilConnected();
    boost::system::error_code ec;
    tcp_.shutdown(tcp::socket::shutdown_send, ec);
    if (ec) throw LocalForwardingError::connectionFailed(describe(ec));
}

asio::awaitable<std::pair<std::string, bool>> LocalForwarder::receive() {
    // Wait until something can be read before taking a buffer, and size it by what is
    // there: an idle stream holds no read buffer (a 256 KiB one per open stream made a
    // thousand idle streams cost a quarter of a gigabyte).
    boost::system::error_code ec;
    if (transport_ == TunnelTransport::tcp) {
        co_await tcp_.async_wait(tcp::socket::wait_read, asio::redirect_error(asio::use_awaitable, ec));
    } else {
        co_await udp_.async_wait(udp::socket::wait_read, asio::redirect_error(asio::use_awaitable, ec));
    }
    if (ec) throw LocalForwardingError::connectionFailed(cancelled_ ? std::string(cancelledText) : describe(ec));
    if (cancelled_) throw LocalForwardingError::connectionFailed(cancelledText);
    boost::system::error_code ignored;
    const std::size_t available =
        transport_ == TunnelTransport::tcp ? tcp_.available(ignored) : udp_.available(ignored);
    std::string buffer(std::clamp<std::size_t>(available, 1, tunnel::maxStreamPayload), '\0');
    std::size_t n = 0;
    // The socket is readable (data, end of data or an error), so these do not block.
    if (transport_ == TunnelTransport::tcp) {
        n = tcp_.read_some(asio::buffer(buffer), ec);
        if (ec == asio::error::eof) {
            buffer.resize(n);
            co_return std::pair{std::move(buffer), true};
        }
    } else {
        n = udp_.receive(asio::buffer(buffer), 0, ec);
    }
    if (ec == asio::error::would_block || ec == asio::error::try_again) {
        co_return std::pair{std::string(), false};
    }
    if (ec) throw LocalForwardingError::connectionFailed(cancelled_ ? std::string(cancelledText) : describe(ec));
    buffer.resize(n);
    co_return std::pair{std::move(buffer), false};
}

asio::awaitable<void> LocalForwarder::forwardResponses(TunnelFrameWriter& writer) {
    auto self = shared_from_this();
    while (!cancelled_) {
        std::pair<std::string, bool> chunk;
        std::exception_ptr readFailure;
        try {
            chunk = co_await receive();
        } catch (...) {
            readFailure = std::current_exception();
        }
        if (readFailure) {
            if (notifyOnClose) {
                try {
                    const tunnel::TunnelStreamControlMessage close{"stream_close", id_, describe(readFailure)};
                    co_await writer.send(close);
                } catch (...) {
                }
            }
            co_return;
        }
        if (!chunk.first.empty()) {
            std::exception_ptr failure;
            try {
                // Written straight as frame text: no Base64 string and JSON tree on the way.
                co_await writer.sendText(tunnel::encodeStreamData(id_, chunk.first));
            } catch (...) {
                failure = std::current_exception();
            }
            if (failure) {
                if (notifyOnClose) {
                    try {
                        const tunnel::TunnelStreamControlMessage close{"stream_close", id_, describe(failure)};
                        co_await writer.send(close);
                    } catch (...) {
                    }
                }
                co_return;
            }
        }
        if (chunk.second && transport_ == TunnelTransport::tcp) {
            if (notifyOnClose) {
                try {
                    const tunnel::TunnelStreamControlMessage end{"stream_end", id_, std::nullopt};
                    co_await writer.send(end);
                } catch (...) {
                }
            }
            co_return;
        }
    }
}

// ---- LocalForwarderRegistry ----

LocalForwarderRegistry::LocalForwarderRegistry(asio::any_io_executor executor, asio::any_io_executor blockingExecutor,
                                               StreamTargets targets, std::shared_ptr<TunnelFrameWriter> writer)
    : executor_(std::move(executor)), blockingExecutor_(std::move(blockingExecutor)), targets_(std::move(targets)),
      writer_(std::move(writer)) {}

asio::awaitable<void> LocalForwarderRegistry::sendControl(std::string type, std::string id,
                                                          std::optional<std::string> error) {
    try {
        const tunnel::TunnelStreamControlMessage message{std::move(type), std::move(id), std::move(error)};
        co_await writer_->send(message);
    } catch (...) {
    }
}

asio::awaitable<std::pair<std::string, int>> LocalForwarderRegistry::localTarget(int port, TunnelTransport transport) {
    if (transport == TunnelTransport::tcp && port == 22 && targets_.vmName) {
        if (!targets_.sshLocalPort) throw LocalForwardingError::connectionFailed("The VM's SSH port is unknown.");
        // limactl runs off the I/O thread.
        const auto lookup = targets_.sshLocalPort;
        const std::string vmName = *targets_.vmName;
        // Named, not a temporary: g++ 12 destroys capturing lambdas and braced aggregates
        // that are temporaries of a co_await expression twice.
        auto job = [lookup, vmName]() -> asio::awaitable<int> { co_return lookup(vmName); };
        const int sshPort = co_await asio::co_spawn(blockingExecutor_, job, asio::use_awaitable);
        co_return std::pair{std::string("127.0.0.1"), sshPort};
    }
    co_return std::pair{targets_.localHost, port};
}

void LocalForwarderRegistry::discard(const std::string& id, const std::shared_ptr<LocalForwarder>& forwarder) {
    auto it = streams_.find(id);
    if (it != streams_.end() && it->second == forwarder) streams_.erase(it);
    if (forwarder) {
        forwarder->notifyOnClose = false;
        forwarder->cancel();
    }
}

asio::awaitable<void> LocalForwarderRegistry::open(tunnel::TunnelStreamOpenMessage message) {
    auto self = shared_from_this();
    const std::string id = message.id;
    if (streams_.count(id) != 0 || message.targetPort < 1 || message.targetPort > 65535) {
        co_await sendControl("stream_open_error", id, std::string("The requested stream is invalid."));
        co_return;
    }
    std::shared_ptr<LocalForwarder> forwarder;
    std::exception_ptr failure;
    try {
        const auto [host, port] = co_await localTarget(static_cast<int>(message.targetPort), message.transport);
        // The id may have been taken while the SSH port was looked up.
        if (streams_.count(id) != 0) {
            co_await sendControl("stream_open_error", id, std::string("The requested stream is invalid."));
            co_return;
        }
        forwarder = std::make_shared<LocalForwarder>(executor_, id, message.transport, host, port);
        forwarder->connectTimeout_ = targets_.connectTimeout;
        streams_[id] = forwarder;
        co_await forwarder->start();
        if (forwarder->cancelled()) throw LocalForwardingError::connectionFailed(cancelledText);
        const tunnel::TunnelStreamControlMessage opened{"stream_opened", id, std::nullopt};
        co_await writer_->send(opened);
    } catch (...) {
        failure = std::current_exception();
    }
    if (failure) {
        // Only this open's own forwarder is removed: a newer stream with the same id stays.
        discard(id, forwarder);
        co_await sendControl("stream_open_error", id, describe(failure));
        co_return;
    }
    asio::co_spawn(
        executor_,
        [self, forwarder]() -> asio::awaitable<void> {
            co_await forwarder->forwardResponses(*self->writer_);
            self->readerFinished(forwarder->id(), forwarder);
        },
        asio::detached);
}

asio::awaitable<void> LocalForwarderRegistry::receive(tunnel::TunnelStreamDataMessage message) {
    return receive(std::move(message.id), base64Decode(message.data));
}

asio::awaitable<void> LocalForwarderRegistry::receive(std::string id, std::optional<std::string> bytes) {
    auto self = shared_from_this();
    auto it = streams_.find(id);
    if (!bytes || bytes->size() > tunnel::maxStreamPayload || it == streams_.end()) {
        close(id, true);
        co_return;
    }
    auto forwarder = it->second;
    std::exception_ptr failure;
    try {
        co_await forwarder->send(*bytes);
    } catch (...) {
        failure = std::current_exception();
    }
    if (failure) {
        discard(id, forwarder);
        // A stream that never opened is reported by its open ("stream_open_error") alone.
        if (forwarder->established()) co_await sendControl("stream_close", id, describe(failure));
    }
}

asio::awaitable<void> LocalForwarderRegistry::finishWriting(std::string id) {
    auto self = shared_from_this();
    auto it = streams_.find(id);
    if (it == streams_.end()) co_return;
    auto forwarder = it->second;
    std::exception_ptr failure;
    try {
        co_await forwarder->finishWriting();
    } catch (...) {
        failure = std::current_exception();
    }
    if (failure) {
        discard(id, forwarder);
        if (forwarder->established()) co_await sendControl("stream_close", id, describe(failure));
    }
}

void LocalForwarderRegistry::close(const std::string& id, bool notify) {
    auto it = streams_.find(id);
    if (it == streams_.end()) return;
    auto forwarder = it->second;
    streams_.erase(it);
    forwarder->notifyOnClose = notify;
    forwarder->cancel();
}

void LocalForwarderRegistry::closeAll() {
    auto streams = std::move(streams_);
    streams_.clear();
    for (auto& [id, forwarder] : streams) {
        forwarder->notifyOnClose = false;
        forwarder->cancel();
    }
}

void LocalForwarderRegistry::readerFinished(const std::string& id, const std::shared_ptr<LocalForwarder>& forwarder) {
    auto it = streams_.find(id);
    if (it != streams_.end() && it->second == forwarder) streams_.erase(it);
    // The reader has ended, so its socket is closed whichever way the stream was removed.
    forwarder->notifyOnClose = false;
    forwarder->cancel();
}

}  // namespace tessaron::cli
