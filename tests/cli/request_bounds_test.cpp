// The requests' budget of one tunnel connection: the share that large answers leave to the
// requests that hold little, the place apart handed on, waits that the connection's end
// ends, and bodies judged taken by what their open sockets say.

#include "cli/request_bounds.h"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

using namespace tessaron::cli;
using namespace std::chrono_literals;
namespace asio = boost::asio;
using asio::ip::tcp;
using Admission = RequestBytes::Admission;

namespace {

constexpr std::size_t KiB = 1024;
constexpr std::uint64_t largeAnswer = 4u << 20;  // what the large answers declare

// 256 KiB: answers that hold or declare 1 KiB are large, and read on only while less than
// 192 KiB are held.
RequestBounds bounds() {
    RequestBounds bounds;
    bounds.heldBytes = 256 * KiB;
    bounds.pacedFor = 500ms;
    return bounds;
}

// Runs the loop until `done` holds or `limit` passes.
bool runUntil(asio::io_context& io, const std::function<bool()>& done, std::chrono::milliseconds limit = 5s) {
    for (const auto end = std::chrono::steady_clock::now() + limit;
         !done() && std::chrono::steady_clock::now() < end;) {
        io.restart();
        io.run_for(5ms);
    }
    return done();
}

// An answer being read, asking for room to read on.
struct Answer {
    explicit Answer(RequestBytes& bytes) : holding(bytes, 0), reading(bytes, holding) {}
    RequestBytes::Holding holding;
    RequestBytes::Reading reading;
    bool granted = false;
};

asio::awaitable<void> readOn(Answer* answer, std::size_t held, std::size_t growth, std::uint64_t declared) {
    co_await answer->reading.room(held, declared, growth);
    answer->granted = true;
}

// The answer now holds `held` bytes and asks for room for a read that allocates `growth`;
// true when it may read on at once.
bool ask(asio::io_context& io, Answer& answer, std::size_t held, std::size_t growth,
         std::uint64_t declared = largeAnswer) {
    answer.holding.resize(held);
    answer.granted = false;
    asio::co_spawn(io, readOn(&answer, held, growth, declared), asio::detached);
    runUntil(io, [&] { return answer.granted; }, 20ms);
    return answer.granted;
}

asio::awaitable<void> holdBody(RequestBytes* bytes, std::size_t size, std::optional<Admission>* result) {
    *result = co_await bytes->holdBody(size, nullptr);
}

std::optional<Admission> admit(asio::io_context& io, RequestBytes& bytes, std::size_t size) {
    std::optional<Admission> result;
    asio::co_spawn(io, holdBody(&bytes, size, &result), asio::detached);
    runUntil(io, [&] { return result.has_value(); }, 20ms);
    return result;
}

}  // namespace

TEST(RequestBytes, LargeAnswersLeaveAQuarterToRequestsThatHoldLittleAndHandTheirPlaceApartOn) {
    asio::io_context io;
    RequestBytes bytes(io.get_executor(), bounds());
    auto a = std::make_unique<Answer>(bytes);
    Answer b(bytes), c(bytes), small(bytes), later(bytes);

    EXPECT_TRUE(ask(io, *a, 0, 100 * KiB));
    // At the large answers' limit the oldest large one (a) would go apart: b and c wait.
    EXPECT_FALSE(ask(io, b, 0, 100 * KiB));
    EXPECT_FALSE(ask(io, c, 0, 100 * KiB));
    // The last quarter stays for requests that hold little: a small answer, a small body and
    // a request without one.
    EXPECT_TRUE(ask(io, small, 0, 3, 2));
    EXPECT_EQ(admit(io, bytes, KiB), Admission::held);
    EXPECT_EQ(admit(io, bytes, 0), Admission::held);
    // a asks again and goes apart: in its room b reads on, c does not fit beside b and waits,
    // as the large do while the place apart is taken, but the small go on.
    EXPECT_TRUE(ask(io, *a, 100 * KiB, 100 * KiB));
    EXPECT_TRUE(runUntil(io, [&] { return b.granted; }));
    EXPECT_FALSE(c.granted);
    EXPECT_TRUE(ask(io, later, 0, 3, 2));
    // a's request ends: b, asking again, takes the place apart, and c reads on.
    a.reset();
    EXPECT_TRUE(ask(io, b, 100 * KiB, 100 * KiB));
    EXPECT_TRUE(runUntil(io, [&] { return c.granted; }));

    // The connection's end ends a wait for room, and holds no body after it.
    EXPECT_FALSE(ask(io, c, 150 * KiB, 100 * KiB));
    std::optional<Admission> body;
    asio::co_spawn(io, holdBody(&bytes, 128 * KiB, &body), asio::detached);
    bytes.close();
    EXPECT_TRUE(runUntil(io, [&] { return c.granted && body.has_value(); }));
    EXPECT_EQ(body, Admission::ended);
}

// A body beyond the budget waits while the body being sent is taken by its service, judged by
// what the socket says the service's side acknowledged: a body written in one write counts
// once that write is told, and a socket closed since (a time-out, the connection's end) never
// counts, whatever its descriptor now is.
TEST(RequestBytes, ABodyIsTakenAsItsOpenSocketSaysAndAClosedOneSaysNothing) {
    for (const bool closed : {false, true}) {
        SCOPED_TRACE(closed ? "closed socket" : "open socket");
        asio::io_context io;
        RequestBytes bytes(io.get_executor(), bounds());
        tcp::acceptor acceptor(io, tcp::endpoint(asio::ip::address_v4::loopback(), 0));
        tcp::socket socket(io), service(io);
        socket.connect(acceptor.local_endpoint());
        acceptor.accept(service);

        ASSERT_EQ(admit(io, bytes, 200 * KiB), Admission::held);
        auto first = std::make_unique<RequestBytes::Holding>(bytes, 200 * KiB);
        // Past the pace that the first body's admission set.
        runUntil(io, [] { return false; }, 600ms);
        RequestBytes::Sending sending(bytes, socket);
        std::string body(32 * KiB, 'b');
        asio::write(socket, asio::buffer(body));
        sending.wrote(body.size());
        asio::read(service, asio::buffer(body));
        if (closed) socket.close();

        std::optional<Admission> second;
        asio::co_spawn(io, holdBody(&bytes, 100 * KiB, &second), asio::detached);
        runUntil(io, [&] { return second.has_value(); }, 100ms);
        if (closed) {
            EXPECT_EQ(second, Admission::refused);
            continue;
        }
        // Taken: the body waits, and is held once the first body's room is free.
        EXPECT_FALSE(second.has_value());
        first.reset();
        EXPECT_TRUE(runUntil(io, [&] { return second.has_value(); }));
        EXPECT_EQ(second, Admission::held);
    }
}
