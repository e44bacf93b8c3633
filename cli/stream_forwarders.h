#pragma once
// The TCP and UDP streams that the edge opens over one tunnel connection. The registry
// maps stream ids to forwarders; each forwarder owns one local socket and, once open,
// a reader that pumps what the local side sends back into the tunnel. Everything runs
// on the connection's I/O thread; blocking look-ups run on the blocking executor.

#include "cli/tunnel_frame_writer.h"
#include "host/error.h"
#include "panel/tunnel_messages.h"

#include <boost/asio/awaitable.hpp>
#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/asio/steady_timer.hpp>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>

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

// Where the streams of one helper go.
struct StreamTargets {
    std::string localHost = "127.0.0.1";
    std::optional<std::string> vmName;
    // The loopback port that Lima forwards to the guest's SSH server (blocking; may throw).
    std::function<int(const std::string& vmName)> sshLocalPort;
    std::chrono::milliseconds connectTimeout{30'000};
};

class LocalForwarder : public std::enable_shared_from_this<LocalForwarder> {
public:
    LocalForwarder(boost::asio::any_io_executor executor, std::string id, tunnel::TunnelTransport transport,
                   std::string host, int port);

    const std::string& id() const { return id_; }
    tunnel::TunnelTransport transport() const { return transport_; }

    boost::asio::awaitable<void> start();
    boost::asio::awaitable<void> send(const std::string& bytes);
    boost::asio::awaitable<void> finishWriting();
    // One read: the bytes and whether the local side finished sending.
    boost::asio::awaitable<std::pair<std::string, bool>> receive();
    boost::asio::awaitable<void> forwardResponses(TunnelFrameWriter& writer);

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
    friend class LocalForwarderRegistry;
};

class LocalForwarderRegistry : public std::enable_shared_from_this<LocalForwarderRegistry> {
public:
    LocalForwarderRegistry(boost::asio::any_io_executor executor, boost::asio::any_io_executor blockingExecutor,
                           StreamTargets targets, std::shared_ptr<TunnelFrameWriter> writer);

    boost::asio::awaitable<void> open(tunnel::TunnelStreamOpenMessage message);
    boost::asio::awaitable<void> receive(tunnel::TunnelStreamDataMessage message);
    // The same with the data already Base64-decoded (nullopt: the Base64 was invalid).
    boost::asio::awaitable<void> receive(std::string id, std::optional<std::string> bytes);
    boost::asio::awaitable<void> finishWriting(std::string id);
    void close(const std::string& id, bool notify);
    void closeAll();
    void readerFinished(const std::string& id, const std::shared_ptr<LocalForwarder>& forwarder);
    boost::asio::awaitable<std::pair<std::string, int>> localTarget(int port, tunnel::TunnelTransport transport);

    std::size_t size() const { return streams_.size(); }

private:
    boost::asio::awaitable<void> sendControl(std::string type, std::string id, std::optional<std::string> error);
    void discard(const std::string& id, const std::shared_ptr<LocalForwarder>& forwarder);

    boost::asio::any_io_executor executor_;
    boost::asio::any_io_executor blockingExecutor_;
    StreamTargets targets_;
    std::shared_ptr<TunnelFrameWriter> writer_;
    std::map<std::string, std::shared_ptr<LocalForwarder>> streams_;
};

}  // namespace tessaron::cli
