// The stream registry on its own I/O loop, with a frame writer whose socket the test can
// hold, and local sockets the test reads (or does not read) itself.

#include "cli/stream_forwarders.h"

#include "host/base64.h"
#include "panel/tunnel_messages.h"
#include "support/loopback.h"

#include <gtest/gtest.h>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <arpa/inet.h>
#include <atomic>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace tessaron;
using namespace std::chrono_literals;
namespace asio = boost::asio;

namespace {

// A listening loopback socket; `receiveBuffer` > 0 makes accepted sockets' buffers small.
int listeningSocket(int& port, int receiveBuffer = 0) {
    const int fd = tessaron::testing::boundLoopbackSocket(SOCK_STREAM, port);
    if (receiveBuffer > 0) setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    listen(fd, 8);
    return fd;
}

int acceptWithin(int fd, int seconds) {
    pollfd entry{fd, POLLIN, 0};
    if (poll(&entry, 1, seconds * 1000) <= 0) return -1;
    return accept(fd, nullptr, nullptr);
}

// A registry whose frames go to `frames`; while `hold` is set the writer's socket takes nothing.
struct Harness {
    explicit Harness(cli::StreamTargets targets = {}) : targets(std::move(targets)) {}
    cli::StreamTargets targets;
    asio::io_context io;
    std::vector<std::string> frames;
    bool hold = false;
    asio::steady_timer released{io, asio::steady_timer::time_point::max()};
    std::shared_ptr<cli::TunnelFrameWriter> writer = std::make_shared<cli::TunnelFrameWriter>(
        io.get_executor(), [this](const std::string& text) -> asio::awaitable<void> {
            while (hold) {
                boost::system::error_code ignored;
                co_await released.async_wait(asio::redirect_error(asio::use_awaitable, ignored));
            }
            frames.push_back(text);
        },
        [this](bool hold) { batching.emplace_back(hold, frames.size()); });
    // Each call of the writer's batching hook, with the number of frames written by then.
    std::vector<std::pair<bool, std::size_t>> batching;
    std::shared_ptr<cli::LocalForwarderRegistry> registry =
        std::make_shared<cli::LocalForwarderRegistry>(io.get_executor(), io.get_executor(), targets, writer);

    void release() {
        hold = false;
        released.cancel();
    }
    // Runs the loop until `condition` holds, at most 20 s.
    template <class Condition>
    bool runUntil(Condition condition) {
        const auto deadline = std::chrono::steady_clock::now() + 20s;
        while (!condition() && std::chrono::steady_clock::now() < deadline) io.run_for(10ms);
        return condition();
    }
    std::vector<std::string> types() const {
        std::vector<std::string> found;
        for (const auto& frame : frames) found.push_back(tunnel::decodeKind(frame).type);
        return found;
    }
    void open(const std::string& id, int port) {
        asio::co_spawn(io, registry->open({"stream_open", id, tunnel::TunnelTransport::tcp, port}), asio::detached);
    }
};

}  // namespace

TEST(StreamForwarders, ANotifiedCloseWhileTheReaderWaitsOnTheWriterIsStillReported) {
    int port = 0;
    const int listener = listeningSocket(port);
    Harness h;
    h.open("s", port);
    ASSERT_TRUE(h.runUntil([&] { return h.frames.size() == 1; }));
    const int local = acceptWithin(listener, 20);
    ASSERT_GE(local, 0);

    // The guest's data is read, and its frame waits for the held socket.
    h.hold = true;
    ASSERT_EQ(write(local, "hello", 5), 5);
    h.io.run_for(200ms);
    // Invalid data from the edge closes the stream with notification meanwhile.
    asio::co_spawn(h.io, h.registry->receive("s", std::nullopt), asio::detached);
    h.io.run_for(50ms);
    h.release();
    ASSERT_TRUE(h.runUntil([&] { return h.frames.size() >= 3; }));
    h.io.run_for(100ms);
    EXPECT_EQ(h.types(), (std::vector<std::string>{"stream_opened", "stream_data", "stream_close"}));
    close(local);
    close(listener);
}

