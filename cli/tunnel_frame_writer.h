#pragma once
// Sends the frames of one edge connection one at a time, whole and in the order the
// callers asked. Callers on the connection's I/O thread co_await send(); the first
// caller that finds the writer idle drains the queue through the sink, the others
// wait for their own frame to be written. Nothing here blocks the thread. The bytes of
// frames not yet written are counted, so that readers of local data can wait for room
// before they read more.

#include "panel/tunnel_messages.h"

#include <boost/asio/awaitable.hpp>
#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/steady_timer.hpp>

#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace tessaron::cli {

class TunnelFrameWriter {
public:
    // Writes one text frame; throws when the socket refuses it.
    using Sink = std::function<boost::asio::awaitable<void>(const std::string& text)>;
    // Asked to hold back partial packets (true) while more frames wait behind the one being
    // written, and to send what it holds (false) once the queue is empty: frames written in
    // one burst then leave in as few packets as they fill.
    using Batching = std::function<void(bool hold)>;

    TunnelFrameWriter(boost::asio::any_io_executor executor, Sink sink, Batching batching = nullptr);

    boost::asio::awaitable<void> send(const tunnel::TunnelResponseMessage& message);
    boost::asio::awaitable<void> send(const tunnel::TunnelHeartbeatMessage& message);
    boost::asio::awaitable<void> send(const tunnel::TunnelStreamDataMessage& message);
    boost::asio::awaitable<void> send(const tunnel::TunnelStreamControlMessage& message);
    // Queues one already encoded frame and waits until it is written.
    boost::asio::awaitable<void> sendText(std::string text);
    // A string left by a written large frame (its capacity and length kept), to encode the
    // next one in without a new allocation; empty when there is none.
    std::string takeBuffer();

    // Bytes of the frames accepted and not yet written (the one being written included).
    std::size_t unwrittenBytes() const { return unwrittenBytes_; }
    // Waits while `limit` bytes or more are unwritten (returns at once once closed).
    boost::asio::awaitable<void> waitForRoom(std::size_t limit);

    // Runs an action on the socket (a close frame) in turn with the frames.
    boost::asio::awaitable<void> runInTurn(std::function<boost::asio::awaitable<void>()> action);

    // After this every queued and later send fails with "The tunnel connection is closed.".
    void close();
    bool closed() const { return closed_; }

private:
    struct Pending;
    boost::asio::awaitable<void> enqueue(std::shared_ptr<Pending> pending);
    // Writes the queue in order until it is empty, then leaves the writer idle.
    boost::asio::awaitable<void> drain();
    void keepSpare(std::string&& text);
    void written(std::size_t bytes);
    struct Pending {
        std::string text;
        std::function<boost::asio::awaitable<void>()> action;
        bool done = false;
        std::exception_ptr error;
        std::unique_ptr<boost::asio::steady_timer> wake;
    };

    boost::asio::any_io_executor executor_;
    Sink sink_;
    Batching batching_;
    std::deque<std::shared_ptr<Pending>> queue_;
    std::vector<std::string> spare_;
    bool writing_ = false;
    bool closed_ = false;
    std::size_t unwrittenBytes_ = 0;
    boost::asio::steady_timer room_;  // cancelled when a frame has been written while callers wait for room
    std::size_t roomWaiters_ = 0;
};

}  // namespace tessaron::cli
