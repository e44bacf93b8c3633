// What the requests of one tunnel connection may hold: the share that large answers leave
// to the requests that hold little, the place apart handed from one answer to the next,
// waits that a closed connection ends, and bodies judged taken by their sockets.

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
#include <thread>

using namespace tessaron::cli;
using namespace std::chrono_literals;
namespace asio = boost::asio;
using asio::ip::tcp;

namespace {

constexpr std::size_t KiB = 1024;

// A budget of 256 KiB: answers that hold or declare 1 KiB are large, and large answers
// read on only while less than 192 KiB are held.
RequestBounds bounds() {
    RequestBounds bounds;
    bounds.heldBytes = 256 * KiB;
    bounds.pacedFor = 500ms;
    return bounds;
}

// Runs the loop until `done` holds or `limit` passes.
bool runUntil(asio::io_context& io, const std::function<bool()>& done, std::chrono::milliseconds limit = 5s) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done() && std::chrono::steady_clock::now() < end) {
        io.restart();
        io.run_for(5ms);
    }
    return done();
}

void runFor(asio::io_context& io, std::chrono::milliseconds time) {
    runUntil(io, [] { return false; }, time);
}

// An answer being read, asking for room to read on.
struct Answer {
    // Takes over `held` bytes that the request's body holds.
    explicit Answer(RequestBytes& bytes, std::size_t held = 0) : holding(bytes, held), reading(bytes, holding) {}
    RequestBytes::Holding holding;
    RequestBytes::Reading reading;
    bool granted = false;
};

asio::awaitable<void> readOn(Answer* answer, std::size_t answerBytes, std::uint64_t declared) {
    co_await answer->reading.room(answerBytes, declared);
    answer->granted = true;
}

// The answer's request holds `held` bytes, `answerBytes` of them the answer's (all of them
// unless said), and asks for room; true when it may read on at once.
bool ask(asio::io_context& io, Answer& answer, std::size_t held, std::uint64_t declared = 0,
         std::optional<std::size_t> answerBytes = std::nullopt) {
    answer.holding.resize(held);
    answer.granted = false;
    asio::co_spawn(io, readOn(&answer, answerBytes.value_or(held), declared), asio::detached);
    runFor(io, 20ms);
    return answer.granted;
}

asio::awaitable<void> holdBody(RequestBytes* bytes, std::size_t size, std::optional<RequestBytes::Admission>* result) {
    *result = co_await bytes->holdBody(size, nullptr);
}

// Ends the waits still pending when a test ends, while what they wait on still exists.
struct EndWaits {
    asio::io_context& io;
    RequestBytes& bytes;
    ~EndWaits() {
        bytes.close();
        runFor(io, 20ms);
    }
};

std::optional<RequestBytes::Admission> admit(asio::io_context& io, RequestBytes& bytes, std::size_t size,
                                             std::chrono::milliseconds wait = 20ms) {
    std::optional<RequestBytes::Admission> result;
    asio::co_spawn(io, holdBody(&bytes, size, &result), asio::detached);
    runUntil(io, [&] { return result.has_value(); }, wait);
    return result;
}

}  // namespace

TEST(RequestBytes, LargeAnswersLeaveAQuarterToRequestsThatHoldLittleAndHandTheirPlaceApartOn) {
    asio::io_context io;
    RequestBytes bytes(io.get_executor(), bounds());
    constexpr std::uint64_t large = 4u << 20;
    auto a = std::make_unique<Answer>(bytes);
    Answer b(bytes), c(bytes), small(bytes), later(bytes);
    const EndWaits end{io, bytes};

    EXPECT_TRUE(ask(io, *a, 0, large));
    EXPECT_TRUE(ask(io, *a, 100 * KiB, large));
    // At the large answers' limit the oldest large one (a) would go apart; b waits for it.
    EXPECT_FALSE(ask(io, b, 100 * KiB, large));
    EXPECT_FALSE(ask(io, c, 0, large));
    // The last quarter stays for requests that hold little: a small answer, a small body,
    // and a request without one.
    EXPECT_TRUE(ask(io, small, 3, 2));
    EXPECT_EQ(admit(io, bytes, KiB), RequestBytes::Admission::held);
    EXPECT_EQ(admit(io, bytes, 0), RequestBytes::Admission::held);

    // a asks again: it goes apart, and its room goes to the others.
    EXPECT_TRUE(ask(io, *a, 150 * KiB, large));
    EXPECT_TRUE(runUntil(io, [&] { return b.granted && c.granted; }));

    // b and c use the large answers' share again; the place apart is taken, so both wait,
    // and the small ones still go on.
    EXPECT_TRUE(ask(io, c, 60 * KiB, large));
    EXPECT_FALSE(ask(io, b, 150 * KiB, large));
    EXPECT_FALSE(ask(io, c, 60 * KiB, large));
    EXPECT_TRUE(ask(io, later, 3, 2));

    // When a's request ends, the oldest waiting large answer (b) takes the place apart, and
    // c fits beside what is left.
    a.reset();
    EXPECT_TRUE(runUntil(io, [&] { return b.granted && c.granted; }));
}

