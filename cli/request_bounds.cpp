#include "cli/request_bounds.h"

#include "cli/output.h"
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
            co_return connection;
        }
        if (entry.open < bounds_.connectionsPerPort && makeRoom(port)) {
            ++entry.open;
            ++open_;
            co_return Connection{};
        }
    }
    auto waiter = std::make_shared<Waiter>(executor_, arrivals_++);
    waiter->wake.expires_after(wait);
    entry.waiting.push_back(waiter);
    boost::system::error_code ignored;
    co_await waiter->wake.async_wait(asio::redirect_error(asio::use_awaitable, ignored));
    if (waiter->granted) co_return std::move(*waiter->granted);
    std::erase(ports_[port].waiting, waiter);
    co_return std::nullopt;
}

void LocalHTTPConnections::give(int port, Connection connection, bool keep) {
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

asio::awaitable<bool> RequestBytes::holdBody(std::size_t size) {
    for (;;) {
        if (closed_) co_return false;
        const auto now = Clock::now();
        if (held_ == 0 || held_ + size <= bounds_.heldBytes) {
            held_ += size;
            if (size > 0) lastTaken_ = now;
            co_return true;
        }
        const auto until = lastTaken_ + bounds_.pacedFor;
        if (now >= until) co_return false;
        co_await waitForChange(until);
    }
}

void RequestBytes::taken() { lastTaken_ = Clock::now(); }

void RequestBytes::release(std::size_t size) {
    if (size == 0) return;
    // Freed room wakes the bodies waiting for it; it says nothing of whether the local
    // services are taking what is held, so it does not extend their wait.
    held_ -= std::min(size, held_);
    changed();
}

std::uint64_t RequestBytes::startAnswer() {
    const std::uint64_t answer = arrivals_++;
    answers_.insert(answer);
    return answer;
}

void RequestBytes::finishAnswer(std::uint64_t answer) {
    // The next oldest may now read on.
    if (answers_.erase(answer) != 0 && held_ >= bounds_.heldBytes) changed();
}

asio::awaitable<void> RequestBytes::roomForAnswer(std::uint64_t answer) {
    while (!closed_ && held_ >= bounds_.heldBytes && *answers_.begin() != answer) co_await waitForChange(std::nullopt);
}

void RequestBytes::Holding::resize(std::size_t count) {
    if (count > count_) bytes_.hold(count - count_);
    if (count < count_) bytes_.release(count_ - count);
    count_ = count;
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
