#pragma once
// The TCP and UDP streams that the edge opens over one tunnel connection. The registry
// maps stream ids to forwarders; each forwarder owns one local socket and, once open,
// a reader that pumps what the local side sends back into the tunnel. Data from the edge
// is written to the local socket at once when it takes it; what it does not take waits in
// the stream's own queue, in order, and the connection reads on: a local reader that
// stops does not hold up the frames of the other streams (see StreamBudgets for the
// bounds). Everything runs on the connection's I/O thread; blocking look-ups run on the
// blocking executor.

#include "cli/stream_budgets.h"
#include "cli/tunnel_frame_writer.h"
#include "host/error.h"
#include "panel/tunnel_messages.h"

#include <boost/asio/awaitable.hpp>
#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/system/error_code.hpp>

#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace tessaron::cli {

class LocalForwardingError : public Error {
public:
    enum class Kind { connectionFailed, invalidPort, invalidPayload };
    static LocalForwardingError connectionFailed(const std::string& text) { return {Kind::connectionFailed, text}; }
    static LocalForwardingError invalidPort() { return {Kind::invalidPort, "The requested guest port is invalid."}; }
    static LocalForwardingError invalidPayload() {
        return {Kind::invalidPayload, "The tunnel sent an invalid data frame."};
    }
    Kind kind() const noexcept { return kind_; }

private:
    LocalForwardingError(Kind kind, const std::string& text) : Error(text), kind_(kind) {}
    Kind kind_;
};

// An error as a user sentence: a system error by its message alone, never with the
// library's source location that its what() carries.
std::string sentence(const boost::system::error_code& ec);
std::string errorSentence(const std::exception& error);

// The addresses of the local host, looked up once per tunnel connection instead of once
// per stream or request; a numeric address needs no look-up.
class LocalAddresses {
public:
    explicit LocalAddresses(boost::asio::any_io_executor executor);
    // Throws LocalForwardingError when the name cannot be looked up.
    boost::asio::awaitable<std::vector<boost::asio::ip::address>> lookUp(std::string host);

private:
    boost::asio::any_io_executor executor_;
    std::map<std::string, std::vector<boost::asio::ip::address>> known_;
};

// Where the streams of one helper go.
struct StreamTargets {
    std::string localHost = "127.0.0.1";
    std::optional<std::string> vmName;
    // The loopback port that Lima forwards to the guest's SSH server (blocking; may throw).
    std::function<int(const std::string& vmName)> sshLocalPort;
    std::chrono::milliseconds connectTimeout{30'000};
    // Streams open at once (each holds a local socket); a "stream_open" beyond this is refused.
    std::size_t maxOpenStreams = 1000;
    StreamBudgets budgets;
    // Called with the bytes waiting for local readers whenever that total reaches a new
    // high (tests).
    std::function<void(std::size_t)> onWaitingHigh;
};

class LocalForwarder : public std::enable_shared_from_this<LocalForwarder> {
public:
    LocalForwarder(boost::asio::any_io_executor executor, std::string id, tunnel::TunnelTransport transport,
                   std::string host, int port);

    const std::string& id() const { return id_; }
    tunnel::TunnelTransport transport() const { return transport_; }

    boost::asio::awaitable<void> start(LocalAddresses& addresses);
    // Writes what the connected socket takes now without waiting: the number of bytes
    // taken (a datagram is taken whole or not at all); throws when the socket fails.
    std::size_t writeNow(std::string_view bytes);
    // Writes some of `bytes` (a datagram whole), waiting for the socket: the number of
    // bytes taken; throws when it fails.
    boost::asio::awaitable<std::size_t> writeSome(std::string_view bytes);
    // Half-closes a TCP stream towards the local side (nothing for UDP).
    void finishWritingNow();
    // Waits until a read will not block (data, end of data or an error).
    boost::asio::awaitable<void> waitReadable();
    // Then reads once into `buffer` (room for tunnel::maxStreamPayload bytes): the number of
    // bytes and whether the local side finished sending; throws when the read fails.
    std::pair<std::size_t, bool> readNow(char* buffer);
    boost::asio::awaitable<void> forwardResponses(TunnelFrameWriter& writer, char* readBuffer);

    // Waits while start() is still connecting; throws when the stream was cancelled.
    boost::asio::awaitable<void> waitUntilConnected();

