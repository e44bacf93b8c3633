#include "cli/request_bounds.h"

#include "cli/output.h"
#include "cli/socket_state.h"
#include "cli/stream_budgets.h"

#include <boost/asio/redirect_error.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <algorithm>

namespace tessaron::cli {

namespace asio = boost::asio;
using Clock = std::chrono::steady_clock;

namespace {
// A rare large answer does not stay allocated while its connection waits for the next.
constexpr std::size_t keptLocalBufferBytes = 64u << 10;

// An answer that holds this much is large; large answers together read on only within
// their share, and the rest of the budget stays for the requests that hold little.
std::size_t largeAnswerBytes(const RequestBounds& bounds) { return std::max<std::size_t>(bounds.heldBytes / 256, 1); }
std::size_t largeAnswersShare(const RequestBounds& bounds) { return bounds.heldBytes - bounds.heldBytes / 4; }
}  // namespace

std::string boundMetSentence(const std::string& requestID, int port, const std::string& what) {
    return "Request " + escapedForTerminal(requestID) + " to local port " + std::to_string(port) +
           " was answered as unavailable: " + what;
}

std::string heldBytesMet(const RequestBounds& bounds) {
    return "the " + amountText(bounds.heldBytes) +
           " for the bodies and answers of this connection’s requests were in use, and none was being taken.";
}

std::string answerBytesMet(const RequestBounds& bounds) {
    return "its answer was larger than " + amountText(bounds.answerBytes) + ".";
}

std::string answerHeadBytesMet(const RequestBounds& bounds) {
    return "its answer’s head was larger than " + amountText(bounds.answerHeadBytes) + ".";
}

std::string connectionWaitMet(const RequestBounds& bounds, std::chrono::milliseconds waited) {
    return "no connection to the port came free within " + durationText(waited) + " (at most " +
           std::to_string(bounds.connectionsPerPort) + " at once).";
}

// ---- LocalHTTPConnections ----

LocalHTTPConnections::LocalHTTPConnections(asio::any_io_executor executor, RequestBounds bounds)
    : executor_(std::move(executor)), bounds_(bounds) {}

asio::awaitable<std::optional<LocalHTTPConnections::Connection>> LocalHTTPConnections::take(
    int port, std::chrono::milliseconds wait) {
    if (closed_) co_return std::nullopt;
    Port& entry = ports_[port];
    if (entry.waiting.empty()) {
        if (!entry.idle.empty()) {
            Connection connection = std::move(entry.idle.back());
            entry.idle.pop_back();
            co_return lent(std::move(connection));
        }
        if (entry.open < bounds_.connectionsPerPort && makeRoom(port)) {
            ++entry.open;
            ++open_;
            co_return lent(nullptr);
        }
    }
    auto waiter = std::make_shared<Waiter>(executor_, arrivals_++);
    waiter->wake.expires_after(wait);
    entry.waiting.push_back(waiter);
    boost::system::error_code ignored;
    co_await waiter->wake.async_wait(asio::redirect_error(asio::use_awaitable, ignored));
    if (waiter->granted && !closed_) co_return lent(std::move(*waiter->granted));
    std::erase(ports_[port].waiting, waiter);
    if (waiter->granted) give(port, std::move(*waiter->granted), false);
    co_return std::nullopt;
}

LocalHTTPConnections::Connection LocalHTTPConnections::lent(Connection connection) {
    if (!connection) connection = std::make_unique<LocalConnection>(executor_);
    busy_.insert(connection.get());
    return connection;
}

void LocalHTTPConnections::give(int port, Connection connection, bool keep) {
    busy_.erase(connection.get());
    Port& entry = ports_[port];
    if (keep && connection && !closed_) {
        if (!entry.waiting.empty()) {
            auto next = std::move(entry.waiting.front());
            entry.waiting.pop_front();
            next->granted = std::move(connection);
            next->wake.cancel();
            return;
        }
        const bool othersWait =
            std::any_of(ports_.begin(), ports_.end(), [](const auto& other) { return !other.second.waiting.empty(); });
        if (!othersWait) {
            connection->stream.expires_never();
            if (connection->buffer.capacity() > keptLocalBufferBytes) connection->buffer = boost::beast::flat_buffer();
            entry.idle.push_back(std::move(connection));
            return;
        }
    }
    // Closed: its room goes to the request that waited longest.
    connection.reset();
    --entry.open;
    --open_;
    grantRoom();
}

bool LocalHTTPConnections::makeRoom(int port) {
    if (open_ < bounds_.connections) return true;
    for (auto& [otherPort, other] : ports_) {
        if (otherPort == port || other.idle.empty()) continue;
        other.idle.pop_back();
        --other.open;
        --open_;
        return true;
    }
    return false;
}

void LocalHTTPConnections::grantRoom() {
    if (closed_) return;
    for (;;) {
        Port* first = nullptr;
        int firstPort = 0;
        for (auto& [port, entry] : ports_) {
            if (entry.waiting.empty() || entry.open >= bounds_.connectionsPerPort) continue;
            if (!first || entry.waiting.front()->order < first->waiting.front()->order) {
                first = &entry;
                firstPort = port;
            }
        }
        if (!first || !makeRoom(firstPort)) return;
        auto next = std::move(first->waiting.front());
        first->waiting.pop_front();
        ++first->open;
        ++open_;
        next->granted = Connection{};
        next->wake.cancel();
    }
}

void LocalHTTPConnections::closeAll() {
    closed_ = true;
    // Their requests see the failure at their next step and give them back.
    for (auto* connection : busy_) connection->stream.close();
    for (auto& [port, entry] : ports_) {
        entry.open -= entry.idle.size();
        open_ -= entry.idle.size();
        entry.idle.clear();
        for (auto& waiter : entry.waiting) waiter->wake.cancel();
    }
}

// ---- RequestBytes ----

RequestBytes::RequestBytes(asio::any_io_executor executor, RequestBounds bounds)
    : executor_(std::move(executor)), bounds_(bounds) {}

bool RequestBytes::fits(std::size_t size) const {
    // A body larger than the whole budget is held only alone; a request without one holds
    // nothing until its answer, which waits for room as every answer does.
    return size == 0 || held_ == 0 || held_ + size <= bounds_.heldBytes;
}

asio::awaitable<RequestBytes::Admission> RequestBytes::holdBody(std::size_t size,
                                                              const std::function<bool()>& connectionUp) {
    // How often a waiting body looks at what the services took, and at the connection.
    const auto lookEvery = std::clamp<std::chrono::milliseconds>(bounds_.pacedFor / 5, std::chrono::milliseconds(1),
                                                                 std::chrono::milliseconds(100));
    for (;;) {
        if (closed_) co_return Admission::ended;
        const auto now = Clock::now();
        if (fits(size)) {
            held_ += size;
            if (size > 0) lastTaken_ = now;
            co_return Admission::held;
        }
        if (connectionUp && !connectionUp()) co_return Admission::ended;
        lookAtSenders(now);
        const auto until = lastTaken_ + bounds_.pacedFor;
        if (now >= until) co_return Admission::refused;
        co_await waitForChange(std::min(until, now + lookEvery));
    }
}

void RequestBytes::lookAtSenders(Clock::time_point now) {
    for (auto* sender : senders_) {
        // A socket closed by a time-out or the connection's end has nothing more to tell, and
        // its descriptor may already be another socket's.
        if (!sender->socket_.is_open()) continue;
        const std::size_t delivered = acknowledgedBytes(sender->socket_.native_handle(), sender->written_);
        if (delivered > sender->delivered_) {
            sender->delivered_ = delivered;
            lastTaken_ = now;
        }
    }
}

RequestBytes::Sending::Sending(RequestBytes& bytes, asio::ip::tcp::socket& socket)
    : bytes_(bytes), socket_(socket), entry_(bytes.senders_.insert(bytes.senders_.end(), this)) {}

RequestBytes::Sending::~Sending() { bytes_.senders_.erase(entry_); }

RequestBytes::Holding::~Holding() {
    if (apart_) {
        bytes_.apart_ = nullptr;
        bytes_.changed();
    } else {
        resize(0);
    }
}

void RequestBytes::Holding::resize(std::size_t count) {
    if (!apart_) {
        bytes_.held_ = bytes_.held_ - std::min(count_, bytes_.held_) + count;
        // Freed room wakes the bodies and answers waiting for it; it says nothing of whether
        // the local services are taking what is held, so it does not extend their wait.
        if (count < count_) bytes_.changed();
    }
    count_ = count;
}

RequestBytes::Reading::Reading(RequestBytes& bytes, Holding& holding)
    : bytes_(bytes), holding_(holding), order_(bytes.arrivals_++) {
    bytes_.answers_.insert(order_);
}

RequestBytes::Reading::~Reading() {
    bytes_.answers_.erase(order_);
    bytes_.largeAnswers_.erase(order_);
    // The next oldest may now go apart.
    bytes_.changed();
}

asio::awaitable<void> RequestBytes::Reading::room(std::size_t answerBytes, std::uint64_t declaredBytes,
                                                  std::size_t growth) {
    RequestBytes& bytes = bytes_;
    const bool large = std::max<std::uint64_t>(answerBytes, declaredBytes) >= largeAnswerBytes(bytes.bounds_);
    if (large) bytes.largeAnswers_.insert(order_);
    const std::size_t limit = large ? largeAnswersShare(bytes.bounds_) : bytes.bounds_.heldBytes;
    // A read that allocates nothing always goes on.
    while (!bytes.closed_ && !holding_.apart_ && growth > 0 && bytes.held_ + growth > limit) {
        // The answers being read have met their limit: the oldest of them (of the large ones,
        // at theirs) goes on, counted apart, and its room goes to the others.
        const auto& meeting = bytes.held_ + growth > bytes.bounds_.heldBytes ? bytes.answers_ : bytes.largeAnswers_;
        if (!bytes.apart_ && !meeting.empty() && *meeting.begin() == order_) {
            bytes.held_ -= std::min(holding_.count_, bytes.held_);
            holding_.apart_ = true;
            bytes.apart_ = &holding_;
            bytes.changed();
            co_return;
        }
        co_await bytes.waitForChange(std::nullopt);
    }
    // What the read allocates is held before it reads, so that answers reading at once never
    // take more than their limit together.
    if (!holding_.apart_) holding_.resize(holding_.count_ + growth);
}

void RequestBytes::close() {
    closed_ = true;
    changed();
}

asio::awaitable<void> RequestBytes::waitForChange(std::optional<Clock::time_point> until) {
    asio::steady_timer timer(executor_, until.value_or(Clock::time_point::max()));
    struct Listed {
        std::list<asio::steady_timer*>& list;
        std::list<asio::steady_timer*>::iterator entry;
        ~Listed() { list.erase(entry); }
    } listed{waiting_, waiting_.insert(waiting_.end(), &timer)};
    boost::system::error_code ignored;
    co_await timer.async_wait(asio::redirect_error(asio::use_awaitable, ignored));
}

void RequestBytes::changed() {
    for (auto* timer : waiting_) timer->cancel();
}

}  // namespace tessaron::cli
