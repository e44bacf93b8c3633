#include "cli/stream_forwarders.h"

#include "cli/close_on_exec_sockets.h"
#include "host/base64.h"

#include <algorithm>
#include <cstdio>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/connect.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>
#include <boost/system/system_error.hpp>

namespace tessaron::cli {

namespace asio = boost::asio;
using asio::ip::tcp;
using asio::ip::udp;
using tunnel::TunnelTransport;

namespace {

constexpr const char* cancelledText = "The local connection was cancelled.";

std::string describe(const boost::system::error_code& ec) { return sentence(ec); }

std::string describe(std::exception_ptr error) {
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        return errorSentence(e);
    } catch (...) {
        return "Unknown error.";
    }
}

}  // namespace

std::string sentence(const boost::system::error_code& ec) {
    std::string text = ec.message();
    if (!text.empty()) text[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(text[0])));
    if (!text.empty() && text.back() != '.') text += '.';
    return text;
}

std::string errorSentence(const std::exception& error) {
    // A system error's what() carries the library's source location; its message does not.
    if (const auto* system = dynamic_cast<const boost::system::system_error*>(&error)) return sentence(system->code());
    return error.what();
}

std::string amountText(std::size_t bytes) {
    if (bytes % (1u << 20) == 0) return std::to_string(bytes >> 20) + " MiB";
    if (bytes % (1u << 10) == 0) return std::to_string(bytes >> 10) + " KiB";
    return std::to_string(bytes) + " bytes";
}

std::string durationText(std::chrono::milliseconds time) {
    if (time.count() == 1000) return "1 second";
    char text[32];
    std::snprintf(text, sizeof text, "%g seconds", static_cast<double>(time.count()) / 1000);
    return text;
}

std::string stuckStreamSentence(const StreamBudgets& budgets, bool overStreamBudget) {
    return "The local service took none of this stream’s data for " + durationText(budgets.stuckAfter) + " while " +
           (overStreamBudget ? "more than the stream’s " + amountText(budgets.streamBytes) + " were waiting for it."
                             : "the connection’s " + amountText(budgets.connectionBytes) +
                                   " for waiting data were full.");
}

// ---- LocalAddresses ----

LocalAddresses::LocalAddresses(asio::any_io_executor executor) : executor_(std::move(executor)) {}

asio::awaitable<std::vector<asio::ip::address>> LocalAddresses::lookUp(std::string host) {
    boost::system::error_code ec;
    const auto numeric = asio::ip::make_address(host, ec);
    if (!ec) co_return std::vector<asio::ip::address>{numeric};
    if (const auto known = known_.find(host); known != known_.end()) co_return known->second;
    tcp::resolver resolver(executor_);
    const auto results = co_await resolver.async_resolve(host, "", asio::redirect_error(asio::use_awaitable, ec));
    if (ec) throw LocalForwardingError::connectionFailed(describe(ec));
    std::vector<asio::ip::address> addresses;
    for (const auto& entry : results) {
        if (std::find(addresses.begin(), addresses.end(), entry.endpoint().address()) == addresses.end()) {
            addresses.push_back(entry.endpoint().address());
        }
    }
    if (addresses.empty()) throw LocalForwardingError::connectionFailed("The local host has no address.");
    known_[host] = addresses;
    co_return addresses;
}

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