    // Closes the socket; pending operations fail. Idempotent.
    void cancel();
    bool cancelled() const { return cancelled_; }
    bool established() const { return established_; }
    bool notifyOnClose = true;

private:
    boost::asio::any_io_executor executor_;
    std::string id_;
    tunnel::TunnelTransport transport_;
    std::string host_;
    int port_;
    boost::asio::ip::tcp::socket tcp_;
    boost::asio::ip::udp::socket udp_;
    bool cancelled_ = false;
    // Until start() has ended, data from the edge waits for the connection.
    bool connecting_ = true;
    bool established_ = false;  // start() succeeded
    boost::asio::steady_timer connected_;  // cancelled when start() ends
    std::chrono::milliseconds connectTimeout_{30'000};
    std::size_t sendingBytes_ = StreamBudgets{}.sendingBytes;
    // Data from the edge the socket has not taken yet, written by the registry's drain();
    // not empty only while that runs.
    std::deque<std::string> queued_;
    std::size_t queuedBytes_ = 0;
    bool draining_ = false;
    bool finishQueued_ = false;  // half-close once the queue is written
    // When the local socket last took queued bytes, or when the queue last began to fill.
    std::chrono::steady_clock::time_point lastTaken_;
    bool overBudget_ = false;  // more than the stream's budget waits (listed by the registry)
    friend class LocalForwarderRegistry;
};

class LocalForwarderRegistry : public std::enable_shared_from_this<LocalForwarderRegistry> {
public:
    LocalForwarderRegistry(boost::asio::any_io_executor executor, boost::asio::any_io_executor blockingExecutor,
                           StreamTargets targets, std::shared_ptr<TunnelFrameWriter> writer);

    boost::asio::awaitable<void> open(tunnel::TunnelStreamOpenMessage message);
    // Data for a stream, Base64-decoded (nullopt: the data was invalid). The bytes need to
    // stay valid only until this returns: what waits is copied.
    boost::asio::awaitable<void> receive(std::string_view id, std::optional<std::string_view> bytes);
    boost::asio::awaitable<void> finishWriting(std::string id);
    void close(const std::string& id, bool notify);
    void closeAll();
    void readerFinished(const std::string& id, const std::shared_ptr<LocalForwarder>& forwarder);
    boost::asio::awaitable<std::pair<std::string, int>> localTarget(int port, tunnel::TunnelTransport transport);

    std::size_t size() const { return streams_.size(); }
    LocalAddresses& addresses() { return *addresses_; }

private:
    boost::asio::awaitable<void> sendControl(std::string type, std::string id, std::optional<std::string> error);
    void discard(const std::string& id, const std::shared_ptr<LocalForwarder>& forwarder);
    // Writes a stream's queue in order, then its half-close if one was asked for.
    boost::asio::awaitable<void> drain(std::shared_ptr<LocalForwarder> forwarder);
    void queue(const std::shared_ptr<LocalForwarder>& forwarder, std::string_view bytes);
    void dropQueue(LocalForwarder& forwarder);
    // Keeps the list of streams over their budget up to date after a queue changed.
    void checkBudget(const std::shared_ptr<LocalForwarder>& forwarder);
    // Until when a reader over its budget still sets the connection's pace (nullopt: none does).
    std::optional<std::chrono::steady_clock::time_point> pacedUntil() const;
    // While data waits: closes the streams whose local readers are stuck (see StreamBudgets).
    boost::asio::awaitable<void> watchStuckStreams();

    boost::asio::any_io_executor executor_;
    boost::asio::any_io_executor blockingExecutor_;
    StreamTargets targets_;
    std::shared_ptr<TunnelFrameWriter> writer_;
    std::map<std::string, std::shared_ptr<LocalForwarder>, std::less<>> streams_;
    std::size_t opening_ = 0;  // opens counted against the bound and not yet in streams_
    struct SSHPortLookup;
    std::shared_ptr<SSHPortLookup> sshLookup_;  // while one runs
    std::shared_ptr<LocalAddresses> addresses_;
    std::size_t queuedBytes_ = 0;  // all streams' queues
    std::size_t queuedHigh_ = 0;
    std::vector<std::shared_ptr<LocalForwarder>> overBudget_;
    // Woken, while receive() waits on it, whenever a queue shrinks or a stream closes.
    boost::asio::steady_timer room_;
    bool watching_ = false;           // watchStuckStreams() runs
    int waitingForRoom_ = 0;          // receive() calls waiting on room_
    // One read buffer for every stream's reader: a read and the encoding of its frame
    // happen without a suspension in between.
    std::unique_ptr<char[]> readBuffer_;
};

}  // namespace tessaron::cli