TEST(StreamForwarders, DataTheLocalSocketDoesNotTakeWaitsInOrderInABoundedQueue) {
    int port = 0;
    const int listener = listeningSocket(port, 4096);
    cli::StreamTargets targets;
    targets.budgets.streamBytes = 1u << 20;
    targets.budgets.connectionBytes = 4u << 20;
    Harness h(targets);
    h.open("s", port);
    ASSERT_TRUE(h.runUntil([&] { return h.frames.size() == 1; }));
    const int local = acceptWithin(listener, 20);
    ASSERT_GE(local, 0);

    // 60 frames of 256 KiB, each with its own bytes, then the end of data.
    constexpr int count = 60;
    std::string expected;
    int fed = 0;
    bool ended = false;
    asio::co_spawn(
        h.io,
        [&]() -> asio::awaitable<void> {
            for (int i = 0; i < count; ++i) {
                std::string frame(tunnel::maxStreamPayload, static_cast<char>('a' + i % 26));
                frame[0] = static_cast<char>(i);
                expected += frame;
                co_await h.registry->receive("s", std::string_view(frame));
                ++fed;
            }
            co_await h.registry->finishWriting("s");
            ended = true;
        },
        asio::detached);
    // Nobody reads: once the socket's buffers and the connection's budget are full, the frames stop.
    h.io.run_for(1500ms);
    EXPECT_LT(fed, count);
    EXPECT_FALSE(ended);

    std::string received;
    std::atomic<bool> readerDone{false};
    std::thread reader([&] {
        char buffer[65536];
        for (;;) {
            pollfd entry{local, POLLIN, 0};
            if (poll(&entry, 1, 20000) <= 0) break;
            const ssize_t n = read(local, buffer, sizeof buffer);
            if (n <= 0) break;
            received.append(buffer, static_cast<std::size_t>(n));
        }
        readerDone = true;
    });
    const bool allFed = h.runUntil([&] { return ended; });
    h.runUntil([&] { return readerDone.load(); });  // the half-close ends the reader
    reader.join();
    ASSERT_TRUE(allFed);
    EXPECT_EQ(received.size(), expected.size());
    EXPECT_TRUE(received == expected) << "bytes out of order";
    EXPECT_EQ(h.types(), (std::vector<std::string>{"stream_opened"}));
    close(local);
    close(listener);
}

// Frames that queue up behind a slow write leave as one burst: the socket holds partial
// packets from the first queued frame until the queue is empty; a lone frame is not held.
TEST(TunnelFrameWriter, HoldsPartialPacketsOnlyWhileFramesWaitInTurn) {
    Harness h;
    auto send = [&](std::string id) {
        asio::co_spawn(h.io, h.writer->send(tunnel::TunnelStreamControlMessage{"stream_end", id, std::nullopt}),
                       asio::detached);
    };
    send("alone");
    ASSERT_TRUE(h.runUntil([&] { return h.frames.size() == 1; }));
    EXPECT_TRUE(h.batching.empty());

    h.io.restart();
    h.hold = true;
    for (const char* id : {"a", "b", "c"}) send(id);
    h.io.run_for(50ms);
    h.release();
    ASSERT_TRUE(h.runUntil([&] { return h.frames.size() == 4; }));
    const std::vector<std::pair<bool, std::size_t>> expected = {{true, 2}, {false, 4}};
    EXPECT_EQ(h.batching, expected);
}

// A local reader that still takes data, however slowly, sets the pace once its stream is over
// its budget: what waits for it stays near that budget instead of filling the connection's.
TEST(StreamForwarders, AReaderOverItsBudgetThatStillTakesDataSetsThePace) {
    int port = 0;
    const int listener = listeningSocket(port, 65536);
    cli::StreamTargets targets;
    targets.budgets.streamBytes = 1u << 20;
    std::size_t high = 0;
    targets.onWaitingHigh = [&](std::size_t bytes) { high = bytes; };
    Harness h(targets);
    h.open("s", port);
    ASSERT_TRUE(h.runUntil([&] { return h.frames.size() == 1; }));
    const int local = acceptWithin(listener, 20);
    ASSERT_GE(local, 0);

    constexpr std::size_t total = 16u << 20;
    bool fed = false;
    asio::co_spawn(
        h.io,
        [&]() -> asio::awaitable<void> {
            const std::string frame(tunnel::maxStreamPayload, 'x');
            for (std::size_t sent = 0; sent < total; sent += frame.size()) co_await h.registry->receive("s", frame);
            fed = true;
        },
        asio::detached);
    std::atomic<std::size_t> received{0};
    std::thread reader([&] {
        char buffer[65536];
        while (received < total) {
            pollfd entry{local, POLLIN, 0};
            if (poll(&entry, 1, 20000) <= 0) break;
            const ssize_t n = read(local, buffer, sizeof buffer);
            if (n <= 0) break;
            received += static_cast<std::size_t>(n);
            std::this_thread::sleep_for(5ms);
        }
    });
    EXPECT_TRUE(h.runUntil([&] { return fed && received == total; }));
    reader.join();
    EXPECT_LT(high, 3u << 20);
    EXPECT_EQ(h.types(), (std::vector<std::string>{"stream_opened"}));
    close(local);
    close(listener);
}
