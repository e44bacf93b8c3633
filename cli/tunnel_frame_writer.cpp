#include "cli/tunnel_frame_writer.h"

#include "cli/cli_options.h"

#include <boost/asio/redirect_error.hpp>
#include <boost/asio/use_awaitable.hpp>

namespace tessaron::cli {

namespace asio = boost::asio;

TunnelFrameWriter::TunnelFrameWriter(asio::any_io_executor executor, Sink sink, Batching batching)
    : executor_(std::move(executor)), sink_(std::move(sink)), batching_(std::move(batching)),
      room_(executor_, asio::steady_timer::time_point::max()) {}

asio::awaitable<void> TunnelFrameWriter::send(const tunnel::TunnelResponseMessage& m) { return sendText(tunnel::encode(m)); }
asio::awaitable<void> TunnelFrameWriter::send(const tunnel::TunnelHeartbeatMessage& m) { return sendText(tunnel::encode(m)); }
asio::awaitable<void> TunnelFrameWriter::send(const tunnel::TunnelStreamDataMessage& m) { return sendText(tunnel::encode(m)); }
asio::awaitable<void> TunnelFrameWriter::send(const tunnel::TunnelStreamControlMessage& m) {
    return sendText(tunnel::encode(m));
}

namespace {
std::exception_ptr closedError() {
    return std::make_exception_ptr(CLIError::pairing("The tunnel connection is closed."));
}
}  // namespace

void TunnelFrameWriter::close() {
    closed_ = true;
    for (auto& pending : queue_) {
        written(pending->text.size());
        pending->done = true;
        pending->error = closedError();
        pending->wake->cancel();
    }
    queue_.clear();
    room_.cancel();
}

void TunnelFrameWriter::written(std::size_t bytes) {
    unwrittenBytes_ -= bytes;
    if (roomWaiters_ > 0) room_.cancel();
}

asio::awaitable<void> TunnelFrameWriter::waitForRoom(std::size_t limit) {
    while (unwrittenBytes_ >= limit && !closed_) {
        ++roomWaiters_;
        boost::system::error_code ignored;
        co_await room_.async_wait(asio::redirect_error(asio::use_awaitable, ignored));
        --roomWaiters_;
    }
}

asio::awaitable<void> TunnelFrameWriter::sendText(std::string text) {
    if (closed_) std::rethrow_exception(closedError());
    unwrittenBytes_ += text.size();
    if (writing_) {
        auto pending = std::make_shared<Pending>();
        pending->text = std::move(text);
        co_await enqueue(std::move(pending));
        co_return;
    }
    // The writer is idle: this frame goes out at once, with nothing to queue or wake, and
    // then whatever others queued meanwhile.
    writing_ = true;
    std::exception_ptr error;
    try {
        co_await sink_(text);
    } catch (...) {
        error = std::current_exception();
    }
    written(text.size());
    keepSpare(std::move(text));
    co_await drain();
    if (error) std::rethrow_exception(error);
}

void TunnelFrameWriter::keepSpare(std::string&& text) {
    // Large frames leave their buffer for the next ones (a few at most); a rare huge one (an
    // answer of megabytes) is freed, so that it does not stay allocated for the connection's life.
    constexpr std::size_t spareFrom = 64u << 10, spareUpTo = 1u << 20, spares = 4;
    if (text.capacity() >= spareFrom && text.capacity() <= spareUpTo && spare_.size() < spares) {
        spare_.push_back(std::move(text));
    }
}

std::string TunnelFrameWriter::takeBuffer() {
    if (spare_.empty()) return {};
    std::string text = std::move(spare_.back());
    spare_.pop_back();
    return text;
}

asio::awaitable<void> TunnelFrameWriter::runInTurn(std::function<asio::awaitable<void>()> action) {
    auto pending = std::make_shared<Pending>();
    pending->action = std::move(action);
    return enqueue(std::move(pending));
}

asio::awaitable<void> TunnelFrameWriter::enqueue(std::shared_ptr<Pending> pending) {
    if (closed_) std::rethrow_exception(closedError());
    pending->wake = std::make_unique<asio::steady_timer>(executor_, asio::steady_timer::time_point::max());
    queue_.push_back(pending);

    if (writing_) {
        while (!pending->done) {
            boost::system::error_code ignored;
            co_await pending->wake->async_wait(asio::redirect_error(asio::use_awaitable, ignored));
        }
        if (pending->error) std::rethrow_exception(pending->error);
        co_return;
    }

    // This caller writes the queue in order until it is empty, its own frame first.
    writing_ = true;
    co_await drain();
    if (pending->error) std::rethrow_exception(pending->error);
}

asio::awaitable<void> TunnelFrameWriter::drain() {
    bool holding = false;
    while (!queue_.empty() && !closed_) {
        if (!holding && batching_ && queue_.size() > 1) {
            batching_(true);
            holding = true;
        }
        auto next = queue_.front();
        queue_.pop_front();
        try {
            if (next->action) {
                co_await next->action();
            } else {
                co_await sink_(next->text);
            }
        } catch (...) {
            next->error = std::current_exception();
        }
        written(next->text.size());
        keepSpare(std::move(next->text));
        next->done = true;
        if (next->wake) next->wake->cancel();
    }
    if (holding) batching_(false);
    writing_ = false;
}

}  // namespace tessaron::cli
