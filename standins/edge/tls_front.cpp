#include "tls_front.h"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>

#include <array>

namespace tessaron::edge {

namespace asio = boost::asio;
using asio::ip::tcp;

namespace {

constexpr auto handshakeLimit = std::chrono::seconds(30);

using TlsSocket = asio::ssl::stream<tcp::socket>;

// Copies one direction until it ends, then closes both sides.
template <class From, class To>
asio::awaitable<void> pump(std::shared_ptr<TlsSocket> secure, std::shared_ptr<tcp::socket> plain, From& from, To& to) {
    std::array<char, 64 * 1024> buffer;
    for (;;) {
        boost::system::error_code ec;
        const std::size_t n = co_await from.async_read_some(asio::buffer(buffer), asio::redirect_error(asio::use_awaitable, ec));
        if (ec) break;
        co_await asio::async_write(to, asio::buffer(buffer.data(), n), asio::redirect_error(asio::use_awaitable, ec));
        if (ec) break;
    }
    boost::system::error_code ignored;
    secure->lowest_layer().close(ignored);
    plain->close(ignored);
}

asio::awaitable<void> carry(std::shared_ptr<TlsSocket> secure, unsigned short plainPort) {
    auto executor = co_await asio::this_coro::executor;
    boost::system::error_code ec;
    // A client that refuses the certificate ends the handshake; so does one that never finishes it.
    asio::steady_timer limit(executor, handshakeLimit);
    limit.async_wait([secure](boost::system::error_code cancelled) {
        boost::system::error_code ignored;
        if (!cancelled) secure->lowest_layer().close(ignored);
    });
    co_await secure->async_handshake(asio::ssl::stream_base::server, asio::redirect_error(asio::use_awaitable, ec));
    limit.cancel();
    if (ec) co_return;
    auto plain = std::make_shared<tcp::socket>(executor);
    co_await plain->async_connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), plainPort),
                                  asio::redirect_error(asio::use_awaitable, ec));
    if (ec) co_return;
    asio::co_spawn(executor, pump(secure, plain, *secure, *plain), asio::detached);
    asio::co_spawn(executor, pump(secure, plain, *plain, *secure), asio::detached);
}

}  // namespace

TlsFront::TlsFront(asio::io_context& io, const TlsFiles& files, unsigned short plainPort)
    : io_(io), context_(asio::ssl::context::tls_server), plainPort_(plainPort) {
    context_.use_certificate_chain_file(files.certificateChain);
    context_.use_private_key_file(files.privateKey, asio::ssl::context::pem);
    acceptor_ = std::make_shared<tcp::acceptor>(io_, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
    asio::co_spawn(
        io_,
        [this]() -> asio::awaitable<void> {
            for (;;) {
                tcp::socket socket = co_await acceptor_->async_accept(asio::use_awaitable);
                auto secure = std::make_shared<TlsSocket>(std::move(socket), context_);
                asio::co_spawn(io_, carry(secure, plainPort_), asio::detached);
            }
        },
        asio::detached);
}

unsigned short TlsFront::port() const { return acceptor_->local_endpoint().port(); }

}  // namespace tessaron::edge