asio::awaitable<void> LocalForwarder::start(LocalAddresses& addresses) {
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
    asio::steady_timer deadline(executor_, connectTimeout_);
    struct ConnectState { bool timedOut = false; bool done = false; };
    auto state = std::make_shared<ConnectState>();

    // Looked up once per tunnel connection (no look-up at all for a numeric address).
    const std::vector<asio::ip::address> found = co_await addresses.lookUp(host_);
    if (cancelled_) throw LocalForwardingError::connectionFailed(cancelledText);
    if (transport_ == TunnelTransport::tcp) {
        std::vector<tcp::endpoint> endpoints;
        for (const auto& address : found) endpoints.emplace_back(address, static_cast<unsigned short>(port_));
        deadline.async_wait([self, state](boost::system::error_code e) {
            if (!e && !state->done && !self->cancelled_) {
                state->timedOut = true;
                boost::system::error_code ignored;
                self->tcp_.close(ignored);
            }
        });
        co_await connectCloseOnExec(tcp_, endpoints, ec);
        state->done = true;
        deadline.cancel();
        if (cancelled_) throw LocalForwardingError::connectionFailed(cancelledText);
        if (state->timedOut) throw LocalForwardingError::connectionFailed("The local connection timed out.");
        if (ec) throw LocalForwardingError::connectionFailed(describe(ec));
        tcp_.set_option(tcp::no_delay(true), ec);
        tcp_.non_blocking(true, ec);
    } else {
        const udp::endpoint target(found.front(), static_cast<unsigned short>(port_));
        openCloseOnExec(udp_, target.protocol(), ec);
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

std::size_t LocalForwarder::writeNow(std::string_view bytes) {
    boost::system::error_code ec;
    std::size_t n = 0;
    if (transport_ == TunnelTransport::tcp) {
        n = tcp_.write_some(asio::buffer(bytes.data(), bytes.size()), ec);
    } else {
        n = udp_.send(asio::buffer(bytes.data(), bytes.size()), 0, ec);
    }
    if (ec == asio::error::would_block || ec == asio::error::try_again) return 0;
    if (ec) throw LocalForwardingError::connectionFailed(cancelled_ ? std::string(cancelledText) : describe(ec));
    return transport_ == TunnelTransport::udp ? bytes.size() : n;
}

asio::awaitable<std::size_t> LocalForwarder::writeSome(std::string_view bytes) {
    boost::system::error_code ec;
    std::size_t n = 0;
    if (transport_ == TunnelTransport::tcp) {
        n = co_await tcp_.async_write_some(asio::buffer(bytes.data(), bytes.size()),
                                           asio::redirect_error(asio::use_awaitable, ec));
    } else {
        co_await udp_.async_send(asio::buffer(bytes.data(), bytes.size()), asio::redirect_error(asio::use_awaitable, ec));
        n = bytes.size();
    }
    if (ec) throw LocalForwardingError::connectionFailed(cancelled_ ? std::string(cancelledText) : describe(ec));
    co_return n;
}

void LocalForwarder::finishWritingNow() {
    if (transport_ == TunnelTransport::udp) return;
    boost::system::error_code ec;
    tcp_.shutdown(tcp::socket::shutdown_send, ec);
    if (ec) throw LocalForwardingError::connectionFailed(describe(ec));
}

asio::awaitable<void> LocalForwarder::waitReadable() {
    // An idle stream holds no read buffer: it waits until something can be read.
    boost::system::error_code ec;
    if (transport_ == TunnelTransport::tcp) {
        co_await tcp_.async_wait(tcp::socket::wait_read, asio::redirect_error(asio::use_awaitable, ec));
    } else {
        co_await udp_.async_wait(udp::socket::wait_read, asio::redirect_error(asio::use_awaitable, ec));
    }
    if (cancelled_) throw LocalForwardingError::connectionFailed(cancelledText);
    if (ec) throw LocalForwardingError::connectionFailed(describe(ec));
}

std::pair<std::size_t, bool> LocalForwarder::readNow(char* buffer) {
    if (cancelled_) throw LocalForwardingError::connectionFailed(cancelledText);
    boost::system::error_code ec;
    std::size_t n = 0;
    const auto room = asio::buffer(buffer, tunnel::maxStreamPayload);
    if (transport_ == TunnelTransport::tcp) {
        n = tcp_.read_some(room, ec);
        if (ec == asio::error::eof) return {n, true};
    } else {
        n = udp_.receive(room, 0, ec);
    }
    if (ec == asio::error::would_block || ec == asio::error::try_again) return {0, false};
    if (ec) throw LocalForwardingError::connectionFailed(describe(ec));
    return {n, false};
}

asio::awaitable<void> LocalForwarder::forwardResponses(TunnelFrameWriter& writer, char* readBuffer) {
    auto self = shared_from_this();
    // Ends when the stream is closed, also while a frame of it was being written: a close
    // with notification is then still reported.
    for (;;) {
        std::exception_ptr failure;
        bool finished = false;
        try {
            co_await waitReadable();
            // Frames of all streams that wait for the edge's socket are bounded together.
            if (writer.unwrittenBytes() >= sendingBytes_) co_await writer.waitForRoom(sendingBytes_);
            // The read and its frame's encoding happen together, so the read buffer is free
            // again before anything else runs.
            const auto [n, end] = readNow(readBuffer);
            finished = end;
            if (n > 0) {
                std::string frame = writer.takeBuffer();
                tunnel::encodeStreamData(id_, std::string_view(readBuffer, n), frame);
                co_await writer.sendText(std::move(frame));
            }
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
        if (finished && transport_ == TunnelTransport::tcp) {
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
      writer_(std::move(writer)), addresses_(std::make_shared<LocalAddresses>(executor_)), room_(executor_, asio::steady_timer::time_point::max()),
      readBuffer_(std::make_unique_for_overwrite<char[]>(tunnel::maxStreamPayload)) {}

asio::awaitable<void> LocalForwarderRegistry::sendControl(std::string type, std::string id,
                                                          std::optional<std::string> error) {
    try {
        const tunnel::TunnelStreamControlMessage message{std::move(type), std::move(id), std::move(error)};
        co_await writer_->send(message);
    } catch (...) {
    }
}

// The SSH port look-up that concurrent "stream_open"s to port 22 share.
struct LocalForwarderRegistry::SSHPortLookup {
    explicit SSHPortLookup(asio::any_io_executor executor) : finished(executor, asio::steady_timer::time_point::max()) {}
    asio::steady_timer finished;
    bool ended = false;
    int port = 0;
    std::exception_ptr error;
};

asio::awaitable<std::pair<std::string, int>> LocalForwarderRegistry::localTarget(int port, TunnelTransport transport) {
    if (transport == TunnelTransport::tcp && port == 22 && targets_.vmName) {
        if (!targets_.sshLocalPort) throw LocalForwardingError::connectionFailed("The VM’s SSH port is unknown.");
        if (!sshLookup_) {
            // limactl runs off the I/O thread, once for all the opens that wait meanwhile.
            auto lookup = std::make_shared<SSHPortLookup>(executor_);
            sshLookup_ = lookup;
            asio::co_spawn(
                executor_,
                [self = shared_from_this(), lookup, find = targets_.sshLocalPort,
                 vmName = *targets_.vmName]() -> asio::awaitable<void> {
                    // Named, not a temporary: g++ 12 destroys capturing lambdas and braced
                    // aggregates that are temporaries of a co_await expression twice.
                    auto job = [find, vmName]() -> asio::awaitable<int> { co_return find(vmName); };
                    try {
                        lookup->port = co_await asio::co_spawn(self->blockingExecutor_, job, asio::use_awaitable);
                    } catch (...) {
                        lookup->error = std::current_exception();
                    }
                    lookup->ended = true;
                    if (self->sshLookup_ == lookup) self->sshLookup_.reset();
                    lookup->finished.cancel();
                },
                asio::detached);
        }
        const auto lookup = sshLookup_;
        while (!lookup->ended) {
            boost::system::error_code ignored;
            co_await lookup->finished.async_wait(asio::redirect_error(asio::use_awaitable, ignored));
        }
        if (lookup->error) std::rethrow_exception(lookup->error);
        co_return std::pair{std::string("127.0.0.1"), lookup->port};
    }
    co_return std::pair{targets_.localHost, port};
}

void LocalForwarderRegistry::discard(const std::string& id, const std::shared_ptr<LocalForwarder>& forwarder) {
    auto it = streams_.find(id);
    if (it != streams_.end() && it->second == forwarder) streams_.erase(it);
    if (forwarder) {
        forwarder->notifyOnClose = false;
        forwarder->cancel();
        dropQueue(*forwarder);
    }
}

asio::awaitable<void> LocalForwarderRegistry::open(tunnel::TunnelStreamOpenMessage message) {
    auto self = shared_from_this();
    const std::string id = message.id;
    if (streams_.count(id) != 0 || message.targetPort < 1 || message.targetPort > 65535) {
        co_await sendControl("stream_open_error", id, std::string("The requested stream is invalid."));
        co_return;
    }
    // Each stream holds a local socket: beyond the bound the process would run out of them.
    // Opens still looking up their target count too, so a flood of them stays bounded.
    if (streams_.size() + opening_ >= targets_.maxOpenStreams) {
        co_await sendControl("stream_open_error", id, std::string("Too many streams are open."));
        co_return;
    }
    struct Opening {
        std::size_t& count;
        bool counted = true;
        void done() {
            if (counted) --count;
            counted = false;
        }
        ~Opening() { done(); }
    } opening{opening_};
    ++opening_;
    std::shared_ptr<LocalForwarder> forwarder;
    std::exception_ptr failure;
    try {
        const auto [host, port] = co_await localTarget(static_cast<int>(message.targetPort), message.transport);
        // The id may have been taken while the SSH port was looked up.
        if (streams_.count(id) != 0) {
            opening.done();
            co_await sendControl("stream_open_error", id, std::string("The requested stream is invalid."));
            co_return;
        }
        forwarder = std::make_shared<LocalForwarder>(executor_, id, message.transport, host, port);
        forwarder->connectTimeout_ = targets_.connectTimeout;
        forwarder->sendingBytes_ = targets_.budgets.sendingBytes;
        streams_[id] = forwarder;
        opening.done();
        co_await forwarder->start(*addresses_);
        if (forwarder->cancelled()) throw LocalForwardingError::connectionFailed(cancelledText);
        const tunnel::TunnelStreamControlMessage opened{"stream_opened", id, std::nullopt};
        co_await writer_->send(opened);
    } catch (...) {
        failure = std::current_exception();
    }
    opening.done();
    if (failure) {
        // Only this open's own forwarder is removed: a newer stream with the same id stays.
        discard(id, forwarder);
        co_await sendControl("stream_open_error", id, describe(failure));
        co_return;
    }
    asio::co_spawn(
        executor_,
        [self, forwarder]() -> asio::awaitable<void> {
            co_await forwarder->forwardResponses(*self->writer_, self->readBuffer_.get());
            self->readerFinished(forwarder->id(), forwarder);
        },
        asio::detached);
}

asio::awaitable<void> LocalForwarderRegistry::receive(std::string_view id, std::optional<std::string_view> bytes) {
    auto self = shared_from_this();
    auto it = streams_.find(id);
    if (!bytes || bytes->size() > tunnel::maxStreamPayload || it == streams_.end()) {
        close(std::string(id), true);
        co_return;
    }
    auto forwarder = it->second;
    // The next frame waits while a reader over its budget is still taking data (it sets the
    // pace), or while the connection's budget is in use; a stuck reader holds up nothing.
    while (!forwarder->cancelled()) {
        const bool full = queuedBytes_ >= targets_.budgets.connectionBytes;
        const auto paced = pacedUntil();
        if (!full && !paced) break;
        room_.expires_at(full ? asio::steady_timer::time_point::max() : *paced);
        boost::system::error_code ignored;
        ++waitingForRoom_;
        co_await room_.async_wait(asio::redirect_error(asio::use_awaitable, ignored));
        --waitingForRoom_;
    }
    // A stream closed meanwhile was reported (or not) by whoever closed it.
    if (forwarder->cancelled() || bytes->empty()) co_return;
    std::size_t taken = 0;
    std::optional<std::string> failure;
    if (!forwarder->draining_ && forwarder->established()) {
        try {
            taken = forwarder->writeNow(*bytes);
        } catch (const std::exception& e) {
            failure = errorSentence(e);
        }
    }
    if (failure) {
        discard(forwarder->id(), forwarder);
        co_await sendControl("stream_close", forwarder->id(), failure);
        co_return;
    }
    if (taken < bytes->size()) queue(forwarder, bytes->substr(taken));
}

void LocalForwarderRegistry::queue(const std::shared_ptr<LocalForwarder>& forwarder, std::string_view bytes) {
    if (forwarder->queued_.empty()) forwarder->lastTaken_ = std::chrono::steady_clock::now();
    forwarder->queued_.emplace_back(bytes);
    forwarder->queuedBytes_ += bytes.size();
    queuedBytes_ += bytes.size();
    checkBudget(forwarder);
    if (queuedBytes_ > queuedHigh_) {
        queuedHigh_ = queuedBytes_;
        if (targets_.onWaitingHigh) targets_.onWaitingHigh(queuedHigh_);
    }
    if (!watching_) {
        watching_ = true;
        asio::co_spawn(executor_, watchStuckStreams(), asio::detached);
    }
    if (forwarder->draining_) return;
    forwarder->draining_ = true;
    asio::co_spawn(executor_, drain(forwarder), asio::detached);
}

void LocalForwarderRegistry::dropQueue(LocalForwarder& forwarder) {
    queuedBytes_ -= forwarder.queuedBytes_;
    forwarder.queuedBytes_ = 0;
    forwarder.queued_.clear();
    forwarder.finishQueued_ = false;
    if (forwarder.overBudget_) {
        forwarder.overBudget_ = false;
        std::erase_if(overBudget_, [&](const auto& listed) { return listed.get() == &forwarder; });
    }
    if (waitingForRoom_ > 0) room_.cancel();
}

void LocalForwarderRegistry::checkBudget(const std::shared_ptr<LocalForwarder>& forwarder) {
    const bool over = forwarder->queuedBytes_ > targets_.budgets.streamBytes;
    if (over == forwarder->overBudget_) return;
    forwarder->overBudget_ = over;
    if (over) {
        overBudget_.push_back(forwarder);
    } else {
        std::erase(overBudget_, forwarder);
    }
}

std::optional<std::chrono::steady_clock::time_point> LocalForwarderRegistry::pacedUntil() const {
    if (overBudget_.empty()) return std::nullopt;
    const auto now = std::chrono::steady_clock::now();
    std::optional<std::chrono::steady_clock::time_point> until;
    for (const auto& forwarder : overBudget_) {
        // A stream still connecting has no reader to follow yet.
        if (forwarder->connecting_ || forwarder->cancelled()) continue;
        const auto end = forwarder->lastTaken_ + targets_.budgets.pacedFor;
        if (end > now && (!until || end > *until)) until = end;
    }
    return until;
}

asio::awaitable<void> LocalForwarderRegistry::drain(std::shared_ptr<LocalForwarder> forwarder) {
    auto self = shared_from_this();
    std::exception_ptr failure;
    try {
        co_await forwarder->waitUntilConnected();
        // The reader's clock starts once it can read.
        forwarder->lastTaken_ = std::chrono::steady_clock::now();
        while (!forwarder->queued_.empty() && !forwarder->cancelled()) {
            // Still counted while it is written.
            const std::string chunk = std::move(forwarder->queued_.front());
            forwarder->queued_.pop_front();
            for (std::size_t done = 0; done < chunk.size();) {
                const std::size_t n = co_await forwarder->writeSome(std::string_view(chunk).substr(done));
                // A close while writing has emptied the queue and its count already.
                if (forwarder->cancelled()) break;
                done += n;
                forwarder->queuedBytes_ -= n;
                queuedBytes_ -= n;
                forwarder->lastTaken_ = std::chrono::steady_clock::now();
                checkBudget(forwarder);
                if (waitingForRoom_ > 0) room_.cancel();
            }
        }
        if (forwarder->finishQueued_ && !forwarder->cancelled()) {
            forwarder->finishQueued_ = false;
            forwarder->finishWritingNow();
        }
    } catch (...) {
        failure = std::current_exception();
    }
    dropQueue(*forwarder);
    forwarder->draining_ = false;
    // A stream that never opened is reported by its open ("stream_open_error") alone, and one
    // closed by someone else by whoever closed it; a local write failure is reported here.
    if (failure && forwarder->established() && !forwarder->cancelled()) {
        discard(forwarder->id(), forwarder);
        co_await sendControl("stream_close", forwarder->id(), describe(failure));
    }
}

asio::awaitable<void> LocalForwarderRegistry::watchStuckStreams() {
    auto self = shared_from_this();
    const StreamBudgets& budgets = targets_.budgets;
    const auto period = std::clamp<std::chrono::milliseconds>(budgets.stuckAfter / 8, std::chrono::milliseconds(10),
                                                              std::chrono::milliseconds(1000));
    asio::steady_timer tick(executor_);
    while (queuedBytes_ > 0) {
        tick.expires_after(period);
        boost::system::error_code ignored;
        co_await tick.async_wait(asio::redirect_error(asio::use_awaitable, ignored));
        const auto now = std::chrono::steady_clock::now();
        const bool connectionFull = queuedBytes_ >= budgets.connectionBytes;
        std::vector<std::pair<std::shared_ptr<LocalForwarder>, bool>> stuck;
        for (const auto& [id, forwarder] : streams_) {
            // A stream still connecting has no reader yet; its connect time-out bounds it.
            if (forwarder->queuedBytes_ == 0 || forwarder->connecting_) continue;
            const bool overBudget = forwarder->queuedBytes_ > budgets.streamBytes;
            if ((overBudget || connectionFull) && now - forwarder->lastTaken_ >= budgets.stuckAfter) {
                stuck.emplace_back(forwarder, overBudget);
            }
        }
        for (const auto& [forwarder, overBudget] : stuck) {
            discard(forwarder->id(), forwarder);
            asio::co_spawn(
                executor_,
                [self, id = forwarder->id(), text = stuckStreamSentence(budgets, overBudget)]() -> asio::awaitable<void> {
                    co_await self->sendControl("stream_close", id, text);
                },
                asio::detached);
        }
    }
    watching_ = false;
}

asio::awaitable<void> LocalForwarderRegistry::finishWriting(std::string id) {
    auto self = shared_from_this();
    auto it = streams_.find(id);
    if (it == streams_.end()) co_return;
    auto forwarder = it->second;
    // After the data still waiting, or once the stream is connected.
    if (forwarder->draining_ || forwarder->connecting_) {
        forwarder->finishQueued_ = true;
        if (!forwarder->draining_) {
            forwarder->draining_ = true;
            asio::co_spawn(executor_, drain(forwarder), asio::detached);
        }
        co_return;
    }
    std::optional<std::string> failure;
    try {
        forwarder->finishWritingNow();
    } catch (const std::exception& e) {
        failure = errorSentence(e);
    }
    if (failure) {
        discard(id, forwarder);
        co_await sendControl("stream_close", id, failure);
    }
}

void LocalForwarderRegistry::close(const std::string& id, bool notify) {
    auto it = streams_.find(id);
    if (it == streams_.end()) return;
    auto forwarder = it->second;
    streams_.erase(it);
    forwarder->notifyOnClose = notify;
    forwarder->cancel();
    dropQueue(*forwarder);
}

void LocalForwarderRegistry::closeAll() {
    auto streams = std::move(streams_);
    streams_.clear();
    for (auto& [id, forwarder] : streams) {
        forwarder->notifyOnClose = false;
        forwarder->cancel();
        dropQueue(*forwarder);
    }
}

void LocalForwarderRegistry::readerFinished(const std::string& id, const std::shared_ptr<LocalForwarder>& forwarder) {
    auto it = streams_.find(id);
    if (it != streams_.end() && it->second == forwarder) streams_.erase(it);
    // The reader has ended, so its socket is closed whichever way the stream was removed.
    forwarder->notifyOnClose = false;
    forwarder->cancel();
    dropQueue(*forwarder);
}

}  // namespace tessaron::cli