TEST(RequestBytes, WhenTheBudgetIsFullTheOldestAnswerGoesApartAndAClosedConnectionEndsEveryWait) {
    asio::io_context io;
    RequestBytes bytes(io.get_executor(), bounds());
    // Bodies fill the whole budget; the answers of their requests are small.
    EXPECT_EQ(admit(io, bytes, 128 * KiB), RequestBytes::Admission::held);
    EXPECT_EQ(admit(io, bytes, 128 * KiB), RequestBytes::Admission::held);
    Answer older(bytes, 128 * KiB), newer(bytes, 128 * KiB);
    const EndWaits end{io, bytes};
    // The newer one waits; the older one goes apart and leaves room for it.
    EXPECT_FALSE(ask(io, newer, 128 * KiB, 0, 0));
    EXPECT_TRUE(ask(io, older, 128 * KiB, 0, 0));
    EXPECT_TRUE(runUntil(io, [&] { return newer.granted; }));
    newer.holding.resize(256 * KiB);

    // A body that does not fit waits, and so does an answer; the connection's end ends both.
    Answer waiting(bytes);
    EXPECT_FALSE(ask(io, waiting, 0, 0, 0));
    std::optional<RequestBytes::Admission> body;
    asio::co_spawn(io, holdBody(&bytes, 64 * KiB, &body), asio::detached);
    runFor(io, 20ms);
    bytes.close();
    EXPECT_TRUE(runUntil(io, [&] { return waiting.granted && body.has_value(); }));
    EXPECT_EQ(body, RequestBytes::Admission::ended);
}

// A body beyond the budget waits while the body being sent is taken by its service, judged
// by what the socket says the service's side acknowledged: a body written in one write counts
// once that write is told, and a socket closed meanwhile (a time-out, the connection's end)
// never counts, whatever its descriptor now is.
TEST(RequestBytes, ABodyIsTakenAsItsOpenSocketSaysAndAClosedOneSaysNothing) {
    for (const bool closed : {false, true}) {
        SCOPED_TRACE(closed ? "closed socket" : "open socket");
        asio::io_context io;
        RequestBytes bytes(io.get_executor(), bounds());
        tcp::acceptor acceptor(io, tcp::endpoint(asio::ip::address_v4::loopback(), 0));
        tcp::socket socket(io), service(io);
        socket.connect(acceptor.local_endpoint());
        acceptor.accept(service);

        ASSERT_EQ(admit(io, bytes, 200 * KiB), RequestBytes::Admission::held);
        auto first = std::make_unique<RequestBytes::Holding>(bytes, 200 * KiB);
        // Past the pace of the first body's admission.
        runFor(io, 600ms);
        RequestBytes::Sending sending(bytes, socket);
        const std::string body(32 * KiB, 'b');
        asio::write(socket, asio::buffer(body));
        sending.wrote(body.size());
        std::string received(body.size(), '\0');
        asio::read(service, asio::buffer(received));
        if (closed) socket.close();

        std::optional<RequestBytes::Admission> second;
        asio::co_spawn(io, holdBody(&bytes, 100 * KiB, &second), asio::detached);
        runFor(io, 100ms);
        if (closed) {
            EXPECT_EQ(second, RequestBytes::Admission::refused);
            continue;
        }
        EXPECT_FALSE(second.has_value());
        first.reset();
        EXPECT_TRUE(runUntil(io, [&] { return second.has_value(); }));
        EXPECT_EQ(second, RequestBytes::Admission::held);
    }
}
