#include "cli/close_on_exec_sockets.h"

#include <boost/asio/redirect_error.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/core/error.hpp>

#include <cerrno>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace tessaron::cli {

namespace asio = boost::asio;
using asio::ip::tcp;
using asio::ip::udp;

namespace {

template <class Socket, class Protocol>
void openWithFlag(Socket& socket, const Protocol& protocol, boost::system::error_code& ec) {
    ec.clear();
    boost::system::error_code ignored;
    if (socket.is_open()) socket.close(ignored);
#ifdef SOCK_CLOEXEC
    const int fd = ::socket(protocol.family(), protocol.type() | SOCK_CLOEXEC, protocol.protocol());
#else
    // Where the flag cannot be given at creation, it is set right after.
    const int fd = ::socket(protocol.family(), protocol.type(), protocol.protocol());
    if (fd >= 0) ::fcntl(fd, F_SETFD, FD_CLOEXEC);
#endif
    if (fd < 0) {
        ec.assign(errno, boost::system::system_category());
        return;
    }
    socket.assign(protocol, fd, ec);
    if (ec) ::close(fd);
}

bool endsTheAttempts(const boost::system::error_code& ec) {
    return ec == asio::error::operation_aborted || ec == boost::beast::error::timeout;
}

template <class Stream>
asio::awaitable<void> connectEach(Stream& stream, tcp::socket& socket, const std::vector<tcp::endpoint>& endpoints,
                                  boost::system::error_code& ec) {
    ec = asio::error::host_not_found;
    for (const auto& endpoint : endpoints) {
        openWithFlag(socket, endpoint.protocol(), ec);
        if (ec) co_return;
        co_await stream.async_connect(endpoint, asio::redirect_error(asio::use_awaitable, ec));
        if (!ec || endsTheAttempts(ec)) co_return;
    }
}

}  // namespace

void openCloseOnExec(tcp::socket& socket, const tcp& protocol, boost::system::error_code& ec) {
    openWithFlag(socket, protocol, ec);
}

void openCloseOnExec(udp::socket& socket, const udp& protocol, boost::system::error_code& ec) {
    openWithFlag(socket, protocol, ec);
}

asio::awaitable<void> connectCloseOnExec(tcp::socket& socket, const std::vector<tcp::endpoint>& endpoints,
                                         boost::system::error_code& ec) {
    co_await connectEach(socket, socket, endpoints, ec);
}

asio::awaitable<void> connectCloseOnExec(boost::beast::tcp_stream& stream, const std::vector<tcp::endpoint>& endpoints,
                                         boost::system::error_code& ec) {
    co_await connectEach(stream, stream.socket(), endpoints, ec);
}

}  // namespace tessaron::cli
