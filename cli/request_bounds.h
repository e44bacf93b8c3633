#pragma once
// What the edge's HTTP requests may hold on one tunnel connection, and the local HTTP
// service's connections they use. Per tunnel connection:
//  - at most connectionsPerPort connections to one local port, busy or kept alive; the
//    requests beyond wait for one in order of arrival, at most the request time-out;
//  - at most `connections` local connections for all ports together, so that the
//    descriptors of the streams stay free; an idle connection to another port is closed
//    to make room;
//  - request bodies and answers held, together, heldBytes. A body beyond that waits while
//    the bodies held are being taken by their local services (their side acknowledged
//    some bytes within the last pacedFor), as a slow local reader sets a stream's pace;
//    when none are, the request fails at once and the connection reads on. A request
//    without a body is never refused for room. An answer is read on only while the frame
//    writer has room for it and while what its next read may allocate fits in heldBytes; a
//    large answer (one that holds or declares heldBytes / 256 or more) only while it fits
//    in three quarters of them, so that the last quarter stays for requests that hold little,
//    however many large answers are being read. When the answers being read meet their
//    limit, the oldest of them (the oldest large one, at the large answers' limit) goes
//    on, counted apart until its request ends; one request at a time holds apart, and
//    when it ends the oldest answer then waiting takes its place;
//  - an answer larger than answerBytes, or with a head larger than answerHeadBytes, fails.
// The connections of a tunnel connection that ends are closed at once, the busy ones too.

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace tessaron::cli {

struct RequestBounds {
    std::size_t connectionsPerPort = 6;
    std::size_t connections = 64;
    std::size_t heldBytes = 64u << 20;
    std::size_t answerBytes = 128u << 20;
    // The status line and header fields of an answer.
    std::size_t answerHeadBytes = 64u << 10;
    std::chrono::milliseconds pacedFor{500};
};

// The log line of a request that met one of the bounds; the edge is told, as for any
// failure to reach the service, that the local port is unavailable.
std::string boundMetSentence(const std::string& requestID, int port, const std::string& what);
std::string heldBytesMet(const RequestBounds& bounds);
std::string answerBytesMet(const RequestBounds& bounds);
std::string answerHeadBytesMet(const RequestBounds& bounds);
std::string connectionWaitMet(const RequestBounds& bounds, std::chrono::milliseconds waited);

// The local HTTP service's connections of one tunnel connection: connections the service
// keeps alive are kept idle per port and reused by later requests.
class LocalHTTPConnections {
public:
    // A connection with its read buffer, which keeps its room from one answer to the next.
    struct LocalConnection {
        explicit LocalConnection(boost::asio::any_io_executor executor) : stream(std::move(executor)) {}
        boost::beast::tcp_stream stream;
        boost::beast::flat_buffer buffer;
        bool connected = false;  // false: the caller connects it
    };
    using Connection = std::unique_ptr<LocalConnection>;

    LocalHTTPConnections(boost::asio::any_io_executor executor, RequestBounds bounds);

    // Waits in turn for a connection to `port`: a kept one, or a new one not yet connected.
    // Nullopt when none came within `wait`, or once closed.
    boost::asio::awaitable<std::optional<Connection>> take(int port, std::chrono::milliseconds wait);
    // Gives back what take() gave: kept for the next request when `keep`, else closed.
    void give(int port, Connection connection, bool keep);
    // Closes every connection, those in use too (what their requests wait for fails at once).
    void closeAll();
    bool closed() const { return closed_; }

private:
    // Counts a connection handed out as busy, a new one made when there is none.
    Connection lent(Connection connection);
    struct Waiter {
        explicit Waiter(boost::asio::any_io_executor executor, std::uint64_t order) : order(order), wake(executor) {}
        std::uint64_t order;
        boost::asio::steady_timer wake;
        std::optional<Connection> granted;
    };
    struct Port {
        std::vector<Connection> idle;
        std::size_t open = 0;  // busy, connecting and idle
        std::deque<std::shared_ptr<Waiter>> waiting;
    };
    // Room for one more connection, closing an idle one of another port if need be.
    bool makeRoom(int port);
    // Lets the requests that waited longest open the connections there is room for.
    void grantRoom();

    boost::asio::any_io_executor executor_;
    RequestBounds bounds_;
    std::map<int, Port> ports_;
    std::set<LocalConnection*> busy_;
    std::size_t open_ = 0;
    std::uint64_t arrivals_ = 0;
    bool closed_ = false;
};

// The bytes that the requests of one tunnel connection hold (see RequestBounds).
class RequestBytes {
public:
    RequestBytes(boost::asio::any_io_executor executor, RequestBounds bounds);

    class Holding;
    class Reading;
    class Sending;

    enum class Admission { held, refused, ended };
    // Holds a body of `size` bytes, waiting for room while the local services are taking the
    // bodies held (or `refused`). `ended` once closed, or when `connectionUp`, asked while
    // the body waits, says the tunnel connection is gone.
    boost::asio::awaitable<Admission> holdBody(std::size_t size, const std::function<bool()>& connectionUp);

    // The connection ended: waits end, and nothing more is held.
    void close();
    bool closed() const { return closed_; }

    // What one request holds, released however the request ends. One request at a time, that
    // of the oldest answer being read once the answers meet their limit, holds apart from
    // the budget until it ends, so that large answers never lock out the others.
    class Holding {
    public:
        // Takes over `count` bytes that holdBody() held.
        Holding(RequestBytes& bytes, std::size_t count) : bytes_(bytes), count_(count) {}
        ~Holding();
        Holding(const Holding&) = delete;
        Holding& operator=(const Holding&) = delete;
        void resize(std::size_t count);

    private:
        friend class RequestBytes;
        RequestBytes& bytes_;
        std::size_t count_;
        bool apart_ = false;
    };

    // An answer being read for the request that holds `holding`, in order of arrival.
    class Reading {
    public:
        Reading(RequestBytes& bytes, Holding& holding);
        ~Reading();
        Reading(const Reading&) = delete;
        Reading& operator=(const Reading&) = delete;
        // Waits until the answer, which holds `answerBytes` so far and declared `declaredBytes`
        // (0 when it did not), may read on, its next read allocating at most `growth` bytes;
        // those are held for it until the request's holding is next resized.
        boost::asio::awaitable<void> room(std::size_t answerBytes, std::uint64_t declaredBytes, std::size_t growth);

    private:
        RequestBytes& bytes_;
        Holding& holding_;
        std::uint64_t order_;
    };

    // A body being written to its local service: what the service has taken of it (what its
    // side of the connection has acknowledged) tells the waiting bodies that it is reading.
    // The socket is looked at only while it is open.
    class Sending {
    public:
        Sending(RequestBytes& bytes, boost::asio::ip::tcp::socket& socket);
        ~Sending();
        Sending(const Sending&) = delete;
        Sending& operator=(const Sending&) = delete;
        // All that has been handed to the socket so far.
        void wrote(std::size_t total) { written_ = total; }

    private:
        friend class RequestBytes;
        RequestBytes& bytes_;
        boost::asio::ip::tcp::socket& socket_;
        std::size_t written_ = 0;
        std::size_t delivered_ = 0;
        std::list<Sending*>::iterator entry_;
    };

private:
    bool fits(std::size_t size) const;
    // Notes when a local service took more of a body since the last look.
    void lookAtSenders(std::chrono::steady_clock::time_point now);
    boost::asio::awaitable<void> waitForChange(std::optional<std::chrono::steady_clock::time_point> until);
    void changed();

    boost::asio::any_io_executor executor_;
    RequestBounds bounds_;
    std::size_t held_ = 0;           // against the budget
    Holding* apart_ = nullptr;       // the request that holds apart from it
    std::chrono::steady_clock::time_point lastTaken_;
    std::set<std::uint64_t> answers_;       // being read
    std::set<std::uint64_t> largeAnswers_;  // of those, the large ones
    std::uint64_t arrivals_ = 0;
    std::list<Sending*> senders_;
    std::list<boost::asio::steady_timer*> waiting_;
    bool closed_ = false;
};

}  // namespace tessaron::cli
